// CSocketDataMananger: the library instance behind every handle.
//
// It opens the instance log, learns the local addresses, reads the cascade
// settings, keeps the host's InstanceConfig and callbacks, owns one market
// session per registered market and logs the account in on all markets.
//
// Releasing: the exported functions count themselves in flight on the
// instance (EnterCall / LeaveCall) for their whole duration. A release
// closes the instance's gate of host callbacks, so that no callback begins
// any more, and marks the instance releasing (BeginRelease); then it wakes
// every wait of the sessions and of the cascade side, again and again, until
// no call is in flight (FinishRelease), and only then is the instance
// deleted. The destructor joins the instance's threads (their callbacks end
// with them) and at last waits for a callback still under way on the
// process-wide relay thread. A release from inside a host callback hands
// FinishRelease and the delete to a thread of their own (release_reaper.h).
//
// Locks, in the order they may be taken: m_mutex (the instance's fields and
// the session table), then a market session's address mutex (an address is
// added to a session under it); the worker base's queue mutex and
// m_callMutex (the release's wait for the calls in flight) are taken on
// their own. m_mutex is never held while the host is called, while a market
// session is built, destroyed, logged in, queried or asked to subscribe,
// or while the cascade node starts or stops: the node's receive loop asks
// for the last login under it (CascadeCredentials), and a session's
// constructor starts threads and joins them again when it fails.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/cascade_settings.h"
#include "api/release_reaper.h"
#include "cascade/cascade_node.h"
#include "session/market_session.h"
#include "framework/tl_hostcall.h"
#include "framework/tl_worker.h"
#include "include/kvoapi.h"

namespace kvoapi {

// Holds one use of the process-wide socket engine for its lifetime.
class NetEngineUse {
public:
    NetEngineUse();
    ~NetEngineUse();
    NetEngineUse(const NetEngineUse&) = delete;
    NetEngineUse& operator=(const NetEngineUse&) = delete;
    int StartResult() const { return m_result; }

private:
    int m_result;
};

}  // namespace kvoapi

class CSocketDataMananger : public CThreadBase, private ICascadeHost {
public:
    explicit CSocketDataMananger(const InstanceConfig* config);
    ~CSocketDataMananger() override;

    CSocketDataMananger(const CSocketDataMananger&) = delete;
    CSocketDataMananger& operator=(const CSocketDataMananger&) = delete;

    // Starts the cascade side: the process-wide relay dispatcher and socket
    // sender, and in the master and child roles the listening socket, the
    // accept thread and the receive loop. True.
    bool Start() override;
    // Ends what Start began and the playback this instance started, and waits
    // for every thread of them: nothing runs on the instance once Stop returns.
    void Stop() override;
    void ProcessItem(CQueueTaskItem* item) override;
    void OnTimeout() override {}

    // Calls in flight: every exported function but the release counts
    // itself for its duration.
    void EnterCall();
    void LeaveCall();
    // The first step of a release, on the releasing thread: no host callback
    // of the instance begins once it returns, every wait of the instance
    // wakes and later ones fail at once.
    void BeginRelease();
    // What the teardown of this instance may wait for besides its own
    // threads (release_reaper.h).
    kvoapi::TeardownWaits Waits() const { return {m_gate, m_usedRelay}; }
    // The rest of a release before the delete: wakes the waits again until
    // no call is in flight (logged when that takes longer than the stop
    // wait). Must not run on a thread inside a call or a callback of the
    // instance.
    void FinishRelease();

    // Registration, login and the pre-login check.
    int32_t RegisterAddr(const char* market, const char* addr, uint16_t port, bool front);
    int32_t RegisterAuth(const char* text, uint16_t type);
    LoginResult CheckLogin(const char* username, const char* password);
    LoginResult Login(const char* username, const char* password, const std::string& local_addresses);
    bool AuthenticateAccount(const std::string& username, const std::string& password, std::string* passport,
                             std::string* session_id);
    void InitLog(const InstanceConfig* config);

