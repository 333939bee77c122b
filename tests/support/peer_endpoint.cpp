#include "tests/support/peer_endpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "tests/support/net_wait.h"
#include "tests/support/peer_writer.h"

namespace kvotest {

namespace {

uint32_t Le32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}

}  // namespace

std::string PeerField(std::string_view body, std::string_view key) {
    const size_t at = body.find(key);
    if (at == std::string_view::npos || at + key.size() + 1 > body.size()) return std::string();
    const size_t begin = at + key.size() + 1;
    if (key == "codelist") {
        const size_t close = body.find(')', begin);
        return close == std::string_view::npos ? std::string() : std::string(body.substr(begin, close + 1 - begin));
    }
    const size_t comma = body.find(',', begin);
    return comma == std::string_view::npos ? std::string() : std::string(body.substr(begin, comma - begin));
}

long PeerIntField(std::string_view body, std::string_view key) {
    return std::strtol(PeerField(body, key).c_str(), nullptr, 10);
}

PeerEndpoint::~PeerEndpoint() { Close(); }

void PeerEndpoint::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::unique_ptr<PeerEndpoint> PeerEndpoint::Connect(uint16_t port) {
    const int fd = ConnectToLoopback(port);
    return fd < 0 ? nullptr : std::make_unique<PeerEndpoint>(fd);
}

bool PeerEndpoint::SendFrame(uint32_t type, std::string_view body) { return SendRaw(PeerFrameBytes(type, body)); }

bool PeerEndpoint::SendRaw(const std::string& bytes) { return m_fd >= 0 && SendAll(m_fd, bytes); }

bool PeerEndpoint::Fill(int ms) {
    if (m_fd < 0 || m_closed) return false;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return true;
    char buf[65536];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) {
        m_closed = true;
        return false;
    }
    m_in.append(buf, static_cast<size_t>(n));
    return true;
}

bool PeerEndpoint::Read(PeerTestFrame* out, int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (true) {
        if (m_in.size() >= 12) {
            const uint64_t length = Le32(m_in, 8);
            if (m_in.size() >= 12 + length + 1) {
                out->magic = Le32(m_in, 0);
                out->type = Le32(m_in, 4);
                out->body = m_in.substr(12, static_cast<size_t>(length));
                m_in.erase(0, static_cast<size_t>(12 + length + 1));
                return true;
            }
        }
        const int64_t left = timeoutMs - MsSince(t0);
        if (left <= 0 || !Fill(static_cast<int>(left))) return false;
    }
}

bool PeerEndpoint::ReadReq(long reqType, PeerTestFrame* out, int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (Read(out, static_cast<int>(std::max<int64_t>(0, timeoutMs - MsSince(t0))))) {
        if (PeerIntField(out->body, "ReqType") == reqType) return true;
    }
    return false;
}

bool PeerEndpoint::Silent(int ms) {
    const size_t before = m_in.size();
    const auto t0 = std::chrono::steady_clock::now();
    while (MsSince(t0) < ms) {
        if (!Fill(static_cast<int>(ms - MsSince(t0)))) return false;
        if (m_in.size() != before) return false;
    }
    return true;
}

bool PeerEndpoint::WaitClosed(int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (!m_closed && MsSince(t0) < timeoutMs) {
        Fill(static_cast<int>(timeoutMs - MsSince(t0)));
        m_in.clear();
    }
    return m_closed;
}

PeerListener::PeerListener() { m_fd = ListenOnLoopback(m_port, 8); }

PeerListener::~PeerListener() {
    if (m_fd >= 0) ::close(m_fd);
}

std::unique_ptr<PeerEndpoint> PeerListener::Accept(int timeoutMs) {
    if (m_fd < 0) return nullptr;
    const int fd = AcceptWithin(m_fd, timeoutMs);
    return fd < 0 ? nullptr : std::make_unique<PeerEndpoint>(fd);
}

}  // namespace kvotest
