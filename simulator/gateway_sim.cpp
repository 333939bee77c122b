#include "simulator/gateway_sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "datapacket.pro.pb.h"
#include "simulator/frame_writer.h"

namespace kvotest {

struct GatewaySim::Conn {
    // Changed only under writeMutex (closing); the reading pass takes a copy
    // to poll without it.
    std::atomic<int> fd{-1};
    std::mutex writeMutex;  // one writer at a time; reads and closes under it
    bool peerClosed = false;
    std::string pending;  // bytes read but not yet a whole frame (reader only)
};

namespace {

int64_t CountEntries(const std::string& list) {
    if (list.empty()) return 0;
    return std::count(list.begin(), list.end(), ',') + (list.back() == ',' ? 0 : 1);
}

}  // namespace

GatewaySim::GatewaySim(uint16_t port) : m_port(port), m_start(std::chrono::steady_clock::now()) {}

GatewaySim::~GatewaySim() { Stop(); }

uint64_t GatewaySim::NowMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count());
}

bool GatewaySim::Listen() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(m_port);
    socklen_t l = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
        ::close(fd);
        return false;
    }
    m_port = ntohs(a.sin_port);
    std::lock_guard<std::mutex> g(m_mutex);
    m_listen = fd;
    return true;
}

bool GatewaySim::Start() {
    if (m_thread.joinable()) return true;
    if (!Listen()) return false;
    m_stop.store(false);
    m_thread = std::thread(&GatewaySim::Run, this);
    m_timer = std::thread(&GatewaySim::TimerRun, this);
    return true;
}

void GatewaySim::Stop() {
    m_stop.store(true);
    m_timerCv.notify_all();
    if (m_thread.joinable()) m_thread.join();
    if (m_timer.joinable()) m_timer.join();
    std::vector<std::shared_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        conns = m_conns;
        if (m_listen >= 0) ::close(m_listen);
        m_listen = -1;
    }
    for (auto& c : conns) {
        std::lock_guard<std::mutex> w(c->writeMutex);
        if (c->fd >= 0) ::close(c->fd);
        c->fd = -1;
    }
}

void GatewaySim::StopListening() {
    // The reading thread polls a copy of the descriptor and accepts only
    // after checking, under the lock, that it is still the listener.
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_listen >= 0) {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
    }
    m_listen = -1;
}

bool GatewaySim::ResumeListening() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_listen >= 0) return true;
    }
    return Listen();
}

void GatewaySim::SetAnswer(uint16_t requestType, const SimAnswer& answer) {
    SetRule(requestType, [answer](const SimFrame&) { return answer; });
}

void GatewaySim::SetRule(uint16_t requestType, SimRule rule) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_rules[requestType] = std::move(rule);
}

void GatewaySim::SetObserver(std::function<void(const SimFrame&)> observer) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_observer = std::move(observer);
}

void GatewaySim::SetAcceptObserver(std::function<void(size_t)> observer) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_acceptObserver = std::move(observer);
}

// ---- reading ----

void GatewaySim::Run() {
    std::vector<pollfd> fds;
    std::vector<size_t> index;
    while (!m_stop.load()) {
        fds.clear();
        index.clear();
        {
            std::lock_guard<std::mutex> g(m_mutex);
            fds.push_back({m_listen, POLLIN, 0});
            if (!m_stalled.load()) {
                for (size_t i = 0; i < m_conns.size(); ++i) {
                    if (m_conns[i]->fd >= 0 && !m_conns[i]->peerClosed) {
                        fds.push_back({m_conns[i]->fd, POLLIN, 0});
                        index.push_back(i);
                    }
                }
            }
        }
        if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
        if (fds[0].fd >= 0 && (fds[0].revents & POLLIN)) {
            int fd = -1;
            size_t added = 0;
            std::function<void(size_t)> observer;
            {
                std::lock_guard<std::mutex> g(m_mutex);
                if (m_listen == fds[0].fd) fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    int one = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    auto c = std::make_shared<Conn>();
                    c->fd.store(fd);
                    m_conns.push_back(c);
                    added = m_conns.size() - 1;
                    observer = m_acceptObserver;
                }
            }
            if (fd >= 0) {
                m_cv.notify_all();
                if (observer) observer(added);
            }
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            if (m_stalled.load()) break;  // stalled while this pass polled
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            std::shared_ptr<Conn> c = Connection(index[k - 1]);
            if (c) ReadFrom(index[k - 1], c);
        }
    }
}

