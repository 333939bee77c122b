// A completion port over epoll.
//
// The socket engine is written around a completion model: operations are
// posted on a socket, and their results come back later as completion packets
// that a fixed set of completion threads take from the port. This file gives
// that model on Linux:
//
//  - the owner's completion threads call Dequeue, which waits in epoll_wait
//    itself: the thread that a socket's readiness wakes performs the
//    non-blocking recv/send of the operations posted on that handle and
//    returns the completion it made, so a receive reaches the thread that
//    handles it without a hand-off between threads. Completions made
//    elsewhere (posted ones, sends the socket took at once, cancellations)
//    wait in a queue, and an eventfd in the epoll set wakes one thread for
//    them. No thread of the port ever calls back into the owner of a socket;
//  - the two sources take turns in each thread: a call that took a queued
//    packet first looks (without waiting) for a ready socket on the next
//    call, and a call that served a socket takes from the queue first on the
//    next one. So a busy queue (sends restarted from each send completion)
//    cannot keep a readable socket waiting, nor a flood of readable sockets
//    the queue;
//  - at most one receive and one send are pending per handle; a receive is
//    one recv of at most the posted length (never drained until EAGAIN), so
//    the next receive can only come from the completion thread that handled
//    the previous one;
//  - handles are armed one-shot, so one readiness wakes one thread, and a
//    handle is serviced under its own mutex;
//  - epoll events carry handle ids; an id that is no longer registered is
//    ignored, so a stale event can never touch a closed socket or a reused
//    descriptor number;
//  - every send uses MSG_NOSIGNAL, so a reset peer never raises SIGPIPE.
//
// Locks of this layer, in the order they may be taken: a handle's mutex,
// then the registry mutex, the queue mutex or the lingering mutex (never two
// of them). They are leaves: nothing outside this file is called while they
// are held. Like every lock of the library they are recursive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace pl {

// The record of one kind of operation of a connection (its receive or its
// send). `kind` says what a completion means to the owner; `inflight` is
// raised by the owner when it posts the operation and lowered after the
// completion was handled, so the owner can tell when nothing refers to it.
struct IoOperation {
    std::atomic<uint32_t> kind{0};
    std::atomic<uint32_t> inflight{0};
};

// One completion. key == 0 is the keyless wake-up used to stop the workers.
struct IoPacket {
    uintptr_t key = 0;
    IoOperation* op = nullptr;
    uint32_t bytes = 0;
    int error = 0;  // 0 when the operation succeeded, else an errno value
};

class IoPort {
public:
    using HandleId = uint64_t;

    IoPort();
    ~IoPort();
    IoPort(const IoPort&) = delete;
    IoPort& operator=(const IoPort&) = delete;

    // Creates the epoll set and the wake-up eventfd. Returns 0 or an errno
    // value; a port can be created once.
    int Create();
    // Ends the port (a second call does nothing): marks it shut (IsOpen
    // turns false), empties the queue and wakes the threads waiting in
    // Dequeue. It does not wait for the threads in Dequeue.
    //
    // After the mark a call of Dequeue returns a packet only when it had
    // taken it from the queue before Shutdown emptied it, or had made it
    // from a socket and still found the port open after that: such a call
    // may return it even after Shutdown has returned (one packet per call,
    // so at most one per thread that was in Dequeue). Every other call
    // returns false: one that starts after the mark, and one that had no
    // packet yet when the mark came; a thread waiting in epoll_wait is woken
    // and drops whatever it was woken for, and a thread that was serving a
    // socket drops the completion it made. Packets still queued are dropped,
    // and so is every packet queued later (posted, or made by Close or
    // StartSend): none is ever returned.
    //
    // So Shutdown alone does not make the operations and keys of the packets
    // unused: a packet returned just before or just after it is still being
    // handled by its thread. The owner stops and joins the threads that call
    // Dequeue before it frees what its packets point to, or keeps that alive
    // for as long as a thread it leaves behind may come back; and it destroys
    // the port only once no thread calls into it.
    //
    // Sockets still lingering after a Close that let their sends arrive are
    // reset and closed now. Handles still registered keep their sockets until
    // Close is called on them. The port's own descriptors stay open until it
    // is destroyed, so that a thread still on its way into epoll_wait never
    // waits on a closed or reused number.
    void Shutdown();
    bool IsOpen() const { return m_open.load(std::memory_order_acquire); }

