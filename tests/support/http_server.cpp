#include "tests/support/http_server.h"

#include "tests/support/loopback_server.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace kvotest {
namespace {

const char* ReasonText(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 307: return "Temporary Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 407: return "Proxy Authentication Required";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

bool SendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

}  // namespace

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

bool HttpTestServer::Start() {
    m_listen = ListenOnLoopback(64, &m_port);
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
}

std::string HttpTestServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
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
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
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

bool HttpTestServer::ReadMore(int fd, std::string& buffer) {
    char chunk[16384];
    for (;;) {
        if (m_stop.load()) return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0) return false;
        if (r == 0) continue;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

void HttpTestServer::Serve(int fd, int index) {
    std::string buffer;
    for (;;) {
        size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!ReadMore(fd, buffer)) goto done;
        }
        {
            HttpRequestRecord request;
            request.connection = index;
            const std::string head = buffer.substr(0, headEnd);
            buffer.erase(0, headEnd + 4);
            size_t lineEnd = head.find("\r\n");
            const std::string first = head.substr(0, lineEnd);
            const size_t s1 = first.find(' ');
            const size_t s2 = first.find(' ', s1 == std::string::npos ? first.size() : s1 + 1);
            request.method = first.substr(0, s1);
            if (s1 != std::string::npos) request.target = first.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
            if (s2 != std::string::npos) request.version = first.substr(s2 + 1);
            while (lineEnd != std::string::npos) {
                const size_t next = head.find("\r\n", lineEnd + 2);
                const std::string line = head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
                const size_t colon = line.find(':');
                if (colon != std::string::npos) request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
                lineEnd = next;
            }
            if (strcasecmp(request.Header("Expect").c_str(), "100-continue") == 0) {
                static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                if (!SendAll(fd, kContinue, sizeof kContinue - 1)) break;
            }
            const size_t length = static_cast<size_t>(std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10));
            while (buffer.size() < length) {
                if (!ReadMore(fd, buffer)) goto done;
            }
            request.body = buffer.substr(0, length);
            buffer.erase(0, length);

            const HttpReply reply = Choose(request);
            {
                std::lock_guard<std::mutex> g(m_mutex);
                m_requests.push_back(request);
            }
            m_cv.notify_all();
            if (!Answer(fd, reply)) break;
        }
    }
done:
    {
        std::lock_guard<std::mutex> g(m_mutex);
        ::close(fd);
        m_fds[static_cast<size_t>(index)] = -1;
    }
    m_open.fetch_sub(1);
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
bool HttpTestServer::Answer(int fd, const HttpReply& reply) {
    if (reply.silent) {
        // Hold the connection, reading whatever comes, until the client
        // closes it or the server stops.
        std::string ignored;
        while (ReadMore(fd, ignored)) ignored.clear();
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
        SendAll(fd, all.data(), n);
        if (reply.reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        return false;
    }
    if (!SendAll(fd, head.data(), head.size())) return false;
    if (reply.pieceSize == 0) {
        if (!SendAll(fd, reply.body.data(), reply.body.size())) return false;
    } else {
        for (size_t at = 0; at < reply.body.size(); at += reply.pieceSize) {
            if (reply.pieceDelayMs > 0 && !Pause(reply.pieceDelayMs)) return false;
            const size_t n = std::min(reply.pieceSize, reply.body.size() - at);
            if (!SendAll(fd, reply.body.data() + at, n)) return false;
        }
    }
    return reply.contentLength;
}

}  // namespace kvotest
