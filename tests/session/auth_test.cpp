// The authentication client against the fake authentication service: the
// whole road with its requests, headers, proofs and "auth.dat", every
// failure leg with the line it logs, the second-proof rounds and their
// bound, timeouts; and the client's pieces (URL encoding, key reading,
// signature letters, passport cut, XOR, placeholder host names) on known
// vectors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <variant>
#include <vector>

#include "session/auth.h"
#include "session/builtin_hosts.h"
#include "tests/support/fake_auth.h"

using kvotest::FakeAuthService;

namespace {

using Paths = std::vector<std::string>;
const Paths kFullRoad = {"/verify2", "/verify3/gs", "/verify3/pwd_login", "/verify2"};

struct Outcome {
    int32_t result = -1;
    std::string passport;
    std::string sessionId;
};

class AuthTest : public kvotest::FakeAuthTest {
protected:
    Outcome Run(const std::string& user = "u1", const std::string& password = "p1", uint32_t timeoutMs = 2000,
                bool keySelector = false) {
        Outcome out;
        CAuth auth(timeoutMs, keySelector);
        out.result = auth.Authenticate(user, password, &out.passport, &out.sessionId);
        return out;
    }
    // Runs one authentication expected to fail with the level-1 line of
    // Authenticate and, when given, the line of the failing step.
    void ExpectFailure(const std::string& line, const std::string& stepLine = std::string()) {
        const Outcome out = Run();
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(HasLogLine(1, line)) << line << "\n" << Log();
        if (!stepLine.empty()) {
            EXPECT_TRUE(HasLogLine(1, stepLine)) << stepLine << "\n" << Log();
        }
        EXPECT_EQ(access(AuthFilePath().c_str(), F_OK), -1) << "auth.dat written on a failure";
    }
    std::vector<kvotest::HttpRequestRecord> Requests() { return fake.Server().Requests(); }
    void SetMode(FakeAuthService::KeyMode m) { fake.SetKeyMode(m); }
    void SetMode(FakeAuthService::SaltMode m) { fake.SetSaltMode(m); }
    void SetMode(FakeAuthService::LoginMode m) { fake.SetLoginMode(m); }
    void SetMode(FakeAuthService::VerifyMode m) { fake.SetVerifyMode(m); }
};

TEST_F(AuthTest, FullRoadWritesTheLoginRecord) {
    // The default folder is the working directory.
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    kvoapi::SetAuthDataFolder("");
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const Outcome out = Run();
    ASSERT_EQ(chdir(saved), 0);

    EXPECT_EQ(out.result, 1) << Log();
    EXPECT_EQ(out.sessionId, "SID1");
    EXPECT_EQ(out.passport, FakeAuthService::KeptPassport(FakeAuthService::LocalDate(0)));
    EXPECT_EQ(fake.Paths(), kFullRoad);
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].Query(), "reqtype=do_rsa&type=get_pubkey");
    EXPECT_FALSE(requests[0].HasHeader("X-Auth-AppID"));
    EXPECT_EQ(requests[3].Query(), "reqtype=verify&sessionid=SID1&userid=10001");
    EXPECT_FALSE(requests[3].HasHeader("X-Auth-Sign"));
    // Each signed request has a nonce of its own.
    EXPECT_NE(requests[1].Header("X-Auth-Crnd"), requests[2].Header("X-Auth-Crnd"));
    EXPECT_EQ(requests[2].Query().rfind("dsk=DSK1&rsa_version=1&account=", 0), 0u) << requests[2].Query();

    const kvotest::AuthFileContent file = kvotest::ReadAuthFile(AuthFilePath());
    ASSERT_TRUE(file.ok) << file.size;
    EXPECT_EQ(file.size, file.text.size() + 14);
    EXPECT_EQ(file.locale, "zh_CN.GBK");
    EXPECT_EQ(file.text.rfind("Ask=login\nC-Version=mirn_3.8.0.5\nUserName=13579246801\nVerifyType=1\n"
                              "Mac64=7A1C9E3B5D0F2846A8C6E4B2D0F19375\nPassport64=",
                              0),
              0u);
    EXPECT_EQ(file.kind, 6);
    EXPECT_EQ(file.signature, std::string("\x01\x03", 2));
    EXPECT_EQ(file.passport, out.passport + std::string(1, '\0'));
    EXPECT_EQ(file.recordLength, file.record.size());
    EXPECT_EQ(file.recordLength, 2 + out.passport.size() + 1 + 5);
}

