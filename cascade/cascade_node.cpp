#include "cascade/cascade_node.h"

#include <cstdlib>
#include <cstring>

#include "cascade/cascade_timers.h"
#include "cascade/peer_message.h"
#include "cascade/relay.h"
#include "cascade/same_lan.h"
#include "framework/tl_log.h"
#include "framework/tl_textutil.h"
#include "platform/pl_never_destroyed.h"
#include "platform/pl_time.h"
#include "session/dataclass.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"

namespace {

// The process-wide mutexes of the cascade tables: the connected sets, and
// the request routes.
corvane::CMutex& SetMutex() {
    static pl::NeverDestroyed<corvane::CMutex> m;
    return *m;
}

corvane::CMutex& RouteMutex() {
    static pl::NeverDestroyed<corvane::CMutex> m;
    return *m;
}

// The started nodes of the process. The host's own keys of the master role
// and of playback are held under the local subscriber 0 by every such
// instance of the process alike (the relay hands them to the instance
// created last): they end when the last started node stops, not with any
// one instance. Counted and cleared under the mutex, never held while a
// thread is waited for.
struct RelayUsers {
    std::mutex mutex;
    size_t started = 0;
};

RelayUsers& Users() {
    static pl::NeverDestroyed<RelayUsers> users;
    return *users;
}

constexpr char kSocketTelemetryPrefix[] = "client@_socket";
constexpr char kSocketTelemetryOption[] = "need_mapparam";
constexpr uint64_t kRouteExpiryPeriodMs = 1000;

bool IsRequest(int32_t r) { return r == kPeerLogin || (r >= kPeerCodelistQuery && r <= kPeerSuperStockQuery); }
bool IsAnswer(int32_t r) { return r == kPeerLoginAnswer || (r >= kPeerCodelistAnswer && r <= kPeerSuperStockAnswer); }

// The removal of every key of a subscriber from the registry, without
// passing anything upstream (its instance is going away).
void ForgetSubscriber(Subscriber subscriber) {
    SubscriptionKeySet keys;
    if (!SubscriptionRegistry::Global().GetSubscriberKeys(subscriber, &keys)) return;
    for (const std::string& k : keys) SubscriptionRegistry::Global().RemoveKeys(k, subscriber);
}

}  // namespace

// ---- CListenSocket ------------------------------------------------------------------

void CListenSocket::Attach(Owner* owner) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_owner = owner;
    if (m_thread.joinable()) return;
    m_stop.store(false, std::memory_order_release);
    m_waker.Drain();
    m_thread = std::thread(&CListenSocket::Run, this);
}

void CListenSocket::Detach() {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_owner = nullptr;
        m_stop.store(true, std::memory_order_release);
    }
    // A closed socket does not wake a waiting thread on Linux: the waker
    // ends the wait at once, so that stopping a node never waits out the
    // accept time-out.
    m_waker.Wake();
    if (m_thread.joinable()) m_thread.join();
}

bool CListenSocket::GetListenSocket(int* fd) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_owner == nullptr) return false;
    *fd = m_owner->ListenSocket();
    return *fd >= 0;
}

void CListenSocket::Run() {
    while (!m_stop.load(std::memory_order_acquire)) {
        const int waitMs = static_cast<int>(GetCascadeTimers().acceptWaitMs);
        // The waker first; without one (no descriptor could be made) the
        // wait's time-out is when the stop flag is looked at again.
        int fds[2] = {m_waker.Fd(), -1};
        bool ready[2] = {false, false};
        if (!GetListenSocket(&fds[1])) fds[1] = -1;
        const int r = pl::PollReadable(fds, ready, 2, waitMs);
        if (r < 0) pl::SleepMs(static_cast<uint32_t>(waitMs));
        if (r <= 0 || !ready[1]) continue;
        sockaddr_in peer{};
        const int fd = pl::AcceptOne(fds[1], &peer);
        if (fd < 0) continue;
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_owner == nullptr) {
            pl::CloseSocket(fd);
            continue;
        }
        m_owner->AddClientSocket(fd, pl::AddressText(peer));
    }
}

// ---- CascadeNode: start and stop ----------------------------------------------------

