#include "tests/support/fake_proxy.h"

#include "tests/support/net_wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvotest {

namespace {

constexpr int kIoTimeoutMs = 5000;

// RFC 4648 Base64 of the Basic credential, written here so that the proxy
// does not check the client with the client's own coder.
std::string Base64(const std::string& in) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(in[i])) << 16) | (uint32_t(uint8_t(in[i + 1])) << 8) | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kDigits[(v >> s) & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16;
        if (i + 1 < in.size()) v |= uint32_t(uint8_t(in[i + 1])) << 8;
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Port2(uint16_t port) { return std::string{char(port >> 8), char(port & 0xFF)}; }

}  // namespace

FakeProxy::FakeProxy() = default;

FakeProxy::~FakeProxy() { Stop(); }

bool FakeProxy::Start(const Script& script) {
    m_script = script;
    m_listen = ListenOnLoopback(m_port, 64);
    if (m_listen < 0) return false;
    m_stop.store(false);
    m_accept = std::thread(&FakeProxy::AcceptLoop, this);
    return true;
}

void FakeProxy::Stop() {
    m_stop.store(true);
    if (m_accept.joinable()) m_accept.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        for (int fd : m_fds) ::shutdown(fd, SHUT_RDWR);
        workers.swap(m_workers);
    }
    for (auto& t : workers) t.join();
    std::lock_guard<std::mutex> g(m_mutex);
    for (int fd : m_fds) ::close(fd);
    m_fds.clear();
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
}

bool FakeProxy::WaitForHandshakes(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_done.size() >= n; });
}

std::string FakeProxy::Request(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    return i < m_done.size() ? m_done[i].request : std::string();
}

std::string FakeProxy::Target(size_t i) {
    std::lock_guard<std::mutex> g(m_mutex);
    return i < m_done.size() ? m_done[i].target : std::string();
}

void FakeProxy::AcceptLoop() {
    while (!m_stop.load()) {
        const int fd = AcceptWithin(m_listen, 20);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> g(m_mutex);
        m_fds.push_back(fd);
        m_workers.emplace_back(&FakeProxy::Serve, this, fd);
    }
}

void FakeProxy::Finish(Record rec) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_done.push_back(std::move(rec));
    m_cv.notify_all();
}

void FakeProxy::Serve(int fd) {
    Record rec;
    int target = -1;
    const bool tunnel = Handshake(fd, rec, target);
    Finish(rec);
    if (tunnel) Relay(fd, target);
    // Closed by Stop: a descriptor number must not be reused while Stop may
    // still shut it down.
    ::shutdown(fd, SHUT_RDWR);
}