TEST_F(AuthTest, KeySelectorPicksTheSigningKeyOfEachObject) {
    fake.AddAccount(kvotest::FakeAuthAccount::Numbered(2, "u2", "second password", true));

    Outcome out = Run("u2", "second password", 2000, true);
    EXPECT_EQ(out.result, 1) << Log();
    EXPECT_EQ(out.sessionId, "SID2");
    EXPECT_TRUE(CAuth::GetProcessKeySelector());
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());

    // Signed with the other key, the service refuses the salt request.
    out = Run("u2", "second password", 2000, false);
    EXPECT_EQ(out.result, 0);
    EXPECT_FALSE(CAuth::GetProcessKeySelector());
    EXPECT_TRUE(HasLogLine(1, "UpdateSalt http request error! Http error num:403")) << Log();
    EXPECT_TRUE(HasLogLine(1, "Get user infomation failed!Error num:1"));

    // A wrong password makes a proof the service refuses.
    out = Run("u1", "not p1");
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(HasLogLine(1, "HandleLoginV3Response http request msg:{\"code\":\"-1\",\"msg\":\"bad proof\"}!"));
    EXPECT_TRUE(HasLogLine(1, "Sessionid or Userid error"));
}

TEST_F(AuthTest, KeyWithoutUsableModulusSendsAnEmptyAccount) {
    // No modulus: every cipher is empty, without a log line; the salt
    // request still goes out, and the service knows no such account.
    fake.SetKeyMode(FakeAuthService::KeyMode::kNoModulus);
    ExpectFailure("Get user infomation failed!Error num:-3");
    auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Query(), "account=&encoding=gbk&rsa_version=1&resp=json");
    EXPECT_FALSE(HasLogLine(1, "Rsa  encrypt failed!"));

    // A modulus past 512 hex digits is refused the same way, logged.
    fake.SetKeyMode(FakeAuthService::KeyMode::kLongModulus);
    ExpectFailure("Get user infomation failed!Error num:-3", "Rsa  encrypt failed!");
    requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[3].Query(), "account=&encoding=gbk&rsa_version=1&resp=json");
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());
}

// Every failure leg of the key, salt, login and verification requests: the
// level-1 line of Authenticate, the failing step's own line, no "auth.dat",
// and no request past the failing step.
TEST_F(AuthTest, EveryFailureLegLogsItsLine) {
    using K = FakeAuthService::KeyMode;
    using S = FakeAuthService::SaltMode;
    using L = FakeAuthService::LoginMode;
    using V = FakeAuthService::VerifyMode;
    // The failing mode; the leg it fails (key, salt, login, verification)
    // is the number of requests made.
    struct Row {
        std::variant<K, S, L, V> mode;
        std::string line;
        std::string stepLine;
    };
    const std::string noSession = "Sessionid or Userid error";
    const Row rows[] = {
        {K::kStatus500, "Get rsa public key failed!Error num:1",
         "obtain rsa public http request error! Http error num:500"},
        {K::kEmptyBody, "Get rsa public key failed!Error num:2", ""},
        {K::kNoItem, "Get rsa public key failed!Error num:3", ""},
        {S::kNoUser, "Get user infomation failed!Error num:-3",
         "UpdateSalt http request code:-3  msg:{\"code\":\"-3\",\"msg\":\"no user\"}!"},
        {S::kStatus500, "Get user infomation failed!Error num:1", "UpdateSalt http request error! Http error num:500"},
        {S::kEmptyBody, "Get user infomation failed!Error num:2", "UpdateSalt GetDataBuffer error!"},
        {S::kZeroBody, "Get user infomation failed!Error num:3", "UpdateSalt GetDataBuffer error empty!"},
        {S::kNoEquals, noSession, ""},  // a salt text without "=" makes no login
        {L::kRefused, noSession, "HandleLoginV3Response http request msg:{\"code\":\"-1\",\"msg\":\"bad\"}!"},
        {L::kStatus500, noSession, "LoginV3 http request error! Http error num:500"},
        {L::kEmptyBody, noSession, "LoginV3 GetDataBuffer error!"},
        {L::kZeroBody, noSession, "LoginV3 GetDataBuffer error empty!"},
        {L::kUserIdLast, noSession, ""},  // a number as the last member has no "," after it: empty
        {V::kStatus500, "Get passport failed!Error num:1", "verify account http request error! Http error num:500"},
        {V::kEmptyBody, "Get passport failed!Error num:2", ""},
        {V::kEmptyPassport, "Get passport failed!Error num:4", "CAuth::verify_account[], passport error!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line + " / " + row.stepLine);
        fake.SetKeyMode(K::kOk);
        fake.SetSaltMode(S::kOk);
        fake.SetLoginMode(L::kOk);
        fake.SetVerifyMode(V::kToday);
        std::visit([this](auto m) { SetMode(m); }, row.mode);
        const size_t before = fake.Paths().size();
        ExpectFailure(row.line, row.stepLine);
        const size_t requests = row.mode.index() + 1;
        EXPECT_EQ(fake.Paths().size() - before, requests);
        EXPECT_EQ(fake.Paths().back(), kFullRoad[requests - 1]);
    }
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());

    // A blank in a value of the answers stays in the one URL, encoded (the
    // fake knows no such session).
    fake.SetVerifyMode(V::kToday);
    fake.SetLoginMode(L::kBlankSessionId);
    const size_t before = fake.Paths().size();
    ExpectFailure("Get passport failed!Error num:1", "verify account http request error! Http error num:404");
    EXPECT_EQ(fake.Paths().size() - before, 4u);
    EXPECT_EQ(Requests().back().Query(), "reqtype=verify&sessionid=SID%201&userid=10001");
}

