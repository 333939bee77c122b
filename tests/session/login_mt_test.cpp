// Connect and login of a market session against the gateway simulator: the
// gateway's statuses as the library's codes and texts, every LoginReq field,
// the walk over the addresses (refused, late and silent gateways), passport
// renewal and its end when the session is destroyed, the telemetry the
// gateway's mask turns on, the level-7 file and push sampling.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "session/account_auth.h"
#include "session/auth.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"
#include "simulator/frame_writer.h"
#include "tests/support/fake_auth.h"
#include "tests/support/http_server.h"
#include "tests/support/net_wait.h"
#include "tests/support/session_fixture.h"
#include "tests/support/temp_dir.h"

using kvotest::Eventually;
using kvotest::GatewaySim;
using kvotest::MsSince;
using kvotest::SimAnswer;
using kvotest::SimFrame;
using Clock = std::chrono::steady_clock;

namespace {

// A loopback port that refuses connections: bound but not listening, and
// kept bound so that nobody else takes it meanwhile.
class RefusingPort {
public:
    RefusingPort() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &l) == 0) {
            m_port = ntohs(a.sin_port);
        }
    }
    ~RefusingPort() {
        if (m_fd >= 0) ::close(m_fd);
    }
    uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

std::string Text(const char* field, size_t width) { return kvoapi::BoundedText(field, width); }
std::string Msg(const LoginResult& r) { return Text(r.statusmsg, sizeof(r.statusmsg)); }

kvoapi::LoginAccountInfo Account(const std::string& kind = kvoapi::kAuthGatewayAuth) {
    kvoapi::LoginAccountInfo a;
    a.username = "trader";
    a.password = "pw";
    a.passport = "PP";
    a.user_id = "4711";
    a.auth_kind = kind;
    a.local_addresses = "127.0.0.1&";
    a.process_id = 99;
    return a;
}

std::vector<datapacket::LoginReq> LoginRequests(const GatewaySim& sim) {
    return kvotest::ParsedFrames<datapacket::LoginReq>(sim, kvotest::kSimLoginReq);
}

class LoginTest : public kvotest::SimSessionTest {
protected:
    void AddSim(CDatafeedSDKManager& s, GatewaySim& sim) { s.AddAddress("127.0.0.1", sim.Port(), false); }
    // A session of market with these loopback ports as its addresses.
    std::unique_ptr<CDatafeedSDKManager> SessionOn(std::initializer_list<uint16_t> ports, const char* market = "SH") {
        auto s = MakeSession(market);
        for (uint16_t port : ports) s->AddAddress("127.0.0.1", port, false);
        return s;
    }
    // Logs the session in with Account().
    static LoginResult LogIn(CDatafeedSDKManager& s) {
        kvoapi::LoginAccountInfo account = Account();
        return s.Login(account);
    }
};

// A folder of its own for the telemetry file or the login record, removed
// afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        char name[] = "/tmp/kvo_elk_XXXXXX";
        if (::mkdtemp(name) != nullptr) m_path = name;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A scripted authentication service: counts its calls and answers with a
// passport valid on the date given.
struct ScriptedAuth {
    std::atomic<int> calls{0};
    std::atomic<bool> succeed{true};
    std::string validDate;
    uint32_t lastTimeout = 0;
    bool lastSelector = false;

    kvoapi::AccountAuthenticator Function() {
        return [this](uint32_t timeoutMs, bool selector, const std::string& user, const std::string&,
                      std::string* passport, std::string* sessionId) -> int32_t {
            ++calls;
            lastTimeout = timeoutMs;
            lastSelector = selector;
            if (!succeed.load()) return 0;
            *passport = "renewed-" + user + "|signvalid=" + validDate + "|";
            *sessionId = "S" + std::to_string(calls.load());
            return 1;
        };
    }
};

class ScopedAuthenticator {
public:
    explicit ScopedAuthenticator(kvoapi::AccountAuthenticator a) : m_previous(kvoapi::SetAccountAuthenticator(a)) {}
    ~ScopedAuthenticator() { kvoapi::SetAccountAuthenticator(m_previous); }

private:
    kvoapi::AccountAuthenticator m_previous;
};

}  // namespace

