// Worker pools: CTLThreadPool owns the threads; the queue-driven templates
// add one lock-free queue and a work event, and hand the queued items to
// the subclass's ProcessTask one at a time (CTLLockFreeQThreadPool) or all
// at once as one array (CTLKvoLockFreeQThreadPool).
//
// Ownership: an item handed to the pool belongs to it. ProcessTask owns
// (and deletes) each item it gets; the batch array is the pool's. A producer
// whose AddTask is refused still owns its item. Items left in the queue when
// the pool is destroyed are deleted with the pool's deleter.
//
// Stopping: Stop asks the threads to end and waits for each up to the
// time-out. A thread still running then (inside a long item, a host
// callback say) is logged and detached, never killed: it ends by itself
// once that item returns, and the pool must stay alive for it until then.
// Release(pool, ms) stops a pool and deletes it, or, when a thread did not
// end, leaves the deletion to that thread's exit.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

#include "framework/tl_lockfree.h"
#include "framework/tl_object.h"
#include "framework/tl_sync.h"
#include "framework/tl_thread.h"
#include "framework/tl_threadmgr.h"

class CTLThreadPool : public corvane::CTLObject {
public:
    explicit CTLThreadPool(const char* name);
    ~CTLThreadPool() override;

    // Starts n more threads running Run. A failed creation is logged and
    // skipped. Returns the number of threads created.
    std::uint32_t Start(std::uint32_t n);

    // Asks every thread to end and waits up to timeout ms for each, in the
    // order they were started; a thread still running afterwards is
    // detached and ends once its current item returns (see IsAbandoned).
    // Returns the number of threads visited.
    std::uint32_t Stop(std::uint32_t timeout);

    // Stops the pool and deletes it. When a thread does not end within
    // timeout ms, the last thread to end deletes the pool instead (and if
    // none ever ends the pool is kept alive for them). Null is ignored.
    static void Release(CTLThreadPool* pool, std::uint32_t timeout = 3000);

    // The handle of the index-th thread, or null past the end.
    TLHandle GetThread(std::uint32_t index);

    // True while any thread of the pool is still inside its body.
    bool IsRunning() const { return (m_live.load(std::memory_order_acquire) & kLiveMask) != 0; }
    // True after a Stop in which a thread did not end in time.
    bool IsAbandoned() const { return m_abandoned.load(std::memory_order_acquire); }
    bool IsStopping() const { return m_stop.load(std::memory_order_acquire) != 0; }
    const std::string& GetName() const { return m_name; }
    std::uint32_t GetThreadCount() const { return m_threadCount; }

protected:
    // The thread body; it returns when IsStopping() turns true.
    virtual void Run() = 0;
    // Called by Stop after the stop flag is set, to wake idle threads.
    virtual void OnStop() {}

    CSafeList<void*, 10000, 0> m_threads;
    CSafeMap<unsigned long, void*, 10000> m_threadIds;
    corvane::CEvent m_stopEvent;
    std::atomic<std::uint32_t> m_stop{0};
    std::string m_name;
    std::uint32_t m_threadCount = 0;

private:
    static std::uint32_t ThreadMain(void* self);

    // Bits 0-30: threads inside ThreadMain; bit 31: Release asked for
    // deletion by the last of them.
    static constexpr std::uint32_t kLiveMask = 0x7FFFFFFFu;
    static constexpr std::uint32_t kReleaseBit = 0x80000000u;
    std::atomic<std::uint32_t> m_live{0};
    std::atomic<bool> m_abandoned{false};
};

// Deletes a queued item; items are pointers to heap objects.
template <class T>
struct TLDefaultItemDeleter {
    void operator()(T item) const {
        if constexpr (std::is_pointer_v<T>) delete item;
    }
};

// The queue part shared by both pool forms: N lists (the system uses one),
// a work event and the figures the thread manager's callbacks report.
template <class Q, class T, unsigned N = 1, class Deleter = TLDefaultItemDeleter<T>>
class CTLLockFreeQThreadPoolBase : public CTLThreadPool {
    static_assert(N >= 1, "a pool has at least one queue");

public:
    static constexpr std::uint32_t kWatchdogMs = 5000;
    static constexpr std::uint32_t kIdleWaitMs = 1000;

    explicit CTLLockFreeQThreadPoolBase(const char* name) : CTLThreadPool(name), m_startTick(TL_GetTickCount64()) {}

    // Deletes the items still queued. Deleting a pool whose threads still
    // run is a caller error (use Stop or Release first); their items are
    // then left alone.
    ~CTLLockFreeQThreadPoolBase() override {
        if (IsRunning()) return;
        Deleter deleter;
        for (unsigned i = 0; i < N; ++i) {
            T item;
            while (m_queues[i].Pop(item)) deleter(item);
        }
    }

    // Queues item and wakes a worker; false (a drop) when the queue refuses
    // it, the item then staying with the caller.
    virtual bool AddTask(const T& item) {
        if (!m_queues[0].Push(item)) return false;
        m_work.SetEvent();
        return true;
    }

    // Waits up to ms for the work event.
    virtual void Wait(std::uint32_t ms) { m_work.Lock(ms); }

    std::int32_t GetQueueLength() { return static_cast<std::int32_t>(m_queues[0].Size()); }

    std::int32_t GetDropCount() {
        std::int32_t drops = 0;
        for (unsigned i = 0; i < N; ++i) drops += m_queues[i].GetDropCount();
        return drops;
    }

