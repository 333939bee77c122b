// CAuth: the client of the authentication service. Before a gateway login
// it authenticates an account and yields what the login carries: the
// passport (a signed text) and the session id. One Authenticate runs, on the
// caller's thread, five synchronous HTTP GET requests to the service host
// (GetBuiltinHosts().authServiceHost, over plain "http"):
//
//   1. "/verify2?reqtype=do_rsa&type=get_pubkey": the RSA public key (XML);
//   2. "/verify3/gs": the account's salt (JSON), the account RSA-encrypted;
//   3. "/verify3/pwd_login": the password proof made from the salt (JSON);
//      an answer may ask for a second proof ("/verify3/pwd_login_again"),
//      at most kMaxAgainRounds times;
//   4. "/verify2?reqtype=verify": the passport and its signature (XML);
//
// then writes the login record "auth.dat" (in the working directory, or in
// the folder set by SetAuthDataFolder) under a process-wide lock.
//
// The salt and login requests are signed (headers "X-Auth-AppID",
// "X-Auth-Sign", "X-Auth-SignV", "X-Auth-Time", "X-Auth-Crnd") with the key
// that the object's own key selector picks. The digests, the keyed digests
// and the RSA encryption go through the cryptography layer of
// platform/pl_crypto.h, where the algorithm choices are made.
//
// Every failure is logged at level 1 and folded into the result 0. A CAuth
// can be stopped from another thread (Abort, or an outside flag such as a
// session's stopping flag): the running request ends within about 100 ms
// and every later one fails at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

class CTLHttpRequest;

class CAuth {
public:
    // timeoutMs: the idle timeout of the key, salt and login requests (the
    // verification keeps the HTTP front end's default, 15000 ms).
    // keySelector: set signs with the application id, clear with the
    // application key. The outside stop flag of an AuthAbortScope alive on
    // this thread is taken over.
    CAuth(uint32_t timeoutMs, bool keySelector);
    ~CAuth();
    CAuth(const CAuth&) = delete;
    CAuth& operator=(const CAuth&) = delete;

    // Authenticates user with password: 1 on success, with the passport
    // text and the session id handed out and "auth.dat" written; 0 on any
    // failure (each logged at level 1).
    int32_t Authenticate(const std::string& user, const std::string& password, std::string* passport,
                         std::string* sessionId);

    // Ends the running request and fails every later one. Safe from any
    // thread while Authenticate runs.
    void Abort();
    // An outside stop flag, polled beside Abort's own: while it reads true
    // the object behaves as aborted. The flag must outlive the object; null
    // removes it. Set it before Authenticate.
    void SetAbortFlag(const std::atomic<bool>* flag);

    // The key selector of the CAuth constructed last in the process. It is
    // kept for what it reports; each object signs with its own selector.
    static bool GetProcessKeySelector();

private:
    // Fixed values of the service.
    static constexpr const char* kAppId = "1947362058184729";
    static constexpr const char* kAppKey = "K7QW2MZT4NBV9HXE";
    static constexpr const char* kSignVersion = "3";
    // At most this many second-proof rounds per login.
    static constexpr uint32_t kMaxAgainRounds = 3;
    // LoginV3's result when the service still asks for a second proof after
    // kMaxAgainRounds rounds.
    static constexpr int32_t kAgainRoundsExhausted = 4;

    // The key request: 0, or 1 (status), 2 (empty body), 3 (no document,
    // "ret" or "item").
    int32_t get_pubkey();
    // The salt request and the login it leads to: 0, 1 to 3, or the
    // answer's "code".
    int32_t UpdateSalt(const std::string& user, const std::string& passwordDigest);
    // One login request: 1 (status), 2 (no body), 3 (empty text), or the
    // result of HandleLoginV3Response.
    int32_t LoginV3(const std::string& account, const std::string& proof, const std::string& passwordDigest,
                    const std::string& dsk, bool again);
    int32_t HandleLoginV3Response(const std::string& answer, const std::string& account,
                                  const std::string& passwordDigest);
    // The verification: 0, or 1 (status), 2 (empty body), 3 (XML), 4 (no
    // passport).
    int32_t verify_account();
    // Writes "auth.dat"; false when it cannot be written.
    bool WriteAuthFile();

    // The text's RSA cipher under the kept public key, in Base64.
    std::string RsaToBase64(const std::string& text) const;
    // Adds the signing headers for the signing text and the nonce.
    void SignRequest(CTLHttpRequest& http, const std::string& signText, const std::string& nonce) const;
    // A GET of path?query on the service host, stoppable by Abort.
    int32_t Get(CTLHttpRequest& http, const char* path, const std::string& query);
    bool Aborted() const;

