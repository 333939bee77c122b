// CTLHttpRequest: the HTTP front end the rest of the system uses. It queues
// options and extra headers for the next request, takes a list of
// alternative URLs for one request (separated by single spaces), runs the
// exchange through a CWHttpRequest on the caller's thread or on its worker
// pool (CAsyncRequest), tries the URLs in order, in random order or races
// them, and keeps the response body for the caller.
//
// Options and headers are consumed by the request that follows them: each
// Request takes them over, and the next one starts with none.
//
// Asynchronous and racing requests run on pool threads that are never
// killed: stopping them sets a flag that every running exchange polls (it
// ends within about 100 ms) and then joins them. A new Request and the
// destructor stop whatever still runs first; a synchronous race stops the
// losing attempts before it returns.
//
// Results of an asynchronous request (GetResult, GetDataBuffer,
// GetCurrentUrl) are complete once the observer has been told; reading them
// earlier reads a request in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "framework/tl_buffer.h"
#include "framework/tl_object.h"
#include "framework/tl_string.h"
#include "framework/tl_sync.h"
#include "framework/tl_threadpool.h"
#include "http/http_request.h"

class CTLHttpRequest;

// Optional observer of a front end: the sink of its current request (and of
// a race's winner), and told when each attempt finishes.
class IHttpRequestObserver : public IHttpRequestSink {
public:
    // An attempt finished with result (on the thread that ran it: the
    // caller's for a synchronous in-order request, a pool thread otherwise;
    // once per racing thread in a race).
    virtual void OnHttpRequestDone(CTLHttpRequest* request, int32_t result) {}
};

// The front end's worker pool: each thread runs one attempt and ends.
class CAsyncRequest : public CTLThreadPool {
public:
    explicit CAsyncRequest(CTLHttpRequest* owner);

protected:
    void Run() override;

private:
    CTLHttpRequest* m_pOwner;
};

class CTLHttpRequest : public corvane::CTLObject {
public:
    CTLHttpRequest();
    // Stops and joins whatever still runs, then frees the request objects.
    ~CTLHttpRequest() override;
    CTLHttpRequest(const CTLHttpRequest&) = delete;
    CTLHttpRequest& operator=(const CTLHttpRequest&) = delete;

    // Queues an option (with an empty text) for the next request: 1 when
    // 0 < id < 203, else 0. Id 201 is the timeout in milliseconds.
    int SetOption(uint32_t id, uint32_t value);
    // Queues an option carrying a text (38 proxy, 45 "user:password"); the
    // value is 0xFFFFFFFF. 1 when 0 < id < 203, else 0.
    int SetOptionText(uint32_t id, const char* text);
    // Appends "name: value\r\n" to the extra headers when both are given
    // and the value is not empty.
    void AddHeader(const char* name, const char* value);

    // Runs a request over the URLs of urlText (separated by " "): the result
    // of the last attempt (an HTTP status or a negative TL_HTTP_* code), or
    // -3 busy, -9 no URL, -11 race with dialogs; 0 at once for an
    // asynchronous call. The body is copied when both body and length are
    // given; the length is kept in any case.
    int32_t Request(const char* urlText, const char* body, uint32_t length, uint32_t callFlags, uint32_t userValue);

    // Copies the response body into out (replacing its content) and returns
    // its length; 0 when out is null.
    uint32_t GetDataBuffer(corvane::CTLSmartBuffer* out);
    uint32_t GetPostLength() const { return m_nPostLength; }

    void SetObserver(IHttpRequestObserver* observer);
    // Result of the last request, -1 while none.
    int32_t GetResult();
    // URL of the last attempt, or of the one that succeeded.
    corvane::CTLString GetCurrentUrl();
    uint32_t GetUserValue() const { return m_nUserValue; }
    int GetLastSuccess() const { return m_nLastSuccess.load(std::memory_order_acquire); }
    // True while a pool thread still runs.
    bool IsBusy() const { return m_pPool != nullptr && m_pPool->IsRunning(); }
    // The request object of the last attempt (status, headers, error text).
    CHttpRequestImpl* GetCurrentRequest() { return m_pRequest; }
    // What is queued for the next request.
    const corvane::CTLString& GetHeaderText() const { return m_strHeaders; }
    const TLHttpOptionList& GetOptions() const { return m_options; }

    // The first-success rule, asked by a request whose answer has a 2xx
    // status while call flag 0x10000000 is set: true for the first such
    // request of this Request, which becomes the current request; false
    // for every later one (it returns its status without the body).
    bool ClaimFirstSuccess(CHttpRequestImpl* request, const char* url, int32_t status);
    // An outside stop condition, asked beside the front end's own stop
    // flag: while it answers true, a running exchange ends at its next step
    // (within about 100 ms) and no further attempt starts, so the request
    // returns at once. Set it before Request, on the thread that calls
    // Request; it is called on the threads that run the exchanges and must
    // be safe there. An empty function removes it.
    void SetCancelCheck(std::function<bool()> check) { m_cancelCheck = std::move(check); }
    // True while the front end stops its running requests, or while the
    // outside stop condition holds.
    bool IsStopping() const {
        return m_bStopping.load(std::memory_order_acquire) != 0 || (m_cancelCheck && m_cancelCheck());
    }

private:
    friend class CAsyncRequest;

    // One attempt: the race step, the random-order or the in-order loop by
    // the call flags' top four bits.
    void RunOnce();
    int32_t RunInOrder(const std::vector<std::string>& urls);
    int32_t RunRandom();
    int32_t RunRace();
    // Stops the running pool threads (cooperatively) and joins them.
    void StopPool();
    void Notify(int32_t result);

    // Queued for the next request.
    TLHttpOptionList m_options;
    corvane::CTLString m_strHeaders;
    // Taken over by the running request.
    TLHttpOptionList m_runOptions;
    corvane::CTLString m_runHeaders;

    CHttpRequestImpl* m_pRequest = nullptr;
    corvane::CTLSmartBuffer m_response;
    std::atomic<int32_t> m_nLastSuccess{0};
    corvane::CTLString m_strCurrentUrl;

    // Request parameters.
    std::vector<std::string> m_urls;
    corvane::CTLSmartBuffer m_body;
    uint32_t m_nPostLength = 0;
    uint32_t m_nCallFlags = 0;

    CAsyncRequest* m_pPool = nullptr;
    int32_t m_nResult = -1;
    uint32_t m_nUserValue = 0;
    uint32_t m_nFinished = 0;
    uint32_t m_nStarted = 0;
    corvane::CEvent* m_pEvent = nullptr;
    // Guards the race state: winner, racers, counts, result, current URL.
    corvane::CCriticalSection m_cs;
    CHttpRequestImpl* m_pWinner = nullptr;
    std::vector<CHttpRequestImpl*> m_racers;
    IHttpRequestObserver* m_pObserver = nullptr;
    std::atomic<int32_t> m_bStopping{0};
    std::function<bool()> m_cancelCheck;
};
