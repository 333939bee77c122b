#include "http/http_request.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <new>
#include <string>

#include "framework/tl_log.h"
#include "framework/tl_thread.h"
#include "http/http_frontend.h"

namespace {

bool IsSuccess(int32_t status) { return status >= 200 && status <= 299; }

}  // namespace

CHttpRequestImpl* TL_CreateHttpRequest() { return new (std::nothrow) CWHttpRequest; }

CWHttpRequest::~CWHttpRequest() { Close(); }

void CWHttpRequest::Close() {
    delete m_pExchange;
    m_pExchange = nullptr;
}

void CWHttpRequest::SetRequestData(corvane::CTLSmartBuffer* body, corvane::CTLString* headers,
                                   TLHttpOptionList* options) {
    m_pResponse = body;
    m_pHeaders = headers;
    m_pOptions = options;
}

bool CWHttpRequest::ParseUrl(const char* text, TLHttpUrl* out) {
    if (text == nullptr || out == nullptr) return false;
    corvane::CTLString url(text);
    url.Trim(" ");
    const int sep = url.FindString("://");
    if (sep < 0) return false;
    TLHttpUrl parts;
    parts.scheme = url.Left(sep);
    const corvane::CTLString rest = url.Mid(sep + 3);
    const int slash = rest.Find('/');
    const corvane::CTLString authority = slash < 0 ? rest : rest.Left(slash);
    parts.path = slash < 0 ? corvane::CTLString() : rest.Mid(slash);

    bool explicitPort = false;
    uint32_t port = 0;
    const int colon = authority.Find(':');
    if (colon >= 0) {
        parts.host = authority.Left(colon);
        const corvane::CTLString digits = authority.Mid(colon + 1);
        if (digits.IsEmpty()) return false;
        for (int i = 0; i < digits.GetLength(); ++i) {
            const char c = digits.GetAt(i);
            if (c < '0' || c > '9') return false;
            port = port * 10 + static_cast<uint32_t>(c - '0');
            if (port >= 65536) return false;
        }
        explicitPort = true;
    } else {
        parts.host = authority;
    }
    if (parts.scheme == "http") {
        parts.kind = TLHttpUrlKind::kHttp;
        parts.port = 80;
    } else if (parts.scheme == "https") {
        parts.kind = TLHttpUrlKind::kSecure;
        parts.port = 443;
    }
    if (explicitPort) parts.port = port;
    *out = parts;
    return true;
}

void CWHttpRequest::ApplyOptions(pl::HttpExchangeSettings& settings) {
    if (m_pOptions == nullptr) return;
    // Options that set (non-zero value) or clear one flag.
    static const struct {
        uint32_t id;
        uint32_t flag;
    } kFlagOptions[] = {
        {TL_HTTP_OPTION_KEEP_BODY, TL_HTTP_FLAG_KEEP_BODY}, {TL_HTTP_OPTION_NO_KEEPALIVE, TL_HTTP_FLAG_NO_KEEPALIVE},
        {TL_HTTP_OPTION_CACHING, TL_HTTP_FLAG_CACHING},     {TL_HTTP_OPTION_REDIRECTS, TL_HTTP_FLAG_REDIRECTS},
        {TL_HTTP_OPTION_COOKIES, TL_HTTP_FLAG_COOKIES},
    };
    for (auto& option : *m_pOptions) {
        option.applied = 1;
        const auto* flag = std::find_if(std::begin(kFlagOptions), std::end(kFlagOptions),
                                        [&](const auto& f) { return f.id == option.id; });
        if (flag != std::end(kFlagOptions)) {
            m_nFlags = option.value != 0 ? (m_nFlags | flag->flag) : (m_nFlags & ~flag->flag);
            continue;
        }
        if (option.id == TL_HTTP_OPTION_TIMEOUT) {
            m_nTimeout = option.value;
        } else if (option.id == TL_HTTP_OPTION_PROXY && !option.text.IsEmpty()) {
            settings.proxy = option.text.str();
        } else if (option.id == TL_HTTP_OPTION_PROXY_CREDENTIALS) {
            const std::string& text = option.text.str();
            const size_t colon = text.find(':');
            settings.proxyCredentials = true;
            settings.proxyUser = text.substr(0, colon);
            settings.proxyPassword = colon == std::string::npos ? std::string() : text.substr(colon + 1);
        } else {
            // An empty proxy, and connection options of the system's own
            // client that have no counterpart here: the record stays
            // unapplied.
            option.applied = 0;
            TL_WriteLog(4, "HTTP option %u not applied", option.id);
        }
    }
}

