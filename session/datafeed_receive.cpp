// The receive path of a market session (both receive callbacks, the answer
// handlers, the push routing) and its sending side (requests with their
// pending entries, plain packets, feedback).
#include <new>

#include "framework/tl_log.h"
#include "protocol/kvo_message.h"
#include "session/datafeed_manager.h"

namespace {

// Where a push of a wire data class goes: its worker, the sampling channel
// it consumes (none for order queues and five-level ticks) and the words of
// the line logged when the worker refuses it.
struct PushRoute {
    CDatafeedSDKManager::WorkerSlot slot;
    int channel;  // SamplingChannel, or -1
    const char* refused;
};

bool RouteOf(int32_t wireClass, PushRoute* route) {
    using M = CDatafeedSDKManager;
    switch (wireClass) {
    case 5:
    case 6:
    case 7:
    case 11:
    case 13:
        *route = {M::kProcessTransaction, M::kSampleTransaction, "tran"};
        return true;
    case 8:
    case 12:
        *route = {M::kProcessOrder, M::kSampleOrder, "order"};
        return true;
    case 1:
        *route = {M::kProcessStockTick, M::kSampleStock, "stock"};
        return true;
    case 2:
        *route = {M::kProcessIndexTick, M::kSampleIndex, "stock"};
        return true;
    case 9:  // five-level ticks share the index worker but not its sampling
        *route = {M::kProcessIndexTick, -1, "stock"};
        return true;
    case 10:
        *route = {M::kProcessSuperStock, M::kSampleSuperStock, "SuperStock"};
        return true;
    case 3:
    case 4:
        *route = {M::kProcessOrderqueue, -1, "orderq"};
        return true;
    default:
        return false;
    }
}

// The instid field of an answer body, by packet type.
template <class Message>
uint32_t InstidOf(const uint8_t* body, uint32_t length) {
    Message message;
    if (KvoParseBody(body, length, message) != KVO_FRAME_OK) return CDatafeedSDKManager::kNoInstid;
    return message.instid();
}

}  // namespace

uint32_t CDatafeedSDKManager::AnswerInstid(const void* frame, uint32_t length) {
    const KvoPackHeader* header = nullptr;
    if (KvoCheckFrame(frame, length, &header) != KVO_FRAME_OK) return kNoInstid;
    const uint8_t* body = header->GetBody();
    const uint32_t bodyLength = header->GetBodyLength();
    switch (header->GetType()) {
    case KVO_PACKET_LOGIN_RSP:
        return InstidOf<datapacket::LoginRsp>(body, bodyLength);
    case KVO_PACKET_GET_CODELIST_RSP:
        return InstidOf<datapacket::GetCodelistRsp>(body, bodyLength);
    case KVO_PACKET_GET_QUOTA_RSP:
        return InstidOf<datapacket::GetQuotaRsp>(body, bodyLength);
    case KVO_PACKET_SUBSCRIBE_RSP:
        return InstidOf<datapacket::SubscribeRsp>(body, bodyLength);
    default:
        return kNoInstid;
    }
}

// ---- answers ----

void CDatafeedSDKManager::MatchAnswer(const void* frame, uint32_t length, PendingTable::AnswerMode mode) {
    const uint32_t instid = AnswerInstid(frame, length);
    if (instid == kNoInstid) return;
    const KvoPackHeader* header = KvoPackHeader::At(frame);
    m_pending.Answer(instid, header->GetBody(), header->GetBodyLength(), mode);
}

int32_t CDatafeedSDKManager::OnLoginReceiveData(CClientSession*, uint32_t, uint32_t, const void* frame,
                                                uint32_t length) {
    // An asynchronous subscription answered while the routing is still the
    // login's keeps its entry, marked answered, for "SubAsyncCallBackThread"
    // to report; removing it would leave the host without any result.
    // Every other request is removed as it is answered.
    corvane::CTLSingleLock lock(&m_pending.Mutex(), 1);
    const bool subscription = m_asyncSubscriptions.count(AnswerInstid(frame, length)) != 0;
    MatchAnswer(frame, length, subscription ? PendingTable::AnswerMode::kWaited : PendingTable::AnswerMode::kRemove);
    return 0;
}

