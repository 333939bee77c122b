// CDatafeedSDKManager: the session of one market ("SH", "SZ" or "OO") with
// the vendor's gateways.
//
// It owns the gateway address list, the connection (CClientSession with the
// gateway packet filter), the account copy, the pending requests, the kept
// subscriptions and the worker threads of the session. The four standing
// workers "ReceieveThread", "processFeedBack", "reconnectThread" and
// "heartbitThread" start in the constructor; the six push workers and
// "SubAsyncCallBackThread" appear on first use.
//
// Receive path: every gateway frame arrives on a socket engine thread,
// already cut by the packet filter. Until the login of the current
// connection succeeds only answers to waiting requests are matched;
// afterwards pushes go to the push worker of their class, echo and push
// feedback to "processFeedBack", heartbeat answers to the heartbeat clock,
// gateway notifications to their actions and every other packet to
// "ReceieveThread". The receive callbacks never block.
//
// Stopping: the destructor marks the session stopping (every wait of the
// session wakes: pending requests, the login holder, the period workers),
// detaches the connection so that no callback follows, then stops the
// workers cooperatively in a fixed order, joining each, and frees the items
// still queued. No thread is ever terminated.
//
// Locks, in the order they may be taken (a thread holding one takes only
// those after it):
//   1. m_attemptMutex       one Connect at a time (login and reconnect)
//   2. m_connectLock        opening and detaching the connection; detaching
//                           waits for a callback of the link in progress,
//                           which may take 3 to 5
//   3. m_loginHolder.lock   the login outcome of the current attempt
//   4. m_pending's mutex    pending requests and m_asyncSubscriptions (then
//                           a request's own lock)
//   5. m_workerMutex        the worker slots (then a worker's queue)
// and the leaves, under which no other session lock is taken:
// m_accountMutex, m_keptMutex, m_addressMutex, m_elkMutex, the snapshot
// result lists' mutexes (m_convert), and m_sendMutex (then the
// connection's send path; a new connection's filter is put in under it). The socket engine's locks of the
// link come before all of these on its threads: the receive, connect and
// disconnect callbacks run under them.
// Every call into the host (fncnotify, fncsubscribe, the data callbacks)
// enters the owning instance's gate (framework/tl_hostcall.h): once the
// instance is released no new one begins.
//
// None of the session's locks is held while the host is called (fncnotify,
// fncsubscribe, the data callbacks), while another session is used, or
// while a worker thread is started or joined: workers that appear on first
// use are started before the worker mutex is taken to install them, and
// refused or stopped ones are joined after it is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/tl_buffer.h"
#include "framework/tl_hostcall.h"
#include "framework/tl_refptr.h"
#include "framework/tl_sync.h"
#include "include/kvoapi.h"
#include "quote/convert.h"
#include "session/client_session.h"
#include "session/clock.h"
#include "session/elk_log.h"
#include "session/market_session.h"
#include "session/push_workers.h"
#include "session/session_threads.h"
#include "session/sync_request.h"

class CSocketDataMananger;
namespace google::protobuf {
class MessageLite;
}

// A subscription kept for re-subscription or awaiting its asynchronous
// answer.
struct SubscriptionEntry {
    uint32_t msg_dataclass = 0;
    uint32_t subop_type = 0;
    std::string market;
    std::string codelist;
    // Made for a cascade master's children: the asynchronous answer goes to
    // the log and the telemetry, not to the host's fncsubscribe.
    bool forChildren = false;
    int32_t startMs = -1;  // GetDayMs() when sent with telemetry on, else -1
};

// Where the login exchange ("ReceieveThread") reports to the thread that
// waits in Connect. Each Connect arms it for the generation of the
// connection it opens; a result of any other generation (an attempt that
// Connect already gave up) is ignored.
struct LoginHolder {
    corvane::CEvent event{0, 0};     // auto-reset, initially not set
    corvane::CCriticalSection lock;  // the fields below
    uint32_t generation = 0;         // the connection Connect waits for (0: none)
    uint32_t instid = 0;             // that connection's login request (0: not sent yet)
    bool done = false;               // a result is held
    int32_t code = 0;
    std::string statusmsg;
    std::string expire_date;
};

