// KvoLogin end to end against gateway simulators, through the exported
// functions and the real market sessions: the merged answer of two markets,
// the formal account's road through the account authenticator with a
// passport renewed once and shared by every market, a refused
// authentication, and user data after the gateway turned it on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "datapacket.pro.pb.h"
#include "include/kvoapi.h"
#include "session/account_auth.h"
#include "session/clock.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"
#include "tests/support/gateway_sim.h"
#include "tests/support/instance_dir.h"
#include "tests/support/session_fixture.h"

using kvotest::GatewaySim;
using kvotest::SimAnswer;

namespace {

class LoginRoadsTest : public kvotest::InstanceDirTest {
protected:
    LoginRoadsTest() : InstanceDirTest("kvo_login_roads"), timers_(kvotest::ShortSessionTimers()) {}
    void SetUp() override {
        InstanceDirTest::SetUp();
        ASSERT_TRUE(sh_.Start());
        ASSERT_TRUE(sz_.Start());
    }
    void TearDown() override {
        if (handle_) KvoReleaseInstance(handle_);
        sh_.Stop();
        sz_.Stop();
        kvoapi::SetAccountAuthenticator(nullptr);
        InstanceDirTest::TearDown();
    }
    // An instance with both markets registered at their simulators.
    void Create() {
        handle_ = KvoCreateInstance(&cfg_);
        ASSERT_NE(handle_, nullptr);
        ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", sh_.Port()), 0);
        ASSERT_EQ(KvoRegisterAddr(handle_, "USZ", "127.0.0.1", sz_.Port()), 0);
    }
    LoginResult LogIn(const char* user) {
        LoginResult* block = KvoLogin(handle_, user, "secret");
        LoginResult r{};
        if (block) {
            r = *block;
            KvoFreeMem(block);
        }
        return r;
    }
    static std::vector<datapacket::LoginReq> Requests(const GatewaySim& sim) {
        std::vector<datapacket::LoginReq> out;
        for (const auto& f : sim.FramesOfType(kvotest::kSimLoginReq)) {
            datapacket::LoginReq r;
            if (f.Parse(&r)) out.push_back(r);
        }
        return out;
    }

    kvotest::ScopedSessionTimers timers_;
    GatewaySim sh_;
    GatewaySim sz_;
    void* handle_ = nullptr;
};

std::string Field(const char* text, size_t width) { return kvoapi::BoundedText(text, width); }

}  // namespace

// Both markets log in on their gateways; one refuses: the merged code is the
// refusal's, and every market's text and expiry stand in the merged texts.
TEST_F(LoginRoadsTest, MergedAnswerOfTwoMarkets) {
    cfg_.m_authtype = 1;
    SimAnswer ok;
    ok.statusmsg = "ok";
    ok.expireDate = "20301231";
    sh_.SetAnswer(kvotest::kSimLoginReq, ok);
    SimAnswer refused;
    refused.status = -4;
    refused.statusmsg = "\xe6\x8b\x92\xe7\xbb\x9d\xe8\xae\xbf\xe9\x97\xae";  // UTF-8 "access refused"
    sz_.SetAnswer(kvotest::kSimLoginReq, refused);
    Create();
    LoginResult r = LogIn("trader");
    EXPECT_EQ(r.nstatuscode, -1003);
    EXPECT_EQ(Field(r.statusmsg, sizeof(r.statusmsg)), "(SH:\"ok\" SZ:\"\xbe\xdc\xbe\xf8\xb7\xc3\xce\xca\" )");
    EXPECT_EQ(Field(r.expire_date, sizeof(r.expire_date)), "(SH:\"20301231\" SZ:\"\" )");
    ASSERT_EQ(Requests(sh_).size(), 1u);
    EXPECT_EQ(Requests(sh_)[0].password(), "secret");
    EXPECT_EQ(Requests(sh_)[0].exchange_type(), 2u);
    EXPECT_EQ(Requests(sz_)[0].exchange_type(), 1u);

    // Again: SH is logged in and says so without traffic; SZ now accepts.
    sz_.SetAnswer(kvotest::kSimLoginReq, ok);
    r = LogIn("trader");
    EXPECT_EQ(r.nstatuscode, 0);
    EXPECT_EQ(Field(r.statusmsg, sizeof(r.statusmsg)),
              std::string("(SH:\"") + kvoapi::kTextAlreadyLoggedIn + "\" SZ:\"ok\" )");
    EXPECT_EQ(Requests(sh_).size(), 1u);
    EXPECT_EQ(Requests(sz_).size(), 2u);
}

