#include "session/sync_request.h"

SyncRequest::SyncRequest() : m_event(0, 0) {}

void SyncRequest::SetAnswer(const void* data, uint32_t length) {
    {
        corvane::CTLSingleLock lock(&m_lock, 1);
        if (!m_aborted.load(std::memory_order_acquire)) {
            m_answer.SetLength(0);
            // Append with a null pointer only makes room: an empty answer
            // still counts as one.
            const bool stored = length == 0 || (data != nullptr && m_answer.Append(data, length) != nullptr);
            m_answered.store(stored, std::memory_order_release);
        }
    }
    m_event.SetEvent();
}

int SyncRequest::Wait(uint32_t ms) { return m_event.Lock(ms) ? 1 : 0; }

int SyncRequest::GetAnswer(corvane::CTLSmartBuffer* out) const {
    corvane::CTLSingleLock lock(&m_lock, 1);
    if (!m_answered.load(std::memory_order_acquire)) return 0;
    if (out != nullptr && m_answer.GetLength() > 0) {
        if (out->Append(m_answer.GetData(), m_answer.GetLength()) == nullptr) return 0;
    }
    return 1;
}

void SyncRequest::Abort() {
    {
        corvane::CTLSingleLock lock(&m_lock, 1);
        m_aborted.store(true, std::memory_order_release);
        m_answered.store(false, std::memory_order_release);
    }
    m_event.SetEvent();
}

bool PendingTable::Insert(uint32_t instid, const RequestPtr& request, const uint64_t* stamp) {
    if (!request) return false;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    if (m_closed.load(std::memory_order_acquire)) return false;
    RequestPtr& slot = m_requests[instid];
    if (slot && slot != request) slot->Abort();
    slot = request;
    if (stamp != nullptr) {
        m_stamps[instid] = *stamp;
    } else {
        m_stamps.erase(instid);
    }
    return true;
}

bool PendingTable::Answer(uint32_t instid, const void* data, uint32_t length, AnswerMode mode) {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    auto it = m_requests.find(instid);
    if (it == m_requests.end()) return false;
    it->second->SetAnswer(data, length);
    if (mode == AnswerMode::kWaited) {
        auto stamp = m_stamps.find(instid);
        if (stamp != m_stamps.end()) {
            ++stamp->second;
            return true;
        }
    }
    m_requests.erase(it);
    m_stamps.erase(instid);
    return true;
}

PendingTable::RequestPtr PendingTable::Remove(uint32_t instid, const SyncRequest* request) {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    auto it = m_requests.find(instid);
    if (it == m_requests.end()) return nullptr;
    if (request != nullptr && it->second.get() != request) return nullptr;
    RequestPtr removed = std::move(it->second);
    m_requests.erase(it);
    m_stamps.erase(instid);
    return removed;
}

void PendingTable::Close() {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    m_closed.store(true, std::memory_order_release);
    for (auto& entry : m_requests) entry.second->Abort();
    m_requests.clear();
    m_stamps.clear();
}

size_t PendingTable::Size() const {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    return m_requests.size();
}

bool PendingTable::GetStamp(uint32_t instid, uint64_t* stamp) const {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    auto it = m_stamps.find(instid);
    if (it == m_stamps.end()) return false;
    if (stamp != nullptr) *stamp = it->second;
    return true;
}

void PendingTable::ForEachAsync(const std::function<bool(uint32_t, uint64_t, const RequestPtr&)>& visit) {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    for (auto stamp = m_stamps.begin(); stamp != m_stamps.end();) {
        auto request = m_requests.find(stamp->first);
        if (request == m_requests.end()) {
            stamp = m_stamps.erase(stamp);
            continue;
        }
        if (visit(stamp->first, stamp->second, request->second)) {
            m_requests.erase(request);
            stamp = m_stamps.erase(stamp);
        } else {
            ++stamp;
        }
    }
}