CascadeNode::CascadeNode(ICascadeHost* host, const kvoapi::ToolSettings& settings, const kvoapi::LocalAddresses& local)
    : m_host(host),
      m_settings(settings),
      m_local(local),
      m_subscriptions(SubscriptionRegistry::Global(),
                      [this](uint32_t c, uint32_t op, const std::string& m, const std::string& cl) {
                          return m_host != nullptr ? m_host->CascadeUpstream(c, op, m, cl, true) : 0;
                      }),
      m_childSubscriptions(SubscriptionRegistry::Global(),
                           [this](uint32_t c, uint32_t op, const std::string& m, const std::string& cl) {
                               return m_host != nullptr ? m_host->CascadeUpstream(c, op, m, cl, false) : 0;
                           }) {}

CascadeNode::~CascadeNode() { Stop(); }

bool CascadeNode::Start() {
    std::unique_lock<std::mutex> lock(m_startMutex);
    // A Stop under way ends first.
    m_startChanged.wait(lock, [this] { return !m_stopping; });
    if (m_started.load(std::memory_order_acquire)) return true;
    {
        std::lock_guard<std::recursive_mutex> pending(m_pendingMutex);
        m_pendingClosed = false;
    }
    {
        std::lock_guard<std::mutex> users(Users().mutex);
        ++Users().started;
    }
    if (!DataTransThread().Attach(this)) TL_WriteLog(1, "CascadeNode::Start: relay dispatcher not started");
    if (!SocketSendThread().Attach(this)) TL_WriteLog(1, "CascadeNode::Start: socket sender not started");
    if (m_settings.mode != kvoapi::kStandalone) {
        StartListen();
        m_stop.store(false, std::memory_order_release);
        m_receive = std::thread(&CascadeNode::ReceiveLoop, this);
    }
    m_started.store(true, std::memory_order_release);
    return true;
}

void CascadeNode::Stop() {
    {
        // Only the stopping state is changed under the start mutex: the
        // threads are waited for without it, and a Start or Stop from
        // another thread waits until this one is done.
        std::unique_lock<std::mutex> lock(m_startMutex);
        m_startChanged.wait(lock, [this] { return !m_stopping; });
        if (!m_started.load(std::memory_order_acquire)) return;
        m_stopping = true;
    }
    // The threads that read the sockets end first, so that nothing posts to
    // the relay threads once they are detached.
    if (m_settings.mode != kvoapi::kStandalone) {
        m_accept.Detach();
        m_stop.store(true, std::memory_order_release);
        m_waker.Wake();
        if (m_receive.joinable()) m_receive.join();
    }
    DataTransThread().Detach(this);
    SocketSendThread().Detach(this);
    if (m_settings.mode != kvoapi::kStandalone) CloseSockets();
    ClosePending(&m_pendingClosed);
    // In the child role the host's keys were held under the connection to
    // the master and left with it; those held under 0 stay while another
    // instance of the process uses the relay.
    {
        std::lock_guard<std::mutex> users(Users().mutex);
        if (--Users().started == 0) ForgetSubscriber(0);
    }
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        m_started.store(false, std::memory_order_release);
        m_stopping = false;
    }
    m_startChanged.notify_all();
}

void CascadeNode::StartListen() {
    if (!m_settings.socket_port_valid)
        TL_WriteLog(3, "StartListen: socket_port:%s is no port number, listening on %u",
                    m_settings.socket_port_text.c_str(), static_cast<unsigned>(m_settings.socket_port));
    const int fd = pl::SocketTcp();
    if (fd < 0) {
        TL_WriteLog(1, "StartListen: no socket (errno %d), no children can connect", errno);
        return;
    }
    sockaddr_in any{};
    pl::ResolveIPv4("", m_settings.socket_port, any);
    if (pl::ListenOn(fd, any, 5) != 0) {
        TL_WriteLog(1, "StartListen: cannot listen on port %u (errno %d), no children can connect",
                    static_cast<unsigned>(m_settings.socket_port), errno);
        pl::CloseSocket(fd);
        return;
    }
    pl::SetBuffers(fd, kPeerSocketBuffer);
    m_listenFd = fd;
    m_listenPort.store(pl::LocalPort(fd), std::memory_order_release);
    m_accept.Attach(this);
}

