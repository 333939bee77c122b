#include "platform/pl_sync.h"

#include "platform/pl_thread.h"

#include <map>
#include <string>

#include "platform/pl_never_destroyed.h"

namespace pl {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

}  // namespace

// ---- RecursiveMutex ----

RecursiveMutex::RecursiveMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_, &attr);
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex() { pthread_mutex_destroy(&m_); }

void RecursiveMutex::Acquired() {
    owner_.store(CurrentThreadId(), std::memory_order_relaxed);
    ++depth_;
}

void RecursiveMutex::Lock() {
    pthread_mutex_lock(&m_);
    Acquired();
}

bool RecursiveMutex::TryLock() {
    if (pthread_mutex_trylock(&m_) != 0) return false;
    Acquired();
    return true;
}

bool RecursiveMutex::Unlock() {
    // Only the owner can see its own id here.
    if (owner_.load(std::memory_order_relaxed) != CurrentThreadId()) return false;
    if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_);
    return true;
}

// ---- TimedMutex ----

TimedMutex::TimedMutex(bool initially_owned) {
    if (initially_owned) {
        owner_ = std::this_thread::get_id();
        count_ = 1;
    }
}

bool TimedMutex::Lock(uint32_t ms) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_);
    if (count_ != 0 && owner_ == self) {
        if (count_ == UINT32_MAX) return false;
        ++count_;
        return true;
    }
    auto free = [this] { return count_ == 0; };
    if (ms == kInfinite) {
        cv_.wait(lock, free);
    } else if (!cv_.wait_until(lock, DeadlineAfter(ms), free)) {
        return false;
    }
    owner_ = self;
    count_ = 1;
    return true;
}

bool TimedMutex::Unlock() {
    std::lock_guard<std::mutex> lock(m_);
    if (count_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--count_ == 0) {
        owner_ = std::thread::id();
        cv_.notify_one();
    }
    return true;
}

bool TimedMutex::IsOwnedByCaller() {
    std::lock_guard<std::mutex> lock(m_);
    return count_ != 0 && owner_ == std::this_thread::get_id();
}

// ---- Event ----

Event::Event(bool manual_reset, bool initial_state) : manual_(manual_reset), signalled_(initial_state) {}

void Event::Set() {
    std::lock_guard<std::mutex> lock(m_);
    signalled_ = true;
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_);
    signalled_ = false;
}

bool Event::IsSet() {
    std::lock_guard<std::mutex> lock(m_);
    return signalled_;
}

uint32_t Event::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_);
    auto ready = [this] { return signalled_; };
    if (ms == kInfinite) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_until(lock, DeadlineAfter(ms), ready)) {
        return kWaitTimeout;
    }
    if (!manual_) signalled_ = false;
    return kWaitSignaled;
}

// ---- Semaphore ----

Semaphore::Semaphore(uint32_t initial, uint32_t maximum)
    : count_(initial > maximum ? maximum : initial), max_(maximum == 0 ? 1 : maximum) {}

bool Semaphore::Post(uint32_t n) {
    std::lock_guard<std::mutex> lock(m_);
    if (n == 0 || n > max_ - count_) return false;
    count_ += n;
    if (n == 1)
        cv_.notify_one();
    else
        cv_.notify_all();
    return true;
}

uint32_t Semaphore::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_);
    auto ready = [this] { return count_ > 0; };
    if (ms == kInfinite) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_until(lock, DeadlineAfter(ms), ready)) {
        return kWaitTimeout;
    }
    --count_;
    return kWaitSignaled;
}

// ---- Named objects ----

namespace {

struct NamedEntry {
    NamedKind kind;
    Waitable* object;
};

struct NamedTable {
    std::mutex lock;
    std::map<std::string, NamedEntry> entries;
};

// Never destroyed: threads may still open names while the process exits.
NamedTable& Named() {
    static pl::NeverDestroyed<NamedTable> table;
    return *table;
}

}  // namespace

Waitable* OpenNamed(const char* name, NamedKind kind, Waitable* (*make)(void*), void* arg, bool* existed) {
    if (existed) *existed = false;
    if (name == nullptr || *name == '\0' || make == nullptr) return nullptr;
    NamedTable& table = Named();
    std::lock_guard<std::mutex> lock(table.lock);
    auto it = table.entries.find(name);
    if (it != table.entries.end()) {
        if (existed) *existed = true;
        if (it->second.kind != kind) return nullptr;
        it->second.object->AddRef();
        return it->second.object;
    }
    Waitable* object = make(arg);
    if (object == nullptr) return nullptr;
    object->AddRef();  // the table's own reference
    table.entries.emplace(name, NamedEntry{kind, object});
    return object;
}

}  // namespace pl
