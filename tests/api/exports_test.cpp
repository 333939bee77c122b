// The exported functions called as a host calls them: argument checks,
// result codes and the GBK texts, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/auth.h"
#include "session/kvo_texts.h"
#include "include/kvoapi.h"
#include "tests/support/fake_auth.h"
#include "tests/support/http_server.h"
#include "tests/support/instance_dir.h"

namespace {

std::string Hex(const char* s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        out += digits[*p >> 4];
        out += digits[*p & 15];
    }
    return out;
}

// A config whose log goes to a fresh folder, with tool.ini absent.
class ExportsTest : public kvotest::InstanceDirTest {
protected:
    ExportsTest() : InstanceDirTest("kvo_exports") {}
};

}  // namespace

TEST(GbkTexts, BytesMatchTheTable) {
    using namespace kvoapi;
    EXPECT_EQ(Hex(kTextLoginOk), "b5c7c2bdb3c9b9a6");
    EXPECT_EQ(Hex(kTextLoginOkChecked), "b5c7c2bdb3c9b9a621");
    EXPECT_EQ(Hex(kTextAlreadyLoggedIn), "c1acbdd3d5fdb3a32cb2bbd4d9bdf8d0d0b5c7c2bc");
    EXPECT_EQ(Hex(kTextTimeout), "b3accab1cedecfecd3a6");
    EXPECT_EQ(Hex(kTextIpForbidden), "6970bdfbd6b9b7c3ceca");
    EXPECT_EQ(Hex(kTextBadAccount), "d3c3bba7c3fbc3dcc2ebb4edcef3");
    EXPECT_EQ(Hex(kTextCannotConnect), "cedeb7a8c1acbdd3d6c1b7fecef1c6f7");
    EXPECT_EQ(Hex(kTextBadIp), "b4edcef36970");
    EXPECT_EQ(Hex(kTextInvalidHandle), "ceded0a768616e646c65");
    EXPECT_EQ(Hex(kTextAuthCentreFailed), "b5c7c2bcc8cfd6a4caa7b0dca3a8c8cfd6a4d6d0d0c4a3a9");
    EXPECT_EQ(Hex(kTextCascadeMasterDown), "bcb6c1aac4a3cabdcfc2d6f74950c1acbdd3d2ecb3a3");
    EXPECT_EQ(Hex(kTextCascadeSameLan), "bcb6c1aac4a3cabdcfc2b1d8d0ebcac7cdacd2bbbed6d3f2cdf8");
    EXPECT_EQ(Hex(kTextRepeatedLogin), "d6d8b8b4b5c7c2bd");
    EXPECT_EQ(Hex(kTextNetworkLost), "cdf8c2e7b6cfbfaa21");
    EXPECT_EQ(Hex(kTextAdapterDown), "cdf8c2e7b6cfbfaa2dcdf8bfa8b2bbd5fdb3a321");
    EXPECT_EQ(Hex(kTextKickedByRepeatedLogin), "cdf8c2e7b6cfbfaa2dd6d8b8b4b5c7c2bcb1bb54cfc2cfdf21");
}

TEST(Defaults, SetDefaults) {
    InstanceConfig cfg;
    std::memset(&cfg, 0x5a, sizeof(cfg));
    cfg.SetDefaults();
    EXPECT_STREQ(cfg.m_version, "2.2.5");
    EXPECT_STREQ(cfg.m_connectmarket, "USH;USZ");
    EXPECT_STREQ(cfg.m_logpath, "");
    EXPECT_EQ(cfg.m_loglevel, 3);
    EXPECT_EQ(cfg.m_timeout, 5000);
    EXPECT_EQ(cfg.m_connectsubscribe, 0);
    EXPECT_EQ(cfg.m_authtype, 0);
    EXPECT_EQ(cfg.fncsubscribe, nullptr);
    EXPECT_EQ(cfg.fnctickindex, nullptr);
}

TEST(NullArguments, EveryFunctionWithANullHandle) {
    LoginResult* r = KvoLogin(nullptr, "user", "pass");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, -1009);
    EXPECT_EQ(Hex(r->statusmsg), "ceded0a768616e646c65");
    EXPECT_EQ(r->expire_date[0], '\0');
    // The rest of both fields is zero.
    for (size_t i = std::strlen(r->statusmsg); i < sizeof(r->statusmsg); ++i) {
        ASSERT_EQ(r->statusmsg[i], 0);
    }
    EXPECT_EQ(KvoFreeMem(r), 0);

    EXPECT_EQ(KvoRegisterAddr(nullptr, "USH", "127.0.0.1", 8000), -1009);
    EXPECT_EQ(KvoRegisterAddr(nullptr, nullptr, nullptr, 0), -1009);
    EXPECT_EQ(KvoReleaseInstance(nullptr), 0);
    EXPECT_EQ(KvoFreeMem(nullptr), -1010);
    EXPECT_EQ(KvoGetCodeInfo(nullptr), -1009);
    EXPECT_EQ(KvoStartOfflineDebug(nullptr, nullptr), -1);
    EXPECT_EQ(KvoSubScribe(nullptr, 1, 1, "USH", "600000"), -1009);
    EXPECT_EQ(KvoSubScribeAsync(nullptr, 1, 1, "USH", "600000"), -1009);
    EXPECT_EQ(KvoCreateInstance(nullptr), nullptr);

    uint32_t out = 0xDEADBEEF;
    EXPECT_EQ(KvoGetCodelist(nullptr, "USH", &out), nullptr);
    EXPECT_EQ(KvoGetTickIndex(nullptr, "USH", "000001", &out), nullptr);
    EXPECT_EQ(KvoGetTickStock(nullptr, "USH", "600000", &out), nullptr);
    EXPECT_EQ(KvoGetSuperStock(nullptr, "USH", "600000", &out), nullptr);
    EXPECT_EQ(out, 0xDEADBEEFu);
}

