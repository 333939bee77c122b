// CTLThreadManager: the process-wide registry of named worker threads, and
// the lock-guarded containers CSafeList and CSafeMap.
//
// Every pool thread takes a record when it starts, arms a watchdog time-out
// around each item it handles, attaches callbacks that report its queue
// length and drop count, and gives the record back when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "framework/tl_callback.h"
#include "framework/tl_sync.h"

// Callbacks of a thread record: called with no argument beyond the bound
// object, they report a figure of the thread's owner (queue length, drops).
using TLThreadCallback = CTLCallback<std::int32_t()>;

// A copy of one thread record, for inspection.
struct TLThreadRecordInfo {
    std::uint8_t inUse = 0;
    std::uint32_t threadId = 0;
    std::uint32_t timeout = 0;        // watchdog time-out in ms, 0 = disarmed
    std::uint32_t checkInterval = 0;  // ms
    std::uint64_t startTick = 0;
    std::uint64_t alarmTick = 0;
    std::uint8_t checkFlag = 0;
    std::uint32_t armed = 0;
    std::string name;
    TLThreadCallback check;
    TLThreadCallback info;
};

class CTLThreadManager {
public:
    static constexpr std::int32_t kMaxThreads = 200;
    static constexpr std::int32_t kDefaultCheckInterval = 1500;
    static constexpr const char* kFreeName = "NoNamed";

    // The process-wide manager, created on first use and never destroyed:
    // library threads may still reach it while the process exits.
    static CTLThreadManager* GetInstance();

    // A private manager (tests); the process uses GetInstance.
    CTLThreadManager();
    virtual ~CTLThreadManager() = default;
    CTLThreadManager(const CTLThreadManager&) = delete;
    CTLThreadManager& operator=(const CTLThreadManager&) = delete;

    // Takes the lowest free record for thread id (and name, when given);
    // returns its index, or -1 when all records are in use.
    std::int32_t Register(std::uint32_t threadId, const char* name);
    // Gives a record back; an index out of range or a record not in use
    // changes nothing.
    void Unregister(std::int32_t index);

    // Arms (timeout > 0) or disarms (0) the record's watchdog. The start
    // tick is the manager's construction tick when useCachedClock is set,
    // else the current tick. Called by the record's own thread.
    void SetWatchdog(std::int32_t index, std::uint32_t timeout, std::uint8_t useCachedClock);
    // -1 for a bad index or an empty callback; a negative interval becomes
    // 1500 ms; else stores the values and returns 0.
    std::int32_t SetCheckCallback(std::int32_t index, const TLThreadCallback& callback, std::int32_t interval,
                                  std::uint8_t flag);
    std::int32_t SetInfoCallback(std::int32_t index, const TLThreadCallback& callback);

    std::uint32_t GetCount();
    bool GetRecord(std::int32_t index, TLThreadRecordInfo* out);
    std::uint64_t GetCachedTick() const { return m_cachedTick; }

private:
    struct Record {
        std::uint8_t inUse = 0;
        std::uint32_t threadId = 0;
        // Written by the owning thread without the lock (per item).
        std::atomic<std::uint32_t> timeout{0};
        std::uint32_t checkInterval = 0;
        std::atomic<std::uint64_t> startTick{0};
        std::atomic<std::uint64_t> alarmTick{0};
        std::uint8_t checkFlag = 0;
        std::atomic<std::uint32_t> armed{0};
        std::string name{kFreeName};
        TLThreadCallback check;
        TLThreadCallback info;
    };

    static bool ValidIndex(std::int32_t index) { return index >= 0 && index < kMaxThreads; }
    void ResetRecord(Record& r);

    corvane::CMutex m_mutex;
    Record m_records[kMaxThreads];
    std::uint32_t m_count = 0;
    std::uint64_t m_cachedTick;
};

// A doubly linked list under its own mutex. Every operation waits at most
// LockWait ms for the mutex; Capacity 0 means unbounded.
template <class T = void*, std::uint32_t LockWait = 10000, std::uint64_t Capacity = 0>
class CSafeList {
public:
    CSafeList() : m_mutex(new corvane::CMutex()) {}
    virtual ~CSafeList() { delete m_mutex; }
    CSafeList(const CSafeList&) = delete;
    CSafeList& operator=(const CSafeList&) = delete;

    // False when the lock is not obtained in time or the list is full.
    bool PushBack(const T& value) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        if (m_capacity != 0 && m_items.size() + 1 > m_capacity) return false;
        m_items.push_back(value);
        ++m_pushes;
        return true;
    }

    // The value at index, or a zero value past the end (or on lock time-out).
    T GetAt(std::uint64_t index) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return T();
        if (index >= m_items.size()) return T();
        auto it = m_items.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(index));
        return *it;
    }

    // Takes the first value into out; false when empty or on lock time-out.
    bool PopFront(T& out) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait) || m_items.empty()) return false;
        out = m_items.front();
        m_items.pop_front();
        return true;
    }

    bool Clear() {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        m_items.clear();
        m_pushes = 0;
        return true;
    }

    std::uint64_t GetCount() {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return 0;
        return m_items.size();
    }

    std::uint64_t GetPushCount() {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return 0;
        return m_pushes;
    }

    void SetCapacity(std::uint64_t capacity) {
        corvane::CTLSingleLock lock(m_mutex);
        if (lock.Lock(m_lockWait)) m_capacity = capacity;
    }

    corvane::CMutex* GetMutex() { return m_mutex; }

private:
    std::list<T> m_items;
    corvane::CMutex* m_mutex;
    std::uint32_t m_lockWait = LockWait;
    std::uint64_t m_capacity = Capacity;
    std::uint64_t m_pushes = 0;
    std::uint64_t m_reserved = 0;
};

class CSafeMapBase {
public:
    virtual ~CSafeMapBase() = default;
};

// An ordered map under its own mutex; every operation waits at most
// LockWait ms for it.
template <class K = unsigned long, class V = void*, std::uint32_t LockWait = 10000>
class CSafeMap : public CSafeMapBase {
public:
    CSafeMap() : m_mutex(new corvane::CMutex()) {}
    ~CSafeMap() override { delete m_mutex; }
    CSafeMap(const CSafeMap&) = delete;
    CSafeMap& operator=(const CSafeMap&) = delete;

    // False when the lock is not obtained in time.
    bool SetAt(const K& key, const V& value) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        m_map[key] = value;
        return true;
    }

    bool Lookup(const K& key, V& out) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        auto it = m_map.find(key);
        if (it == m_map.end()) return false;
        out = it->second;
        return true;
    }

    bool RemoveKey(const K& key) {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        return m_map.erase(key) != 0;
    }

    bool Clear() {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return false;
        m_map.clear();
        return true;
    }

    std::uint64_t GetCount() {
        corvane::CTLSingleLock lock(m_mutex);
        if (!lock.Lock(m_lockWait)) return 0;
        return m_map.size();
    }

    corvane::CMutex* GetMutex() { return m_mutex; }

private:
    std::map<K, V> m_map;
    corvane::CMutex* m_mutex;
    std::uint32_t m_lockWait = LockWait;
};
