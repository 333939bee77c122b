// Single-thread workers: CThreadBase runs one thread that takes task items
// (CQueueTaskItem) from its own mutex-guarded FIFO (TaskQueue); a binary
// semaphore wakes the thread when an item is posted.
//
// Ownership: an item posted to a worker belongs to the worker; ProcessItem
// must delete it. Items still queued when the worker is destroyed are
// deleted with the queue. Data handed to an item (SetText, SetData) must come
// from malloc: the item releases it with free.
//
// Lifetime: Stop only asks the thread to end. Owners call Stop() and then
// Join() before deleting a worker, because Run calls the subclass's virtual
// operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "framework/tl_string.h"
#include "framework/tl_sync.h"
#include "framework/tl_thread.h"

// The offline-playback record (372 bytes) carried by task items is the
// public one of the library's C interface.
#include "include/kvoapi.h"

static_assert(sizeof(OfflineDebugConfig) == 372, "OfflineDebugConfig is 372 bytes");

// Sets a playback record to the defaults of a record built inside the
// library: empty texts, push_space 3000, push_count 200, playback_times 1.
void TL_InitOfflineDebugConfig(OfflineDebugConfig* cfg);

// One unit of work for a CThreadBase.
class CQueueTaskItem {
public:
    enum Type : int32_t {
        kNone = -1,
        kText = 0,          // a text message (data)
        kSocketData = 1,    // data for a socket (data, target, length)
        kOfflineParam = 4,  // offline-playback parameters
    };

    CQueueTaskItem();
    virtual ~CQueueTaskItem();
    CQueueTaskItem(const CQueueTaskItem&) = delete;
    CQueueTaskItem& operator=(const CQueueTaskItem&) = delete;

    // "QueueTaskItem".
    virtual const char* GetClassName() const;

    // Type 0 with a text block from malloc (owned; a previous block is freed).
    void SetText(char* data);
    // Type 1: data from malloc (owned) for the target socket, len bytes.
    void SetData(uint64_t target, char* data, int32_t len);
    // Type 4 and a copy of the record.
    void SetOfflineParam(const OfflineDebugConfig& cfg);
    // The data (still owned by the item), its target and length.
    char* GetData(uint64_t* target, int32_t* len) const;
    // A copy of the record.
    void GetOfflineParam(OfflineDebugConfig* cfg) const;

    int32_t GetType() const { return m_nType; }

    CQueueTaskItem* m_pNext = nullptr;  // the queue's link
    int32_t m_nType = kNone;
    char* m_pData = nullptr;  // owned, released with free()
    uint64_t m_nTarget = 0;
    int32_t m_nLength = -1;
    corvane::CTLString m_strText1;
    corvane::CTLString m_strText2;
    corvane::CTLString m_strText3;
    OfflineDebugConfig m_offline;
};

// Intrusive FIFO of task items, guarded by a mutex.
class TaskQueue {
public:
    TaskQueue() = default;
    ~TaskQueue();  // deletes the items left
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    // Appends an item (its next pointer is cleared).
    void Push(CQueueTaskItem* item);
    // Unlinks and returns the head, null when empty.
    CQueueTaskItem* Pop();
    // Pops and deletes every item.
    void Clear();
    bool IsEmpty();

private:
    CQueueTaskItem* m_pHead = nullptr;
    CQueueTaskItem* m_pTail = nullptr;
    corvane::CMutex m_mutex;
};

class CThreadBase {
public:
    CThreadBase();
    // Stops and joins a thread still running as a last resort (owners should
    // have done so: the subclass part is already gone here), then closes the
    // semaphore and deletes the items left.
    virtual ~CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    // Starts the thread, which calls Run(nullptr). True when it runs; true at
    // once when it already runs; a stopped thread that has not ended yet is
    // joined first. False when the semaphore or the thread cannot be created
    // (the worker then stays stopped).
    virtual bool Start();
    // Asks the thread to end after the item in hand and wakes it. Does not
    // wait; see Join.
    virtual void Stop();
    // Suspending another thread is not supported on this platform: both
    // return 0xFFFFFFFF (failure). Nothing in the system uses them.
    virtual uint32_t Suspend();
    virtual uint32_t Resume();
    // Queues an item (the worker owns it from here) and wakes the thread.
    // False for a null item.
    virtual bool Post(CQueueTaskItem* item);
    // The thread body: until stopped, pop and process items; with the queue
    // empty wait on the semaphore for the wait time-out (OnTimeout when it runs
    // out; a failed wait ends the loop).
    virtual uint32_t Run(void* arg);
    // Handles one item and deletes it.
    virtual void ProcessItem(CQueueTaskItem* item) = 0;
    // Called when a wait runs out with the queue empty.
    virtual void OnTimeout() = 0;

    // Waits up to ms for the thread to end and reclaims it. True when there is
    // no thread any more.
    bool Join(uint32_t ms = TL_INFINITE);

    bool IsStopped() const { return m_bStop.load(std::memory_order_acquire) != 0; }
    bool IsThreadAlive() const { return m_hThread != nullptr && m_bEnded.load(std::memory_order_acquire) == 0; }

    uint32_t m_nWaitTimeout = 1000;
    std::atomic<uint8_t> m_bStop{1};
    TaskQueue m_queue;
    TLHandle m_hThread = nullptr;
    TLHandle m_hSemaphore = nullptr;

protected:
    // How long Start waits for a stopped thread to end before giving up.
    static constexpr uint32_t kRestartJoinMs = 10000;
    // How long the destructor waits for a thread its owner did not join.
    static constexpr uint32_t kDestroyJoinMs = 5000;

private:
    static uint32_t ThreadEntry(void* self);

    std::atomic<uint8_t> m_bEnded{0};
    uint32_t m_nThreadId = 0;
};