TEST_F(ExportsTest, NullAndBadArgumentsOnALiveInstance) {
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KvoGetCodeInfo(h), 0);
    EXPECT_EQ(KvoRegisterAddr(h, "USH", nullptr, 8000), -1006);
    EXPECT_EQ(KvoRegisterAddr(h, nullptr, "127.0.0.1", 8000), -1007);
    EXPECT_EQ(KvoRegisterAddr(h, "", "127.0.0.1", 8000), -1007);
    EXPECT_EQ(KvoRegisterAddr(h, "UOO", "127.0.0.1", 8000), -1007);  // not in "USH;USZ"
    EXPECT_EQ(KvoRegisterAddr(h, "UXX", "127.0.0.1", 8000), -1007);  // no such market
    EXPECT_EQ(KvoRegisterAddr(h, "superstocklevel", "50", 0), -1);   // no session
    EXPECT_EQ(KvoRegisterAddr(h, "qsuserdata", "x", 0), -1010);      // nobody accepts
    EXPECT_EQ(KvoRegisterAddr(h, "auth", "no user id", 3), -1007);

    uint32_t out = 77;
    EXPECT_EQ(KvoGetCodelist(h, nullptr, &out), nullptr);
    EXPECT_EQ(KvoGetCodelist(h, "USH", nullptr), nullptr);
    EXPECT_EQ(KvoGetTickIndex(h, nullptr, "1", &out), nullptr);
    EXPECT_EQ(KvoGetTickStock(h, "USH", nullptr, nullptr), nullptr);
    EXPECT_EQ(KvoGetSuperStock(h, "USH", nullptr, &out), nullptr);  // no session
    EXPECT_EQ(out, 77u);

    EXPECT_EQ(KvoSubScribe(h, 1, 1, nullptr, "1"), -1007);
    EXPECT_EQ(KvoSubScribeAsync(h, 2, 1, nullptr, nullptr), -1007);
    EXPECT_EQ(KvoSubScribe(h, 2, 1, "USH", nullptr), -1007);  // no session

    EXPECT_EQ(KvoStartOfflineDebug(h, nullptr), -102);
    OfflineDebugConfig off;
    std::memset(&off, 'p', sizeof(off));  // unterminated texts
    off.push_space = 0;
    off.push_count = 0;
    off.playback_times = 1;
    EXPECT_EQ(KvoStartOfflineDebug(h, &off), -102);
    off.push_count = 10;
    off.push_space = -1;
    EXPECT_EQ(KvoStartOfflineDebug(h, &off), -102);
    off.playback_times = 0;
    off.push_space = 10;
    EXPECT_EQ(KvoStartOfflineDebug(h, &off), -102);

    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

TEST_F(ExportsTest, LoginWithoutSessionsAfterTheCheck) {
    cfg_.m_authtype = 1;  // skips the authentication centre
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    LoginResult* r = KvoLogin(h, nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, 0);
    EXPECT_EQ(Hex(r->statusmsg), "b5c7c2bdb3c9b9a621");
    EXPECT_STREQ(r->expire_date, "");
    EXPECT_EQ(KvoFreeMem(r), 0);

    // After an online login playback can no longer start.
    OfflineDebugConfig off{};
    off.push_space = 1;
    off.push_count = 1;
    off.playback_times = 1;
    EXPECT_EQ(KvoStartOfflineDebug(h, &off), -101);
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

// Releasing the last instance stops the socket engine, whose check thread
// says so on standard output: as a line of its own, not glued to the host's
// next output.
TEST_F(ExportsTest, EngineStopTraceEndsItsLine) {
    testing::internal::CaptureStdout();
    void* h = KvoCreateInstance(&cfg_);
    const int32_t released = KvoReleaseInstance(h);
    std::printf("host line\n");
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(released, 0);
    EXPECT_NE(out.find("SocketLink ThreadCheckFunc exit.\nhost line\n"), std::string::npos) << out;
}

// The authentication centre fails (its key request answers 500): the
// formal account's login is refused with -1012 and its GBK text.
TEST_F(ExportsTest, FormalLoginFailsWhenTheAuthenticationCentreFails) {
    kvotest::ClearProxyEnvironment();
    kvotest::FakeAuthService centre;
    centre.SetKeyMode(kvotest::FakeAuthService::KeyMode::kStatus500);
    ASSERT_TRUE(centre.Start());
    const std::string savedFolder = kvoapi::SetAuthDataFolder(dir_);
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    LoginResult* r = KvoLogin(h, "someone", "secret");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, -1012);
    EXPECT_EQ(Hex(r->statusmsg), "b5c7c2bcc8cfd6a4caa7b0dca3a8c8cfd6a4d6d0d0c4a3a9");
    EXPECT_EQ(KvoFreeMem(r), 0);
    EXPECT_EQ(KvoReleaseInstance(h), 0);
    EXPECT_EQ(centre.Paths(), std::vector<std::string>({"/verify2"}));
    kvoapi::SetAuthDataFolder(savedFolder);
}

