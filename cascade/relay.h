// The process-wide relay of quote batches.
//
// In the cascade roles and during offline playback every batch of output
// records passes through one relay dispatcher thread (CDataTransThread) as a
// data message of the cascade protocol: built in this process by the relay
// functions (the market sessions' data callbacks in the master role, and
// offline playback), or received from the master. The dispatcher asks the
// SubscriptionRegistry who wants each record and hands every subscriber its
// records: the local host through its data callback (on the dispatcher's
// thread, with the process-wide callback context), each child connection as
// a new data message that the socket sender thread (CSocketSend) frames and
// queues on the child's link. The sender never waits for one connection: it
// writes what each socket takes and serves the links with bytes left as
// their sockets make room (peer_link.h), so a child that stops reading
// delays no other.
//
// Process-wide state, shared by every instance of the process (the instance
// created last sets the callbacks and context):
//  - the six data-callback slots and the callback context;
//  - the local subscriber: the connection to the master in the child role,
//    0 otherwise;
//  - the dispatcher and the sender, built when the library loads and started
//    by the instances that attach to them.
//
// An instance attaches to the dispatcher and the sender when it starts and
// detaches when it stops. A thread runs while at least one instance is
// attached; the owner is the instance attached last, and when it detaches
// the one attached before it becomes the owner again, so that an instance
// never stops a thread another running instance uses, and attaching never
// starts a second thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "cascade/peer_frame.h"
#include "framework/tl_hostcall.h"
#include "framework/tl_sync.h"
#include "framework/tl_worker.h"
#include "include/kvoapi.h"
#include "session/subscription_registry.h"

// ---- Callback slots and the local subscriber ----------------------------------

struct DataCallbackSlots {
    QuoteDataCallback fnctickindex = nullptr;
    QuoteDataCallback fnctickstock = nullptr;
    QuoteDataCallback fnctransacton = nullptr;
    QuoteDataCallback fncorderdata = nullptr;
    QuoteDataCallback fncorderqueue = nullptr;
    QuoteDataCallback fncsuperstock = nullptr;

    // The slot of a host data class: 1 index, 2 stock, 3 order queue,
    // 4 order, 5 transaction, 6 super stock; null for any other.
    QuoteDataCallback ForClass(int32_t dataClass) const;
};

// Makes context the callback context and, when config is given, copies its
// six data callbacks into the slots, under one lock (so that an instance
// released in between cannot leave its callbacks behind). gate is the
// context's gate of host callbacks, entered around every local delivery.
void SetRelayContext(void* context, const InstanceConfig* config,
                     std::shared_ptr<corvane::HostCallGate> gate = nullptr);
void* GetRelayContext();
DataCallbackSlots GetRelaySlots();
// When context is the callback context: clears it and the slots; true then.
bool ClearRelayContextIf(void* context);

// The subscriber value of the local host (the connection to the master in
// the child role; 0 when there is none).
Subscriber LocalSubscriber();
void SetLocalSubscriber(Subscriber subscriber);

// ---- Dispatch -------------------------------------------------------------------

// Where DispatchPacket delivers: the registry that names the subscribers,
// the local subscriber with its callbacks and context, and the sender of
// messages to the other subscribers.
struct RelayRoute {
    SubscriptionRegistry* registry = nullptr;
    Subscriber local = 0;
    void* context = nullptr;
    DataCallbackSlots slots;
    std::shared_ptr<corvane::HostCallGate> gate;  // the context's; null: none
    std::function<void(Subscriber, PeerBlock&&)> send;
};

// The route of the process: the global registry, the local subscriber, the
// callback slots and context, and QueueSend.
RelayRoute ProcessRelayRoute();

// Delivers one data message (ReqType 1-6) of length bytes: read with every
// length checked against what arrived (ReadPeerDataMessage), each record's
// key looked up in the registry; the local subscriber gets its records
// through its callback (with a copy of the timing block), any other
// subscriber a new data message of its records. An order queue (3) goes
// whole: the local subscriber's callback gets its record, the others a copy
// of the message. The local callback is made only while the route's gate
// lets it in. Returns kPeerOk, or why the message was dropped.
uint32_t DispatchPacket(const char* message, size_t length, const RelayRoute& route);

// ---- The process-wide threads ---------------------------------------------------

