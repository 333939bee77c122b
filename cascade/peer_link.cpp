#include "cascade/peer_link.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "framework/tl_log.h"
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

// The links with bytes waiting, and the socket sender's wake-up.
struct QueuedTable {
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<PeerLink>> links;
    uint64_t listings = 0;   // links that entered the table, ever (under mutex)
    uint64_t collected = 0;  // listings at the last CollectQueuedPeerLinks (under mutex)
    std::atomic<bool> senderWaiting{false};
    pl::PollWaker waker;
};

QueuedTable& Queued() {
    static pl::NeverDestroyed<QueuedTable> table;  // lives until the process ends
    return *table;
}

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

PeerLink::PeerLink(int fd, std::string peerAddress, uint32_t preLoginMaxBody)
    : m_id(g_nextLinkId.fetch_add(1)),
      m_fd(fd),
      m_peerAddress(std::move(peerAddress)),
      m_preLoginMaxBody(preLoginMaxBody),
      m_reader(preLoginMaxBody) {}

PeerLink::~PeerLink() { pl::CloseSocket(m_fd); }

void PeerLink::Shutdown() {
    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    ShutdownLocked();
}

void PeerLink::ShutdownLocked() {
    if (!m_shut.exchange(true, std::memory_order_acq_rel)) pl::ShutdownSocket(m_fd);
    m_out.clear();
    m_outOffset = 0;
    m_outBytes = 0;
    UnlistQueued();
}

void PeerLink::ListQueued() {
    if (m_listed) return;
    std::shared_ptr<PeerLink> self = weak_from_this().lock();
    if (!self) return;  // not shared: the next send writes on
    {
        std::lock_guard<std::mutex> lock(Queued().mutex);
        Queued().links[m_id] = std::move(self);
        ++Queued().listings;
    }
    m_listed = true;
    NotifyPeerSender();
}

void PeerLink::UnlistQueued() {
    if (!m_listed) return;
    m_listed = false;
    std::shared_ptr<PeerLink> self;  // freed after the lock
    std::lock_guard<std::mutex> lock(Queued().mutex);
    auto it = Queued().links.find(m_id);
    if (it == Queued().links.end()) return;
    self = std::move(it->second);
    Queued().links.erase(it);
}

PeerLink::SendResult PeerLink::Send(const char* data, uint32_t length, uint32_t type, const char* road) {
    uint32_t frameLength = length;
    OutFrame frame;
    frame.bytes.reset(BuildPeerFrame(data, &frameLength, type));
    if (!frame.bytes) return SendResult::kFailed;
    frame.size = frameLength;

    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    if (IsShut() || m_closeWhenSent) return SendResult::kGone;
    if (!m_out.empty() && m_outBytes + frame.size > kPeerSendQueueLimit) {
        TL_WriteLog(3, "%s: socket %d has %llu bytes waiting and takes too little, dropped", road, m_fd,
                    static_cast<unsigned long long>(m_outBytes));
        ShutdownLocked();
        return SendResult::kBroken;
    }
    const bool began = m_out.empty();
    m_outBytes += frame.size;
    m_out.push_back(std::move(frame));
    ++m_framesQueued;
    if (!WriteQueued()) return SendResult::kGone;
    if (m_out.empty()) return SendResult::kSent;
    // The time-out of a queue counts from when it began to wait (a frame
    // that went out whole, the common case, reads no clock).
    if (began) m_lastProgressMs = pl::TickMs();
    ListQueued();
    return SendResult::kQueued;
}

PeerLink::SendResult PeerLink::SendAndWait(const char* data, uint32_t length, uint32_t type, uint32_t timeoutMs,
                                           const char* road) {
    uint64_t frame = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
        const SendResult r = Send(data, length, type, road);
        if (r != SendResult::kQueued) return r;
        frame = m_framesQueued;
    }
    // The socket sender writes on too; whoever finds room first writes,
    // under the send lock, so the frames stay whole and in order.
    while (true) {
        {
            std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
            if (IsShut() || !WriteQueued()) return SendResult::kBroken;
            if (m_framesWritten >= frame) return SendResult::kSent;
            if (ExpireLocked(pl::TickMs(), timeoutMs, road)) return SendResult::kBroken;
        }
        pl::WaitWritable(m_fd, 20);
    }
}

