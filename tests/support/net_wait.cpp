#include "tests/support/net_wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "framework/net/tl_netengine.h"

namespace kvotest {

bool Eventually(const std::function<bool()>& pred, int timeoutMs) {
    for (int t = 0; t < timeoutMs && !pred(); t += 2) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return pred();
}

bool CheckPassesUntil(const std::function<bool()>& pred, int timeoutMs, int stepMs) {
    for (int t = 0; t < timeoutMs; t += stepMs) {
        if (pred()) return true;
        TL_NetCheckPass();
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

uint16_t UnusedLoopbackPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) == 0;
    ::close(s);
    return ok ? ntohs(a.sin_port) : 0;
}

int ConnectToLoopback(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

int ListenOnLoopback(uint16_t& port, int backlog) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
        ::close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

int AcceptWithin(int listenFd, int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

std::vector<int> SocketsConnectedTo(uint16_t port) {
    std::vector<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) continue;
        if (ntohs(peer.sin_port) == port && ntohl(peer.sin_addr.s_addr) == INADDR_LOOPBACK) fds.push_back(fd);
    }
    return fds;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

void LoopbackEngineTest::SetUp() {
    if (!m_checkThread) TL_NetSetCheckThreadEnabled(false);
    TL_NetSetReleaseDelay(0);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    ASSERT_TRUE(server.Start());
}

void LoopbackEngineTest::TearDown() {
    client.reset();
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
    TL_NetSetReleaseDelay(15000);
    server.Stop();
}

}  // namespace kvotest
