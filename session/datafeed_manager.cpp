// CDatafeedSDKManager: construction with the four standing workers, the
// address list, the super-stock level, request ids, the connection and its
// callbacks, the worker slots and the stop order.
#include "session/datafeed_manager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/net/tl_netcodes.h"
#include "framework/tl_log.h"
#include "framework/tl_thread.h"
#include "protocol/kvo_filter.h"
#include "protocol/kvo_message.h"
#include "session/builtin_hosts.h"
#include "session/session_timers.h"

namespace {

std::atomic<uint32_t> g_instid{0};

uint32_t MarketKindOf(const std::string& market) {
    if (market == "SZ") return CDatafeedSDKManager::kMarketKindSZ;
    if (market == "SH") return CDatafeedSDKManager::kMarketKindSH;
    if (market == "OO") return CDatafeedSDKManager::kMarketKindOO;
    return 0;
}

// Handlers of "ReceieveThread" and "reconnectThread", bound to the session.
int32_t RunLogin(CDatafeedSDKManager* m, RecrieceDataThreadInfo* item) {
    return m->Login2Datafeed(item->m_session, item->m_connectionId);
}
int32_t RunAnswer(CDatafeedSDKManager* m, RecrieceDataThreadInfo* item) {
    return m->OnAnswer(item->m_session, item->m_connectionId, item->m_payload);
}
int32_t RunWaitedAnswer(CDatafeedSDKManager* m, RecrieceDataThreadInfo* item) {
    return m->OnWaitedAnswer(item->m_session, item->m_connectionId, item->m_payload);
}
int32_t RunReconnect(CDatafeedSDKManager* m, RecrieceDataThreadInfo*) { return m->Reconnect(); }
// A reconnect re-subscribes with waiting requests whose answers
// "ReceieveThread" delivers: a kind-4 item that reaches that thread is handed
// on to "reconnectThread".
int32_t ForwardReconnect(CDatafeedSDKManager* m, RecrieceDataThreadInfo*) {
    m->PostReconnect();
    return 0;
}

// The workers are stopped in this order.
constexpr CDatafeedSDKManager::WorkerSlot kStopOrder[] = {
    CDatafeedSDKManager::kReceieveThread,         CDatafeedSDKManager::kReconnectThread,
    CDatafeedSDKManager::kProcessFeedBack,        CDatafeedSDKManager::kProcessOrderqueue,
    CDatafeedSDKManager::kProcessTransaction,     CDatafeedSDKManager::kProcessOrder,
    CDatafeedSDKManager::kProcessSuperStock,      CDatafeedSDKManager::kProcessIndexTick,
    CDatafeedSDKManager::kProcessStockTick,       CDatafeedSDKManager::kHeartbitThread,
    CDatafeedSDKManager::kSubAsyncCallBackThread,
};
static_assert(sizeof(kStopOrder) / sizeof(kStopOrder[0]) == CDatafeedSDKManager::kWorkerSlots);

}  // namespace

CDatafeedSDKManager::CDatafeedSDKManager(const InstanceConfig* config, CSocketDataMananger* owner,
                                         const std::string& market, std::shared_ptr<corvane::HostCallGate> hostGate)
    : m_owner(owner), m_hostGate(std::move(hostGate)) {
    // 1. Members: the configuration copy and the owning instance.
    if (config != nullptr) std::memcpy(&m_config, config, sizeof(m_config));
    for (auto& slot : m_workers) slot.store(nullptr, std::memory_order_relaxed);
    // 2. Logged in 0, no workers, loopback sampling 1, no heartbeat answer,
    // not kicked (member initialisers).
    // 3. Sort and alternative-class switches.
    m_altDataClass.store(m_config.m_altdataclass != 0 ? 1 : 0);
    m_sortPush.store(m_config.m_altdataclass != 0 && m_config.m_sortpush != 0 ? 1 : 0);
    // 4. Level 7: every telemetry record, also into the local file.
    if (m_config.m_loglevel == 7) {
        m_level7.store(1);
        m_elkEventMask.store(63);
    }
    // 5. Sampling flags, token, market kind, super-stock level, market code.
    for (uint32_t i = 0; i < kSamplingChannels; ++i) {
        m_samplingArmed[i].store(false);
        m_samplingStamps[i].store(0);
    }
    m_token.clear();
    m_marketKind = MarketKindOf(market);
    m_superStockLevel.store(kSuperStockLevelMin);
    m_marketCode = market;

    try {
        m_session = corvane::CTLRefPtr<CClientSession>(new CClientSession);
        StartStandingWorkers();
    } catch (...) {
        // Nothing of a half-built session stays behind: the workers made so
        // far are stopped and freed.
        BeginStop();
        for (WorkerSlot slot : kStopOrder) StopWorker(slot);
        m_session.Reset();
        throw;
    }

    // The session runs: its start is logged.
    TL_WriteLog(2, "Type:%s-CDatafeedSDKManager[], init m_threadProcessData!, version: %s-%s", m_marketCode.c_str(),
                kSdkVersion, kSdkBuild);
}

