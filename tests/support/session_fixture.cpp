#include "tests/support/session_fixture.h"

#include "datapacket.pro.pb.h"
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_socketlink.h"
#include "framework/tl_log.h"
#include "framework/tl_threadmgr.h"
#include "session/kvo_texts.h"
#include "tests/support/net_wait.h"

namespace kvotest {

std::string ThreadNameOfCaller() {
    const uint32_t id = TL_GetCurrentThreadId();
    CTLThreadManager* m = CTLThreadManager::GetInstance();
    for (int32_t i = 0; i < CTLThreadManager::kMaxThreads; ++i) {
        TLThreadRecordInfo r;
        if (m->GetRecord(i, &r) && r.inUse && r.threadId == id) return r.name;
    }
    return "";
}

SessionTimers ShortSessionTimers() {
    SessionTimers t;
    t.heartbeatMs = 50;
    // Answer times are whole seconds: a check-out age of 1 s would fire at
    // the first tick after a second boundary even with answers 50 ms old.
    t.checkOutSeconds = 2;
    t.loginWaitMs = 1000;
    t.asyncCheckMs = 50;
    t.samplingSeconds = 1;
    return t;
}

std::vector<std::string> ElkLines(const GatewaySim& sim, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const datapacket::ElkMessageReq& m : ParsedFrames<datapacket::ElkMessageReq>(sim, kSimElk)) {
        if (prefix.empty() || m.elkmessage().find("\"index_prefix\":\"" + prefix + "\"") != std::string::npos) {
            lines.push_back(m.elkmessage());
        }
    }
    return lines;
}

SimAnswer StatusAnswer(int32_t status, const std::string& statusmsg, uint32_t delayMs) {
    SimAnswer a;
    a.status = status;
    a.statusmsg = statusmsg;
    a.delayMs = delayMs;
    return a;
}

SimAnswer SilentAnswer() {
    SimAnswer a;
    a.mode = SimAnswer::kSilent;
    return a;
}

SimSessionTest::SimSessionTest() : timers_(ShortSessionTimers()), m_log("kvo_session_log_") {
    InstanceConfig_SetDefaults(&cfg_);
    cfg_.m_loglevel = 5;
    cfg_.m_timeout = 2000;
}

void SimSessionTest::SetUp() {
    TL_SetLogLevel(0, 5);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    m_engine = true;
    ASSERT_TRUE(sim_.Start());
}

void SimSessionTest::TearDown() {
    sim_.Stop();
    if (m_engine) TL_NetCleanup();
    m_engine = false;
}

kvoapi::LoginAccountInfo SimSessionTest::GatewayAccount(const std::string& user) {
    kvoapi::LoginAccountInfo account;
    account.username = user;
    account.auth_kind = kvoapi::kAuthGatewayAuth;
    return account;
}

std::unique_ptr<CDatafeedSDKManager> SimSessionTest::MakeSession(const std::string& market) {
    return std::make_unique<CDatafeedSDKManager>(&cfg_, nullptr, market);
}

std::unique_ptr<CDatafeedSDKManager> SimSessionTest::LoggedInSession(const std::string& market,
                                                                     const std::vector<GatewaySim*>& more) {
    auto s = MakeSession(market);
    s->AddAddress("127.0.0.1", sim_.Port(), false);
    for (GatewaySim* g : more) s->AddAddress("127.0.0.1", g->Port(), false);
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    EXPECT_EQ(s->Login(account).nstatuscode, 0);
    return s;
}

::testing::AssertionResult SimSessionTest::Connect(CDatafeedSDKManager& session, bool loggedIn) {
    const size_t before = sim_.Accepted();
    const int32_t rc = session.OpenConnection("127.0.0.1", sim_.Port());
    if (rc != 0) return ::testing::AssertionFailure() << "OpenConnection gave " << rc;
    if (!sim_.WaitForAccepted(before + 1, 5000)) return ::testing::AssertionFailure() << "not accepted";
    // Connected on the client's side too: the connect callback has run.
    const bool connected = Eventually(
        [&] {
            corvane::ITLSocketLink* link = session.Connection()->GetLink();
            return link != nullptr && link->GetState() == TL_CONN_CONNECTED;
        },
        5000);
    if (!connected) return ::testing::AssertionFailure() << "the client side did not connect";
    if (loggedIn && !session.EnterSessionReceive(session.ConnectionId())) {
        return ::testing::AssertionFailure() << "receive routing not switched";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace kvotest
