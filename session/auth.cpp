#include "session/auth.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "framework/tl_buffer.h"
#include "framework/tl_domparser.h"
#include "framework/tl_fileobj.h"
#include "framework/tl_log.h"
#include "framework/tl_textutil.h"
#include "framework/tl_thread.h"
#include "framework/tl_xml.h"
#include "http/http_frontend.h"
#include "platform/pl_crypto.h"
#include "session/builtin_hosts.h"
#include "platform/pl_never_destroyed.h"

namespace {

// The selector of the CAuth constructed last.
std::atomic<bool> g_processKeySelector{false};

// The outside stop flag of the AuthAbortScope alive on this thread.
thread_local const std::atomic<bool>* t_scopeAbortFlag = nullptr;

// Where "auth.dat" goes, and the lock that keeps two writers of it apart.
struct AuthFileState {
    std::recursive_mutex mutex;
    std::string folder;
};

AuthFileState& FileState() {
    static pl::NeverDestroyed<AuthFileState> state;  // lives until the process ends
    return *state;
}

constexpr const char* kAuthFileName = "auth.dat";
// Disk file, created anew.
constexpr uint32_t kAuthFileMode = 0x2002;
constexpr const char* kAuthFileLocale = "zh_CN.GBK";
constexpr uint8_t kAuthFileMagic = 'A';
constexpr uint8_t kPassportRecordKind = 6;
constexpr const char* kAuthFileText =
    "Ask=login\nC-Version=mirn_3.8.0.5\nUserName=13579246801\nVerifyType=1\n"
    "Mac64=7A1C9E3B5D0F2846A8C6E4B2D0F19375\nPassport64=";

// The decimal value of an answer's code; a text that is no number reads as 0.
int32_t CodeValue(const std::string& code) {
    const long long value = std::strtoll(code.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The answer's body, and its text (the body up to a zero byte).
struct Answer {
    uint32_t length = 0;
    std::string body;
    std::string Text() const { return std::string(body.c_str()); }
};

Answer ReadAnswer(CTLHttpRequest& http) {
    corvane::CTLSmartBuffer buffer;
    Answer answer;
    answer.length = http.GetDataBuffer(&buffer);
    if (answer.length > 0 && buffer.GetData() != nullptr) answer.body.assign(buffer.GetData(), answer.length);
    return answer;
}

// Checks the status and the body of a JSON answer of step ("UpdateSalt",
// "LoginV3"): 0 with its text, 1 for a status other than 200, 2 for no body,
// 3 for an empty text; each failure logged.
int32_t ReadJsonAnswer(CTLHttpRequest& http, int32_t status, const char* step, std::string* text) {
    if (status != 200) {
        TL_WriteLog(1, "%s http request error! Http error num:%d", step, status);
        return 1;
    }
    const Answer answer = ReadAnswer(http);
    if (answer.length == 0) {
        TL_WriteLog(1, "%s GetDataBuffer error!", step);
        return 2;
    }
    *text = answer.Text();
    if (text->empty()) {
        TL_WriteLog(1, "%s GetDataBuffer error empty!", step);
        return 3;
    }
    return 0;
}

// Reads an XML answer whose document element holds "ret" and "item"
// elements and copies the named attributes of the first "item" (empty when
// absent). False when there is no document, no "ret" or no "item".
bool ReadAnswerItem(const std::string& body, std::initializer_list<const char*> names,
                    std::vector<std::string>* values) {
    corvane::CTLDOMParser parser(0);
    if (!parser.Create()) return false;
    // A fault late in the text leaves the tree built before it, which is
    // read like a complete one.
    parser.Parse(body.data(), body.size(), true);
    corvane::TLXmlDocument* document = parser.GetDocument();
    corvane::TLXmlElement* root = document != nullptr ? document->GetDocumentElement() : nullptr;
    if (root == nullptr) return false;
    corvane::TLXmlNodeList* ret = root->GetElementsByTagName("ret");
    const bool haveRet = ret != nullptr && ret->GetLength() > 0;
    if (ret != nullptr) ret->Release();
    if (!haveRet) return false;
    corvane::TLXmlNodeList* items = root->GetElementsByTagName("item");
    if (items == nullptr || items->GetLength() == 0) {
        if (items != nullptr) items->Release();
        return false;
    }
    auto* item = static_cast<corvane::TLXmlElement*>(items->Item(0));
    for (const char* name : names) values->emplace_back(item->GetAttribute(name));
    items->Release();
    return true;
}

void PutU16(std::string* out, uint16_t value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>(value >> 8));
}

// "%XX" with upper-case digits.
void AppendPercent(std::string* out, unsigned char c) {
    static const char kDigits[] = "0123456789ABCDEF";
    out->push_back('%');
    out->push_back(kDigits[c >> 4]);
    out->push_back(kDigits[c & 0x0F]);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- CAuth -------------------------------------------------------------

CAuth::CAuth(uint32_t timeoutMs, bool keySelector) : m_nTimeout(timeoutMs), m_bKeySelector(keySelector) {
    g_processKeySelector.store(keySelector, std::memory_order_relaxed);
    m_pAbortFlag.store(t_scopeAbortFlag, std::memory_order_release);
}

CAuth::~CAuth() = default;

bool CAuth::GetProcessKeySelector() { return g_processKeySelector.load(std::memory_order_relaxed); }

void CAuth::Abort() { m_bAbort.store(true, std::memory_order_release); }

void CAuth::SetAbortFlag(const std::atomic<bool>* flag) { m_pAbortFlag.store(flag, std::memory_order_release); }

bool CAuth::Aborted() const {
    if (m_bAbort.load(std::memory_order_acquire)) return true;
    const std::atomic<bool>* flag = m_pAbortFlag.load(std::memory_order_acquire);
    return flag != nullptr && flag->load(std::memory_order_acquire);
}

int32_t CAuth::Authenticate(const std::string& user, const std::string& password, std::string* passport,
                            std::string* sessionId) {
    // Nothing of an earlier run may count for this one.
    m_strUserId.clear();
    m_strSessionId.clear();
    m_strPassport.clear();
    m_signature.clear();
    int32_t result = get_pubkey();
    if (result != 0) {
        TL_WriteLog(1, "Get rsa public key failed!Error num:%d", result);
        return 0;
    }
    const std::string digest = GetMD5Hex(password);
    result = UpdateSalt(user, digest);
    if (result != 0) {
        TL_WriteLog(1, "Get user infomation failed!Error num:%d", result);
        return 0;
    }
    if (m_strSessionId.empty() || m_strUserId.empty()) {
        TL_WriteLog(1, "Sessionid or Userid error");
        return 0;
    }
    result = verify_account();
    if (result != 0) {
        TL_WriteLog(1, "Get passport failed!Error num:%d", result);
        return 0;
    }
    if (sessionId != nullptr) *sessionId = m_strSessionId;
    if (passport != nullptr) *passport = m_strPassport;
    return WriteAuthFile() ? 1 : 0;
}

int32_t CAuth::Get(CTLHttpRequest& http, const char* path, const std::string& query) {
    // The query carries values of the service's answers as they are; a
    // blank among them would split the URL into alternatives for the front
    // end, so blanks and control bytes travel %-encoded.
    std::string safe;
    for (const char ch : query) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) {
            AppendPercent(&safe, c);
        } else {
            safe += ch;
        }
    }
    const std::string host = kvoapi::GetBuiltinHosts().authServiceHost;
    // The placeholder host of a build whose deployment set none: the
    // request fails as an unreachable service would, without a look-up.
    if (kvoapi::auth::IsInvalidHostName(host)) return TL_HTTP_CONNECT_FAILED;
    const std::string url = "http://" + host + path + "?" + safe;
    http.SetCancelCheck([this] { return Aborted(); });
    return http.Request(url.c_str(), nullptr, 0, 0, 0);
}

void CAuth::SignRequest(CTLHttpRequest& http, const std::string& signText, const std::string& nonce) const {
    http.AddHeader("Content-Type", "application/x-www-form-urlencoded");
    http.AddHeader("X-Auth-AppID", kAppId);
    const std::string time = std::to_string(TL_Time(nullptr));
    const std::string message = signText + "X-Auth-SignV" + kSignVersion + "X-Auth-Time" + time +
                                kvoapi::auth::HashHex("", pl::kCryptoHexUpper);
    const std::string sign = kvoapi::auth::HmacHex(message, m_bKeySelector ? kAppId : kAppKey, pl::kCryptoHexUpper);
    http.AddHeader("X-Auth-Sign", sign.c_str());
    http.AddHeader("X-Auth-SignV", kSignVersion);
    http.AddHeader("X-Auth-Time", time.c_str());
    http.AddHeader("X-Auth-Crnd", nonce.c_str());
    // The extension header has no value, and a header without a value is
    // not sent.
    http.AddHeader("X-Auth-Ext", "");
}

std::string CAuth::RsaToBase64(const std::string& text) const {
    return kvoapi::auth::RsaToBase64(m_strModulus, m_strPublicExponent, text);
}

int32_t CAuth::get_pubkey() {
    CTLHttpRequest http;
    http.SetOption(TL_HTTP_OPTION_TIMEOUT, m_nTimeout);
    const int32_t status = Get(http, "/verify2", "reqtype=do_rsa&type=get_pubkey");
    if (status != 200) {
        TL_WriteLog(1, "obtain rsa public http request error! Http error num:%d", status);
        return 1;
    }
    const Answer answer = ReadAnswer(http);
    if (answer.length == 0) return 2;
    std::vector<std::string> values;
    if (!ReadAnswerItem(answer.body, {"rsa_version", "publicExponent", "pubkey", "modulus"}, &values)) return 3;
    m_strRsaVersion = values[0];
    m_strPublicExponent = values[1];
    m_strPubkey = values[2];
    m_strModulus = values[3];
    return 0;
}

int32_t CAuth::UpdateSalt(const std::string& user, const std::string& passwordDigest) {
    using kvoapi::auth::QueryPair;
    const std::string account = RsaToBase64(user);
    const std::string signText = "account=" + account + "&" + QueryPair("encoding", "gbk") + "&" +
                                 QueryPair("rsa_version", m_strRsaVersion) + "&" + QueryPair("resp", "json");
    const std::string nonce = CreateGuidString();
    CTLHttpRequest http;
    SignRequest(http, signText, nonce);
    http.SetOption(TL_HTTP_OPTION_TIMEOUT, m_nTimeout);
    const int32_t status =
        Get(http, "/verify3/gs", "account=" + account + "&encoding=gbk&rsa_version=" + m_strRsaVersion + "&resp=json");
    std::string text;
    const int32_t result = ReadJsonAnswer(http, status, "UpdateSalt", &text);
    if (result != 0) return result;
    const std::string code = GetJsonStringValue(text, "code");
    if (code != "0") {
        TL_WriteLog(1, "UpdateSalt http request code:%s  msg:%s!", code.c_str(), text.c_str());
        return CodeValue(code);
    }
    const std::string dsk = GetJsonStringValue(text, "dsk");
    const std::string dsv = GetJsonStringValue(text, "dsv");
    const std::string ssv = GetJsonStringValue(text, "ssv");
    // The salt travels as "<name>=<salt>" XOR a digest of the nonce and dsk.
    const std::string key = kvoapi::auth::HashHex(nonce + dsk, pl::kCryptoHexLower);
    const std::string salted = kvoapi::auth::XorRepeat(Base64Decode(ssv), key);
    const size_t equals = salted.find('=');
    if (equals != std::string::npos) {
        const std::string salt = salted.substr(equals + 1);
        const std::string p1 = kvoapi::auth::HmacHex(passwordDigest, salt, pl::kCryptoHexLower);
        const std::string p2 = kvoapi::auth::HashHex(dsv, pl::kCryptoHexLower);
        const std::string proof = RsaToBase64(Base64Encode(kvoapi::auth::XorRepeat(p1, p2)));
        // Its result shows in the account: the caller checks the user and
        // session ids next.
        LoginV3(account, proof, passwordDigest, dsk, false);
    }
    return CodeValue(code);
}

int32_t CAuth::LoginV3(const std::string& account, const std::string& proof, const std::string& passwordDigest,
                       const std::string& dsk, bool again) {
    using kvoapi::auth::QueryPair;
    if (!again) m_nAgainRounds = 0;
    const std::string signText = QueryPair("dsk", dsk) + "&" + QueryPair("rsa_version", m_strRsaVersion) + "&" +
                                 "account=" + account + "&" + "passwd=" + proof + "&" + QueryPair("encoding", "gbk") +
                                 "&" + QueryPair("resp", "json");
    CTLHttpRequest http;
    SignRequest(http, signText, CreateGuidString());
    http.SetOption(TL_HTTP_OPTION_TIMEOUT, m_nTimeout);
    const std::string query = "dsk=" + dsk + "&rsa_version=" + m_strRsaVersion + "&account=" + account +
                              "&passwd=" + proof + "&encoding=gbk&resp=json";
    const int32_t status = Get(http, again ? "/verify3/pwd_login_again" : "/verify3/pwd_login", query);
    std::string text;
    const int32_t result = ReadJsonAnswer(http, status, "LoginV3", &text);
    if (result != 0) return result;
    return HandleLoginV3Response(text, account, passwordDigest);
}

int32_t CAuth::HandleLoginV3Response(const std::string& answer, const std::string& account,
                                     const std::string& passwordDigest) {
    const std::string dsk = GetJsonStringValue(answer, "dsk");
    const std::string dsv = GetJsonStringValue(answer, "dsv");
    if (answer.find("result") != std::string::npos && !dsk.empty() && !dsv.empty()) {
        // The service asks for a second proof, made with the new dsv.
        if (m_nAgainRounds >= kMaxAgainRounds) {
            TL_WriteLog(1, "HandleLoginV3Response http request msg:%s!", answer.c_str());
            return kAgainRoundsExhausted;
        }
        ++m_nAgainRounds;
        const std::string p = kvoapi::auth::HashHex(dsv, pl::kCryptoHexLower);
        const std::string proof = RsaToBase64(Base64Encode(kvoapi::auth::XorRepeat(passwordDigest, p)));
        return LoginV3(account, proof, passwordDigest, dsk, true);
    }
    const std::string code = GetJsonStringValue(answer, "code");
    if (code == "0") {
        m_strUserId = GetJsonNumberValue(answer, "userid");
        m_strSessionId = GetJsonStringValue(answer, "sessionid");
        m_strExpires = GetJsonStringValue(answer, "expires");
        m_strThirdSign = GetJsonStringValue(answer, "third_sign");
        m_strAccountRsaVersion = GetJsonStringValue(answer, "rsa_version");
    } else {
        TL_WriteLog(1, "HandleLoginV3Response http request msg:%s!", answer.c_str());
    }
    return CodeValue(code);
}

int32_t CAuth::verify_account() {
    CTLHttpRequest http;
    const int32_t status =
        Get(http, "/verify2", "reqtype=verify&sessionid=" + m_strSessionId + "&userid=" + m_strUserId);
    if (status != 200) {
        TL_WriteLog(1, "verify account http request error! Http error num:%d", status);
        return 1;
    }
    const Answer answer = ReadAnswer(http);
    if (answer.length == 0) return 2;
    std::vector<std::string> values;
    if (!ReadAnswerItem(answer.body, {"passport", "signature"}, &values)) return 3;
    if (values[0].empty()) {
        TL_WriteLog(1, "CAuth::verify_account[], passport error!");
        return 4;
    }
    m_strPassport = kvoapi::auth::CutPassport(values[0]);
    m_signature = kvoapi::auth::DecodeHexLetters(values[1]);
    return 0;
}

bool CAuth::WriteAuthFile() {
    std::string bytes;
    if (!kvoapi::auth::BuildAuthFile(m_strPassport, m_signature, &bytes)) {
        TL_WriteLog(1, "auth.dat record too long! passport:%zu signature:%zu", m_strPassport.size(),
                    m_signature.size());
        return false;
    }
    AuthFileState& state = FileState();
    // Two sessions refreshing their passports at once must not interleave
    // the file.
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    const std::string path = state.folder.empty() ? std::string(kAuthFileName) : state.folder + "/" + kAuthFileName;
    corvane::CTLFileObj file;
    if (file.Open(path.c_str(), kAuthFileMode) != 0) {
        TL_WriteLog(1, "auth.dat open failed!");
        return false;
    }
    // The bytes written, or a file code.
    const uint32_t written = file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    file.Close();
    if (written != bytes.size()) {
        TL_WriteLog(1, "auth.dat write failed! 0x%08x", written);
        return false;
    }
    return true;
}

// ---- Free functions ----------------------------------------------------

namespace kvoapi {

int32_t AuthenticateWithService(uint32_t timeoutMs, bool keySelector, const std::string& user,
                                const std::string& password, std::string* passport, std::string* sessionId) {
    CAuth auth(timeoutMs, keySelector);
    return auth.Authenticate(user, password, passport, sessionId);
}

AuthAbortScope::AuthAbortScope(const std::atomic<bool>* flag) : m_pPrevious(t_scopeAbortFlag) {
    t_scopeAbortFlag = flag;
}

AuthAbortScope::~AuthAbortScope() { t_scopeAbortFlag = m_pPrevious; }

std::string SetAuthDataFolder(const std::string& folder) {
    AuthFileState& state = FileState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    std::string previous = state.folder;
    state.folder = folder;
    return previous;
}

std::string GetAuthDataFolder() {
    AuthFileState& state = FileState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    return state.folder;
}

namespace auth {
namespace {

// The hex text of a digest; empty when the conversion fails.
std::string DigestHex(const uint8_t* digest, uint32_t length, uint32_t form) {
    char hex[256];
    uint32_t hexLength = sizeof hex;
    if (pl::osBinToHex(digest, length, form, hex, &hexLength) != 0) return std::string();
    return std::string(hex, hexLength);
}

}  // namespace

std::string HashHex(std::string_view text, uint32_t form) {
    if (text.size() > UINT32_MAX) return std::string();
    uint8_t digest[pl::kCryptoMaxDigest];
    uint32_t length = pl::kCryptoDigestBuffer;
    if (pl::hashAlgData(pl::kCryptoAlgSha256, text.data(), static_cast<uint32_t>(text.size()), digest, &length) != 0) {
        return std::string();
    }
    return DigestHex(digest, length, form);
}

std::string HmacHex(std::string_view message, std::string_view key, uint32_t form) {
    if (message.size() > UINT32_MAX || key.size() > UINT32_MAX) return std::string();
    uint8_t digest[pl::kCryptoMaxDigest];
    uint32_t length = pl::kCryptoDigestBuffer;
    if (pl::hmacAlgData(pl::kCryptoAlgSha256, key.data(), static_cast<uint32_t>(key.size()), message.data(),
                        static_cast<uint32_t>(message.size()), digest, &length) != 0) {
        return std::string();
    }
    return DigestHex(digest, length, form);
}

std::string UrlEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(ch);
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            AppendPercent(&out, c);
        }
    }
    return out;
}