    std::uint32_t GetProcessedCount() const { return m_processed.load(std::memory_order_relaxed); }

    // One item from queue 0, or a zero value when it is empty.
    T PopTask() {
        T item{};
        if (!m_queues[0].Pop(item)) return T{};
        m_processed.fetch_add(1, std::memory_order_relaxed);
        return item;
    }

    // Everything queued when called, as a malloc'ed array that the caller
    // frees; null (count untouched) when nothing was taken or the array
    // cannot be allocated (the items then stay queued).
    T* PopAll(std::uint32_t& count) {
        const std::uint32_t size = m_queues[0].Size();
        if (size == 0) return nullptr;
        T* items = static_cast<T*>(std::malloc(sizeof(T) * std::size_t{size}));
        if (items == nullptr) return nullptr;
        std::uint32_t taken = 0;
        while (taken < size && m_queues[0].Pop(items[taken])) ++taken;
        if (taken == 0) {
            std::free(items);
            return nullptr;
        }
        m_processed.fetch_add(taken, std::memory_order_relaxed);
        count = taken;
        return items;
    }

protected:
    void OnStop() override { m_work.SetEvent(); }

    // Registers the calling thread and binds the manager's callbacks.
    std::int32_t RegisterThread() {
        CTLThreadManager* manager = CTLThreadManager::GetInstance();
        const std::int32_t index = manager->Register(TL_GetCurrentThreadId(), m_name.c_str());
        manager->SetCheckCallback(index, TLThreadCallback::Bind<&CTLLockFreeQThreadPoolBase::GetQueueLength>(this), -1,
                                  1);
        manager->SetInfoCallback(index, TLThreadCallback::Bind<&CTLLockFreeQThreadPoolBase::GetDropCount>(this));
        return index;
    }

    // Gives the record back and passes the stop wake-up on to the next
    // idle thread of the pool (the work event wakes one thread at a time).
    void UnregisterThread(std::int32_t index) {
        m_work.SetEvent();
        CTLThreadManager::GetInstance()->Unregister(index);
    }

    Q m_queues[N];
    corvane::CEvent m_work;
    std::atomic<std::uint32_t> m_processed{0};
    std::uint32_t m_reserved[2] = {0, 0};
    std::uint64_t m_startTick;
};

// Single-item pool: ProcessTask gets one item at a time and owns it.
template <class T, unsigned N = 1, unsigned Capacity = 0>
class CTLLockFreeQThreadPool : public CTLLockFreeQThreadPoolBase<CRingLockFreeList<T, Capacity>, T, N> {
    using Base = CTLLockFreeQThreadPoolBase<CRingLockFreeList<T, Capacity>, T, N>;

public:
    explicit CTLLockFreeQThreadPool(const char* name) : Base(name) {}

protected:
    virtual void ProcessTask(T item) = 0;

    void Run() override {
        CTLThreadManager* manager = CTLThreadManager::GetInstance();
        const std::int32_t index = this->RegisterThread();
        while (!this->IsStopping()) {
            manager->SetWatchdog(index, Base::kWatchdogMs, 1);
            T item = this->PopTask();
            if (item) {
                ProcessTask(item);
                manager->SetWatchdog(index, 0, 1);
            } else {
                manager->SetWatchdog(index, 0, 1);
                this->Wait(Base::kIdleWaitMs);
            }
        }
        this->UnregisterThread(index);
    }
};

// Batch pool body: ProcessTask gets every item queued at the time as one
// array (in queue order) and owns the items; the array is freed afterwards.
template <class Q, class T, unsigned N = 1>
class CTLKVOLockFreeQThread : public CTLLockFreeQThreadPoolBase<Q, T, N> {
    using Base = CTLLockFreeQThreadPoolBase<Q, T, N>;

public:
    explicit CTLKVOLockFreeQThread(const char* name) : Base(name) {}

protected:
    virtual void ProcessTask(T* items, std::uint32_t count) = 0;
    // Called on the worker's thread once it has had no work for an idle
    // wait (kIdleWaitMs) since its last batch: what it kept for the next
    // batches may be given back.
    virtual void OnIdle() {}

    void Run() override {
        CTLThreadManager* manager = CTLThreadManager::GetInstance();
        const std::int32_t index = this->RegisterThread();
        std::uint64_t lastBatch = 0;
        bool idle = true;
        while (!this->IsStopping()) {
            manager->SetWatchdog(index, Base::kWatchdogMs, 1);
            std::uint32_t count = 0;
            T* items = this->PopAll(count);
            if (items != nullptr) {
                ProcessTask(items, count);
                std::free(items);
                manager->SetWatchdog(index, 0, 1);
                lastBatch = TL_GetTickCount64();
                idle = false;
            } else {
                manager->SetWatchdog(index, 0, 1);
                if (!idle && TL_GetTickCount64() - lastBatch >= Base::kIdleWaitMs) {
                    idle = true;
                    OnIdle();
                }
                this->Wait(Base::kIdleWaitMs);
            }
        }
        this->UnregisterThread(index);
    }
};

template <class T, unsigned N = 1, unsigned Capacity = 0>
class CTLKvoLockFreeQThreadPool : public CTLKVOLockFreeQThread<CRingLockFreeList<T, Capacity>, T, N> {
public:
    explicit CTLKvoLockFreeQThreadPool(const char* name)
        : CTLKVOLockFreeQThread<CRingLockFreeList<T, Capacity>, T, N>(name) {}
};
