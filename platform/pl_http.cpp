#include "platform/pl_http.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/pl_time.h"

namespace pl {
namespace {

// Longest wait of the transfer loop between checks.
constexpr long kPollMs = 100;

// Milestones reported once per exchange.
constexpr uint32_t kResolvedBit = 1;
constexpr uint32_t kConnectedBit = 2;
constexpr uint32_t kSentBit = 4;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* Handle(void* p) { return static_cast<CURL*>(p); }

// The name part of a "Name: value" line (up to the colon, blanks trimmed).
std::string HeaderName(const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return std::string();
    size_t end = colon;
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
    size_t begin = 0;
    while (begin < end && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
    return line.substr(begin, end - begin);
}

bool HasHeader(const std::vector<std::string>& lines, const std::string& name) {
    for (const auto& l : lines) {
        if (strcasecmp(HeaderName(l).c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

// Appends a line unless a header of that name is there already.
void AddIfNew(std::vector<std::string>& lines, const std::string& line) {
    const std::string name = HeaderName(line);
    if (name.empty() || HasHeader(lines, name)) return;
    lines.push_back(line);
}

uint32_t MapCurlError(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kHttpErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kHttpErrorCannotConnect;
    case CURLE_SSL_CERTPROBLEM:
        return kHttpErrorClientCertNeeded;
    case CURLE_PEER_FAILED_VERIFICATION:
        return kHttpErrorInvalidCa;
    case CURLE_OPERATION_TIMEDOUT:
        return kHttpErrorTimeout;
    case CURLE_OUT_OF_MEMORY:
        return kHttpErrorOutOfMemory;
    default:
        return static_cast<uint32_t>(code);
    }
}

bool IsFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Content-Length of a head: the last such header, all digits, else -1. A
// chunked transfer announces nothing.
int64_t ParseContentLength(const std::vector<std::string>& head) {
    int64_t length = -1;
    for (const auto& line : head) {
        const std::string name = HeaderName(line);
        if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) return -1;
        if (strcasecmp(name.c_str(), "Content-Length") != 0) continue;
        size_t i = line.find(':') + 1;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        uint64_t v = 0;
        size_t digits = 0;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
            if (v > (UINT64_C(0x7FFFFFFFFFFFFFFF) - 9) / 10) return -1;
            v = v * 10 + static_cast<uint64_t>(line[i] - '0');
        }
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
        if (digits == 0 || i != line.size()) return -1;
        length = static_cast<int64_t>(v);
    }
    return length;
}

// The number of a status line "HTTP/x.y NNN reason"; 0 when there is none.
long ParseStatusLine(const std::string& line) {
    const size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 4 > line.size()) return 0;
    long v = 0;
    for (size_t i = sp + 1; i < sp + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        v = v * 10 + (line[i] - '0');
    }
    return v;
}

}  // namespace

HttpExchange::HttpExchange() { GlobalInit(); }

HttpExchange::~HttpExchange() { Close(); }

void HttpExchange::Close() {
    if (m_curl != nullptr) curl_easy_cleanup(Handle(m_curl));
    m_curl = nullptr;
    if (m_headers != nullptr) curl_slist_free_all(static_cast<curl_slist*>(m_headers));
    m_headers = nullptr;
}

HttpOpenResult HttpExchange::Open(const HttpExchangeSettings& settings) {
    Close();
    m_settings = settings;
    m_status = 0;
    m_contentLength = -1;
    m_rawHead.clear();
    m_head.clear();
    m_lastError = 0;

    CURL* curl = curl_easy_init();
    if (curl == nullptr) return HttpOpenResult::kNoHandle;
    m_curl = curl;

    // The library runs inside a multi-threaded host: no signals.
    bool ok = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &HttpExchange::HeaderThunk) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_HEADERDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpExchange::WriteThunk) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &HttpExchange::ProgressThunk) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    if (!ok) return HttpOpenResult::kCallbacks;

    if (curl_easy_setopt(curl, CURLOPT_URL, settings.url.c_str()) != CURLE_OK) return HttpOpenResult::kBadUrl;
    {
        CURLU* u = curl_url();
        const bool parsed = u != nullptr && curl_url_set(u, CURLUPART_URL, settings.url.c_str(), 0) == CURLUE_OK;
        curl_url_cleanup(u);
        if (!parsed) return HttpOpenResult::kBadUrl;
    }

    ok = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
    // HTTP/1.1 also over TLS, as the system's own client speaks it.
    ok = ok && curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_USERAGENT, settings.agent.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, settings.followRedirects ? 1L : 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, settings.forbidReuse ? 1L : 0L) == CURLE_OK;
    if (settings.cookies) ok = ok && curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "") == CURLE_OK;
    // A silent connect is bounded by the same time as an idle transfer.
    const long connectMs =
        settings.idleTimeoutMs == 0 ? 1L : static_cast<long>(std::min<uint32_t>(settings.idleTimeoutMs, 0x7FFFFFFF));
    ok = ok && curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK;
    if (settings.secure) {
        // The certificate's name is not checked; its authority is.
        ok = ok && curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verifyPeer ? 1L : 0L) == CURLE_OK;
    }
    if (!settings.proxy.empty()) ok = ok && curl_easy_setopt(curl, CURLOPT_PROXY, settings.proxy.c_str()) == CURLE_OK;
    if (settings.proxyCredentials) {
        ok = ok && curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, settings.proxyUser.c_str()) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, settings.proxyPassword.c_str()) == CURLE_OK;
    }
    if (settings.bodyLength > 0) {
        ok = ok && curl_easy_setopt(curl, CURLOPT_POST, 1L) == CURLE_OK;
        const auto length = static_cast<curl_off_t>(settings.bodyLength);
        ok = ok && curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, length) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_READFUNCTION, &HttpExchange::ReadThunk) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_READDATA, this) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &HttpExchange::SeekThunk) == CURLE_OK;
        ok = ok && curl_easy_setopt(curl, CURLOPT_SEEKDATA, this) == CURLE_OK;
    } else {
        ok = ok && curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    }
    if (!ok) return HttpOpenResult::kBadRequest;

    // The caller's header lines first (each name once), then what keeps the
    // request as the system's client sends it: no "Expect: 100-continue",
    // no default Accept, no form Content-Type, no cached answers.
    std::vector<std::string> lines;
    size_t pos = 0;
    const std::string& text = settings.headerText;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) AddIfNew(lines, text.substr(pos, end - pos));
        pos = end + 1;
    }
    AddIfNew(lines, "Expect:");
    AddIfNew(lines, "Accept:");
    if (settings.bodyLength > 0) AddIfNew(lines, "Content-Type:");
    if (settings.noCache) {
        AddIfNew(lines, "Pragma: no-cache");
        AddIfNew(lines, "Cache-Control: no-cache");
    }
    curl_slist* list = nullptr;
    for (const auto& l : lines) {
        curl_slist* next = curl_slist_append(list, l.c_str());
        if (next == nullptr) {
            curl_slist_free_all(list);
            return HttpOpenResult::kBadRequest;
        }
        list = next;
    }
    m_headers = list;
    if (curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list) != CURLE_OK) return HttpOpenResult::kBadRequest;
    return HttpOpenResult::kOk;
}