std::string QueryPair(std::string_view key, std::string_view value) { return UrlEncode(key) + "=" + UrlEncode(value); }

std::string XorRepeat(std::string_view data, std::string_view key) {
    if (key.empty()) return std::string();
    std::string out(data.size(), '\0');
    for (size_t i = 0; i < data.size(); ++i) out[i] = static_cast<char>(data[i] ^ key[i % key.size()]);
    return out;
}

std::string DecodeHexLetters(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const auto low = static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 'A');
        const auto high = static_cast<uint8_t>(static_cast<uint8_t>(text[i + 1]) - 'A');
        out.push_back(static_cast<char>(static_cast<uint8_t>(high * 16 + low)));
    }
    return out;
}

bool ReadKeyHex(std::string_view hex, uint8_t (&out)[kKeyPartSize]) {
    std::memset(out, 0, sizeof out);
    if (hex.size() > 2 * kKeyPartSize) return false;
    // Two digits at a time from the end; an odd first digit stands alone.
    size_t byte = kKeyPartSize;
    size_t end = hex.size();
    while (end > 0) {
        const size_t begin = end >= 2 ? end - 2 : 0;
        const int high = end - begin == 2 ? HexValue(hex[begin]) : 0;
        const int low = HexValue(hex[end - 1]);
        if (high < 0 || low < 0) {
            std::memset(out, 0, sizeof out);
            return false;
        }
        out[--byte] = static_cast<uint8_t>(high * 16 + low);
        end = begin;
    }
    return true;
}

