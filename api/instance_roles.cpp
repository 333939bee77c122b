// The instance's operations behind the exported functions, choosing their
// road by the role (standalone, master, child) and the offline state.
#include <cstring>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "session/kvo_texts.h"
#include "api/socket_data_manager.h"

using namespace kvoapi;

LoginResult CSocketDataMananger::LoginByMode(const char* username, const char* password) {
  std::string local;
  {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_lastUser = username ? username : "";
    m_lastPassword = password ? password : "";
    if (m_settings.mode != kChild) {
      if (m_offlineState == kOfflineYes) return MakeLoginResult(0, kTextLoginOk, "");
      m_offlineState = kOfflineDisable;
    }
    local = m_local.addresses;
  }
  if (m_settings.mode == kChild) return LoginThroughMaster(username, password);
  return Login(username, password, local);
}

int32_t CSocketDataMananger::RegisterAddrByMode(const char* market, const char* addr,
                                                uint16_t port) {
  {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const bool special = market && (std::strcmp(market, "superstocklevel") == 0 ||
                                    std::strcmp(market, "qsuserdata") == 0 ||
                                    std::strcmp(market, "auth") == 0);
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

// A query's road: none without a market or an output, during playback
// (answered by a part this build does not have), else the market's session.
// The child role asks its master instead (QueryThroughMaster).
IMarketSession* CSocketDataMananger::SessionForQuery(const char* market, const void* out) const {
  if (!market || !out) return nullptr;
  if (m_settings.mode == kChild || OfflineState() == kOfflineYes) return nullptr;
  return Session(NormaliseMarket(market));
}

char* CSocketDataMananger::GetCodelist(const char* market, uint32_t* out_length,
                                       const char* request, bool from_caller) {
  if (m_settings.mode == kChild) {
    return static_cast<char*>(
        QueryThroughMaster(101, market, "", out_length, request, from_caller));
  }
  IMarketSession* session = SessionForQuery(market, out_length);
  return session ? session->GetCodelist(market, out_length) : nullptr;
}

void* CSocketDataMananger::GetTickIndex(const char* market, const char* codelist,
                                        uint32_t* out_count, const char* request,
                                        bool from_caller) {
  if (m_settings.mode == kChild) {
    return QueryThroughMaster(102, market, codelist, out_count, request, from_caller);
  }
  IMarketSession* session = SessionForQuery(market, out_count);
  return session ? session->GetTickIndex(market, codelist ? codelist : "", out_count) : nullptr;
}

void* CSocketDataMananger::GetTickStock(const char* market, const char* codelist,
                                        uint32_t* out_count, const char* request,
                                        bool from_caller) {
  if (m_settings.mode == kChild) {
    return QueryThroughMaster(103, market, codelist, out_count, request, from_caller);
  }
  IMarketSession* session = SessionForQuery(market, out_count);
  return session ? session->GetTickStock(market, codelist ? codelist : "", out_count) : nullptr;
}

void* CSocketDataMananger::GetSuperStock(const char* market, const char* codelist,
                                         uint32_t* out_count, const char* request,
                                         bool from_caller) {
  if (m_settings.mode == kChild) {
    return QueryThroughMaster(104, market, codelist, out_count, request, from_caller);
  }
  IMarketSession* session = SessionForQuery(market, out_count);
  return session ? session->GetSuperStock(market, codelist ? codelist : "", out_count)
                 : nullptr;
}

int32_t CSocketDataMananger::SubScribe(uint32_t msg_dataclass, uint32_t subop_type,
                                       const char* market, const char* codelist,
                                       bool from_caller, bool wait) {
  if (!market) return KVO_ERR_MARKET;
  const char* codes = codelist ? codelist : "";
  const bool offline = OfflineState() == kOfflineYes;
  if (from_caller) {
    if ((m_settings.mode == kStandalone && !offline) ||
        (subop_type == 8 && m_settings.mode != kChild)) {
      return SubScribeMarket(msg_dataclass, subop_type, market, codes, wait);
    }
    if (m_settings.mode == kChild && subop_type == 8) return 0;
    return SubscribeThroughRegistry(msg_dataclass, subop_type, market, codes);
  }
  if (m_settings.mode == kChild) {
    return SubscribeThroughMaster(msg_dataclass, subop_type, market, codes);
  }
  if (offline) return 0;
  return SubScribeMarket(msg_dataclass, subop_type, market, codes, true);
}

int32_t CSocketDataMananger::SubScribeMarket(uint32_t msg_dataclass, uint32_t subop_type,
                                             const char* market, const char* codelist,
                                             bool wait) {
  if (!market) return KVO_ERR_MARKET;
  std::string code = NormaliseMarket(market);
  if (code == "ZO" || code == "SO") code = "OO";
  IMarketSession* session = Session(code);
  if (!session) return KVO_ERR_MARKET;
  return session->SubScribe(msg_dataclass, subop_type, market, codelist ? codelist : "", wait);
}

int32_t CSocketDataMananger::StartOfflineDebug(const OfflineDebugConfig& config) {
  if (OfflineState() != kOfflineNo) return KVO_ERR_OFFLINE_STATE;
  const std::string path = BoundedText(config.path);
  const std::string subtype = BoundedText(config.subtype);
  WriteLog(2,
           "Offlinne.path:%s,Offlinne.subtype:%s,Offlinne.push_space:%d,Offlinne.push_count:%d,"
           "Offlinne.playback_times:%d",
           path.c_str(), subtype.c_str(), config.push_space, config.push_count,
           config.playback_times);
  if (!(config.playback_times >= 1 && config.push_space >= 0 && config.push_count > 0)) {
    return KVO_ERR_OFFLINE_PARAMS;
  }
  if (m_settings.mode == kChild) return KVO_ERR_OFFLINE_CHILD;
  // The playback thread and the relay dispatcher are not part of this build:
  // playback cannot start and the instance stays online-capable.
  WriteLog(1, "StartOfflineDebug: offline playback not available");
  return -1;
}