void GatewaySim::ReadFrom(size_t index, const std::shared_ptr<Conn>& conn) {
    char buf[65536];
    ssize_t n;
    {
        std::lock_guard<std::mutex> w(conn->writeMutex);
        if (conn->fd < 0) return;
        n = ::recv(conn->fd, buf, sizeof buf, MSG_DONTWAIT);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        {
            // The client is gone: its descriptor is given back at once, so
            // that a simulator outliving many clients holds none of theirs.
            std::lock_guard<std::mutex> w(conn->writeMutex);
            const int fd = conn->fd.exchange(-1);
            if (fd >= 0) ::close(fd);
        }
        {
            std::lock_guard<std::mutex> g(m_mutex);
            conn->peerClosed = true;
        }
        m_cv.notify_all();
        return;
    }
    conn->pending.append(buf, static_cast<size_t>(n));
    // The frame reader: a header, then total - 11 body bytes. A stream that
    // does not start with the magic loses one byte at a time until it does.
    for (;;) {
        GatewayHeaderFields h;
        if (!ReadGatewayHeader(conn->pending, &h)) break;
        if (h.magic != kGatewayMagic || h.totalLength < kGatewayHeaderSize) {
            conn->pending.erase(0, 1);
            ++m_badBytes;
            continue;
        }
        if (conn->pending.size() < h.totalLength) break;
        SimFrame frame;
        frame.connection = index;
        frame.atMs = NowMs();
        frame.type = h.type;
        frame.flags = h.flags;
        frame.body = conn->pending.substr(kGatewayHeaderSize, h.totalLength - kGatewayHeaderSize);
        conn->pending.erase(0, h.totalLength);
        if (frame.flags != 0) ++m_flagViolations;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_frames.push_back(frame);
        }
        m_cv.notify_all();
        Handle(frame);
    }
}

static_assert(kSimLoginRsp == kSimLoginReq + 1 && kSimCodelistRsp == kSimCodelistReq + 1 &&
                  kSimQuotaRsp == kSimQuotaReq + 1 && kSimSubscribeRsp == kSimSubscribeReq + 1,
              "every answer is numbered after its request");

void GatewaySim::Handle(const SimFrame& frame) {
    if (!m_silent.load()) {
        switch (frame.type) {
        case kSimLoginReq:
        case kSimCodelistReq:
        case kSimQuotaReq:
        case kSimSubscribeReq:
            // Each request's answer is the packet type numbered after it.
            Answer(frame, static_cast<uint16_t>(frame.type + 1), RequestInstid(frame));
            break;
        case kSimHeartbeat:
            if (m_answerHeartbeats.load()) Answer(frame, kSimHeartbeat, 0);
            break;
        default:
            break;
        }
    }
    std::function<void(const SimFrame&)> observer;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        observer = m_observer;
    }
    if (observer) observer(frame);
}

void GatewaySim::Answer(const SimFrame& request, uint16_t answerType, uint32_t instid) {
    SimRule rule;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_rules.find(request.type);
        if (it != m_rules.end()) rule = it->second;
    }
    const SimAnswer answer = rule ? rule(request) : SimAnswer{};
    switch (answer.mode) {
    case SimAnswer::kSilent:
        return;
    case SimAnswer::kClose:
        Close(request.connection);
        return;
    case SimAnswer::kReset:
        Reset(request.connection);
        return;
    case SimAnswer::kAnswer:
        break;
    }
    const uint32_t id = static_cast<uint32_t>(static_cast<int64_t>(instid) + answer.instidDelta);
    const std::string body = answer.rawBody ? *answer.rawBody : AnswerBody(answerType, id, answer);
    std::string frame = GatewayFrame(answerType, body);
    if (answer.delayMs == 0) {
        Write(request.connection, frame);
        return;
    }
    {
        std::lock_guard<std::mutex> g(m_timerMutex);
        m_timed.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.delayMs),
                           request.connection, std::move(frame)});
    }
    m_timerCv.notify_all();
}

std::string GatewaySim::AnswerBody(uint16_t answerType, uint32_t instid, const SimAnswer& a) {
    switch (answerType) {
    case kSimLoginRsp: {
        const uint32_t n = ++m_logins;
        datapacket::LoginRsp m;
        m.set_statuscode(a.status);
        m.set_statusmsg(a.statusmsg);
        m.set_instid(instid);
        m.set_token(a.token.empty() ? "tok-" + std::to_string(n) : a.token);
        m.set_expire_date(a.expireDate);
        m.set_loopback_sample(a.loopbackSample);
        m.set_stats_rate(a.statsRate);
        return m.SerializeAsString();
    }
    case kSimCodelistRsp: {
        datapacket::GetCodelistRsp m;
        m.set_statuscode(a.status);
        m.set_statusmsg(a.statusmsg);
        m.set_codelist(a.codelist);
        m.set_codecount(a.codecount >= 0 ? a.codecount : static_cast<int32_t>(CountEntries(a.codelist)));
        m.set_instid(instid);
        return m.SerializeAsString();
    }
    case kSimQuotaRsp: {
        datapacket::GetQuotaRsp m;
        m.set_status_code(a.status);
        m.set_status_msg(a.statusmsg);
        m.set_databuf(a.databuf);
        m.set_instid(instid);
        return m.SerializeAsString();
    }
    case kSimSubscribeRsp: {
        datapacket::SubscribeRsp m;
        m.set_statuscode(a.status);
        m.set_statusmsg(a.statusmsg);
        m.set_instid(instid);
        return m.SerializeAsString();
    }
    default:
        return std::string();  // heartbeat answers carry no body
    }
}

