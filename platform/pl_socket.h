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

}  // namespace pl