void CascadeNode::CloseSockets() {
    m_accept.Detach();
    if (m_listenFd >= 0) pl::CloseSocket(m_listenFd);
    m_listenFd = -1;
    m_listenPort.store(0, std::memory_order_release);
    {
        std::lock_guard<std::recursive_mutex> lock(m_masterMutex);
        m_master.reset();
    }
    ManageClientSocket(kCloseAll, 0);
    ManageRequestRoute(kRouteClear, 0, std::string());
}

// ---- Connections ----------------------------------------------------------------------

void CascadeNode::AddClientSocket(int fd, const std::string& peerAddress) {
    pl::SetBuffers(fd, kPeerSocketBuffer);
    // Until its login is accepted a child is read only in frames the size
    // of a login.
    ManageClientSocket(
        kAddSocket, 0, nullptr,
        std::make_shared<PeerLink>(fd, peerAddress == "127.0.0.1" ? std::string() : peerAddress, kPeerLoginMaxBody));
}

bool CascadeNode::ManageClientSocket(ClientOp op, uint64_t id, std::set<uint64_t>* out,
                                     const std::shared_ptr<PeerLink>& link) {
    switch (op) {
    case kAddSocket:
        if (!link) return false;
        {
            corvane::CTLSingleLock lock(&SetMutex(), 1);
            m_set.insert(link->Id());
            RegisterPeerLink(link);
        }
        m_waker.Wake();
        return true;
    case kDropSocket:
        return DropConnection(id);
    case kCopySockets: {
        corvane::CTLSingleLock lock(&SetMutex(), 1);
        if (out != nullptr) *out = m_set;
        return true;
    }
    case kCloseAll: {
        std::set<uint64_t> ids;
        {
            corvane::CTLSingleLock lock(&SetMutex(), 1);
            ids.swap(m_set);
        }
        for (const uint64_t s : ids) {
            if (std::shared_ptr<PeerLink> l = UnregisterPeerLink(s)) l->Shutdown();
            if (LocalSubscriber() == s) SetLocalSubscriber(0);
            // A later instance of the process must not count these
            // connections as subscribers.
            ForgetSubscriber(s);
        }
        return true;
    }
    }
    return false;
}

