// The cascade side of one library instance: its connections to other
// instances and the requests that travel over them.
//
// An instance in the master or child role listens on its socket_port for
// child instances (an accept thread), reads frames from every connected
// socket on its receive loop, answers its children's logins and snapshot
// queries, records their subscriptions, wakes its own callers when answers to
// their requests arrive, passes answers on to the child that asked, and drops
// connections that fail. In the child role the connection to the master sits
// in the same set and is read by the same loop: the child logs in, queries
// and subscribes through its master, and, listening like a master, serves
// children of its own by passing their requests up and the answers down.
//
// The instance owns its CascadeNode and calls back into itself through
// ICascadeHost (its last login, its queries and its upstream subscription
// road by role). Every instance, standalone ones starting playback too,
// attaches to the process-wide relay dispatcher and socket sender when it
// starts (relay.h).
//
// Locks, in the order they may be taken (a thread holding one takes only
// those after it):
//   1. m_startMutex           the started and stopping states; threads are
//                             started under it (the relay workers' owner
//                             mutexes follow it), never waited for
//   2. CListenSocket m_mutex  the accept thread's owner; held while an
//                             accepted connection is added, so 3 follows it
//   3. the process-wide set mutex over the connected sets (then the
//                             process's table of links)
//   4. the process-wide route mutex over the request routes, taken on its
//                             own: no other lock of the node is held with it
// and the leaves m_masterMutex (then m_pendingMutex, when the connection
// to the master is dropped), m_pendingMutex (then a request's own lock) and
// the process-wide count of started nodes (then the registry's mutex).
// None of them is held while a request or a login is handed
// to the host (ICascadeHost), while a subscription change runs upstream
// (which reaches the instance's market sessions), while a frame is sent,
// or while a thread of the node or a relay worker is joined.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cascade/cascade_settings.h"
#include "cascade/peer_link.h"
#include "cascade/subscription_relay.h"
#include "include/kvoapi.h"
#include "platform/pl_socket.h"
#include "session/elk_log.h"
#include "session/sync_request.h"

// A telemetry record about a cascade connection, for the instance to send
// through its "SH" market session.
struct PeerTelemetryRecord {
    std::string indexPrefix;  // "client@_socket"
    std::string name;         // "socket_connect" or "socket_no_connect"
    std::string option;       // "need_mapparam"
    ElkFields fields;
};

// What the cascade asks of its instance.
class ICascadeHost {
public:
    virtual ~ICascadeHost() = default;
    // The user name and password given to the instance's last KvoLogin (a
    // child's login must match them).
    virtual void CascadeCredentials(std::string* user, std::string* password) = 0;
    // A child's snapshot query (ReqType 101-104) with the child's request
    // text, asked as the instance's own query with the from-caller flag
    // clear: a malloc block with the code-list length or the record count in
    // *out, or null (nothing to answer, or passed on to this instance's own
    // master, which answers the child itself).
    virtual void* CascadeQuery(int32_t reqType, const std::string& market, const std::string& codelist,
                               const std::string& request, uint32_t* out) = 0;
    // An upstream subscription change (subop_type 3 or 4): the instance's
    // subscription with the from-caller flag clear. The host's own changes
    // wait for the answer; those made for children (wait false) run on the
    // receive loop, which serves every child, and must not wait on a
    // gateway: their answers are only logged.
    virtual int32_t CascadeUpstream(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                    const std::string& codelist, bool wait) = 0;
    // A socket telemetry record (only asked in the standalone and master
    // roles); the instance sends it when it has an "SH" session.
    virtual void CascadeTelemetry(const PeerTelemetryRecord& record) = 0;
};

// Listening socket of a node and the thread that accepts on it. The owner
// (the node) is read and written under the thread's own mutex; a connection
// accepted when no owner is attached is closed.
class CListenSocket {
public:
    class Owner {
    public:
        virtual ~Owner() = default;
        virtual int ListenSocket() const = 0;
        virtual void AddClientSocket(int fd, const std::string& peerAddress) = 0;
    };

    CListenSocket() = default;
    ~CListenSocket() { Detach(); }
    CListenSocket(const CListenSocket&) = delete;
    CListenSocket& operator=(const CListenSocket&) = delete;

