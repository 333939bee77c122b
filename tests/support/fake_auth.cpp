#include "tests/support/fake_auth.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>

#include "framework/tl_log.h"
#include "session/auth.h"
#include "session/builtin_hosts.h"

namespace kvotest {
namespace {

constexpr const char* kAppId = "1947362058184729";
constexpr const char* kAppKey = "K7QW2MZT4NBV9HXE";
constexpr const char* kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Hex(const unsigned char* bytes, size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string DigestHex(const EVP_MD* md, const std::string& text, bool upper) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), out, &n, md, nullptr);
    return Hex(out, n, upper);
}

std::string HmacSha256Hex(const std::string& key, const std::string& message, bool upper) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    static const unsigned char kEmpty[1] = {0};
    const void* keyBytes = key.empty() ? static_cast<const void*>(kEmpty) : key.data();
    HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), out, &n);
    return Hex(out, n, upper);
}

std::string Xor(const std::string& data, const std::string& key) {
    std::string out = data;
    for (size_t i = 0; i < out.size() && !key.empty(); ++i) out[i] = static_cast<char>(out[i] ^ key[i % key.size()]);
    return out;
}

// The form encoding of the signing texts: letters, digits and "-_.~" stay,
// a blank is "+", the rest "%XX".
std::string FormEncode(const std::string& text) {
    std::string out;
    char buf[4];
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

HttpReply Json(const std::string& body) { return HttpReply::Ok(body); }

}  // namespace

FakeAuthAccount FakeAuthAccount::Numbered(int n, const std::string& user, const std::string& password,
                                          bool keySelector) {
    FakeAuthAccount account;
    const std::string number = std::to_string(n);
    account.user = user;
    account.password = password;
    account.keySelector = keySelector;
    account.salt = "SALT" + number;
    account.userId = number + "000" + number;
    account.sessionId = "SID" + number;
    account.passportName = "PASS" + number + "-" + user;
    return account;
}

FakeAuthService::FakeAuthService() {
    m_key = EVP_RSA_gen(1024);
    BIGNUM* n = nullptr;
    if (m_key != nullptr && EVP_PKEY_get_bn_param(m_key, OSSL_PKEY_PARAM_RSA_N, &n) == 1) {
        char* hex = BN_bn2hex(n);
        m_modulusHex = hex;
        OPENSSL_free(hex);
    }
    BN_free(n);
    m_accounts.emplace_back();
    m_dsv["DSK1"] = "DSV1";
}

FakeAuthService::~FakeAuthService() {
    Stop();
    EVP_PKEY_free(m_key);
}

bool FakeAuthService::Start() {
    if (m_key == nullptr || m_modulusHex.empty()) return false;
    m_server.SetHandler([this](const HttpRequestRecord& request) { return Handle(request); });
    if (!m_server.Start()) return false;
    kvoapi::BuiltinHosts hosts = kvoapi::GetBuiltinHosts();
    m_savedHost = hosts.authServiceHost;
    hosts.authServiceHost = "127.0.0.1:" + std::to_string(m_server.Port());
    kvoapi::SetBuiltinHosts(hosts);
    m_started = true;
    return true;
}

void FakeAuthService::Stop() {
    m_server.Stop();
    if (!m_started) return;
    kvoapi::BuiltinHosts hosts = kvoapi::GetBuiltinHosts();
    hosts.authServiceHost = m_savedHost;
    kvoapi::SetBuiltinHosts(hosts);
    m_started = false;
}

void FakeAuthService::AddAccount(const FakeAuthAccount& account) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts.push_back(account);
}

void FakeAuthService::SetKeyMode(KeyMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyMode = mode;
}

void FakeAuthService::SetSaltMode(SaltMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_saltMode = mode;
}

void FakeAuthService::SetLoginMode(LoginMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loginMode = mode;
}

void FakeAuthService::SetVerifyMode(VerifyMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_verifyMode = mode;
}

void FakeAuthService::SetSlowMs(int ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_slowMs = ms;
}