void GatewaySim::TimerRun() {
    std::unique_lock<std::mutex> g(m_timerMutex);
    while (!m_stop.load()) {
        if (m_timed.empty()) {
            m_timerCv.wait_for(g, std::chrono::milliseconds(50));
            continue;
        }
        auto next = std::min_element(m_timed.begin(), m_timed.end(),
                                     [](const Timed& a, const Timed& b) { return a.due < b.due; });
        if (next->due > std::chrono::steady_clock::now()) {
            m_timerCv.wait_until(g,
                                 std::min(next->due, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
            continue;
        }
        Timed due = std::move(*next);
        m_timed.erase(next);
        g.unlock();
        Write(due.connection, due.bytes);
        g.lock();
    }
}

// ---- connections ----

std::shared_ptr<GatewaySim::Conn> GatewaySim::Connection(size_t index) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return index < m_conns.size() ? m_conns[index] : nullptr;
}

size_t GatewaySim::Accepted() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_conns.size();
}

bool GatewaySim::WaitForAccepted(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_conns.size() >= n; });
}

size_t GatewaySim::Latest() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_conns.empty() ? 0 : m_conns.size() - 1;
}

bool GatewaySim::IsOpen(size_t connection) const {
    std::shared_ptr<Conn> c = Connection(connection);
    if (!c) return false;
    std::lock_guard<std::mutex> w(c->writeMutex);
    std::lock_guard<std::mutex> g(m_mutex);
    return c->fd >= 0 && !c->peerClosed;
}

void GatewaySim::Close(size_t connection) {
    std::shared_ptr<Conn> c = Connection(connection);
    if (!c) return;
    std::lock_guard<std::mutex> w(c->writeMutex);
    if (c->fd >= 0) ::shutdown(c->fd, SHUT_WR);
}

void GatewaySim::Reset(size_t connection) {
    std::shared_ptr<Conn> c = Connection(connection);
    if (!c) return;
    // The reader and the writers use the descriptor only under the write
    // mutex and check it first, so it can be closed here.
    std::lock_guard<std::mutex> w(c->writeMutex);
    if (c->fd < 0) return;
    linger lg{1, 0};
    ::setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(c->fd);
    c->fd = -1;
}

void GatewaySim::CloseAll() {
    const size_t n = Accepted();
    for (size_t i = 0; i < n; ++i) Close(i);
}

bool GatewaySim::PeerClosed(size_t connection) const {
    std::shared_ptr<Conn> c = Connection(connection);
    std::lock_guard<std::mutex> g(m_mutex);
    return c && c->peerClosed;
}

bool GatewaySim::WaitForPeerClose(size_t connection, int timeoutMs) const {
    std::shared_ptr<Conn> c = Connection(connection);
    if (!c) return false;
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return c->peerClosed; });
}

// ---- writing ----