    // Stores the owner and starts the thread (one thread at most).
    void Attach(Owner* owner);
    // Clears the owner, stops the thread and waits for it.
    void Detach();
    // The owner's listening socket; false without an owner.
    bool GetListenSocket(int* fd);

private:
    void Run();

    std::recursive_mutex m_mutex;
    Owner* m_owner = nullptr;
    std::atomic<bool> m_stop{false};
    pl::PollWaker m_waker;  // ends the accept wait when the thread is to stop
    std::thread m_thread;
};

class CascadeNode : private CListenSocket::Owner {
public:
    CascadeNode(ICascadeHost* host, const kvoapi::ToolSettings& settings, const kvoapi::LocalAddresses& local);
    ~CascadeNode() override;
    CascadeNode(const CascadeNode&) = delete;
    CascadeNode& operator=(const CascadeNode&) = delete;

    // Attaches to the relay dispatcher and the socket sender; in the master
    // and child roles also listens on socket_port and starts the receive
    // loop. True (a listening socket that cannot be set up is logged, and the
    // instance goes on without children).
    bool Start();
    // Ends what Start began: no thread of the node runs afterwards and no
    // process-wide thread runs for it; every connection is closed, its keys
    // and, in the child role, the local host's keys leave the registry,
    // waiting callers wake. The host's keys of the master role and of
    // playback, held under 0 by every such instance of the process, leave
    // with the last node of the process that stops.
    void Stop();
    bool Started() const { return m_started.load(std::memory_order_acquire); }
    // The instance is going away: every caller waiting for the master wakes
    // without an answer, and no request waits any more, for good (a Start
    // does not undo it). Stop still ends the threads.
    void Abandon();

    kvoapi::CascadeMode Mode() const { return m_settings.mode; }
    // The port the node listens on (the ephemeral one when socket_port is
    // 0); 0 when it does not listen.
    uint16_t ListenPort() const { return m_listenPort.load(std::memory_order_acquire); }

    // ---- Child role: the roads through the master ----

    // Connects to the master (dropping an earlier master connection first),
    // sends the login (ReqType 51) and waits for its answer (52): 0 "login
    // succeeded", -1004, -1015 with their texts, -1014 when the master cannot
    // be reached or closes the connection before it answers, -1002 without
    // an answer; any other error code as it came, with empty texts.
    LoginResult LoginThroughMaster(const std::string& user, const std::string& password, const std::string& address,
                                   uint16_t port);
    // A snapshot query through the master (101 code list, 102 index, 103
    // stock, 104 super stock). From the caller: with the request text built
    // here (or the one given), waits for the answer and returns a malloc
    // block of its n data bytes and a zero, with n (code list) or the record
    // count in *out; null on a time-out or an empty or malformed answer. For
    // a child of this instance (fromCaller false): sends the child's request
    // unchanged and returns null; the answer passes down on its own.
    void* QueryThroughMaster(int32_t reqType, const std::string& market, const std::string& codelist,
                             const std::string& request, bool fromCaller, uint32_t* out);
    // Sends a subscription change (ReqType 20, a new id each time). 0.
    int32_t SubscribeThroughMaster(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                   const std::string& codelist);

    // ---- The registry road of the host's own subscriptions ----

    // The host's change under the local subscriber (the four rules of
    // SubscriptionRelay::Apply), passed upstream where coverage changes. 0,
    // or Apply's refusal (-1007, -1011) with nothing kept or passed on. In
    // the child role a change of subop_type 1 to 4 without a connection to
    // the master, or whose connection dropped while it was made, gives -1014
    // and keeps nothing.
    int32_t SubscribeLocal(uint32_t dataClass, uint32_t subopType, const std::string& market,
                           const std::string& codelist);
    // Whether a change of a key needs no upstream step (SubscriptionRelay).
    bool IsKeyCovered(const std::string& key, uint32_t subopType) const {
        return m_subscriptions.IsKeyCovered(key, subopType);
    }

    // ---- Tables, for tests ----
    size_t ConnectionCount();
    size_t RouteCount();
    size_t PendingCount();
    // The connection to the master (its id), 0 when there is none.
    uint64_t MasterConnection();

private:
    struct Route {
        uint64_t link = 0;
        uint64_t sinceMs = 0;
    };
    enum RouteOp { kRouteAdd = 1, kRouteErase = 2, kRouteFind = 3, kRouteClear = 4 };