// Every gateway status as the library's code, text and logged-in state;
// gateway texts arrive in UTF-8 and reach the host in GBK.
TEST_F(LoginTest, GatewayStatusesBecomeLibraryCodes) {
    const std::string utf8Refusal =
        "\xe8\xb4\xa6\xe5\x8f\xb7\xe5\xb7\xb2\xe8\xbf\x87\xe6\x9c\x9f";  // "account expired"
    struct Row {
        int32_t status;
        int32_t code;
    };
    const Row rows[] = {{-1, -1012}, {-2, -1013}, {-3, -1013},  {-4, -1003}, {-5, -1017},
                        {-6, -1016}, {-7, -1018}, {-99, -1013}, {0, 0},      {1, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(row.status, utf8Refusal));
        auto s = SessionOn({sim_.Port()});
        const LoginResult r = LogIn(*s);
        EXPECT_EQ(r.nstatuscode, row.code);
        EXPECT_EQ(kvotest::HexOf(Msg(r)), "d5cbbac5d2d1b9fdc6da");
        EXPECT_EQ(Text(r.expire_date, sizeof(r.expire_date)), row.status >= 0 ? "20991231" : "");
        EXPECT_EQ(s->IsLoggedIn(), row.status >= 0);
        EXPECT_EQ(s->InSessionReceive(), row.status >= 0);
        EXPECT_EQ(s->ReconnectOnDisconnect(), row.status < 0);
    }

    // A long text is cut on a GBK character boundary within the field.
    SimAnswer raw = kvotest::StatusAnswer(-3);
    std::string longText;
    for (int i = 0; i < 40; ++i) longText += "\xe6\x8b\x92";  // 40 three-byte characters
    raw.statusmsg = longText;
    sim_.SetAnswer(kvotest::kSimLoginReq, raw);
    auto s = SessionOn({sim_.Port()});
    const LoginResult r = LogIn(*s);
    EXPECT_EQ(r.nstatuscode, -1013);
    EXPECT_EQ(Msg(r).size(), 68u);  // 34 two-byte GBK characters fit in 69 bytes
    EXPECT_EQ(kvotest::HexOf(Msg(r).substr(0, 2)), "bedc");
    EXPECT_EQ(r.statusmsg[69], '\0');

    // No address at all: "wrong ip" and the reconnect flag.
    auto none = MakeSession("SZ");
    const LoginResult empty = LogIn(*none);
    EXPECT_EQ(empty.nstatuscode, -1006);
    EXPECT_EQ(kvotest::HexOf(Msg(empty)), "b4edcef36970");
    EXPECT_TRUE(none->ReconnectOnDisconnect());
}

// Every LoginReq field, per market and authentication kind, and the token
// the gateway gave carried into the next login, after a refusal too.
TEST_F(LoginTest, LoginRequestCarriesTheAccountAndTheToken) {
    cfg_.m_authtype = 1;
    const char* markets[] = {"SH", "SZ", "OO"};
    const uint32_t kinds[] = {2, 1, 4};
    for (int i = 0; i < 3; ++i) {
        sim_.ClearFrames();
        auto s = MakeSession(markets[i]);
        AddSim(*s, sim_);
        kvoapi::LoginAccountInfo account = Account(i == 0 ? kvoapi::kAuthPassport : kvoapi::kAuthInside);
        ASSERT_EQ(s->Login(account).nstatuscode, 0);
        const auto reqs = LoginRequests(sim_);
        ASSERT_EQ(reqs.size(), 1u);
        const datapacket::LoginReq& r = reqs[0];
        EXPECT_EQ(r.username(), "trader");
        EXPECT_EQ(r.password(), "pw");
        EXPECT_EQ(r.passport(), "PP");
        EXPECT_EQ(r.userid(), "4711");
        EXPECT_EQ(r.mac(), s->MacText());
        EXPECT_NE(r.instid(), 0u);
        EXPECT_EQ(r.zip_version(), "hq6.0;");
        EXPECT_EQ(r.exchange_type(), kinds[i]);
        EXPECT_EQ(r.token(), "");
        EXPECT_EQ(r.session_id(), "");
        EXPECT_EQ(r.usertype(), i == 0 ? "passport" : "formal");
        EXPECT_EQ(r.version(), "2.2.5@@" + CDatafeedSDKManager::GetOsText());
        EXPECT_EQ(r.version().rfind("2.2.5@@Linux ", 0), 0u) << r.version();
    }

    // No password without m_authtype; the session id when there is one; the
    // token of a refusal, then that of a success.
    cfg_.m_authtype = 0;
    sim_.ClearFrames();
    auto s = MakeSession("SH");
    AddSim(*s, sim_);
    kvoapi::LoginAccountInfo account = Account();
    account.session_id = "sess-1";
    SimAnswer refused = kvotest::StatusAnswer(-4);
    refused.token = "T-refused";
    sim_.SetAnswer(kvotest::kSimLoginReq, refused);
    EXPECT_EQ(s->Login(account).nstatuscode, -1003);
    EXPECT_EQ(s->Token(), "T-refused");
    SimAnswer ok = kvotest::StatusAnswer(0);
    ok.token = "T-ok";
    sim_.SetAnswer(kvotest::kSimLoginReq, ok);
    EXPECT_EQ(s->Login(account).nstatuscode, 0);
    s->SetLoggedIn(false);
    EXPECT_EQ(s->Login(account).nstatuscode, 0);
    const auto reqs = LoginRequests(sim_);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].password(), "");
    EXPECT_EQ(reqs[0].session_id(), "sess-1");
    EXPECT_EQ(reqs[0].token(), "");
    EXPECT_EQ(reqs[1].token(), "T-refused");
    EXPECT_EQ(reqs[2].token(), "T-ok");
    EXPECT_NE(reqs[1].instid(), reqs[2].instid());
}

