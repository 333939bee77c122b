// A quote gateway for tests and for the example host, on 127.0.0.1.
//
// It accepts the library's connections, reads the frames each one sends with
// its own minimal frame reader (written from the frame layout: 11-byte
// header, magic 0x9E8DA711, total length, packet type, flags; not the
// library's packet filter), records every frame with its arrival time, and
// answers requests as scripted: login, heartbeat, subscription, code-list and
// quote requests, each with any status, silent, late, with a wrong instid, a
// raw body, or a connection fault. Tests push frames of their own in every
// write mode (one frame per write, several in one write, split across writes,
// garbage before a frame) and break connections (close, reset, stop
// listening, stall).
//
// One thread accepts and reads all connections; writes happen on the caller's
// thread (scripted answers on the reading thread, late ones on a timer
// thread). Every public member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace datapacket {
class PushData;
}

namespace kvotest {

// Packet types the simulator knows (the gateway's numbering).
enum SimPacket : uint16_t {
    kSimLoginReq = 1,
    kSimLoginRsp = 2,
    kSimCodelistReq = 3,
    kSimCodelistRsp = 4,
    kSimQuotaReq = 7,
    kSimQuotaRsp = 8,
    kSimSubscribeReq = 9,
    kSimSubscribeRsp = 10,
    kSimFeedback = 14,
    kSimEcho = 15,
    kSimHeartbeat = 16,
    kSimPush = 20,
    kSimElk = 50,
    kSimNotify = 60,
};

// One frame a client sent.
struct SimFrame {
    size_t connection = 0;  // accept order, from 0
    uint64_t atMs = 0;      // ms since the simulator started
    uint16_t type = 0;
    uint8_t flags = 0;
    std::string body;

    // Parses the body as a message of the schema; false when it does not.
    template <class Message>
    bool Parse(Message* out) const {
        return out->ParseFromString(body);
    }
};

// The answer to one request. Fields that do not belong to the request's
// answer message are ignored.
struct SimAnswer {
    enum Mode {
        kAnswer,  // send the answer (after delayMs)
        kSilent,  // send nothing
        kClose,   // close the connection (FIN) instead of answering
        kReset,   // reset the connection (RST) instead of answering
    };
    Mode mode = kAnswer;
    uint32_t delayMs = 0;
    int64_t instidDelta = 0;  // added to the request's instid: a wrong id
    int32_t status = 0;
    std::string statusmsg;
    // LoginRsp.
    std::string token;  // empty: "tok-<n>", n counting the logins answered
    std::string expireDate = "20991231";
    int32_t loopbackSample = 0;
    int32_t statsRate = 0;
    // GetCodelistRsp.
    std::string codelist;
    int32_t codecount = -1;  // -1: the number of entries of codelist
    // GetQuotaRsp.
    std::string databuf;
    // Sent as the body instead of the message built from the fields above
    // (a statusmsg that is not UTF-8, a body that does not parse).
    std::optional<std::string> rawBody;
};

// Chooses the answer to a request from the request itself.
using SimRule = std::function<SimAnswer(const SimFrame& request)>;

// How WriteFrames puts several frames on the wire.
enum class SimWrite {
    kOnePerWrite,   // one send per frame
    kOneWrite,      // all frames in one send
    kSplit,         // each frame in two sends, cut after splitAt bytes, with a pause
    kGarbageFirst,  // stray bytes, then all frames, in one send
};

class GatewaySim {
public:
    // port 0 chooses an ephemeral port.
    explicit GatewaySim(uint16_t port = 0);
    ~GatewaySim();
    GatewaySim(const GatewaySim&) = delete;
    GatewaySim& operator=(const GatewaySim&) = delete;

    // Listens and starts the threads; false when the port cannot be bound.
    bool Start();
    // Closes every connection and the listener and ends the threads.
    void Stop();
    uint16_t Port() const { return m_port; }
    // Closes the listener: connects are refused; open connections stay.
    void StopListening();
    // Listens again on the same port.
    bool ResumeListening();

    // ---- script ----

    // The answer to every request of a type (1, 3, 7, 9 or 16).
    void SetAnswer(uint16_t requestType, const SimAnswer& answer);
    // An answer chosen per request (replaces SetAnswer's for that type).
    void SetRule(uint16_t requestType, SimRule rule);
    // Heartbeats (16) are answered with an empty 16 while this is on (the
    // default).
    void SetAnswerHeartbeats(bool on) { m_answerHeartbeats.store(on); }
    // Accept, read and record, but answer nothing.
    void SetSilent(bool on) { m_silent.store(on); }
    // Read nothing at all: the client's sends back up.
    void SetStalled(bool on) { m_stalled.store(on); }
    // Called on the reading thread with every frame a client sends, after it
    // is recorded and answered.
    void SetObserver(std::function<void(const SimFrame&)> observer);
    // Called on the accepting thread with each new connection's index.
    void SetAcceptObserver(std::function<void(size_t)> observer);