void CDatafeedSDKManager::StartStandingWorkers() {
    // Made first, started afterwards in this order, each with one thread.
    auto* receive = new CProcessDataThread("ReceieveThread");
    m_workers[kReceieveThread].store(receive, std::memory_order_release);
    receive->SetHandler(RecrieceDataThreadInfo::kLogin, CProcessDataThread::Handler::BindFree<&RunLogin>(this));
    receive->SetHandler(RecrieceDataThreadInfo::kAnswer, CProcessDataThread::Handler::BindFree<&RunAnswer>(this));
    receive->SetHandler(RecrieceDataThreadInfo::kWaitedAnswer,
                        CProcessDataThread::Handler::BindFree<&RunWaitedAnswer>(this));
    receive->SetHandler(RecrieceDataThreadInfo::kReconnect,
                        CProcessDataThread::Handler::BindFree<&ForwardReconnect>(this));

    auto* feedback =
        new CProcessFeedBackThread(CProcessFeedBackThread::Sender::Bind<&CDatafeedSDKManager::SendFeedback>(this));
    m_workers[kProcessFeedBack].store(feedback, std::memory_order_release);

    auto* reconnect = new CReConnectThread(CProcessDataThread::Handler::BindFree<&RunReconnect>(this));
    m_workers[kReconnectThread].store(reconnect, std::memory_order_release);

    // The heartbeat worker keeps one serialised HeartBeat {interval 2000}.
    datapacket::HeartBeat beat;
    beat.set_interval(2000);
    const std::string bytes = beat.SerializeAsString();
    auto* heartbeat = new CHeartBitThread("heartbitThread", GetSessionTimers().heartbeatMs,
                                          CHeartBitThread::Handler::Bind<&CDatafeedSDKManager::SendHeartBit>(this),
                                          bytes.data(), static_cast<uint32_t>(bytes.size()));
    m_workers[kHeartbitThread].store(heartbeat, std::memory_order_release);

    for (WorkerSlot slot : {kReceieveThread, kProcessFeedBack, kReconnectThread, kHeartbitThread}) {
        if (m_workers[slot].load(std::memory_order_acquire)->Start(1) != 1) throw std::bad_alloc();
    }
}

CDatafeedSDKManager::~CDatafeedSDKManager() {
    m_loggedIn.store(0, std::memory_order_release);
    // Stopping first: every wait of the session wakes and nothing new is
    // queued or connected. Then the connection is detached, so that no
    // socket engine callback reaches the session or its workers any more.
    BeginStop();
    DisconnectConnection();
    for (WorkerSlot slot : kStopOrder) StopWorker(slot);
    m_session.Reset();
}

void CDatafeedSDKManager::BeginStop() {
    m_stopping.store(true, std::memory_order_release);
    m_stopEvent.SetEvent();
    m_pending.Close();
    m_loginHolder.event.SetEvent();
}

void CDatafeedSDKManager::StopWorker(WorkerSlot slot) {
    CTLThreadPool* worker = nullptr;
    {
        // Posting takes the worker mutex too: once the slot is empty no
        // thread can still be handing an item to this worker.
        corvane::CTLSingleLock lock(&m_workerMutex, 1);
        worker = m_workers[slot].exchange(nullptr, std::memory_order_acq_rel);
    }
    if (worker != nullptr) StopAndFree(worker);
}

