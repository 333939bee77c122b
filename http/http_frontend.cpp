#include "http/http_frontend.h"

#include <algorithm>
#include <new>
#include <random>

#include "framework/tl_textutil.h"
#include "framework/tl_thread.h"

namespace {

// Hands out URLs to racing threads in turn, process-wide. Taken modulo the
// list's length, so an index left by a longer list never reaches past a
// shorter one, and atomic, so front ends racing at once may share it.
std::atomic<uint32_t> g_raceUrlIndex{0};

bool IsSuccess(int32_t result) { return result >= 200 && result <= 299; }

bool IsRace(uint32_t callFlags) { return (callFlags >> 28) == 1; }

// "scheme://host[:port]" of a URL: its text up to the first "/" after "://".
std::string SchemeAndHost(const std::string& url) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return url;
    const size_t slash = url.find('/', sep + 3);
    return slash == std::string::npos ? url : url.substr(0, slash);
}

}  // namespace

CAsyncRequest::CAsyncRequest(CTLHttpRequest* owner) : CTLThreadPool("CAsyncRequest"), m_pOwner(owner) {}

void CAsyncRequest::Run() { m_pOwner->RunOnce(); }

CTLHttpRequest::CTLHttpRequest() {
    m_pRequest = TL_CreateHttpRequest();
    if (m_pRequest != nullptr) {
        m_pRequest->SetContext(this);
        m_pRequest->SetRequestData(&m_response, &m_runHeaders, &m_runOptions);
    }
}

CTLHttpRequest::~CTLHttpRequest() {
    StopPool();
    delete m_pPool;
    delete m_pRequest;
    delete m_pEvent;
}

int CTLHttpRequest::SetOption(uint32_t id, uint32_t value) {
    if (id == 0 || id >= 203) return 0;
    TLHttpOption option;
    option.id = id;
    option.value = value;
    m_options.push_back(option);
    return 1;
}

int CTLHttpRequest::SetOptionText(uint32_t id, const char* text) {
    if (id == 0 || id >= 203) return 0;
    TLHttpOption option;
    option.id = id;
    option.value = 0xFFFFFFFFu;
    option.text = text;
    m_options.push_back(option);
    return 1;
}

void CTLHttpRequest::AddHeader(const char* name, const char* value) {
    if (name == nullptr || value == nullptr || *value == '\0') return;
    m_strHeaders.AppendFormat("%s: %s\r\n", name, value);
}

void CTLHttpRequest::SetObserver(IHttpRequestObserver* observer) {
    m_pObserver = observer;
    if (m_pRequest != nullptr) m_pRequest->SetSink(observer);
}

int32_t CTLHttpRequest::GetResult() {
    corvane::CTLSingleLock lock(&m_cs, 1);
    return m_nResult;
}

corvane::CTLString CTLHttpRequest::GetCurrentUrl() {
    corvane::CTLSingleLock lock(&m_cs, 1);
    return m_strCurrentUrl;
}

uint32_t CTLHttpRequest::GetDataBuffer(corvane::CTLSmartBuffer* out) {
    if (out == nullptr) return 0;
    out->SetLength(0);
    const uint32_t length = m_response.GetLength();
    if (length > 0 && out->Append(m_response.GetData(), length) == nullptr) return 0;
    return length;
}

void CTLHttpRequest::StopPool() {
    if (m_pPool == nullptr) return;
    // Every running exchange polls the flag and ends within about 100 ms;
    // the threads are then joined, never killed.
    m_bStopping.store(1, std::memory_order_release);
    m_pPool->Stop(TL_INFINITE);
    m_bStopping.store(0, std::memory_order_release);
}