    // ---- connections ----

    size_t Accepted() const;
    bool WaitForAccepted(size_t n, int timeoutMs) const;
    // The newest connection's index (0 when none).
    size_t Latest() const;
    bool IsOpen(size_t connection) const;
    // Graceful close (FIN) and reset (RST) of one connection, or of all.
    void Close(size_t connection);
    void Reset(size_t connection);
    void CloseAll();
    // Whether the client closed the connection (a read gave 0 or an error).
    bool PeerClosed(size_t connection) const;
    bool WaitForPeerClose(size_t connection, int timeoutMs) const;

    // ---- writing ----

    bool Write(size_t connection, const std::string& bytes);
    // bytes in two sends: the first splitAt bytes, a pause, the rest.
    bool WriteSplit(size_t connection, const std::string& bytes, size_t splitAt, int pauseMs);
    bool WriteFrames(size_t connection, const std::vector<std::string>& frames, SimWrite mode, size_t splitAt = 6,
                     int pauseMs = 20);
    // To every open connection.
    void Broadcast(const std::string& bytes);

    // ---- what the clients sent ----

    std::vector<SimFrame> Frames() const;
    std::vector<SimFrame> FramesOfType(uint16_t type) const;
    size_t CountOfType(uint16_t type) const;
    // Waits until pred holds over the recorded frames.
    bool WaitFor(const std::function<bool(const std::vector<SimFrame>&)>& pred, int timeoutMs) const;
    bool WaitForFrames(uint16_t type, size_t n, int timeoutMs) const;
    void ClearFrames();
    // Client frames whose flags byte was not 0, and bytes that did not start
    // a frame (both must stay 0 for a well-behaved client).
    size_t FlagViolations() const { return m_flagViolations.load(); }
    size_t BadBytes() const { return m_badBytes.load(); }
    // Logins answered so far.
    uint32_t LoginsAnswered() const { return m_logins.load(); }
    uint64_t NowMs() const;

private:
    struct Conn;
    struct Timed {
        std::chrono::steady_clock::time_point due;
        size_t connection;
        std::string bytes;
    };

    bool Listen();
    void Run();
    void TimerRun();
    void ReadFrom(size_t index, const std::shared_ptr<Conn>& conn);
    void Handle(const SimFrame& frame);
    void Answer(const SimFrame& request, uint16_t answerType, uint32_t instid);
    std::string AnswerBody(uint16_t answerType, uint32_t instid, const SimAnswer& answer);
    std::shared_ptr<Conn> Connection(size_t index) const;
    bool SendAll(const std::shared_ptr<Conn>& conn, const char* data, size_t length);

    uint16_t m_port;
    int m_listen = -1;
    std::chrono::steady_clock::time_point m_start;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_answerHeartbeats{true};
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_stalled{false};
    std::atomic<size_t> m_flagViolations{0};
    std::atomic<size_t> m_badBytes{0};
    std::atomic<uint32_t> m_logins{0};

    mutable std::mutex m_mutex;  // connections, frames, script
    mutable std::condition_variable m_cv;
    std::vector<std::shared_ptr<Conn>> m_conns;
    std::vector<SimFrame> m_frames;
    std::map<uint16_t, SimRule> m_rules;
    std::function<void(const SimFrame&)> m_observer;
    std::function<void(size_t)> m_acceptObserver;

    std::mutex m_timerMutex;
    std::condition_variable m_timerCv;
    std::vector<Timed> m_timed;

    std::thread m_thread;
    std::thread m_timer;
};

// ---- frame builders ----

// A PushData message: market, wire data class, payload, times.
datapacket::PushData MakePush(const std::string& market, int32_t dataClass, const std::string& databuf,
                              uint64_t produceTime = 0, uint64_t sendTime = 0, uint64_t datatime = 0);
// A push frame (packet type 20 to 27) with its flags byte (0x01 asks for
// feedback).
std::string PushFrame(const datapacket::PushData& push, uint8_t flags = 0, uint16_t type = kSimPush);
std::string EchoFrame(const std::string& body);
std::string NotifyFrame(int32_t status, const std::string& statusmsg);
std::string HeartbeatAnswerFrame();
// An answer frame with the instid given (for stray and late answers).
std::string SubscribeAnswerFrame(uint32_t instid, int32_t status, const std::string& statusmsg = "");
std::string LoginAnswerFrame(uint32_t instid, int32_t status, const std::string& token = "tok");

// The instid of a request frame's message (types 1, 3, 7, 9); 0 when it has
// none.
uint32_t RequestInstid(const SimFrame& request);

}  // namespace kvotest
