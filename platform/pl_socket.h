// Small wrappers over the BSD socket calls the socket engine needs: IPv4 TCP
// sockets that never block, name resolution, connect completion, listening
// and accepting, and the socket options the engine sets.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace pl {

// A non-blocking, close-on-exec IPv4 stream socket, or -1 (errno set).
int SocketTcp();

// Fills addr with host and port (network order). Returns 0 for a dotted or
// resolved address, 1 for an empty host (the any-address), -1 when the name
// cannot be resolved. Thread-safe (getaddrinfo).
int ResolveIPv4(const char* host, uint16_t port, sockaddr_in& addr);

// Starts a non-blocking connect. Returns 0 when connected at once,
// EINPROGRESS when pending, or another errno value.
int ConnectStart(int fd, const sockaddr_in& addr);

// Waits up to timeoutMs for a pending connect to finish. Returns 1 when it
// finished (err receives SO_ERROR: 0 on success), 0 on time-out, -1 when the
// wait itself failed.
int ConnectWait(int fd, int timeoutMs, int& err);

// Binds and listens. Returns 0, or -1 when bind failed, -2 when listen
// failed (errno set).
int ListenOn(int fd, const sockaddr_in& addr, int backlog);

// Waits up to timeoutMs for a connection to accept. 1 readable, 0 time-out,
// -1 failure.
int WaitReadable(int fd, int timeoutMs);

// Accepts one connection as a non-blocking, close-on-exec socket, or -1.
int AcceptOne(int listenFd, sockaddr_in* peer);

int SetNoDelay(int fd, bool on);
int SetLingerReset(int fd);
void CloseSocket(int fd);

// The local port a socket is bound to (host order), 0 on failure.
uint16_t LocalPort(int fd);

// "a.b.c.d" of an IPv4 address.
std::string AddressText(const sockaddr_in& addr);

// Blocking (true) or non-blocking mode. 0, or -1 (errno set).
int SetBlocking(int fd, bool blocking);

// SO_RCVBUF and SO_SNDBUF both set to bytes (the system may cap them).
// 0 when both were accepted.
int SetBuffers(int fd, int bytes);

// One receive that never waits, on a blocking socket too: the bytes read, 0
// when the peer closed, or -1 (errno set; EAGAIN or EWOULDBLOCK when nothing
// is ready). EINTR is retried.
long RecvSome(int fd, void* buf, size_t n);

// One send that never waits and never raises SIGPIPE: the bytes sent (may be
// fewer than n), or -1 (errno set; EAGAIN or EWOULDBLOCK when the send
// buffer is full, EPIPE or ECONNRESET when the connection is gone). EINTR is
// retried.
long SendSome(int fd, const void* buf, size_t n);

// Waits up to timeoutMs for room to send. 1 writable, 0 time-out, -1 when
// the socket failed or the wait itself failed.
int WaitWritable(int fd, int timeoutMs);

// Waits up to timeoutMs until one of n sockets is readable (or failed,
// which a read then reports). ready[i] tells which; returns how many are
// ready, 0 on time-out, -1 when the wait itself failed.
int PollReadable(const int* fds, bool* ready, size_t n, int timeoutMs);

// Waits up to timeoutMs until fds[0] is readable or one of the others has
// room to send (or failed, which a send then reports). A descriptor of -1 is
// passed over. The number ready, 0 on time-out, -1 when the wait itself
// failed.
int WaitReadableOrSendable(const int* fds, size_t n, int timeoutMs);

// "a.b.c.d" of the connected peer, empty when unknown.
std::string PeerAddressText(int fd);

// Ends both directions of a connection without closing the descriptor:
// threads blocked on it wake and fail, and the descriptor number cannot be
// reused until it is closed.
void ShutdownSocket(int fd);

// A descriptor that a poller watches beside its sockets, so that another
// thread can wake the poll at once (an eventfd).
class PollWaker {
public:
    PollWaker();
    ~PollWaker();
    PollWaker(const PollWaker&) = delete;
    PollWaker& operator=(const PollWaker&) = delete;

    // -1 when none could be made (pollers then rely on their time-outs).
    int Fd() const { return m_fd; }
    void Wake();
    // Consumes the wake-ups, so that the next poll waits again.
    void Drain();

private:
    int m_fd = -1;
};

}  // namespace pl
