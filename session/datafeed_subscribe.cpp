// Subscriptions of a market session: waiting and asynchronous
// subscriptions (SubscribeReq, packet type 9), the kept list replayed by
// ReSub after a login or reconnect, and "SubAsyncCallBackThread", which
// reports asynchronous answers and time-outs to the host's fncsubscribe, or
// to the log for the changes a cascade master makes for its children.
#include <new>
#include <string>

#include "framework/tl_log.h"
#include "protocol/kvo_message.h"
#include "session/datafeed_manager.h"
#include "session/dataclass.h"
#include "session/session_timers.h"

namespace {

// The suboper sent for a subop_type: 1->1, 2->3, 3->2, 4->4, other -1.
int32_t SubOperOf(uint32_t subopType) {
    switch (subopType) {
    case 1:
        return 1;
    case 2:
        return 3;
    case 3:
        return 2;
    case 4:
        return 4;
    default:
        return -1;
    }
}

// The mapped status of a SubscribeRsp body; -1002 when it does not parse.
int32_t AnswerStatus(const corvane::CTLSmartBuffer& answer) {
    datapacket::SubscribeRsp rsp;
    if (KvoParseBody(answer.GetData(), answer.GetLength(), rsp) != KVO_FRAME_OK) return KVO_ERR_TIMEOUT;
    int32_t status = rsp.statuscode();
    CDatafeedSDKManager::MapSubscribeStatus(&status);
    return status;
}

}  // namespace

uint32_t CDatafeedSDKManager::MarketIdOf(const char* market) { return MarketTextToByteId(market); }

void CDatafeedSDKManager::MapSubscribeStatus(int32_t* status) {
    switch (*status) {
    case 1:
        *status = KVO_ERR_SUBSCRIBE_1;
        break;
    case 2:
        *status = KVO_ERR_SUBSCRIBE_2;
        break;
    case 4:
        *status = KVO_ERR_SUBSCRIBE_4;
        break;
    default:
        break;
    }
}

int32_t CDatafeedSDKManager::SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                       const char* codelist, bool wait) {
    return SubScribe(msg_dataclass, subop_type, market, codelist, false, wait);
}

int32_t CDatafeedSDKManager::SubScribeForChildren(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                                  const char* codelist) {
    return SubScribe(msg_dataclass, subop_type, market, codelist, false, false, true);
}