void HttpExchange::SetVerifyPeer(bool verify) {
    m_settings.verifyPeer = verify;
    if (m_curl != nullptr) curl_easy_setopt(Handle(m_curl), CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
}

HttpOutcome HttpExchange::Perform(HttpExchangeHandler* handler) {
    if (m_curl == nullptr || handler == nullptr) {
        m_lastError = static_cast<uint32_t>(CURLE_FAILED_INIT);
        return HttpOutcome::kFailed;
    }
    m_handler = handler;
    m_block.clear();
    m_head.clear();
    m_rawHead.clear();
    m_headDone = false;
    m_status = 0;
    m_contentLength = -1;
    m_stageLength = m_stagePos = 0;
    m_bodyOffset = 0;
    m_lastDown = m_lastUp = -1;
    m_milestones = 0;
    m_stop = Stop::kNone;
    m_lastError = 0;
    Touch();

    const CURLcode rc = static_cast<CURLcode>(RunTransfer());
    m_handler = nullptr;
    if (rc == CURLE_OK) return HttpOutcome::kCompleted;
    switch (m_stop) {
    case Stop::kHandler:
        return HttpOutcome::kStopped;
    case Stop::kAborted:
        m_lastError = static_cast<uint32_t>(CURLE_ABORTED_BY_CALLBACK);
        return HttpOutcome::kAborted;
    case Stop::kIdle:
        m_lastError = kHttpErrorTimeout;
        return HttpOutcome::kTimedOut;
    case Stop::kSupply:
        m_lastError = static_cast<uint32_t>(CURLE_READ_ERROR);
        return HttpOutcome::kFailed;
    case Stop::kNone:
        break;
    }
    m_lastError = MapCurlError(rc);
    return rc == CURLE_OPERATION_TIMEDOUT ? HttpOutcome::kTimedOut : HttpOutcome::kFailed;
}

// Drives the transfer through a multi handle, waking at least every
// kPollMs: the progress callback then runs often enough for an abort or an
// idle timeout to end the transfer within that time. The same checks run
// between polls for the phases without progress calls.
int HttpExchange::RunTransfer() {
    CURL* easy = Handle(m_curl);
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_OUT_OF_MEMORY;
    }
    CURLcode rc = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        int left = 0;
        bool done = false;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                rc = msg->data.result;
                done = true;
            }
        }
        if (done || running == 0) break;
        if (OnProgress(m_lastDown, m_lastUp) != 0) {
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    return rc;
}

