#include "cascade/peer_link.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/pl_socket.h"
#include "platform/pl_time.h"
#include "platform/pl_never_destroyed.h"

namespace {

// Bytes read from one connection per call, so that a busy peer cannot keep
// the receive loop from the others.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kReadBudget = 1024 * 1024;

std::atomic<uint64_t> g_nextLinkId{1};

struct LinkTable {
    std::recursive_mutex mutex;
    std::map<uint64_t, std::shared_ptr<PeerLink>> links;
};

LinkTable& Links() {
    static pl::NeverDestroyed<LinkTable> table;  // lives until the process ends
    return *table;
}

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

PeerLink::PeerLink(int fd, std::string peerAddress)
    : m_id(g_nextLinkId.fetch_add(1)), m_fd(fd), m_peerAddress(std::move(peerAddress)) {}

PeerLink::~PeerLink() { pl::CloseSocket(m_fd); }

void PeerLink::Shutdown() {
    if (!m_shut.exchange(true, std::memory_order_acq_rel)) pl::ShutdownSocket(m_fd);
}

PeerLink::SendResult PeerLink::Send(const char* data, uint32_t length, uint32_t type, uint32_t timeoutMs) {
    uint32_t frameLength = length;
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> frame(BuildPeerFrame(data, &frameLength, type));
    if (!frame) return SendResult::kFailed;

    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    if (IsShut()) return SendResult::kGone;
    const uint64_t deadline = pl::TickMs() + timeoutMs;
    size_t sent = 0;
    bool retried = false;
    while (sent < frameLength) {
        const long n = pl::SendSome(m_fd, frame.get() + sent, frameLength - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int e = n < 0 ? errno : EPIPE;
        if (WouldBlock(e)) {
            const uint64_t now = pl::TickMs();
            if (now < deadline && pl::WaitWritable(m_fd, static_cast<int>(deadline - now)) == 1) continue;
            Shutdown();
            return SendResult::kBroken;
        }
        if (e == ECONNRESET || e == EPIPE) {
            if (sent > 0) Shutdown();
            return SendResult::kGone;
        }
        if (sent == 0 && !retried) {
            retried = true;
            pl::SleepMs(2);
            continue;
        }
        pl::SleepMs(1);
        if (sent > 0) {
            Shutdown();
            return SendResult::kBroken;
        }
        return SendResult::kFailed;
    }
    return SendResult::kSent;
}

PeerLink::ReadResult PeerLink::RecvPeerFrame(std::vector<PeerFrame>* frames, uint64_t nowMs, uint32_t frameTimeoutMs) {
    if (IsShut()) return ReadResult::kClosed;
    if (m_buffer.empty()) m_buffer.resize(kReadChunk);
    ReadResult result = ReadResult::kOk;
    size_t total = 0;
    while (total < kReadBudget) {
        const long n = pl::RecvSome(m_fd, m_buffer.data(), m_buffer.size());
        if (n < 0 && WouldBlock(errno)) break;
        if (n <= 0) {
            result = ReadResult::kClosed;
            break;
        }
        total += static_cast<size_t>(n);
        const bool wasInFrame = m_reader.InFrame();
        const uint32_t error = m_reader.Feed(m_buffer.data(), static_cast<size_t>(n));
        const bool completed = m_reader.Ready() > 0;
        PeerFrame frame;
        while (m_reader.Next(&frame)) frames->push_back(std::move(frame));
        if (error != kPeerOk) return ReadResult::kBadFrame;
        // A frame under way started in this piece when the piece completed
        // the one before it or no frame was under way before.
        if (m_reader.InFrame() && (completed || !wasInFrame)) m_frameStartMs = nowMs;
    }
    if (result != ReadResult::kOk) return result;
    return CheckStall(nowMs, frameTimeoutMs);
}

PeerLink::ReadResult PeerLink::CheckStall(uint64_t nowMs, uint32_t frameTimeoutMs) const {
    if (m_reader.InFrame() && nowMs > m_frameStartMs && nowMs - m_frameStartMs > frameTimeoutMs)
        return ReadResult::kStalled;
    return ReadResult::kOk;
}

void RegisterPeerLink(const std::shared_ptr<PeerLink>& link) {
    if (!link) return;
    std::lock_guard<std::recursive_mutex> lock(Links().mutex);
    Links().links[link->Id()] = link;
}

std::shared_ptr<PeerLink> FindPeerLink(uint64_t id) {
    std::lock_guard<std::recursive_mutex> lock(Links().mutex);
    auto it = Links().links.find(id);
    return it == Links().links.end() ? nullptr : it->second;
}

std::shared_ptr<PeerLink> UnregisterPeerLink(uint64_t id) {
    std::lock_guard<std::recursive_mutex> lock(Links().mutex);
    auto it = Links().links.find(id);
    if (it == Links().links.end()) return nullptr;
    std::shared_ptr<PeerLink> link = std::move(it->second);
    Links().links.erase(it);
    return link;
}

int ConnectPeer(const std::string& address, uint16_t port, uint32_t timeoutMs, int bufferBytes) {
    sockaddr_in addr{};
    if (address.empty() || pl::ResolveIPv4(address.c_str(), port, addr) != 0) return -1;
    const int fd = pl::SocketTcp();
    if (fd < 0) return -1;
    pl::SetBuffers(fd, bufferBytes);
    int r = pl::ConnectStart(fd, addr);
    if (r == EINPROGRESS) {
        int err = 0;
        r = pl::ConnectWait(fd, static_cast<int>(timeoutMs), err) == 1 ? err : ETIMEDOUT;
    }
    if (r != 0 || pl::SetBlocking(fd, true) != 0) {
        pl::CloseSocket(fd);
        return -1;
    }
    return fd;
}
