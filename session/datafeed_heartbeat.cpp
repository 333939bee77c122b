// Keeping a market session alive: the heartbeat tick with its check-out,
// the reconnect over the gateway addresses with the host's notifications,
// the disconnect rule, and the actions of gateway notifications.
//
// Threads: the heartbeat tick runs on "heartbitThread", the reconnect on
// "reconnectThread", the disconnect callback and the notification actions
// on socket engine threads. The reconnect re-subscribes with waiting
// requests whose answers "ReceieveThread" delivers, so it never runs there.
#include <new>

#include "framework/tl_log.h"
#include "platform/pl_netstate.h"
#include "protocol/kvo_packet.h"
#include "session/builtin_hosts.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_timers.h"
#include "session/session_util.h"

// ---- heartbeat ----

int32_t CDatafeedSDKManager::SendHeartBit(const void* bytes, uint32_t length) {
    uint64_t answer = LastHeartbeatAnswer();
    // No answer time: not logged in since the last check-out.
    if (answer == 0) return 0;
    const uint64_t now = GetNowMs() / 1000;
    if (now >= answer && now - answer >= GetSessionTimers().checkOutSeconds) {
        // An answer that arrives meanwhile keeps the session: the time is
        // cleared only when it is still the one that aged out.
        if (!m_lastHeartbeatAnswer.compare_exchange_strong(answer, 0, std::memory_order_acq_rel)) return 0;
        TL_WriteLog(2, "Type:%s-SendHeartBit[],HeartBit check out!", m_marketCode.c_str());
        PostReconnect();
        return 0;
    }
    ArmSamplingTick();
    if (IsLoggedIn()) SendPacket(Connection(), KVO_PACKET_HEARTBEAT, bytes, length);
    return 0;
}

// ---- disconnect ----

int32_t CDatafeedSDKManager::OnDatafeedDisconnect(CClientSession*, uint32_t, uint32_t) {
    // Set only after a reconnect, or after a login or reconnect that found no
    // gateway: a drop after the first successful login waits for the
    // heartbeat's check-out instead.
    if (!ReconnectOnDisconnect() || IsStopping()) return 0;
    TL_WriteLog(2, "Type:%s-OnDatafeedDisconnect[],session triming!", m_marketCode.c_str());
    PostReconnect();
    return 0;
}

bool CDatafeedSDKManager::PostReconnect() {
    auto* item = new (std::nothrow) RecrieceDataThreadInfo;
    if (item == nullptr) return false;
    item->m_kind = RecrieceDataThreadInfo::kReconnect;
    item->m_connectionId = ConnectionId();
    item->m_sampleMs = GetNowMs();
    if (PostReceiveItem(kReconnectThread, item)) return true;
    delete item;
    return false;
}

// ---- reconnect ----

