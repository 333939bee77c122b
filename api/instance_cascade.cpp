// The instance's cascade side: starting and stopping it, the roads through
// the master and through the subscription registry, and what the cascade
// asks of the instance (its last login, its queries, its upstream
// subscriptions). The work itself is the CascadeNode's.
#include <string>

#include "api/api_support.h"
#include "api/socket_data_manager.h"
#include "cascade/offline_playback.h"
#include "cascade/peer_message.h"
#include "session/dataclass.h"
#include "session/kvo_texts.h"

using namespace kvoapi;

namespace {

std::string Text(const char* text) { return text ? text : ""; }

}  // namespace

bool CSocketDataMananger::Start() {
    m_usedRelay->store(true, std::memory_order_release);
    return m_cascade->Start();
}

void CSocketDataMananger::Stop() {
    // A playback this instance started ends first: it feeds the relay
    // dispatcher that the cascade side detaches from.
    OfflineDebugMode().Detach(this);
    if (m_cascade) m_cascade->Stop();
    // The instance's own worker thread is never started: the receive loop
    // belongs to the cascade side. Stopping it is a no-op kept for the slot.
    CThreadBase::Stop();
    Join();
}

uint16_t CSocketDataMananger::CascadeListenPort() const { return m_cascade->ListenPort(); }

LoginResult CSocketDataMananger::LoginThroughMaster(const char* username, const char* password) {
    std::string address;
    uint16_t port = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        address = m_masterAddress;
        port = m_masterPort;
    }
    return m_cascade->LoginThroughMaster(Text(username), Text(password), address, port);
}

void* CSocketDataMananger::QueryThroughMaster(int32_t req_type, const char* market, const char* codelist, uint32_t* out,
                                              const char* request, bool from_caller) {
    return m_cascade->QueryThroughMaster(req_type, Text(market), Text(codelist), Text(request), from_caller, out);
}

int32_t CSocketDataMananger::SubscribeThroughMaster(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                                    const char* codelist) {
    return m_cascade->SubscribeThroughMaster(msg_dataclass, subop_type, Text(market), Text(codelist));
}

int32_t CSocketDataMananger::SubscribeThroughRegistry(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                                      const char* codelist) {
    return m_cascade->SubscribeLocal(msg_dataclass, subop_type, Text(market), Text(codelist));
}

void CSocketDataMananger::CascadeCredentials(std::string* user, std::string* password) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    *user = m_lastUser;
    *password = m_lastPassword;
}

void* CSocketDataMananger::CascadeQuery(int32_t req_type, const std::string& market, const std::string& codelist,
                                        const std::string& request, uint32_t* out) {
    const char* m = market.c_str();
    const char* c = codelist.c_str();
    const char* r = request.c_str();
    switch (req_type) {
    case kPeerCodelistQuery:
        return GetCodelist(m, out, r, false);
    case kPeerIndexQuery:
        return GetTickIndex(m, c, out, r, false);
    case kPeerStockQuery:
        return GetTickStock(m, c, out, r, false);
    case kPeerSuperStockQuery:
        return GetSuperStock(m, c, out, r, false);
    default:
        return nullptr;
    }
}

int32_t CSocketDataMananger::CascadeUpstream(uint32_t msg_dataclass, uint32_t subop_type, const std::string& market,
                                             const std::string& codelist, bool wait) {
    // A change made for children comes from the receive loop that serves
    // every child: a master's session sends it without waiting for the
    // gateway and logs the answer (a child's road never waits on one).
    if (!wait && m_settings.mode == kMaster && OfflineState() != kOfflineYes) {
        const std::string code = MarketSessionCode(market.c_str());
        IMarketSession* session = code.empty() ? nullptr : Session(code);
        if (session == nullptr) return KVO_ERR_MARKET;
        return session->SubScribeForChildren(msg_dataclass, subop_type, market.c_str(), codelist.c_str());
    }
    return SubScribe(msg_dataclass, subop_type, market.c_str(), codelist.c_str(), false, true);
}

void CSocketDataMananger::CascadeTelemetry(const PeerTelemetryRecord& record) {
    // The socket records travel with the "SH" session's telemetry; without
    // that session there is nobody to send them.
    if (IMarketSession* session = Session("SH")) {
        session->ElkLog(record.indexPrefix, record.name, record.fields, record.option);
    }
}