bool BuildPublicKeyBlock(std::string_view modulus, std::string_view exponent, uint8_t (&block)[kKeyBlockSize]) {
    static_assert(kKeyBlockSize == pl::kPkcKeyBlockSize && kKeyPartSize == pl::kPkcKeyPartSize);
    std::memset(block, 0, sizeof block);
    uint8_t n[kKeyPartSize];
    uint8_t e[kKeyPartSize];
    if (!ReadKeyHex(modulus, n) || !ReadKeyHex(exponent, e)) return false;
    std::memcpy(block, kKeyBlockHeader, sizeof kKeyBlockHeader);
    std::memcpy(block + sizeof kKeyBlockHeader, n, kKeyPartSize);
    std::memcpy(block + sizeof kKeyBlockHeader + kKeyPartSize, e, kKeyPartSize);
    return true;
}

std::string RsaToBase64(std::string_view modulus, std::string_view exponent, std::string_view text) {
    if (modulus.empty() || exponent.empty()) return std::string();
    uint8_t block[kKeyBlockSize];
    uint8_t cipher[kRsaCipherSize];
    uint32_t cipherLength = sizeof cipher;
    pl::PkcHandle handle = nullptr;
    const bool ok =
        text.size() <= UINT32_MAX && BuildPublicKeyBlock(modulus, exponent, block) &&
        pl::pkcCreate(pl::kPkcKindRsa, &handle) == 0 &&
        pl::pkcCtrl(handle, pl::kPkcCtrlSetPublicKey, sizeof block, block, 0, 0) == 0 &&
        pl::pkcEncrypt(handle, text.data(), static_cast<uint32_t>(text.size()), cipher, &cipherLength, 0) == 0;
    pl::pkcDestroy(handle);
    if (!ok) {
        TL_WriteLog(1, "Rsa  encrypt failed!");
        return std::string();
    }
    return Base64Encode(std::string_view(reinterpret_cast<const char*>(cipher), cipherLength));
}

