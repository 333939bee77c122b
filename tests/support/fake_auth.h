// A fake of the authentication service on the scripted HTTP test server
// (127.0.0.1, an ephemeral port), written from the service's description:
//
//   GET /verify2?reqtype=do_rsa&type=get_pubkey       the RSA public key (XML)
//   GET /verify3/gs?account=A&encoding=gbk&rsa_version=1&resp=json
//                                                      the salt (JSON, signed)
//   GET /verify3/pwd_login?dsk=..&rsa_version=1&account=A&passwd=PW&encoding=gbk&resp=json
//   GET /verify3/pwd_login_again?...                   the password proofs (JSON, signed)
//   GET /verify2?reqtype=verify&sessionid=..&userid=.. the passport (XML)
//
// It holds an RSA-1024 key pair made at construction and checks what a
// client sends as a real service would: the signing headers and the
// signature (HMAC-SHA-256 over the signing text, upper-case hex, keyed with
// the application key or the application id as the account's key selector
// says), the RSA-encrypted account and the password proofs. Every failed
// check is recorded as a violation (and a bad signature is answered 403).
// Query values are taken raw: split at "&" and at the first "=", with no
// %- or +-decoding (a blank reads as "+").
//
// Modes make each request fail in its own way. Start points the library's
// authentication host at the fake; Stop (and the destructor) puts the
// previous host back.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace kvotest {

struct FakeAuthAccount {
    std::string user = "u1";
    std::string password = "p1";
    bool keySelector = false;  // the key that signs this account's requests
    std::string salt = "SALT1";
    std::string userId = "10001";
    std::string sessionId = "SID1";
    std::string passportName = "PASS";  // the passport's text before ";signvalid="

    // Another account: salt "SALT<n>", user id "<n>000<n>", session id
    // "SID<n>", passport name "PASS<n>-<user>".
    static FakeAuthAccount Numbered(int n, const std::string& user, const std::string& password, bool keySelector);
};

class FakeAuthService {
public:
    enum class KeyMode {
        kOk,
        kStatus500,
        kEmptyBody,
        kNoItem,       // "<data/>"
        kNoModulus,    // an item without "modulus"
        kLongModulus,  // a modulus of 514 hex digits
    };
    enum class SaltMode {
        kOk,
        kNoUser,  // {"code":"-3","msg":"no user"}
        kStatus500,
        kEmptyBody,
        kZeroBody,  // one zero byte: a body with an empty text
        kNoEquals,  // the decoded salt text holds no "="
        kSlow,      // answered after SetSlowMs
    };
    enum class LoginMode {
        kOk,
        kAgainOnce,       // pwd_login asks for one second proof
        kAgainAlways,     // every answer asks for another one
        kRefused,         // {"code":"-1","msg":"bad"}
        kUserIdLast,      // success with "userid" as the last member
        kBlankSessionId,  // success with a session id holding a blank
        kStatus500,
        kEmptyBody,
        kZeroBody,
        kSlow,
        kSilent,  // never answers (until the client goes)
    };
    enum class VerifyMode {
        kToday,      // a passport valid today
        kYesterday,  // a passport whose validity date is yesterday
        kStatus500,
        kEmptyBody,
        kEmptyPassport,
    };

    FakeAuthService();
    ~FakeAuthService();
    FakeAuthService(const FakeAuthService&) = delete;
    FakeAuthService& operator=(const FakeAuthService&) = delete;

    // Starts the server and points the library's authentication host at it.
    bool Start();
    void Stop();

    // Accounts the fake knows (one, "u1"/"p1", from the start).
    void AddAccount(const FakeAuthAccount& account);
    void SetKeyMode(KeyMode mode);
    void SetSaltMode(SaltMode mode);
    void SetLoginMode(LoginMode mode);
    void SetVerifyMode(VerifyMode mode);
    void SetSlowMs(int ms);

    HttpTestServer& Server() { return m_server; }
    // The paths of the requests, in order.
    std::vector<std::string> Paths();
    // Every check that failed, one text each.
    std::vector<std::string> Violations();