class CDatafeedSDKManager : public SessionClock {
public:
    // The eleven worker slots.
    enum WorkerSlot : uint32_t {
        kProcessIndexTick = 0,
        kProcessOrderqueue,
        kProcessStockTick,
        kProcessOrder,
        kProcessTransaction,
        kProcessSuperStock,
        kProcessFeedBack,
        kReconnectThread,
        kReceieveThread,
        kHeartbitThread,
        kSubAsyncCallBackThread,
        kWorkerSlots,
    };
    static constexpr uint32_t kPushWorkers = 6;  // slots 0..5

    // Push-sampling channels (telemetry): one flag and one stamp each.
    enum SamplingChannel : uint32_t {
        kSampleTransaction = 0,
        kSampleOrder,
        kSampleStock,
        kSampleIndex,
        kSampleSuperStock,
        kSamplingChannels,
    };

    // Market kinds sent as exchange_type.
    static constexpr uint32_t kMarketKindSZ = 1;
    static constexpr uint32_t kMarketKindSH = 2;
    static constexpr uint32_t kMarketKindOO = 4;

    // Rounds of a reconnect over every address.
    static constexpr uint32_t kReconnectRounds = 3;
    // fncnotify codes.
    static constexpr int32_t kNotifyConnectionLost = 1;  // also a gateway's custom disconnect
    static constexpr int32_t kNotifyAdapterDown = 2;
    static constexpr int32_t kNotifyRepeatedLogin = 3;

    static constexpr int32_t kSuperStockLevelMin = 10;
    static constexpr int32_t kSuperStockLevelMax = 1000;
    // Version texts of the constructor's log line.
    static constexpr const char* kSdkVersion = "2.2.5";
    static constexpr const char* kSdkBuild = "8.0.4.";
    // instid of an answer that names no request (other packet types, or a
    // body that does not parse).
    static constexpr uint32_t kNoInstid = 0xFFFFFFFFu;

    // Copies the configuration (336 bytes), keeps the owning instance and the
    // market code, and starts the four standing workers. Throws
    // std::bad_alloc when they cannot be made.
    // hostGate: the owner's gate of host callbacks (null: none).
    CDatafeedSDKManager(const InstanceConfig* config, CSocketDataMananger* owner, const std::string& market,
                        std::shared_ptr<corvane::HostCallGate> hostGate = nullptr);
    ~CDatafeedSDKManager();
    CDatafeedSDKManager(const CDatafeedSDKManager&) = delete;
    CDatafeedSDKManager& operator=(const CDatafeedSDKManager&) = delete;

    // ---- addresses, level, ids ----

    // Adds a gateway address: at the head of the list with front set, else
    // at its end. A host equal to the built-in legacy quote host is ignored.
    // Returns 0.
    int32_t AddAddress(const char* host, uint16_t port, bool front);
    // A copy of the address list, in the order it is tried.
    std::vector<std::pair<std::string, uint16_t>> Addresses() const;
    // The super-stock depth, kept within 10..1000.
    void SetSuperStockLevel(int32_t level);
    int32_t GetSuperStockLevel() const { return m_superStockLevel.load(std::memory_order_acquire); }
    // The next request id of the process (the first request gets 1; ids 0
    // and 0xFFFFFFFF are never handed out).
    static uint32_t NextInstid();

    // ---- connection ----

    // Opens a new connection to host:port: the old one is detached (no
    // callback of it follows), a new gateway packet filter is attached, the
    // receive callback starts in the login state, and the connection id
    // (generation) grows by one. Returns the sink's connect result (0, or a
    // 0x8007xxxx code when the connect failed at once); TL_NET_E_FAIL once
    // the session is stopping.
    int32_t OpenConnection(const char* host, uint16_t port);
    // Detaches the connection (no callback of it follows).
    void DisconnectConnection();
    // The generation of the current connection (0 before the first).
    uint32_t ConnectionId() const { return m_connectionId.load(std::memory_order_acquire); }
    // Switches the receive callback of connection `connectionId` to the
    // logged-in routing (OnReceiveData). False, and nothing changed, when
    // that is no longer the current connection.
    bool EnterSessionReceive(uint32_t connectionId);
    // True while the receive callback routes as after a login.
    bool InSessionReceive() const;
    CClientSession* Connection() const { return m_session.Get(); }

