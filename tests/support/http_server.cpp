#include "tests/support/http_server.h"

#include "tests/support/loopback_server.h"
#include "tests/support/net_wait.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace kvotest {
namespace {

const char* ReasonText(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 407:
        return "Proxy Authentication Required";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

int BioSocket(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

// A socket BIO for the TLS streams whose writes never raise SIGPIPE.
BIO_METHOD* NoSignalSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvotest socket");
        BIO_meth_set_write(m, [](BIO* bio, const char* data, int n) -> int {
            const ssize_t r = ::send(BioSocket(bio), data, static_cast<size_t>(n), MSG_NOSIGNAL);
            return static_cast<int>(r);
        });
        BIO_meth_set_read(m, [](BIO* bio, char* data, int n) -> int {
            const ssize_t r = ::recv(BioSocket(bio), data, static_cast<size_t>(n), 0);
            return static_cast<int>(r);
        });
        BIO_meth_set_ctrl(m, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
        return m;
    }();
    return method;
}

// A TLS server context with a new self-signed certificate.
SSL_CTX* MakeTlsContext(const std::string& commonName) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    bool ok = key != nullptr && cert != nullptr && ctx != nullptr;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        ok = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, key) == 1;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

}  // namespace

// One connection's byte stream, plain or TLS.
struct HttpTestServer::Stream {
    int fd = -1;
    SSL* ssl = nullptr;

    bool Pending() const { return ssl != nullptr && SSL_pending(ssl) > 0; }
    ssize_t Read(char* data, size_t n) {
        if (ssl == nullptr) return ::recv(fd, data, n, 0);
        return SSL_read(ssl, data, static_cast<int>(n));
    }
    bool Write(const char* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ssl != nullptr ? SSL_write(ssl, data, static_cast<int>(length))
                                             : ::send(fd, data, length, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
};

void ClearProxyEnvironment() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

const std::string* HttpRequestRecord::Find(const std::string& name) const {
    for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
    }
    return nullptr;
}

HttpTestServer::~HttpTestServer() { Stop(); }

bool HttpTestServer::StartTls(const std::string& commonName) {
    m_tls = MakeTlsContext(commonName);
    return m_tls != nullptr && Start();
}

bool HttpTestServer::Start() {
    m_listen = ListenOnLoopback(m_port, 64);
    if (m_listen < 0) return false;
    m_stop.store(false);
    m_acceptThread = std::thread(&HttpTestServer::AcceptLoop, this);
    return true;
}

void HttpTestServer::Stop() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop.store(true);
        // Wakes connection threads blocked in a read or a pause.
        for (int fd : m_fds) {
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        }
    }
    m_cv.notify_all();
    if (m_acceptThread.joinable()) m_acceptThread.join();
    for (auto& t : m_threads) {
        if (t.joinable()) t.join();
    }
    m_threads.clear();
    std::lock_guard<std::mutex> g(m_mutex);
    for (int& fd : m_fds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    SSL_CTX_free(static_cast<SSL_CTX*>(m_tls));
    m_tls = nullptr;
}

std::string HttpTestServer::Url(const std::string& path) const {
    return (m_tls != nullptr ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_port) + path;
}

void HttpTestServer::SetReply(const HttpReply& reply) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_reply = reply;
}

void HttpTestServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_handler = std::move(handler);
}

void HttpTestServer::QueueReply(const HttpReply& reply) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_queue.push_back(reply);
}

std::vector<HttpRequestRecord> HttpTestServer::Requests() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_requests;
}

size_t HttpTestServer::RequestCount() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_requests.size();
}

bool HttpTestServer::WaitForRequests(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_requests.size() >= n; });
}

size_t HttpTestServer::ConnectionCount() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_fds.size();
}

size_t HttpTestServer::OpenConnections() { return m_open.load(); }

void HttpTestServer::AcceptLoop() {
    while (!m_stop.load()) {
        const int fd = AcceptWithin(m_listen, 20);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_stop.load()) {
            ::close(fd);
            break;
        }
        const int index = static_cast<int>(m_fds.size());
        m_fds.push_back(fd);
        m_open.fetch_add(1);
        m_threads.emplace_back(&HttpTestServer::Serve, this, fd, index);
    }
}

bool HttpTestServer::Pause(int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return !m_cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_stop.load(); });
}

