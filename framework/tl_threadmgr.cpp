#include "framework/tl_threadmgr.h"

#include "framework/tl_thread.h"
#include "platform/pl_never_destroyed.h"

CTLThreadManager* CTLThreadManager::GetInstance() {
    // Created once, thread-safely; deliberately never destroyed.
    static pl::NeverDestroyed<CTLThreadManager> instance;
    return instance.Get();
}

CTLThreadManager::CTLThreadManager() : m_cachedTick(TL_GetTickCount64()) {}

void CTLThreadManager::ResetRecord(Record& r) {
    r.inUse = 0;
    r.threadId = 0;
    r.timeout.store(0, std::memory_order_relaxed);
    r.checkInterval = 0;
    r.startTick.store(0, std::memory_order_relaxed);
    r.alarmTick.store(0, std::memory_order_relaxed);
    r.checkFlag = 1;
    r.armed.store(0, std::memory_order_relaxed);
    r.name = kFreeName;
    r.check.Clear();
    r.info.Clear();
}

std::int32_t CTLThreadManager::Register(std::uint32_t threadId, const char* name) {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    for (std::int32_t i = 0; i < kMaxThreads; ++i) {
        Record& r = m_records[i];
        if (r.inUse != 0) continue;
        r.threadId = threadId;
        if (name != nullptr) r.name = name;
        r.inUse = 1;
        ++m_count;
        return i;
    }
    return -1;
}

void CTLThreadManager::Unregister(std::int32_t index) {
    if (!ValidIndex(index)) return;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    Record& r = m_records[index];
    if (r.inUse == 0) return;  // a second release must not count twice
    ResetRecord(r);
    --m_count;
}

void CTLThreadManager::SetWatchdog(std::int32_t index, std::uint32_t timeout, std::uint8_t useCachedClock) {
    if (!ValidIndex(index)) return;
    Record& r = m_records[index];
    r.alarmTick.store(0, std::memory_order_relaxed);
    if (timeout == 0) {
        r.timeout.store(0, std::memory_order_relaxed);
        r.startTick.store(0, std::memory_order_relaxed);
        r.armed.store(0, std::memory_order_relaxed);
        return;
    }
    r.timeout.store(timeout, std::memory_order_relaxed);
    r.startTick.store(useCachedClock != 0 ? m_cachedTick : TL_GetTickCount64(), std::memory_order_relaxed);
    r.armed.store(1, std::memory_order_relaxed);
}

std::int32_t CTLThreadManager::SetCheckCallback(std::int32_t index, const TLThreadCallback& callback,
                                                std::int32_t interval, std::uint8_t flag) {
    if (!ValidIndex(index) || callback.IsEmpty()) return -1;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    Record& r = m_records[index];
    r.check = callback;
    r.checkInterval = static_cast<std::uint32_t>(interval < 0 ? kDefaultCheckInterval : interval);
    r.checkFlag = flag;
    return 0;
}

std::int32_t CTLThreadManager::SetInfoCallback(std::int32_t index, const TLThreadCallback& callback) {
    if (!ValidIndex(index) || callback.IsEmpty()) return -1;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    m_records[index].info = callback;
    return 0;
}

std::uint32_t CTLThreadManager::GetCount() {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    return m_count;
}

bool CTLThreadManager::GetRecord(std::int32_t index, TLThreadRecordInfo* out) {
    if (!ValidIndex(index) || out == nullptr) return false;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    const Record& r = m_records[index];
    out->inUse = r.inUse;
    out->threadId = r.threadId;
    out->timeout = r.timeout.load(std::memory_order_relaxed);
    out->checkInterval = r.checkInterval;
    out->startTick = r.startTick.load(std::memory_order_relaxed);
    out->alarmTick = r.alarmTick.load(std::memory_order_relaxed);
    out->checkFlag = r.checkFlag;
    out->armed = r.armed.load(std::memory_order_relaxed);
    out->name = r.name;
    out->check = r.check;
    out->info = r.info;
    return true;
}
