// The work items of a market session and the worker classes that consume
// them: "ReceieveThread" (login exchange, answers, reconnect requests),
// "processFeedBack" (push feedback and echo replies), "reconnectThread" and
// the period workers "heartbitThread" and "SubAsyncCallBackThread". Each
// worker is a pool of one thread; an item handed to a worker belongs to it
// and is deleted after its step (a producer whose hand-over is refused
// deletes the item itself).
#pragma once

#include <atomic>
#include <cstdint>

#include "framework/tl_buffer.h"
#include "framework/tl_callback.h"
#include "framework/tl_object.h"
#include "framework/tl_threadpool.h"

class CClientSession;

// A received packet or a request for "ReceieveThread", "reconnectThread" or
// a push worker.
class RecrieceDataThreadInfo : public corvane::CTLObject {
public:
    // Kinds of the items of "ReceieveThread" and "reconnectThread"; push
    // items carry their wire data class in the same word instead.
    enum Kind : uint32_t {
        kLogin = 1,         // log in after connect
        kAnswer = 2,        // match an answer and remove its entry
        kWaitedAnswer = 3,  // match an answer (asynchronous entries stay)
        kReconnect = 4,
    };

    CClientSession* m_session = nullptr;  // the connection the packet came on
    uint32_t m_connectionId = 0;          // generation of that connection
    uint32_t m_kind = 0;                  // Kind, or the wire data class of a push
    corvane::CTLSmartBuffer m_payload;    // the whole frame, header included
    uint64_t m_sampleMs = 0;              // ms since 1970 when sampled, else 0
    uint32_t m_spare = 0;
    uint64_t m_pushValue = 0;  // PushData.datatime of a push
};

// A packet for "processFeedBack" to send back.
class FeedBackDataThreadInfo : public corvane::CTLObject {
public:
    enum Kind : uint32_t {
        kEcho = 1,          // sent back as packet type 15
        kPushFeedback = 2,  // sent back as packet type 14
        kHeartbeat = 3,     // type 16 (never sent by SendFeedback)
    };

    CClientSession* m_session = nullptr;
    corvane::CTLSmartBuffer m_payload;  // the body to send back
    uint32_t m_kind = 0;
    uint64_t m_pushValue = 0;  // PushData.send_time of a push feedback
};

// The circulating item of a period worker.
class HeartBitThreadInfo : public corvane::CTLObject {
public:
    explicit HeartBitThreadInfo(uint32_t period = 0) : m_period(period) {}
    uint32_t m_period;  // ms
};

// The queue-driven bases the session's worker slots are typed by.
using RecrieceDataWorker =
    CTLLockFreeQThreadPoolBase<CRingLockFreeList<RecrieceDataThreadInfo*, 0>, RecrieceDataThreadInfo*, 1>;
using FeedBackWorker =
    CTLLockFreeQThreadPoolBase<CRingLockFreeList<FeedBackDataThreadInfo*, 0>, FeedBackDataThreadInfo*, 1>;
using HeartBitWorker = CTLLockFreeQThreadPoolBase<CRingLockFreeList<HeartBitThreadInfo*, 0>, HeartBitThreadInfo*, 1>;

// "ReceieveThread": each item goes to the handler of its kind (1 to 4);
// items of other kinds, or of a kind without a handler, are only deleted.
class CProcessDataThread : public CTLLockFreeQThreadPool<RecrieceDataThreadInfo*> {
public:
    using Handler = CTLCallback<int32_t(RecrieceDataThreadInfo*)>;
    static constexpr uint32_t kKinds = 5;  // kinds 1..4; slot 0 unused

    explicit CProcessDataThread(const char* name = "ReceieveThread");
    ~CProcessDataThread() override = default;

    // Sets the handler of a kind (before Start, or from the worker's own
    // thread). Kinds outside 1..4 are ignored.
    void SetHandler(uint32_t kind, const Handler& handler);

protected:
    void ProcessTask(RecrieceDataThreadInfo* item) override;

private:
    Handler m_handlers[kKinds];
};

// "reconnectThread": only kind 4, the reconnect.
class CReConnectThread : public CProcessDataThread {
public:
    explicit CReConnectThread(const Handler& reconnect);
    ~CReConnectThread() override = default;
};

// "processFeedBack": sends each packet back on its connection, kind 1 as
// packet type 15, kind 2 as type 14, kind 3 as type 16.
class CProcessFeedBackThread : public CTLLockFreeQThreadPool<FeedBackDataThreadInfo*> {
public:
    // (connection, packet type, body, length).
    using Sender = CTLCallback<int32_t(CClientSession*, uint16_t, const void*, uint32_t)>;

    explicit CProcessFeedBackThread(const Sender& sender);
    ~CProcessFeedBackThread() override = default;

    // The packet type a feedback kind is sent as; 0 for an unknown kind.
    static uint16_t PacketTypeOf(uint32_t kind);

protected:
    void ProcessTask(FeedBackDataThreadInfo* item) override;

private:
    Sender m_sender;
};

// "heartbitThread" and "SubAsyncCallBackThread": a step sleeps the item's
// period (the worker's own when the item carries none), calls the handler
// with the worker's bytes and posts the same item again, so that one item
// circulates for the worker's life. The sleep ends early when the worker is
// stopped; the item is then deleted without another call.
class CHeartBitThread : public CTLLockFreeQThreadPool<HeartBitThreadInfo*> {
public:
    // (bytes, length) -> result (ignored).
    using Handler = CTLCallback<int32_t(const void*, uint32_t)>;

    // bytes (may be null) are copied: a heartbeat worker sends the same
    // pre-serialised message on every step.
    CHeartBitThread(const char* name, uint32_t period, const Handler& handler, const void* bytes = nullptr,
                    uint32_t length = 0);
    ~CHeartBitThread() override = default;

    uint32_t Period() const { return m_period; }
    const corvane::CTLSmartBuffer& Bytes() const { return m_bytes; }
    // Steps whose handler ran.
    uint32_t Calls() const { return m_calls.load(std::memory_order_relaxed); }

protected:
    void ProcessTask(HeartBitThreadInfo* item) override;

private:
    uint32_t m_period;
    Handler m_handler;
    corvane::CTLSmartBuffer m_bytes;
    std::atomic<uint32_t> m_calls{0};
};