bool HttpTestServer::ReadMore(Stream& stream, std::string& buffer) {
    char chunk[16384];
    for (;;) {
        if (m_stop.load()) return false;
        if (!stream.Pending()) {
            pollfd p{stream.fd, POLLIN, 0};
            const int r = ::poll(&p, 1, 50);
            if (r < 0) return false;
            if (r == 0) continue;
        }
        const ssize_t n = stream.Read(chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

void HttpTestServer::Serve(int fd, int index) {
    Stream stream;
    stream.fd = fd;
    bool open = true;
    if (m_tls != nullptr) {
        stream.ssl = SSL_new(static_cast<SSL_CTX*>(m_tls));
        BIO* bio = BIO_new(NoSignalSocketMethod());
        if (stream.ssl != nullptr && bio != nullptr) {
            BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
            BIO_set_init(bio, 1);
            SSL_set_bio(stream.ssl, bio, bio);
            // A client that refuses the certificate ends the handshake.
            open = SSL_accept(stream.ssl) == 1;
        } else {
            BIO_free(bio);
            open = false;
        }
    }
    std::string buffer;
    while (open) open = ServeOne(stream, buffer, index);
    SSL_free(stream.ssl);
    {
        std::lock_guard<std::mutex> g(m_mutex);
        ::close(fd);
        m_fds[static_cast<size_t>(index)] = -1;
    }
    m_open.fetch_sub(1);
}

bool HttpTestServer::ServeOne(Stream& stream, std::string& buffer, int index) {
    size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadMore(stream, buffer)) return false;
    }
    HttpRequestRecord request;
    request.connection = index;
    const std::string head = buffer.substr(0, headEnd);
    buffer.erase(0, headEnd + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const size_t s1 = first.find(' ');
    const size_t s2 = first.find(' ', s1 == std::string::npos ? first.size() : s1 + 1);
    request.method = first.substr(0, s1);
    if (s1 != std::string::npos) {
        request.target = first.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
    }
    if (s2 != std::string::npos) request.version = first.substr(s2 + 1);
    while (lineEnd != std::string::npos) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string line =
            head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        }
        lineEnd = next;
    }
    if (strcasecmp(request.Header("Expect").c_str(), "100-continue") == 0) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        if (!stream.Write(kContinue, sizeof kContinue - 1)) return false;
    }
    // Request bodies come with a Content-Length.
    const size_t length = static_cast<size_t>(std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10));
    while (buffer.size() < length) {
        if (!ReadMore(stream, buffer)) return false;
    }
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);

    const HttpReply reply = Choose(request);
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_requests.push_back(request);
    }
    m_cv.notify_all();
    return Answer(stream, reply);
}

HttpReply HttpTestServer::Choose(const HttpRequestRecord& request) {
    Handler handler;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!m_queue.empty()) {
            HttpReply r = m_queue.front();
            m_queue.pop_front();
            return r;
        }
        if (!m_handler) return m_reply;
        handler = m_handler;
    }
    return handler(request);
}

// Sends one reply; false when the connection must end after it.
bool HttpTestServer::Answer(Stream& stream, const HttpReply& reply) {
    if (reply.silent) {
        // Hold the connection, reading whatever comes, until the client
        // closes it or the server stops.
        std::string ignored;
        while (ReadMore(stream, ignored)) ignored.clear();
        return false;
    }
    if (reply.delayMs > 0 && !Pause(reply.delayMs)) return false;
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                       (reply.reason.empty() ? std::string(ReasonText(reply.status)) : reply.reason) + "\r\n";
    for (const auto& h : reply.headers) head += h.first + ": " + h.second + "\r\n";
    if (reply.contentLength) {
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    } else {
        head += "Connection: close\r\n";
    }
    head += "\r\n";

    if (reply.dropAfter >= 0) {
        const std::string all = head + reply.body;
        const size_t n = std::min(all.size(), static_cast<size_t>(reply.dropAfter));
        stream.Write(all.data(), n);
        if (reply.reset) {
            linger l{1, 0};
            ::setsockopt(stream.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        return false;
    }
    if (!stream.Write(head.data(), head.size())) return false;
    if (reply.pieceSize == 0) {
        if (!stream.Write(reply.body.data(), reply.body.size())) return false;
    } else {
        for (size_t at = 0; at < reply.body.size(); at += reply.pieceSize) {
            if (reply.pieceDelayMs > 0 && !Pause(reply.pieceDelayMs)) return false;
            const size_t n = std::min(reply.pieceSize, reply.body.size() - at);
            if (!stream.Write(reply.body.data() + at, n)) return false;
        }
    }
    return reply.contentLength;
}

}  // namespace kvotest