bool PeerLink::WriteQueued() {
    bool progress = false;
    bool ok = true;
    while (!m_out.empty()) {
        OutFrame& front = m_out.front();
        const long n = pl::SendSome(m_fd, front.bytes.get() + m_outOffset, front.size - m_outOffset);
        if (n > 0) {
            progress = true;
            m_outOffset += static_cast<size_t>(n);
            m_outBytes -= static_cast<uint64_t>(n);
            if (m_outOffset == front.size) {
                m_out.pop_front();
                m_outOffset = 0;
                ++m_framesWritten;
            }
            continue;
        }
        if (n < 0 && WouldBlock(errno)) break;
        // Reset, closed, or failed for good: a frame cut short cannot be
        // followed by another.
        ShutdownLocked();
        ok = false;
        break;
    }
    // Read after the writes: a reading taken before them (the socket
    // sender's, once a pass) is never later than the progress time. An
    // emptied queue has no time-out to count.
    if (progress && !m_out.empty()) m_lastProgressMs = pl::TickMs();
    return ok;
}

bool PeerLink::ExpireLocked(uint64_t nowMs, uint32_t timeoutMs, const char* road) {
    if (IsShut() || m_out.empty() || static_cast<int64_t>(nowMs - m_lastProgressMs) < int64_t(timeoutMs)) return false;
    TL_WriteLog(3, "%s: socket %d took nothing for %u ms with %llu bytes waiting, dropped", road, m_fd, timeoutMs,
                static_cast<unsigned long long>(m_outBytes));
    ShutdownLocked();
    return true;
}

bool PeerLink::Flush(uint64_t nowMs, uint32_t timeoutMs, uint64_t* dueMs) {
    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    if (!IsShut() && WriteQueued()) ExpireLocked(nowMs, timeoutMs, "CSocketSend");
    if (IsShut() || m_out.empty()) {
        if (m_closeWhenSent) ShutdownLocked();
        UnlistQueued();
        return false;
    }
    if (dueMs != nullptr) *dueMs = m_lastProgressMs + timeoutMs;
    return true;
}

void PeerLink::CloseWhenSent() {
    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    if (m_out.empty()) {
        ShutdownLocked();
        return;
    }
    m_closeWhenSent = true;
}

uint64_t PeerLink::QueuedBytes() {
    std::lock_guard<std::recursive_mutex> lock(m_sendMutex);
    return m_outBytes;
}

PeerLink::ReadResult PeerLink::RecvPeerFrame(std::vector<PeerFrame>* frames, uint64_t nowMs, uint32_t frameTimeoutMs) {
    if (IsShut()) return ReadResult::kClosed;
    if (m_buffer.empty()) m_buffer.resize(kReadChunk);
    m_reader.SetMaxBody(LoggedIn() ? kPeerMaxBody : m_preLoginMaxBody);
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

void CollectQueuedPeerLinks(std::vector<std::shared_ptr<PeerLink>>* out) {
    std::lock_guard<std::mutex> lock(Queued().mutex);
    for (const auto& [id, link] : Queued().links) out->push_back(link);
    Queued().collected = Queued().listings;
}

void ShutdownQueuedPeerLinks() {
    std::vector<std::shared_ptr<PeerLink>> links;
    CollectQueuedPeerLinks(&links);
    // Each link leaves the table as it is shut down (under its own lock
    // first, as everywhere).
    for (const auto& link : links) link->Shutdown();
}

int PeerSenderWakeFd() { return Queued().waker.Fd(); }

void WakePeerSender() { Queued().waker.Wake(); }

void NotifyPeerSender() {
    if (Queued().senderWaiting.load(std::memory_order_seq_cst)) Queued().waker.Wake();
}

bool BeginPeerSenderWait() {
    Queued().senderWaiting.store(true, std::memory_order_seq_cst);
    std::lock_guard<std::mutex> lock(Queued().mutex);
    return Queued().listings == Queued().collected;
}

void EndPeerSenderWait() { Queued().senderWaiting.store(false, std::memory_order_seq_cst); }

void DrainPeerSenderWake() { Queued().waker.Drain(); }

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
