// One cascade connection (a child of this instance, or this instance's
// connection to its master) and the process-wide table of connections.
//
// A PeerLink owns its socket. Frames are cut out of received bytes by its
// PeerFrameReader, so a frame may arrive in any number of pieces; a frame
// that has begun and does not complete within the frame time-out marks the
// connection as stalled, and the receive loop drops it instead of waiting.
// Sends go out as whole frames under the link's send lock, so an answer sent
// by one thread and relayed data sent by another never interleave on the
// wire; a send that cannot finish within its time-out ends the connection
// (half a frame would break the framing for good).
//
// The socket is shut down when the connection is dropped and closed when the
// last reference goes, so a thread still holding the link fails cleanly and
// never reaches another connection that reused the descriptor number.
//
// Every link has a process-unique id, never 0: the value by which the cascade
// names the connection (its request routes, its subscriber value in the
// SubscriptionRegistry, the target of queued sends). 0 stands for the local
// host.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cascade/peer_frame.h"

class PeerLink {
public:
    // Takes the socket; peerAddress is the peer's dotted address ("" for a
    // peer on 127.0.0.1, and when unknown).
    PeerLink(int fd, std::string peerAddress);
    ~PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    uint64_t Id() const { return m_id; }
    int Fd() const { return m_fd; }
    const std::string& PeerAddress() const { return m_peerAddress; }

    enum class SendResult {
        kSent,
        kGone,    // the connection was reset or already shut down
        kFailed,  // nothing could be framed or sent
        kBroken,  // the frame went out in part only, or not within the time-out: the link is shut down
    };
    // Frames length bytes of data as `type` and sends the whole frame,
    // waiting for room at most timeoutMs in all. A send refused for another
    // reason than a full buffer or a reset is tried once more after 2 ms.
    SendResult Send(const char* data, uint32_t length, uint32_t type, uint32_t timeoutMs);

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

    // A child connection is served (its queries and subscription changes)
    // only once its login was accepted.
    void MarkLoggedIn() { m_loggedIn.store(true, std::memory_order_release); }
    bool LoggedIn() const { return m_loggedIn.load(std::memory_order_acquire); }

    // Ends the connection both ways; later sends and receives fail.
    void Shutdown();
    bool IsShut() const { return m_shut.load(std::memory_order_acquire); }

private:
    const uint64_t m_id;
    const int m_fd;
    const std::string m_peerAddress;
    std::atomic<bool> m_shut{false};
    std::atomic<bool> m_loggedIn{false};
    std::recursive_mutex m_sendMutex;
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

// Opens a TCP connection to address:port (a dotted address or a host name)
// within timeoutMs, sets its send and receive buffers to bufferBytes and
// leaves it in blocking mode. The socket, or -1.
int ConnectPeer(const std::string& address, uint16_t port, uint32_t timeoutMs, int bufferBytes);

// Send and receive buffers of every cascade socket (1 MiB - 1).
inline constexpr int kPeerSocketBuffer = 1048575;
