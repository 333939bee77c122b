// The roads of the market session whose parts are not built yet: the
// heartbeat and reconnect, gateway notification actions and snapshot
// queries. Each one logs that it is not available and gives the failure its
// callers already handle; none of them sends anything to the gateway.
#include "framework/tl_log.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"

namespace {

void LogUnavailable(const std::string& market, const char* road) {
    TL_WriteLog(1, "Type:%s-%s[],not available in this build", market.c_str(), road);
}

}  // namespace

int32_t CDatafeedSDKManager::OnDatafeedDisconnect(CClientSession*, uint32_t, uint32_t) { return 0; }

int32_t CDatafeedSDKManager::Reconnect() {
    LogUnavailable(m_marketCode, "Reconnect");
    return 0;
}

// The heartbeat sends nothing yet: its tick only runs the push sampling.
int32_t CDatafeedSDKManager::SendHeartBit(const void*, uint32_t) {
    ArmSamplingTick();
    return 0;
}

void CDatafeedSDKManager::ActiveDisconnect() { LogUnavailable(m_marketCode, "ActiveDisconnect"); }
void CDatafeedSDKManager::GatewayRemoveSH() { LogUnavailable(m_marketCode, "GatewayRemoveSH"); }
void CDatafeedSDKManager::GatewayReconnect() { LogUnavailable(m_marketCode, "GatewayReconnect"); }
void CDatafeedSDKManager::CustomDisconnect(const std::string&) { LogUnavailable(m_marketCode, "CustomDisconnect"); }

char* CDatafeedSDKManager::GetCodelist(const char*, uint32_t*) {
    LogUnavailable(m_marketCode, "GetCodelist");
    return nullptr;
}

void* CDatafeedSDKManager::GetTickIndex(const char*, const char*, uint32_t*) {
    LogUnavailable(m_marketCode, "GetTickIndex");
    return nullptr;
}

void* CDatafeedSDKManager::GetTickStock(const char*, const char*, uint32_t*) {
    LogUnavailable(m_marketCode, "GetTickStock");
    return nullptr;
}

void* CDatafeedSDKManager::GetSuperStock(const char*, const char*, uint32_t*) {
    LogUnavailable(m_marketCode, "GetSuperStock");
    return nullptr;
}