int32_t CDatafeedSDKManager::OnAnswer(CClientSession*, uint32_t, const corvane::CTLSmartBuffer& frame) {
    MatchAnswer(frame.GetData(), frame.GetLength(), PendingTable::AnswerMode::kRemove);
    return 0;
}

int32_t CDatafeedSDKManager::OnWaitedAnswer(CClientSession*, uint32_t, const corvane::CTLSmartBuffer& frame) {
    MatchAnswer(frame.GetData(), frame.GetLength(), PendingTable::AnswerMode::kWaited);
    return 0;
}

// ---- routing after the login ----

int32_t CDatafeedSDKManager::OnReceiveData(CClientSession* connection, uint32_t connectionId, uint32_t,
                                           const void* frame, uint32_t length) {
    const KvoPackHeader* header = nullptr;
    if (KvoCheckFrame(frame, length, &header) != KVO_FRAME_OK) return 0;
    const uint16_t type = header->GetType();
    if (KvoIsPushType(type)) {
        RoutePush(connection, connectionId, frame, length);
        return 0;
    }
    switch (type) {
    case KVO_PACKET_HEARTBEAT:
        m_lastHeartbeatAnswer.store(GetNowMs() / 1000, std::memory_order_release);
        return 0;
    case KVO_PACKET_GATEWAY_NOTIFY: {
        datapacket::GatewayNotify notify;
        if (KvoParseBody(header->GetBody(), header->GetBodyLength(), notify) != KVO_FRAME_OK) {
            TL_WriteLog(3, "Type:%s-OnReceiveData[], GatewayNotify parse error", m_marketCode.c_str());
            return 0;
        }
        OnGatewayNotify(notify.statuscode(), notify.statusmsg());
        return 0;
    }
    case KVO_PACKET_ECHO: {
        auto* item = new (std::nothrow) FeedBackDataThreadInfo;
        if (item == nullptr) return 0;
        item->m_session = connection;
        item->m_kind = FeedBackDataThreadInfo::kEcho;
        if ((header->GetBodyLength() > 0 &&
             item->m_payload.Append(header->GetBody(), header->GetBodyLength()) == nullptr) ||
            !PostFeedBackItem(item)) {
            delete item;
        }
        return 0;
    }
    default: {
        auto* item = new (std::nothrow) RecrieceDataThreadInfo;
        if (item == nullptr) return 0;
        item->m_session = connection;
        item->m_connectionId = connectionId;
        item->m_kind = RecrieceDataThreadInfo::kWaitedAnswer;
        item->m_sampleMs = GetNowMs();
        if (item->m_payload.Append(frame, length) == nullptr || !PostReceiveItem(kReceieveThread, item)) delete item;
        return 0;
    }
    }
}

void CDatafeedSDKManager::RoutePush(CClientSession* connection, uint32_t connectionId, const void* frame,
                                    uint32_t length) {
    const KvoPackHeader* header = KvoPackHeader::At(frame);
    datapacket::PushData push;
    if (KvoParseBody(header->GetBody(), header->GetBodyLength(), push) != KVO_FRAME_OK) {
        TL_WriteLog(3, "Type:%s-OnReceiveData[], PushData parse error, len:%u", m_marketCode.c_str(),
                    header->GetBodyLength());
        return;
    }
    const int32_t wireClass = push.data_class();
    PushRoute route{};
    if (RouteOf(wireClass, &route)) {
        auto* item = new (std::nothrow) RecrieceDataThreadInfo;
        if (item != nullptr) {
            item->m_session = connection;
            item->m_connectionId = connectionId;
            item->m_kind = static_cast<uint32_t>(wireClass);
            const uint64_t now = GetNowMs();
            item->m_sampleMs = push.produce_time_size() > 0 && push.produce_time(0) != 0 ? now : 0;
            if (route.channel >= 0 && m_samplingArmed[route.channel].exchange(false, std::memory_order_acq_rel)) {
                item->m_sampleMs = now;
            }
            // Every push carries its datatime: five-level ticks take their
            // date and time from it alone.
            item->m_pushValue = push.datatime();
            if (item->m_payload.Append(frame, length) == nullptr) {
                delete item;
            } else if (Worker(route.slot) == nullptr) {
                delete item;  // nobody subscribed this class
            } else if (!PostReceiveItem(route.slot, item)) {
                if (!IsStopping()) {
                    TL_WriteLog(3, "Type:%s-OnReceiveData[], insert %s-thread error", m_marketCode.c_str(),
                                route.refused);
                }
                delete item;
            }
        }
    }
    // Feedback acknowledges the receipt, also of a push no worker takes.
    if (LoopbackSampling() && header->TestFlag(KVO_PACK_FLAG_FEEDBACK)) {
        auto* item = new (std::nothrow) FeedBackDataThreadInfo;
        if (item == nullptr) return;
        item->m_session = connection;
        item->m_kind = FeedBackDataThreadInfo::kPushFeedback;
        item->m_pushValue = push.send_time();
        if ((header->GetBodyLength() > 0 &&
             item->m_payload.Append(header->GetBody(), header->GetBodyLength()) == nullptr) ||
            !PostFeedBackItem(item)) {
            delete item;
        }
    }
}

