// KvoLogin end to end against gateway simulators and the fake
// authentication service, through the exported functions and the real market
// sessions: the merged answer of two markets, a formal account authenticated
// by the service and logged in with what it issued, an account the service
// refuses, a passport of yesterday renewed by a later login, and user data
// after the gateway turned it on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "datapacket.pro.pb.h"
#include "include/kvoapi.h"
#include "session/account_auth.h"
#include "session/auth.h"
#include "session/clock.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"
#include "simulator/gateway_sim.h"
#include "tests/support/fake_auth.h"
#include "tests/support/http_server.h"
#include "tests/support/instance_dir.h"
#include "tests/support/session_fixture.h"

using kvotest::FakeAuthService;
using kvotest::GatewaySim;
using kvotest::SimAnswer;

namespace {

class LoginRoadsTest : public kvotest::InstanceDirTest {
protected:
    LoginRoadsTest() : InstanceDirTest("kvo_login_roads"), timers_(kvotest::ShortSessionTimers()) {}
    void SetUp() override {
        kvotest::ClearProxyEnvironment();
        InstanceDirTest::SetUp();
        if (HasFatalFailure()) return;
        savedAuthFolder_ = kvoapi::SetAuthDataFolder(dir_);
        ASSERT_TRUE(auth_.Start());
        ASSERT_TRUE(sh_.Start());
        ASSERT_TRUE(sz_.Start());
    }
    void TearDown() override {
        if (handle_) KvoReleaseInstance(handle_);
        sh_.Stop();
        sz_.Stop();
        auth_.Stop();
        kvoapi::SetAuthDataFolder(savedAuthFolder_);
        InstanceDirTest::TearDown();
    }
    // An instance with both markets registered at their simulators.
    void Create() {
        handle_ = KvoCreateInstance(&cfg_);
        ASSERT_NE(handle_, nullptr);
        ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", sh_.Port()), 0);
        ASSERT_EQ(KvoRegisterAddr(handle_, "USZ", "127.0.0.1", sz_.Port()), 0);
    }
    LoginResult LogIn(const char* user, const char* password = "secret") {
        LoginResult* block = KvoLogin(handle_, user, password);
        LoginResult r{};
        if (block) {
            r = *block;
            KvoFreeMem(block);
        }
        return r;
    }
    static std::vector<datapacket::LoginReq> Requests(const GatewaySim& sim) {
        return kvotest::ParsedFrames<datapacket::LoginReq>(sim, kvotest::kSimLoginReq);
    }
    // One authentication's requests, without a second proof.
    const std::vector<std::string> authRound_ = {"/verify2", "/verify3/gs", "/verify3/pwd_login", "/verify2"};

    kvotest::ScopedSessionTimers timers_;
    FakeAuthService auth_;
    std::string savedAuthFolder_;
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
    SimAnswer ok = kvotest::StatusAnswer(0, "ok");
    ok.expireDate = "20301231";
    sh_.SetAnswer(kvotest::kSimLoginReq, ok);
    // UTF-8 "access refused".
    sz_.SetAnswer(kvotest::kSimLoginReq, kvotest::StatusAnswer(-4, "\xe6\x8b\x92\xe7\xbb\x9d\xe8\xae\xbf\xe9\x97\xae"));
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

// A formal account (m_authtype 0): KvoLogin authenticates it at the
// service, then logs every market in with the passport and the session id
// the service issued. The passport is valid today, so no market renews it.
TEST_F(LoginRoadsTest, FormalAccountLogsInWithWhatTheServiceIssued) {
    cfg_.m_authtype = 0;
    Create();
    const LoginResult r = LogIn("u1", "p1");
    EXPECT_EQ(r.nstatuscode, 0) << Field(r.statusmsg, sizeof(r.statusmsg));
    EXPECT_EQ(auth_.Paths(), authRound_);
    EXPECT_TRUE(auth_.Violations().empty()) << testing::PrintToString(auth_.Violations());

    const std::string passport = FakeAuthService::KeptPassport(FakeAuthService::LocalDate(0));
    for (const GatewaySim* sim : {&sh_, &sz_}) {
        const auto reqs = Requests(*sim);
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].username(), "u1");
        EXPECT_EQ(reqs[0].passport(), passport);
        EXPECT_EQ(reqs[0].session_id(), "SID1");
        EXPECT_EQ(reqs[0].usertype(), "formal");
        EXPECT_EQ(reqs[0].password(), "");  // m_authtype 0
    }
    // The login record went to the folder set for it.
    const kvotest::AuthFileContent file = kvotest::ReadAuthFile(dir_ + "/auth.dat");
    ASSERT_TRUE(file.ok) << file.size;
    EXPECT_EQ(file.passport, passport + std::string(1, '\0'));
}

