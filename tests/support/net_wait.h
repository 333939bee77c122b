// Waits and set-up shared by the network tests: polling for a condition,
// driving the engine's check passes, a loopback port nobody listens on, and
// a fixture that starts the engine against a loopback server.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback_server.h"
#include "tests/support/net_recorder.h"

namespace kvotest {

// Milliseconds of the steady clock since t0.
inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// Polls pred every 2 ms until it holds or timeoutMs has passed; gives its
// last answer. For state that callbacks change after they have recorded.
bool Eventually(const std::function<bool()>& pred, int timeoutMs = 5000);

// Runs an engine check pass every stepMs until pred holds or timeoutMs has
// passed; gives pred's last answer. For tests that drive the checks
// themselves (no check thread).
bool CheckPassesUntil(const std::function<bool()>& pred, int timeoutMs = 5000, int stepMs = 10);

// A port on 127.0.0.1 that nobody listens on: bound once to learn a free
// port, then closed. 0 if no socket could be bound.
uint16_t UnusedLoopbackPort();

// A blocking socket connected to 127.0.0.1:port, or -1 if the connect
// failed. The caller closes it.
int ConnectToLoopback(uint16_t port);

// A blocking socket listening on 127.0.0.1 at an ephemeral port (stored in
// port), or -1. The caller closes it.
int ListenOnLoopback(uint16_t& port, int backlog);

// Waits up to timeoutMs for a connection on a listening socket and accepts
// it (close-on-exec); -1 when none came or the accept failed. The caller
// closes it.
int AcceptWithin(int listenFd, int timeoutMs);

// This process's open sockets connected to 127.0.0.1:port.
std::vector<int> SocketsConnectedTo(uint16_t port);

// Sends all bytes on a blocking socket (never raising SIGPIPE). False when
// the socket failed first.
bool SendAll(int fd, const std::string& bytes);

// The engine started with a release delay of 0 (closed links may be
// released at once) and a loopback server to connect to. With checkThread
// false the engine runs no check thread: the test drives checks and idle
// calls. TearDown releases the client first, then stops the engine and
// puts both settings back to their defaults.
class LoopbackEngineTest : public ::testing::Test {
protected:
    explicit LoopbackEngineTest(bool checkThread = false) : m_checkThread(checkThread) {}
    void SetUp() override;
    void TearDown() override;

    LoopbackServer server;
    std::unique_ptr<RecordingClient> client;

private:
    bool m_checkThread;
};

}  // namespace kvotest