// The object's timeout is the idle timeout of the signed requests.
TEST_F(AuthTest, SignedRequestsTimeOut) {
    fake.SetSlowMs(3000);
    for (bool salt : {true, false}) {
        fake.SetSaltMode(salt ? FakeAuthService::SaltMode::kSlow : FakeAuthService::SaltMode::kOk);
        if (!salt) fake.SetLoginMode(FakeAuthService::LoginMode::kSlow);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Run("u1", "p1", 300).result, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        const std::string line = salt ? "UpdateSalt http request error! Http error num:-10"
                                      : "LoginV3 http request error! Http error num:-10";
        EXPECT_TRUE(HasLogLine(1, line)) << Log();
    }
    EXPECT_TRUE(HasLogLine(1, "Sessionid or Userid error"));
}

TEST_F(AuthTest, SecondProofRounds) {
    fake.SetLoginMode(FakeAuthService::LoginMode::kAgainOnce);
    Outcome out = Run();
    EXPECT_EQ(out.result, 1) << Log();
    EXPECT_EQ(fake.Paths(),
              (Paths{"/verify2", "/verify3/gs", "/verify3/pwd_login", "/verify3/pwd_login_again", "/verify2"}));
    EXPECT_EQ(Requests()[3].Query().rfind("dsk=DSK2&", 0), 0u);

    // A service that always asks again gets three second proofs, no more.
    fake.SetLoginMode(FakeAuthService::LoginMode::kAgainAlways);
    out = Run();
    EXPECT_EQ(out.result, 0);
    const Paths paths = fake.Paths();
    ASSERT_EQ(paths.size(), 5u + 6u);
    EXPECT_EQ(Paths(paths.begin() + 5, paths.end()),
              (Paths{"/verify2", "/verify3/gs", "/verify3/pwd_login", "/verify3/pwd_login_again",
                     "/verify3/pwd_login_again", "/verify3/pwd_login_again"}));
    EXPECT_TRUE(HasLogLine(1,
                           "HandleLoginV3Response http request msg:{\"result\":\"again\",\"dsk\":\"DSK6\","
                           "\"dsv\":\"DSV6\"}!"))
        << Log();
    EXPECT_TRUE(HasLogLine(1, "Sessionid or Userid error"));
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());
}

TEST_F(AuthTest, UnwritableLoginRecordFailsTheAuthentication) {
    kvoapi::SetAuthDataFolder(dir_ + "/missing");
    const Outcome out = Run();
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(HasLogLine(1, "auth.dat open failed!")) << Log();
    // The values were handed out before the write.
    EXPECT_EQ(out.sessionId, "SID1");
    EXPECT_FALSE(out.passport.empty());
}