bool FakeProxy::ReadExact(int fd, size_t n, std::string& out, Record& rec) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    char buf[512];
    while (n > 0) {
        if (m_stop.load() || std::chrono::steady_clock::now() > until) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t got = ::recv(fd, buf, n < sizeof buf ? n : sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out.append(buf, static_cast<size_t>(got));
        rec.request.append(buf, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool FakeProxy::ReadUntilZero(int fd, std::string& out, Record& rec, size_t limit) {
    std::string c;
    for (size_t i = 0; i < limit; ++i) {
        c.clear();
        if (!ReadExact(fd, 1, c, rec)) return false;
        if (c[0] == '\0') return true;
        out += c;
    }
    return false;
}

bool FakeProxy::Refuse(int fd, const std::string& bytes) {
    SendReply(fd, bytes, true);
    return false;
}

bool FakeProxy::SendReply(int fd, const std::string& bytes, bool last) {
    std::string all = bytes;
    if (m_script.truncate)
        all.resize(1);
    else if (last)
        all += m_script.trailer;
    return SendAll(fd, all) && !m_script.truncate;
}

int FakeProxy::ConnectTarget(const std::string& host, uint16_t port) {
    std::string address = host;
    auto named = m_script.names.find(host);
    if (named != m_script.names.end()) address = named->second;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    // Loopback only: tests never reach another address.
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_fds.push_back(fd);
    return fd;
}

bool FakeProxy::Handshake(int fd, Record& rec, int& target) {
    switch (m_script.kind) {
    case Kind::Socks4:
        return HandshakeSocks4(fd, rec, target);
    case Kind::Socks5:
        return HandshakeSocks5(fd, rec, target);
    case Kind::Http:
        return HandshakeHttp(fd, rec, target);
    }
    return false;
}

bool FakeProxy::HandshakeSocks4(int fd, Record& rec, int& target) {
    // VN 4, CD 1, DSTPORT, DSTIP, USERID, 0 [, host name, 0 when DSTIP is 0.0.0.x, x != 0].
    std::string head;
    std::string user;
    if (!ReadExact(fd, 8, head, rec) || !ReadUntilZero(fd, user, rec, 256)) return false;
    const uint16_t port = static_cast<uint16_t>((uint8_t(head[2]) << 8) | uint8_t(head[3]));
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, head.data() + 4, ip, sizeof ip);
    std::string host = ip;
    if (head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] != 0) {
        host.clear();
        if (!ReadUntilZero(fd, host, rec, 256)) return false;
    }
    rec.target = host + ":" + std::to_string(port);
    auto reply = [&](int status) { return std::string{0, char(status)} + head.substr(2, 6); };
    if (head[0] != 4 || head[1] != 1) return Refuse(fd, reply(91));
    if (m_script.refuseCode >= 0) return Refuse(fd, reply(m_script.refuseCode));
    target = ConnectTarget(host, port);
    return SendReply(fd, reply(target >= 0 ? 90 : 91), true) && target >= 0;
}

bool FakeProxy::HandshakeSocks5(int fd, Record& rec, int& target) {
    // Greeting: VER 5, NMETHODS, METHODS.
    std::string in;
    if (!ReadExact(fd, 2, in, rec) || in[0] != 5 || !ReadExact(fd, uint8_t(in[1]), in, rec)) return false;
    const std::string offered = in.substr(2);
    const bool login = !m_script.user.empty();
    int method = m_script.forceMethod;
    if (method < 0) {
        const char wanted = login ? '\x02' : '\x00';
        method = offered.find(wanted) != std::string::npos ? wanted : 0xFF;
    }
    if (!SendReply(fd, std::string{5, char(method)}, method == 0xFF) || method == 0xFF) return false;
    if (method == 2) {
        // RFC 1929: VER 1, ULEN, UNAME, PLEN, PASSWD; answer VER 1, STATUS.
        std::string u;
        std::string p;
        std::string len;
        if (!ReadExact(fd, 2, len, rec) || !ReadExact(fd, uint8_t(len[1]), u, rec)) return false;
        len.clear();
        if (!ReadExact(fd, 1, len, rec) || !ReadExact(fd, uint8_t(len[0]), p, rec)) return false;
        const bool ok = u == m_script.user && p == m_script.password;
        if (!SendReply(fd, std::string{1, char(ok ? 0 : 1)}, !ok) || !ok) return false;
    }
    // Request: VER 5, CMD 1, RSV, ATYP, DST.ADDR, DST.PORT.
    std::string req;
    if (!ReadExact(fd, 4, req, rec)) return false;
    std::string host;
    if (req[3] == 1) {
        std::string a;
        if (!ReadExact(fd, 4, a, rec)) return false;
        char ip[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, a.data(), ip, sizeof ip);
        host = ip;
    } else if (req[3] == 3) {
        std::string len;
        if (!ReadExact(fd, 1, len, rec) || !ReadExact(fd, uint8_t(len[0]), host, rec)) return false;
    } else {
        return Refuse(fd, std::string("\x05\x08\x00\x01\0\0\0\0\0\0", 10));
    }
    std::string portBytes;
    if (!ReadExact(fd, 2, portBytes, rec)) return false;
    const uint16_t port = static_cast<uint16_t>((uint8_t(portBytes[0]) << 8) | uint8_t(portBytes[1]));
    rec.target = host + ":" + std::to_string(port);
    auto reply = [&](int code) { return std::string{5, char(code), 0, 1, 127, 0, 0, 1} + Port2(port); };
    if (req[1] != 1) return Refuse(fd, reply(7));
    if (m_script.refuseCode >= 0) return Refuse(fd, reply(m_script.refuseCode));
    target = ConnectTarget(host, port);
    return SendReply(fd, reply(target >= 0 ? 0 : 5), true) && target >= 0;
}

bool FakeProxy::HandshakeHttp(int fd, Record& rec, int& target) {
    std::string head;
    while (head.size() < 8192 && (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0))
        if (!ReadExact(fd, 1, head, rec)) return false;
    // "CONNECT host:port HTTP/1.x"
    const size_t sp1 = head.find(' ');
    const size_t sp2 = head.find(' ', sp1 + 1);
    const std::string authority = head.substr(sp1 + 1, sp2 - sp1 - 1);
    const size_t colon = authority.rfind(':');
    if (head.compare(0, 8, "CONNECT ") != 0 || colon == std::string::npos)
        return Refuse(fd, "HTTP/1.0 400 Bad Request\r\n\r\n");
    rec.target = authority;
    if (!m_script.user.empty()) {
        // The header name without regard to case, the credential exactly.
        const std::string name = "proxy-authorization: basic ";
        const size_t at = Lower(head).find(name);
        const std::string expected = Base64(m_script.user + ":" + m_script.password) + "\r\n";
        if (at == std::string::npos || head.compare(at + name.size(), expected.size(), expected) != 0)
            return Refuse(fd, "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n");
    }
    if (!m_script.refuseLine.empty()) return Refuse(fd, m_script.refuseLine + "\r\n\r\n");
    const auto port = static_cast<uint16_t>(std::strtoul(authority.c_str() + colon + 1, nullptr, 10));
    target = ConnectTarget(authority.substr(0, colon), port);
    if (target < 0) return Refuse(fd, "HTTP/1.0 502 Bad Gateway\r\n\r\n");
    return SendReply(fd, "HTTP/1.0 200 Connection established\r\n\r\n", true);
}

void FakeProxy::Relay(int a, int b) {
    char buf[4096];
    while (!m_stop.load()) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (::poll(p, 2, 20) <= 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(p[k].fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || ::send(p[1 - k].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                ::shutdown(a, SHUT_RDWR);
                ::shutdown(b, SHUT_RDWR);
                return;
            }
        }
    }
}

}  // namespace kvotest
