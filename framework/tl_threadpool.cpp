#include "framework/tl_threadpool.h"

#include "framework/tl_log.h"
#include "framework/tl_thread.h"

CTLThreadPool::CTLThreadPool(const char* name) : m_name(name != nullptr ? name : "") {}

CTLThreadPool::~CTLThreadPool() {
    if (IsRunning()) {
        TL_WriteLog(1, "CTLThreadPool %s destroyed while its threads still run", m_name.c_str());
    }
    void* handle = nullptr;
    while (m_threads.PopFront(handle)) TL_CloseHandle(static_cast<TLHandle>(handle));
}

std::uint32_t CTLThreadPool::Start(std::uint32_t n) {
    // A pool stopped earlier may be started again once its threads are gone.
    if (!IsRunning()) m_stop.store(0, std::memory_order_release);
    m_threadCount += n;
    std::uint32_t created = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        m_live.fetch_add(1, std::memory_order_acq_rel);
        std::uint32_t tid = 0;
        TLHandle handle = TL_CreateThread(&CTLThreadPool::ThreadMain, this, &tid);
        if (handle == nullptr) {
            m_live.fetch_sub(1, std::memory_order_acq_rel);
            TL_WriteLog(1, "CTLThreadPool %s: creating a thread failed", m_name.c_str());
            continue;
        }
        m_threads.PushBack(handle);
        m_threadIds.SetAt(tid, handle);
        ++created;
    }
    return created;
}

std::uint32_t CTLThreadPool::ThreadMain(void* self) {
    auto* pool = static_cast<CTLThreadPool*>(self);
    pool->Run();
    const std::uint32_t before = pool->m_live.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & kLiveMask) == 1 && (before & kReleaseBit) != 0) {
        // Release gave up waiting for this thread: the pool is ours to free.
        delete pool;
    }
    return 0;
}

std::uint32_t CTLThreadPool::Stop(std::uint32_t timeout) {
    m_stop.store(1, std::memory_order_release);
    m_stopEvent.SetEvent();
    OnStop();
    // A pool thread stopping its own pool cannot wait for itself: it ends
    // when its body sees the stop flag.
    void* self = nullptr;
    m_threadIds.Lookup(TL_GetCurrentThreadId(), self);
    std::uint32_t visited = 0;
    void* handle = nullptr;
    while (m_threads.PopFront(handle)) {
        TLHandle thread = static_cast<TLHandle>(handle);
        if (handle == self) {
            TL_CloseHandle(thread);
            ++visited;
            continue;
        }
        if (!TL_JoinThread(thread, timeout)) {
            // Not killed: it is logged, detached and runs on with this pool.
            TL_TerminateThread(thread);
            m_abandoned.store(true, std::memory_order_release);
        }
        TL_CloseHandle(thread);
        ++visited;
    }
    m_threads.Clear();
    m_threadIds.Clear();
    return visited;
}

void CTLThreadPool::Release(CTLThreadPool* pool, std::uint32_t timeout) {
    if (pool == nullptr) return;
    pool->Stop(timeout);
    const std::string name = pool->m_name;  // the pool may be gone after the next line
    const std::uint32_t before = pool->m_live.fetch_or(kReleaseBit, std::memory_order_acq_rel);
    if ((before & kLiveMask) == 0) {
        delete pool;
        return;
    }
    TL_WriteLog(1, "CTLThreadPool %s: %u thread(s) still running; the pool is freed when they end", name.c_str(),
                before & kLiveMask);
}

TLHandle CTLThreadPool::GetThread(std::uint32_t index) { return static_cast<TLHandle>(m_threads.GetAt(index)); }