bool HttpExchange::QueryHeader(const char* name, std::string* value) const {
    if (name == nullptr) return false;
    for (const auto& line : m_head) {
        if (strcasecmp(HeaderName(line).c_str(), name) != 0) continue;
        size_t b = line.find(':') + 1;
        size_t e = line.size();
        while (b < e && (line[b] == ' ' || line[b] == '\t')) ++b;
        while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r' || line[e - 1] == '\n')) --e;
        if (value != nullptr) value->assign(line, b, e - b);
        return true;
    }
    return false;
}

void HttpExchange::Touch() { m_lastActivity = TickMs(); }

bool HttpExchange::Aborted() {
    if (m_stop == Stop::kAborted) return true;
    if (m_handler != nullptr && m_handler->IsHttpAborted()) {
        m_stop = Stop::kAborted;
        return true;
    }
    return false;
}

void HttpExchange::NoteMilestones() {
    struct Milestone {
        CURLINFO info;
        uint32_t bit;
        uint32_t status;
    };
    static const Milestone kMilestones[] = {
        {CURLINFO_NAMELOOKUP_TIME_T, kResolvedBit, kHttpStatusNameResolved},
        {CURLINFO_CONNECT_TIME_T, kConnectedBit, kHttpStatusConnected},
        {CURLINFO_PRETRANSFER_TIME_T, kSentBit, kHttpStatusRequestSent},
    };
    for (const auto& m : kMilestones) {
        if ((m_milestones & m.bit) != 0) continue;
        curl_off_t t = 0;
        if (curl_easy_getinfo(Handle(m_curl), m.info, &t) != CURLE_OK || t <= 0) continue;
        m_milestones |= m.bit;
        Touch();
        m_handler->OnHttpStatus(m.status);
    }
}

size_t HttpExchange::HeaderThunk(char* data, size_t size, size_t count, void* self) {
    return static_cast<HttpExchange*>(self)->OnHeaderLine(data, size * count);
}

size_t HttpExchange::WriteThunk(char* data, size_t size, size_t count, void* self) {
    return static_cast<HttpExchange*>(self)->OnBody(data, size * count);
}

size_t HttpExchange::ReadThunk(char* data, size_t size, size_t count, void* self) {
    return static_cast<HttpExchange*>(self)->OnRead(data, size * count);
}

int HttpExchange::SeekThunk(void* self, int64_t offset, int origin) {
    // Only a rewind to the start is served (a redirect or an authentication
    // round sends the body again).
    auto* x = static_cast<HttpExchange*>(self);
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    x->m_bodyOffset = 0;
    x->m_stageLength = x->m_stagePos = 0;
    return CURL_SEEKFUNC_OK;
}

int HttpExchange::ProgressThunk(void* self, int64_t, int64_t dlnow, int64_t, int64_t ulnow) {
    return static_cast<HttpExchange*>(self)->OnProgress(dlnow, ulnow);
}