void CDatafeedSDKManager::StopAndFree(CTLThreadPool* worker) {
    const uint32_t wait = GetSessionTimers().stopWaitMs;
    const uint64_t start = TL_GetTickCount64();
    worker->Stop(wait);
    if (worker->IsRunning()) {
        // A step that does not end (a host callback that does not return):
        // the thread is never killed, and the session, which it uses, waits.
        TL_WriteLog(1, "Type:%s-~CDatafeedSDKManager[],%s still running after %u ms, waiting", m_marketCode.c_str(),
                    worker->GetName().c_str(), wait);
        while (worker->IsRunning()) TL_Sleep(5);
        TL_WriteLog(1, "Type:%s-~CDatafeedSDKManager[],%s stopped after %llu ms", m_marketCode.c_str(),
                    worker->GetName().c_str(), static_cast<unsigned long long>(TL_GetTickCount64() - start));
    }
    // The pool's destructor frees the items still queued.
    delete worker;
}

bool CDatafeedSDKManager::StartAndInstall(WorkerSlot slot, CTLThreadPool* worker, const char* caller) {
    // Started and, when refused, stopped and joined with no session lock
    // held: the worker mutex is taken only for the slot itself.
    if (worker->Start(1) != 1) {
        TL_WriteLog(1, "Type:%s-%s[],%s cannot start", m_marketCode.c_str(), caller, worker->GetName().c_str());
        delete worker;
        return false;
    }
    if (InstallWorker(slot, worker)) return true;
    // Another thread filled the slot first, or the session stops.
    StopAndFree(worker);
    return false;
}

int32_t CDatafeedSDKManager::AddAddress(const char* host, uint16_t port, bool front) {
    if (host == nullptr) return 0;
    if (kvoapi::GetBuiltinHosts().legacyQuoteHost == host) return 0;
    corvane::CTLSingleLock lock(&m_addressMutex, 1);
    if (front) {
        m_hosts.insert(m_hosts.begin(), host);
        m_ports.insert(m_ports.begin(), port);
    } else {
        m_hosts.emplace_back(host);
        m_ports.push_back(port);
    }
    return 0;
}

std::vector<std::pair<std::string, uint16_t>> CDatafeedSDKManager::Addresses() const {
    corvane::CTLSingleLock lock(&m_addressMutex, 1);
    std::vector<std::pair<std::string, uint16_t>> list;
    list.reserve(m_hosts.size());
    for (size_t i = 0; i < m_hosts.size() && i < m_ports.size(); ++i) list.emplace_back(m_hosts[i], m_ports[i]);
    return list;
}

void CDatafeedSDKManager::SetSuperStockLevel(int32_t level) {
    m_superStockLevel.store(std::clamp(level, kSuperStockLevelMin, kSuperStockLevelMax), std::memory_order_release);
}

uint32_t CDatafeedSDKManager::NextInstid() {
    for (;;) {
        const uint32_t id = g_instid.fetch_add(1, std::memory_order_relaxed) + 1;
        // 0 is what an answer without an instid reads as, and 0xFFFFFFFF
        // marks an answer that names no request: neither may be handed out
        // when the counter wraps.
        if (id != 0 && id != kNoInstid) return id;
    }
}

uint32_t CDatafeedSDKManager::AnswerTimeoutMs() const {
    return m_config.m_timeout > 0 ? static_cast<uint32_t>(m_config.m_timeout) : GetSessionTimers().defaultAnswerMs;
}

// ---- connection ----