std::vector<std::string> FakeAuthService::Paths() {
    std::vector<std::string> paths;
    for (const auto& request : m_server.Requests()) paths.push_back(request.Path());
    return paths;
}

std::vector<std::string> FakeAuthService::Violations() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_violations;
}

void FakeAuthService::Violation(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_violations.push_back(text);
}

std::string FakeAuthService::PassportAttribute(const std::string& date, const std::string& name) {
    return name + ";signvalid=" + date + "|signlength=12";
}

std::string FakeAuthService::KeptPassport(const std::string& date, const std::string& name) {
    return name + ";signvalid=" + date + "|";
}

std::string FakeAuthService::LocalDate(int daysAgo) {
    const time_t t = time(nullptr) - static_cast<time_t>(daysAgo) * 86400;
    struct tm local {};
    localtime_r(&t, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &local);
    return buf;
}

std::string FakeAuthService::Md5Hex(const std::string& text) { return DigestHex(EVP_md5(), text, false); }

std::string FakeAuthService::Sha256Hex(const std::string& text, bool upper) {
    return DigestHex(EVP_sha256(), text, upper);
}

std::string FakeAuthService::Base64(const std::string& bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(kBase64Alphabet[(v >> s) & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= uint8_t(bytes[i + 1]) << 8;
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? kBase64Alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string FakeAuthService::Unbase64(const std::string& text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        if (ch == ' ') ch = '+';  // a form decoder's reading of "+"
        const char* p = std::strchr(kBase64Alphabet, ch);
        if (p == nullptr || ch == '\0') continue;
        acc = (acc << 6) | static_cast<uint32_t>(p - kBase64Alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

FakeAuthService::Query FakeAuthService::ParseQuery(const std::string& query) {
    Query out;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string piece = query.substr(start, end - start);
        const size_t eq = piece.find('=');
        std::string value = eq == std::string::npos ? std::string() : piece.substr(eq + 1);
        for (char& c : value) {
            if (c == ' ') c = '+';
        }
        if (!piece.empty()) out[piece.substr(0, eq)] = value;
        start = end + 1;
    }
    return out;
}

bool FakeAuthService::Decrypt(const std::string& cipher, std::string* plain) {
    const std::string bytes = Unbase64(cipher);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, m_key, nullptr);
    bool ok = false;
    size_t n = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    if (ctx != nullptr && !bytes.empty() && EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, in, bytes.size()) == 1) {
        std::string out(n, '\0');
        if (EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, in, bytes.size()) == 1) {
            out.resize(n);
            *plain = out;
            ok = true;
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

bool FakeAuthService::AccountOf(const std::string& cipher, FakeAuthAccount* out) {
    std::string user;
    if (!Decrypt(cipher, &user)) {
        Violation("account does not decrypt: '" + cipher + "'");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& account : m_accounts) {
        if (account.user == user) {
            *out = account;
            return true;
        }
    }
    return false;
}

bool FakeAuthService::CheckSigned(const HttpRequestRecord& request, const std::string& signText,
                                  const FakeAuthAccount* account) {
    const std::string path = request.Path();
    bool ok = true;
    auto expect = [&](bool condition, const std::string& what) {
        if (!condition) {
            Violation(path + ": " + what);
            ok = false;
        }
    };
    expect(request.Header("Content-Type") == "application/x-www-form-urlencoded", "Content-Type");
    expect(request.Header("X-Auth-AppID") == kAppId, "X-Auth-AppID");
    expect(request.Header("X-Auth-SignV") == "3", "X-Auth-SignV");
    expect(!request.HasHeader("X-Auth-Ext"), "X-Auth-Ext present");
    const std::string time = request.Header("X-Auth-Time");
    const bool decimal = !time.empty() && time.find_first_not_of("0123456789") == std::string::npos;
    expect(decimal && std::llabs(std::atoll(time.c_str()) - static_cast<long long>(::time(nullptr))) <= 300,
           "X-Auth-Time '" + time + "'");
    static const std::regex kGuid("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    expect(std::regex_match(request.Header("X-Auth-Crnd"), kGuid), "X-Auth-Crnd");
    const std::string message = signText + "X-Auth-SignV3X-Auth-Time" + time + Sha256Hex("", true);
    const std::string sign = request.Header("X-Auth-Sign");
    bool signed_ok = false;
    if (account != nullptr) {
        signed_ok = sign == HmacSha256Hex(account->keySelector ? kAppId : kAppKey, message, true);
    } else {
        signed_ok = sign == HmacSha256Hex(kAppKey, message, true) || sign == HmacSha256Hex(kAppId, message, true);
    }
    expect(signed_ok, "X-Auth-Sign");
    return ok;
}

HttpReply FakeAuthService::Handle(const HttpRequestRecord& request) {
    const std::string path = request.Path();
    const Query query = ParseQuery(request.Query());
    if (request.method != "GET") Violation(path + ": method " + request.method);
    auto value = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    if (path == "/verify2") {
        if (request.HasHeader("X-Auth-Sign")) Violation(path + ": signed");
        if (value("reqtype") == "do_rsa" && value("type") == "get_pubkey") return KeyAnswer();
        if (value("reqtype") == "verify") return VerifyAnswer(query);
    } else if (path == "/verify3/gs") {
        return SaltAnswer(request, query);
    } else if (path == "/verify3/pwd_login") {
        return LoginAnswer(request, query, false);
    } else if (path == "/verify3/pwd_login_again") {
        return LoginAnswer(request, query, true);
    }
    Violation("unknown request " + request.target);
    return HttpReply::Status(404);
}

HttpReply FakeAuthService::KeyAnswer() {
    KeyMode mode;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_keyMode;
    }
    const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    switch (mode) {
    case KeyMode::kStatus500:
        return HttpReply::Status(500, "error");
    case KeyMode::kEmptyBody:
        return HttpReply::Ok("");
    case KeyMode::kNoItem:
        return HttpReply::Ok(head + "<data/>");
    case KeyMode::kNoModulus:
        return HttpReply::Ok(head +
                             "<data><ret>0</ret><item rsa_version=\"1\" pubkey=\"k\" "
                             "publicExponent=\"010001\"/></data>");
    case KeyMode::kLongModulus:
        return HttpReply::Ok(head + "<data><ret>0</ret><item rsa_version=\"1\" pubkey=\"k\" modulus=\"1" +
                             std::string(513, '0') + "\" publicExponent=\"010001\"/></data>");
    case KeyMode::kOk:
        break;
    }
    return HttpReply::Ok(head + "<data><ret>0</ret><item rsa_version=\"1\" pubkey=\"k\" modulus=\"" + m_modulusHex +
                         "\" publicExponent=\"010001\"/></data>");
}

HttpReply FakeAuthService::SaltAnswer(const HttpRequestRecord& request, const Query& query) {
    SaltMode mode;
    int slowMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_saltMode;
        slowMs = m_slowMs;
    }
    const auto get = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    if (get("encoding") != "gbk" || get("resp") != "json" || get("rsa_version") != "1") {
        Violation("/verify3/gs: query " + request.Query());
    }
    const std::string account = get("account");
    FakeAuthAccount known;
    const FakeAuthAccount* user = !account.empty() && AccountOf(account, &known) ? &known : nullptr;
    const std::string signText =
        "account=" + account + "&encoding=gbk&rsa_version=" + FormEncode(get("rsa_version")) + "&resp=json";
    if (!CheckSigned(request, signText, user)) return HttpReply::Status(403, "bad signature");
    switch (mode) {
    case SaltMode::kNoUser:
        return Json("{\"code\":\"-3\",\"msg\":\"no user\"}");
    case SaltMode::kStatus500:
        return HttpReply::Status(500, "error");
    case SaltMode::kEmptyBody:
        return HttpReply::Ok("");
    case SaltMode::kZeroBody:
        return HttpReply::Ok(std::string(1, '\0'));
    default:
        break;
    }
    if (user == nullptr) return Json("{\"code\":\"-3\",\"msg\":\"no user\"}");
    const std::string key = Sha256Hex(request.Header("X-Auth-Crnd") + "DSK1", false);
    const std::string plain = (mode == SaltMode::kNoEquals ? "s:" : "s=") + user->salt;
    HttpReply reply =
        Json("{\"code\":\"0\",\"dsk\":\"DSK1\",\"dsv\":\"DSV1\",\"ssv\":\"" + Base64(Xor(plain, key)) + "\"}");
    if (mode == SaltMode::kSlow) reply.delayMs = slowMs;
    return reply;
}

HttpReply FakeAuthService::LoginAnswer(const HttpRequestRecord& request, const Query& query, bool again) {
    LoginMode mode;
    int slowMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_loginMode;
        slowMs = m_slowMs;
    }
    const std::string path = request.Path();
    const auto get = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    if (get("encoding") != "gbk" || get("resp") != "json" || get("rsa_version") != "1") {
        Violation(path + ": query " + request.Query());
    }
    const std::string dsk = get("dsk");
    const std::string account = get("account");
    const std::string proof = get("passwd");
    FakeAuthAccount known;
    const FakeAuthAccount* user = AccountOf(account, &known) ? &known : nullptr;
    const std::string signText = "dsk=" + FormEncode(dsk) + "&rsa_version=" + FormEncode(get("rsa_version")) +
                                 "&account=" + account + "&passwd=" + proof + "&encoding=gbk&resp=json";
    if (!CheckSigned(request, signText, user)) return HttpReply::Status(403, "bad signature");
    if (user == nullptr) return Json("{\"code\":\"-1\",\"msg\":\"no user\"}");

    std::string dsv;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_dsv.find(dsk);
        if (it != m_dsv.end()) dsv = it->second;
    }
    if (dsv.empty() || (dsk == "DSK1") == again) Violation(path + ": dsk " + dsk);
    // The proof: RSA over the Base64 text of the XOR of two hex texts.
    const std::string digest = Md5Hex(user->password);
    const std::string expected = again ? Xor(digest, Sha256Hex(dsv, false))
                                       : Xor(HmacSha256Hex(user->salt, digest, false), Sha256Hex(dsv, false));
    std::string text;
    if (!Decrypt(proof, &text) || Unbase64(text) != expected) {
        Violation(path + ": bad proof");
        return Json("{\"code\":\"-1\",\"msg\":\"bad proof\"}");
    }

    HttpReply reply;
    if ((mode == LoginMode::kAgainOnce && !again) || mode == LoginMode::kAgainAlways) {
        std::string next;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            next = std::to_string(m_nextDsk++);
            m_dsv["DSK" + next] = "DSV" + next;
        }
        return Json("{\"result\":\"again\",\"dsk\":\"DSK" + next + "\",\"dsv\":\"DSV" + next + "\"}");
    }
    switch (mode) {
    case LoginMode::kRefused:
        return Json("{\"code\":\"-1\",\"msg\":\"bad\"}");
    case LoginMode::kStatus500:
        return HttpReply::Status(500, "error");
    case LoginMode::kEmptyBody:
        return HttpReply::Ok("");
    case LoginMode::kZeroBody:
        return HttpReply::Ok(std::string(1, '\0'));
    case LoginMode::kSilent:
        return HttpReply::Silent();
    case LoginMode::kUserIdLast:
        return Json("{\"code\":\"0\",\"sessionid\":\"" + user->sessionId +
                    "\",\"expires\":\"2099-12-31\",\"msg\":\"ok\",\"userid\":" + user->userId + "}");
    case LoginMode::kBlankSessionId:
        return Json("{\"code\":\"0\",\"userid\":" + user->userId + ",\"sessionid\":\"SID 1\",\"msg\":\"ok\"}");
    default:
        break;
    }
    reply = Json("{\"code\":\"0\",\"userid\":" + user->userId + ",\"sessionid\":\"" + user->sessionId +
                 "\",\"expires\":\"2099-12-31\",\"third_sign\":\"T\",\"rsa_version\":\"1\",\"msg\":\"ok\"}");
    if (mode == LoginMode::kSlow) reply.delayMs = slowMs;
    return reply;
}

