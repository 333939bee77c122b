// Hostile host input to the exported functions, the login merge and the
// tool.ini reader. The input is cut at zero bytes into texts: market,
// address, user, password, code list, then a tool.ini body; the first bytes
// also give the port, data class, operation and the instance's role.
//
// Every input gets an instance of its own, in the role its fourth byte
// names (standalone, master or child: the instance reads tool.ini from the
// working folder when it is made), so one input reproduces its result alone.
// Master and child instances listen on ephemeral ports. A child's master
// address, which the input registers, is then replaced by a loopback port
// that the target holds bound without listening: the child's login is
// refused at once and no traffic leaves the machine.
// A first instance lives as long as the process, so the process-wide socket
// engine is started once. Market sessions come from a session factory of
// this target whose answers (login, subscriptions, query records) are taken
// from the input, so the exported functions run past "no session" into the
// instance's merge, routing and copying of what sessions give.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cascade/cascade_settings.h"
#include "api/instance_util.h"
#include "session/market_session.h"
#include "session/session_util.h"
#include "framework/tl_log.h"
#include "include/kvoapi.h"
#include "tests/support/instance_dir.h"

namespace {

// What the sessions of one input answer: taken from the input's texts.
struct Script {
    int32_t status = 0;
    std::string text;
    uint32_t records = 0;  // records a query answers with
    int32_t subscribe = 0;
};
Script g_script;

class ScriptedSession : public kvoapi::IMarketSession {
public:
    int32_t AddAddress(const char*, uint16_t, bool) override { return 0; }
    void SetSuperStockLevel(int32_t) override {}
    int32_t SendUserData(const char* text) override { return text && *text ? 0 : -1; }
    LoginResult Login(kvoapi::LoginAccountInfo& account) override {
        return kvoapi::MakeLoginResult(g_script.status, g_script.text, account.username);
    }
    int32_t SubScribe(uint32_t, uint32_t, const char*, const char*, bool) override { return g_script.subscribe; }
    char* GetCodelist(const char*, uint32_t* out_length) override {
        char* p = static_cast<char*>(std::malloc(g_script.text.size() + 1));
        if (!p) return nullptr;
        std::memcpy(p, g_script.text.c_str(), g_script.text.size() + 1);
        *out_length = uint32_t(g_script.text.size());
        return p;
    }
    void* GetTickIndex(const char*, const char*, uint32_t* out_count) override { return Records(133, out_count); }
    void* GetTickStock(const char*, const char*, uint32_t* out_count) override { return Records(809, out_count); }
    void* GetSuperStock(const char*, const char*, uint32_t* out_count) override { return Records(357, out_count); }
    std::string ElkLog(const std::string&, const std::string&, const std::map<std::string, std::string>&,
                       const std::string&) override {
        return std::string();
    }

private:
    static void* Records(size_t size, uint32_t* out_count) {
        if (g_script.records == 0) return nullptr;
        void* p = std::calloc(g_script.records, size);
        if (p) *out_count = g_script.records;
        return p;
    }
};

kvoapi::IMarketSession* MakeSession(const InstanceConfig*, CSocketDataMananger*, const std::string&,
                                    std::shared_ptr<corvane::HostCallGate>) {
    return new ScriptedSession;
}

// The process's folders: one working folder per role, each holding the
// tool.ini of its role, and the log folder. The first instance lives until
// the process ends; then the log writer is stopped (it writes the last lines
// and could otherwise make the folder again at a day change) and the folders
// are removed.
struct FuzzHome {
    FuzzHome() {
        // In memory where the machine has it: every input writes a tool.ini and
        // log lines.
        std::string tmpl = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kvo_fuzz_XXXXXX";
        if (!mkdtemp(tmpl.data())) return;
        dir = tmpl;
        const char* roles[3] = {"standalone", "master", "child"};
        const char* tools[3] = {nullptr, "master=true\nsocket_port=0\n", "master=false\nsocket_port=0\n"};
        for (int i = 0; i < 3; ++i) {
            roleDirs[i] = dir + "/" + roles[i];
            std::filesystem::create_directories(roleDirs[i]);
            if (!tools[i]) continue;
            if (FILE* f = std::fopen((roleDirs[i] + "/tool.ini").c_str(), "wb")) {
                std::fputs(tools[i], f);
                std::fclose(f);
            }
        }
        refused = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (refused < 0 || ::bind(refused, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(refused, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
            return;
        }
        refusedPort = ntohs(a.sin_port);
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) home = cwd;
        kvoapi::SetMarketSessionFactory(&MakeSession);
        config = kvotest::ConfigLoggingTo(dir.c_str());
        config.m_authtype = 1;
        config.m_connectmarket[0] = '\0';
        anchor = Create(0);
    }
    ~FuzzHome() {
        KvoReleaseInstance(anchor);
        if (refused >= 0) ::close(refused);
        if (corvane::CWriteLogThread* writer = TL_GetLogWriter()) writer->Stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    // An instance made in the working folder of a role.
    void* Create(int role) {
        if (chdir(roleDirs[role].c_str()) != 0) return nullptr;
        void* h = KvoCreateInstance(&config);
        if (!home.empty() && chdir(home.c_str()) != 0) std::abort();
        return h;
    }
    std::string dir;
    std::string home;
    std::string roleDirs[3];
    InstanceConfig config{};
    void* anchor = nullptr;
    int refused = -1;  // bound, never listening
    uint16_t refusedPort = 0;
};

// Made after everything the instance's creation made, so it is destroyed
// before those.
FuzzHome& Home() {
    static FuzzHome home;
    return home;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 5) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    parts.push_back(cur);
    while (parts.size() < 6) parts.emplace_back();
    const uint16_t port = size >= 2 ? static_cast<uint16_t>(data[0] | (data[1] << 8)) : 0;
    const uint32_t cls = size >= 3 ? data[2] % 9 : 0;
    const uint32_t op = size >= 4 ? data[3] % 10 : 0;
    const int role = size >= 4 ? (data[3] >> 4) % 3 : 0;
    // A text given as "-" stands for a null pointer.
    auto text = [&](size_t i) -> const char* { return parts[i] == "-" ? nullptr : parts[i].c_str(); };

    if (Home().anchor == nullptr) return 0;
    g_script.status = -static_cast<int32_t>(cls) * 3;
    g_script.text = parts[4];
    g_script.records = op % 4;
    g_script.subscribe = (op & 1) ? -10001 - int32_t(cls % 3) : 0;
    void* h = Home().Create(role);
    if (!h) return 0;
    KvoRegisterAddr(h, text(0), text(1), port);
    KvoRegisterAddr(h, "SZ", text(1), port);
    if (role == 2) KvoRegisterAddr(h, "USH", "127.0.0.1", Home().refusedPort);
    KvoFreeMem(KvoLogin(h, text(2), text(3)));
    uint32_t n = 0;
    KvoFreeMem(KvoGetCodelist(h, text(0), &n));
    KvoGetCodeInfo(h);
    auto query = [&](void* records) {
        // The host reads every record it is given.
        if (records && n > 0) {
            const volatile uint8_t* p = static_cast<const uint8_t*>(records);
            (void)p[0];
        }
        KvoFreeMem(records);
    };
    n = 0;
    query(KvoGetTickIndex(h, text(0), text(4), &n));
    n = 0;
    query(KvoGetTickStock(h, text(0), text(4), &n));
    n = 0;
    query(KvoGetSuperStock(h, text(0), text(4), &n));
    KvoSubScribe(h, cls, op, text(0), text(4));
    KvoSubScribeAsync(h, cls, op, text(0), text(4));
    OfflineDebugConfig off;
    std::memset(&off, 0, sizeof(off));
    std::memcpy(&off, parts[5].data(), std::min(parts[5].size(), sizeof(off)));
    KvoStartOfflineDebug(h, &off);
    KvoReleaseInstance(h);

    // The merge of long and odd per-market texts always fits its fields.
    const LoginResult a = kvoapi::MakeLoginResult(-static_cast<int>(port), parts[2], parts[3]);
    const LoginResult b = kvoapi::MakeLoginResult(static_cast<int>(cls), parts[4], parts[1]);
    const LoginResult m = kvoapi::MergeLoginResults(a, {{"SH", a}, {"SZ", b}, {"OO", a}});
    if (std::strlen(m.statusmsg) >= sizeof(m.statusmsg)) abort();
    if (std::strlen(m.expire_date) >= sizeof(m.expire_date)) abort();

    // tool.ini with arbitrary bytes.
    const std::string ini = Home().dir + "/tool.ini";
    if (FILE* f = std::fopen(ini.c_str(), "wb")) {
        std::fwrite(parts[5].data(), 1, parts[5].size(), f);
        std::fclose(f);
        const kvoapi::ToolSettings s = kvoapi::ReadToolIni(ini);
        if (s.mode != kvoapi::kStandalone && s.mode != kvoapi::kMaster && s.mode != kvoapi::kChild) abort();
    }
    return 0;
}
