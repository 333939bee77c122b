// One HTTP exchange over libcurl, in the shape the request classes expect of
// an internet-client interface: one record per request (a curl easy handle,
// its header list and the captured response head), an idle timeout that any
// sign of progress restarts, a cooperative abort, body blocks of at most
// 4096 bytes in both directions, and error numbers of the Windows internet
// family for the failures callers branch on.
//
// An exchange runs on the thread that calls Perform; the handler's calls all
// come from that thread. Nothing else may touch the exchange meanwhile; an
// abort from another thread goes through the handler's IsHttpAborted (an
// atomic flag of the caller's), which is polled at every callback and at
// least every 100 ms while the transfer waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pl {

// Error numbers kept as the exchange's last error. Other transport failures
// keep libcurl's own code (below 100).
enum : uint32_t {
    kHttpErrorOutOfMemory = 14,
    kHttpErrorBodyTooLarge = 223,
    kHttpErrorTimeout = 1460,
    kHttpErrorNameNotResolved = 12007,
    kHttpErrorCannotConnect = 12029,
    kHttpErrorClientCertNeeded = 12044,
    kHttpErrorInvalidCa = 12045,
};

// Progress notifications handed to the handler.
enum : uint32_t {
    kHttpStatusNameResolved = 11,
    kHttpStatusConnected = 21,
    kHttpStatusRequestSent = 31,
    kHttpStatusResponseReceived = 41,
    kHttpStatusRequestComplete = 100,
};

// Largest block of body bytes handed over in one call, either way.
constexpr uint32_t kHttpBlockSize = 4096;

// What an exchange asks of its owner while it runs.
class HttpExchangeHandler {
public:
    virtual ~HttpExchangeHandler() = default;
    // A sign of progress (one of the notifications above).
    virtual void OnHttpStatus(uint32_t status) = 0;
    // Request body bytes when the settings carry a length but no data:
    // fills at most max bytes for the body offset; returns the bytes filled,
    // 0 to fail the exchange.
    virtual uint32_t OnHttpSupplyBody(char* out, uint64_t offset, uint32_t max) = 0;
    // The head of the final response is complete. True reads the body;
    // false ends the exchange here (Perform then reports kStopped).
    virtual bool OnHttpHeaders(long status) = 0;
    // A block of at most kHttpBlockSize body bytes; false ends the exchange.
    virtual bool OnHttpData(const char* data, uint32_t length) = 0;
    // Polled often; true ends the exchange (kAborted).
    virtual bool IsHttpAborted() = 0;
};

struct HttpExchangeSettings {
    // "scheme://host:port" + path, passed to libcurl verbatim.
    std::string url;
    std::string agent;
    bool secure = false;           // https: the certificate's name is not checked
    bool verifyPeer = true;        // the certificate's authority is checked
    bool cookies = false;          // in-memory cookie engine
    bool followRedirects = false;  // follow 301/302/303/307/308
    bool forbidReuse = false;      // no kept connection
    bool noCache = true;           // "Pragma: no-cache" and "Cache-Control: no-cache"
    // A named proxy (empty: the environment's http_proxy / no_proxy apply).
    std::string proxy;
    bool proxyCredentials = false;
    std::string proxyUser;
    std::string proxyPassword;
    // Idle timeout: the exchange ends when nothing happened for this long.
    uint32_t idleTimeoutMs = 15000;
    // Request body: a length above 0 makes the verb POST. Data null: the
    // handler supplies the bytes.
    uint64_t bodyLength = 0;
    const char* body = nullptr;
    // Extra request headers, "Name: value" lines separated by CR LF; a name
    // already present is not added again.
    std::string headerText;
};

enum class HttpOpenResult {
    kOk,
    kNoHandle,    // no easy handle could be made
    kCallbacks,   // the callbacks could not be installed
    kBadUrl,      // the URL was refused
    kBadRequest,  // the verb, headers or options were refused
};

enum class HttpOutcome {
    kCompleted,  // the whole response was read
    kStopped,    // the handler ended it (headers or data said no)
    kTimedOut,   // no progress within the idle timeout (last error 1460)
    kAborted,    // the handler's abort poll said yes
    kFailed,     // a transport failure; LastError tells which
};

class HttpExchange {
public:
    HttpExchange();
    ~HttpExchange();
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    // Makes a fresh handle for the settings (a previous one is closed
    // first). The settings' body pointer must stay valid through Perform.
    HttpOpenResult Open(const HttpExchangeSettings& settings);

    // Runs the exchange to its end. Needs a successful Open.
    HttpOutcome Perform(HttpExchangeHandler* handler);

    // Releases the handle; the captured head stays readable.
    void Close();
    bool IsOpen() const { return m_curl != nullptr; }

    // Settings of the open handle: the peer check, for a retry that skips it.
    void SetVerifyPeer(bool verify);

    // Status of the last complete response head, 0 when there is none.
    long StatusCode() const { return m_status; }
    // The announced Content-Length of that head; -1 when absent or invalid.
    int64_t ContentLength() const { return m_contentLength; }
    // Value of the first header of that name (case ignored); false when absent.
    bool QueryHeader(const char* name, std::string* value) const;
    // The head: status line and header lines, each ended by CR LF, then an
    // empty line. Empty when no head arrived.
    const std::string& RawHeaders() const { return m_rawHead; }
    // Error number of the last failure, 0 after a clean exchange.
    uint32_t LastError() const { return m_lastError; }
    // Monotonic ms of the last sign of progress.
    uint64_t LastActivity() const { return m_lastActivity; }
    // Bytes of the request body handed to the connection so far.
    uint64_t BodySent() const { return m_bodyOffset; }

private:
    enum class Stop { kNone, kHandler, kAborted, kIdle, kSupply };

    static size_t HeaderThunk(char* data, size_t size, size_t count, void* self);
    static size_t WriteThunk(char* data, size_t size, size_t count, void* self);
    static size_t ReadThunk(char* data, size_t size, size_t count, void* self);
    static int SeekThunk(void* self, int64_t offset, int origin);
    static int ProgressThunk(void* self, int64_t dltotal, int64_t dlnow, int64_t ultotal, int64_t ulnow);

    // Runs the transfer to its end; libcurl's result.
    int RunTransfer();
    size_t OnHeaderLine(const char* data, size_t length);
    size_t OnBody(const char* data, size_t length);
    size_t OnRead(char* out, size_t room);
    int OnProgress(int64_t dlnow, int64_t ulnow);
    bool Aborted();
    void Touch();
    void NoteMilestones();
    bool EndOfHead();

    void* m_curl = nullptr;
    void* m_headers = nullptr;  // curl_slist*
    HttpExchangeHandler* m_handler = nullptr;
    HttpExchangeSettings m_settings;

    // Current response block (status line and header lines, CR LF ended).
    std::vector<std::string> m_block;
    bool m_headDone = false;
    std::string m_rawHead;
    std::vector<std::string> m_head;
    long m_status = 0;
    int64_t m_contentLength = -1;

    // Request body staging: one block from the data or the handler.
    char m_stage[kHttpBlockSize];
    uint32_t m_stageLength = 0;
    uint32_t m_stagePos = 0;
    uint64_t m_bodyOffset = 0;

    uint64_t m_lastActivity = 0;
    int64_t m_lastDown = -1;
    int64_t m_lastUp = -1;
    uint32_t m_milestones = 0;
    Stop m_stop = Stop::kNone;
    uint32_t m_lastError = 0;
};

// Text of an error number: the internet errors above, then libcurl's text
// for its codes, then the C library's.
std::string HttpErrorText(uint32_t error);

}  // namespace pl