int32_t CDatafeedSDKManager::SubScribe(uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                       const char* codelist, bool resub, bool wait, bool forChildren) {
    const char* marketText = market != nullptr ? market : "";
    const char* codes = codelist != nullptr ? codelist : "";
    // 1. Operation 8 forgets every kept subscription and sends nothing.
    if (subop_type == 8) {
        {
            corvane::CTLSingleLock lock(&m_keptMutex, 1);
            m_keptSubscriptions.clear();
        }
        TL_WriteLog(2, "Type:%s-SubScribe[],Cache clear!", m_marketCode.c_str());
        return 0;
    }
    // 2. The start of the telemetry's duration.
    const bool telemetry = (m_elkEventMask.load(std::memory_order_acquire) & 0x4u) != 0;
    const int32_t start = telemetry ? GetDayMs() : 0;
    // 3, 4. The wire class of the class and market.
    uint32_t wireClass = 0;
    MapDataClass(msg_dataclass, marketText, m_altDataClass.load(std::memory_order_acquire) != 0, &wireClass);
    // 5. The push worker of the class, before the class is checked.
    CreatePushWorker(msg_dataclass, marketText);
    // 6.
    if (!IsValidDataClass(msg_dataclass)) return KVO_ERR_DATACLASS;
    // 7. The code text: the market's id followed by the codes.
    const std::string codeText = MarketCodeText(marketText, codes);
    SubscriptionEntry entry;
    entry.msg_dataclass = msg_dataclass;
    entry.subop_type = subop_type;
    entry.market = marketText;
    entry.codelist = codes;
    // 8. Kept for re-subscription, unless this is one.
    if (!resub) {
        corvane::CTLSingleLock lock(&m_keptMutex, 1);
        m_keptSubscriptions.push_back(entry);
    }
    // 9. The request.
    datapacket::SubscribeReq req;
    req.set_market(marketText);
    req.set_codelist(codeText);
    req.set_data_class(static_cast<int32_t>(wireClass));
    req.set_dataoption(1);
    req.set_suboper(SubOperOf(subop_type));
    req.set_rettype(-1);
    const uint32_t instid = NextInstid();
    req.set_instid(instid);
    req.set_levels_num(static_cast<uint32_t>(GetSuperStockLevel()));
    std::string body;
    if (!req.SerializeToString(&body) || body.size() > 0xFFFFFFF0u) {
        TL_WriteLog(1, "Type:%s-SubScribe[],request cannot be built, codelist of %zu bytes", m_marketCode.c_str(),
                    codeText.size());
        return KVO_ERR_TIMEOUT;
    }
    const uint32_t bodyLength = static_cast<uint32_t>(body.size());

    // 10. Waiting: the answer's status is the result.
    if (wait) {
        corvane::CTLSmartBuffer answer;
        const int32_t sent =
            SendRequest(Connection(), instid, KVO_PACKET_SUBSCRIBE_REQ, body.data(), bodyLength, &answer, true);
        const int32_t result = sent == 0 ? KVO_ERR_TIMEOUT : AnswerStatus(answer);
        if (telemetry) WriteSubscribeTelemetry(entry, result, GetDayMs() - start);
        return result;
    }

    // 11. Asynchronous: the entry waits under the request's id for
    // "SubAsyncCallBackThread", which reports the answer or the time-out.
    entry.forChildren = forChildren;
    if (telemetry) entry.startMs = start;
    {
        corvane::CTLSingleLock lock(&m_pending.Mutex(), 1);
        m_asyncSubscriptions[instid] = entry;
    }
    if (SendRequest(Connection(), instid, KVO_PACKET_SUBSCRIBE_REQ, body.data(), bodyLength, nullptr, false) == 0) {
        // Not entered (the session is stopping): nothing will answer.
        corvane::CTLSingleLock lock(&m_pending.Mutex(), 1);
        m_asyncSubscriptions.erase(instid);
        return KVO_ERR_TIMEOUT;
    }
    StartAsyncChecker();
    return 0;
}

void CDatafeedSDKManager::StartAsyncChecker() {
    // Host threads may subscribe at once: each may make a checker, the first
    // installed stays and the others are stopped again.
    if (IsStopping() || Worker(kSubAsyncCallBackThread) != nullptr) return;
    const uint32_t period = GetSessionTimers().asyncCheckMs;
    auto* checker = new (std::nothrow)
        CHeartBitThread("SubAsyncCallBackThread", period,
                        CHeartBitThread::Handler::Bind<&CDatafeedSDKManager::CheckAsyncSubscribe>(this));
    if (checker == nullptr) {
        TL_WriteLog(1, "Type:%s-SubScribe[],SubAsyncCallBackThread cannot start", m_marketCode.c_str());
        return;
    }
    if (!StartAndInstall(kSubAsyncCallBackThread, checker, "SubScribe")) return;
    // One item circulates for the thread's life.
    auto* item = new (std::nothrow) HeartBitThreadInfo(period);
    if (item != nullptr && !PostHeartBitItem(kSubAsyncCallBackThread, item)) delete item;
}