// A formal account: the pre-login check authenticates it; its passport is
// valid only until yesterday, so the first market renews it, and the second
// market and the instance use the renewed one.
TEST_F(LoginRoadsTest, FormalAccountPassportFlowsToEveryMarket) {
    cfg_.m_authtype = 0;
    std::atomic<int> calls{0};
    const std::string today = SessionClock::GetTodayText();
    kvoapi::SetAccountAuthenticator([&](uint32_t timeoutMs, bool, const std::string& user, const std::string&,
                                        std::string* passport, std::string* sessionId) -> int32_t {
        const int n = ++calls;
        EXPECT_EQ(timeoutMs, 2000u);
        *passport = "pp" + std::to_string(n) + "-" + user + "|signvalid=" + (n == 1 ? "20000101" : today) + "|";
        *sessionId = "sid" + std::to_string(n);
        return 1;
    });
    Create();
    const LoginResult r = LogIn("trader");
    EXPECT_EQ(r.nstatuscode, 0) << Field(r.statusmsg, sizeof(r.statusmsg));
    EXPECT_EQ(calls.load(), 2);
    const std::string renewed = "pp2-trader|signvalid=" + today + "|";
    ASSERT_EQ(Requests(sh_).size(), 1u);
    ASSERT_EQ(Requests(sz_).size(), 1u);
    EXPECT_EQ(Requests(sh_)[0].passport(), renewed);
    EXPECT_EQ(Requests(sz_)[0].passport(), renewed);
    EXPECT_EQ(Requests(sz_)[0].session_id(), "sid2");
    EXPECT_EQ(Requests(sh_)[0].usertype(), "formal");
    EXPECT_EQ(Requests(sh_)[0].password(), "");  // m_authtype 0
}

// A refused authentication ends the login before any gateway is asked.
TEST_F(LoginRoadsTest, RefusedAuthenticationAsksNoGateway) {
    cfg_.m_authtype = 0;
    Create();  // the default authenticator refuses
    const LoginResult r = LogIn("trader");
    EXPECT_EQ(r.nstatuscode, -1012);
    EXPECT_EQ(Field(r.statusmsg, sizeof(r.statusmsg)), kvoapi::kTextAuthCentreFailed);
    EXPECT_EQ(sh_.Accepted(), 0u);
    EXPECT_EQ(sz_.Accepted(), 0u);
}

// "qsuserdata" reaches the first market whose gateway turned user data on.
TEST_F(LoginRoadsTest, UserDataAfterTheGatewayTurnedItOn) {
    cfg_.m_authtype = 1;
    SimAnswer userData;
    userData.statsRate = 0x20;
    sz_.SetAnswer(kvotest::kSimLoginReq, userData);
    Create();
    EXPECT_EQ(KvoRegisterAddr(handle_, "qsuserdata", "before", 0), -1010);
    ASSERT_EQ(LogIn("trader").nstatuscode, 0);
    EXPECT_EQ(KvoRegisterAddr(handle_, "qsuserdata", "hello", 0), 0);
    ASSERT_TRUE(sz_.WaitForFrames(kvotest::kSimElk, 1, 5000));
    datapacket::ElkMessageReq elk;
    ASSERT_TRUE(sz_.FramesOfType(kvotest::kSimElk)[0].Parse(&elk));
    EXPECT_NE(elk.elkmessage().find("\"index_prefix\":\"client@_qsuserdata\""), std::string::npos);
    EXPECT_NE(elk.elkmessage().find("\"userdata\":\"hello\""), std::string::npos);
    EXPECT_EQ(sh_.CountOfType(kvotest::kSimElk), 0u);
}
