// One cascade connection (a child of this instance, or this instance's
// connection to its master) and the process-wide table of connections.
//
// A PeerLink owns its socket. Frames are cut out of received bytes by its
// PeerFrameReader, so a frame may arrive in any number of pieces; a frame
// that has begun and does not complete within the frame time-out marks the
// connection as stalled, and the receive loop drops it instead of waiting.
// Until a child's login is accepted only bodies up to kPeerLoginMaxBody are
// read from it; a larger header ends the stream at once.
//
// Sends never wait (SendAndWait, for a child's requests to its master, waits
// for its own frame only): every frame goes to the link's own queue of whole
// frames, and what the socket takes at once is written at once; the rest is
// written by the socket sender thread (relay.h) as the socket makes room,
// continuing a frame where the last write stopped. One queue per link keeps
// the frames of an answer sent by one thread and of relayed data sent by
// another whole and in order on the wire, and a peer that stops reading
// holds up its own queue only. A link whose queue would pass
// kPeerSendQueueLimit, or that takes no byte for the whole send time-out
// while bytes wait, is shut down (the receive loop then drops it, as any
// closed connection); a peer that keeps taking bytes is never shut for time,
// whichever thread wrote last.
//
// The socket is shut down when the connection is dropped and closed when the
// last reference goes, so a thread still holding the link fails cleanly and
// never reaches another connection that reused the descriptor number.
//
// Every link has a process-unique id, never 0: the value by which the cascade
// names the connection (its request routes, its subscriber value in the
// SubscriptionRegistry, the target of queued sends). 0 stands for the local
// host.
//
// Locks, in the order they may be taken: a link's send lock, then the
// process's table of links with queued bytes. The table of connections has
// a lock of its own, taken alone or under the cascade's set mutex
// (cascade_node.h), never with a link's send lock or the other table's.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cascade/peer_frame.h"

// Bytes a link may hold waiting for its peer: a frame that would take its
// queue beyond this, with another frame still waiting, ends the connection.
// A frame of the largest body always fits into an empty queue.
inline constexpr uint64_t kPeerSendQueueLimit = uint64_t(kPeerMaxBody) + kPeerFrameOverhead;

class PeerLink : public std::enable_shared_from_this<PeerLink> {
public:
    // Takes the socket; peerAddress is the peer's dotted address ("" for a
    // peer on 127.0.0.1, and when unknown). Bodies above preLoginMaxBody are
    // refused until MarkLoggedIn, kPeerMaxBody after it. Links are made with
    // make_shared: a link with bytes left to write lists itself for the
    // socket sender. Whoever sends, flushes or shuts a link holds a
    // reference of its own to it (see UnlistQueued).
    PeerLink(int fd, std::string peerAddress, uint32_t preLoginMaxBody = kPeerMaxBody);
    ~PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    uint64_t Id() const { return m_id; }
    int Fd() const { return m_fd; }
    const std::string& PeerAddress() const { return m_peerAddress; }

    enum class SendResult {
        kSent,    // the whole frame was written
        kQueued,  // the frame waits in the link's queue (behind others, or in part written)
        kGone,    // the connection failed, was shut down or is closing
        kFailed,  // nothing could be framed
        kBroken,  // the queue would pass its limit: the link is shut down
    };
    // Frames length bytes of data as `type`, queues the frame behind those
    // waiting and writes what the socket takes without waiting. A write that
    // fails for another reason than a full buffer shuts the link down. road
    // names the sender in the log of a drop ("SendFramed", ...).
    SendResult Send(const char* data, uint32_t length, uint32_t type, const char* road);
    // Send, then waits until the frame went out whole: kSent, or kBroken
    // (the link shut down) when no byte went out for timeoutMs meanwhile.
    // For a caller that must know its request left (a child's requests to
    // its master), never for the sends to children.
    SendResult SendAndWait(const char* data, uint32_t length, uint32_t type, uint32_t timeoutMs, const char* road);
    // Writes what the socket takes of the queued frames (the socket sender).
    // Shuts the link down when, at nowMs, no byte went out for timeoutMs
    // while bytes waited; a nowMs read before another thread's write (older
    // than the last progress) is no time-out. True while bytes wait
    // afterwards, with *dueMs the time at which that time-out ends; false
    // when the queue is empty or the link is shut (the link has then left
    // the table of links with queued bytes).
    bool Flush(uint64_t nowMs, uint32_t timeoutMs, uint64_t* dueMs);
    // Ends the connection once the queued frames have gone out (at once when
    // none wait); later sends fail. A link that takes no byte meanwhile is
    // shut down by the send time-out.
    void CloseWhenSent();
    // Bytes waiting in the queue.
    uint64_t QueuedBytes();

    enum class ReadResult {
        kOk,
        kClosed,    // the peer closed, or the connection failed
        kBadFrame,  // bytes that are no frame (magic, type, length above the cap)
        kStalled,   // a frame began more than the frame time-out ago and is still incomplete
    };
    // Reads what has arrived without waiting (at most a bounded amount per
    // call) and appends the frames it completes. Frames completed before a
    // failure are still appended. Called by one thread only.
    ReadResult RecvPeerFrame(std::vector<PeerFrame>* frames, uint64_t nowMs, uint32_t frameTimeoutMs);
    // kStalled when a frame is under way for longer than frameTimeoutMs.
    ReadResult CheckStall(uint64_t nowMs, uint32_t frameTimeoutMs) const;
    // Why the last read stopped with kBadFrame (a kPeerErr value), on the
    // reading thread.
    uint32_t FrameError() const { return m_reader.Error(); }

