// Sync objects of the framework: the sync-object family with its scoped lock,
// byte-range file locks, and the event / handle / atomic helpers.
//
// Mutexes and critical sections are recursive: the owning thread may lock
// again and must unlock as often as it locked.
#pragma once

#include <cstdint>

#include "framework/tl_object.h"
#include "platform/pl_sync.h"

// A handle: an event, mutex, semaphore or thread object of the platform
// layer. Null means no object.
using TLHandle = pl::Waitable*;

constexpr uint32_t TL_INFINITE = pl::kInfinite;
constexpr uint32_t TL_WAIT_OBJECT_0 = pl::kWaitSignaled;  // 0
constexpr uint32_t TL_WAIT_TIMEOUT = pl::kWaitTimeout;    // 0x102
constexpr uint32_t TL_WAIT_FAILED = pl::kWaitFailed;      // 0xFFFFFFFF

// An event; a name opens the process's event of that name (created on first
// use). Null on failure (a name already used by another kind of object).
TLHandle TL_CreateEvent(int manual_reset, int initial_state, const char* name);
// Non-zero on success; 0 for a null handle or a handle that is not an event.
int TL_SetEvent(TLHandle h);
int TL_ResetEvent(TLHandle h);
// A semaphore with a maximum count (maximum 1: binary). Null on failure.
TLHandle TL_CreateSemaphore(uint32_t initial, uint32_t maximum, const char* name);
// Adds count units; 0 when that would pass the maximum or h is no semaphore.
int TL_ReleaseSemaphore(TLHandle h, uint32_t count);
// A recursive mutex, owned by the caller when initially_owned is set. A name
// gives a mutex held across processes (pl::SystemMutex); an unnamed one is
// private to the process.
TLHandle TL_CreateMutex(int initially_owned, const char* name);
int TL_ReleaseMutex(TLHandle h);
// TL_WAIT_OBJECT_0, TL_WAIT_TIMEOUT, or TL_WAIT_FAILED for a null handle.
uint32_t TL_WaitForObject(TLHandle h, uint32_t ms);
// Gives the handle back (a thread handle is joined or detached first).
// Non-zero on success, 0 for a null handle.
int TL_CloseHandle(TLHandle h);

// Atomic operations on 32-bit words, all sequentially consistent.
inline int32_t TL_InterlockedIncrement(int32_t* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline int32_t TL_InterlockedDecrement(int32_t* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
// Return the old value.
inline int32_t TL_InterlockedExchange(int32_t* target, int32_t value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline int32_t TL_InterlockedExchangeAdd(int32_t* target, int32_t value) {
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
// Stores value when *target equals expected; returns the old value.
// Note the order: (target, new value, expected value).
inline int32_t TL_InterlockedCompareExchange(int32_t* target, int32_t value, int32_t expected) {
    __atomic_compare_exchange_n(target, &expected, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;
}

namespace corvane {

// Base of the sync objects: one platform handle (null for a critical
// section).
class CTLSyncObject : public CTLObject {
public:
    CTLSyncObject() = default;
    ~CTLSyncObject() override;
    CTLSyncObject(const CTLSyncObject&) = delete;
    CTLSyncObject& operator=(const CTLSyncObject&) = delete;

    // 1 when acquired within ms (TL_INFINITE: no limit), 0 otherwise.
    virtual int Lock(uint32_t ms = TL_INFINITE);
    // Non-zero on success.
    virtual int Unlock() = 0;

    TLHandle GetHandle() const { return m_hObject; }

protected:
    TLHandle m_hObject = nullptr;
};

// Recursive mutex. A name gives the mutex of that name held across
// processes (one object per name in each process).
class CMutex : public CTLSyncObject {
public:
    explicit CMutex(int initially_owned = 0, const char* name = nullptr);
    // 1 only when the wait succeeds (a null handle fails).
    int Lock(uint32_t ms = TL_INFINITE) override;
    // 0 when the calling thread does not own the mutex.
    int Unlock() override;
};

// Event; a scoped lock over it only waits, as Unlock does nothing.
class CEvent : public CTLSyncObject {
public:
    explicit CEvent(int initial_state = 0, int manual_reset = 0, const char* name = nullptr);
    int SetEvent();
    int ResetEvent();
    int Lock(uint32_t ms = TL_INFINITE) override;
    // Does nothing, returns 1.
    int Unlock() override { return 1; }
};

// In-process recursive lock. A timed Lock tries once, then again every
// 100 ms until the counted time reaches the timeout (timeouts are thus
// rounded up to whole 100 ms steps; 0 makes a single attempt).
class CCriticalSection : public CTLSyncObject {
public:
    CCriticalSection() = default;
    int Lock(uint32_t ms = TL_INFINITE) override;
    // Leaves; 0 when the calling thread does not hold it.
    int Unlock() override { return m_cs.Unlock() ? 1 : 0; }

private:
    pl::RecursiveMutex m_cs;
};

// Scoped lock over any sync object (a stack object).
class CTLSingleLock {
public:
    // With initial_lock set and an object present, locks without time limit.
    explicit CTLSingleLock(CTLSyncObject* object, int initial_lock = 0);
    ~CTLSingleLock();
    CTLSingleLock(const CTLSingleLock&) = delete;
    CTLSingleLock& operator=(const CTLSingleLock&) = delete;

    // Locks through the object; stores and returns the result (0 without one).
    int Lock(uint32_t ms = TL_INFINITE);
    // 1 when not locked; 0 when there is no object; else the object's Unlock
    // result, the locked flag becoming its negation.
    int Unlock();
    int IsLocked() const { return m_bLocked; }

private:
    CTLSyncObject* m_pObject;
    int32_t m_bLocked = 0;
};

// Byte-range lock on an open file (descriptor). Offset 0 with length 0 means
// the whole file; length 0 at any other offset is an empty range, which
// locks nothing and always succeeds. The destructor releases a held lock.
class CFileLock {
public:
    // Length of "the whole file".
    static constexpr int64_t kWholeFile = 0x0FFFFFFFFFFFFFFFLL;

    CFileLock(int fd, int64_t offset, int64_t length);
    virtual ~CFileLock();
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // Without wait the call fails at once when the range is held elsewhere.
    // 1 on success; 0 without a file, with a negative offset or length, or
    // when the range is held.
    int LockShared(int wait);
    int LockExclusive(int wait);
    // Releases a held lock; 1 on success, 0 when none is held.
    int Unlock();

    int64_t GetOffset() const { return m_nOffset; }
    int64_t GetLength() const { return m_nLength; }
    int GetResult() const { return m_nResult; }

private:
    int LockRange(bool exclusive, int wait);

    int m_hFile;
    int64_t m_nOffset;
    int64_t m_nLength;
    int32_t m_nResult = 0;
    bool m_bHeld = false;
};

}  // namespace corvane
