// The instance's view of one market session.
//
// The instance owns one session per registered market ("SH", "SZ", "OO") and
// drives it only through this interface. The factory builds the feed
// session (CDatafeedSDKManager) by default; tests install their own to drive
// the instance with stand-in sessions.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "framework/tl_hostcall.h"
#include "include/kvoapi.h"

class CSocketDataMananger;
class CDatafeedSDKManager;

namespace kvoapi {

// The account of a login, copied into every market session.
struct LoginAccountInfo {
    std::string connected_host;
    uint32_t connected_port = 0;
    std::string username;
    std::string password;
    std::string passport;
    std::string session_id;
    std::string user_id;
    std::string local_addresses;  // "&"-terminated IPv4 addresses
    std::string auth_kind;        // "passport", "inside", "gateway_auth", "formal"
    uint32_t process_id = 0;
    // The authentication key selector of the instance's settings, used when a
    // session renews the passport.
    bool auth_key_selector = false;
};

class IMarketSession {
public:
    virtual ~IMarketSession() = default;
    // Adds a gateway address; front puts it at the head of the list. 0.
    virtual int32_t AddAddress(const char* host, uint16_t port, bool front) = 0;
    // Super-stock depth, kept clamped to 10..1000 by the session.
    virtual void SetSuperStockLevel(int32_t level) = 0;
    // Offers a user-data text for telemetry: 0 accepted, else refused.
    virtual int32_t SendUserData(const char* text) = 0;
    // Logs in on the market's gateways with a copy of the account; a passport
    // renewed on the way is written back into account, so that the instance
    // and the next market use it.
    virtual LoginResult Login(LoginAccountInfo& account) = 0;
    virtual int32_t SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist,
                              bool wait) = 0;
    // A change a cascade master passes on for its children: sent without
    // waiting, its answer only logged, the host never told (the feed
    // session's SubScribeForChildren). A session that tells the host nothing
    // of its non-waiting changes may keep this default.
    virtual int32_t SubScribeForChildren(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                         const char* codelist) {
        return SubScribe(msg_dataclass, subop_type, market, codelist, false);
    }
    // Snapshot queries: malloc blocks or null.
    virtual char* GetCodelist(const char* market, uint32_t* out_length) = 0;
    virtual void* GetTickIndex(const char* market, const char* codelist, uint32_t* out_count) = 0;
    virtual void* GetTickStock(const char* market, const char* codelist, uint32_t* out_count) = 0;
    virtual void* GetSuperStock(const char* market, const char* codelist, uint32_t* out_count) = 0;
    // A telemetry record of the session's kind (index prefix, record name,
    // fields, option word "need_mapparam", "cpu_memory" or "elk_text"): sent
    // while logged in and written to the telemetry file at log level 7; the
    // record's JSON line with "elk_text", else "".
    virtual std::string ElkLog(const std::string& prefix, const std::string& name,
                               const std::map<std::string, std::string>& fields, const std::string& option) = 0;
    // The session is about to go: every wait in it wakes (its callers get
    // their usual failure) and later waits fail at once. Nothing is freed;
    // may be called again.
    virtual void BeginStop() {}
};

// Builds the session of a market: (configuration the session copies, owning
// instance, two-letter code, the owner's gate of host callbacks, which every
// call into the host enters; may be null). Null when the session cannot be
// created.
using MarketSessionFactory = IMarketSession* (*)(const InstanceConfig* config, CSocketDataMananger* owner,
                                                 const std::string& market,
                                                 std::shared_ptr<corvane::HostCallGate> gate);

// The factory of the feed session itself: a CDatafeedSDKManager behind this
// interface. Throws std::bad_alloc when its threads cannot be made.
IMarketSession* CreateDatafeedSession(const InstanceConfig* config, CSocketDataMananger* owner,
                                      const std::string& market, std::shared_ptr<corvane::HostCallGate> gate);

// The feed session inside a session the default factory made; null for any
// other session.
CDatafeedSDKManager* DatafeedManagerOf(IMarketSession* session);

// Installs the factory used by every instance (null puts the feed session's
// own back); returns the previous one.
MarketSessionFactory SetMarketSessionFactory(MarketSessionFactory factory);
MarketSessionFactory GetMarketSessionFactory();

}  // namespace kvoapi