size_t HttpExchange::OnHeaderLine(const char* data, size_t length) {
    Touch();
    if (Aborted()) return 0;
    std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new response block: a 100-continue or a followed redirect came
        // before it.
        m_block.clear();
        m_headDone = false;
    }
    if (line == "\r\n" || line == "\n") return EndOfHead() ? length : 0;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    m_block.push_back(line + "\r\n");
    return length;
}

// The empty line after a block. False ends the exchange.
bool HttpExchange::EndOfHead() {
    long status = 0;
    curl_easy_getinfo(Handle(m_curl), CURLINFO_RESPONSE_CODE, &status);
    if (status == 0 && !m_block.empty()) status = ParseStatusLine(m_block.front());
    if (status >= 100 && status < 200) return true;
    if (m_settings.followRedirects && IsFollowedRedirect(status) && HasHeader(m_block, "Location")) return true;
    m_headDone = true;
    m_status = status;
    m_head = m_block;
    m_rawHead.clear();
    for (const auto& l : m_block) m_rawHead += l;
    m_rawHead += "\r\n";
    m_contentLength = ParseContentLength(m_head);
    m_handler->OnHttpStatus(kHttpStatusResponseReceived);
    if (!m_handler->OnHttpHeaders(status)) {
        m_stop = Stop::kHandler;
        return false;
    }
    return true;
}

size_t HttpExchange::OnBody(const char* data, size_t length) {
    Touch();
    if (Aborted()) return 0;
    // The body of a block that is not the final answer is dropped.
    if (!m_headDone) return length;
    size_t done = 0;
    while (done < length) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kHttpBlockSize, length - done));
        if (!m_handler->OnHttpData(data + done, n)) {
            m_stop = Stop::kHandler;
            return 0;
        }
        done += n;
        if (done < length && Aborted()) return 0;
    }
    return length;
}

size_t HttpExchange::OnRead(char* out, size_t room) {
    Touch();
    if (Aborted()) return CURL_READFUNC_ABORT;
    if (m_stagePos == m_stageLength) {
        const uint64_t left = m_settings.bodyLength - m_bodyOffset;
        if (left == 0) return 0;
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kHttpBlockSize, left));
        uint32_t got = want;
        if (m_settings.body != nullptr) {
            std::memcpy(m_stage, m_settings.body + m_bodyOffset, want);
        } else {
            got = m_handler->OnHttpSupplyBody(m_stage, m_bodyOffset, want);
            if (got == 0 || got > want) {
                m_stop = Stop::kSupply;
                return CURL_READFUNC_ABORT;
            }
        }
        m_stageLength = got;
        m_stagePos = 0;
        m_bodyOffset += got;
    }
    const size_t n = std::min<size_t>(room, m_stageLength - m_stagePos);
    std::memcpy(out, m_stage + m_stagePos, n);
    m_stagePos += static_cast<uint32_t>(n);
    return n;
}

int HttpExchange::OnProgress(int64_t dlnow, int64_t ulnow) {
    if (dlnow != m_lastDown || ulnow != m_lastUp) {
        m_lastDown = dlnow;
        m_lastUp = ulnow;
        Touch();
    }
    NoteMilestones();
    if (Aborted()) return 1;
    if (TickMs() - m_lastActivity > m_settings.idleTimeoutMs) {
        m_stop = Stop::kIdle;
        return 1;
    }
    return 0;
}

std::string HttpErrorText(uint32_t error) {
    switch (error) {
    case 0:
        return std::string();
    case kHttpErrorOutOfMemory:
        return "Not enough memory resources are available to complete this operation.";
    case kHttpErrorBodyTooLarge:
        return "The response body is larger than the client accepts.";
    case kHttpErrorTimeout:
        return "This operation returned because the timeout period expired.";
    case kHttpErrorNameNotResolved:
        return "The server name or address could not be resolved";
    case kHttpErrorCannotConnect:
        return "A connection with the server could not be established";
    case kHttpErrorClientCertNeeded:
        return "The server is requesting client authentication.";
    case kHttpErrorInvalidCa:
        return "The certificate authority is invalid or incorrect";
    default:
        break;
    }
    if (error < static_cast<uint32_t>(CURL_LAST)) return curl_easy_strerror(static_cast<CURLcode>(error));
    char buf[256];
    const char* text = strerror_r(static_cast<int>(error), buf, sizeof buf);
    return text != nullptr ? text : "";
}

}  // namespace pl
