#include "cascade/relay.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "cascade/cascade_timers.h"
#include "cascade/peer_link.h"
#include "cascade/peer_message.h"
#include "platform/pl_never_destroyed.h"
#include "platform/pl_socket.h"
#include "platform/pl_time.h"

namespace {

struct RelayState {
    std::recursive_mutex mutex;
    void* context = nullptr;
    DataCallbackSlots slots;
    std::shared_ptr<corvane::HostCallGate> gate;
};

RelayState& State() {
    static pl::NeverDestroyed<RelayState> state;  // lives until the process ends
    return *state;
}

std::atomic<Subscriber> g_localSubscriber{0};

// Hands records to the local host through its callback, inside the gate.
void DeliverLocal(const RelayRoute& route, QuoteDataCallback local, const void* records, uint32_t count,
                  const PushTiming* timing) {
    corvane::HostCallScope call(route.gate.get());
    if (call.Entered()) local(route.context, records, count, timing);
}

int32_t Relay(int32_t reqType, const void* records, uint32_t count, const PushTiming* timing,
              const std::shared_ptr<RelayBacklog>& backlog = nullptr) {
    if (records == nullptr || timing == nullptr || count == 0) return 0;
    PeerBlock message = BuildPeerDataMessage(reqType, records, count, timing);
    if (!message.Empty()) PostToDispatcher(std::move(message), backlog);
    return 0;
}

// A dispatcher item that counts in its producer's backlog while it lives.
class CountedItem : public CQueueTaskItem {
public:
    CountedItem(std::shared_ptr<RelayBacklog> backlog, size_t bytes) : m_backlog(std::move(backlog)), m_bytes(bytes) {
        m_backlog->Add(m_bytes);
    }
    ~CountedItem() override { m_backlog->Remove(m_bytes); }

private:
    std::shared_ptr<RelayBacklog> m_backlog;
    size_t m_bytes;
};

}  // namespace

QuoteDataCallback DataCallbackSlots::ForClass(int32_t dataClass) const {
    switch (dataClass) {
    case kPeerTickIndex:
        return fnctickindex;
    case kPeerTickStock:
        return fnctickstock;
    case kPeerOrderQueue:
        return fncorderqueue;
    case kPeerOrderData:
        return fncorderdata;
    case kPeerTransaction:
        return fnctransacton;
    case kPeerSuperStock:
        return fncsuperstock;
    default:
        return nullptr;
    }
}

void SetRelayContext(void* context, const InstanceConfig* config, std::shared_ptr<corvane::HostCallGate> gate) {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    State().context = context;
    State().gate.swap(gate);  // the previous gate is freed after the lock
    if (config == nullptr) return;
    DataCallbackSlots& s = State().slots;
    s.fnctickindex = config->fnctickindex;
    s.fnctickstock = config->fnctickstock;
    s.fnctransacton = config->fnctransacton;
    s.fncorderdata = config->fncorderdata;
    s.fncorderqueue = config->fncorderqueue;
    s.fncsuperstock = config->fncsuperstock;
}

void* GetRelayContext() {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().context;
}

DataCallbackSlots GetRelaySlots() {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().slots;
}

bool ClearRelayContextIf(void* context) {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    if (State().context != context) return false;
    State().context = nullptr;
    State().slots = DataCallbackSlots();
    State().gate.reset();
    return true;
}

Subscriber LocalSubscriber() { return g_localSubscriber.load(std::memory_order_acquire); }

void SetLocalSubscriber(Subscriber subscriber) { g_localSubscriber.store(subscriber, std::memory_order_release); }

// ---- Dispatch -------------------------------------------------------------------

RelayRoute ProcessRelayRoute() {
    RelayRoute route;
    route.registry = &SubscriptionRegistry::Global();
    route.local = LocalSubscriber();
    {
        std::lock_guard<std::recursive_mutex> lock(State().mutex);
        route.context = State().context;
        route.slots = State().slots;
        route.gate = State().gate;
    }
    route.send = [](Subscriber target, PeerBlock&& message) { QueueSend(target, std::move(message)); };
    return route;
}