std::string CutPassport(std::string_view attribute) {
    const size_t cut = attribute.find("signlength", 1);
    return std::string(cut == std::string_view::npos ? attribute : attribute.substr(0, cut));
}

bool IsInvalidHostName(std::string_view host) {
    // An address in brackets (IPv6) is no name.
    if (!host.empty() && host.front() == '[') return false;
    host = host.substr(0, host.find(':'));
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    constexpr std::string_view kDomain = "invalid";
    if (host.size() < kDomain.size()) return false;
    const std::string_view last = host.substr(host.size() - kDomain.size());
    for (size_t i = 0; i < kDomain.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(last[i])) != kDomain[i]) return false;
    }
    return host.size() == kDomain.size() || host[host.size() - kDomain.size() - 1] == '.';
}

bool BuildAuthFile(std::string_view passport, std::string_view signature, std::string* bytes) {
    // The record: its own length, the kind, the signature with its length,
    // the passport with its closing zero byte.
    const uint64_t recordLength = signature.size() + (passport.size() + 1) + 5;
    if (recordLength > UINT16_MAX) return false;
    std::string record;
    record.reserve(recordLength);
    PutU16(&record, static_cast<uint16_t>(recordLength));
    record.push_back(static_cast<char>(kPassportRecordKind));
    PutU16(&record, static_cast<uint16_t>(signature.size()));
    record.append(signature);
    record.append(passport);
    record.push_back('\0');
    const std::string text = kAuthFileText + Base64Encode(record);
    if (text.size() > UINT16_MAX) return false;
    const size_t localeLength = std::strlen(kAuthFileLocale);
    bytes->clear();
    bytes->push_back(static_cast<char>(kAuthFileMagic));
    PutU16(bytes, static_cast<uint16_t>(localeLength));
    bytes->append(kAuthFileLocale, localeLength);
    PutU16(bytes, static_cast<uint16_t>(text.size()));
    bytes->append(text);
    return true;
}

}  // namespace auth
}  // namespace kvoapi
