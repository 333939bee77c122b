// One HTTP exchange: CHttpRequestImpl is the request interface and
// CWHttpRequest its implementation over the platform's HTTP exchange (open,
// send the body, wait with an idle timeout, read the status, headers and
// body), with its own URL parser and fixed numeric results.
//
// The request is used through the front end CTLHttpRequest, which owns the
// response body buffer, the extra header text and the option list that the
// request reads (SetRequestData). Flags and timeout go back to their
// defaults at every Request, so options must be queued before each one.
//
// Results: the HTTP status of the answer (404 is a result like any other),
// -1 when no status could be read (a refused connection, a dropped one, an
// abort before the answer), or one of the negative codes below.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "framework/tl_buffer.h"
#include "framework/tl_object.h"
#include "framework/tl_string.h"
#include "platform/pl_http.h"

class CTLHttpRequest;

// Results of a request besides the HTTP status.
constexpr int32_t TL_HTTP_NO_STATUS = -1;            // no status could be read
constexpr int32_t TL_HTTP_BUSY = -3;                 // a previous asynchronous request still runs
constexpr int32_t TL_HTTP_BAD_URL = -4;              // URL not parsed, or scheme not http / https
constexpr int32_t TL_HTTP_OPEN_FAILED = -5;          // no session could be opened
constexpr int32_t TL_HTTP_CALLBACK_FAILED = -6;      // the status callback could not be installed
constexpr int32_t TL_HTTP_CONNECT_FAILED = -7;       // the server address was refused
constexpr int32_t TL_HTTP_OPEN_REQUEST_FAILED = -8;  // the request could not be opened
constexpr int32_t TL_HTTP_NO_URL = -9;               // the URL text holds no URL
constexpr int32_t TL_HTTP_TIMEOUT = -10;             // no progress within the timeout (last error 1460)
constexpr int32_t TL_HTTP_RACE_WITH_DIALOGS = -11;   // racing and dialogs asked together
constexpr int32_t TL_HTTP_AUTH_FAILED = -12;         // certificate problem, or 401 / 407
constexpr int32_t TL_HTTP_NO_BODY_DATA = -13;        // a body length without data and without a sink
constexpr int32_t TL_HTTP_BODY_TOO_LARGE = -14;      // the answer's body passes TL_HTTP_MAX_BODY

// Largest response body kept in memory (64 MiB); a larger one is an error.
constexpr uint32_t TL_HTTP_MAX_BODY = 64u << 20;

// Request flags (reset to TL_HTTP_DEFAULT_FLAGS at every request).
constexpr uint32_t TL_HTTP_FLAG_SECURE = 0x01;        // set by the scheme "https"
constexpr uint32_t TL_HTTP_FLAG_KEEP_BODY = 0x02;     // append the body to the body buffer
constexpr uint32_t TL_HTTP_FLAG_COOKIES = 0x04;       // cookies allowed
constexpr uint32_t TL_HTTP_FLAG_REDIRECTS = 0x08;     // redirects followed
constexpr uint32_t TL_HTTP_FLAG_NO_KEEPALIVE = 0x10;  // no kept connection
constexpr uint32_t TL_HTTP_FLAG_CACHING = 0x20;       // cached answers allowed
constexpr uint32_t TL_HTTP_DEFAULT_FLAGS = 14;
constexpr uint32_t TL_HTTP_DEFAULT_TIMEOUT = 15000;

// Call flags of Request (the front end passes its own through).
constexpr uint32_t TL_HTTP_CALL_ASYNC = 0x1;
constexpr uint32_t TL_HTTP_CALL_DIALOGS = 0x2;
constexpr uint32_t TL_HTTP_CALL_KEEP = 0x4;
constexpr uint32_t TL_HTTP_CALL_RACE = 0x10000000;
constexpr uint32_t TL_HTTP_CALL_RANDOM = 0x20000000;

// Option ids applied when a request is opened.
constexpr uint32_t TL_HTTP_OPTION_KEEP_BODY = 2;
constexpr uint32_t TL_HTTP_OPTION_NO_KEEPALIVE = 3;
constexpr uint32_t TL_HTTP_OPTION_CACHING = 4;
constexpr uint32_t TL_HTTP_OPTION_PROXY = 38;
constexpr uint32_t TL_HTTP_OPTION_PROXY_CREDENTIALS = 45;
constexpr uint32_t TL_HTTP_OPTION_REDIRECTS = 199;
constexpr uint32_t TL_HTTP_OPTION_COOKIES = 200;
constexpr uint32_t TL_HTTP_OPTION_TIMEOUT = 201;

// One queued option.
struct TLHttpOption {
    uint32_t id = 0;
    uint32_t value = 0;
    corvane::CTLString text;
    uint32_t applied = 0;
};
using TLHttpOptionList = std::vector<TLHttpOption>;

// Optional observer of a request; every call carries the request's context
// (its front end, or null) and runs on the thread running the exchange.
class IHttpRequestSink {
public:
    virtual ~IHttpRequestSink() = default;
    // A progress notification (pl::kHttpStatus*), and 100 when the exchange ends.
    virtual void OnHttpStatus(CTLHttpRequest* context, uint32_t status, const void* info, uint32_t length) {}
    // Request body bytes when the request has a length but no data: fills at
    // most max bytes for the offset and returns how many; 0 fails the send.
    virtual uint32_t OnHttpSupplyBody(CTLHttpRequest* context, char* out, uint32_t offset, uint32_t max) { return 0; }
    // The head of the answer arrived; 0 stops the exchange before its body.
    virtual int OnHttpHeaders(CTLHttpRequest* context) { return 1; }
    // Every body block read, then (null, 0) once the body is complete.
    virtual void OnHttpData(CTLHttpRequest* context, const char* data, uint32_t length) {}
};

