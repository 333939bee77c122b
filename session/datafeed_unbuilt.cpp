// The roads of the market session whose parts are not built yet: the
// gateway login, the heartbeat and reconnect, gateway notification actions,
// snapshot queries and telemetry. Each one logs that it is not available
// and gives the failure its callers already handle; none of them sends
// anything to the gateway.
#include "framework/tl_log.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_util.h"

namespace {

void LogUnavailable(const std::string& market, const char* road) {
    TL_WriteLog(1, "Type:%s-%s[],not available in this build", market.c_str(), road);
}

}  // namespace

// The gateway login is not built: no address can be logged in on.
LoginResult CDatafeedSDKManager::Login(const kvoapi::LoginAccountInfo&) {
    LogUnavailable(m_marketCode, "Login");
    return kvoapi::MakeLoginResult(KVO_ERR_CONNECT, kvoapi::kTextCannotConnect, "");
}

int32_t CDatafeedSDKManager::Login2Datafeed(CClientSession*, uint32_t) {
    LogUnavailable(m_marketCode, "Login2Datafeed");
    return 0;
}

int32_t CDatafeedSDKManager::OnDatafeedDisconnect(CClientSession*, uint32_t, uint32_t) { return 0; }

int32_t CDatafeedSDKManager::Reconnect() {
    LogUnavailable(m_marketCode, "Reconnect");
    return 0;
}

// No heartbeat item circulates before a login, so this is never reached.
int32_t CDatafeedSDKManager::SendHeartBit(const void*, uint32_t) { return 0; }

void CDatafeedSDKManager::ActiveDisconnect() { LogUnavailable(m_marketCode, "ActiveDisconnect"); }
void CDatafeedSDKManager::GatewayRemoveSH() { LogUnavailable(m_marketCode, "GatewayRemoveSH"); }
void CDatafeedSDKManager::GatewayReconnect() { LogUnavailable(m_marketCode, "GatewayReconnect"); }
void CDatafeedSDKManager::CustomDisconnect(const std::string&) { LogUnavailable(m_marketCode, "CustomDisconnect"); }

// Telemetry is off (no mask is ever set): user data is refused.
int32_t CDatafeedSDKManager::SendUserData(const char*) { return KVO_ERR_NULL_POINTER; }

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