int32_t CDatafeedSDKManager::CheckAsyncSubscribe(const void*, uint32_t) {
    struct Report {
        SubscriptionEntry entry;
        int32_t status;
    };
    std::vector<Report> reports;
    const uint64_t nowSeconds = GetNowMs() / 1000;
    const uint64_t timeoutSeconds = AnswerTimeoutMs() / 1000;
    {
        // The walk holds the pending mutex; the host is called only after
        // it is released, so a callback that subscribes again (waiting or
        // not) cannot stall the receive path or deadlock.
        corvane::CTLSingleLock lock(&m_pending.Mutex(), 1);
        m_pending.ForEachAsync([&](uint32_t instid, uint64_t stamp, const PendingTable::RequestPtr& request) {
            auto it = m_asyncSubscriptions.find(instid);
            int32_t status;
            if (stamp % 10 != 0) {
                corvane::CTLSmartBuffer answer;
                request->GetAnswer(&answer);
                status = AnswerStatus(answer);
            } else {
                const uint64_t stampSeconds = stamp / 10;
                const uint64_t age = nowSeconds > stampSeconds ? nowSeconds - stampSeconds : 0;
                if (age <= timeoutSeconds) return false;
                status = KVO_ERR_TIMEOUT;
            }
            if (it != m_asyncSubscriptions.end()) {
                reports.push_back(Report{std::move(it->second), status});
                m_asyncSubscriptions.erase(it);
            }
            return true;  // the request and its stamp go
        });
    }
    const SubscribeCallback callback = m_config.fncsubscribe;
    for (const Report& r : reports) {
        if (r.entry.forChildren) {
            // The host did not make this change: only the log and the
            // telemetry learn how it ended.
            if (r.status != 0)
                TL_WriteLog(2, "SubScribe: change %u of %u|%s:%s refused upstream (%d)", r.entry.subop_type,
                            r.entry.msg_dataclass, r.entry.market.c_str(), r.entry.codelist.c_str(), r.status);
            if (r.entry.startMs >= 0) WriteSubscribeTelemetry(r.entry, r.status, GetDayMs() - r.entry.startMs);
            continue;
        }
        if (callback == nullptr) continue;
        corvane::HostCallScope call(HostGate());
        if (!call.Entered()) continue;
        callback(r.entry.msg_dataclass, r.entry.subop_type, r.entry.market.c_str(), r.entry.codelist.c_str(), r.status,
                 1);
    }
    return 0;
}

int32_t CDatafeedSDKManager::ReSub(bool reconnect) {
    if (!reconnect && m_config.m_connectsubscribe != 1) return 0;
    // A copy: host threads may subscribe (and clear the list) meanwhile.
    std::vector<SubscriptionEntry> kept = KeptSubscriptions();
    int32_t first = 0;
    for (const SubscriptionEntry& e : kept) {
        if (IsStopping()) break;
        int32_t rc = SubScribe(e.msg_dataclass, e.subop_type, e.market.c_str(), e.codelist.c_str(), true, true);
        if (rc == KVO_ERR_TIMEOUT)
            rc = SubScribe(e.msg_dataclass, e.subop_type, e.market.c_str(), e.codelist.c_str(), true, true);
        if (rc == 0) continue;
        if (first == 0) first = rc;
        TL_WriteLog(1,
                    "Type:%s-Reconnect[],ReSub fail! errorcode: %d, dataclass: %d, subop: %d, market: %s, codelist: %s",
                    m_marketCode.c_str(), rc, static_cast<int>(e.msg_dataclass), static_cast<int>(e.subop_type),
                    e.market.c_str(), e.codelist.c_str());
        if (m_config.fncsubscribe != nullptr) {
            corvane::HostCallScope call(HostGate());
            if (call.Entered())
                m_config.fncsubscribe(e.msg_dataclass, e.subop_type, e.market.c_str(), e.codelist.c_str(), rc, 2);
        }
        // A refusal concerns this entry only; no answer at all means the
        // link is gone, and the rest would only wait in vain.
        if (rc == KVO_ERR_TIMEOUT) break;
    }
    return first;
}

std::vector<SubscriptionEntry> CDatafeedSDKManager::KeptSubscriptions() const {
    corvane::CTLSingleLock lock(&m_keptMutex, 1);
    return m_keptSubscriptions;
}

void CDatafeedSDKManager::WriteSubscribeTelemetry(const SubscriptionEntry& entry, int32_t result, int32_t timeconsum) {
    std::map<std::string, std::string> fields = ElkBaseFields();
    fields["dataclass"] = std::to_string(entry.msg_dataclass);
    fields["subop_type"] = std::to_string(entry.subop_type);
    fields["market"] = entry.market;
    fields["codelist"] = entry.codelist;
    fields["statscode"] = std::to_string(result);
    fields["timeconsum"] = std::to_string(timeconsum);
    WriteTelemetryRecord("client@_sub", "SubScribe", "", fields);
}

void CDatafeedSDKManager::WriteTelemetryRecord(const char* prefix, const char* name, const char* option,
                                               const std::map<std::string, std::string>& fields) {
    ElkLog(prefix, name, fields, option);
}

void CDatafeedSDKManager::ReSubAfterLogin() { ReSub(false); }