uint32_t DispatchPacket(const char* message, size_t length, const RelayRoute& route) {
    PeerDataMessage m;
    const uint32_t read = ReadPeerDataMessage(message, length, &m);
    if (read != kPeerOk) return read;
    if (route.registry == nullptr) return kPeerOk;
    // The timing block sits at any offset of the message; the callbacks get
    // an aligned copy.
    PushTiming timing;
    std::memcpy(&timing, m.timing, sizeof timing);
    const QuoteDataCallback local = route.slots.ForClass(m.reqType);

    if (m.reqType == kPeerOrderQueue) {
        SubscriberSet subscribers;
        if (!route.registry->FindSubscribers(RecordSubscriptionKey(kPeerOrderQueue, m.records), &subscribers))
            return kPeerOk;
        for (const Subscriber s : subscribers) {
            if (s == route.local) {
                if (local != nullptr) DeliverLocal(route, local, m.records, 1, &timing);
                continue;
            }
            PeerBlock copy = PeerBlock::Allocate(m.size);
            if (copy.Empty() || !route.send) continue;
            std::memcpy(copy.Data(), message, m.size);
            route.send(s, std::move(copy));
        }
        return kPeerOk;
    }

    std::vector<std::string> keys;
    keys.reserve(m.count);
    for (uint32_t i = 0; i < m.count; ++i)
        keys.push_back(RecordSubscriptionKey(uint32_t(m.reqType), m.records + size_t(i) * m.recordLength));
    SubscriberRecordMap wanted;
    route.registry->CollectSubscribers(keys.data(), keys.size(), &wanted);
    for (const auto& [s, indexes] : wanted) {
        if (indexes.empty()) continue;
        if (s != route.local) {
            PeerBlock part = BuildPeerDataSubset(m, indexes.data(), indexes.size());
            if (!part.Empty() && route.send) route.send(s, std::move(part));
            continue;
        }
        if (local == nullptr) continue;
        PeerBlock block = PeerBlock::Allocate(indexes.size() * size_t(m.recordLength));
        if (block.Empty()) continue;
        char* p = block.Data();
        for (const uint32_t i : indexes) {
            std::memcpy(p, m.records + size_t(i) * m.recordLength, m.recordLength);
            p += m.recordLength;
        }
        DeliverLocal(route, local, block.Data(), uint32_t(indexes.size()), &timing);
    }
    return kPeerOk;
}

// ---- The process-wide threads ---------------------------------------------------

bool CascadeWorker::Attach(const void* owner) {
    std::unique_lock<std::mutex> lock(m_ownerMutex);
    // A Detach that stops the thread ends first.
    m_stopped.wait(lock, [this] { return !m_stopping; });
    // Items posted while nobody was attached belong to an instance that is
    // gone (a session's last push after its instance stopped, say).
    if (m_owners.empty()) m_queue.Clear();
    m_owners.erase(std::remove(m_owners.begin(), m_owners.end(), owner), m_owners.end());
    m_owners.push_back(owner);
    return Start();
}

void CascadeWorker::Detach(const void* owner) {
    {
        std::unique_lock<std::mutex> lock(m_ownerMutex);
        m_stopped.wait(lock, [this] { return !m_stopping; });
        auto it = std::find(m_owners.begin(), m_owners.end(), owner);
        if (it == m_owners.end()) return;
        m_owners.erase(it);
        if (!m_owners.empty()) return;
        m_stopping = true;
    }
    // The thread is waited for without the owner mutex; an Attach or Detach
    // from another thread waits until it is gone.
    Stop();
    Join();
    OnStopped();
    {
        std::lock_guard<std::mutex> lock(m_ownerMutex);
        m_queue.Clear();
        m_stopping = false;
    }
    m_stopped.notify_all();
}

const void* CascadeWorker::Owner() {
    std::lock_guard<std::mutex> lock(m_ownerMutex);
    return m_owners.empty() ? nullptr : m_owners.back();
}

namespace {
// Set on the relay dispatcher's thread by its first item (a plain value: no
// thread-local destructor to register).
thread_local bool t_relayDispatcher = false;
}  // namespace

bool OnRelayDispatcher() { return t_relayDispatcher; }

void CDataTransThread::ProcessItem(CQueueTaskItem* item) {
    t_relayDispatcher = true;
    int32_t length = 0;
    const char* data = item->GetData(nullptr, &length);
    if (item->GetType() == CQueueTaskItem::kText && data != nullptr && length > 0)
        DispatchPacket(data, size_t(length), ProcessRelayRoute());
    delete item;
}

namespace {
// Items handled between two passes over the links with bytes left.
constexpr size_t kSendItemsPerPass = 64;
}  // namespace

bool CSocketSend::Post(CQueueTaskItem* item) {
    const bool posted = CascadeWorker::Post(item);
    NotifyPeerSender();
    return posted;
}

void CSocketSend::Stop() {
    CascadeWorker::Stop();
    WakePeerSender();
}

void CSocketSend::OnStopped() { ShutdownQueuedPeerLinks(); }