// An account the service refuses: -1012 with its GBK text, and no gateway
// is asked. The service never reaches the verification, so no passport and
// no login record exist.
TEST_F(LoginRoadsTest, RefusedAuthenticationAsksNoGateway) {
    cfg_.m_authtype = 0;
    auth_.SetLoginMode(FakeAuthService::LoginMode::kRefused);
    Create();
    const LoginResult r = LogIn("u1", "p1");
    EXPECT_EQ(r.nstatuscode, -1012);
    // "登录认证失败（认证中心）" in GBK.
    EXPECT_EQ(Field(r.statusmsg, sizeof(r.statusmsg)),
              "\xb5\xc7\xc2\xbc\xc8\xcf\xd6\xa4\xca\xa7\xb0\xdc\xa3\xa8\xc8\xcf\xd6\xa4\xd6\xd0\xd0\xc4\xa3\xa9");
    EXPECT_EQ(auth_.Paths(), std::vector<std::string>({"/verify2", "/verify3/gs", "/verify3/pwd_login"}));
    EXPECT_EQ(sh_.Accepted(), 0u);
    EXPECT_EQ(sz_.Accepted(), 0u);
    EXPECT_FALSE(kvotest::ReadAuthFile(dir_ + "/auth.dat").ok);
}

// The service issues a passport dated yesterday. A later login renews it in
// the first market that logs in, and the renewed passport stays with the
// instance: a market that logs in afterwards needs no renewal.
TEST_F(LoginRoadsTest, PassportOfYesterdayRenewedByALaterLogin) {
    cfg_.m_authtype = 0;
    auth_.SetVerifyMode(FakeAuthService::VerifyMode::kYesterday);
    handle_ = KvoCreateInstance(&cfg_);
    ASSERT_NE(handle_, nullptr);
    // No market yet: only the pre-login check, which authenticates.
    LoginResult r = LogIn("u1", "p1");
    ASSERT_EQ(r.nstatuscode, 0) << Field(r.statusmsg, sizeof(r.statusmsg));
    EXPECT_EQ(Field(r.statusmsg, sizeof(r.statusmsg)), kvoapi::kTextLoginOkChecked);
    EXPECT_EQ(auth_.Paths().size(), 4u);

    // The passport held is yesterday's: SH renews it before its gateway login.
    auth_.SetVerifyMode(FakeAuthService::VerifyMode::kToday);
    ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", sh_.Port()), 0);
    r = LogIn("u1", "p1");
    ASSERT_EQ(r.nstatuscode, 0) << Field(r.statusmsg, sizeof(r.statusmsg));
    std::vector<std::string> expected = authRound_;
    for (const std::string& path : authRound_) expected.push_back(path);
    EXPECT_EQ(auth_.Paths(), expected);
    const std::string renewed = FakeAuthService::KeptPassport(FakeAuthService::LocalDate(0));
    ASSERT_EQ(Requests(sh_).size(), 1u);
    EXPECT_EQ(Requests(sh_)[0].passport(), renewed);
    EXPECT_EQ(Requests(sh_)[0].session_id(), "SID1");

    // SZ, registered now, gets the renewed passport: valid today, not renewed.
    ASSERT_EQ(KvoRegisterAddr(handle_, "USZ", "127.0.0.1", sz_.Port()), 0);
    r = LogIn("u1", "p1");
    ASSERT_EQ(r.nstatuscode, 0) << Field(r.statusmsg, sizeof(r.statusmsg));
    EXPECT_EQ(auth_.Paths().size(), 8u);
    ASSERT_EQ(Requests(sz_).size(), 1u);
    EXPECT_EQ(Requests(sz_)[0].passport(), renewed);
    EXPECT_EQ(Requests(sh_).size(), 1u);  // logged in already
    EXPECT_TRUE(auth_.Violations().empty()) << testing::PrintToString(auth_.Violations());
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