    // ---- receive path ----

    // Receive callback until the login succeeds: matches answers only.
    int32_t OnLoginReceiveData(CClientSession* connection, uint32_t connectionId, uint32_t reserved, const void* frame,
                               uint32_t length);
    // Receive callback after a successful login.
    int32_t OnReceiveData(CClientSession* connection, uint32_t connectionId, uint32_t reserved, const void* frame,
                          uint32_t length);
    // "ReceieveThread" handlers of kinds 3 and 2.
    int32_t OnWaitedAnswer(CClientSession* connection, uint32_t connectionId, const corvane::CTLSmartBuffer& frame);
    int32_t OnAnswer(CClientSession* connection, uint32_t connectionId, const corvane::CTLSmartBuffer& frame);

    // The instid an answer frame names: LoginRsp (2), GetCodelistRsp (4),
    // GetQuotaRsp (8) and SubscribeRsp (10) by their instid field; any other
    // type, a malformed frame or a body that does not parse gives kNoInstid.
    static uint32_t AnswerInstid(const void* frame, uint32_t length);

    // ---- sending ----

    // Sends one request frame. Waiting: the request waits in the pending
    // table for its answer (m_timeout ms, or 5000 when that is not positive);
    // 1 with the answer's body appended to out, 0 without an answer (also
    // when the session stops meanwhile). An answer stored between the wait's
    // end and the removal of the request still counts. Not waiting: the
    // request stays in the pending table with an asynchronous stamp
    // (seconds since 1970 * 10); 1. A frame that cannot be built gives 0.
    int32_t SendRequest(CClientSession* connection, uint32_t instid, uint16_t type, const void* body, uint32_t length,
                        corvane::CTLSmartBuffer* out, bool wait);
    // The waiting half of SendRequest, for a request the caller entered in
    // the pending table under instid already: sends the built frame and
    // waits for the answer as SendRequest does; 1 with the answer's body
    // appended to out, 0 without one.
    int32_t AwaitAnswer(CClientSession* connection, uint32_t instid, const corvane::CTLSmartBuffer& frame,
                        const std::shared_ptr<SyncRequest>& request, corvane::CTLSmartBuffer* out);
    // Sends one frame under the send mutex; 1 whether or not a connection
    // exists.
    int32_t SendPacket(CClientSession* connection, uint16_t type, const void* body, uint32_t length);
    // Sends push feedback (14) and echo replies (15) back with the same body;
    // any other type is ignored. 1.
    int32_t SendFeedback(CClientSession* connection, uint16_t type, const void* body, uint32_t length);
    // The answer wait of a waiting request: m_timeout when positive, else
    // the default (5000 ms).
    uint32_t AnswerTimeoutMs() const;

    // ---- workers ----

    // The worker in a slot (null when it does not exist).
    CTLThreadPool* Worker(WorkerSlot slot) const;
    // Hands an item to the worker in a slot; false when the worker does not
    // exist, the session is stopping or the queue refuses it. The item stays
    // the caller's when false is returned.
    bool PostReceiveItem(WorkerSlot slot, RecrieceDataThreadInfo* item);
    bool PostFeedBackItem(FeedBackDataThreadInfo* item);
    bool PostHeartBitItem(WorkerSlot slot, HeartBitThreadInfo* item);
    // Puts a started worker into an empty slot (push workers and
    // "SubAsyncCallBackThread", which appear on first use). False, and the
    // worker left to the caller, when the slot is taken, is not one of these
    // or the session is stopping. The check and the store go under the
    // worker mutex; the worker is started before, without it.
    bool InstallWorker(WorkerSlot slot, CTLThreadPool* worker);
    // The handlers of "ReceieveThread" (kind 1 log in, 2 answer, 3 waited
    // answer, 4 reconnect), for the session's own roads and for tests.
    CProcessDataThread* ReceiveThread() const;

    // ---- state ----

