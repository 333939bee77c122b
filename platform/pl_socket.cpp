#include "platform/pl_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pl {

int SocketTcp() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

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

}  // namespace pl
