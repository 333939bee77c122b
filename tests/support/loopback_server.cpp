#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvotest {

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer() { Stop(); }

int ListenOnLoopback(int backlog, uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool LoopbackServer::Start() {
    m_listen = ListenOnLoopback(128, &m_port);
    if (m_listen < 0) return false;
    m_stop.store(false);
    m_thread = std::thread(&LoopbackServer::Run, this);
    return true;
}

void LoopbackServer::Stop() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> g(m_mutex);
    for (auto& c : m_conns) {
        if (c.fd >= 0) ::close(c.fd);
        c.fd = -1;
    }
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
}

void LoopbackServer::SetGreeting(const std::string& bytes) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_greeting = bytes;
}

void LoopbackServer::Run() {
    std::vector<pollfd> fds;
    std::vector<size_t> index;
    char buf[65536];
    while (!m_stop.load()) {
        fds.clear();
        index.clear();
        fds.push_back({m_listen, POLLIN, 0});
        {
            std::lock_guard<std::mutex> g(m_mutex);
            for (size_t i = 0; i < m_conns.size(); ++i) {
                if (m_conns[i].fd >= 0 && !m_conns[i].peerClosed && !m_paused.load()) {
                    fds.push_back({m_conns[i].fd, POLLIN, 0});
                    index.push_back(i);
                }
            }
        }
        int r = ::poll(fds.data(), fds.size(), 10);
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN) {
            int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::string greeting;
                {
                    std::lock_guard<std::mutex> g(m_mutex);
                    Conn c;
                    c.fd = fd;
                    m_conns.push_back(c);
                    greeting = m_greeting;
                }
                if (!greeting.empty()) ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
                m_cv.notify_all();
            }
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            // Read under the lock: Reset may have closed this descriptor.
            std::lock_guard<std::mutex> g(m_mutex);
            Conn& c = m_conns[index[k - 1]];
            if (c.fd != fds[k].fd) continue;
            ssize_t n = ::recv(fds[k].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n > 0) {
                c.received.append(buf, static_cast<size_t>(n));
            } else {
                c.peerClosed = true;
            }
            m_cv.notify_all();
        }
    }
}

size_t LoopbackServer::ConnectionCount() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_conns.size();
}

bool LoopbackServer::WaitForConnections(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_conns.size() >= n; });
}

std::string LoopbackServer::Received(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    return i < m_conns.size() ? m_conns[i].received : std::string();
}

bool LoopbackServer::WaitForBytes(size_t i, size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                         [&] { return i < m_conns.size() && m_conns[i].received.size() >= n; });
}

bool LoopbackServer::PeerClosed(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    return i < m_conns.size() && m_conns[i].peerClosed;
}

bool LoopbackServer::WaitForPeerClose(size_t i, int timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                         [&] { return i < m_conns.size() && m_conns[i].peerClosed; });
}

bool LoopbackServer::Send(size_t i, const std::string& bytes) {
    int fd;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (i >= m_conns.size() || m_conns[i].fd < 0) return false;
        fd = m_conns[i].fd;
    }
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

void LoopbackServer::Close(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    if (i < m_conns.size() && m_conns[i].fd >= 0) ::shutdown(m_conns[i].fd, SHUT_WR);
}

void LoopbackServer::Reset(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    if (i >= m_conns.size() || m_conns[i].fd < 0) return;
    linger lg{1, 0};
    ::setsockopt(m_conns[i].fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    // The server thread reads only under this lock and checks the descriptor
    // first, so closing here is safe; its poll set is rebuilt on each pass.
    ::close(m_conns[i].fd);
    m_conns[i].fd = -1;
    m_conns[i].closedHere = true;
}

}  // namespace kvotest
