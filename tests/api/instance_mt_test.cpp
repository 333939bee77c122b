// The library instance: construction (log, level, tool.ini roles, callback
// slots), registration with its special keys, the pre-login check, the login
// over all markets and release. Market sessions are fakes installed through
// the session factory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "session/auth.h"
#include "session/builtin_hosts.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/market_session.h"
#include "api/process_state.h"
#include "api/socket_data_manager.h"
#include "framework/net/tl_netengine.h"
#include "session/subscription_registry.h"
#include "tests/support/fake_auth.h"
#include "tests/support/http_server.h"
#include "tests/support/instance_dir.h"

using namespace kvoapi;

namespace {

struct FakeSession : IMarketSession {
    std::string market;
    std::vector<std::pair<std::string, uint16_t>> addresses;
    int32_t superLevel = 10;
    int32_t userDataResult = -1;
    std::vector<std::string> userData;
    LoginResult loginResult = MakeLoginResult(0, "ok", "2030");
    LoginAccountInfo lastAccount;
    std::vector<std::string> subscriptions;

    int32_t AddAddress(const char* host, uint16_t port, bool front) override {
        if (front) {
            addresses.insert(addresses.begin(), {host, port});
        } else {
            addresses.emplace_back(host, port);
        }
        return 0;
    }
    void SetSuperStockLevel(int32_t level) override { superLevel = std::clamp(level, 10, 1000); }
    int32_t SendUserData(const char* text) override {
        userData.push_back(text);
        return userDataResult;
    }
    LoginResult Login(LoginAccountInfo& account) override {
        lastAccount = account;
        return loginResult;
    }
    int32_t SubScribe(uint32_t cls, uint32_t op, const char* m, const char* codes, bool wait) override {
        subscriptions.push_back(std::to_string(cls) + "|" + std::to_string(op) + "|" + m + "|" + codes +
                                (wait ? "|w" : "|a"));
        return 0;
    }
    char* GetCodelist(const char*, uint32_t* n) override {
        *n = 3;
        char* p = static_cast<char*>(malloc(4));
        std::memcpy(p, "a,b", 4);
        return p;
    }
    void* GetTickIndex(const char*, const char*, uint32_t*) override { return nullptr; }
    void* GetTickStock(const char*, const char*, uint32_t*) override { return nullptr; }
    void* GetSuperStock(const char*, const char*, uint32_t*) override { return nullptr; }
    std::string ElkLog(const std::string&, const std::string&, const std::map<std::string, std::string>&,
                       const std::string&) override {
        return std::string();
    }
};

std::map<std::string, FakeSession*>* g_created = nullptr;
const InstanceConfig* g_lastConfig = nullptr;
int g_destroyed = 0;
int g_destroyedOnStoppedEngine = 0;

struct CountingSession : FakeSession {
    ~CountingSession() override {
        ++g_destroyed;
        // A session closes its connections on the socket engine when it goes.
        if (!TL_NetIsStarted()) ++g_destroyedOnStoppedEngine;
        if (g_created) g_created->erase(market);
    }
};

IMarketSession* MakeFake(const InstanceConfig* cfg, CSocketDataMananger*, const std::string& m,
                         std::shared_ptr<corvane::HostCallGate>) {
    auto* s = new CountingSession;
    s->market = m;
    g_lastConfig = cfg;
    if (g_created) (*g_created)[m] = s;
    return s;
}

// A session whose work fails with exceptions (as a thread that cannot be
// created would make it), and a factory that cannot build one at all.
struct ThrowingSession : CountingSession {
    LoginResult Login(LoginAccountInfo&) override { throw std::runtime_error("login"); }
    int32_t SubScribe(uint32_t, uint32_t, const char*, const char*, bool) override {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    char* GetCodelist(const char*, uint32_t*) override { throw std::runtime_error("codes"); }
    void* GetTickStock(const char*, const char*, uint32_t*) override { throw 7; }
};

IMarketSession* MakeThrowing(const InstanceConfig*, CSocketDataMananger*, const std::string& m,
                             std::shared_ptr<corvane::HostCallGate>) {
    auto* s = new ThrowingSession;
    s->market = m;
    return s;
}

IMarketSession* FailToMake(const InstanceConfig*, CSocketDataMananger*, const std::string&,
                           std::shared_ptr<corvane::HostCallGate>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

int32_t DataCb(void*, const void*, uint32_t, const PushTiming*) { return 0; }
void NotifyCb(void*, const NotifyRecord*) {}

class InstanceTest : public kvotest::InstanceDirTest {
protected:
    InstanceTest() : InstanceDirTest("kvo_instance") {}
    void SetUp() override {
        InstanceDirTest::SetUp();
        if (HasFatalFailure()) return;
        created_.clear();
        g_created = &created_;
        g_destroyed = 0;
        g_destroyedOnStoppedEngine = 0;
        previous_ = SetMarketSessionFactory(&MakeFake);
    }
    void TearDown() override {
        SetMarketSessionFactory(previous_);
        g_created = nullptr;
        InstanceDirTest::TearDown();
    }
    void WriteToolIni(const std::string& text) { std::ofstream(dir_ + "/tool.ini") << text; }

    std::map<std::string, FakeSession*> created_;
    MarketSessionFactory previous_ = nullptr;
};

// The instance log in dir/kvolog (the log may carry a date stamp in its name).
std::string FindLog(const std::string& dir) {
    const std::string folder = dir + "/kvolog";
    DIR* d = opendir(folder.c_str());
    if (!d) return "";
    std::string found;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("kvoapi", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".log") {
            found = folder + "/" + name;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

TEST_F(InstanceTest, ConstructionDefaults) {
    cfg_.fnctickindex = &DataCb;
    cfg_.fncsuperstock = &DataCb;
    CSocketDataMananger inst(&cfg_);
    EXPECT_EQ(inst.Mode(), kStandalone);
    EXPECT_EQ(inst.SocketPort(), 9999);
    EXPECT_FALSE(inst.AuthKeySelector());
    EXPECT_EQ(inst.OfflineState(), "offlinedebugtype_no");
    EXPECT_EQ(inst.LogLevel(), 3);
    EXPECT_EQ(inst.LogPath(), dir_ + "/kvolog/kvoapi.log");
    EXPECT_EQ(GetCallbackContext(), &inst);
    EXPECT_EQ(GetDataCallbackSlots().fnctickindex, &DataCb);
    EXPECT_EQ(GetDataCallbackSlots().fncsuperstock, &DataCb);
    EXPECT_EQ(GetDataCallbackSlots().fnctickstock, nullptr);
    EXPECT_FALSE(inst.Started());
}

TEST_F(InstanceTest, LogLocationAndLevel) {
    EXPECT_EQ(CSocketDataMananger::LogLevelFor(0), 0);
    EXPECT_EQ(CSocketDataMananger::LogLevelFor(6), 6);
    EXPECT_EQ(CSocketDataMananger::LogLevelFor(7), 3);
    EXPECT_EQ(CSocketDataMananger::LogLevelFor(9), 3);
    EXPECT_EQ(CSocketDataMananger::LogLevelFor(-1), 3);

    InstanceConfig c = cfg_;
    std::strcpy(c.m_logpath, "C:\\hosts\\app\\");
    EXPECT_EQ(CSocketDataMananger::LogPathFor(c), "C:/hosts/app/kvolog/kvoapi.log");
    std::strcpy(c.m_logpath, "/");
    EXPECT_EQ(CSocketDataMananger::LogPathFor(c), "/kvolog/kvoapi.log");
    c.m_logpath[0] = '\0';
    const std::string exeLog = CSocketDataMananger::LogPathFor(c);
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    std::string exeDir(exe, static_cast<size_t>(n));
    exeDir = exeDir.substr(0, exeDir.rfind('/'));
    EXPECT_EQ(exeLog, exeDir + "/kvolog/kvoapi.log");

    // Level 5 lines are written at level 5 and dropped at level 9 (read as 3).
    cfg_.m_loglevel = 5;
    {
        CSocketDataMananger inst(&cfg_);
        // Formats from elsewhere may carry "%I64d": the framework writes it as
        // "%lld".
        const char* format = "probe-five %s %I64d";
        WriteLog(5, format, "x", static_cast<long long>(1) << 40);
        WriteLog(4, "probe-four");
    }
    const std::string log = FindLog(dir_);
    ASSERT_FALSE(log.empty());
    std::string text = kvotest::ReadWholeFile(log);
    EXPECT_NE(text.find("5: probe-five x 1099511627776\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("probe-four"), std::string::npos);

    cfg_.m_loglevel = 9;
    {
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.LogLevel(), 3);
        WriteLog(4, "probe-hidden");
        WriteLog(3, "probe-shown");
    }
    text = kvotest::ReadWholeFile(FindLog(dir_));
    EXPECT_EQ(text.find("probe-hidden"), std::string::npos);
    EXPECT_NE(text.find("probe-shown"), std::string::npos);
}

TEST_F(InstanceTest, ToolIniRoles) {
    {
        WriteToolIni("master=True\nsocket_port=\nauth=test\n");
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.Mode(), kStandalone);  // case-sensitive
        EXPECT_EQ(inst.SocketPort(), 9999);   // empty keeps the default
        EXPECT_TRUE(inst.AuthKeySelector());
    }
    {
        WriteToolIni("master=false\r\nsocket_port=7001\r\nnoise line\r\nauth=Test\r\n");
        ToolSettings s = ReadToolIni();
        EXPECT_EQ(s.mode, kChild);
        EXPECT_EQ(s.socket_port, 7001);
        EXPECT_TRUE(s.socket_port_valid);
        EXPECT_FALSE(s.auth_test);
        // An instance of the role listens: on an ephemeral port here.
        WriteToolIni("master=false\r\nsocket_port=0\r\nnoise line\r\nauth=Test\r\n");
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.Mode(), kChild);
        EXPECT_FALSE(inst.AuthKeySelector());
        EXPECT_EQ(inst.OfflineState(), "offlinedebugtype_no");
        EXPECT_TRUE(inst.Started());
        EXPECT_NE(inst.CascadeListenPort(), 0);
    }
    {
        // Not a port number: read as atoi reads it, cut to 16 bits, and marked.
        WriteToolIni("socket_port=70001\n");
        ToolSettings s = ReadToolIni();
        EXPECT_EQ(s.socket_port, 70001 - 65536);
        EXPECT_FALSE(s.socket_port_valid);
    }
    {
        WriteToolIni("master=false\nmaster=true\nsocket_port=x=1\n");
        ToolSettings s = ReadToolIni();
        EXPECT_EQ(s.mode, kMaster);  // later line wins
        EXPECT_EQ(s.socket_port_text, "x=1");
    }
    {
        // A line too long ends the reading; the lines before it count.
        WriteToolIni("master=true\n" + std::string(2500, 'k') + "\nsocket_port=1234\n");
        ToolSettings s = ReadToolIni();
        EXPECT_EQ(s.mode, kMaster);
        EXPECT_EQ(s.socket_port, 9999);
    }
    {
        // 1999 characters are still a line, with either line end; 2000 are not.
        const std::string longest = "k=" + std::string(1997, 'v');
        WriteToolIni("master=true\n" + longest + "\nsocket_port=1234\r\n" + longest + "\r\nauth=test\n" + longest +
                     "w\r\nmaster=false\n");
        ToolSettings s = ReadToolIni();
        EXPECT_EQ(s.socket_port, 1234);
        EXPECT_TRUE(s.auth_test);
        EXPECT_EQ(s.mode, kMaster);  // the line after the over-long one is not read
    }
    {
        WriteToolIni("master=true\nsocket_port=0\n");
        cfg_.fnctickindex = &DataCb;
        cfg_.fncfivelevel = &DataCb;
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.Mode(), kMaster);
        // The relay copy keeps the host's five-level, notify and subscribe slots.
        EXPECT_EQ(inst.RelayConfig().fncfivelevel, &DataCb);
        EXPECT_EQ(std::memcmp(inst.RelayConfig().m_connectmarket, cfg_.m_connectmarket, 20), 0);
        // Sessions of a cascade role get the relay copy.
        ASSERT_EQ(inst.RegisterAddr("USH", "10.0.0.1", 1, true), 0);
        EXPECT_EQ(g_lastConfig, &inst.RelayConfig());
        const std::string expected =
            "2: SocketStart--master:true socket_port:0 IP:" + inst.LocalAddressLists().addresses +
            "  IpMask:" + inst.LocalAddressLists().masks + "!\r\n";
        EXPECT_NE(kvotest::ReadWholeFile(FindLog(dir_)).find(expected), std::string::npos) << expected;
    }
}

TEST_F(InstanceTest, Registration) {
    CSocketDataMananger inst(&cfg_);
    EXPECT_EQ(inst.RegisterAddrByMode("USH", "10.0.0.1", 8000), 0);
    ASSERT_EQ(inst.Markets(), std::vector<std::string>{"SH"});
    EXPECT_EQ(g_lastConfig, inst.Config());
    EXPECT_EQ(inst.RegisterAddrByMode("UOO", "10.0.0.1", 8000), -1007);
    // A second address goes first.
    EXPECT_EQ(inst.RegisterAddrByMode("USHA", "10.0.0.2", 8001), 0);
    FakeSession* sh = created_["SH"];
    ASSERT_NE(sh, nullptr);
    ASSERT_EQ(sh->addresses.size(), 2u);
    EXPECT_EQ(sh->addresses[0].first, "10.0.0.2");
    EXPECT_EQ(sh->addresses[1].first, "10.0.0.1");

    // superstocklevel and qsuserdata walk the sessions in order.
    EXPECT_EQ(inst.RegisterAddrByMode("USZ", "10.0.0.3", 8002), 0);
    EXPECT_EQ(inst.RegisterAddrByMode("superstocklevel", "5000", 0), 0);
    EXPECT_EQ(created_["SH"]->superLevel, 1000);
    EXPECT_EQ(created_["SZ"]->superLevel, 1000);
    EXPECT_EQ(inst.RegisterAddrByMode("superstocklevel", "99999999999999999999", 0), 0);
    EXPECT_EQ(created_["SH"]->superLevel, 1000);  // saturated, not wrapped to a negative
    EXPECT_EQ(inst.RegisterAddrByMode("superstocklevel", "20", 0), 0);
    EXPECT_EQ(created_["SH"]->superLevel, 20);
    EXPECT_EQ(inst.RegisterAddrByMode("qsuserdata", "payload", 0), -1010);
    EXPECT_EQ(created_["SZ"]->userData.size(), 1u);
    created_["SZ"]->userDataResult = 0;
    created_["SH"]->userData.clear();
    EXPECT_EQ(inst.RegisterAddrByMode("qsuserdata", "payload", 0), 0);
    EXPECT_EQ(created_["SH"]->userData.size(), 1u);  // SH refused, SZ accepted
}

// Hosts often build the record in a function of their own: the instance must
// not read it after construction.
TEST_F(InstanceTest, HostRecordMayGoAwayAfterCreation) {
    auto* host = new InstanceConfig(cfg_);
    host->m_authtype = 1;
    host->fncnotify = &NotifyCb;
    std::memset(host->m_version, 'v', sizeof(host->m_version));  // no terminator
    CSocketDataMananger inst(host);
    std::memset(static_cast<void*>(host), 0x5a, sizeof(*host));
    delete host;

    EXPECT_EQ(inst.CheckLogin("trader", "p").nstatuscode, 0);  // m_authtype 1 as created
    EXPECT_EQ(inst.Account().auth_kind, "gateway_auth");
    ASSERT_EQ(inst.RegisterAddr("USH", "10.0.0.1", 1, true), 0);
    ASSERT_NE(g_lastConfig, nullptr);
    EXPECT_EQ(g_lastConfig, inst.Config());
    EXPECT_EQ(g_lastConfig->m_authtype, 1);
    EXPECT_EQ(g_lastConfig->m_timeout, 5000);
    EXPECT_EQ(g_lastConfig->fncnotify, &NotifyCb);
    // The copy's texts are terminated within their fields.
    EXPECT_EQ(std::string(g_lastConfig->m_version), std::string(19, 'v'));
    EXPECT_STREQ(g_lastConfig->m_connectmarket, "USH;USZ");
}

// Whatever the work behind an exported function throws ends as a failure
// code of that function, never as an exception through the C interface.
TEST_F(InstanceTest, ExceptionsStayInsideTheLibrary) {
    cfg_.m_authtype = 1;
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    SetMarketSessionFactory(&FailToMake);
    EXPECT_EQ(KvoRegisterAddr(h, "USH", "10.0.0.1", 1), -1009);
    SetMarketSessionFactory(&MakeThrowing);
    ASSERT_EQ(KvoRegisterAddr(h, "USZ", "10.0.0.1", 1), 0);

    LoginResult* r = KvoLogin(h, "trader", "pw");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, -1009);
    EXPECT_EQ(KvoFreeMem(r), 0);
    EXPECT_EQ(KvoSubScribe(h, 2, 1, "USZ", "000001"), -1009);
    EXPECT_EQ(KvoSubScribeAsync(h, 2, 1, "USZ", "000001"), -1009);
    uint32_t n = 5;
    EXPECT_EQ(KvoGetCodelist(h, "USZ", &n), nullptr);
    EXPECT_EQ(KvoGetTickStock(h, "USZ", "000001", &n), nullptr);
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

TEST_F(InstanceTest, EmptyConnectMarketAllowsEveryMarket) {
    cfg_.m_connectmarket[0] = '\0';
    CSocketDataMananger inst(&cfg_);
    EXPECT_EQ(inst.RegisterAddr("UOO", "10.0.0.1", 1, true), 0);
    EXPECT_EQ(inst.RegisterAddr("UZZ", "10.0.0.1", 1, true), -1007);
    EXPECT_EQ(inst.Markets(), std::vector<std::string>{"OO"});
    // Without a factory of its own the instance builds the feed session.
    SetMarketSessionFactory(nullptr);
    EXPECT_EQ(inst.RegisterAddr("USZ", "10.0.0.1", 1, true), 0);
    EXPECT_EQ(inst.RegisterAddr("USZ", "10.0.0.2", 2, true), 0);
    EXPECT_EQ(inst.Markets(), (std::vector<std::string>{"OO", "SZ"}));
    CDatafeedSDKManager* sz = DatafeedManagerOf(inst.Session("SZ"));
    ASSERT_NE(sz, nullptr);
    EXPECT_EQ(sz->Market(), "SZ");
    EXPECT_EQ(sz->Addresses(), (std::vector<std::pair<std::string, uint16_t>>{{"10.0.0.2", 2}, {"10.0.0.1", 1}}));
    EXPECT_EQ(DatafeedManagerOf(inst.Session("OO")), nullptr);  // the test's own
}

TEST_F(InstanceTest, AuthRegistration) {
    CSocketDataMananger inst(&cfg_);
    // No "userid=": -1007, but the built-in addresses of type 2 are appended.
    EXPECT_EQ(inst.RegisterAddr("auth", "passport-text", 2, true), -1007);
    ASSERT_EQ(inst.Markets(), (std::vector<std::string>{"SH", "SZ"}));
    ASSERT_EQ(created_["SH"]->addresses.size(), 3u);
    EXPECT_EQ(created_["SH"]->addresses[0].first, GetBuiltinHosts().gatewayAddresses[0]);
    EXPECT_EQ(created_["SH"]->addresses[2].first, GetBuiltinHosts().gatewayAddresses[2]);
    EXPECT_EQ(created_["SZ"]->addresses[0].second, 8603);
    EXPECT_EQ(inst.Account().passport, "passport-text");  // kept even so

    EXPECT_EQ(inst.RegisterAddr("auth", "a=b|userid=42|x", 4, true), -1007);  // bad type
    EXPECT_EQ(inst.RegisterAddr("auth", "a=b|userid=42|x", 3, true), 0);
    EXPECT_EQ(inst.Account().user_id, "42");
    EXPECT_EQ(inst.Account().auth_kind, "passport");
    EXPECT_EQ(created_["SH"]->addresses.size(), 3u);  // type 3 adds none
    EXPECT_EQ(inst.RegisterAddr("auth", "userid=7|", 1, true), 0);
    EXPECT_EQ(created_["SH"]->addresses.back().second, 8503);

    // An "auth" registration short-circuits the pre-login check.
    const LoginResult r = inst.CheckLogin("u", "p");
    EXPECT_EQ(r.nstatuscode, 0);
    EXPECT_EQ(inst.Account().auth_kind, "passport");
}

TEST_F(InstanceTest, CheckLoginPaths) {
    {
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.CheckLogin(kInternalAccountMarker, "p").nstatuscode, 0);
        EXPECT_EQ(inst.Account().auth_kind, "inside");
        EXPECT_EQ(inst.CheckLogin("9d41c2e-trader", "p").nstatuscode, 0);
        EXPECT_EQ(inst.Account().auth_kind, "inside");
        EXPECT_EQ(inst.Account().username, "9d41c2e-trader");
    }
    // An ordinary account goes to the authentication centre.
    kvotest::ClearProxyEnvironment();
    kvotest::FakeAuthService centre;
    ASSERT_TRUE(centre.Start());
    const std::string savedFolder = SetAuthDataFolder(dir_);
    {
        CSocketDataMananger inst(&cfg_);
        centre.SetLoginMode(kvotest::FakeAuthService::LoginMode::kRefused);
        LoginResult r = inst.CheckLogin("u1", "p1");
        EXPECT_EQ(r.nstatuscode, -1012);
        EXPECT_EQ(BoundedText(r.statusmsg), kTextAuthCentreFailed);
        EXPECT_EQ(inst.Account().auth_kind, "formal");
        EXPECT_EQ(inst.Account().passport, "");

        // Accepted: the account holds what the centre issued, and a later check
        // asks the centre no more.
        centre.SetLoginMode(kvotest::FakeAuthService::LoginMode::kOk);
        r = inst.CheckLogin("u1", "p1");
        EXPECT_EQ(r.nstatuscode, 0);
        EXPECT_EQ(BoundedText(r.statusmsg), kTextLoginOkChecked);
        EXPECT_EQ(inst.Account().auth_kind, "formal");
        EXPECT_EQ(inst.Account().passport,
                  kvotest::FakeAuthService::KeptPassport(kvotest::FakeAuthService::LocalDate(0)));
        EXPECT_EQ(inst.Account().session_id, "SID1");
        const size_t asked = centre.Server().RequestCount();
        EXPECT_EQ(inst.CheckLogin("u1", "p1").nstatuscode, 0);
        EXPECT_EQ(centre.Server().RequestCount(), asked);
    }
    {
        // tool.ini's "auth=test" signs with the application id: an account
        // the centre knows under that key is accepted.
        centre.AddAccount(kvotest::FakeAuthAccount::Numbered(2, "u2", "p2", true));
        WriteToolIni("auth=test\n");
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.CheckLogin("u2", "p2").nstatuscode, 0);
        EXPECT_EQ(inst.Account().session_id, "SID2");
        EXPECT_TRUE(centre.Violations().empty()) << testing::PrintToString(centre.Violations());
    }
    SetAuthDataFolder(savedFolder);
    {
        cfg_.m_authtype = 2;
        CSocketDataMananger inst(&cfg_);
        EXPECT_EQ(inst.CheckLogin("trader", "p").nstatuscode, 0);
        EXPECT_EQ(inst.Account().auth_kind, "gateway_auth");
    }
}

TEST_F(InstanceTest, LoginOverAllMarkets) {
    cfg_.m_authtype = 1;
    cfg_.m_connectmarket[0] = '\0';
    CSocketDataMananger inst(&cfg_);
    ASSERT_EQ(inst.RegisterAddrByMode("USZ", "10.0.0.1", 1), 0);
    ASSERT_EQ(inst.RegisterAddrByMode("USH", "10.0.0.1", 1), 0);
    created_["SZ"]->loginResult = MakeLoginResult(-1005, kTextCannotConnect, "");
    created_["SH"]->loginResult = MakeLoginResult(0, "ok", "20300101");
    const LoginResult r = inst.LoginByMode("trader", "pw");
    EXPECT_EQ(r.nstatuscode, -1005);
    EXPECT_EQ(BoundedText(r.statusmsg), std::string("(SH:\"ok\" SZ:\"") + kTextCannotConnect + "\" )");
    EXPECT_EQ(BoundedText(r.expire_date), "(SH:\"20300101\" SZ:\"\" )");
    EXPECT_EQ(created_["SH"]->lastAccount.username, "trader");
    EXPECT_EQ(created_["SH"]->lastAccount.password, "pw");
    EXPECT_EQ(created_["SH"]->lastAccount.process_id, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(created_["SH"]->lastAccount.auth_kind, "gateway_auth");
    EXPECT_EQ(inst.OfflineState(), "offlinedebugtype_disable");
}

// The exported KvoLogin hands the host the merged answer of every market,
// expiry dates included, in its own zero-filled block.
TEST_F(InstanceTest, ExportedLoginCarriesEveryMarketsExpiryDate) {
    cfg_.m_authtype = 1;
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(KvoRegisterAddr(h, "USZ", "10.0.0.1", 1), 0);
    ASSERT_EQ(KvoRegisterAddr(h, "USH", "10.0.0.1", 1), 0);
    created_["SH"]->loginResult = MakeLoginResult(0, "ok", "20301231");
    created_["SZ"]->loginResult = MakeLoginResult(0, "fine", "20291130");
    LoginResult* r = KvoLogin(h, "trader", "pw");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, 0);
    EXPECT_EQ(BoundedText(r->statusmsg), "(SH:\"ok\" SZ:\"fine\" )");
    EXPECT_EQ(BoundedText(r->expire_date), "(SH:\"20301231\" SZ:\"20291130\" )");
    for (size_t i = std::strlen(r->expire_date); i < sizeof(r->expire_date); ++i) {
        ASSERT_EQ(r->expire_date[i], '\0') << i;
    }
    EXPECT_EQ(created_["SH"]->lastAccount.username, "trader");
    EXPECT_EQ(KvoFreeMem(r), 0);

    // A date text longer than the field is cut and still terminated.
    created_["SZ"]->loginResult = MakeLoginResult(0, "fine", std::string(80, '9'));
    r = KvoLogin(h, "trader", "pw");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, 0);
    EXPECT_EQ(r->expire_date[sizeof(r->expire_date) - 1], '\0');
    EXPECT_EQ(BoundedText(r->expire_date),
              ("(SH:\"20301231\" SZ:\"" + std::string(80, '9')).substr(0, sizeof(r->expire_date) - 1));
    EXPECT_EQ(KvoFreeMem(r), 0);
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

TEST_F(InstanceTest, SubscriptionAndQueryRoads) {
    CSocketDataMananger inst(&cfg_);
    ASSERT_EQ(inst.RegisterAddrByMode("USH", "10.0.0.1", 1), 0);
    EXPECT_EQ(inst.SubScribe(2, 1, "USH", "600000", true, true), 0);
    EXPECT_EQ(inst.SubScribe(2, 1, "USZ", "000001", true, false), -1007);
    EXPECT_EQ(inst.SubScribe(2, 8, "USH", "", true, false), 0);
    ASSERT_EQ(created_["SH"]->subscriptions.size(), 2u);
    EXPECT_EQ(created_["SH"]->subscriptions[0], "2|1|USH|600000|w");
    EXPECT_EQ(created_["SH"]->subscriptions[1], "2|8|USH||a");
    uint32_t n = 0;
    char* codes = inst.GetCodelist("USH", &n, "", true);
    ASSERT_NE(codes, nullptr);
    EXPECT_EQ(n, 3u);
    free(codes);
    EXPECT_EQ(inst.GetCodelist("USZ", &n, "", true), nullptr);
}

TEST_F(InstanceTest, ChildRoleRegistersTheMaster) {
    WriteToolIni("master=false\nsocket_port=0\n");
    CSocketDataMananger inst(&cfg_);
    ASSERT_EQ(inst.Mode(), kChild);
    EXPECT_EQ(inst.RegisterAddrByMode("USH", "192.168.1.5", 9999), 0);
    EXPECT_EQ(inst.MasterAddress(), "192.168.1.5");
    EXPECT_EQ(inst.RegisterAddrByMode("auth", "userid=1|", 3), 0);  // not the master
    EXPECT_EQ(inst.MasterAddress(), "192.168.1.5");
    EXPECT_EQ(inst.MasterPort(), 9999);
    EXPECT_TRUE(inst.Markets().empty());
    EXPECT_EQ(inst.SubScribe(1, 8, "USH", "", true, true), 0);
    OfflineDebugConfig off{};
    off.push_count = 1;
    off.playback_times = 1;
    EXPECT_EQ(inst.StartOfflineDebug(off), -103);
}

TEST_F(InstanceTest, ReleaseDestroysSessionsAndClearsTheContext) {
    cfg_.fnctickstock = &DataCb;
    auto* first = new CSocketDataMananger(&cfg_);
    ASSERT_EQ(first->RegisterAddr("USH", "10.0.0.1", 1, true), 0);
    ASSERT_EQ(first->RegisterAddr("USZ", "10.0.0.1", 1, true), 0);
    auto* second = new CSocketDataMananger(&cfg_);
    EXPECT_EQ(GetCallbackContext(), second);
    EXPECT_TRUE(TL_NetIsStarted());
    const int users = NetEngineUsers();
    delete first;  // not the context: the slots stay; the engine keeps running
    EXPECT_TRUE(TL_NetIsStarted());
    EXPECT_EQ(g_destroyed, 2);
    EXPECT_EQ(GetCallbackContext(), second);
    EXPECT_EQ(GetDataCallbackSlots().fnctickstock, &DataCb);
    EXPECT_EQ(NetEngineUsers(), users - 1);
    auto* third = new CSocketDataMananger(&cfg_);
    ASSERT_EQ(third->RegisterAddr("USH", "10.0.0.1", 1, true), 0);
    delete second;
    EXPECT_EQ(GetCallbackContext(), third);
    EXPECT_EQ(NetEngineUsers(), users - 1);
    // The last instance's sessions go while the engine still runs.
    delete third;
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(g_destroyedOnStoppedEngine, 0);
    EXPECT_EQ(GetCallbackContext(), nullptr);
    EXPECT_EQ(GetDataCallbackSlots().fnctickstock, nullptr);
    EXPECT_EQ(NetEngineUsers(), users - 2);
    EXPECT_FALSE(TL_NetIsStarted());  // the last instance stopped it
}

namespace {

// The registry keys a subscriber holds, sorted.
std::vector<std::string> KeysOf(Subscriber subscriber) {
    SubscriptionKeySet keys;
    SubscriptionRegistry::Global().GetSubscriberKeys(subscriber, &keys);
    return std::vector<std::string>(keys.begin(), keys.end());
}

void DropAllKeys(Subscriber subscriber) {
    for (const std::string& key : KeysOf(subscriber)) {
        SubscriptionRegistry::Global().RemoveKeys(key, subscriber);
    }
}

OfflineDebugConfig SampleFolder() {
    OfflineDebugConfig cfg{};
    const char* source = std::getenv("KVO_SOURCE_DIR");
    std::snprintf(cfg.path, sizeof(cfg.path), "%s/examples/offline/", source ? source : ".");
    cfg.push_space = 3000;
    cfg.push_count = 200;
    cfg.playback_times = 1;
    return cfg;
}

}  // namespace

// In the offline state login succeeds at once, registration registers
// nothing, playback cannot start again, queries read the playback folder and
// the host's subscriptions only change the registry (under the local
// subscriber id 0); the state never goes back.
TEST_F(InstanceTest, OfflineStateRoads) {
    CSocketDataMananger inst(&cfg_);
    ASSERT_EQ(inst.RegisterAddrByMode("USH", "10.0.0.1", 1), 0);
    ASSERT_TRUE(inst.EnterOfflineState(SampleFolder()));
    EXPECT_FALSE(inst.EnterOfflineState(SampleFolder()));
    EXPECT_EQ(inst.OfflineState(), "offlinedebugtype_yes");

    const LoginResult r = inst.LoginByMode("trader", "pw");
    EXPECT_EQ(r.nstatuscode, 0);
    EXPECT_EQ(BoundedText(r.statusmsg), kTextLoginOk);
    EXPECT_EQ(created_["SH"]->lastAccount.username, "");  // no session asked
    EXPECT_EQ(inst.RegisterAddrByMode("USZ", "10.0.0.2", 2), 0);
    EXPECT_EQ(inst.Markets(), std::vector<std::string>{"SH"});
    OfflineDebugConfig again = SampleFolder();
    EXPECT_EQ(inst.StartOfflineDebug(again), -101);

    uint32_t n = 0;
    char* codes = inst.GetCodelist("USHA", &n, "", true);
    ASSERT_NE(codes, nullptr);
    EXPECT_EQ(std::string(codes, n), "600000,600036");
    free(codes);
    auto* stock = static_cast<TickStock*>(inst.GetTickStock("USHA", "600036", &n, "", true));
    ASSERT_NE(stock, nullptr);
    ASSERT_EQ(n, 1u);
    EXPECT_STREQ(stock[0].code, "600036");
    free(stock);
    EXPECT_EQ(inst.GetTickIndex("USHA", "nothing", &n, "", true), nullptr);

    DropAllKeys(0);
    EXPECT_EQ(inst.SubScribe(2, 1, "USHA", "600000,600036", true, true), 0);
    EXPECT_EQ(KeysOf(0), (std::vector<std::string>{"2|USHA:(600000)", "2|USHA:(600036)"}));
    EXPECT_EQ(inst.SubScribe(2, 4, "USHA", "(600000)", true, true), 0);
    EXPECT_EQ(KeysOf(0), std::vector<std::string>{"2|USHA:(600036)"});
    EXPECT_EQ(inst.SubScribe(1, 3, "USZA", "()", true, false), 0);
    EXPECT_EQ(inst.SubScribe(2, 2, "USHA", "", true, true), 0);
    EXPECT_EQ(KeysOf(0), std::vector<std::string>{"1|USZA:()"});
    EXPECT_TRUE(created_["SH"]->subscriptions.empty());  // nothing went to a gateway
    // Operation 8 still goes to the market's session.
    EXPECT_EQ(inst.SubScribe(2, 8, "USHA", "", true, true), 0);
    EXPECT_EQ(created_["SH"]->subscriptions, std::vector<std::string>{"2|8|USHA||w"});
    DropAllKeys(0);

    // An online login closes the road into playback for good. (The gateway
    // checks the account: no authentication centre is asked.)
    cfg_.m_authtype = 1;
    CSocketDataMananger online(&cfg_);
    online.LoginByMode("trader", "pw");
    EXPECT_FALSE(online.EnterOfflineState(SampleFolder()));
    EXPECT_EQ(online.OfflineState(), "offlinedebugtype_disable");
}

// In the master role the host's subscriptions pass the registry, and only
// codes no other subscriber covers go to the market session.
TEST_F(InstanceTest, MasterRoleSubscriptionsPassTheRegistry) {
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger inst(&cfg_);
    ASSERT_EQ(inst.Mode(), kMaster);
    ASSERT_EQ(inst.RegisterAddrByMode("USH", "10.0.0.1", 1), 0);
    FakeSession* sh = created_["SH"];
    const Subscriber child = 77;
    DropAllKeys(0);
    DropAllKeys(child);
    SubscriptionRegistry::Global().AddKeys("2|USH:(600000)", child);

    EXPECT_FALSE(inst.IsKeyCovered("2|USH:(600036)", 3));
    EXPECT_EQ(inst.SubScribe(2, 1, "USH", "600000,600036", true, false), 0);
    EXPECT_TRUE(inst.IsKeyCovered("2|USH:(600000)", 3));  // the child and the host
    EXPECT_FALSE(inst.IsKeyCovered("2|USH:(600036)", 3));
    EXPECT_TRUE(inst.IsKeyCovered("2|USH:(600036)", 4));
    EXPECT_TRUE(inst.IsKeyCovered("2|USH:(600036)", 1));
    EXPECT_EQ(inst.SubScribe(2, 4, "USH", "600000,600036", true, false), 0);
    EXPECT_EQ(inst.SubScribe(2, 1, "USH", "()", true, false), 0);
    EXPECT_EQ(KeysOf(0), std::vector<std::string>{"2|USH:()"});
    EXPECT_EQ(inst.SubScribe(2, 2, "USH", "", true, false), 0);
    EXPECT_EQ(inst.SubScribe(2, 8, "USH", "", true, false), 0);
    EXPECT_EQ(inst.SubScribe(2, 9, "USH", "600000", true, false), 0);  // changes nothing
    // The whole market's removal also ends the child's code at the gateway,
    // so that code is subscribed again.
    EXPECT_EQ(sh->subscriptions, (std::vector<std::string>{"2|3|USH|(600036)|w", "2|4|USH|(600036)|w", "2|3|USH|()|w",
                                                           "2|4|USH|()|w", "2|3|USH|(600000)|w", "2|8|USH||a"}));
    EXPECT_TRUE(KeysOf(0).empty());
    EXPECT_EQ(KeysOf(child), std::vector<std::string>{"2|USH:(600000)"});
    DropAllKeys(child);

    EXPECT_EQ(CSocketDataMananger::GetIntField("ReqType:52,error:-1015,", "error"), -1015);
    EXPECT_EQ(CSocketDataMananger::GetIntField("error:7", "error"), 0);
    EXPECT_EQ(CSocketDataMananger::FormatInt(-1015), "-1015");
}

// Which markets exist is one rule for every road: a registration takes OO
// by its own code only; subscriptions also take ZO and SO as OO, through
// the registry of the master role to the OO session.
TEST_F(InstanceTest, EveryRoadKnowsTheSameMarkets) {
    cfg_.m_connectmarket[0] = '\0';
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    EXPECT_EQ(master.RegisterAddrByMode("UZO", "10.0.0.1", 1), -1007);
    ASSERT_EQ(master.RegisterAddrByMode("UOO", "10.0.0.1", 1), 0);
    DropAllKeys(0);
    for (const char* m : {"UOOA", "UZOA", "USOA"}) EXPECT_EQ(master.SubScribe(2, 3, m, "(2)", true, true), 0) << m;
    EXPECT_EQ(created_["OO"]->subscriptions,
              (std::vector<std::string>{"2|3|UOOA|(2)|w", "2|3|UZOA|(2)|w", "2|3|USOA|(2)|w"}));
    DropAllKeys(0);
}