    const std::string& Market() const { return m_marketCode; }
    uint32_t MarketKind() const { return m_marketKind; }
    const InstanceConfig& Config() const { return m_config; }
    CSocketDataMananger* Owner() const { return m_owner; }
    bool IsStopping() const { return m_stopping.load(std::memory_order_acquire); }
    // Marks the session stopping and wakes every wait of it (pending
    // requests, the login holder, the period workers); later waits fail at
    // once. The destructor begins so; the instance calls it earlier when it
    // is released while host threads still wait in the session.
    void BeginStop();
    // The gate of the owning instance's host callbacks (null when none was
    // given): every call into the host enters it.
    corvane::HostCallGate* HostGate() const { return m_hostGate.get(); }
    // Set when the session begins to stop: a wait of the session's own threads
    // may wait on it with its timeout to be cut short.
    corvane::CEvent& StopEvent() { return m_stopEvent; }
    bool IsLoggedIn() const { return m_loggedIn.load(std::memory_order_acquire) != 0; }
    bool IsKicked() const { return m_kicked.load(std::memory_order_acquire) != 0; }
    bool LoopbackSampling() const { return m_loopbackSample.load(std::memory_order_acquire) != 0; }
    void SetLoopbackSampling(bool on) { m_loopbackSample.store(on ? 1 : 0, std::memory_order_release); }
    uint64_t LastHeartbeatAnswer() const { return m_lastHeartbeatAnswer.load(std::memory_order_acquire); }
    // Arms a push-sampling channel: its next push is sampled.
    void ArmSampling(SamplingChannel channel);
    bool IsSamplingArmed(SamplingChannel channel) const;
    PendingTable& Pending() { return m_pending; }

    // ---- roads of login, heartbeat, subscriptions, queries, telemetry ----

    // Logs in on the market's gateways: tries every address in list order,
    // each with one Connect of the login wait (5000 ms), and stops at the
    // first success. The account is copied into the session; a passport
    // renewed on the way is written back into the caller's account.
    LoginResult Login(kvoapi::LoginAccountInfo& account);
    // Renews the session account's passport through the account
    // authenticator when it is not valid today (formal accounts with a
    // passport and a user or session id only). True when renewed. A session
    // that begins to stop meanwhile ends the renewal (not renewed).
    bool RefreshPassport();
    // One connect-and-login attempt on host:port, waiting at most timeoutMs
    // for the login exchange of the connection it opens. Sets the logged-in
    // state from the result. An attempt that fails (no answer in time, a
    // refusal, no connection) closes its connection before it returns: a
    // later answer on it changes nothing.
    LoginResult Connect(const char* host, uint16_t port, uint32_t timeoutMs);
    // Connect callback of the connection: queues the login exchange
    // (kind 1) to "ReceieveThread". 0 (the sink stays confirmed).
    int32_t OnConnectToDatafeed(CClientSession* connection, uint32_t connectionId);
    // "ReceieveThread" handler of kind 1: sends LoginReq on the connection of
    // that generation and hands the outcome to the waiting Connect. A
    // connection no Connect waits for gets no login.
    int32_t Login2Datafeed(CClientSession* connection, uint32_t connectionId);
    // Hands a login outcome to the Connect waiting for generation; false (and
    // nothing changed) when none waits for it any more.
    bool SetLoginResult(uint32_t generation, int32_t code, const std::string& statusmsg,
                        const std::string& expire_date);
    // The gateway's login status as the library's code: negative statuses by
    // the refusal table, others unchanged.
    static int32_t MapLoginStatus(int32_t statuscode);
    // The operating-system text sent after "2.2.5@@" in LoginReq.version.
    static std::string GetOsText();
    // Disconnect callback of the connection; code is the sink's disconnect
    // code (0x40 set for a connect that failed). Queues a reconnect only
    // while the reconnect-on-disconnect flag is set. 0.
    int32_t OnDatafeedDisconnect(CClientSession* connection, uint32_t connectionId, uint32_t code);
    // "reconnectThread" handler of kind 4 ("ReceieveThread" hands its kind-4
    // items on there). A logged-in session logs out, renews the passport
    // when needed and makes up to kReconnectRounds rounds over the
    // addresses, each attempt a Connect of the login wait. Success:
    // "reconnect_success" telemetry, every kept subscription re-sent (ReSub)
    // and the flag set. Failure: the failure record, then fncnotify code 2
    // (adapter down, flag left cleared) or code 1 (flag set). Nothing
    // happens on a session that is not logged in; a session that begins to
    // stop ends the walk without telling the host. 0.
    int32_t Reconnect();
    // Queues a reconnect (kind 4) to "reconnectThread"; false, and the item
    // freed, when it is refused.
    bool PostReconnect();
    // "heartbitThread" handler: one heartbeat tick with the pre-serialised
    // HeartBeat bytes. Without an answer time nothing happens; an answer
    // older than the check-out age clears it and queues a reconnect instead
    // of sending; otherwise push sampling is armed and, while logged in, the
    // bytes go out as packet type 16. 0.
    int32_t SendHeartBit(const void* bytes, uint32_t length);
    // Gateway notifications (packet type 60) by status: 1, 2, 3 and 4, 5.
    void OnGatewayNotify(int32_t statuscode, const std::string& statusmsg);
    // 1: logged out and kicked for good; fncnotify code 3.
    void ActiveDisconnect();
    // 2: every address whose host is the built-in SH gateway host is
    // removed, under the address mutex.
    void GatewayRemoveSH();
    // 3 and 4: the answer time is cleared and a reconnect queued.
    void GatewayReconnect();
    // 5: logged out and kicked for good; fncnotify code 1 with the market
    // code and the gateway's text (GBK).
    void CustomDisconnect(const std::string& statusmsg);
    // Calls fncnotify (when set and the session is not stopping) with the
    // owning instance and a NotifyRecord of code and the market code
    // directly followed by message, cut to 51 bytes on a GBK character
    // boundary and terminated.
    void NotifyHost(int32_t code, const std::string& message);
    // ---- telemetry ----