// The walk over the addresses: a refused port fails at once with -1005; a
// gateway that answers only after the attempt gave up can neither fail nor
// succeed the next address's attempt; every address failing gives the last
// result and the reconnect flag.
TEST_F(LoginTest, FailoverAcrossAddresses) {
    GatewaySim second;
    ASSERT_TRUE(second.Start());
    RefusingPort refused;
    ASSERT_NE(refused.Port(), 0);

    {
        auto s = SessionOn({refused.Port(), sim_.Port()});
        const Clock::time_point t0 = Clock::now();
        const LoginResult r = LogIn(*s);
        EXPECT_EQ(r.nstatuscode, 0);
        EXPECT_LT(MsSince(t0), 800);  // no wait on the refused port
        EXPECT_TRUE(s->IsLoggedIn());
        EXPECT_NE(LogText().find("Type:SH-Login[], connect to ip:127.0.0.1 port:" + std::to_string(refused.Port()) +
                                 " fail! Ret:-1005"),
                  std::string::npos);
    }

    // The first gateway refuses, but only after the attempt's wait (1000 ms)
    // ended; the second accepts. Its exchange must not queue behind the
    // abandoned one (which would wait m_timeout, 2000 ms).
    sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(-3, "late", 1500));
    second.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(0));
    {
        auto s = SessionOn({sim_.Port(), second.Port()});
        const Clock::time_point t0 = Clock::now();
        const LoginResult r = LogIn(*s);
        EXPECT_EQ(r.nstatuscode, 0) << Msg(r);
        EXPECT_GE(MsSince(t0), 900);
        EXPECT_LT(MsSince(t0), 1900);
        // The late refusal arrives meanwhile and changes nothing.
        ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 1, 100));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_TRUE(s->IsLoggedIn());
        EXPECT_TRUE(s->InSessionReceive());
    }

    // A late success of the first gateway does not turn the second's refusal
    // into a login.
    sim_.ClearFrames();
    sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(0, "", 1500));
    second.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(-4, "no"));
    {
        auto s = SessionOn({sim_.Port(), second.Port()});
        const LoginResult r = LogIn(*s);
        EXPECT_EQ(r.nstatuscode, -1003);
        EXPECT_EQ(Msg(r), "no");
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        EXPECT_FALSE(s->IsLoggedIn());
        EXPECT_FALSE(s->InSessionReceive());
        EXPECT_TRUE(s->ReconnectOnDisconnect());
    }

    // A silent gateway times out with -1002.
    sim_.SetSilent(true);
    {
        auto s = SessionOn({sim_.Port()});
        const LoginResult r = LogIn(*s);
        EXPECT_EQ(r.nstatuscode, -1002);
        EXPECT_EQ(kvotest::HexOf(Msg(r)), "b3accab1cedecfecd3a6");
    }

    // Two refused ports: the last -1005 and the reconnect flag, quickly.
    RefusingPort refused2;
    auto s = SessionOn({refused.Port(), refused2.Port()}, "SZ");
    const Clock::time_point t0 = Clock::now();
    const LoginResult r = LogIn(*s);
    EXPECT_LT(MsSince(t0), 800);
    EXPECT_EQ(r.nstatuscode, -1005);
    EXPECT_EQ(Msg(r), kvoapi::kTextCannotConnect);
    EXPECT_TRUE(s->ReconnectOnDisconnect());
    EXPECT_FALSE(s->IsLoggedIn());
}