    // Registers a connected non-blocking socket under a key. The port owns
    // the descriptor from now on (Close closes it). Returns 0 on failure.
    // Ids are unique in the process, never reused, and never shared between
    // ports: an id kept by a thread left behind by an earlier port cannot
    // name a handle of a later one.
    HandleId Associate(int fd, uintptr_t key);

    // Queues a packet (success) for the completion threads.
    void Post(uintptr_t key, IoOperation* op, uint32_t bytes);
    // Queues one keyless packet per call: the stop wake-up.
    void PostWake();

    // Waits for the next packet; timeoutMs < 0 waits without limit. Returns
    // false on time-out, when epoll_wait fails, and once the port is shut
    // down (save a call that already had its packet: see Shutdown). Each
    // thread alternates between the queue and the sockets (see above); the
    // turn is kept per thread.
    bool Dequeue(IoPacket& out, int timeoutMs = -1);

    // Posts one receive of at most len bytes into buf. Returns 0, EBUSY when
    // a receive is already pending, EBADF when the handle is closed or gone.
    int StartRecv(HandleId id, IoOperation* op, void* buf, uint32_t len);
    // Posts one send of buf[0..len). A send that the socket takes at once is
    // still reported through a packet, never inline. Returns 0, EBUSY when a
    // send is pending, EBADF when closed, or the errno of a failed send.
    int StartSend(HandleId id, IoOperation* op, const void* buf, uint32_t len);

    // How Close treats the data in flight: bytes a completed send handed to
    // the socket may still wait in its send buffer, unsent or unacknowledged.
    enum class CloseMode {
        // Reset at once (SO_LINGER 0): whatever the peer has not received
        // yet is discarded. For errors and stops.
        kAbort,
        // Sending is shut down (the peer reads the end of the stream after
        // the last byte) and the socket lingers in the port for up to
        // kLingerMs while the peer takes the data; what the peer sends
        // meanwhile is read and discarded (unread data would make the close
        // a reset). It is closed once the peer has acknowledged everything,
        // and reset when the peer resets it or the time is up. The lingering
        // is finished by FinishLingering, or by Shutdown and the destructor,
        // which reset it at once.
        kLetSendsArrive,
    };
    static constexpr int kLingerMs = 1000;

    // Closes the handle: it leaves the epoll set at once, every pending
    // operation completes with ECANCELED through the queue, and the socket
    // is closed as mode says (on a port shut down: always reset). Idempotent.
    void Close(HandleId id, CloseMode mode = CloseMode::kAbort);

    // Finishes the lingering sockets that are done (acknowledged, reset by
    // the peer, or past their time); reads and discards what their peers
    // sent. Meant to be called periodically (the engine's idle pass).
    // Returns how many still linger.
    size_t FinishLingering();

    // Number of queued packets (tests and diagnostics).
    size_t QueuedPackets();

private:
    struct Handle {
        std::recursive_mutex mutex;
        int fd = -1;
        uintptr_t key = 0;
        HandleId id = 0;
        IoOperation* recvOp = nullptr;
        void* recvBuf = nullptr;
        uint32_t recvLen = 0;
        IoOperation* sendOp = nullptr;
        const void* sendBuf = nullptr;
        uint32_t sendLen = 0;
    };
    using HandlePtr = std::shared_ptr<Handle>;

    struct Lingering {
        int fd;
        int64_t deadlineMs;  // steady clock
    };

    HandlePtr Find(HandleId id);
    // Keeps a socket whose sending side is shut until its data has arrived;
    // resets it at once on a port shut down.
    void Linger(int fd);
    // Ends every lingering socket when all is set, else the done ones.
    size_t EndLingering(bool all);
    void Arm(Handle& h);  // handle mutex held
    void Push(const IoPacket& p);
    void Wake();
    bool TakeQueued(IoPacket& out);
    // Performs the pending operations of a ready handle; returns how many
    // completions it wrote to out (0 to 2).
    int ServiceHandle(const HandlePtr& h, IoPacket out[2]);

    std::atomic<bool> m_open{false};
    // Set by Create, closed by the destructor only.
    int m_epoll = -1;
    int m_wake = -1;

    std::recursive_mutex m_regMutex;
    std::unordered_map<HandleId, HandlePtr> m_handles;

    std::recursive_mutex m_queueMutex;
    std::deque<IoPacket> m_queue;

    std::recursive_mutex m_lingerMutex;
    std::vector<Lingering> m_lingering;
};

}  // namespace pl