int32_t CTLHttpRequest::Request(const char* urlText, const char* body, uint32_t length, uint32_t callFlags,
                                uint32_t userValue) {
    if (IsBusy() && (callFlags & TL_HTTP_CALL_KEEP) != 0) return TL_HTTP_BUSY;
    StopPool();
    {
        corvane::CTLSingleLock lock(&m_cs, 1);
        m_nResult = TL_HTTP_NO_STATUS;
        m_nFinished = 0;
        m_nStarted = 0;
        m_pWinner = nullptr;
        m_nUserValue = userValue;
    }
    if ((callFlags & TL_HTTP_CALL_KEEP) == 0) m_nLastSuccess.store(0, std::memory_order_release);

    m_urls.clear();
    TL_SplitString(urlText != nullptr ? urlText : "", " ", TLStringAdder{&m_urls, false});
    if ((callFlags & TL_HTTP_CALL_KEEP) != 0 && m_nLastSuccess.load(std::memory_order_acquire) != 0) {
        // After a success, stay with the server that answered.
        const std::string prefix = SchemeAndHost(GetCurrentUrl().str());
        m_urls.erase(std::remove_if(m_urls.begin(), m_urls.end(),
                                    [&](const std::string& u) { return u.compare(0, prefix.size(), prefix) != 0; }),
                     m_urls.end());
        m_nLastSuccess.store(0, std::memory_order_release);
    }
    if (m_urls.empty()) return TL_HTTP_NO_URL;
    if ((callFlags & TL_HTTP_CALL_DIALOGS) != 0 && (callFlags & TL_HTTP_CALL_RACE) != 0) {
        return TL_HTTP_RACE_WITH_DIALOGS;
    }
    if (m_pRequest == nullptr) return TL_HTTP_OPEN_FAILED;

    m_body.SetLength(0);
    if (body != nullptr && length != 0 && m_body.Append(body, length) == nullptr) return TL_HTTP_NO_BODY_DATA;
    m_nPostLength = length;
    m_nCallFlags = callFlags;
    m_response.SetLength(0);
    // The request takes over what was queued for it.
    m_runHeaders = m_strHeaders;
    m_strHeaders.Empty();
    m_runOptions.swap(m_options);
    m_options.clear();
    m_pRequest->SetRequestData(&m_response, &m_runHeaders, &m_runOptions);

    const bool race = IsRace(callFlags);
    if ((callFlags & TL_HTTP_CALL_ASYNC) == 0 && !race) {
        RunOnce();
        return GetResult();
    }

    if (m_pPool == nullptr) m_pPool = new (std::nothrow) CAsyncRequest(this);
    if (m_pPool == nullptr) return TL_HTTP_NO_STATUS;
    const bool wait = (callFlags & TL_HTTP_CALL_ASYNC) == 0;
    if (wait) m_pEvent = new (std::nothrow) corvane::CEvent(0, 1);
    if (wait && m_pEvent == nullptr) return TL_HTTP_NO_STATUS;
    uint32_t started = 0;
    {
        // Held while starting, so no thread finishes before the count of
        // started threads is known; only started threads are waited for.
        corvane::CTLSingleLock lock(&m_cs, 1);
        started = m_pPool->Start(race ? static_cast<uint32_t>(m_urls.size()) : 1);
        m_nStarted = started;
    }
    if (started == 0) {
        delete m_pEvent;
        m_pEvent = nullptr;
        return TL_HTTP_NO_STATUS;
    }
    if (!wait) return 0;
    m_pEvent->Lock(TL_INFINITE);
    // A winner is in (or every attempt ended): the others are stopped and
    // joined before the caller gets the result.
    StopPool();
    delete m_pEvent;
    m_pEvent = nullptr;
    return GetResult();
}

void CTLHttpRequest::RunOnce() {
    const uint32_t mode = m_nCallFlags >> 28;
    if (mode == 1) {
        RunRace();
        return;
    }
    const int32_t result = mode == 2 ? RunRandom() : RunInOrder(m_urls);
    {
        corvane::CTLSingleLock lock(&m_cs, 1);
        m_nResult = result;
        m_runHeaders.Empty();
        m_runOptions.clear();
        if (m_pEvent != nullptr) m_pEvent->SetEvent();
    }
    Notify(result);
}