    // A child connection is served (its queries and subscription changes)
    // only once its login was accepted.
    void MarkLoggedIn() { m_loggedIn.store(true, std::memory_order_release); }
    bool LoggedIn() const { return m_loggedIn.load(std::memory_order_acquire); }

    // Ends the connection both ways; later sends and receives fail.
    void Shutdown();
    bool IsShut() const { return m_shut.load(std::memory_order_acquire); }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    struct OutFrame {
        std::unique_ptr<char, Free> bytes;
        size_t size = 0;
    };
    // Under m_sendMutex: writes queued bytes until the socket is full; false
    // when the write failed and the link was shut down.
    bool WriteQueued();
    // Under m_sendMutex: the one rule of the send time-out. When bytes wait
    // and no byte went out for timeoutMs at nowMs, logs the drop as road's
    // and shuts the link down (true). A nowMs older than the progress time
    // (read before another thread wrote) is no time-out.
    bool ExpireLocked(uint64_t nowMs, uint32_t timeoutMs, const char* road);
    void ShutdownLocked();
    void ListQueued();
    // Under m_sendMutex: leaves the table of links with queued bytes. Its
    // reference goes after the table's lock but under the send lock: the
    // caller of the public operation holds another, so it is never the last.
    void UnlistQueued();

    const uint64_t m_id;
    const int m_fd;
    const std::string m_peerAddress;
    const uint32_t m_preLoginMaxBody;
    std::atomic<bool> m_shut{false};
    std::atomic<bool> m_loggedIn{false};
    std::recursive_mutex m_sendMutex;
    // Under m_sendMutex: the frames waiting and their counts, how much of the
    // first went out, the bytes left in all, the progress time (a clock
    // reading taken under the lock after the last write that took bytes and
    // left some waiting, or once a frame the empty queue got did not go out
    // whole, whichever came last: the send time-out counts from it; it means
    // nothing while the queue is empty), whether the link is in the table of
    // links with queued bytes, and whether it ends once they are out.
    std::deque<OutFrame> m_out;
    uint64_t m_framesQueued = 0;   // frames ever queued
    uint64_t m_framesWritten = 0;  // of those, frames written whole
    size_t m_outOffset = 0;
    uint64_t m_outBytes = 0;
    uint64_t m_lastProgressMs = 0;
    bool m_listed = false;
    bool m_closeWhenSent = false;
    PeerFrameReader m_reader;
    uint64_t m_frameStartMs = 0;
    std::vector<char> m_buffer;
};

// The connections of the process, by id: the socket sender finds the
// connection of a queued send here. Each operation takes the table's own
// lock and nothing else.
void RegisterPeerLink(const std::shared_ptr<PeerLink>& link);
std::shared_ptr<PeerLink> FindPeerLink(uint64_t id);
// Removes and returns the link (null when unknown).
std::shared_ptr<PeerLink> UnregisterPeerLink(uint64_t id);

// The links with bytes waiting to be written, for the socket sender: a copy
// of the table. A link enters it when a send leaves bytes queued and leaves
// it when its queue is empty or it is shut down.
void CollectQueuedPeerLinks(std::vector<std::shared_ptr<PeerLink>>* out);
// Shuts down every link of that table and empties it (the socket sender
// stops for good: nothing would write their bytes).
void ShutdownQueuedPeerLinks();

// The socket sender's wake-up: a descriptor (-1 when none could be made)
// that becomes readable when WakePeerSender is called, or when work comes
// (a link enters the table, NotifyPeerSender) while the sender announced a
// wait; DrainPeerSenderWake consumes it. Work that comes while the sender
// is busy costs no system call.
//
// The sender calls BeginPeerSenderWait before its last look for work (its
// item queue), waits only when that look finds none and Begin returned true
// (no link entered the table since its last CollectQueuedPeerLinks), and
// calls EndPeerSenderWait after. No wake-up is lost: the announcement and
// the notifier's look at it are sequentially consistent, and each side
// takes the lock of the work between them (the notifier after adding it,
// the sender to look), so either the sender's look finds the work or the
// notifier finds the wait announced.
int PeerSenderWakeFd();
void WakePeerSender();
void NotifyPeerSender();
bool BeginPeerSenderWait();
void EndPeerSenderWait();
void DrainPeerSenderWake();

// Opens a TCP connection to address:port (a dotted address or a host name)
// within timeoutMs, sets its send and receive buffers to bufferBytes and
// leaves it in blocking mode. The socket, or -1.
int ConnectPeer(const std::string& address, uint16_t port, uint32_t timeoutMs, int bufferBytes);

// Send and receive buffers of every cascade socket (1 MiB - 1).
inline constexpr int kPeerSocketBuffer = 1048575;
