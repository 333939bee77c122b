#include "session/session_threads.h"

CProcessDataThread::CProcessDataThread(const char* name) : CTLLockFreeQThreadPool<RecrieceDataThreadInfo*>(name) {}

void CProcessDataThread::SetHandler(uint32_t kind, const Handler& handler) {
    if (kind == 0 || kind >= kKinds) return;
    m_handlers[kind] = handler;
}

void CProcessDataThread::ProcessTask(RecrieceDataThreadInfo* item) {
    if (item->m_kind > 0 && item->m_kind < kKinds && !m_handlers[item->m_kind].IsEmpty()) {
        m_handlers[item->m_kind](item);
    }
    delete item;
}

CReConnectThread::CReConnectThread(const Handler& reconnect) : CProcessDataThread("reconnectThread") {
    SetHandler(RecrieceDataThreadInfo::kReconnect, reconnect);
}

CProcessFeedBackThread::CProcessFeedBackThread(const Sender& sender)
    : CTLLockFreeQThreadPool<FeedBackDataThreadInfo*>("processFeedBack"), m_sender(sender) {}

uint16_t CProcessFeedBackThread::PacketTypeOf(uint32_t kind) {
    switch (kind) {
    case FeedBackDataThreadInfo::kEcho:
        return 15;
    case FeedBackDataThreadInfo::kPushFeedback:
        return 14;
    case FeedBackDataThreadInfo::kHeartbeat:
        return 16;
    default:
        return 0;
    }
}

void CProcessFeedBackThread::ProcessTask(FeedBackDataThreadInfo* item) {
    const uint16_t type = PacketTypeOf(item->m_kind);
    if (type != 0 && !m_sender.IsEmpty()) {
        m_sender(item->m_session, type, item->m_payload.GetData(), item->m_payload.GetLength());
    }
    delete item;
}

CHeartBitThread::CHeartBitThread(const char* name, uint32_t period, const Handler& handler, const void* bytes,
                                 uint32_t length)
    : CTLLockFreeQThreadPool<HeartBitThreadInfo*>(name), m_period(period), m_handler(handler) {
    if (bytes != nullptr && length > 0) m_bytes.Append(bytes, length);
}

void CHeartBitThread::ProcessTask(HeartBitThreadInfo* item) {
    const uint32_t period = item->m_period != 0 ? item->m_period : m_period;
    // The stop event is set once by Stop: the sleep is cut short and the
    // loop of the pool ends after this step.
    m_stopEvent.Lock(period);
    if (IsStopping()) {
        delete item;
        return;
    }
    if (!m_handler.IsEmpty()) {
        m_handler(m_bytes.GetData(), m_bytes.GetLength());
        m_calls.fetch_add(1, std::memory_order_relaxed);
    }
    if (IsStopping() || !AddTask(item)) delete item;
}