int32_t CTLHttpRequest::RunInOrder(const std::vector<std::string>& urls) {
    int32_t result = TL_HTTP_NO_STATUS;
    const char* body = m_body.GetLength() > 0 ? m_body.GetData() : nullptr;
    for (const auto& url : urls) {
        if (IsStopping()) break;
        {
            corvane::CTLSingleLock lock(&m_cs, 1);
            m_strCurrentUrl = url.c_str();
        }
        result = m_pRequest->Request(url.c_str(), body, m_nPostLength, m_nCallFlags);
        if (IsSuccess(result)) {
            m_nLastSuccess.store(1, std::memory_order_release);
            break;
        }
        if (result == TL_HTTP_AUTH_FAILED) {
            m_nLastSuccess.store(0, std::memory_order_release);
            break;
        }
    }
    return result;
}

int32_t CTLHttpRequest::RunRandom() {
    // A private generator, seeded with the time: the host's C generator is
    // left alone.
    std::minstd_rand generator(static_cast<uint32_t>(TL_Time(nullptr)));
    std::vector<std::string> left = m_urls;
    std::vector<std::string> order;
    while (!left.empty()) {
        const size_t i = generator() % left.size();
        order.push_back(left[i]);
        left.erase(left.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return RunInOrder(order);
}

int32_t CTLHttpRequest::RunRace() {
    const std::string url = m_urls[g_raceUrlIndex.fetch_add(1, std::memory_order_relaxed) % m_urls.size()];
    // Each racer reads its own copy of the headers and options.
    corvane::CTLString headers = m_runHeaders;
    TLHttpOptionList options = m_runOptions;
    const char* body = m_body.GetLength() > 0 ? m_body.GetData() : nullptr;
    CHttpRequestImpl* request = TL_CreateHttpRequest();
    int32_t result = TL_HTTP_OPEN_FAILED;
    if (request != nullptr) {
        request->SetContext(this);
        request->SetRequestData(&m_response, &headers, &options);
        {
            corvane::CTLSingleLock lock(&m_cs, 1);
            m_racers.push_back(request);
        }
        result = request->Request(url.c_str(), body, m_nPostLength, m_nCallFlags);
    }
    {
        corvane::CTLSingleLock lock(&m_cs, 1);
        m_racers.erase(std::remove(m_racers.begin(), m_racers.end(), request), m_racers.end());
        const bool won = request != nullptr && request == m_pWinner;
        if (won) {
            // The winner stays as the current request, over the front end's
            // own data again.
            request->SetRequestData(&m_response, &m_runHeaders, &m_runOptions);
            m_nResult = result;
        }
        ++m_nFinished;
        const bool last = m_nFinished >= m_nStarted;
        if (last) {
            m_runHeaders.Empty();
            m_runOptions.clear();
            if (m_pWinner == nullptr) {
                m_strCurrentUrl = url.c_str();
                m_nResult = result;
            }
        }
        if (!won) delete request;
        if ((won || last) && m_pEvent != nullptr) m_pEvent->SetEvent();
    }
    Notify(result);
    return result;
}

bool CTLHttpRequest::ClaimFirstSuccess(CHttpRequestImpl* request, const char* url, int32_t status) {
    corvane::CTLSingleLock lock(&m_cs, 1);
    if (m_pWinner != nullptr || request == nullptr) return false;
    m_pWinner = request;
    if (request != m_pRequest) {
        delete m_pRequest;
        m_pRequest = request;
    }
    request->SetSink(m_pObserver);
    m_nLastSuccess.store(1, std::memory_order_release);
    m_strCurrentUrl = url;
    m_nResult = status;
    // The other attempts can no longer win: they end now.
    for (CHttpRequestImpl* other : m_racers) {
        if (other != request) other->Abort();
    }
    return true;
}

void CTLHttpRequest::Notify(int32_t result) {
    if (m_pObserver != nullptr) m_pObserver->OnHttpRequestDone(this, result);
}
