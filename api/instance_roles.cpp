// The instance's operations behind the exported functions, choosing their
// road by the role (standalone, master, child) and the offline state:
//  - standalone and master: the market sessions; in the master role and
//    during playback the host's subscriptions pass the subscription
//    registry first;
//  - child: login, queries and subscriptions go to the master as cascade
//    text messages, through the instance's cascade side;
//  - offline state "offlinedebugtype_yes": login succeeds at once,
//    registration registers nothing, queries read the playback folder and
//    subscriptions only change the registry.
#include <cstring>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "api/socket_data_manager.h"
#include "cascade/offline_files.h"
#include "cascade/offline_playback.h"
#include "cascade/peer_message.h"
#include "framework/tl_textutil.h"
#include "session/dataclass.h"
#include "session/kvo_texts.h"

using namespace kvoapi;

// ---- login and registration ----

LoginResult CSocketDataMananger::LoginByMode(const char* username, const char* password) {
    const std::string user = username ? username : "";
    const std::string pass = password ? password : "";
    std::string local;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_lastUser = user;
        m_lastPassword = pass;
        if (m_settings.mode != kChild) {
            if (m_offlineState == kOfflineYes) return MakeLoginResult(0, kTextLoginOk, "");
            m_offlineState = kOfflineDisable;
        }
        local = m_local.addresses;
    }
    if (m_settings.mode == kChild) return LoginThroughMaster(user.c_str(), pass.c_str());
    return Login(user.c_str(), pass.c_str(), local);
}

int32_t CSocketDataMananger::RegisterAddrByMode(const char* market, const char* addr, uint16_t port) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        const bool special = market && (std::strcmp(market, "superstocklevel") == 0 ||
                                        std::strcmp(market, "qsuserdata") == 0 || std::strcmp(market, "auth") == 0);
        if (m_settings.mode == kChild && !special) {
            if (!addr) return KVO_ERR_BAD_IP;
            m_masterAddress = addr;
            m_masterPort = port;
            return 0;
        }
        if (m_offlineState == kOfflineYes) return 0;
    }
    if (!addr) return KVO_ERR_BAD_IP;
    return RegisterAddr(market, addr, port, true);
}

bool CSocketDataMananger::EnterOfflineState(const OfflineDebugConfig& config) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_offlineState != kOfflineNo) return false;
    m_offlineState = kOfflineYes;
    m_offlineConfig = config;
    return true;
}

std::string CSocketDataMananger::OfflineFolder() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return BoundedText(m_offlineConfig.path);
}

// ---- queries ----

char* CSocketDataMananger::GetCodelist(const char* market, uint32_t* out_length, const char* request,
                                       bool from_caller) {
    if (!market || !out_length) return nullptr;
    if (m_settings.mode == kChild) {
        return static_cast<char*>(QueryThroughMaster(kPeerCodelistQuery, market, "", out_length, request, from_caller));
    }
    if (OfflineState() == kOfflineYes) return LoadOfflineCodelist(OfflineFolder(), market, out_length);
    IMarketSession* session = Session(NormaliseMarket(market));
    return session ? session->GetCodelist(market, out_length) : nullptr;
}

