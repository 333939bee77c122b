#include "platform/pl_completion_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/pl_socket.h"

namespace pl {

namespace {
// epoll data of the wake-up eventfd; handle ids start at 1.
constexpr uint64_t kWakeId = 0;

// Handle ids of every port of the process.
std::atomic<uint64_t> g_nextHandleId{1};

// Whether this thread's next Dequeue looks for a ready socket before it
// takes from the queue (the turn of the sources, kept per thread).
thread_local bool t_socketsFirst = false;

// How many zero-time looks at epoll a call that gives the sockets their turn
// makes at most before it goes on to the queue: a wake-up of the queue or a
// socket that had nothing after all may come first.
constexpr int kSocketLooks = 4;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ResetAndClose(int fd) {
    SetLingerReset(fd);
    ::close(fd);
}

// The completion of op on the handle with key: a transfer's result n (bytes
// when positive, 0 for a receive that met the end of the stream, negative
// when it failed with errno), or error for an operation that never ran.
IoPacket Completion(uintptr_t key, IoOperation* op, ssize_t n, int error = 0) {
    IoPacket p;
    p.key = key;
    p.op = op;
    if (n > 0) p.bytes = static_cast<uint32_t>(n);
    p.error = n < 0 ? errno : error;
    return p;
}
}  // namespace

IoPort::IoPort() = default;

IoPort::~IoPort() {
    Shutdown();
    EndLingering(true);  // parked after the shutdown
    std::unordered_map<HandleId, HandlePtr> rest;
    {
        std::lock_guard<std::recursive_mutex> g(m_regMutex);
        rest.swap(m_handles);
    }
    for (auto& kv : rest) {
        std::lock_guard<std::recursive_mutex> g(kv.second->mutex);
        if (kv.second->fd >= 0) {
            ::close(kv.second->fd);
            kv.second->fd = -1;
        }
    }
    if (m_epoll >= 0) ::close(m_epoll);
    if (m_wake >= 0) ::close(m_wake);
}

int IoPort::Create() {
    if (m_open.load() || m_epoll >= 0) return EEXIST;
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return errno;
    int wk = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wk < 0) {
        int e = errno;
        ::close(ep);
        return e;
    }
    // Edge-triggered: each write wakes one waiting thread, not all of them.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeId;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, wk, &ev) != 0) {
        int e = errno;
        ::close(wk);
        ::close(ep);
        return e;
    }
    m_epoll = ep;
    m_wake = wk;
    m_open.store(true, std::memory_order_release);
    return 0;
}

void IoPort::Shutdown() {
    // The threads in Dequeue are not waited for: one that has taken its
    // packet still returns it. Waiting would not spare the owner its join
    // (the packet's handling comes after the return) and would cost every
    // Dequeue a shared counter.
    if (!m_open.exchange(false, std::memory_order_acq_rel)) return;
    {
        std::lock_guard<std::recursive_mutex> g(m_queueMutex);
        m_queue.clear();
    }
    // A thread waiting in Dequeue wakes, sees the port shut, and wakes the
    // next one on its way out.
    Wake();
    // A stop does not wait for peers.
    EndLingering(true);
}

IoPort::HandleId IoPort::Associate(int fd, uintptr_t key) {
    if (fd < 0 || !m_open.load(std::memory_order_acquire)) return 0;
    auto h = std::make_shared<Handle>();
    h->fd = fd;
    h->key = key;
    h->id = g_nextHandleId.fetch_add(1, std::memory_order_relaxed);
    epoll_event ev{};
    ev.events = EPOLLONESHOT;  // armed only while an operation is pending
    ev.data.u64 = h->id;
    std::lock_guard<std::recursive_mutex> g(m_regMutex);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    m_handles.emplace(h->id, h);
    return h->id;
}

IoPort::HandlePtr IoPort::Find(HandleId id) {
    std::lock_guard<std::recursive_mutex> g(m_regMutex);
    auto it = m_handles.find(id);
    return it == m_handles.end() ? nullptr : it->second;
}

void IoPort::Arm(Handle& h) {
    uint32_t events = 0;
    if (h.recvOp) events |= EPOLLIN | EPOLLRDHUP;
    if (h.sendOp) events |= EPOLLOUT;
    if (!events || h.fd < 0) return;
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.u64 = h.id;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, h.fd, &ev);
}

