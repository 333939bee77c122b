// SyncRequest: one request waiting for its answer, and PendingTable, the
// session's table of such requests keyed by instid.
//
// A requester makes a SyncRequest, enters it in a table under the request's
// id, sends, and waits; the thread that receives the answer finds the request
// under the id, stores the answer in it and wakes the waiter. SyncRequest
// does not depend on the session: the instance's requests to its cascade
// master wait on them too, under their own ids.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "framework/tl_buffer.h"
#include "framework/tl_sync.h"

class SyncRequest {
public:
    SyncRequest();
    SyncRequest(const SyncRequest&) = delete;
    SyncRequest& operator=(const SyncRequest&) = delete;

    // Stores a copy of the answer (replacing an earlier one) and wakes the
    // waiter. When the copy cannot be made the waiter is woken without an
    // answer.
    void SetAnswer(const void* data, uint32_t length);
    // 1 when the request was woken (answered or aborted) within ms, 0 on
    // timeout. The event is auto-reset: one wake-up is consumed per wait.
    int Wait(uint32_t ms);
    // 1 when an answer is held; the answer is appended to out when given.
    int GetAnswer(corvane::CTLSmartBuffer* out) const;
    // Wakes the waiter without an answer (the requester is going away); the
    // request never counts as answered afterwards.
    void Abort();
    bool IsAborted() const { return m_aborted.load(std::memory_order_acquire); }

private:
    corvane::CEvent m_event;  // auto-reset, initially not set
    mutable corvane::CCriticalSection m_lock;
    corvane::CTLSmartBuffer m_answer;
    std::atomic<bool> m_answered{false};
    std::atomic<bool> m_aborted{false};
};

// The pending requests of one session: instid -> SyncRequest, and the
// asynchronous stamps instid -> (seconds since 1970 * 10 + answers received)
// of the requests that nobody waits for. One recursive mutex (the pending
// mutex) guards both; it is never held while sending or waiting.
class PendingTable {
public:
    using RequestPtr = std::shared_ptr<SyncRequest>;

    // How an answer treats the entry it found.
    enum class AnswerMode {
        kRemove,  // the entry is removed (login answers, kind-2 answers)
        kWaited,  // an asynchronous entry stays and its stamp grows by one;
                  // any other entry is removed
    };

    PendingTable() = default;
    PendingTable(const PendingTable&) = delete;
    PendingTable& operator=(const PendingTable&) = delete;

    // The pending mutex, for callers that keep other state under it (the
    // asynchronous subscription table).
    corvane::CMutex& Mutex() { return m_mutex; }

    // Enters request under instid, with the asynchronous stamp when stamp is
    // given (an entry already under instid is aborted and replaced). False,
    // and nothing entered, once the table is closed.
    bool Insert(uint32_t instid, const RequestPtr& request, const uint64_t* stamp = nullptr);
    // Stores an answer in the request under instid and handles the entry by
    // mode. False when no request waits under instid.
    bool Answer(uint32_t instid, const void* data, uint32_t length, AnswerMode mode);
    // Removes the entry under instid (and its stamp) when it holds request,
    // or whatever it holds when request is null; returns the removed request.
    RequestPtr Remove(uint32_t instid, const SyncRequest* request = nullptr);
    // Aborts every request and refuses later insertions: waiters wake at once
    // without an answer.
    void Close();
    bool IsClosed() const { return m_closed.load(std::memory_order_acquire); }

    size_t Size() const;
    // The stamp of an asynchronous entry; false when instid has none.
    bool GetStamp(uint32_t instid, uint64_t* stamp) const;
    // Visits every asynchronous entry under the pending mutex: (instid,
    // stamp, request). A visitor that returns true removes the entry. The
    // visitor must not call back into the table's host code paths that
    // block (it runs with the mutex held).
    void ForEachAsync(const std::function<bool(uint32_t, uint64_t, const RequestPtr&)>& visit);

private:
    mutable corvane::CMutex m_mutex;
    std::map<uint32_t, RequestPtr> m_requests;
    std::map<uint32_t, uint64_t> m_stamps;
    std::atomic<bool> m_closed{false};
};