// A login answered after m_timeout gives -1002 and keeps no connection: a
// subscription then gives -1002 (not 0 with nothing delivered) and a query
// null, until a login answered in time routes the session anew.
TEST_F(LoginTest, TimedOutLoginLeavesNothingThatAnswers) {
    cfg_.m_timeout = 250;
    sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(0, "", 400));
    auto s = SessionOn({sim_.Port()});
    EXPECT_EQ(LogIn(*s).nstatuscode, -1002);
    EXPECT_EQ(s->SubScribe(5, 1, "USHA", "()", true), -1002);
    uint32_t length = 0;
    char* codes = s->GetCodelist("USHA", &length);
    EXPECT_EQ(codes, nullptr);
    std::free(codes);
    sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(0));
    ASSERT_EQ(LogIn(*s).nstatuscode, 0);
    EXPECT_TRUE(s->InSessionReceive());
    EXPECT_EQ(s->SubScribe(5, 1, "USHA", "()", true), 0);
}

// A formal account's passport is renewed when its "signvalid" date is not
// today (or it has none), once; the renewed passport goes out in LoginReq
// and back into the caller's account.
TEST_F(LoginTest, PassportRenewal) {
    ScriptedAuth auth;
    auth.validDate = SessionClock::GetTodayText();
    ScopedAuthenticator scoped(auth.Function());

    auto s = MakeSession("SH");
    AddSim(*s, sim_);
    kvoapi::LoginAccountInfo account = Account(kvoapi::kAuthFormal);
    account.passport = "old|signvalid=20000101|";
    account.auth_key_selector = true;
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    EXPECT_EQ(auth.calls.load(), 1);
    EXPECT_EQ(auth.lastTimeout, 2000u);
    EXPECT_TRUE(auth.lastSelector);
    const std::string renewed = "renewed-trader|signvalid=" + auth.validDate + "|";
    EXPECT_EQ(account.passport, renewed);
    EXPECT_EQ(account.session_id, "S1");
    auto reqs = LoginRequests(sim_);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].passport(), renewed);
    EXPECT_EQ(reqs[0].session_id(), "S1");

    // Valid today: not renewed again.
    s->SetLoggedIn(false);
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    EXPECT_EQ(auth.calls.load(), 1);

    // No marker, or a date cut short: renewed. Another kind: never.
    for (const char* passport : {"no-marker", "x|signvalid=2025"}) {
        s->SetLoggedIn(false);
        account.passport = passport;
        ASSERT_EQ(s->Login(account).nstatuscode, 0);
        EXPECT_EQ(account.passport, renewed);
    }
    EXPECT_EQ(auth.calls.load(), 3);
    s->SetLoggedIn(false);
    account.passport = "old|signvalid=20000101|";
    account.auth_kind = kvoapi::kAuthPassport;
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    EXPECT_EQ(auth.calls.load(), 3);

    // A refused renewal leaves the account as it was and logs in with it.
    auth.succeed.store(false);
    s->SetLoggedIn(false);
    account.auth_kind = kvoapi::kAuthFormal;
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    EXPECT_EQ(auth.calls.load(), 4);
    EXPECT_EQ(account.passport, "old|signvalid=20000101|");
    EXPECT_EQ(LoginRequests(sim_).back().passport(), "old|signvalid=20000101|");
}