void CDatafeedSDKManager::OnGatewayNotify(int32_t statuscode, const std::string& statusmsg) {
    switch (statuscode) {
    case 1:
        ActiveDisconnect();
        break;
    case 2:
        GatewayRemoveSH();
        break;
    case 3:
    case 4:
        GatewayReconnect();
        break;
    case 5:
        CustomDisconnect(statusmsg);
        break;
    default:
        break;
    }
}

// ---- sending ----

void CDatafeedSDKManager::WriteFrame(CClientSession* connection, const corvane::CTLSmartBuffer& frame) {
    corvane::CTLSingleLock lock(&m_sendMutex, 1);
    if (connection != nullptr && frame.GetLength() > 0) connection->Send(frame.GetData(), frame.GetLength(), 0);
}

int32_t CDatafeedSDKManager::SendRequest(CClientSession* connection, uint32_t instid, uint16_t type, const void* body,
                                         uint32_t length, corvane::CTLSmartBuffer* out, bool wait) {
    corvane::CTLSmartBuffer frame;
    if (BuildKvoFrame(type, body, length, frame) != KVO_FRAME_OK) {
        TL_WriteLog(1, "Type:%s-SendRequest[], frame of type %u with %u bytes cannot be built", m_marketCode.c_str(),
                    static_cast<unsigned>(type), length);
        return 0;
    }
    std::shared_ptr<SyncRequest> request;
    try {
        request = std::make_shared<SyncRequest>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!wait) {
        const uint64_t stamp = GetNowMs() / 1000 * 10;
        if (!m_pending.Insert(instid, request, &stamp)) return 0;
        WriteFrame(connection, frame);
        return 1;
    }
    // The pending mutex is held for the insertion only, never while sending
    // or waiting.
    if (!m_pending.Insert(instid, request)) return 0;
    return AwaitAnswer(connection, instid, frame, request, out);
}

int32_t CDatafeedSDKManager::AwaitAnswer(CClientSession* connection, uint32_t instid,
                                         const corvane::CTLSmartBuffer& frame,
                                         const std::shared_ptr<SyncRequest>& request, corvane::CTLSmartBuffer* out) {
    WriteFrame(connection, frame);
    request->Wait(AnswerTimeoutMs());
    // Answered: the receiver removed the entry. Otherwise (timeout, or the
    // session stopping) it is removed here; an answer stored before this
    // removal still counts, and none can be stored after it.
    m_pending.Remove(instid, request.get());
    return request->GetAnswer(out) ? 1 : 0;
}

int32_t CDatafeedSDKManager::SendPacket(CClientSession* connection, uint16_t type, const void* body, uint32_t length) {
    corvane::CTLSmartBuffer frame;
    if (BuildKvoFrame(type, body, length, frame) == KVO_FRAME_OK) WriteFrame(connection, frame);
    return 1;
}

int32_t CDatafeedSDKManager::SendFeedback(CClientSession* connection, uint16_t type, const void* body,
                                          uint32_t length) {
    if (type == KVO_PACKET_PUSH_FEEDBACK || type == KVO_PACKET_ECHO) SendPacket(connection, type, body, length);
    return 1;
}