    const uint32_t m_nTimeout;
    const bool m_bKeySelector;
    std::atomic<bool> m_bAbort{false};
    std::atomic<const std::atomic<bool>*> m_pAbortFlag{nullptr};

    // The public key (from the key request).
    std::string m_strRsaVersion;
    std::string m_strPubkey;
    std::string m_strModulus;
    std::string m_strPublicExponent;
    // The account (from the login answer).
    std::string m_strUserId;
    std::string m_strSessionId;
    std::string m_strAccountRsaVersion;
    std::string m_strExpires;
    std::string m_strThirdSign;
    // From the verification: the passport text (without its closing zero
    // byte) and the signature bytes.
    std::string m_strPassport;
    std::string m_signature;
    // Second-proof rounds of the current login.
    uint32_t m_nAgainRounds = 0;
};

namespace kvoapi {

// Runs one CAuth: the shape of the account authenticator that the session's
// passport refresh and the instance's pre-login check call (1 success, 0
// failure). It stops early when the flag of an AuthAbortScope alive on the
// calling thread turns true.
int32_t AuthenticateWithService(uint32_t timeoutMs, bool keySelector, const std::string& user,
                                const std::string& password, std::string* passport, std::string* sessionId);

// While alive, every CAuth constructed on this thread stops as soon as
// *flag reads true (a session's stopping flag, say), whatever function
// constructs it. Scopes nest; the flag must outlive the scope.
class AuthAbortScope {
public:
    explicit AuthAbortScope(const std::atomic<bool>* flag);
    ~AuthAbortScope();
    AuthAbortScope(const AuthAbortScope&) = delete;
    AuthAbortScope& operator=(const AuthAbortScope&) = delete;

private:
    const std::atomic<bool>* m_pPrevious;
};

// The folder "auth.dat" is written to: empty (the default) is the working
// directory. Returns the previous folder. Tests point it at a folder of
// their own.
std::string SetAuthDataFolder(const std::string& folder);
std::string GetAuthDataFolder();

// The pieces of the client, each a plain function of its inputs.
namespace auth {

// Size of the modulus and of the exponent in the public key block.
constexpr size_t kKeyPartSize = 256;
constexpr size_t kKeyBlockSize = 516;
// The fixed header of the public key block.
constexpr uint8_t kKeyBlockHeader[4] = {0x01, 0x00, 0x01, 0x00};
// Longest cipher text of the 1024-bit key.
constexpr uint32_t kRsaCipherSize = 128;

// Hex text of the digest of text (form 0 lower case, 1 upper case); empty
// when a cryptography call fails.
std::string HashHex(std::string_view text, uint32_t form);
// Hex text of the keyed digest of message under key; empty on failure.
std::string HmacHex(std::string_view message, std::string_view key, uint32_t form);
// Keeps letters, digits, '-', '_', '.' and '~'; a blank becomes '+', every
// other byte "%XX" in upper case.
std::string UrlEncode(std::string_view text);
// UrlEncode(key) + "=" + UrlEncode(value).
std::string QueryPair(std::string_view key, std::string_view value);
// Every byte of data XOR the key's byte at the same place, the key repeated
// over the data; empty when the key is empty.
std::string XorRepeat(std::string_view data, std::string_view key);
// Letter pairs to bytes: each byte is (second - 'A') * 16 + (first - 'A');
// an odd last letter is ignored.
std::string DecodeHexLetters(std::string_view text);
// Reads a hex number into out, right-aligned (big-endian, leading bytes 0;
// an odd length reads as if it had a leading "0"). False, with out zeroed,
// when the text is longer than 512 digits or holds a non-hex character.
bool ReadKeyHex(std::string_view hex, uint8_t (&out)[kKeyPartSize]);
// The 516-byte public key block; false when either number is refused.
bool BuildPublicKeyBlock(std::string_view modulus, std::string_view exponent, uint8_t (&block)[kKeyBlockSize]);
// The RSA cipher of text under the key, in Base64: empty when modulus or
// exponent is empty; empty, with "Rsa  encrypt failed!" logged, when the
// key is refused or the encryption fails.
std::string RsaToBase64(std::string_view modulus, std::string_view exponent, std::string_view text);
// The passport kept from the attribute: its text up to the first
// "signlength" found from the second character on (all of it when absent).
std::string CutPassport(std::string_view attribute);
// Whether a service host ("name" or "name:port") is a name under the
// reserved top-level domain "invalid", such as the placeholder a deployment
// replaces. Such a name never resolves, so no resolver is asked for it.
bool IsInvalidHostName(std::string_view host);
// The bytes of "auth.dat" for a passport (without its zero byte) and a
// signature; false when the record does not fit its 16-bit lengths.
bool BuildAuthFile(std::string_view passport, std::string_view signature, std::string* bytes);

}  // namespace auth
}  // namespace kvoapi