    // CListenSocket::Owner
    int ListenSocket() const override { return m_listenFd; }
    void AddClientSocket(int fd, const std::string& peerAddress) override;

    void StartListen();
    void CloseSockets();
    void ReceiveLoop();
    // Handles one frame; false when its connection was dropped.
    bool HandleFrame(const std::shared_ptr<PeerLink>& link, PeerFrame& frame, bool* active);
    bool HandlePeerRequest(const std::shared_ptr<PeerLink>& link, const char* body, size_t length, int32_t reqType);
    bool HandleLogin(const std::shared_ptr<PeerLink>& link, std::string_view text);
    void HandleAnswer(const std::shared_ptr<PeerLink>& link, const char* body, size_t length, int32_t reqType);
    void HandleQuery(std::string_view text, int32_t reqType);

    // The connected set, under the process-wide set mutex:
    //  kAddSocket   adds link (and registers it in the process's table);
    //  kDropSocket  drops connection id: its keys leave the registry (the
    //               removals passed upstream), it gets the disconnect notice
    //               and is closed once what was queued for it is out, its
    //               routes are forgotten; false when it is not in the set;
    //  kCopySockets copies the set into *out;
    //  kCloseAll    closes every connection (their keys leave the registry,
    //               nothing is passed upstream) and empties the set.
    enum ClientOp { kAddSocket = 1, kDropSocket = 2, kCopySockets = 3, kCloseAll = 4 };
    bool ManageClientSocket(ClientOp op, uint64_t id, std::set<uint64_t>* out = nullptr,
                            const std::shared_ptr<PeerLink>& link = nullptr);
    bool DropConnection(uint64_t id);
    bool ManageRequestRoute(RouteOp op, uint64_t link, const std::string& id, uint64_t* found = nullptr);
    void ExpireRoutes(uint64_t nowMs);

    // Sends a request to the master: false when there is no connection to
    // the master or the frame could not be sent whole.
    bool SendToParent(const std::string& text);
    void SendToRequester(const std::string& id, const char* data, size_t length);
    void SendDisconnectNotice(const std::shared_ptr<PeerLink>& link);

    // Pending requests of this instance's callers.
    std::shared_ptr<SyncRequest> AddPending(const std::string& id);
    std::shared_ptr<SyncRequest> TakePending(const std::string& id);
    // Sets the flag (m_pendingClosed or m_abandoned, none when null) and
    // wakes every waiting request without an answer, under the pending mutex.
    void ClosePending(bool* closedFlag);
    // Waits for the answer of a pending request: its bytes, or false (time-out
    // or the node stopping); the entry is gone either way.
    bool AwaitAnswer(const std::string& id, const std::shared_ptr<SyncRequest>& request, uint32_t ms,
                     std::string* answer);

    void Telemetry(const char* name, ElkFields fields);

    ICascadeHost* const m_host;
    const kvoapi::ToolSettings m_settings;
    const kvoapi::LocalAddresses m_local;
    SubscriptionRelay m_subscriptions;       // the host's own changes
    SubscriptionRelay m_childSubscriptions;  // children's changes and the drops of connections

    std::atomic<bool> m_started{false};
    std::mutex m_startMutex;
    std::condition_variable m_startChanged;  // m_stopping went back to false
    bool m_stopping = false;                 // a Stop is under way (under m_startMutex)
    int m_listenFd = -1;
    std::atomic<uint16_t> m_listenPort{0};
    CListenSocket m_accept;
    std::atomic<bool> m_stop{false};
    std::thread m_receive;
    pl::PollWaker m_waker;
    uint64_t m_lastExpiry = 0;

    std::set<uint64_t> m_set;               // under the process-wide set mutex
    std::map<std::string, Route> m_routes;  // under the process-wide route mutex

    std::recursive_mutex m_pendingMutex;
    std::map<std::string, std::shared_ptr<SyncRequest>> m_pending;
    bool m_pendingClosed = false;
    bool m_abandoned = false;  // under m_pendingMutex

    std::recursive_mutex m_masterMutex;
    std::shared_ptr<PeerLink> m_master;
};