int32_t CWHttpRequest::Request(const char* url, const char* body, uint32_t length, uint32_t callFlags) {
    if (length > 0 && body == nullptr && m_pSink == nullptr) return TL_HTTP_NO_BODY_DATA;
    // The previous exchange's handle is always released first.
    Close();
    m_bAbort.store(0, std::memory_order_release);
    m_nFlags = TL_HTTP_DEFAULT_FLAGS;
    m_nTimeout = TL_HTTP_DEFAULT_TIMEOUT;
    m_nLastError = 0;
    m_nSendResult = 0;

    TLHttpUrl parts;
    if (!ParseUrl(url, &parts) || parts.kind == TLHttpUrlKind::kUnknown) return TL_HTTP_BAD_URL;
    if (parts.kind == TLHttpUrlKind::kSecure) m_nFlags |= TL_HTTP_FLAG_SECURE;

    pl::HttpExchangeSettings settings;
    char agent[32];
    std::snprintf(agent, sizeof agent, "Agent%X", static_cast<uint32_t>(TL_GetTickCount64()));
    settings.agent = agent;
    m_pExchange = new (std::nothrow) pl::HttpExchange;
    if (m_pExchange == nullptr) return TL_HTTP_OPEN_FAILED;
    if (parts.host.IsEmpty()) return TL_HTTP_CONNECT_FAILED;
    ApplyOptions(settings);

    settings.url = parts.scheme.str() + "://" + parts.host.str() + ":" + std::to_string(parts.port) +
                   (parts.path.IsEmpty() ? std::string("/") : parts.path.str());
    settings.secure = (m_nFlags & TL_HTTP_FLAG_SECURE) != 0;
    settings.cookies = (m_nFlags & TL_HTTP_FLAG_COOKIES) != 0;
    settings.followRedirects = (m_nFlags & TL_HTTP_FLAG_REDIRECTS) != 0;
    settings.forbidReuse = (m_nFlags & TL_HTTP_FLAG_NO_KEEPALIVE) != 0;
    settings.noCache = (m_nFlags & TL_HTTP_FLAG_CACHING) == 0;
    settings.idleTimeoutMs = m_nTimeout;
    settings.bodyLength = length;
    settings.body = body;
    if (m_pHeaders != nullptr) settings.headerText = m_pHeaders->str();

    switch (m_pExchange->Open(settings)) {
    case pl::HttpOpenResult::kOk:
        break;
    case pl::HttpOpenResult::kNoHandle:
        return TL_HTTP_OPEN_FAILED;
    case pl::HttpOpenResult::kCallbacks:
        return TL_HTTP_CALLBACK_FAILED;
    case pl::HttpOpenResult::kBadUrl:
        return TL_HTTP_CONNECT_FAILED;
    case pl::HttpOpenResult::kBadRequest:
        return TL_HTTP_OPEN_REQUEST_FAILED;
    }
    m_pBody = body;
    m_nBodyLength = length;
    m_nCallFlags = callFlags;
    m_strUrl = url;
    return ReadResponse();
}

int32_t CWHttpRequest::ReadResponse() {
    if (m_pExchange == nullptr || !m_pExchange->IsOpen()) return TL_HTTP_OPEN_FAILED;
    bool retried = false;
    for (;;) {
        m_nSendResult = 0;
        m_nDecided = 0;
        m_nAnnounced = 0;
        m_nRead = 0;
        m_bEndSent = false;
        m_nLastError = 0;
        const pl::HttpOutcome outcome = m_pExchange->Perform(this);
        m_nLastActivity = static_cast<uint32_t>(m_pExchange->LastActivity());
        // A refused body has set its own error.
        if (m_nLastError == 0) m_nLastError = m_pExchange->LastError();
        const int32_t status = static_cast<int32_t>(m_pExchange->StatusCode());

        if (status == 0) {
            // No answer head: the send failed, timed out or was aborted.
            if (outcome == pl::HttpOutcome::kTimedOut) {
                Close();
                m_nLastError = pl::kHttpErrorTimeout;
                return TL_HTTP_TIMEOUT;
            }
            if (m_nLastError == pl::kHttpErrorClientCertNeeded || m_nLastError == pl::kHttpErrorInvalidCa) {
                // With dialogs allowed an unknown authority is accepted once;
                // there is nothing to ask the user on this platform.
                if ((m_nCallFlags & TL_HTTP_CALL_DIALOGS) != 0 && m_nLastError == pl::kHttpErrorInvalidCa && !retried) {
                    retried = true;
                    m_pExchange->SetVerifyPeer(false);
                    continue;
                }
                return TL_HTTP_AUTH_FAILED;
            }
        }
        int32_t result = status == 0 ? TL_HTTP_NO_STATUS : status;
        if (m_nDecided != 0) {
            result = m_nDecided;
        } else if (status != 0 && outcome != pl::HttpOutcome::kCompleted) {
            // The body read ended early: the status stands, the body is short.
            if (m_nAnnounced > 0 && m_nRead < static_cast<uint64_t>(m_nAnnounced)) {
                TL_WriteLog(3, "HTTP body of %s ended after %llu of %lld bytes", m_strUrl.GetString(),
                            static_cast<unsigned long long>(m_nRead), static_cast<long long>(m_nAnnounced));
            }
        } else if (status != 0 && !m_bEndSent && m_pSink != nullptr) {
            m_bEndSent = true;
            m_pSink->OnHttpData(m_pContext, nullptr, 0);
        }
        if (m_pSink != nullptr) m_pSink->OnHttpStatus(m_pContext, pl::kHttpStatusRequestComplete, nullptr, 0);
        return result;
    }
}