    // The signature text of every verification answer, and the bytes it
    // stands for.
    static constexpr const char* kSignatureText = "BADA";
    // The passport attribute of a verification answer for a validity date
    // (YYYYMMDD), and the passport a client keeps of it.
    static std::string PassportAttribute(const std::string& date, const std::string& name = "PASS");
    static std::string KeptPassport(const std::string& date, const std::string& name = "PASS");
    // Local dates "YYYYMMDD": today and yesterday.
    static std::string LocalDate(int daysAgo);

    // Test helpers: lower-case hex MD5 / SHA-256, Base64 both ways.
    static std::string Md5Hex(const std::string& text);
    static std::string Sha256Hex(const std::string& text, bool upper);
    static std::string Base64(const std::string& bytes);
    static std::string Unbase64(const std::string& text);

private:
    using Query = std::map<std::string, std::string>;

    HttpReply Handle(const HttpRequestRecord& request);
    HttpReply KeyAnswer();
    HttpReply SaltAnswer(const HttpRequestRecord& request, const Query& query);
    HttpReply LoginAnswer(const HttpRequestRecord& request, const Query& query, bool again);
    HttpReply VerifyAnswer(const Query& query);

    // Checks the signing headers and the signature of request for the
    // signing text; false (a violation recorded) when they fail.
    bool CheckSigned(const HttpRequestRecord& request, const std::string& signText, const FakeAuthAccount* account);
    // The account whose user name the Base64 RSA cipher carries, copied to
    // out; false when none (a violation is recorded when the cipher does not
    // decrypt).
    bool AccountOf(const std::string& cipher, FakeAuthAccount* out);
    // RSA private decryption of a Base64 cipher; false when it fails.
    bool Decrypt(const std::string& cipher, std::string* plain);
    void Violation(const std::string& text);
    static Query ParseQuery(const std::string& query);

    HttpTestServer m_server;
    EVP_PKEY* m_key = nullptr;
    std::string m_modulusHex;
    std::string m_savedHost;
    bool m_started = false;

    std::mutex m_mutex;
    std::vector<FakeAuthAccount> m_accounts;
    KeyMode m_keyMode = KeyMode::kOk;
    SaltMode m_saltMode = SaltMode::kOk;
    LoginMode m_loginMode = LoginMode::kOk;
    VerifyMode m_verifyMode = VerifyMode::kToday;
    int m_slowMs = 3000;
    std::vector<std::string> m_violations;
    // Salts handed out per nonce, and the dsv of every dsk handed out.
    std::map<std::string, std::string> m_dsv;
    int m_nextDsk = 2;
};

// "auth.dat" as its format describes it (little-endian): u8 'A', u16 n,
// n locale bytes, u16 L, L text bytes; the text ends with "Passport64=" and
// the Base64 of the passport record: u16 total length, u8 kind, u16
// signature length, the signature, the passport with its zero byte.
struct AuthFileContent {
    bool ok = false;  // the layout holds and the file has no bytes past the text
    size_t size = 0;  // bytes in the file
    std::string locale;
    std::string text;
    std::string record;  // decoded Passport64
    // The record's fields (when it is long enough).
    uint16_t recordLength = 0;
    uint8_t kind = 0;
    std::string signature;
    std::string passport;  // up to the end of the record, its zero byte included
};
AuthFileContent ReadAuthFile(const std::string& path);

// Fixture of the authentication tests: a fresh folder that receives
// "auth.dat" and the log (level 2), no proxy, and a started fake service
// that the library's authentication host points at.
class FakeAuthTest : public TempDirTest {
protected:
    FakeAuthTest() : TempDirTest("kvo_auth") {}
    void SetUp() override;
    void TearDown() override;

    std::string Log() const { return ReadWholeFile(m_logPath); }
    // Whether the log holds the line "<level>: <text>".
    bool HasLogLine(int level, const std::string& text) const;
    std::string AuthFilePath() const { return dir_ + "/auth.dat"; }

    FakeAuthService fake;

private:
    std::string m_logPath;
    std::string m_savedFolder;
};

}  // namespace kvotest
