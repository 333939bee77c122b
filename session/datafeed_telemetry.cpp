// Telemetry of a market session: records of its events sent to the gateway
// (packet type 50) while logged in and, at log level 7, appended to
// "kvosdk.log"; the standing fields gathered before the first login; the
// push-sampling clock; the host's user data.
#include "framework/net/tl_adapters.h"
#include "framework/tl_log.h"
#include "protocol/kvo_message.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_timers.h"
#include "session/session_util.h"

namespace {

// Where each channel's stamp starts, seconds before now: the channels first
// fire one minute apart.
constexpr uint64_t kSamplingStagger[CDatafeedSDKManager::kSamplingChannels] = {
    0,    // transactions
    240,  // orders
    180,  // stock ticks
    120,  // index ticks
    60,   // super-stock data
};

}  // namespace

std::string CDatafeedSDKManager::ElkLog(const std::string& prefix, const std::string& name, ElkFields fields,
                                        const std::string& option) {
    if (option == kElkOptionCpuMemory) {
        int32_t cpu = GetCpuPercent();
        if (cpu == -1) cpu = GetCpuPercent();
        uint64_t workingSet = 0;
        GetMemoryInfo(&workingSet, nullptr);
        fields["cpu"] = std::to_string(cpu);
        fields["memory"] = std::to_string(workingSet >> 10);
    } else if (option == kElkOptionMapParam) {
        for (const auto& [key, value] : ElkBaseFields()) fields[key] = value;
    }
    CQueueLogElkItem item;
    item.m_indexPrefix = prefix;
    item.m_module = name;
    item.m_event = kElkEvent;
    item.m_fields = std::move(fields);
    std::string line = FormatElkLine(item);
    if (option == kElkOptionTextOnly) return line;
    line += '\n';
    SendElkMessage(line);
    if (Level7()) AppendElkFile(ElkFilePath(), line);
    return std::string();
}

void CDatafeedSDKManager::SendElkMessage(const std::string& text) {
    if (!IsLoggedIn()) return;
    datapacket::ElkMessageReq req;
    req.set_elkmessage(text);
    const std::string body = req.SerializeAsString();
    SendPacket(Connection(), KVO_PACKET_ELK_MESSAGE_REQ, body.data(), static_cast<uint32_t>(body.size()));
}

void CDatafeedSDKManager::BuildLoginInfo() {
    std::string mac;
    TL_GetMacAddress(mac);
    const kvoapi::LoginAccountInfo account = Account();
    {
        corvane::CTLSingleLock lock(&m_elkMutex, 1);
        m_macText = mac;
        m_elkBaseFields["client_version"] = kSdkVersion;
        m_elkBaseFields["userid"] = account.user_id;
        m_elkBaseFields["username"] = account.username;
        m_elkBaseFields["usertype"] = account.auth_kind;
        m_elkBaseFields["exchangetype"] = m_marketCode;
        m_elkBaseFields["IP"] = account.local_addresses;
        m_elkBaseFields["MAC"] = mac;
        m_elkBaseFields["PID"] = std::to_string(account.process_id);
    }
    const uint64_t now = GetNowMs() / 1000;
    for (uint32_t i = 0; i < kSamplingChannels; ++i) {
        m_samplingStamps[i].store(now > kSamplingStagger[i] ? now - kSamplingStagger[i] : 0, std::memory_order_release);
    }
}

int32_t CDatafeedSDKManager::SendUserData(const char* text) {
    if ((ElkEventMask() & kElkUserData) == 0) return KVO_ERR_NULL_POINTER;
    ElkLog("client@_qsuserdata", "qsuserdata", {{"userdata", text ? text : ""}}, "");
    return 0;
}

void CDatafeedSDKManager::ReportReconnectFailure(const std::string& errorText) {
    if ((ElkEventMask() & kElkLogin) == 0) return;
    // The session is not logged in and cannot send it: the file keeps it.
    const std::string line =
        ElkLog("client@_login", "reconnect_no_success", {{"login_error", errorText}}, kElkOptionTextOnly);
    AppendElkFile(ElkFilePath(), line + "\n");
}

void CDatafeedSDKManager::ArmSamplingTick() {
    if ((ElkEventMask() & kElkPushSample) == 0) return;
    const uint64_t answer = LastHeartbeatAnswer();
    if (answer == 0) return;
    const uint64_t interval = GetSessionTimers().samplingSeconds;
    for (uint32_t i = 0; i < kSamplingChannels; ++i) {
        if (m_samplingArmed[i].load(std::memory_order_acquire)) continue;
        const uint64_t stamp = m_samplingStamps[i].load(std::memory_order_acquire);
        if (answer < stamp || answer - stamp < interval) continue;
        m_samplingStamps[i].store(answer, std::memory_order_release);
        m_samplingArmed[i].store(true, std::memory_order_release);
    }
}

ElkFields CDatafeedSDKManager::ElkBaseFields() const {
    corvane::CTLSingleLock lock(&m_elkMutex, 1);
    return m_elkBaseFields;
}

std::string CDatafeedSDKManager::MacText() const {
    corvane::CTLSingleLock lock(&m_elkMutex, 1);
    return m_macText;
}

uint64_t CDatafeedSDKManager::SamplingStamp(SamplingChannel channel) const {
    return channel < kSamplingChannels ? m_samplingStamps[channel].load(std::memory_order_acquire) : 0;
}

std::string CDatafeedSDKManager::ElkFilePath() const { return kvoapi::LogFilePath(m_config, kElkFile); }