int32_t CDatafeedSDKManager::OpenConnection(const char* host, uint16_t port) {
    corvane::CTLSingleLock lock(&m_connectLock, 1);
    if (IsStopping()) return TL_NET_E_FAIL;
    CClientSession* session = m_session.Get();
    // The old link is done with the sink before a new one is opened on it.
    DetachLink();
    m_connectionId.fetch_add(1, std::memory_order_acq_rel);
    auto* filter = new (std::nothrow) CKvoFilter;
    if (filter == nullptr) return TL_NET_E_NOMEM;
    {
        // A host thread may be sending through the old filter: it is deleted
        // (and this one kept) only between two frames.
        corvane::CTLSingleLock send(&m_sendMutex, 1);
        session->SetFilter(filter, 0x1 | 0x2);
    }
    session->SetConnectCallback(this, &OnSinkConnect);
    session->SetDisconnectCallback(this, &OnSinkDisconnect);
    session->SetDataCallback(this, &OnSinkReceive);
    // Set first: a link that fails at once calls back before Connect returns.
    m_linkOpen.store(true, std::memory_order_release);
    const int32_t rc = session->Connect(host, port);
    if (rc != 0) m_linkOpen.store(false, std::memory_order_release);
    return rc;
}

void CDatafeedSDKManager::DisconnectConnection() {
    corvane::CTLSingleLock lock(&m_connectLock, 1);
    if (m_session) DetachLink();
}

void CDatafeedSDKManager::DetachLink() {
    // A link still attached is detached under its own locks, which wait for
    // any callback of it in progress; none follows.
    if (m_session->Disconnect(TL_NET_CLOSE_DETACH) != TL_NET_E_NO_LINK) {
        m_linkOpen.store(false, std::memory_order_release);
        return;
    }
    // The link went away by itself (the gateway closed it, or the connect
    // failed): its disconnect call is under way on a socket engine thread
    // and still reads the sink until the session's callback returns. The
    // sink is not changed before that.
    const uint64_t start = TL_GetTickCount64();
    while (m_linkOpen.load(std::memory_order_acquire)) {
        if (TL_GetTickCount64() - start > kLinkEndWaitMs) {
            TL_WriteLog(1, "Type:%s-DisconnectConnection[],the closed link did not report within %u ms",
                        m_marketCode.c_str(), kLinkEndWaitMs);
            m_linkOpen.store(false, std::memory_order_release);
            break;
        }
        TL_Sleep(1);
    }
}

bool CDatafeedSDKManager::EnterSessionReceive(uint32_t connectionId) {
    // No lock: the login exchange calls this under the login holder's lock,
    // and the connect lock is held while a closing link's callbacks (which
    // take that lock) are waited for. Generations only grow, and the
    // routing counts only when the stored id is the current generation, so
    // an id stored just after a newer connection opened is never used.
    if (connectionId == 0 || connectionId != m_connectionId.load(std::memory_order_acquire)) return false;
    m_sessionReceiveId.store(connectionId, std::memory_order_release);
    return connectionId == m_connectionId.load(std::memory_order_acquire);
}

bool CDatafeedSDKManager::InSessionReceive() const {
    const uint32_t id = m_sessionReceiveId.load(std::memory_order_acquire);
    return id != 0 && id == m_connectionId.load(std::memory_order_acquire);
}

int32_t CDatafeedSDKManager::OnSinkConnect(void* ctx, corvane::CTLNetNotify* sink, uint32_t) {
    auto* self = static_cast<CDatafeedSDKManager*>(ctx);
    if (self->IsStopping()) return 0;
    return self->OnConnectToDatafeed(static_cast<CClientSession*>(sink), self->ConnectionId());
}

int32_t CDatafeedSDKManager::OnSinkDisconnect(void* ctx, corvane::CTLNetNotify* sink, uint32_t code,
                                              corvane::ITLConnection*) {
    auto* self = static_cast<CDatafeedSDKManager*>(ctx);
    // The link's last call: once it returns, the sink may be reused.
    struct LinkEnd {
        CDatafeedSDKManager* session;
        ~LinkEnd() { session->m_linkOpen.store(false, std::memory_order_release); }
    } end{self};
    if (self->IsStopping()) return 0;
    const uint32_t id = self->ConnectionId();
    // A refused or unreachable connect is reported here, after the open
    // itself succeeded: the attempt waiting for it ends at once.
    if ((code & 0x40) != 0) self->OnConnectFailed(id);
    return self->OnDatafeedDisconnect(static_cast<CClientSession*>(sink), id, code);
}