    // Operations behind the exported functions, by role.
    LoginResult LoginByMode(const char* username, const char* password);
    int32_t RegisterAddrByMode(const char* market, const char* addr, uint16_t port);
    char* GetCodelist(const char* market, uint32_t* out_length, const char* request, bool from_caller);
    void* GetTickIndex(const char* market, const char* codelist, uint32_t* out_count, const char* request,
                       bool from_caller);
    void* GetTickStock(const char* market, const char* codelist, uint32_t* out_count, const char* request,
                       bool from_caller);
    void* GetSuperStock(const char* market, const char* codelist, uint32_t* out_count, const char* request,
                        bool from_caller);
    int32_t SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist,
                      bool from_caller, bool wait);
    int32_t SubScribeMarket(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist,
                            bool wait);
    // Starts offline playback (the host's record, texts terminated): 0, or
    // -101 (state not "offlinedebugtype_no", or the process's playback thread
    // busy with another instance's playback), -102 (bad numbers), -103 (child
    // role), -1009 (no thread).
    int32_t StartOfflineDebug(const OfflineDebugConfig& config);
    int32_t GetCodeInfo() const { return 0; }
    // Whether a subscription change of a key needs no upstream step (the
    // registry's subscribers of the key, by subop_type).
    bool IsKeyCovered(const std::string& key, uint32_t subop_type) const;
    // The decimal value of a key of a key:value text (0 when missing), and an
    // i32 in decimal.
    static int32_t GetIntField(const char* text, const char* key);
    static std::string FormatInt(int32_t value);

    // The offline state's one step forward into playback: from
    // "offlinedebugtype_no" only, keeping the playback record (its folder
    // answers the snapshot queries). False when the state already left "no".
    bool EnterOfflineState(const OfflineDebugConfig& config);

    // Entry points of the cascade roads (instance_cascade.cpp), called by the
    // operations above by role:
    // the login through the master (child role);
    LoginResult LoginThroughMaster(const char* username, const char* password);
    // a snapshot query through the master (child role; 101 code list, 102
    // index, 103 stock, 104 super stock), from the caller (waits) or for a
    // child of this instance (passes the child's request on, null);
    void* QueryThroughMaster(int32_t req_type, const char* market, const char* codelist, uint32_t* out,
                             const char* request, bool from_caller);
    // a subscription change sent to the master (child role, forwarded);
    int32_t SubscribeThroughMaster(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                   const char* codelist);
    // the host's own change through the subscription registry (master and
    // child roles, and playback), passed upstream where coverage changes.
    int32_t SubscribeThroughRegistry(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                     const char* codelist);
    // The port the cascade side listens on; 0 when it does not listen.
    uint16_t CascadeListenPort() const;

    // The log file of a configuration: <root>/kvolog/kvoapi.log, the root being
    // m_logpath ('\' read as '/') or the executable's folder when it is empty.
    static std::string LogPathFor(const InstanceConfig& config);
    // m_loglevel when it lies in 0..6, else 3.
    static int LogLevelFor(int32_t loglevel);

    // State, for the cascade layer and for tests.
    kvoapi::CascadeMode Mode() const { return m_settings.mode; }
    uint16_t SocketPort() const { return m_settings.socket_port; }
    bool AuthKeySelector() const { return m_settings.auth_test; }
    std::string OfflineState() const;
    const std::string& LogPath() const { return m_logPath; }
    int LogLevel() const { return m_logLevel; }
    kvoapi::LoginAccountInfo Account() const;
    std::vector<std::string> Markets() const;
    // The session of a market, or null. The pointer stays valid while the
    // caller is counted in flight (EnterCall) or runs on a thread of the
    // instance: sessions are freed only by the destructor, after both ended.
    kvoapi::IMarketSession* Session(const std::string& market) const;
    const InstanceConfig* Config() const { return m_config; }
    const InstanceConfig& RelayConfig() const { return m_relayConfig; }
    std::string MasterAddress() const;
    uint16_t MasterPort() const;
    const kvoapi::LocalAddresses& LocalAddressLists() const { return m_local; }
    bool Started() const { return m_cascade && m_cascade->Started(); }
    CascadeNode* Cascade() const { return m_cascade.get(); }

private:
    // ICascadeHost: what the cascade side asks of the instance.
    void CascadeCredentials(std::string* user, std::string* password) override;
    void* CascadeQuery(int32_t req_type, const std::string& market, const std::string& codelist,
                       const std::string& request, uint32_t* out) override;
    int32_t CascadeUpstream(uint32_t msg_dataclass, uint32_t subop_type, const std::string& market,
                            const std::string& codelist, bool wait) override;
    void CascadeTelemetry(const PeerTelemetryRecord& record) override;

    std::vector<kvoapi::IMarketSession*> SessionsInOrder() const;
    // Wakes every wait of the sessions and of the cascade side, for good.
    void WakeWaits();
    // Waits until no host callback of the instance is under way, logging
    // when that takes longer than the stop wait.
    void WaitForCallbacks();
    // The three record queries (request types 102, 103, 104) by road.
    void* QueryRecords(int32_t reqType, const char* market, const char* codelist, uint32_t* out_count,
                       const char* request, bool from_caller);
    std::string OfflineFolder() const;

    kvoapi::NetEngineUse m_netUse;  // first member: released last
    // The gate of the instance's host callbacks, handed to each session it
    // builds; the relay holds it while the instance is its callback context.
    std::shared_ptr<corvane::HostCallGate> m_gate;
    // Raised by the first Start, which attaches the cascade side to the
    // process-wide relay dispatcher; shared with a teardown that outlives the
    // instance.
    std::shared_ptr<std::atomic<bool>> m_usedRelay;
    std::atomic<uint32_t> m_calls{0};  // exported calls in flight
    std::atomic<bool> m_releasing{false};
    std::mutex m_callMutex;  // the release's wait for m_calls
    std::condition_variable m_callsDone;
    mutable std::recursive_mutex m_mutex;
    kvoapi::ToolSettings m_settings;
    std::string m_offlineState;
    // The host's record as it was at construction: the host may free or reuse
    // its own record once KvoCreateInstance returned. m_config points here.
    InstanceConfig m_hostConfig{};
    const InstanceConfig* m_config = nullptr;
    InstanceConfig m_relayConfig{};
    std::map<std::string, std::unique_ptr<kvoapi::IMarketSession>> m_sessions;
    kvoapi::LoginAccountInfo m_account;
    std::string m_lastUser;
    std::string m_lastPassword;
    std::string m_masterAddress;
    uint16_t m_masterPort = 0;
    kvoapi::LocalAddresses m_local;
    std::string m_connectMarket;
    OfflineDebugConfig m_offlineConfig{};
    std::string m_logPath;
    int m_logLevel = 3;
    // The cascade side: connections, requests and relay threads.
    std::unique_ptr<CascadeNode> m_cascade;
};