// The parts of a URL as the request understands it.
enum class TLHttpUrlKind { kUnknown, kHttp, kSecure };
struct TLHttpUrl {
    TLHttpUrlKind kind = TLHttpUrlKind::kUnknown;
    corvane::CTLString scheme;
    corvane::CTLString host;
    uint32_t port = 0;
    corvane::CTLString path;  // keeps its "/", may be empty
};

class CHttpRequestImpl : public corvane::CTLObject {
public:
    // Runs one exchange; see the results above.
    virtual int32_t Request(const char* url, const char* body, uint32_t length, uint32_t callFlags) = 0;
    // Releases the exchange's handle.
    virtual void Close() = 0;
    virtual void SetSink(IHttpRequestSink* sink) = 0;
    // The answer's status, 0 when none could be read.
    virtual int32_t GetStatusCode() = 0;
    // The value of a header of the answer (empty when absent); without a
    // name, the raw headers. 1 when found.
    virtual int QueryHeader(corvane::CTLString& out, const char* name) = 0;
    // The answer's status line and headers, each ended by CR LF.
    virtual int GetRawHeaders(corvane::CTLString& out) = 0;
    // Text of the last error; empty when there is none.
    virtual void GetErrorText(corvane::CTLString& out) = 0;
    // Ends the running exchange at its next step (safe from any thread).
    virtual void Abort() = 0;
    virtual int IsAborted() = 0;
    virtual void SetContext(CTLHttpRequest* context) = 0;
    // The front end's response buffer, extra header text and option list.
    virtual void SetRequestData(corvane::CTLSmartBuffer* body, corvane::CTLString* headers,
                                TLHttpOptionList* options) = 0;
    // Runs the opened exchange and reads its answer.
    virtual int32_t ReadResponse() = 0;
};

class CWHttpRequest : public CHttpRequestImpl, private pl::HttpExchangeHandler {
public:
    CWHttpRequest() = default;
    ~CWHttpRequest() override;

    int32_t Request(const char* url, const char* body, uint32_t length, uint32_t callFlags) override;
    void Close() override;
    void SetSink(IHttpRequestSink* sink) override { m_pSink = sink; }
    int32_t GetStatusCode() override;
    int QueryHeader(corvane::CTLString& out, const char* name) override;
    int GetRawHeaders(corvane::CTLString& out) override;
    void GetErrorText(corvane::CTLString& out) override;
    void Abort() override { m_bAbort.store(1, std::memory_order_release); }
    int IsAborted() override { return m_bAbort.load(std::memory_order_acquire); }
    void SetContext(CTLHttpRequest* context) override { m_pContext = context; }
    void SetRequestData(corvane::CTLSmartBuffer* body, corvane::CTLString* headers, TLHttpOptionList* options) override;
    int32_t ReadResponse() override;

    // Parses a URL: spaces trimmed, "scheme://authority/path", an optional
    // all-digit port below 65536; "http" defaults to port 80, "https" to 443.
    // False when the text cannot be parsed (an unknown scheme parses, with
    // kind kUnknown).
    static bool ParseUrl(const char* text, TLHttpUrl* out);

    uint32_t GetFlags() const { return m_nFlags; }
    uint32_t GetTimeout() const { return m_nTimeout; }
    uint32_t GetLastError() const { return m_nLastError; }
    int32_t GetSendResult() const { return m_nSendResult; }
    const corvane::CTLString& GetUrl() const { return m_strUrl; }

private:
    // pl::HttpExchangeHandler
    void OnHttpStatus(uint32_t status) override;
    uint32_t OnHttpSupplyBody(char* out, uint64_t offset, uint32_t max) override;
    bool OnHttpHeaders(long status) override;
    bool OnHttpData(const char* data, uint32_t length) override;
    bool IsHttpAborted() override;

    void ApplyOptions(pl::HttpExchangeSettings& settings);
    // Stops the body read with an error result.
    bool FailBody(int32_t result, uint32_t error);

    IHttpRequestSink* m_pSink = nullptr;
    // The exchange's handle record; null when closed.
    pl::HttpExchange* m_pExchange = nullptr;
    uint32_t m_nFlags = TL_HTTP_DEFAULT_FLAGS;
    uint32_t m_nCallFlags = 0;
    int32_t m_nSendResult = 0;
    std::atomic<int32_t> m_bAbort{0};
    uint32_t m_nTimeout = TL_HTTP_DEFAULT_TIMEOUT;
    uint32_t m_nLastError = 0;
    const char* m_pBody = nullptr;
    uint32_t m_nBodyLength = 0;
    corvane::CTLString m_strUrl;
    uint32_t m_nLastActivity = 0;
    corvane::CTLSmartBuffer* m_pResponse = nullptr;
    corvane::CTLString* m_pHeaders = nullptr;
    TLHttpOptionList* m_pOptions = nullptr;
    CTLHttpRequest* m_pContext = nullptr;

    // State of the exchange in progress.
    int32_t m_nDecided = 0;  // result fixed at the head (0: none)
    int64_t m_nAnnounced = 0;
    uint64_t m_nRead = 0;
    uint32_t m_nBodyStart = 0;  // response buffer length when the body began
    bool m_bEndSent = false;
};

// A new request object (on the framework heap), null when out of memory.
CHttpRequestImpl* TL_CreateHttpRequest();