int32_t CWHttpRequest::GetStatusCode() {
    return m_pExchange != nullptr ? static_cast<int32_t>(m_pExchange->StatusCode()) : 0;
}

int CWHttpRequest::QueryHeader(corvane::CTLString& out, const char* name) {
    if (name == nullptr || *name == '\0') return GetRawHeaders(out);
    out.Empty();
    std::string value;
    if (m_pExchange == nullptr || !m_pExchange->QueryHeader(name, &value)) return 0;
    out = corvane::CTLString(value.data(), static_cast<int>(value.size()));
    return 1;
}

int CWHttpRequest::GetRawHeaders(corvane::CTLString& out) {
    out.Empty();
    if (m_pExchange == nullptr || m_pExchange->RawHeaders().empty()) return 0;
    const std::string& raw = m_pExchange->RawHeaders();
    out = corvane::CTLString(raw.data(), static_cast<int>(raw.size()));
    return 1;
}

void CWHttpRequest::GetErrorText(corvane::CTLString& out) {
    const std::string text = pl::HttpErrorText(m_nLastError);
    out = corvane::CTLString(text.data(), static_cast<int>(text.size()));
}

void CWHttpRequest::OnHttpStatus(uint32_t status) {
    m_nLastActivity = static_cast<uint32_t>(TL_GetTickCount64());
    if (m_pSink != nullptr) m_pSink->OnHttpStatus(m_pContext, status, nullptr, 0);
}

uint32_t CWHttpRequest::OnHttpSupplyBody(char* out, uint64_t offset, uint32_t max) {
    if (m_pSink == nullptr) return 0;
    return m_pSink->OnHttpSupplyBody(m_pContext, out, static_cast<uint32_t>(offset), max);
}

bool CWHttpRequest::OnHttpHeaders(long code) {
    m_nSendResult = 1;
    const int32_t status = static_cast<int32_t>(code);
    // First-success rule: only the first 2xx answer of the front end's
    // request goes on to its body.
    if ((m_nCallFlags & TL_HTTP_CALL_RACE) != 0 && IsSuccess(status) && m_pContext != nullptr &&
        !m_pContext->ClaimFirstSuccess(this, m_strUrl.GetString(), status)) {
        m_nDecided = status;
        return false;
    }
    if (m_pSink != nullptr && m_pSink->OnHttpHeaders(m_pContext) == 0) {
        m_nDecided = status;
        return false;
    }
    if (status != 200 && status != 206) {
        m_nDecided = (status == 401 || status == 407) ? TL_HTTP_AUTH_FAILED : status;
        return false;
    }
    // Only now is the buffer touched: racing requests share it, and only
    // the winner gets this far.
    m_nBodyStart = m_pResponse != nullptr ? m_pResponse->GetLength() : 0;
    const int64_t announced = m_pExchange->ContentLength();
    m_nAnnounced = announced > 0 ? announced : 0;
    if ((m_nFlags & TL_HTTP_FLAG_KEEP_BODY) != 0 && m_nAnnounced > static_cast<int64_t>(TL_HTTP_MAX_BODY)) {
        return FailBody(TL_HTTP_BODY_TOO_LARGE, pl::kHttpErrorBodyTooLarge);
    }
    return true;
}

bool CWHttpRequest::FailBody(int32_t result, uint32_t error) {
    m_nDecided = result;
    m_nLastError = error;
    // No part of a refused body stays behind.
    if (m_pResponse != nullptr) m_pResponse->SetLength(static_cast<int>(m_nBodyStart));
    TL_WriteLog(3, "HTTP body of %s refused: %s", m_strUrl.GetString(), pl::HttpErrorText(error).c_str());
    return false;
}

bool CWHttpRequest::OnHttpData(const char* data, uint32_t length) {
    if ((m_nFlags & TL_HTTP_FLAG_KEEP_BODY) != 0 && m_pResponse != nullptr) {
        if (m_nRead + length > TL_HTTP_MAX_BODY) return FailBody(TL_HTTP_BODY_TOO_LARGE, pl::kHttpErrorBodyTooLarge);
        if (m_pResponse->Append(data, length) == nullptr) {
            return FailBody(TL_HTTP_BODY_TOO_LARGE, pl::kHttpErrorOutOfMemory);
        }
    }
    m_nRead += length;
    if (m_pSink != nullptr) {
        m_pSink->OnHttpData(m_pContext, data, length);
        if (m_nAnnounced > 0 && m_nRead >= static_cast<uint64_t>(m_nAnnounced) && !m_bEndSent) {
            m_bEndSent = true;
            m_pSink->OnHttpData(m_pContext, nullptr, 0);
        }
    }
    return true;
}

bool CWHttpRequest::IsHttpAborted() {
    return m_bAbort.load(std::memory_order_acquire) != 0 || (m_pContext != nullptr && m_pContext->IsStopping());
}