void IoPort::Wake() {
    if (m_wake < 0) return;
    uint64_t one = 1;
    ssize_t r = ::write(m_wake, &one, sizeof one);
    (void)r;
}

void IoPort::Push(const IoPacket& p) {
    {
        std::lock_guard<std::recursive_mutex> g(m_queueMutex);
        m_queue.push_back(p);
    }
    Wake();
}

void IoPort::Post(uintptr_t key, IoOperation* op, uint32_t bytes) { Push(Completion(key, op, bytes)); }

void IoPort::PostWake() { Push(IoPacket{}); }

bool IoPort::TakeQueued(IoPacket& out) {
    bool more;
    {
        std::lock_guard<std::recursive_mutex> g(m_queueMutex);
        // Checked under the lock: a shutdown empties the queue under it.
        if (m_queue.empty() || !m_open.load(std::memory_order_acquire)) return false;
        out = m_queue.front();
        m_queue.pop_front();
        more = !m_queue.empty();
    }
    // One wake-up may stand for several packets: pass the rest on.
    if (more) Wake();
    return true;
}

bool IoPort::Dequeue(IoPacket& out, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    // On the sockets' turn epoll is looked at first, without waiting; when
    // no socket is ready the call goes on as on the queue's turn: the queue,
    // then epoll with the caller's time-out.
    bool socketLook = t_socketsFirst;
    int looks = 0;
    // A wake-up of the queue that this call took from epoll while it looked
    // for a socket. The eventfd is edge-triggered, so nobody else is woken
    // for the packets it stands for: this call serves the queue next, or
    // passes the wake-up on when it returns a socket's completion instead.
    bool wakeTaken = false;
    for (;;) {
        if (!m_open.load(std::memory_order_acquire)) {
            Wake();
            return false;
        }
        if (!socketLook) {
            if (TakeQueued(out)) {
                t_socketsFirst = true;
                return true;
            }
            wakeTaken = false;  // the queue was looked at
        }
        int wait = 0;
        if (!socketLook) {
            wait = -1;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait = static_cast<int>(std::max<int64_t>(left, 0));
            }
        }
        epoll_event ev;
        const int n = ::epoll_wait(m_epoll, &ev, 1, wait);
        // Whatever woke a thread after a shutdown is dropped.
        if (!m_open.load(std::memory_order_acquire)) {
            Wake();
            return false;
        }
        if (n < 0 && errno != EINTR) {
            if (wakeTaken) Wake();
            return false;
        }
        if (socketLook && (n <= 0 || ++looks >= kSocketLooks)) socketLook = false;
        if (n <= 0) {
            if (wait == 0 && timeoutMs >= 0 && Clock::now() >= deadline) {
                if (TakeQueued(out)) {
                    t_socketsFirst = true;
                    return true;
                }
                if (wakeTaken) Wake();
                return false;
            }
            continue;
        }
        if (ev.data.u64 == kWakeId) {
            uint64_t v;
            ssize_t r = ::read(m_wake, &v, sizeof v);
            (void)r;
            wakeTaken = true;
            continue;
        }
        HandlePtr h = Find(ev.data.u64);
        if (!h) continue;
        IoPacket made[2];
        const int k = ServiceHandle(h, made);
        if (k == 0) continue;
        if (k == 2) Push(made[1]);
        // A shutdown that came while the socket was served drops what it
        // made, like the packets it found queued.
        if (!m_open.load(std::memory_order_acquire)) {
            Wake();
            return false;
        }
        if (wakeTaken) Wake();
        t_socketsFirst = false;
        out = made[0];
        return true;
    }
}

size_t IoPort::QueuedPackets() {
    std::lock_guard<std::recursive_mutex> g(m_queueMutex);
    return m_queue.size();
}

int IoPort::StartRecv(HandleId id, IoOperation* op, void* buf, uint32_t len) {
    HandlePtr h = Find(id);
    if (!h) return EBADF;
    if (!buf || len == 0) return EINVAL;
    std::lock_guard<std::recursive_mutex> g(h->mutex);
    if (h->fd < 0) return EBADF;
    if (h->recvOp) return EBUSY;
    h->recvOp = op;
    h->recvBuf = buf;
    h->recvLen = len;
    Arm(*h);
    return 0;
}