    // Makes a record (prefix, name as its module, fields plus the option's:
    // "cpu_memory", "need_mapparam"); with "elk_text" returns its JSON line
    // and nothing else happens; otherwise sends it (while logged in) and, at
    // log level 7, appends it to "kvosdk.log", returning "".
    std::string ElkLog(const std::string& prefix, const std::string& name, ElkFields fields, const std::string& option);
    static std::string FormatElkLine(const CQueueLogElkItem& item) { return ::FormatElkLine(item); }
    // Sends one telemetry line as packet type 50, only while logged in.
    void SendElkMessage(const std::string& text);
    // Gathers the MAC text and the standing telemetry fields from the account
    // and staggers the push-sampling stamps.
    void BuildLoginInfo();
    // The host's user data as a telemetry record: -1010 without mask bit
    // 0x20, else 0.
    int32_t SendUserData(const char* text);
    // The record of a reconnect in which every address failed: appended to
    // "kvosdk.log" whatever the log level (mask bit 0x1).
    void ReportReconnectFailure(const std::string& errorText);
    // One heartbeat tick of push sampling (mask bit 0x8): arms each channel
    // whose stamp lies the sampling interval or more before the last
    // heartbeat answer, and moves its stamp there.
    void ArmSamplingTick();
    uint32_t ElkEventMask() const { return m_elkEventMask.load(std::memory_order_acquire); }
    bool Level7() const { return m_level7.load(std::memory_order_acquire) != 0; }
    // A copy of the standing fields (the base map of query and push records).
    ElkFields ElkBaseFields() const;
    std::string MacText() const;
    uint64_t SamplingStamp(SamplingChannel channel) const;
    // The telemetry file of this session's configuration.
    std::string ElkFilePath() const;

    // ---- login state ----

    std::string Token() const;
    kvoapi::LoginAccountInfo Account() const;
    // Whether a TCP disconnect queues a reconnect (set after a login in
    // which every address failed).
    bool ReconnectOnDisconnect() const { return m_reconnectOnDisconnect.load(std::memory_order_acquire) != 0; }
    void SetReconnectOnDisconnect(bool on) { m_reconnectOnDisconnect.store(on ? 1 : 0, std::memory_order_release); }
    void SetLoggedIn(bool on) { m_loggedIn.store(on ? 1 : 0, std::memory_order_release); }
    void SetKicked() { m_kicked.store(1, std::memory_order_release); }