namespace {

// A session's own Login on one of its threads, as a reconnect runs it; it
// begins with the passport renewal.
struct RenewalRun {
    CDatafeedSDKManager* session = nullptr;
    kvoapi::LoginAccountInfo account;
    std::atomic<int32_t> code{1};
};

int32_t RunRenewal(RenewalRun* run, RecrieceDataThreadInfo*) {
    run->code.store(run->session->Login(run->account).nstatuscode);
    return 0;
}

// The session tests with the fake authentication service behind the
// library's default authenticator.
class RenewalServiceTest : public LoginTest {
protected:
    void SetUp() override {
        kvotest::ClearProxyEnvironment();
        LoginTest::SetUp();
        if (HasFatalFailure()) return;
        m_savedFolder = kvoapi::SetAuthDataFolder(m_folder.Path());
        ASSERT_TRUE(fake_.Start());
    }
    void TearDown() override {
        fake_.Stop();
        kvoapi::SetAuthDataFolder(m_savedFolder);
        LoginTest::TearDown();
    }

    kvotest::FakeAuthService fake_;

private:
    ScratchFolder m_folder;
    std::string m_savedFolder;
};

}  // namespace

// A session destroyed while its passport renewal waits for a silent
// authentication service: the renewal ends at once (not renewed, the login
// goes on and finds no address), and the destructor returns long before the
// service's own 2000 ms timeout would have ended the wait.
TEST_F(RenewalServiceTest, DestroyEndsARunningRenewal) {
    fake_.SetLoginMode(kvotest::FakeAuthService::LoginMode::kSilent);
    RenewalRun run;
    auto s = MakeSession("SH");
    run.session = s.get();
    run.account = Account(kvoapi::kAuthFormal);
    run.account.username = "u1";
    run.account.password = "p1";
    run.account.passport = "old|signvalid=20000101|";
    s->ReceiveThread()->SetHandler(RecrieceDataThreadInfo::kAnswer,
                                   CProcessDataThread::Handler::BindFree<&RunRenewal>(&run));
    auto* item = new RecrieceDataThreadInfo;
    item->m_kind = RecrieceDataThreadInfo::kAnswer;
    ASSERT_TRUE(s->PostReceiveItem(CDatafeedSDKManager::kReceieveThread, item));
    // Key, salt, then the password proof that is never answered.
    ASSERT_TRUE(fake_.Server().WaitForRequests(3, 10000));
    const Clock::time_point t0 = Clock::now();
    s.reset();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(run.code.load(), -1006);
    EXPECT_EQ(fake_.Paths(), std::vector<std::string>({"/verify2", "/verify3/gs", "/verify3/pwd_login"}));
    EXPECT_NE(LogText().find("Type:SH-RefreshPassport[],passport not renewed"), std::string::npos) << LogText();
}