bool GatewaySim::SendAll(const std::shared_ptr<Conn>& conn, const char* data, size_t length) {
    std::lock_guard<std::mutex> w(conn->writeMutex);
    size_t off = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (off < length) {
        if (conn->fd < 0) return false;
        const ssize_t n = ::send(conn->fd, data + off, length - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // A client that does not read: wait for room, but not for ever.
            if (std::chrono::steady_clock::now() > giveUp || m_stop.load()) return false;
            pollfd p{conn->fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
            continue;
        }
        return false;
    }
    return true;
}

bool GatewaySim::Write(size_t connection, const std::string& bytes) {
    std::shared_ptr<Conn> c = Connection(connection);
    return c && SendAll(c, bytes.data(), bytes.size());
}

bool GatewaySim::WriteSplit(size_t connection, const std::string& bytes, size_t splitAt, int pauseMs) {
    std::shared_ptr<Conn> c = Connection(connection);
    if (!c) return false;
    splitAt = std::min(splitAt, bytes.size());
    if (!SendAll(c, bytes.data(), splitAt)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    return SendAll(c, bytes.data() + splitAt, bytes.size() - splitAt);
}

bool GatewaySim::WriteFrames(size_t connection, const std::vector<std::string>& frames, SimWrite mode, size_t splitAt,
                             int pauseMs) {
    switch (mode) {
    case SimWrite::kOnePerWrite:
        for (const std::string& f : frames) {
            if (!Write(connection, f)) return false;
        }
        return true;
    case SimWrite::kOneWrite:
        return Write(connection, JoinStream(frames));
    case SimWrite::kSplit:
        for (const std::string& f : frames) {
            if (!WriteSplit(connection, f, splitAt, pauseMs)) return false;
        }
        return true;
    case SimWrite::kGarbageFirst:
        // Stray bytes that hold no magic (0x11 never occurs in them).
        return Write(connection, PatternBody(23, 7) + JoinStream(frames));
    }
    return false;
}

void GatewaySim::Broadcast(const std::string& bytes) {
    const size_t n = Accepted();
    for (size_t i = 0; i < n; ++i) {
        if (IsOpen(i)) Write(i, bytes);
    }
}

// ---- frames ----

std::vector<SimFrame> GatewaySim::Frames() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_frames;
}

std::vector<SimFrame> GatewaySim::FramesOfType(uint16_t type) const {
    std::lock_guard<std::mutex> g(m_mutex);
    std::vector<SimFrame> out;
    for (const SimFrame& f : m_frames) {
        if (f.type == type) out.push_back(f);
    }
    return out;
}

size_t GatewaySim::CountOfType(uint16_t type) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_frames.begin(), m_frames.end(), [type](const SimFrame& f) { return f.type == type; }));
}

bool GatewaySim::WaitFor(const std::function<bool(const std::vector<SimFrame>&)>& pred, int timeoutMs) const {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pred(m_frames); });
}

bool GatewaySim::WaitForFrames(uint16_t type, size_t n, int timeoutMs) const {
    return WaitFor(
        [&](const std::vector<SimFrame>& frames) {
            return static_cast<size_t>(std::count_if(frames.begin(), frames.end(),
                                                     [type](const SimFrame& f) { return f.type == type; })) >= n;
        },
        timeoutMs);
}

void GatewaySim::ClearFrames() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_frames.clear();
}

// ---- builders ----

datapacket::PushData MakePush(const std::string& market, int32_t dataClass, const std::string& databuf,
                              uint64_t produceTime, uint64_t sendTime, uint64_t datatime) {
    datapacket::PushData p;
    p.set_market(market);
    p.set_data_class(dataClass);
    if (produceTime != 0) p.add_produce_time(produceTime);
    p.set_send_time(sendTime);
    p.set_datatime(datatime);
    p.set_databuf(databuf);
    return p;
}

std::string PushFrame(const datapacket::PushData& push, uint8_t flags, uint16_t type) {
    return GatewayMessageFrame(type, push, flags);
}

std::string EchoFrame(const std::string& body) { return GatewayFrame(kSimEcho, body); }

std::string NotifyFrame(int32_t status, const std::string& statusmsg) {
    datapacket::GatewayNotify n;
    n.set_statuscode(status);
    n.set_statusmsg(statusmsg);
    return GatewayMessageFrame(kSimNotify, n);
}

std::string HeartbeatAnswerFrame() { return GatewayFrame(kSimHeartbeat, ""); }

std::string SubscribeAnswerFrame(uint32_t instid, int32_t status, const std::string& statusmsg) {
    datapacket::SubscribeRsp m;
    m.set_statuscode(status);
    m.set_statusmsg(statusmsg);
    m.set_instid(instid);
    return GatewayMessageFrame(kSimSubscribeRsp, m);
}

std::string LoginAnswerFrame(uint32_t instid, int32_t status, const std::string& token) {
    datapacket::LoginRsp m;
    m.set_statuscode(status);
    m.set_instid(instid);
    m.set_token(token);
    return GatewayMessageFrame(kSimLoginRsp, m);
}

uint32_t RequestInstid(const SimFrame& request) {
    switch (request.type) {
    case kSimLoginReq: {
        datapacket::LoginReq m;
        return request.Parse(&m) ? m.instid() : 0;
    }
    case kSimCodelistReq: {
        datapacket::GetCodelistReq m;
        return request.Parse(&m) ? m.instid() : 0;
    }
    case kSimQuotaReq: {
        datapacket::GetQuotaReq m;
        return request.Parse(&m) ? m.instid() : 0;
    }
    case kSimSubscribeReq: {
        datapacket::SubscribeReq m;
        return request.Parse(&m) ? m.instid() : 0;
    }
    default:
        return 0;
    }
}

}  // namespace kvotest