uint32_t CSocketSend::Run(void*) {
    std::vector<std::shared_ptr<PeerLink>> queued;
    std::vector<int> fds;
    while (!IsStopped()) {
        size_t handled = 0;
        while (handled < kSendItemsPerPass) {
            CQueueTaskItem* item = m_queue.Pop();
            if (item == nullptr) break;
            ProcessItem(item);
            ++handled;
        }
        const uint64_t now = pl::TickMs();
        const uint32_t timeoutMs = GetCascadeTimers().sendTimeoutMs;
        uint64_t due = UINT64_MAX;
        fds.assign(1, PeerSenderWakeFd());
        CollectQueuedPeerLinks(&queued);
        for (const std::shared_ptr<PeerLink>& link : queued) {
            uint64_t linkDue = 0;
            if (!link->Flush(now, timeoutMs, &linkDue)) continue;
            due = std::min(due, linkDue);
            fds.push_back(link->Fd());
        }
        // The wait is announced before the last look at the queue: an item
        // posted after that look finds it announced and wakes the wait
        // (peer_link.h). Without a wake-up descriptor the wait is kept short.
        if (handled < kSendItemsPerPass && BeginPeerSenderWait() && m_queue.IsEmpty()) {
            int waitMs = fds[0] < 0 ? 1 : static_cast<int>(m_nWaitTimeout);
            if (due != UINT64_MAX)
                waitMs = static_cast<int>(std::min<uint64_t>(due > now ? due - now : 0, uint64_t(waitMs))) + 1;
            // The links are held until the wait ends, so that their
            // descriptors stay theirs meanwhile.
            if (pl::WaitReadableOrSendable(fds.data(), fds.size(), waitMs) < 0) pl::SleepMs(1);
            DrainPeerSenderWake();
        }
        EndPeerSenderWait();
        queued.clear();
    }
    return 0;
}

void CSocketSend::ProcessItem(CQueueTaskItem* item) {
    uint64_t target = 0;
    int32_t length = 0;
    const char* data = item->GetData(&target, &length);
    if (item->GetType() == CQueueTaskItem::kSocketData && data != nullptr && length >= 1)
        SendFramed(target, data, uint32_t(length));
    delete item;
}

// The process-wide threads are never destroyed: a host that leaves without
// releasing its instances must not find them gone under a running thread.
CDataTransThread& DataTransThread() {
    static pl::NeverDestroyed<CDataTransThread> thread;
    return *thread;
}

CSocketSend& SocketSendThread() {
    static pl::NeverDestroyed<CSocketSend> thread;
    return *thread;
}

size_t RelayBacklog::Bytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void RelayBacklog::WaitAtMost(size_t limit, const std::function<bool()>& stop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_fell.wait(lock, [&] { return m_bytes <= limit || stop(); });
}

void RelayBacklog::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fell.notify_all();
}

void RelayBacklog::Add(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes += bytes;
}

void RelayBacklog::Remove(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes -= std::min(bytes, m_bytes);
    m_fell.notify_all();
}

void PostToDispatcher(PeerBlock message, const std::shared_ptr<RelayBacklog>& backlog) {
    if (message.Empty() || message.Size() > kPeerMaxBody) return;
    auto* item = backlog ? new CountedItem(backlog, sizeof(CountedItem) + message.Size()) : new CQueueTaskItem;
    const int32_t length = int32_t(message.Size());
    item->SetText(message.Release());
    item->m_nLength = length;
    DataTransThread().Post(item);
}

void QueueSend(Subscriber target, PeerBlock message) {
    if (message.Empty() || message.Size() > kPeerMaxBody) return;
    auto* item = new CQueueTaskItem;
    const int32_t length = int32_t(message.Size());
    item->SetData(target, message.Release(), length);
    SocketSendThread().Post(item);
}

void SendFramed(Subscriber target, const char* data, uint32_t length) {
    const std::shared_ptr<PeerLink> link = FindPeerLink(target);
    if (link) link->Send(data, length, kPeerFrameData, "SendFramed");
}

// ---- The relay functions ----------------------------------------------------------

int32_t RelayTickIndex(void*, const void* r, uint32_t n, const PushTiming* t) { return Relay(kPeerTickIndex, r, n, t); }
int32_t RelayTickStock(void*, const void* r, uint32_t n, const PushTiming* t) { return Relay(kPeerTickStock, r, n, t); }
int32_t RelayOrderQueue(void*, const void* r, uint32_t n, const PushTiming* t) {
    return Relay(kPeerOrderQueue, r, n, t);
}
int32_t RelayOrderData(void*, const void* r, uint32_t n, const PushTiming* t) { return Relay(kPeerOrderData, r, n, t); }
int32_t RelayTransaction(void*, const void* r, uint32_t n, const PushTiming* t) {
    return Relay(kPeerTransaction, r, n, t);
}
int32_t RelaySuperStock(void*, const void* r, uint32_t n, const PushTiming* t) {
    return Relay(kPeerSuperStock, r, n, t);
}

void RelayCounted(int32_t reqType, const void* records, uint32_t count, const PushTiming& timing,
                  const std::shared_ptr<RelayBacklog>& backlog) {
    Relay(reqType, records, count, &timing, backlog);
}

void FillRelayCallbacks(InstanceConfig* config) {
    if (config == nullptr) return;
    config->fnctickindex = &RelayTickIndex;
    config->fnctickstock = &RelayTickStock;
    config->fncorderqueue = &RelayOrderQueue;
    config->fncorderdata = &RelayOrderData;
    config->fnctransacton = &RelayTransaction;
    config->fncsuperstock = &RelaySuperStock;
}