bool CascadeNode::DropConnection(uint64_t id) {
    std::shared_ptr<PeerLink> link;
    {
        corvane::CTLSingleLock lock(&SetMutex(), 1);
        if (m_set.erase(id) == 0) return false;
        link = UnregisterPeerLink(id);
    }
    // The host's keys were held under this connection; no change is held
    // under it once this returns: one made meanwhile sees it gone and takes
    // its keys back itself (SubscribeLocal).
    if (LocalSubscriber() == id) SetLocalSubscriber(0);
    // The removals go upstream while the connection can still carry them
    // (a child's own keys travel to its master on the connection being
    // dropped); no cascade lock is held meanwhile.
    m_childSubscriptions.DropSubscriberKeys(id, "");
    const int fd = link ? link->Fd() : -1;
    if (link) {
        SendDisconnectNotice(link);
        link->CloseWhenSent();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_masterMutex);
        if (m_master && m_master->Id() == id) {
            m_master.reset();
            // No answer comes on a closed connection: whoever waits for the
            // master (a login it closed at its header) is told now. Under the
            // master mutex, so a new login's request is registered after this.
            ClosePending(nullptr);
        }
    }
    TL_WriteLog(2, "socket_Disconnect:socket:%d !", fd);
    Telemetry("socket_no_connect", {{"socket", std::to_string(fd)},
                                    {"father_socket_ip", m_local.addresses},
                                    {"father_socket_port", std::to_string(m_settings.socket_port)}});
    corvane::CTLSingleLock lock(&RouteMutex(), 1);
    for (auto it = m_routes.begin(); it != m_routes.end();) {
        if (it->second.link == id) {
            it = m_routes.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

bool CascadeNode::ManageRequestRoute(RouteOp op, uint64_t link, const std::string& id, uint64_t* found) {
    corvane::CTLSingleLock lock(&RouteMutex(), 1);
    switch (op) {
    case kRouteAdd:
        if (id.empty() || m_routes.count(id) != 0) return false;
        m_routes[id] = Route{link, pl::TickMs()};
        return true;
    case kRouteErase:
        return m_routes.erase(id) != 0;
    case kRouteFind: {
        auto it = m_routes.find(id);
        if (it == m_routes.end()) return false;
        if (found != nullptr) *found = it->second.link;
        return true;
    }
    case kRouteClear:
        m_routes.clear();
        return true;
    }
    return false;
}

void CascadeNode::ExpireRoutes(uint64_t nowMs) {
    if (nowMs - m_lastExpiry < kRouteExpiryPeriodMs) return;
    m_lastExpiry = nowMs;
    const uint64_t maxAge = GetCascadeTimers().routeMaxAgeMs;
    corvane::CTLSingleLock lock(&RouteMutex(), 1);
    for (auto it = m_routes.begin(); it != m_routes.end();) {
        if (nowMs - it->second.sinceMs > maxAge) {
            it = m_routes.erase(it);
        } else {
            ++it;
        }
    }
}

// ---- Sending ----------------------------------------------------------------------------

bool CascadeNode::SendToParent(const std::string& text) {
    std::shared_ptr<PeerLink> master;
    {
        std::lock_guard<std::recursive_mutex> lock(m_masterMutex);
        master = m_master;
    }
    if (!master || text.empty()) return false;
    return master->SendAndWait(text.data(), uint32_t(text.size()), kPeerFrameRequest, GetCascadeTimers().sendTimeoutMs,
                               "SendToParent") == PeerLink::SendResult::kSent;
}

void CascadeNode::SendToRequester(const std::string& id, const char* data, size_t length) {
    uint64_t target = 0;
    if (length == 0 || length > kPeerMaxBody || !ManageRequestRoute(kRouteFind, 0, id, &target)) return;
    if (std::shared_ptr<PeerLink> link = FindPeerLink(target))
        link->Send(data, uint32_t(length), kPeerFrameRequest, "SendToRequester");
}

void CascadeNode::SendDisconnectNotice(const std::shared_ptr<PeerLink>& link) {
    link->Send(kPeerDisconnectText.data(), uint32_t(kPeerDisconnectText.size()), kPeerFrameData,
               "SendDisconnectNotice");
}

void CascadeNode::Telemetry(const char* name, ElkFields fields) {
    if (m_host == nullptr || m_settings.mode == kvoapi::kChild) return;
    PeerTelemetryRecord record;
    record.indexPrefix = kSocketTelemetryPrefix;
    record.name = name;
    record.option = kSocketTelemetryOption;
    record.fields = std::move(fields);
    m_host->CascadeTelemetry(record);
}

// ---- The receive loop --------------------------------------------------------------------

void CascadeNode::ReceiveLoop() {
    std::vector<PeerFrame> frames;
    std::set<uint64_t> ids;
    std::vector<std::shared_ptr<PeerLink>> links;
    std::vector<int> fds;
    std::unique_ptr<bool[]> ready;
    size_t readySize = 0;
    while (!m_stop.load(std::memory_order_acquire)) {
        const CascadeTimers timers = GetCascadeTimers();
        links.clear();
        ManageClientSocket(kCopySockets, 0, &ids);
        for (const uint64_t id : ids) {
            if (std::shared_ptr<PeerLink> link = FindPeerLink(id)) links.push_back(std::move(link));
        }
        fds.assign(1, m_waker.Fd());
        for (const auto& link : links) fds.push_back(link->Fd());
        if (readySize < fds.size()) {
            readySize = fds.size() * 2;
            ready.reset(new bool[readySize]);
        }
        // The wait ends at once when a socket is readable or a connection is
        // added; a pass without traffic waits the role's idle time.
        const uint32_t idle = m_settings.mode == kvoapi::kMaster ? timers.masterIdleMs : timers.otherIdleMs;
        if (pl::PollReadable(fds.data(), ready.get(), fds.size(), static_cast<int>(idle)) < 0) {
            // The wait itself failed (no memory): pass idle, look again.
            pl::SleepMs(idle);
            continue;
        }
        if (ready[0]) m_waker.Drain();
        if (m_stop.load(std::memory_order_acquire)) break;

        const uint64_t now = pl::TickMs();
        for (size_t i = 0; i < links.size(); ++i) {
            const std::shared_ptr<PeerLink>& link = links[i];
            const PeerLink::ReadResult r = ready[i + 1] ? link->RecvPeerFrame(&frames, now, timers.frameTimeoutMs)
                                                        : link->CheckStall(now, timers.frameTimeoutMs);
            bool alive = true;
            bool active = false;
            for (PeerFrame& frame : frames) {
                if (!alive) break;
                alive = HandleFrame(link, frame, &active);
            }
            frames.clear();
            if (!alive || r == PeerLink::ReadResult::kOk) continue;
            if (r == PeerLink::ReadResult::kBadFrame && link->FrameError() == kPeerErrTooLarge && !link->LoggedIn()) {
                TL_WriteLog(3, "ReceiveLoop: socket %d announced a frame above %u bytes before its login, dropped",
                            link->Fd(), kPeerLoginMaxBody);
            } else if (r == PeerLink::ReadResult::kBadFrame) {
                TL_WriteLog(3, "ReceiveLoop: socket %d sent bytes that are no frame, dropped", link->Fd());
            } else if (r == PeerLink::ReadResult::kStalled) {
                TL_WriteLog(3, "ReceiveLoop: socket %d left a frame incomplete for %u ms, dropped", link->Fd(),
                            timers.frameTimeoutMs);
            }
            ManageClientSocket(kDropSocket, link->Id());
        }
        links.clear();
        ExpireRoutes(now);
    }
}

bool CascadeNode::HandleFrame(const std::shared_ptr<PeerLink>& link, PeerFrame& frame, bool* active) {
    const char* body = frame.body.Data();
    const size_t length = frame.body.Size();
    int32_t r = 0;
    const uint32_t check = CheckPeerMessage(body, length, &r);
    if (r == kPeerDisconnect) {
        ManageClientSocket(kDropSocket, link->Id());
        return false;
    }
    *active = true;
    if (r >= kPeerTickIndex && r <= kPeerSuperStock) {
        // Quotes come from the master, or from a child whose login was
        // accepted: anyone else on the network could feed made-up prices to
        // the host and every child.
        if (!link->LoggedIn() && link->Id() != MasterConnection()) {
            TL_WriteLog(2, "HandlePeerRequest: socket %d is not logged in, data %d dropped", link->Fd(), r);
            return true;
        }
        // The dispatcher reads the message with every length checked.
        PostToDispatcher(std::move(frame.body));
        return true;
    }
    if (check == kPeerErrNoId) return true;
    if (((r >= kPeerCodelistQuery && r <= kPeerSuperStockQuery) || r == kPeerSubscribe) && !link->LoggedIn()) {
        // Only a child whose login was accepted is served.
        TL_WriteLog(2, "HandlePeerRequest: socket %d is not logged in, request %d dropped", link->Fd(), r);
        return true;
    }
    if (IsRequest(r)) ManageRequestRoute(kRouteAdd, link->Id(), GetFieldValue(PeerMessageText(body, length), "id"));
    return HandlePeerRequest(link, body, length, r);
}

bool CascadeNode::HandlePeerRequest(const std::shared_ptr<PeerLink>& link, const char* body, size_t length,
                                    int32_t reqType) {
    const std::string_view text = PeerMessageText(body, length);
    if (reqType == kPeerLogin) return HandleLogin(link, text);
    if (IsAnswer(reqType)) {
        HandleAnswer(link, body, length, reqType);
    } else if (reqType >= kPeerCodelistQuery && reqType <= kPeerSuperStockQuery) {
        HandleQuery(text, reqType);
    } else if (reqType == kPeerSubscribe) {
        m_childSubscriptions.ChildSubscription(text, link->Id());
    }
    return true;
}

bool CascadeNode::HandleLogin(const std::shared_ptr<PeerLink>& link, std::string_view text) {
    PeerLoginRequest login;
    if (ReadPeerLoginRequest(text, &login) != kPeerOk) return true;
    std::string user;
    std::string password;
    if (m_host != nullptr) m_host->CascadeCredentials(&user, &password);
    // Both checks always run; the network rule's refusal wins.
    int32_t result = 0;
    int success = 0;
    if (login.account != user || login.pass != password) {
        result = KVO_ERR_BAD_ACCOUNT;
        success = -1;
    }
    if (!CheckSameLan(login.ip, login.ipMask, link->PeerAddress(), m_local.addresses, m_local.masks)) {
        result = KVO_ERR_CASCADE_LAN;
        success = -2;
    }
    const std::string answer = BuildPeerLoginAnswerText(login.id, result);
    SendToRequester(login.id, answer.data(), answer.size());
    ManageRequestRoute(kRouteErase, 0, login.id);
    if (result == 0) {
        link->MarkLoggedIn();
    } else {
        ManageClientSocket(kDropSocket, link->Id());
    }
    Telemetry("socket_connect", {{"socket", std::to_string(link->Fd())},
                                 {"socket_ip", link->PeerAddress()},
                                 {"socket_port", std::to_string(login.port)},
                                 {"father_socket_ip", m_local.addresses},
                                 {"father_socket_port", std::to_string(m_settings.socket_port)},
                                 {"is_success", std::to_string(success)}});
    TL_WriteLog(2, "socket_connect:socket:%d socket:%s IP:%s:%d IpMask:%s success:%d!", link->Fd(),
                link->PeerAddress().c_str(), login.ip.c_str(), login.port, login.ipMask.c_str(), success);
    return result == 0;
}

void CascadeNode::HandleAnswer(const std::shared_ptr<PeerLink>& link, const char* body, size_t length,
                               int32_t reqType) {
    const std::string id = GetFieldValue(PeerMessageText(body, length), "id");
    if (std::shared_ptr<SyncRequest> request = TakePending(id)) {
        request->SetAnswer(body, uint32_t(length));
        return;
    }
    if (reqType == kPeerLoginAnswer) return;
    // Not asked here: a middle instance passes the answer on to the
    // connection the request came from. A late answer to one of this
    // instance's own requests has no route and is dropped.
    uint64_t target = 0;
    if (!ManageRequestRoute(kRouteFind, 0, id, &target) || target == link->Id()) return;
    PeerAnswer answer;
    const uint32_t read = ReadPeerAnswer(body, length, &answer);
    if (read != kPeerOk) {
        TL_WriteLog(3, "HandlePeerRequest: answer %d for %s is malformed (0x%08x), not passed on", reqType, id.c_str(),
                    read);
        return;
    }
    SendToRequester(id, body, answer.forwardLength);
    ManageRequestRoute(kRouteErase, 0, id);
}

void CascadeNode::HandleQuery(std::string_view text, int32_t reqType) {
    PeerQuery query;
    if (ReadPeerQuery(text, &query) != kPeerOk) return;
    uint32_t out = 0;
    void* block = m_host != nullptr
                      ? m_host->CascadeQuery(reqType, query.market, query.codelist, std::string(text), &out)
                      : nullptr;
    if (block == nullptr) {
        // In the child role the query went on to this instance's master,
        // whose answer passes down along the route; otherwise nothing comes.
        if (m_settings.mode != kvoapi::kChild) ManageRequestRoute(kRouteErase, 0, query.id);
        return;
    }
    const int32_t answerType = reqType + 100;
    const uint64_t bytes = answerType == kPeerCodelistAnswer ? out : uint64_t(out) * PeerRecordSize(answerType);
    PeerBlock answer;
    if (bytes <= kPeerMaxBody) answer = BuildPeerAnswer(answerType, query.id, block, size_t(bytes), out);
    std::free(block);
    if (!answer.Empty()) SendToRequester(query.id, answer.Data(), answer.Size());
    ManageRequestRoute(kRouteErase, 0, query.id);
}

// ---- Pending requests ------------------------------------------------------------------

std::shared_ptr<SyncRequest> CascadeNode::AddPending(const std::string& id) {
    auto request = std::make_shared<SyncRequest>();
    std::lock_guard<std::recursive_mutex> lock(m_pendingMutex);
    if (m_pendingClosed || m_abandoned || id.empty()) return nullptr;
    m_pending[id] = request;
    return request;
}

void CascadeNode::Abandon() { ClosePending(&m_abandoned); }

void CascadeNode::ClosePending(bool* closedFlag) {
    std::lock_guard<std::recursive_mutex> lock(m_pendingMutex);
    if (closedFlag != nullptr) *closedFlag = true;
    for (auto& [id, request] : m_pending) request->Abort();
    m_pending.clear();
}

std::shared_ptr<SyncRequest> CascadeNode::TakePending(const std::string& id) {
    std::lock_guard<std::recursive_mutex> lock(m_pendingMutex);
    auto it = m_pending.find(id);
    if (it == m_pending.end()) return nullptr;
    std::shared_ptr<SyncRequest> request = std::move(it->second);
    m_pending.erase(it);
    return request;
}

bool CascadeNode::AwaitAnswer(const std::string& id, const std::shared_ptr<SyncRequest>& request, uint32_t ms,
                              std::string* answer) {
    const bool woken = request->Wait(ms) == 1;
    {
        std::lock_guard<std::recursive_mutex> lock(m_pendingMutex);
        auto it = m_pending.find(id);
        if (it != m_pending.end() && it->second == request) m_pending.erase(it);
    }
    corvane::CTLSmartBuffer buffer;
    if (!woken || request->GetAnswer(&buffer) != 1) return false;
    answer->assign(static_cast<const char*>(buffer.GetData()), buffer.GetLength());
    return true;
}

size_t CascadeNode::ConnectionCount() {
    std::set<uint64_t> ids;
    ManageClientSocket(kCopySockets, 0, &ids);
    return ids.size();
}

size_t CascadeNode::RouteCount() {
    corvane::CTLSingleLock lock(&RouteMutex(), 1);
    return m_routes.size();
}

size_t CascadeNode::PendingCount() {
    std::lock_guard<std::recursive_mutex> lock(m_pendingMutex);
    return m_pending.size();
}

uint64_t CascadeNode::MasterConnection() {
    std::lock_guard<std::recursive_mutex> lock(m_masterMutex);
    return m_master ? m_master->Id() : 0;
}

// ---- Child role ---------------------------------------------------------------------------

LoginResult CascadeNode::LoginThroughMaster(const std::string& user, const std::string& password,
                                            const std::string& address, uint16_t port) {
    using kvoapi::MakeLoginResult;
    const CascadeTimers timers = GetCascadeTimers();
    // A second login replaces the first connection: the old one is dropped
    // (its keys removed, the master told) before the new one exists, so the
    // two never relay to each other.
    if (const uint64_t old = MasterConnection()) ManageClientSocket(kDropSocket, old);

    const int fd = ConnectPeer(address, port, timers.connectMs, kPeerSocketBuffer);
    if (fd < 0) {
        TL_WriteLog(1, "LoginByMode: cannot connect to the master %s:%u", address.c_str(), static_cast<unsigned>(port));
        return MakeLoginResult(KVO_ERR_CASCADE_MASTER, kvoapi::kTextCascadeMasterDown, "");
    }
    auto link = std::make_shared<PeerLink>(fd, pl::PeerAddressText(fd));
    {
        std::lock_guard<std::recursive_mutex> lock(m_masterMutex);
        m_master = link;
    }
    SetLocalSubscriber(link->Id());
    ManageClientSocket(kAddSocket, 0, nullptr, link);

    const std::string id = CreateGuidString();
    const std::shared_ptr<SyncRequest> request = AddPending(id);
    if (!request) return MakeLoginResult(KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
    if (!SendToParent(
            BuildPeerLoginText(id, user, password, m_local.addresses, m_settings.socket_port, m_local.masks))) {
        // No answer can come to a login that did not leave.
        TakePending(id);
        TL_WriteLog(1, "LoginByMode: the login could not be sent to the master %s:%u", address.c_str(),
                    static_cast<unsigned>(port));
        return MakeLoginResult(KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
    }
    std::string answer;
    PeerLoginAnswer login;
    if (!AwaitAnswer(id, request, timers.loginWaitMs, &answer)) {
        // A master that closed the connection without an answer (one that
        // refuses the login frame closes at its header) cannot be reached.
        if (MasterConnection() != link->Id())
            return MakeLoginResult(KVO_ERR_CASCADE_MASTER, kvoapi::kTextCascadeMasterDown, "");
        return MakeLoginResult(KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
    }
    if (ReadPeerLoginAnswer(PeerMessageText(answer.data(), answer.size()), &login) != kPeerOk)
        return MakeLoginResult(KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
    switch (login.error) {
    case 0:
        return MakeLoginResult(0, kvoapi::kTextLoginOk, "");
    case KVO_ERR_BAD_ACCOUNT:
        return MakeLoginResult(KVO_ERR_BAD_ACCOUNT, kvoapi::kTextBadAccount, "");
    case KVO_ERR_CASCADE_LAN:
        return MakeLoginResult(KVO_ERR_CASCADE_LAN, kvoapi::kTextCascadeSameLan, "");
    default:
        return MakeLoginResult(login.error, "", "");
    }
}

void* CascadeNode::QueryThroughMaster(int32_t reqType, const std::string& market, const std::string& codelist,
                                      const std::string& request, bool fromCaller, uint32_t* out) {
    if (reqType < kPeerCodelistQuery || reqType > kPeerSuperStockQuery) return nullptr;
    std::string id;
    std::string text = request;
    if (text.empty()) {
        id = CreateGuidString();
        text = BuildPeerQueryText(reqType, id, market, codelist);
    } else {
        id = GetFieldValue(text, "id");
    }
    if (!fromCaller) {
        SendToParent(text);
        return nullptr;
    }
    if (out == nullptr) return nullptr;
    const std::shared_ptr<SyncRequest> pending = AddPending(id);
    if (!pending) return nullptr;
    if (!SendToParent(text)) {
        // Not logged in to a master, or the connection failed: nothing to wait for.
        TakePending(id);
        return nullptr;
    }
    std::string answer;
    if (!AwaitAnswer(id, pending, GetCascadeTimers().queryWaitMs, &answer)) return nullptr;
    // The data length and the record count come from the network: the answer
    // is used only when they agree with what arrived.
    PeerAnswer a;
    if (ReadPeerAnswer(answer.data(), answer.size(), &a) != kPeerOk || a.reqType != reqType + 100 ||
        a.payloadLength == 0) {
        TL_WriteLog(1, "QueryThroughMaster: answer %s to request %d refused", id.c_str(), reqType);
        return nullptr;
    }
    char* block = static_cast<char*>(std::malloc(size_t(a.payloadLength) + 1));
    if (block == nullptr) return nullptr;
    std::memcpy(block, a.payload, a.payloadLength);
    block[a.payloadLength] = '\0';
    *out = reqType == kPeerCodelistQuery ? a.payloadLength : a.count;
    return block;
}

int32_t CascadeNode::SubscribeThroughMaster(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                            const std::string& codelist) {
    if (!SendToParent(
            BuildPeerSubscribeText(int32_t(dataClass), int32_t(subopType), CreateGuidString(), market, codelist)))
        TL_WriteLog(1, "SubScribe: change of %u|%s:%s not sent to the master", dataClass, market.c_str(),
                    codelist.c_str());
    return 0;
}

int32_t CascadeNode::SubscribeLocal(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                    const std::string& codelist) {
    const Subscriber local = LocalSubscriber();
    if (m_settings.mode != kvoapi::kChild) return m_subscriptions.Apply(local, dataClass, subopType, market, codelist);
    // A child's keys are held under its connection to the master and end
    // with it. Without a connection the change can reach no master: it is
    // refused and nothing is kept, for a key held under no connection would
    // count as a holder of its codes for good, and the same codes subscribed
    // after the next login would never be sent (the refusals of Apply come
    // first).
    if (local == 0 && subopType >= 1 && subopType <= 4) {
        if (SubscriptionRefusal(dataClass, market) != 0)
            return m_subscriptions.Apply(local, dataClass, subopType, market, codelist);
        TL_WriteLog(2, "SubScribe: change of %u|%s:%s refused, no connection to the master (log in first)", dataClass,
                    market.c_str(), codelist.c_str());
        return KVO_ERR_CASCADE_MASTER;
    }
    const int32_t result = m_subscriptions.Apply(local, dataClass, subopType, market, codelist);
    // The connection dropped meanwhile: its drop cleared the local
    // subscriber before it removed the keys it found, so the keys this change
    // added after that are removed here (its master forgot them with it).
    if (local != 0 && LocalSubscriber() != local) {
        ForgetSubscriber(local);
        return result == 0 ? KVO_ERR_CASCADE_MASTER : result;
    }
    return result;
}