int32_t CDatafeedSDKManager::OnSinkReceive(void* ctx, corvane::CTLNetNotify* sink, uint32_t, uint32_t length,
                                           const void* data) {
    auto* self = static_cast<CDatafeedSDKManager*>(ctx);
    if (self->IsStopping()) return 0;
    auto* connection = static_cast<CClientSession*>(sink);
    // One receive entry: the routing is chosen by an atomic state, so the
    // switch after a login never tears a callback pair another thread reads.
    const uint32_t id = self->ConnectionId();
    if (self->InSessionReceive()) return self->OnReceiveData(connection, id, 0, data, length);
    return self->OnLoginReceiveData(connection, id, 0, data, length);
}

int32_t CDatafeedSDKManager::OnConnectToDatafeed(CClientSession* connection, uint32_t connectionId) {
    TL_WriteLog(2, "Type:%s-CDatafeedSDKManager::OnConnectToDatafeed[], rec connect reback ", m_marketCode.c_str());
    auto* item = new (std::nothrow) RecrieceDataThreadInfo;
    if (item == nullptr) return 0;
    item->m_session = connection;
    item->m_connectionId = connectionId;
    item->m_kind = RecrieceDataThreadInfo::kLogin;
    item->m_sampleMs = GetNowMs();
    if (!PostReceiveItem(kReceieveThread, item)) delete item;
    return 0;
}

// ---- workers ----

CTLThreadPool* CDatafeedSDKManager::Worker(WorkerSlot slot) const {
    if (slot >= kWorkerSlots) return nullptr;
    return m_workers[slot].load(std::memory_order_acquire);
}

CProcessDataThread* CDatafeedSDKManager::ReceiveThread() const {
    return static_cast<CProcessDataThread*>(Worker(kReceieveThread));
}

bool CDatafeedSDKManager::PostItem(WorkerSlot slot, void* item) {
    corvane::CTLSingleLock lock(&m_workerMutex, 1);
    if (IsStopping()) return false;
    CTLThreadPool* worker = Worker(slot);
    if (worker == nullptr) return false;
    switch (slot) {
    case kProcessFeedBack:
        return static_cast<CProcessFeedBackThread*>(worker)->AddTask(static_cast<FeedBackDataThreadInfo*>(item));
    case kHeartbitThread:
    case kSubAsyncCallBackThread:
        return static_cast<CHeartBitThread*>(worker)->AddTask(static_cast<HeartBitThreadInfo*>(item));
    default:
        return static_cast<RecrieceDataWorker*>(worker)->AddTask(static_cast<RecrieceDataThreadInfo*>(item));
    }
}

bool CDatafeedSDKManager::PostReceiveItem(WorkerSlot slot, RecrieceDataThreadInfo* item) {
    if (item == nullptr || slot == kProcessFeedBack || slot == kHeartbitThread || slot == kSubAsyncCallBackThread ||
        slot >= kWorkerSlots) {
        return false;
    }
    return PostItem(slot, item);
}

bool CDatafeedSDKManager::PostFeedBackItem(FeedBackDataThreadInfo* item) {
    return item != nullptr && PostItem(kProcessFeedBack, item);
}

bool CDatafeedSDKManager::PostHeartBitItem(WorkerSlot slot, HeartBitThreadInfo* item) {
    if (item == nullptr || (slot != kHeartbitThread && slot != kSubAsyncCallBackThread)) return false;
    return PostItem(slot, item);
}

bool CDatafeedSDKManager::InstallWorker(WorkerSlot slot, CTLThreadPool* worker) {
    if (worker == nullptr || (slot >= kPushWorkers && slot != kSubAsyncCallBackThread)) return false;
    corvane::CTLSingleLock lock(&m_workerMutex, 1);
    if (IsStopping() || m_workers[slot].load(std::memory_order_acquire) != nullptr) return false;
    m_workers[slot].store(worker, std::memory_order_release);
    return true;
}

// ---- state ----

void CDatafeedSDKManager::ArmSampling(SamplingChannel channel) {
    if (channel < kSamplingChannels) m_samplingArmed[channel].store(true, std::memory_order_release);
}

bool CDatafeedSDKManager::IsSamplingArmed(SamplingChannel channel) const {
    return channel < kSamplingChannels && m_samplingArmed[channel].load(std::memory_order_acquire);
}
