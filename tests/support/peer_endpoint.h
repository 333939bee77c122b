// A raw cascade connection for tests, written from the protocol's
// description: frames of a 12-byte header (u32 magic 0xAA, u32 frame type,
// u32 body length, little-endian), the body and one terminating byte; bodies
// of key:value fields each ended by ",", led or joined by ReqType. A test
// plays a child against a master instance, or a master against a child
// instance, with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kvotest {

struct PeerTestFrame {
    uint32_t magic = 0;
    uint32_t type = 0;
    std::string body;
};

// The value of key in a body's text by the protocol's rule: after the first
// occurrence of the key and one more character, up to the next "," (up to
// and including the next ")" for "codelist"); empty without either.
std::string PeerField(std::string_view body, std::string_view key);
// PeerField read as a decimal number (0 when empty).
long PeerIntField(std::string_view body, std::string_view key);

class PeerEndpoint {
public:
    explicit PeerEndpoint(int fd) : m_fd(fd) {}
    ~PeerEndpoint();
    PeerEndpoint(const PeerEndpoint&) = delete;
    PeerEndpoint& operator=(const PeerEndpoint&) = delete;

    // A connection to 127.0.0.1:port, or null.
    static std::unique_ptr<PeerEndpoint> Connect(uint16_t port);

    int Fd() const { return m_fd; }
    // Sends a frame of the body (or any bytes). False when the send failed.
    bool SendFrame(uint32_t type, std::string_view body);
    bool SendRaw(const std::string& bytes);

    // The next whole frame within timeoutMs; false on time-out or when the
    // connection closed first.
    bool Read(PeerTestFrame* out, int timeoutMs);
    // The next frame whose ReqType is reqType, passing over others.
    bool ReadReq(long reqType, PeerTestFrame* out, int timeoutMs);
    // True when nothing (no byte) arrives within ms.
    bool Silent(int ms);
    // True when the peer closes within timeoutMs (frames before are read
    // and dropped).
    bool WaitClosed(int timeoutMs);
    void Close();

private:
    // Receives what arrives within ms into m_in; false when closed.
    bool Fill(int ms);

    int m_fd = -1;
    bool m_closed = false;
    std::string m_in;
};

// A listening socket on 127.0.0.1 (an ephemeral port): a fake master.
class PeerListener {
public:
    PeerListener();
    ~PeerListener();
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    bool Ok() const { return m_fd >= 0; }
    uint16_t Port() const { return m_port; }
    // The next connection within timeoutMs, or null.
    std::unique_ptr<PeerEndpoint> Accept(int timeoutMs);

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

}  // namespace kvotest
