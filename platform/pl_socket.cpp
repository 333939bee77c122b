#include "platform/pl_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace pl {

int SocketTcp() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP); }

int ResolveIPv4(const char* host, uint16_t port, sockaddr_in& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!host || !*host) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        return 1;
    }
    if (::inet_pton(AF_INET, host, &addr.sin_addr) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
    int rc = -1;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            addr.sin_addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
            rc = 0;
            break;
        }
    }
    ::freeaddrinfo(res);
    return rc;
}

int ConnectStart(int fd, const sockaddr_in& addr) {
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return 0;
    return errno == EINPROGRESS ? EINPROGRESS : errno;
}

int ConnectWait(int fd, int timeoutMs, int& err) {
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    int e = 0;
    socklen_t l = sizeof e;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &l) != 0) return -1;
    err = e;
    return 1;
}

int ListenOn(int fd, const sockaddr_in& addr, int backlog) {
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
    if (::listen(fd, backlog) != 0) return -2;
    return 0;
}

int WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & (POLLNVAL | POLLERR)) return -1;
    return 1;
}

int AcceptOne(int listenFd, sockaddr_in* peer) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    int fd;
    do {
        fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&a), &l, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && peer) *peer = a;
    return fd;
}

int SetNoDelay(int fd, bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

int SetLingerReset(int fd) {
    linger lg{1, 0};
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

void CloseSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) return 0;
    return ntohs(a.sin_port);
}

std::string AddressText(const sockaddr_in& addr) {
    char buf[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf);
    return buf;
}

int SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags ? 0 : ::fcntl(fd, F_SETFL, wanted) == 0 ? 0 : -1;
}

int SetBuffers(int fd, int bytes) {
    const int r = ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    const int s = ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    return r == 0 && s == 0 ? 0 : -1;
}

long RecvSome(int fd, void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::recv(fd, buf, n, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long SendSome(int fd, const void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::send(fd, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

int WaitWritable(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & (POLLNVAL | POLLERR | POLLHUP)) return -1;
    return 1;
}

int PollReadable(const int* fds, bool* ready, size_t n, int timeoutMs) {
    std::vector<pollfd> set(n);
    for (size_t i = 0; i < n; ++i) set[i] = pollfd{fds[i], POLLIN, 0};
    const int r = ::poll(set.data(), static_cast<nfds_t>(n), timeoutMs);
    if (r < 0) {
        for (size_t i = 0; i < n; ++i) ready[i] = false;
        return errno == EINTR ? 0 : -1;
    }
    int count = 0;
    for (size_t i = 0; i < n; ++i) {
        ready[i] = set[i].fd >= 0 && (set[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (ready[i]) ++count;
    }
    return count;
}

int WaitReadableOrSendable(const int* fds, size_t n, int timeoutMs) {
    std::vector<pollfd> set(n);
    for (size_t i = 0; i < n; ++i) set[i] = pollfd{fds[i], static_cast<short>(i == 0 ? POLLIN : POLLOUT), 0};
    const int r = ::poll(set.data(), static_cast<nfds_t>(n), timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r;
}

std::string PeerAddressText(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0 || a.sin_family != AF_INET) return std::string();
    return AddressText(a);
}

void ShutdownSocket(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

PollWaker::PollWaker() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PollWaker::~PollWaker() {
    if (m_fd >= 0) ::close(m_fd);
}

void PollWaker::Wake() {
    if (m_fd < 0) return;
    const uint64_t one = 1;
    // A full counter already wakes the poller; nothing is lost.
    [[maybe_unused]] const ssize_t r = ::write(m_fd, &one, sizeof one);
}

void PollWaker::Drain() {
    if (m_fd < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(m_fd, &count, sizeof count);
}

}  // namespace pl