int IoPort::StartSend(HandleId id, IoOperation* op, const void* buf, uint32_t len) {
    HandlePtr h = Find(id);
    if (!h) return EBADF;
    if (!buf || len == 0) return EINVAL;
    std::lock_guard<std::recursive_mutex> g(h->mutex);
    if (h->fd < 0) return EBADF;
    if (h->sendOp) return EBUSY;
    for (;;) {
        ssize_t n = ::send(h->fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            Push(Completion(h->key, op, n));
            return 0;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            h->sendOp = op;
            h->sendBuf = buf;
            h->sendLen = len;
            Arm(*h);
            return 0;
        }
        return n < 0 ? errno : EIO;
    }
}

void IoPort::Close(HandleId id, CloseMode mode) {
    HandlePtr h;
    {
        std::lock_guard<std::recursive_mutex> g(m_regMutex);
        auto it = m_handles.find(id);
        if (it == m_handles.end()) return;
        h = it->second;
        m_handles.erase(it);
    }
    std::lock_guard<std::recursive_mutex> g(h->mutex);
    if (h->fd < 0) return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, h->fd, nullptr);
    for (IoOperation** op : {&h->recvOp, &h->sendOp}) {
        if (*op) Push(Completion(h->key, *op, 0, ECANCELED));
        *op = nullptr;
    }
    if (mode == CloseMode::kLetSendsArrive) {
        ::shutdown(h->fd, SHUT_WR);
        Linger(h->fd);
    } else {
        SetLingerReset(h->fd);
        ::shutdown(h->fd, SHUT_WR);
        ::close(h->fd);
    }
    h->fd = -1;
}

void IoPort::Linger(int fd) {
    std::lock_guard<std::recursive_mutex> g(m_lingerMutex);
    // Read under the lock: a shutdown clears the flag before it takes the
    // lock to end the lingering sockets, so none is parked after it.
    if (!m_open.load(std::memory_order_acquire)) {
        ResetAndClose(fd);
        return;
    }
    m_lingering.push_back(Lingering{fd, SteadyMs() + kLingerMs});
}

size_t IoPort::FinishLingering() { return EndLingering(false); }

size_t IoPort::EndLingering(bool all) {
    std::lock_guard<std::recursive_mutex> g(m_lingerMutex);
    if (m_lingering.empty()) return 0;
    const int64_t now = SteadyMs();
    size_t kept = 0;
    for (Lingering& l : m_lingering) {
        if (all) {
            ResetAndClose(l.fd);
            continue;
        }
        // What the peer sent is read and dropped (bounded per call: a peer
        // that sends without end is cut off by the time limit).
        bool failed = false;
        char sink[16384];
        for (int i = 0; i < 64; ++i) {
            const ssize_t n = ::recv(l.fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            // The end of the peer's stream (0) is no reason to stop: a peer
            // that shut only its sending side still reads.
            failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        int unacked = 0;
        if (!failed && ::ioctl(l.fd, SIOCOUTQ, &unacked) != 0) failed = true;
        if (!failed && unacked == 0) {
            ::close(l.fd);  // everything, the end of the stream included, was acknowledged
        } else if (failed || now >= l.deadlineMs) {
            ResetAndClose(l.fd);
        } else {
            m_lingering[kept++] = l;
        }
    }
    m_lingering.resize(kept);
    return kept;
}

int IoPort::ServiceHandle(const HandlePtr& h, IoPacket out[2]) {
    int made = 0;
    std::lock_guard<std::recursive_mutex> g(h->mutex);
    if (h->fd < 0) return 0;
    if (h->recvOp) {
        ssize_t n;
        do {
            n = ::recv(h->fd, h->recvBuf, h->recvLen, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            out[made++] = Completion(h->key, h->recvOp, n);
            h->recvOp = nullptr;
            h->recvBuf = nullptr;
        }
    }
    if (h->sendOp) {
        ssize_t n;
        do {
            n = ::send(h->fd, h->sendBuf, h->sendLen, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n > 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            out[made++] = Completion(h->key, h->sendOp, n);
            h->sendOp = nullptr;
            h->sendBuf = nullptr;
        }
    }
    Arm(*h);
    return made;
}

}  // namespace pl