void* CSocketDataMananger::GetTickIndex(const char* market, const char* codelist, uint32_t* out_count,
                                        const char* request, bool from_caller) {
    return QueryRecords(kPeerIndexQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::GetTickStock(const char* market, const char* codelist, uint32_t* out_count,
                                        const char* request, bool from_caller) {
    return QueryRecords(kPeerStockQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::GetSuperStock(const char* market, const char* codelist, uint32_t* out_count,
                                         const char* request, bool from_caller) {
    return QueryRecords(kPeerSuperStockQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::QueryRecords(int32_t reqType, const char* market, const char* codelist, uint32_t* out_count,
                                        const char* request, bool from_caller) {
    if (!market || !out_count) return nullptr;
    const char* codes = codelist ? codelist : "";
    if (m_settings.mode == kChild) {
        return QueryThroughMaster(reqType, market, codes, out_count, request, from_caller);
    }
    if (OfflineState() == kOfflineYes) {
        const std::string folder = OfflineFolder();
        switch (reqType) {
        case kPeerIndexQuery:
            return LoadOfflineTickIndex(folder, market, codes, out_count);
        case kPeerStockQuery:
            return LoadOfflineTickStock(folder, market, codes, out_count);
        default:
            return LoadOfflineSuperStock(folder, market, codes, out_count);
        }
    }
    IMarketSession* session = Session(NormaliseMarket(market));
    if (!session) return nullptr;
    switch (reqType) {
    case kPeerIndexQuery:
        return session->GetTickIndex(market, codes, out_count);
    case kPeerStockQuery:
        return session->GetTickStock(market, codes, out_count);
    default:
        return session->GetSuperStock(market, codes, out_count);
    }
}

// ---- subscriptions ----

int32_t CSocketDataMananger::SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                       const char* codelist, bool from_caller, bool wait) {
    if (!market) return KVO_ERR_MARKET;
    const char* codes = codelist ? codelist : "";
    const bool offline = OfflineState() == kOfflineYes;
    if (from_caller) {
        if ((m_settings.mode == kStandalone && !offline) || (subop_type == 8 && m_settings.mode != kChild)) {
            return SubScribeMarket(msg_dataclass, subop_type, market, codes, wait);
        }
        // The child keeps no list of its own to clear: 0, once the market is
        // one that exists.
        if (m_settings.mode == kChild && subop_type == 8) return NamesSubscriptionMarket(market) ? 0 : KVO_ERR_MARKET;
        return SubscribeThroughRegistry(msg_dataclass, subop_type, market, codes);
    }
    if (m_settings.mode == kChild) {
        return SubscribeThroughMaster(msg_dataclass, subop_type, market, codes);
    }
    if (offline) return 0;
    return SubScribeMarket(msg_dataclass, subop_type, market, codes, true);
}

int32_t CSocketDataMananger::SubScribeMarket(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                             const char* codelist, bool wait) {
    if (!market) return KVO_ERR_MARKET;
    const std::string code = MarketSessionCode(market);
    IMarketSession* session = code.empty() ? nullptr : Session(code);
    if (!session) return KVO_ERR_MARKET;
    return session->SubScribe(msg_dataclass, subop_type, market, codelist ? codelist : "", wait);
}

bool CSocketDataMananger::IsKeyCovered(const std::string& key, uint32_t subop_type) const {
    return m_cascade->IsKeyCovered(key, subop_type);
}

int32_t CSocketDataMananger::GetIntField(const char* text, const char* key) {
    if (!text || !key) return 0;
    return ::GetIntField(text, key);
}

std::string CSocketDataMananger::FormatInt(int32_t value) { return std::to_string(value); }

// ---- playback ----

int32_t CSocketDataMananger::StartOfflineDebug(const OfflineDebugConfig& config) {
    // A second start, a start after an online login, or a start while another
    // instance's playback still runs on the process's one playback thread.
    if (OfflineState() != kOfflineNo || OfflineDebugMode().Busy()) return KVO_ERR_OFFLINE_STATE;
    const std::string path = BoundedText(config.path);
    const std::string subtype = BoundedText(config.subtype);
    WriteLog(2,
             "Offlinne.path:%s,Offlinne.subtype:%s,Offlinne.push_space:%d,Offlinne.push_count:%d,"
             "Offlinne.playback_times:%d",
             path.c_str(), subtype.c_str(), config.push_space, config.push_count, config.playback_times);
    if (!(config.playback_times >= 1 && config.push_space >= 0 && config.push_count > 0)) {
        return KVO_ERR_OFFLINE_PARAMS;
    }
    if (m_settings.mode == kChild) return KVO_ERR_OFFLINE_CHILD;
    // A playback with no file to open would play nothing, yet leave the
    // instance in playback for good: refused before anything changes, so
    // that the host can start again with the right path.
    if (!OfflinePlaybackCanPlay(path, subtype)) {
        WriteLog(2,
                 "StartOfflineDebug: no file of subtype \"%s\" opens under path \"%s\" (the file name is appended "
                 "to it), refused",
                 subtype.c_str(), path.c_str());
        return KVO_ERR_OFFLINE_PARAMS;
    }
    // The playback thread is claimed first, so that a refusal (another
    // instance got there first, or a login moved the state on meanwhile)
    // leaves everything as it was.
    switch (OfflineDebugMode().Attach(this)) {
    case COfflineDebugMode::kAttached:
        break;
    case COfflineDebugMode::kBusy:
        return KVO_ERR_OFFLINE_STATE;
    case COfflineDebugMode::kNoThread:
        WriteLog(1, "StartOfflineDebug: the playback thread cannot be started");
        return KVO_ERR_HANDLE;
    }
    if (!EnterOfflineState(config)) {
        OfflineDebugMode().Detach(this);
        return KVO_ERR_OFFLINE_STATE;
    }
    // The relay dispatcher delivers the played records; in the master role it
    // runs already.
    if (m_settings.mode == kStandalone) Start();
    auto* item = new CQueueTaskItem;
    item->SetOfflineParam(config);
    OfflineDebugMode().Post(item);
    return 0;
}
