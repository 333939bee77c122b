// A TCP test server on 127.0.0.1 (an ephemeral port): one thread accepts
// connections and collects what each peer sends; the test sends, closes or
// resets each connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvotest {

// A listening TCP socket on 127.0.0.1 with an ephemeral port (stored in
// *port); -1 on failure.
int ListenOnLoopback(int backlog, uint16_t* port);

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens and starts the server thread. False on failure.
    bool Start();
    void Stop();
    uint16_t Port() const { return m_port; }

    // While paused the server reads nothing, so the peers' sends back up.
    void SetPaused(bool paused) { m_paused.store(paused); }

    // Bytes sent to every connection as soon as it is accepted.
    void SetGreeting(const std::string& bytes);

    size_t ConnectionCount();
    bool WaitForConnections(size_t n, int timeoutMs);
    // Everything received on connection i so far.
    std::string Received(size_t i);
    bool WaitForBytes(size_t i, size_t n, int timeoutMs);
    // Whether the peer closed connection i (a read gave 0 or an error).
    bool PeerClosed(size_t i);
    bool WaitForPeerClose(size_t i, int timeoutMs);

    // Sends all bytes on connection i (blocking). False on failure.
    bool Send(size_t i, const std::string& bytes);
    // Ends sending on connection i (the peer reads 0 bytes).
    void Close(size_t i);
    // Resets connection i (SO_LINGER 0, then close).
    void Reset(size_t i);

private:
    struct Conn {
        int fd = -1;
        std::string received;
        bool peerClosed = false;
        bool closedHere = false;
    };
    void Run();

    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_paused{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Conn> m_conns;
    std::string m_greeting;
};

}  // namespace kvotest