int32_t CDatafeedSDKManager::Reconnect() {
    if (!IsLoggedIn() || IsStopping()) return 0;
    SetLoggedIn(false);
    SetReconnectOnDisconnect(false);
    RefreshPassport();

    LoginResult result = kvoapi::MakeLoginResult(KVO_ERR_BAD_IP, kvoapi::kTextBadIp, "");
    std::string errorText;
    std::string connectedHost;
    uint16_t connectedPort = 0;
    bool connected = false;
    const uint32_t wait = GetSessionTimers().loginWaitMs;
    // Rounds follow each other without a pause.
    for (uint32_t round = 0; round < kReconnectRounds && !connected; ++round) {
        for (const auto& [host, port] : Addresses()) {
            if (IsStopping()) return 0;
            result = Connect(host.c_str(), port, wait);
            TL_WriteLog(2, "Type:%s-Reconnect[],session check, %s:%d, %d", m_marketCode.c_str(), host.c_str(),
                        static_cast<int>(port), result.nstatuscode);
            if (result.nstatuscode >= 0) {
                connected = true;
                connectedHost = host;
                connectedPort = port;
                break;
            }
            errorText += host + ":" + std::to_string(port) + "[code:" + std::to_string(result.nstatuscode) +
                         "statusmsg:" + kvoapi::BoundedText(result.statusmsg) + "]   ";
        }
    }
    // The session is going away: nobody is told, nothing is re-sent.
    if (IsStopping()) return 0;

    if (connected) {
        if ((ElkEventMask() & kElkLogin) != 0) {
            ElkLog("client@_login", "reconnect_success",
                   {{"login_success_ip", connectedHost},
                    {"login_success_port", std::to_string(connectedPort)},
                    {"login_success_expire_date", kvoapi::BoundedText(result.expire_date)},
                    {"login_error", errorText}},
                   "");
        }
        ReSub(true);
        SetReconnectOnDisconnect(true);
        return 0;
    }

    ReportReconnectFailure(errorText);
    int error = 0;
    if (!pl::IsNetworkAlive(&error) && error == 0) {
        // The machine has no working network: a later drop queues nothing
        // until the host logs in again.
        TL_WriteLog(1, "Type:%s-Reconnect[],session network card disconnected!", m_marketCode.c_str());
        NotifyHost(kNotifyAdapterDown, kvoapi::kTextAdapterDown);
    } else {
        TL_WriteLog(1, "Type:%s-Reconnect[],session disconnected!", m_marketCode.c_str());
        NotifyHost(kNotifyConnectionLost, kvoapi::kTextNetworkLost);
        SetReconnectOnDisconnect(true);
    }
    return 0;
}

void CDatafeedSDKManager::NotifyHost(int32_t code, const std::string& message) {
    const NotifyCallback callback = m_config.fncnotify;
    if (callback == nullptr || IsStopping()) return;
    NotifyRecord record;
    record.code = code;
    // The market code directly followed by the message, cut on a GBK
    // character boundary so that the terminator always fits.
    kvoapi::CopyTextField(record.text, sizeof(record.text), m_marketCode + message);
    corvane::HostCallScope call(HostGate());
    if (call.Entered()) callback(m_owner, &record);
}

// ---- gateway notifications ----

void CDatafeedSDKManager::ActiveDisconnect() {
    SetLoggedIn(false);
    SetKicked();
    TL_WriteLog(1, "Type:%s-ActiveDisconnect[],Active Disconnect!", m_marketCode.c_str());
    NotifyHost(kNotifyRepeatedLogin, kvoapi::kTextKickedByRepeatedLogin);
}

void CDatafeedSDKManager::GatewayRemoveSH() {
    const std::string shHost = kvoapi::GetBuiltinHosts().shGatewayHost;
    size_t left = 0;
    {
        // Login and reconnect walk copies of the lists taken under the same
        // mutex.
        corvane::CTLSingleLock lock(&m_addressMutex, 1);
        for (size_t i = m_hosts.size(); i-- > 0;) {
            if (m_hosts[i] != shHost) continue;
            m_hosts.erase(m_hosts.begin() + static_cast<std::ptrdiff_t>(i));
            if (i < m_ports.size()) m_ports.erase(m_ports.begin() + static_cast<std::ptrdiff_t>(i));
        }
        left = m_hosts.size();
    }
    TL_WriteLog(1, "Type:%s-GatewayRemoveSH[],size:%d!", m_marketCode.c_str(), static_cast<int>(left));
}

void CDatafeedSDKManager::GatewayReconnect() {
    TL_WriteLog(1, "Type:%s-GatewayReconnect[],Gateway Reconnect!", m_marketCode.c_str());
    m_lastHeartbeatAnswer.store(0, std::memory_order_release);
    PostReconnect();
}

void CDatafeedSDKManager::CustomDisconnect(const std::string& statusmsg) {
    SetLoggedIn(false);
    SetKicked();
    const std::string text = kvoapi::GatewayTextToGbk(statusmsg);
    TL_WriteLog(1, "Type:%s-CustomDisconnect[],%s!", m_marketCode.c_str(), text.c_str());
    NotifyHost(kNotifyConnectionLost, text);
}
