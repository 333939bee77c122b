// Fuzzes the readers of settings files and the file-backed key store: the
// input is a file's content, read as the framework's INI file
// (CTLIniFile::LoadFile), as the socket engine's settings (section "TCP",
// with the send-delay thresholds) and as the cascade's tool.ini. Cut at its
// first two zero bytes it is also a key path, a value name and a value for
// the key store (the registry's stand-in), which must keep every key inside
// its folder and give back what was stored.
//
// The file lives in memory (memfd) and the key store in a folder of its own
// that is emptied after every input, so one input reproduces its result
// alone.
#include <dirent.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "api/cascade_settings.h"
#include "framework/net/tl_netengine.h"
#include "framework/tl_inifile.h"
#include "platform/pl_keystore.h"

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "settings: %s\n", what);
    std::abort();
}

// The settings file (a memfd, named through /proc) and the key store's
// folder inside a sandbox folder, both made once. At exit the sandbox goes.
struct Place {
    Place() {
        fd = memfd_create("kvo_fuzz_settings", 0);
        if (fd >= 0) path = "/proc/self/fd/" + std::to_string(fd);
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/kvo_fuzz_keys_XXXXXX";
        if (mkdtemp(tmpl.data())) sandbox = tmpl;
        root = sandbox + "/root";
        pl::SetKeyStoreRoot(root.c_str());
    }
    ~Place() {
        pl::SetKeyStoreRoot(nullptr);
        std::error_code ec;
        if (!sandbox.empty()) std::filesystem::remove_all(sandbox, ec);
        if (fd >= 0) close(fd);
    }
    int fd = -1;
    std::string path;
    std::string sandbox;
    std::string root;
};

Place& Here() {
    static Place place;
    return place;
}

bool WriteFile(const uint8_t* data, size_t size) {
    const int fd = Here().fd;
    if (fd < 0 || ftruncate(fd, 0) != 0) return false;
    size_t put = 0;
    while (put < size) {
        ssize_t n = pwrite(fd, data + put, size - put, off_t(put));
        if (n <= 0) return false;
        put += size_t(n);
    }
    return true;
}

void ReadSettingsFile(const std::string& path) {
    corvane::CTLIniFile ini;
    if (ini.LoadFile(path.c_str()) >= 0) {
        corvane::CTLString v;
        for (const auto& entry : ini.GetIndex()) {
            const std::string name(entry.first.GetString(), size_t(entry.first.GetLength()));
            const size_t at = name.find("@@");
            if (at == std::string::npos || name.find('\0') != std::string::npos) continue;
            ini.GetValue(v, name.substr(0, at).c_str(), name.substr(at + 2).c_str(), "?");
            if (v.GetLength() != int(entry.second.value_length)) Fault("ini value length");
        }
    }
    const TLNetSettings s = TL_NetReadSettings(path.c_str());
    if (s.thresholdCount < 0 || s.thresholdCount > TL_NET_MAX_DELAY_THRESHOLDS || s.threadCount < 0)
        Fault("engine settings");
    const kvoapi::ToolSettings t = kvoapi::ReadToolIni(path);
    if (t.mode != kvoapi::kStandalone && t.mode != kvoapi::kMaster && t.mode != kvoapi::kChild) Fault("tool.ini mode");
}

// Nothing but the store's own folder may appear in the sandbox.
void CheckSandbox() {
    DIR* d = opendir(Here().sandbox.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
            std::strcmp(e->d_name, "root") != 0)
            Fault("a key escaped the store's folder");
    }
    closedir(d);
}

void KeyStore(const std::string& all) {
    const size_t z1 = all.find('\0');
    if (z1 == std::string::npos) return;
    const size_t z2 = all.find('\0', z1 + 1);
    const std::string path = all.substr(0, z1);
    const std::string name = all.substr(z1 + 1, z2 == std::string::npos ? std::string::npos : z2 - z1 - 1);
    const std::string value = z2 == std::string::npos ? std::string() : all.substr(z2 + 1);
    pl::KeyHandle key = nullptr;
    if (pl::KeyOpen(pl::KeyStoreCurrentUser(), path.c_str(), true, &key) == pl::kKeyOk) {
        if (pl::KeySetValue(key, name.c_str(), value.data(), uint32_t(value.size())) == pl::kKeyOk) {
            std::vector<char> back(value.size() + 1);
            uint32_t got = uint32_t(back.size());
            if (pl::KeyGetValue(key, name.c_str(), back.data(), &got) != pl::kKeyOk || got != value.size() ||
                std::memcmp(back.data(), value.data(), value.size()) != 0)
                Fault("key store value read back");
            if (!value.empty()) {
                got = uint32_t(value.size() - 1);
                if (pl::KeyGetValue(key, name.c_str(), back.data(), &got) != pl::kKeyMoreData || got != value.size())
                    Fault("key store short buffer");
            }
        }
        pl::KeyFlush(key);
        pl::KeyHandle again = nullptr;
        if (pl::KeyOpen(pl::KeyStoreCurrentUser(), path.c_str(), false, &again) != pl::kKeyOk) Fault("key reopened");
        pl::KeyClose(again);
        pl::KeyClose(key);
    }
    CheckSandbox();
    std::error_code ec;
    std::filesystem::remove_all(Here().root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (Here().path.empty() || Here().sandbox.empty()) return 0;
    if (WriteFile(data, size)) ReadSettingsFile(Here().path);
    const std::string all(reinterpret_cast<const char*>(data), size);
    int32_t thresholds[TL_NET_MAX_DELAY_THRESHOLDS];
    const int n = TL_NetParseSendDelay(all.c_str(), thresholds);
    if (n < 0 || n > TL_NET_MAX_DELAY_THRESHOLDS) Fault("send delay thresholds");
    KeyStore(all);
    return 0;
}