    // ---- snapshot queries ----
    // Each asks the gateway with one waiting request on the host's thread
    // and returns a malloc block the host frees with KvoFreeMem, or null (no
    // answer within the wait, an answer that does not parse, no records, no
    // memory). Null outputs are never written; without a result the output
    // keeps its value (the super-stock query sets its count to 0 once an
    // answer arrived). An answer after the wait is dropped. The answer's
    // status goes only into the "client@_query" telemetry (mask bit 0x2).

    // The market's code list (GetCodelistReq): a NUL-terminated text and
    // its length; for "USHI" each code rewritten to its public form and
    // followed by ",".
    char* GetCodelist(const char* market, uint32_t* out_length);
    // Snapshots (GetQuotaReq, "raw" "hqfile") of the codes in codelist:
    // TickIndex, TickStock or SuperStock records and their count.
    void* GetTickIndex(const char* market, const char* codelist, uint32_t* out_count);
    void* GetTickStock(const char* market, const char* codelist, uint32_t* out_count);
    void* GetSuperStock(const char* market, const char* codelist, uint32_t* out_count);

    // ---- subscriptions ----

    // Subscribes (subop_type 1 replace, 2 drop the class, 3 add, 4 remove
    // codes; 8 forgets the kept subscriptions and sends nothing) the host
    // data class msg_dataclass (1-6) of a market text ("USHA") for a code
    // list ("(600000,600036)"), and starts the push worker of the class.
    // The call is kept for re-subscription unless resub is set. Waiting:
    // the gateway's status, mapped (1 -> -10001, 2 -> -10002, 4 -> -10003,
    // others unchanged), or -1002 without an answer. Not waiting: 0, and
    // the result goes to fncsubscribe (kind 1) from "SubAsyncCallBackThread";
    // -1002 when the request could not be entered (the session stops).
    // -1011 for a class outside 1-6 (nothing sent).
    int32_t SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist, bool resub,
                      bool wait, bool forChildren = false);
    // A host subscription (kept, not a re-subscription).
    int32_t SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist, bool wait);
    // A change a cascade master passes on for its children: kept like the
    // host's, sent without waiting; its answer, or -1002 once none came, is
    // logged ("refused upstream") and written to the "client@_sub"
    // telemetry as a waiting call's is, and the host is told nothing.
    // Results as the non-waiting SubScribe.
    int32_t SubScribeForChildren(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist);
    // "SubAsyncCallBackThread" handler: reports answered and timed-out
    // asynchronous subscriptions to fncsubscribe (kind 1), or to the log
    // for those made for children, after releasing the pending mutex; each
    // is reported once and forgotten.
    int32_t CheckAsyncSubscribe(const void* bytes, uint32_t length);
    // Sends every kept subscription again in order as a waiting
    // re-subscription (-1002 is tried once more). After a login (reconnect
    // false) only when m_connectsubscribe is 1. An entry that still fails
    // is logged and reported to fncsubscribe (kind 2); a refusal goes on
    // with the next entry, no answer ends the walk. 0 when every entry
    // went through, else the first failing code. Must not run on
    // "ReceieveThread", which delivers the answers.
    int32_t ReSub(bool reconnect);
    // A copy of the kept subscriptions, in call order.
    std::vector<SubscriptionEntry> KeptSubscriptions() const;
    // Byte-form market id of a market text ("USH" 15, "USZ" 31, a text not
    // beginning with 'U' its decimal number, else the market table).
    static uint32_t MarketIdOf(const char* market);
    // Gateway subscription status to result: 1 -> -10001, 2 -> -10002,
    // 4 -> -10003, any other value unchanged.
    static void MapSubscribeStatus(int32_t* status);

    // ---- push processing ----

    // Makes and starts the push worker of a host data class on a market
    // (any class on "USOO" and "UZOO" uses "ProcessIndexTick") unless it
    // exists; an unknown class makes none.
    void CreatePushWorker(uint32_t msg_dataclass, const char* market);
    // Opens one quote-file image and converts it as data-type id dataType:
    // without a code index ids 1 and 10 go to their host callbacks and ids
    // 2 and 3 to the snapshot result lists; with one ids 5 and 6 go to
    // fncorderqueue and id 12 to the super-stock result list. True when the
    // image opened with a record size above 0. Snapshot queries pass 0 for
    // the four times.
    bool ProcessPushFile(uint32_t dataType, const void* image, uint32_t length, uint64_t produce, uint64_t send,
                         uint64_t sample, uint64_t datatime);
    // Converts a batch of images (ids 4, 7, 8, 9, 11 code-wise, 0
    // record-wise), merges the records of each kind, sorts transactions and
    // orders when the sort switch is on, and calls fnctransacton,
    // fncorderdata, fnctickstock and fncsuperstock in that order, each once
    // with its records and the batch's PushTiming. An image's own datatime
    // is used, the batch's for images without one. 1.
    int32_t ProcessPushFiles(const std::vector<PushImage>& images, uint64_t produce, uint64_t send, uint64_t sample,
                             uint64_t datatime);
    // The snapshot result lists (index, stock, super stock) and descriptor
    // caches the converters of this session use.
    ConvertSession& Converted() { return m_convert; }

