// A scripted HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for the
// tests of HTTP clients: every request is recorded (request line, headers,
// body) and answered with a scripted reply: a status with headers and a
// body, after a delay, trickled in pieces, cut off after some bytes (closed
// or reset), or never (a silent server that holds the connection).
//
// Replies are chosen per request: first the queued one-shot replies in
// order, else the handler when one is set, else the standing reply (200
// with an empty body until SetReply). Each connection runs on a thread of
// its own and may carry several requests (keep-alive). Stop (and the
// destructor) closes every connection and joins every thread, also those
// of silent or delayed replies.
//
// With StartTls the server speaks https with a self-signed certificate made
// at start, which a client checking authorities refuses.
//
// Tests must not reach the server through a proxy: call
// ClearProxyEnvironment() before any thread starts (SetUp of the fixture).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kvotest {

// Removes http_proxy, https_proxy and all_proxy (both cases) from the
// environment and sets no_proxy / NO_PROXY to "127.0.0.1,localhost".
void ClearProxyEnvironment();

using HttpHeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
    int status = 200;
    std::string reason;      // empty: the usual text of the status
    HttpHeaderList headers;  // sent as given, after the status line
    std::string body;
    bool contentLength = true;  // announce the body's length; else the body ends with the connection
    int delayMs = 0;            // wait before the status line
    size_t pieceSize = 0;       // > 0: the body is sent in pieces of this size ...
    int pieceDelayMs = 0;       // ... each after this wait
    long dropAfter = -1;        // >= 0: only this many bytes of the reply, then the connection ends
    bool reset = false;         // with dropAfter: a reset (RST) instead of a clean close
    bool silent = false;        // never answer; hold the connection until the client goes

    static HttpReply Ok(std::string body) {
        HttpReply r;
        r.body = std::move(body);
        return r;
    }
    static HttpReply Status(int status, std::string body = std::string()) {
        HttpReply r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
    static HttpReply Silent() {
        HttpReply r;
        r.silent = true;
        return r;
    }
    HttpReply& Header(std::string name, std::string value) {
        headers.emplace_back(std::move(name), std::move(value));
        return *this;
    }
};

struct HttpRequestRecord {
    std::string method;
    std::string target;  // as sent: path and query
    std::string version;
    HttpHeaderList headers;
    std::string body;
    int connection = 0;  // index of the connection it came on

    std::string Path() const { return target.substr(0, target.find('?')); }
    std::string Query() const {
        const size_t q = target.find('?');
        return q == std::string::npos ? std::string() : target.substr(q + 1);
    }
    // First value of a header (name compared without case); empty when absent.
    std::string Header(const std::string& name) const {
        const std::string* value = Find(name);
        return value != nullptr ? *value : std::string();
    }
    bool HasHeader(const std::string& name) const { return Find(name) != nullptr; }

private:
    const std::string* Find(const std::string& name) const;
};

class HttpTestServer {
public:
    using Handler = std::function<HttpReply(const HttpRequestRecord&)>;

    HttpTestServer() = default;
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Listens on 127.0.0.1 and starts accepting. False on failure.
    bool Start();
    // The same over TLS, with a self-signed certificate for commonName.
    bool StartTls(const std::string& commonName = "kvo-test.invalid");
    void Stop();
    uint16_t Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path ("https://" over TLS).
    std::string Url(const std::string& path = "/") const;

    // The reply to every request not otherwise answered.
    void SetReply(const HttpReply& reply);
    // Replies made per request (called on the connection's thread).
    void SetHandler(Handler handler);
    // A one-shot reply, used before the others, in queue order.
    void QueueReply(const HttpReply& reply);

    std::vector<HttpRequestRecord> Requests();
    size_t RequestCount();
    bool WaitForRequests(size_t n, int timeoutMs);
    size_t ConnectionCount();
    // Connections whose thread has not ended yet.
    size_t OpenConnections();

private:
    struct Stream;
    void AcceptLoop();
    void Serve(int fd, int index);
    // Reads and answers one request; false when the connection ends.
    bool ServeOne(Stream& stream, std::string& buffer, int index);
    bool ReadMore(Stream& stream, std::string& buffer);
    bool Answer(Stream& stream, const HttpReply& reply);
    HttpReply Choose(const HttpRequestRecord& request);
    // Waits ms, or less when the server stops; false when it stops.
    bool Pause(int ms);

    int m_listen = -1;
    uint16_t m_port = 0;
    void* m_tls = nullptr;  // SSL_CTX* over TLS
    std::atomic<bool> m_stop{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::thread> m_threads;
    std::vector<int> m_fds;
    std::atomic<size_t> m_open{0};
    std::vector<HttpRequestRecord> m_requests;
    std::deque<HttpReply> m_queue;
    HttpReply m_reply;
    Handler m_handler;
};

}  // namespace kvotest