TEST_F(ExportsTest, UnterminatedHostTextsAreReadWithinTheirFields) {
    std::memset(cfg_.m_version, 'v', sizeof(cfg_.m_version));
    std::memset(cfg_.m_connectmarket, 'S', sizeof(cfg_.m_connectmarket));  // "SSSS...": holds "SS" only
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KvoRegisterAddr(h, "USH", "127.0.0.1", 1), -1007);
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

TEST_F(ExportsTest, LevelFiveLogLines) {
    cfg_.m_loglevel = 5;
    cfg_.m_authtype = 1;
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    const long long id = static_cast<long long>(reinterpret_cast<intptr_t>(h));
    const std::string hs = std::to_string(id);
    KvoRegisterAddr(h, "USH", nullptr, 7);
    KvoFreeMem(KvoLogin(h, "trader", "secret-password"));
    uint32_t n = 0;
    KvoGetCodelist(h, "USZ", &n);
    KvoGetTickIndex(h, "USH", "000001", &n);
    KvoGetTickStock(h, "USH", nullptr, &n);
    KvoGetSuperStock(h, "USZ", "000002", &n);
    KvoSubScribe(h, 2, 1, "USH", "600000");
    KvoSubScribeAsync(h, 2, 1, "USH", "600001");
    KvoGetCodeInfo(h);
    // Calls without a handle still write their lines before they refuse.
    EXPECT_EQ(KvoRegisterAddr(nullptr, "UXX", "10.1.1.1", 9), -1009);
    KvoFreeMem(KvoLogin(nullptr, "nobody", "x"));
    EXPECT_EQ(KvoGetCodelist(nullptr, "UYY", &n), nullptr);
    KvoReleaseInstance(h);

    const std::string log = kvotest::ReadInstanceLog(dir_);
    const char* expected[] = {
        "5: KvoCreateInstance:",
        " m_version:2.2.5 m_connectmarket:USH;USZ m_loglevel:5 "
        "m_timeout:5000 m_connectsubscribe:0 m_authtype:1!fnctickindex:0 fnctickstock:0 "
        "fnctransacton:0 fncorderdata:0 fncorderqueue:0 fncsuperstock:0 fncnotify:0\r\n",
        "5: KvoRegisterAddr  pmarket:USH  paddr:(null)  port:7!\r\n",
        "5: KvoRegisterAddr  pmarket:UXX  paddr:10.1.1.1  port:9!\r\n",
        "5: KvoLogin:0  pusername:nobody!\r\n",
        "5: KvoGetCodelist:0  pmarket:UYY!\r\n",
    };
    for (const char* e : expected) EXPECT_NE(log.find(e), std::string::npos) << e << "\n" << log;
    const std::string withHandle[] = {
        "5: KvoCreateInstance:" + hs + " m_version:",
        "5: KvoLogin:" + hs + "  pusername:trader!\r\n",
        "5: KvoGetCodelist:" + hs + "  pmarket:USZ!\r\n",
        "5: KvoGetTickIndex:" + hs + "  pmarket:USH  pcodelist:000001 !\r\n",
        "5: KvoGetTickStock:" + hs + "  pmarket:USH  pcodelist:(null) !\r\n",
        "5: KvoGetSuperStock:" + hs + "  pmarket:USZ  pcodelist:000002 !\r\n",
        "5: KvoSubScribe:" + hs + "  msg_dataclass:2  subop_type:1  market:USH  codelist:600000 !\r\n",
        "5: KvoReleaseInstance:" + hs + "!\r\n",
    };
    for (const std::string& e : withHandle) EXPECT_NE(log.find(e), std::string::npos) << e << "\n" << log;
    // The password and the calls that log nothing stay out of the log.
    EXPECT_EQ(log.find("secret-password"), std::string::npos);
    EXPECT_EQ(log.find("600001"), std::string::npos);
    EXPECT_EQ(log.find("KvoGetCodeInfo"), std::string::npos);
}