// The gateway's stats_rate decides which records go out; records made while
// not logged in are lost; user data needs bit 0x20.
TEST_F(LoginTest, TelemetryFollowsTheGatewayMask) {
    RefusingPort refused;
    {
        auto s = SessionOn({sim_.Port()});
        EXPECT_EQ(s->SendUserData("early"), -1010);
        ASSERT_EQ(LogIn(*s).nstatuscode, 0);
        EXPECT_EQ(s->ElkEventMask(), 0u);
        EXPECT_EQ(s->SendUserData("x"), -1010);
    }
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimElk), 0u);

    SimAnswer rate = kvotest::StatusAnswer(0);
    rate.statsRate = 0x21;
    rate.expireDate = "20301231";
    sim_.SetAnswer(kvotest::kSimLoginReq, rate);
    sim_.ClearFrames();
    auto s = SessionOn({refused.Port(), sim_.Port()}, "SZ");
    kvoapi::LoginAccountInfo account = Account();
    account.user_id = "12345";
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    EXPECT_EQ(s->ElkEventMask(), 0x21u);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 1, 5000));
    std::vector<std::string> lines = kvotest::ElkLines(sim_);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& login = lines[0];
    EXPECT_EQ(login.rfind(
                  "{\"index_prefix\":\"client@_login\",\"module\":\"Login\",\"event\":\"tracelog\",\"logtime\":\"", 0),
              0u)
        << login;
    const std::string error =
        "127.0.0.1:" + std::to_string(refused.Port()) + "[code:-1005statusmsg:" + kvoapi::kTextCannotConnect + "]   ";
    EXPECT_NE(login.find(",\"login_error\":\"" + error +
                         "\",\"login_success_expire_date\":\"20301231\","
                         "\"login_success_ip\":\"127.0.0.1\",\"login_success_port\":\"" +
                         std::to_string(sim_.Port()) + "\"}\n"),
              std::string::npos)
        << login;

    // User data with its quote escaped; the standing fields only where asked.
    EXPECT_EQ(s->SendUserData("say \"hi\""), 0);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 2, 5000));
    lines = kvotest::ElkLines(sim_);
    EXPECT_NE(lines[1].find("\"index_prefix\":\"client@_qsuserdata\",\"module\":\"qsuserdata\""), std::string::npos);
    EXPECT_NE(lines[1].find(",\"userdata\":\"say \\\"hi\\\"\"}\n"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].find("\"MAC\""), std::string::npos);
    const std::string text = s->ElkLog("client@_query", "GetTickStock", {{"n", "1"}}, "need_mapparam");
    EXPECT_EQ(text, "");
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 3, 5000));
    const std::string query = kvotest::ElkLines(sim_)[2];
    EXPECT_NE(query.find(",\"IP\":\"127.0.0.1&\",\"MAC\":\"" + s->MacText() +
                         "\",\"PID\":\"99\",\"client_version\":\"2.2.5\",\"exchangetype\":\"SZ\",\"n\":\"1\","
                         "\"userid\":12345,\"username\":\"trader\",\"usertype\":\"gateway_auth\"}\n"),
              std::string::npos)
        << query;
    const std::string cpu = s->ElkLog("p", "m", {}, "cpu_memory");
    EXPECT_EQ(cpu, "");
    const std::string textOnly = s->ElkLog("p", "m", {{"a", "1"}}, "elk_text");
    EXPECT_EQ(textOnly.find('\n'), std::string::npos);
    EXPECT_NE(textOnly.find(",\"a\":\"1\"}"), std::string::npos);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 4, 5000));
    const std::string usage = kvotest::ElkLines(sim_)[3];
    EXPECT_NE(usage.find("\"cpu\":\""), std::string::npos) << usage;
    EXPECT_NE(usage.find("\"memory\":\""), std::string::npos) << usage;

    // Not logged in: nothing goes out.
    s->SetLoggedIn(false);
    EXPECT_EQ(s->SendUserData("lost"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimElk), 4u);
}

// At log level 7 every record also goes to "kvosdk.log" under the log
// folder, and the gateway's stats_rate does not change the mask; a failed
// reconnect's record goes to the file whatever the level.
TEST_F(LoginTest, LevelSevenWritesTheTelemetryFile) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    std::snprintf(cfg_.m_logpath, sizeof(cfg_.m_logpath), "%s", folder.Path().c_str());
    const std::string file = folder.Path() + "/kvolog/kvosdk.log";
    cfg_.m_loglevel = 7;
    {
        auto s = MakeSession("SH");
        EXPECT_EQ(s->ElkFilePath(), file);
        EXPECT_EQ(s->ElkEventMask(), 63u);
        // Not logged in: not sent, but written.
        EXPECT_EQ(s->SendUserData("before"), 0);
        AddSim(*s, sim_);
        SimAnswer rate = kvotest::StatusAnswer(0);
        rate.statsRate = 1;
        sim_.SetAnswer(kvotest::kSimLoginReq, rate);
        ASSERT_EQ(LogIn(*s).nstatuscode, 0);
        EXPECT_EQ(s->ElkEventMask(), 63u);
        ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 1, 5000));
        EXPECT_EQ(sim_.CountOfType(kvotest::kSimElk), 1u);
    }
    const std::string text = kvotest::ReadWholeFile(file);
    const size_t first = text.find("\"index_prefix\":\"client@_qsuserdata\"");
    const size_t second = text.find("{\"index_prefix\":\"client@_login\",\"module\":\"Login\",\"event\":\"tracelog\"");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);

    // Level 5 with the login bit: only the reconnect failure reaches the file.
    std::filesystem::remove(file);
    cfg_.m_loglevel = 5;
    auto s = SessionOn({sim_.Port()});
    ASSERT_EQ(LogIn(*s).nstatuscode, 0);
    EXPECT_EQ(s->ElkEventMask(), 1u);
    s->ReportReconnectFailure("all \"down\"");
    const std::string after = kvotest::ReadWholeFile(file);
    EXPECT_EQ(after.rfind("{\"index_prefix\":\"client@_login\",\"module\":\"reconnect_no_success\"", 0), 0u) << after;
    EXPECT_NE(after.find(",\"login_error\":\"all \\\"down\\\"\"}\n"), std::string::npos) << after;
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 1);
}

