// A fake proxy on 127.0.0.1 (an ephemeral port) that speaks the server side
// of the HTTP CONNECT, SOCKS4/4a and SOCKS5 handshakes, written from the
// protocols (RFC 1928, RFC 1929, the SOCKS4 and SOCKS4a notes, RFC 7231
// CONNECT). On success it connects to the requested loopback target and
// relays bytes both ways; a script makes it ask for a login, refuse, or cut
// its reply short. Every connection runs on its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvotest {

class FakeProxy {
public:
    enum class Kind { Http, Socks4, Socks5 };

    struct Script {
        Kind kind = Kind::Socks5;
        // A login the client must give (SOCKS5 user name/password method,
        // HTTP Basic credential); empty user: none asked for.
        std::string user;
        std::string password;
        // SOCKS5: the method chosen whatever the client offered (-1: choose
        // by the rules: 0x02 when a login is asked for and offered, 0x00 when
        // none is asked for and offered, else 0xFF).
        int forceMethod = -1;
        // The refusal to send instead of success: the SOCKS4 status byte,
        // the SOCKS5 connect reply code, or the HTTP status line (e.g.
        // "HTTP/1.0 403 Forbidden"). -1 / empty: no refusal.
        int refuseCode = -1;
        std::string refuseLine;
        // Sends only the first byte of its first reply, then closes.
        bool truncate = false;
        // Bytes sent right after the final reply, in the same write.
        std::string trailer;
        // Host names this proxy resolves (to IPv4 texts, loopback only).
        std::map<std::string, std::string> names;
    };

    FakeProxy();
    ~FakeProxy();
    FakeProxy(const FakeProxy&) = delete;
    FakeProxy& operator=(const FakeProxy&) = delete;

    bool Start(const Script& script);
    void Stop();
    uint16_t Port() const { return m_port; }

    // The handshake bytes connection i sent before its tunnel stood (or
    // before it was refused), once that connection's handshake has ended.
    bool WaitForHandshakes(size_t n, int timeoutMs);
    std::string Request(size_t i);
    // The target the client asked for on connection i ("host:port").
    std::string Target(size_t i);

private:
    struct Record {
        std::string request;
        std::string target;
    };
    void AcceptLoop();
    void Serve(int fd);
    // Runs the handshake; true with the target socket when the tunnel stands.
    bool Handshake(int fd, Record& rec, int& target);
    bool HandshakeSocks4(int fd, Record& rec, int& target);
    bool HandshakeSocks5(int fd, Record& rec, int& target);
    bool HandshakeHttp(int fd, Record& rec, int& target);
    void Relay(int a, int b);
    // Reads exactly n bytes into out (appending them to rec.request).
    bool ReadExact(int fd, size_t n, std::string& out, Record& rec);
    // Reads up to a zero byte (at most limit bytes).
    bool ReadUntilZero(int fd, std::string& out, Record& rec, size_t limit);
    // Sends a reply (the trailer after the last one); with truncate only its
    // first byte, answering false. Refuse sends a last reply and answers false.
    bool SendReply(int fd, const std::string& bytes, bool last);
    bool Refuse(int fd, const std::string& bytes);
    // A socket connected to host:port when host is (or names) a loopback
    // IPv4 address; -1 otherwise.
    int ConnectTarget(const std::string& host, uint16_t port);
    void Finish(Record rec);

    Script m_script;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_accept;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::thread> m_workers;
    std::vector<int> m_fds;  // every socket a worker uses, shut down by Stop
    std::vector<Record> m_done;
};

}  // namespace kvotest
