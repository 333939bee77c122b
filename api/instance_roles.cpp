// The instance's operations behind the exported functions, choosing their
// road by the role (standalone, master, child) and the offline state:
//  - standalone and master: the market sessions; in the master role and
//    during playback the host's subscriptions pass the subscription
//    registry first;
//  - child: login, queries and subscriptions go to the master as cascade
//    text messages, through the parent link;
//  - offline state "offlinedebugtype_yes": login succeeds at once,
//    registration registers nothing, queries read the playback folder and
//    subscriptions only change the registry.
#include <cstdlib>
#include <cstring>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "api/socket_data_manager.h"
#include "cascade/offline_files.h"
#include "cascade/peer_message.h"
#include "framework/tl_textutil.h"
#include "session/kvo_texts.h"
#include "session/subscription_registry.h"

using namespace kvoapi;

namespace {

// How long a child waits for its master's answer.
constexpr uint32_t kChildLoginWaitMs = 6000;
constexpr uint32_t kChildQueryWaitMs = 3000;

}  // namespace

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
  if (m_settings.mode == kChild) return ChildLogin(user, pass);
  return Login(user.c_str(), pass.c_str(), local);
}

LoginResult CSocketDataMananger::ChildLogin(const std::string& username,
                                            const std::string& password) {
  // Socket start-up cannot fail here (there is no start-up step), so the
  // child's -1003 never occurs.
  const std::string host = MasterAddress();
  const uint16_t port = MasterPort();
  if (!ParentLink().Connect(host, port)) {
    WriteLog(1, "LoginByMode: master %s:%u not reached", host.c_str(), static_cast<unsigned>(port));
    return MakeLoginResult(KVO_ERR_CASCADE_MASTER, kTextCascadeMasterDown, "");
  }
  const std::string id = CreateGuidString();
  const std::string text = BuildPeerLoginText(id, username, password, m_local.addresses,
                                              m_settings.socket_port, m_local.masks);
  std::string answer;
  if (!AskParent(id, text, kChildLoginWaitMs, &answer)) {
    return MakeLoginResult(KVO_ERR_TIMEOUT, kTextTimeout, "");
  }
  PeerLoginAnswer login;
  const std::string_view answerText = PeerMessageText(answer.data(), answer.size());
  if (ReadPeerLoginAnswer(answerText, &login) != kPeerOk) {
    return MakeLoginResult(KVO_ERR_TIMEOUT, kTextTimeout, "");
  }
  switch (login.error) {
    case 0:
      return MakeLoginResult(0, kTextLoginOk, "");
    case KVO_ERR_BAD_ACCOUNT:
      return MakeLoginResult(KVO_ERR_BAD_ACCOUNT, kTextBadAccount, "");
    case KVO_ERR_CASCADE_LAN:
      return MakeLoginResult(KVO_ERR_CASCADE_LAN, kTextCascadeSameLan, "");
    default:
      return MakeLoginResult(login.error, "", "");
  }
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

char* CSocketDataMananger::GetCodelist(const char* market, uint32_t* out_length,
                                       const char* request, bool from_caller) {
  if (!market || !out_length) return nullptr;
  if (m_settings.mode == kChild) {
    return static_cast<char*>(
        ChildQuery(kPeerCodelistQuery, market, "", out_length, request, from_caller));
  }
  if (OfflineState() == kOfflineYes) return LoadOfflineCodelist(OfflineFolder(), market, out_length);
  IMarketSession* session = Session(NormaliseMarket(market));
  return session ? session->GetCodelist(market, out_length) : nullptr;
}

void* CSocketDataMananger::GetTickIndex(const char* market, const char* codelist,
                                        uint32_t* out_count, const char* request,
                                        bool from_caller) {
  return QueryRecords(kPeerIndexQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::GetTickStock(const char* market, const char* codelist,
                                        uint32_t* out_count, const char* request,
                                        bool from_caller) {
  return QueryRecords(kPeerStockQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::GetSuperStock(const char* market, const char* codelist,
                                         uint32_t* out_count, const char* request,
                                         bool from_caller) {
  return QueryRecords(kPeerSuperStockQuery, market, codelist, out_count, request, from_caller);
}

void* CSocketDataMananger::QueryRecords(int32_t reqType, const char* market, const char* codelist,
                                        uint32_t* out_count, const char* request,
                                        bool from_caller) {
  if (!market || !out_count) return nullptr;
  const char* codes = codelist ? codelist : "";
  if (m_settings.mode == kChild) {
    return ChildQuery(reqType, market, codes, out_count, request, from_caller);
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

void* CSocketDataMananger::ChildQuery(int32_t reqType, const char* market, const char* codelist,
                                      uint32_t* out, const char* request, bool from_caller) {
  std::string id;
  std::string text;
  if (request && request[0] != '\0') {
    text = request;
    id = GetFieldValue(text, "id");
  } else {
    id = CreateGuidString();
    text = BuildPeerQueryText(reqType, id, market, codelist);
  }
  if (!from_caller) {
    // The master relays the answer to the child that asked.
    ParentLink().Send(text);
    return nullptr;
  }
  std::string answer;
  if (id.empty() || !AskParent(id, text, kChildQueryWaitMs, &answer)) return nullptr;
  // The data length and the record count come from the network: the answer
  // is used only when they agree with what arrived.
  PeerAnswer parsed;
  if (ReadPeerAnswer(answer.data(), answer.size(), &parsed) != kPeerOk ||
      parsed.reqType != reqType + (kPeerCodelistAnswer - kPeerCodelistQuery)) {
    WriteLog(1, "ChildQuery: answer %s to request %d refused", id.c_str(), reqType);
    return nullptr;
  }
  char* block = static_cast<char*>(std::malloc(static_cast<size_t>(parsed.payloadLength) + 1));
  if (!block) return nullptr;
  if (parsed.payloadLength > 0) std::memcpy(block, parsed.payload, parsed.payloadLength);
  block[parsed.payloadLength] = '\0';
  *out = reqType == kPeerCodelistQuery ? parsed.payloadLength : parsed.count;
  return block;
}

// ---- the master as the child's parent ----

IParentLink& CSocketDataMananger::ParentLink() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (!m_parent) {
    m_parent = CreateParentLink([this](const std::string& id, const char* body, size_t length) {
      OnParentAnswer(id, body, length);
    });
  }
  return *m_parent;
}

bool CSocketDataMananger::AskParent(const std::string& id, const std::string& text, uint32_t ms,
                                    std::string* answer) {
  auto request = std::make_shared<SyncRequest>();
  {
    // Entered before anything is sent: the answer may come at once.
    std::lock_guard<std::mutex> lock(m_requestMutex);
    m_requests[id] = request;
  }
  const bool sent = ParentLink().Send(text);
  if (sent) request->Wait(ms);
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    auto it = m_requests.find(id);
    if (it != m_requests.end() && it->second == request) m_requests.erase(it);
  }
  corvane::CTLSmartBuffer body;
  if (!sent || request->GetAnswer(&body) == 0) return false;
  answer->assign(static_cast<const char*>(body.GetData()), body.GetLength());
  return true;
}

void CSocketDataMananger::OnParentAnswer(const std::string& id, const char* body, size_t length) {
  std::shared_ptr<SyncRequest> request;
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    auto it = m_requests.find(id);
    if (it == m_requests.end()) return;  // late: nobody waits any more
    request = it->second;
  }
  if (length > UINT32_MAX) return;
  request->SetAnswer(body, static_cast<uint32_t>(length));
}

// ---- subscriptions ----

Subscriber CSocketDataMananger::LocalSubscriber() {
  if (m_settings.mode != kChild) return 0;
  return ParentLink().SubscriberId();
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
    return SubScribeThroughRegistry(msg_dataclass, subop_type, market, codes);
  }
  if (m_settings.mode == kChild) {
    const std::string text = BuildPeerSubscribeText(static_cast<int32_t>(msg_dataclass),
                                                    static_cast<int32_t>(subop_type),
                                                    CreateGuidString(), market, codes);
    if (!ParentLink().Send(text)) {
      WriteLog(1, "SubScribe: change of %u|%s:%s not sent to the master", msg_dataclass, market,
               codes);
    }
    return 0;
  }
  if (offline) return 0;
  return SubScribeMarket(msg_dataclass, subop_type, market, codes, true);
}

int32_t CSocketDataMananger::SubScribeThroughRegistry(uint32_t msg_dataclass, uint32_t subop_type,
                                                      const char* market, const char* codelist) {
  // Changes no other subscriber covers come back here as forwarded ones.
  const SubscriptionUpstream upstream = [this](uint32_t dataClass, uint32_t op,
                                               const std::string& upMarket,
                                               const std::string& upCodes) {
    SubScribe(dataClass, op, upMarket.c_str(), upCodes.c_str(), false, true);
  };
  ApplySubscriptionChange(SubscriptionRegistry::Global(), LocalSubscriber(), msg_dataclass,
                          subop_type, market, codelist, upstream);
  return 0;
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

bool CSocketDataMananger::IsKeyCovered(const std::string& key, uint32_t subop_type) const {
  return ::IsKeyCovered(SubscriptionRegistry::Global(), key, subop_type);
}

int32_t CSocketDataMananger::GetIntField(const char* text, const char* key) {
  if (!text || !key) return 0;
  return ::GetIntField(text, key);
}

std::string CSocketDataMananger::FormatInt(int32_t value) { return std::to_string(value); }

// ---- playback ----

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