TEST(AuthPieces, UrlEncodingAndQueryPairs) {
    using kvoapi::auth::QueryPair;
    using kvoapi::auth::UrlEncode;
    EXPECT_EQ(UrlEncode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(UrlEncode("a b+c/d=e%f&g*"), "a+b%2Bc%2Fd%3De%25f%26g%2A");
    EXPECT_EQ(UrlEncode(std::string("\xC4\xE3\x00\x7F", 4)), "%C4%E3%00%7F");
    EXPECT_EQ(QueryPair("rsa version", "1/2"), "rsa+version=1%2F2");
    EXPECT_EQ(QueryPair("", ""), "=");
}

// Names under the reserved domain "invalid" (the built-in placeholder among
// them) are never looked up; everything else is.
TEST(AuthPieces, InvalidHostNames) {
    using kvoapi::auth::IsInvalidHostName;
    EXPECT_TRUE(IsInvalidHostName(kvoapi::BuiltinHosts().authServiceHost));
    EXPECT_TRUE(IsInvalidHostName("kvo-auth.invalid:8080"));
    EXPECT_TRUE(IsInvalidHostName("A.INVALID."));
    EXPECT_TRUE(IsInvalidHostName("invalid"));
    EXPECT_FALSE(IsInvalidHostName("notinvalid"));
    EXPECT_FALSE(IsInvalidHostName("invalid.example"));
    EXPECT_FALSE(IsInvalidHostName("127.0.0.1:8080"));
    EXPECT_FALSE(IsInvalidHostName("[::1]:80"));
    EXPECT_FALSE(IsInvalidHostName(""));
}

TEST(AuthPieces, SignatureLettersAndPassportCut) {
    using kvoapi::auth::CutPassport;
    using kvoapi::auth::DecodeHexLetters;
    EXPECT_EQ(DecodeHexLetters("BADA"), std::string("\x01\x03", 2));
    EXPECT_EQ(DecodeHexLetters("AAPPB"), std::string("\x00\xFF", 2));  // odd last letter ignored
    EXPECT_EQ(DecodeHexLetters(""), "");
    EXPECT_EQ(CutPassport("X;signvalid=20250101|signlength=12"), "X;signvalid=20250101|");
    // Looked for from the second character on.
    EXPECT_EQ(CutPassport("signlength=12"), "signlength=12");
    EXPECT_EQ(CutPassport("Xsignlength"), "X");
    EXPECT_EQ(CutPassport("no cut here"), "no cut here");
}

TEST(AuthPieces, KeyHexIsRightAligned) {
    uint8_t out[kvoapi::auth::kKeyPartSize];
    ASSERT_TRUE(kvoapi::auth::ReadKeyHex("abC", out));
    EXPECT_EQ(out[254], 0x0A);
    EXPECT_EQ(out[255], 0xBC);
    for (size_t i = 0; i < 254; ++i) ASSERT_EQ(out[i], 0) << i;

    std::string full(512, 'f');
    full[0] = '7';
    ASSERT_TRUE(kvoapi::auth::ReadKeyHex(full, out));
    EXPECT_EQ(out[0], 0x7F);
    EXPECT_EQ(out[255], 0xFF);
    EXPECT_FALSE(kvoapi::auth::ReadKeyHex(full + "0", out));
    EXPECT_EQ(out[0], 0);
    EXPECT_FALSE(kvoapi::auth::ReadKeyHex("12G4", out));

    uint8_t block[kvoapi::auth::kKeyBlockSize];
    ASSERT_TRUE(kvoapi::auth::BuildPublicKeyBlock("C1", "010001", block));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 4), std::string("\x01\x00\x01\x00", 4));
    EXPECT_EQ(block[4 + 255], 0xC1);
    EXPECT_EQ(block[4 + 256 + 253], 0x01);
    EXPECT_EQ(block[4 + 256 + 254], 0x00);
    EXPECT_EQ(block[4 + 256 + 255], 0x01);
    EXPECT_FALSE(kvoapi::auth::BuildPublicKeyBlock("C1", std::string(513, '1'), block));
    EXPECT_EQ(kvoapi::auth::RsaToBase64("", "010001", "u1"), "");
}

TEST(AuthPieces, BinaryValuesKeepTheirLength) {
    using kvoapi::auth::XorRepeat;
    // Equal bytes XOR to zero bytes, which stay in the value.
    EXPECT_EQ(XorRepeat("abcd", "ab"), std::string("\0\0\x02\x06", 4));
    EXPECT_EQ(XorRepeat("abc", ""), "");
    // The digests: SHA-256 of "" in both hex forms, HMAC with an empty key.
    EXPECT_EQ(kvoapi::auth::HashHex("", 1), FakeAuthService::Sha256Hex("", true));
    EXPECT_EQ(kvoapi::auth::HashHex("abc", 0), FakeAuthService::Sha256Hex("abc", false));
    EXPECT_EQ(kvoapi::auth::HmacHex("message", "", 0).size(), 64u);

    std::string bytes;
    ASSERT_TRUE(kvoapi::auth::BuildAuthFile("P", std::string("\0\x01", 2), &bytes));
    EXPECT_EQ(bytes[0], 'A');
    // A passport too long for the record's 16-bit length is refused.
    EXPECT_FALSE(kvoapi::auth::BuildAuthFile(std::string(70000, 'p'), "", &bytes));
    // One whose Base64 text passes 65535 bytes too.
    EXPECT_FALSE(kvoapi::auth::BuildAuthFile(std::string(50000, 'p'), "", &bytes));
}

}  // namespace