namespace {

std::atomic<int64_t> g_fakeSeconds{0};

void FakeWallClock(struct timespec* now) {
    now->tv_sec = static_cast<time_t>(g_fakeSeconds.load());
    now->tv_nsec = 0;
}

}  // namespace

// With bit 0x8 each channel is armed at the heartbeat tick once its stamp
// lies 300 s before the last heartbeat answer, first a minute apart; a push
// of the channel consumes it, and it is armed again only 300 s later.
TEST_F(LoginTest, PushSamplingArmsEachChannelOncePerInterval) {
    SessionTimers timers = kvotest::ShortSessionTimers();
    timers.samplingSeconds = 300;
    // The fake clock jumps minutes ahead before each answer: no check-out.
    timers.checkOutSeconds = 100000;
    kvotest::ScopedSessionTimers scoped(timers);
    const int64_t t0 = 1700000000;
    g_fakeSeconds.store(t0);
    SessionClock::SetWallClock(&FakeWallClock);

    SimAnswer rate = kvotest::StatusAnswer(0);
    rate.statsRate = 8;
    sim_.SetAnswer(kvotest::kSimLoginReq, rate);
    auto s = SessionOn({sim_.Port()});
    ASSERT_EQ(LogIn(*s).nstatuscode, 0);
    using M = CDatafeedSDKManager;
    EXPECT_EQ(s->SamplingStamp(M::kSampleTransaction), static_cast<uint64_t>(t0));
    EXPECT_EQ(s->SamplingStamp(M::kSampleOrder), static_cast<uint64_t>(t0 - 240));
    EXPECT_EQ(s->SamplingStamp(M::kSampleStock), static_cast<uint64_t>(t0 - 180));
    EXPECT_EQ(s->SamplingStamp(M::kSampleIndex), static_cast<uint64_t>(t0 - 120));
    EXPECT_EQ(s->SamplingStamp(M::kSampleSuperStock), static_cast<uint64_t>(t0 - 60));
    EXPECT_EQ(s->LastHeartbeatAnswer(), static_cast<uint64_t>(t0));

    const size_t c = sim_.Latest();
    auto answerAt = [&](int64_t seconds) {
        g_fakeSeconds.store(seconds);
        ASSERT_TRUE(sim_.Write(c, kvotest::HeartbeatAnswerFrame()));
        ASSERT_TRUE(Eventually([&] { return s->LastHeartbeatAnswer() == static_cast<uint64_t>(seconds); }));
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several ticks
    for (uint32_t ch = 0; ch < M::kSamplingChannels; ++ch) EXPECT_FALSE(s->IsSamplingArmed(M::SamplingChannel(ch)));

    answerAt(t0 + 60);  // orders reach 300 s
    ASSERT_TRUE(Eventually([&] { return s->IsSamplingArmed(M::kSampleOrder); }));
    EXPECT_EQ(s->SamplingStamp(M::kSampleOrder), static_cast<uint64_t>(t0 + 60));
    EXPECT_FALSE(s->IsSamplingArmed(M::kSampleStock));

    // An order push consumes the flag.
    ASSERT_TRUE(sim_.Write(c, kvotest::PushFrame(kvotest::MakePush("USHA", 8, "x"))));
    ASSERT_TRUE(Eventually([&] { return !s->IsSamplingArmed(M::kSampleOrder); }));

    answerAt(t0 + 120);  // stock now; orders not again
    ASSERT_TRUE(Eventually([&] { return s->IsSamplingArmed(M::kSampleStock); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(s->IsSamplingArmed(M::kSampleOrder));
    EXPECT_FALSE(s->IsSamplingArmed(M::kSampleTransaction));

    answerAt(t0 + 360);  // 300 s after the order sample
    ASSERT_TRUE(Eventually([&] { return s->IsSamplingArmed(M::kSampleOrder); }));
    EXPECT_TRUE(s->IsSamplingArmed(M::kSampleTransaction));
    s.reset();
    SessionClock::SetWallClock(nullptr);
}