private:
    // Socket engine callbacks (context = this session).
    static int32_t OnSinkConnect(void* ctx, corvane::CTLNetNotify* sink, uint32_t code);
    static int32_t OnSinkDisconnect(void* ctx, corvane::CTLNetNotify* sink, uint32_t code,
                                    corvane::ITLConnection* connection);
    static int32_t OnSinkReceive(void* ctx, corvane::CTLNetNotify* sink, uint32_t code, uint32_t length,
                                 const void* data);

    // Detaches the connection's link from the sink (caller holds the connect
    // lock). A link that already went away by itself is still inside its
    // disconnect call: this waits (at most kLinkEndWaitMs) until the
    // session's disconnect callback has returned, so that the sink is never
    // changed under it.
    void DetachLink();
    static constexpr uint32_t kLinkEndWaitMs = 5000;
    // Disconnect callback step of a connect that failed (code bit 0x40): the
    // attempt of that generation ends with -1005 at once.
    void OnConnectFailed(uint32_t generation);
    // After a successful login with m_connectsubscribe 1.
    void ReSubAfterLogin();
    // Posts the circulating heartbeat item once in the session's life.
    void StartHeartbeat();
    // One snapshot query of a kind (0 index, 1 stock, 2 super stock).
    void* QuerySnapshot(int kind, const char* market, const char* codelist, uint32_t* out_count);
    // Sends a waiting request and parses its answer; false without an
    // answer or when the answer does not parse.
    bool AskGateway(uint16_t type, uint32_t instid, const std::string& body, google::protobuf::MessageLite& answer);
    // Writes a built frame to the connection under the send mutex.
    void WriteFrame(CClientSession* connection, const corvane::CTLSmartBuffer& frame);
    // Finds the request an answer frame names and hands it the body.
    void MatchAnswer(const void* frame, uint32_t length, PendingTable::AnswerMode mode);
    // The receive routing of one push frame (packet types 20 to 27).
    void RoutePush(CClientSession* connection, uint32_t connectionId, const void* frame, uint32_t length);
    // Makes and starts "ReceieveThread", "processFeedBack", "reconnectThread"
    // and "heartbitThread"; throws std::bad_alloc when one cannot be made.
    void StartStandingWorkers();
    // Stops the worker in a slot (joining its thread) and deletes it.
    void StopWorker(WorkerSlot slot);
    // Stops a worker that is in no slot, waits for its thread and deletes it.
    void StopAndFree(CTLThreadPool* worker);
    // Starts a made worker and puts it into its slot; a worker that does
    // not start is deleted, one refused by the slot (taken meanwhile, or the
    // session stopping) is stopped and deleted. No lock is held while the
    // thread starts or is waited for. caller names the road in the log.
    bool StartAndInstall(WorkerSlot slot, CTLThreadPool* worker, const char* caller);
    bool PostItem(WorkerSlot slot, void* item);
    // Makes "SubAsyncCallBackThread" with its circulating item unless it
    // exists.
    void StartAsyncChecker();
    // The converter context of one image.
    PushConvertContext MakeConvertContext(uint32_t dataType, const ConvertImage* image, uint32_t recordSize,
                                          uint64_t produce, uint64_t send, uint64_t sample, uint64_t datatime);

    // ---- telemetry records ----
    // Subscription record ("client@_sub", "SubScribe").
    void WriteSubscribeTelemetry(const SubscriptionEntry& entry, int32_t result, int32_t timeconsum);
    // Sampled push record ("client@_sub_push", "sub_push_<subType>",
    // "cpu_memory"); sizeKey is "count" for batches, "Lenth" for index
    // images.
    void WritePushTelemetry(const char* subType, const char* sizeKey, uint64_t size, uint64_t handleMs,
                            uint64_t callbackMs);
    // Hands one record (index prefix, record name, option, fields) to the
    // telemetry channel.
    void WriteTelemetryRecord(const char* prefix, const char* name, const char* option,
                              const std::map<std::string, std::string>& fields);

    // ---- pending requests ----
    PendingTable m_pending;  // instid -> SyncRequest, asynchronous stamps; the pending mutex
    std::map<uint32_t, SubscriptionEntry> m_asyncSubscriptions;  // under the pending mutex

    // ---- connection and login ----
    corvane::CTLRefPtr<CClientSession> m_session;
    corvane::CCriticalSection m_connectLock;  // opening and detaching the connection
    std::atomic<uint32_t> m_connectionId{0};
    std::atomic<uint32_t> m_sessionReceiveId{0};  // connection routed as logged in (0: none)
    std::atomic<bool> m_linkOpen{false};          // a link may still call the sink (until its disconnect call ends)
    LoginHolder m_loginHolder;
    corvane::CMutex m_attemptMutex;  // one Connect at a time (login and reconnect)
    std::atomic<bool> m_heartbeatStarted{false};

    // ---- subscriptions ----
    mutable corvane::CMutex m_keptMutex;
    std::vector<SubscriptionEntry> m_keptSubscriptions;

    // ---- account and addresses ----
    kvoapi::LoginAccountInfo m_account;      // under m_accountMutex
    mutable corvane::CMutex m_accountMutex;  // also the token
    mutable corvane::CMutex m_addressMutex;
    std::vector<std::string> m_hosts;
    std::vector<uint16_t> m_ports;
    uint32_t m_marketKind = 0;
    std::string m_marketCode;
    std::string m_token;

    // ---- workers ----
    std::atomic<CTLThreadPool*> m_workers[kWorkerSlots];
    corvane::CCriticalSection m_workerMutex;

    // ---- flags ----
    std::atomic<int32_t> m_loggedIn{0};
    std::atomic<int32_t> m_loopbackSample{1};
    std::atomic<int32_t> m_kicked{0};
    std::atomic<int32_t> m_reconnectOnDisconnect{0};
    std::atomic<int32_t> m_level7{0};
    std::atomic<int32_t> m_sortPush{0};
    std::atomic<int32_t> m_altDataClass{0};
    std::atomic<uint64_t> m_lastHeartbeatAnswer{0};  // seconds since 1970, 0 = none
    std::atomic<bool> m_stopping{false};
    corvane::CEvent m_stopEvent{0, 1};  // manual reset: set once the session stops

    // ---- telemetry ----
    std::atomic<uint32_t> m_elkEventMask{0};
    std::atomic<bool> m_samplingArmed[kSamplingChannels];
    std::atomic<uint64_t> m_samplingStamps[kSamplingChannels];
    mutable corvane::CMutex m_elkMutex;  // the MAC text and the standing fields
    std::string m_macText;
    ElkFields m_elkBaseFields;

    // ---- sending ----
    corvane::CMutex m_sendMutex;

    // ---- data ----
    std::atomic<int32_t> m_superStockLevel{kSuperStockLevelMin};
    ConvertSession m_convert;  // descriptor caches and snapshot result lists
    InstanceConfig m_config{};
    CSocketDataMananger* m_owner = nullptr;
    std::shared_ptr<corvane::HostCallGate> m_hostGate;  // the owner's, held for the session's life
};