HttpReply FakeAuthService::VerifyAnswer(const Query& query) {
    VerifyMode mode;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_verifyMode;
        const auto sid = query.find("sessionid");
        const auto uid = query.find("userid");
        for (const auto& account : m_accounts) {
            if (sid != query.end() && uid != query.end() && account.sessionId == sid->second &&
                account.userId == uid->second) {
                name = account.passportName;
            }
        }
    }
    if (name.empty()) {
        Violation("/verify2: unknown session");
        return HttpReply::Status(404);
    }
    const auto item = [](const std::string& passport) {
        return HttpReply::Ok("<data><ret>0</ret><item passport=\"" + passport + "\" signature=\"" +
                             std::string(kSignatureText) + "\"/></data>");
    };
    switch (mode) {
    case VerifyMode::kStatus500:
        return HttpReply::Status(500, "error");
    case VerifyMode::kEmptyBody:
        return HttpReply::Ok("");
    case VerifyMode::kEmptyPassport:
        return item("");
    case VerifyMode::kYesterday:
        return item(PassportAttribute(LocalDate(1), name));
    case VerifyMode::kToday:
        break;
    }
    return item(PassportAttribute(LocalDate(0), name));
}

AuthFileContent ReadAuthFile(const std::string& path) {
    AuthFileContent content;
    const std::string bytes = ReadWholeFile(path);
    content.size = bytes.size();
    const auto u16 = [&](const std::string& b, size_t at) {
        return static_cast<uint16_t>(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
    };
    if (bytes.size() < 3 || bytes[0] != 'A') return content;
    const size_t localeLength = u16(bytes, 1);
    if (bytes.size() < 5 + localeLength) return content;
    content.locale = bytes.substr(3, localeLength);
    const size_t textLength = u16(bytes, 3 + localeLength);
    if (bytes.size() != 5 + localeLength + textLength) return content;
    content.text = bytes.substr(5 + localeLength);
    const std::string marker = "Passport64=";
    const size_t at = content.text.find(marker);
    if (at == std::string::npos) return content;
    content.record = FakeAuthService::Unbase64(content.text.substr(at + marker.size()));
    if (content.record.size() < 5) return content;
    content.recordLength = u16(content.record, 0);
    content.kind = static_cast<uint8_t>(content.record[2]);
    const size_t signatureLength = u16(content.record, 3);
    if (content.record.size() < 5 + signatureLength) return content;
    content.signature = content.record.substr(5, signatureLength);
    content.passport = content.record.substr(5 + signatureLength);
    content.ok = true;
    return content;
}

void FakeAuthTest::SetUp() {
    ClearProxyEnvironment();
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    m_logPath = dir_ + "/auth.log";
    ASSERT_EQ(TL_OpenLog(TL_LOG_KEEP_NAME | TL_LOG_NO_CAP, m_logPath.c_str()), 0);
    TL_SetLogLevel(0, 2);
    m_savedFolder = kvoapi::SetAuthDataFolder(dir_);
    ASSERT_TRUE(fake.Start());
}

void FakeAuthTest::TearDown() {
    fake.Stop();
    kvoapi::SetAuthDataFolder(m_savedFolder);
    TL_SetLogLevel(0, 0);
    TempDirTest::TearDown();
}

bool FakeAuthTest::HasLogLine(int level, const std::string& text) const {
    const std::string log = Log();
    const std::string line = std::to_string(level) + ": " + text + "\r\n";
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        if (at == 0 || log[at - 1] == '\n') return true;
    }
    return false;
}

}  // namespace kvotest
