// Waitable kernel-style objects over pthreads: recursive mutexes, events,
// semaphores, and the reference-counted handle they share with threads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace pl {

// Timeout meaning "wait as long as needed".
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of Waitable::Wait.
constexpr uint32_t kWaitSignaled = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// Base of every object a handle can refer to. The creator holds one
// reference; Close() gives it back. Objects that another party still uses
// (a thread holds its own handle object while it runs) stay alive until the
// last reference is released.
class Waitable {
public:
    Waitable() = default;
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;

    // Waits until the object is signalled (see each kind), at most ms.
    virtual uint32_t Wait(uint32_t ms) = 0;

    // Gives back the creator's reference. Threads override it to join or
    // detach the thread first.
    virtual void Close() { Release(); }

    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    virtual ~Waitable() = default;

private:
    std::atomic<int> refs_{1};
};

// Recursive mutex without timeout (the in-process critical section).
class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void Lock();
    bool TryLock();
    // False (and nothing changes) when the calling thread does not own it.
    bool Unlock();

private:
    void Acquired();

    pthread_mutex_t m_;
    // Owner's thread id (0: none) and its lock depth, so that an unlock from
    // another thread is refused instead of reaching the mutex.
    std::atomic<uint32_t> owner_{0};
    uint32_t depth_ = 0;
};

// Recursive mutex with timed lock. A wait on it acquires it. Timeouts run on
// the monotonic clock.
class TimedMutex : public Waitable {
public:
    explicit TimedMutex(bool initially_owned = false);

    // True when acquired within ms (kInfinite: no limit).
    bool Lock(uint32_t ms);
    bool TryLock() { return Lock(0); }
    // False when the calling thread does not own the mutex.
    bool Unlock();
    bool IsOwnedByCaller();

    uint32_t Wait(uint32_t ms) override { return Lock(ms) ? kWaitSignaled : kWaitTimeout; }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::thread::id owner_;
    uint32_t count_ = 0;
};

// Event with manual or automatic reset. Set on an auto-reset event releases
// exactly one waiter (or the next one to come); a manual-reset event stays
// signalled, releasing every waiter, until Reset.
class Event : public Waitable {
public:
    Event(bool manual_reset, bool initial_state);

    void Set();
    void Reset();
    bool IsSet();
    uint32_t Wait(uint32_t ms) override;

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool manual_;
    bool signalled_;
};

// Counting semaphore with a maximum count; a maximum of 1 makes it binary.
// A wait takes one unit.
class Semaphore : public Waitable {
public:
    Semaphore(uint32_t initial, uint32_t maximum);

    // Adds n units; false (and nothing added) when that would pass the maximum.
    bool Post(uint32_t n = 1);
    uint32_t Wait(uint32_t ms) override;

private:
    std::mutex m_;
    std::condition_variable cv_;
    uint32_t count_;
    uint32_t max_;
};

// Named objects of this process. The first open of a name creates the object
// (through make) and keeps it for the life of the process; later opens of the
// name return it again when it has the same kind, null otherwise. Each
// successful open adds a reference that the caller gives back with Close.
enum class NamedKind { kMutex, kEvent, kSemaphore };
Waitable* OpenNamed(const char* name, NamedKind kind, Waitable* (*make)(void*), void* arg, bool* existed);

// Waits on an object; kWaitFailed for a null object.
inline uint32_t WaitFor(Waitable* w, uint32_t ms) { return w ? w->Wait(ms) : kWaitFailed; }

}  // namespace pl