// A CThreadBase shared by the instances of the process, started and stopped
// by attaching and detaching (see above).
class CascadeWorker : public CThreadBase {
public:
    // Registers owner (moving it to the end when already attached) and
    // starts the thread unless it runs. False when the thread cannot start.
    bool Attach(const void* owner);
    // Forgets owner; when no owner is left, stops the thread, waits for it
    // and deletes the items still queued. Nothing when owner is not attached.
    void Detach(const void* owner);
    // The instance attached last, or null.
    const void* Owner();
    void OnTimeout() override {}

protected:
    // After the last Detach has stopped the thread, before the queue is
    // emptied.
    virtual void OnStopped() {}

private:
    // The owners and the stopping state; never held while the thread is
    // joined.
    std::mutex m_ownerMutex;
    std::condition_variable m_stopped;  // m_stopping went back to false
    bool m_stopping = false;            // the last Detach is waiting for the thread
    std::vector<const void*> m_owners;
};

// The relay dispatcher: a type-0 item holds one data message (the item's
// length is the message's) and goes to DispatchPacket; other items are only
// deleted.
class CDataTransThread : public CascadeWorker {
public:
    void ProcessItem(CQueueTaskItem* item) override;
};

// The socket sender: a type-1 item (target connection, data, length >= 1)
// goes to SendFramed; other items are only deleted. Between items (a bounded
// number a pass) it writes the bytes that links still hold and waits for
// the first of: a posted item, room on one of those sockets, or the end of
// a link's send time-out. When it stops for good the links still holding
// bytes are shut down.
class CSocketSend : public CascadeWorker {
public:
    bool Post(CQueueTaskItem* item) override;
    void Stop() override;
    uint32_t Run(void* arg) override;
    void ProcessItem(CQueueTaskItem* item) override;

protected:
    void OnStopped() override;
};

CDataTransThread& DataTransThread();
CSocketSend& SocketSendThread();

// True on the relay dispatcher's thread, where the host's data callbacks of
// the master role and of playback run; the last instance to detach from the
// dispatcher stops that thread and waits for it.
bool OnRelayDispatcher();

// What one producer has queued to the relay dispatcher and the dispatcher
// has not finished with. A message posted with a backlog counts, with its
// task item, from the post until the item is deleted: once delivered, or
// when the dispatcher's queue is emptied (its last Detach, after the thread
// ended, or the next Attach), so the count always falls again. Only the
// producer that posts with it is counted, and only it waits: the
// dispatcher's other producers never do. Its mutex is taken last (the queue
// may be emptied under the dispatcher's owner mutex) and held across
// nothing else.
class RelayBacklog {
public:
    size_t Bytes();
    // Returns once at most limit bytes are counted, or once stop() is true;
    // stop is tested at every fall of the count and at every Wake.
    void WaitAtMost(size_t limit, const std::function<bool()>& stop);
    // Makes a waiting WaitAtMost test its stop again.
    void Wake();

    // The counted items' own: from their construction to their deletion.
    void Add(size_t bytes);
    void Remove(size_t bytes);

private:
    std::mutex m_mutex;
    std::condition_variable m_fell;
    size_t m_bytes = 0;
};

// Posts a data message to the relay dispatcher (the item takes the block),
// counted in backlog when one is given.
void PostToDispatcher(PeerBlock message, const std::shared_ptr<RelayBacklog>& backlog = nullptr);
// Posts a message for a connection to the socket sender (the item takes the
// block). Nothing for an empty block.
void QueueSend(Subscriber target, PeerBlock message);
// Frames length bytes as a data frame (type 4) and queues them on the
// connection (PeerLink::Send); nothing when the connection is gone.
void SendFramed(Subscriber target, const char* data, uint32_t length);

// ---- The relay functions ----------------------------------------------------------

// QuoteDataCallback-shaped: each turns a batch of its class into a data
// message and posts it to the relay dispatcher; the caller's records are not
// kept. The context is not used. A null record pointer or timing block, or a
// count of 0, sends nothing. The order-queue function sends the first record
// only (its length follows from its count). Every call returns 0.
int32_t RelayTickIndex(void* context, const void* records, uint32_t count, const PushTiming* timing);
int32_t RelayTickStock(void* context, const void* records, uint32_t count, const PushTiming* timing);
int32_t RelayOrderQueue(void* context, const void* records, uint32_t count, const PushTiming* timing);
int32_t RelayOrderData(void* context, const void* records, uint32_t count, const PushTiming* timing);
int32_t RelayTransaction(void* context, const void* records, uint32_t count, const PushTiming* timing);
int32_t RelaySuperStock(void* context, const void* records, uint32_t count, const PushTiming* timing);

// The relay function of the host data class reqType (1-6), its message
// counted in backlog.
void RelayCounted(int32_t reqType, const void* records, uint32_t count, const PushTiming& timing,
                  const std::shared_ptr<RelayBacklog>& backlog);

// Puts the six relay functions into a configuration's data-callback slots
// (the master's copy of the host's configuration, given to its sessions).
void FillRelayCallbacks(InstanceConfig* config);
