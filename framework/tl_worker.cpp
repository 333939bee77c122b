#include "framework/tl_worker.h"

#include <cstdlib>
#include <cstring>

#include "framework/tl_log.h"

void TL_InitOfflineDebugConfig(OfflineDebugConfig* cfg) {
    if (cfg == nullptr) return;
    std::memset(cfg, 0, sizeof *cfg);
    cfg->push_space = 3000;
    cfg->push_count = 200;
    cfg->playback_times = 1;
}

// ---- CQueueTaskItem ------------------------------------------------------

CQueueTaskItem::CQueueTaskItem() { TL_InitOfflineDebugConfig(&m_offline); }

CQueueTaskItem::~CQueueTaskItem() { std::free(m_pData); }

const char* CQueueTaskItem::GetClassName() const { return "QueueTaskItem"; }

void CQueueTaskItem::SetText(char* data) {
    if (m_pData != data) std::free(m_pData);
    m_nType = kText;
    m_pData = data;
}

void CQueueTaskItem::SetData(uint64_t target, char* data, int32_t len) {
    if (m_pData != data) std::free(m_pData);
    m_nType = kSocketData;
    m_nTarget = target;
    m_pData = data;
    m_nLength = len;
}

void CQueueTaskItem::SetOfflineParam(const OfflineDebugConfig& cfg) {
    m_nType = kOfflineParam;
    std::memcpy(&m_offline, &cfg, sizeof m_offline);
}

char* CQueueTaskItem::GetData(uint64_t* target, int32_t* len) const {
    if (target != nullptr) *target = m_nTarget;
    if (len != nullptr) *len = m_nLength;
    return m_pData;
}

void CQueueTaskItem::GetOfflineParam(OfflineDebugConfig* cfg) const {
    if (cfg != nullptr) std::memcpy(cfg, &m_offline, sizeof *cfg);
}

// ---- TaskQueue -----------------------------------------------------------

TaskQueue::~TaskQueue() { Clear(); }

void TaskQueue::Push(CQueueTaskItem* item) {
    if (item == nullptr) return;
    corvane::CTLSingleLock lock(&m_mutex, 1);
    item->m_pNext = nullptr;
    if (m_pTail != nullptr) {
        m_pTail->m_pNext = item;
    } else {
        m_pHead = item;
    }
    m_pTail = item;
}

CQueueTaskItem* TaskQueue::Pop() {
    corvane::CTLSingleLock lock(&m_mutex, 1);
    CQueueTaskItem* item = m_pHead;
    if (item != nullptr) {
        m_pHead = item->m_pNext;
        if (m_pHead == nullptr) m_pTail = nullptr;
        item->m_pNext = nullptr;
    }
    return item;
}

void TaskQueue::Clear() {
    while (CQueueTaskItem* item = Pop()) delete item;
}

bool TaskQueue::IsEmpty() {
    // Read under the mutex: the worker and the producers touch the head.
    corvane::CTLSingleLock lock(&m_mutex, 1);
    return m_pHead == nullptr;
}

// ---- CThreadBase ---------------------------------------------------------

CThreadBase::CThreadBase() {
    // The semaphore exists from the start, so that items posted before Start
    // wake the thread once it runs.
    m_hSemaphore = TL_CreateSemaphore(0, 1, nullptr);
}

CThreadBase::~CThreadBase() {
    if (m_hThread != nullptr) {
        m_bStop.store(1, std::memory_order_release);
        if (m_hSemaphore != nullptr) TL_ReleaseSemaphore(m_hSemaphore, 1);
        if (!Join(kDestroyJoinMs)) {
            // The thread runs on: its semaphore is left open, but the object
            // (flags and queue) is freed with this destructor all the same. Only
            // owners can keep it alive, which is why they Stop and Join first.
            TL_WriteLog(1, "CThreadBase: worker thread %u did not end within %u ms; it is left running", m_nThreadId,
                        kDestroyJoinMs);
            TL_CloseHandle(m_hThread);
            m_hThread = nullptr;
            return;
        }
    }
    if (m_hSemaphore != nullptr) TL_CloseHandle(m_hSemaphore);
    m_hSemaphore = nullptr;
    m_queue.Clear();
}

uint32_t CThreadBase::ThreadEntry(void* self) {
    auto* t = static_cast<CThreadBase*>(self);
    uint32_t r = t->Run(nullptr);
    t->m_bEnded.store(1, std::memory_order_release);
    return r;
}

bool CThreadBase::Start() {
    if (m_hSemaphore == nullptr) {
        m_hSemaphore = TL_CreateSemaphore(0, 1, nullptr);
        if (m_hSemaphore == nullptr) return false;
    }
    if (m_hThread != nullptr) {
        // Running: one thread per worker.
        if (!IsStopped() && m_bEnded.load(std::memory_order_acquire) == 0) return true;
        // Stopped but perhaps not ended yet: the old thread must be gone before
        // a new one takes the queue.
        if (!Join(kRestartJoinMs)) return false;
    }
    m_bEnded.store(0, std::memory_order_release);
    m_bStop.store(0, std::memory_order_release);
    m_hThread = TL_CreateThread(&CThreadBase::ThreadEntry, this, &m_nThreadId);
    if (m_hThread == nullptr) {
        m_bStop.store(1, std::memory_order_release);
        return false;
    }
    return true;
}

void CThreadBase::Stop() {
    m_bStop.store(1, std::memory_order_release);
    if (m_hSemaphore != nullptr) TL_ReleaseSemaphore(m_hSemaphore, 1);
}

uint32_t CThreadBase::Suspend() { return 0xFFFFFFFFu; }

uint32_t CThreadBase::Resume() { return 0xFFFFFFFFu; }

bool CThreadBase::Post(CQueueTaskItem* item) {
    if (item == nullptr) return false;
    m_queue.Push(item);
    // A release beyond the maximum count of 1 fails: the thread drains the
    // whole queue after one wake-up anyway.
    if (m_hSemaphore != nullptr) TL_ReleaseSemaphore(m_hSemaphore, 1);
    return true;
}

uint32_t CThreadBase::Run(void*) {
    while (!IsStopped()) {
        if (CQueueTaskItem* item = m_queue.Pop()) {
            ProcessItem(item);
            continue;
        }
        uint32_t r = TL_WaitForObject(m_hSemaphore, m_nWaitTimeout);
        if (r == TL_WAIT_TIMEOUT) {
            OnTimeout();
        } else if (r != TL_WAIT_OBJECT_0) {
            break;
        }
    }
    return 0;
}

bool CThreadBase::Join(uint32_t ms) {
    if (m_hThread == nullptr) return true;
    if (!TL_JoinThread(m_hThread, ms)) return false;
    TL_CloseHandle(m_hThread);
    m_hThread = nullptr;
    return true;
}
