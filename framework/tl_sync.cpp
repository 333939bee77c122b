#include "framework/tl_sync.h"

#include "platform/pl_filelock.h"
#include "platform/pl_shared.h"
#include "platform/pl_time.h"

namespace {

struct EventArgs {
    bool manual;
    bool initial;
};

pl::Waitable* MakeEvent(void* arg) {
    auto* a = static_cast<EventArgs*>(arg);
    return new pl::Event(a->manual, a->initial);
}

pl::Waitable* MakeMutex(void* arg) { return new pl::TimedMutex(*static_cast<bool*>(arg)); }

pl::Waitable* MakeSystemMutex(void* name) { return new pl::SystemMutex(static_cast<const char*>(name)); }

struct SemaphoreArgs {
    uint32_t initial;
    uint32_t maximum;
};

pl::Waitable* MakeSemaphore(void* arg) {
    auto* a = static_cast<SemaphoreArgs*>(arg);
    return new pl::Semaphore(a->initial, a->maximum);
}

}  // namespace

TLHandle TL_CreateEvent(int manual_reset, int initial_state, const char* name) {
    EventArgs args{manual_reset != 0, initial_state != 0};
    if (name != nullptr && *name != '\0') return pl::OpenNamed(name, pl::NamedKind::kEvent, &MakeEvent, &args, nullptr);
    return MakeEvent(&args);
}

int TL_SetEvent(TLHandle h) {
    auto* e = dynamic_cast<pl::Event*>(h);
    if (e == nullptr) return 0;
    e->Set();
    return 1;
}

int TL_ResetEvent(TLHandle h) {
    auto* e = dynamic_cast<pl::Event*>(h);
    if (e == nullptr) return 0;
    e->Reset();
    return 1;
}

TLHandle TL_CreateSemaphore(uint32_t initial, uint32_t maximum, const char* name) {
    SemaphoreArgs args{initial, maximum};
    if (name != nullptr && *name != '\0')
        return pl::OpenNamed(name, pl::NamedKind::kSemaphore, &MakeSemaphore, &args, nullptr);
    return MakeSemaphore(&args);
}

int TL_ReleaseSemaphore(TLHandle h, uint32_t count) {
    auto* s = dynamic_cast<pl::Semaphore*>(h);
    return (s != nullptr && s->Post(count)) ? 1 : 0;
}

TLHandle TL_CreateMutex(int initially_owned, const char* name) {
    bool owned = initially_owned != 0;
    if (name != nullptr && *name != '\0') {
        // A named mutex is held across processes. Only the process that makes
        // the object can get it owned.
        bool existed = false;
        TLHandle h = pl::OpenNamed(name, pl::NamedKind::kMutex, &MakeSystemMutex, const_cast<char*>(name), &existed);
        if (h != nullptr && owned && !existed) static_cast<pl::SystemMutex*>(h)->Lock(pl::kInfinite);
        return h;
    }
    return MakeMutex(&owned);
}

int TL_ReleaseMutex(TLHandle h) {
    if (auto* m = dynamic_cast<pl::TimedMutex*>(h)) return m->Unlock() ? 1 : 0;
    auto* s = dynamic_cast<pl::SystemMutex*>(h);
    return (s != nullptr && s->Unlock()) ? 1 : 0;
}

uint32_t TL_WaitForObject(TLHandle h, uint32_t ms) { return pl::WaitFor(h, ms); }

int TL_CloseHandle(TLHandle h) {
    if (h == nullptr) return 0;
    h->Close();
    return 1;
}

namespace corvane {

// ---- CTLSyncObject ----

CTLSyncObject::~CTLSyncObject() {
    if (m_hObject != nullptr) TL_CloseHandle(m_hObject);
}

int CTLSyncObject::Lock(uint32_t ms) { return TL_WaitForObject(m_hObject, ms) == TL_WAIT_OBJECT_0 ? 1 : 0; }

// ---- CMutex ----

CMutex::CMutex(int initially_owned, const char* name) { m_hObject = TL_CreateMutex(initially_owned, name); }

int CMutex::Lock(uint32_t ms) {
    // A wait on a mutex, in-process or system-wide, acquires it.
    return (m_hObject != nullptr && m_hObject->Wait(ms) == pl::kWaitSignaled) ? 1 : 0;
}

int CMutex::Unlock() { return TL_ReleaseMutex(m_hObject); }

// ---- CEvent ----

CEvent::CEvent(int initial_state, int manual_reset, const char* name) {
    m_hObject = TL_CreateEvent(manual_reset, initial_state, name);
}

int CEvent::SetEvent() { return TL_SetEvent(m_hObject); }

int CEvent::ResetEvent() { return TL_ResetEvent(m_hObject); }

int CEvent::Lock(uint32_t ms) { return CTLSyncObject::Lock(ms); }

// ---- CCriticalSection ----

int CCriticalSection::Lock(uint32_t ms) {
    if (ms == TL_INFINITE) {
        m_cs.Lock();
        return 1;
    }
    if (m_cs.TryLock()) return 1;
    uint64_t counted = 0;
    while (counted < ms) {
        pl::SleepMs(100);
        counted += 100;
        if (m_cs.TryLock()) return 1;
    }
    return 0;
}

// ---- CTLSingleLock ----

CTLSingleLock::CTLSingleLock(CTLSyncObject* object, int initial_lock) : m_pObject(object) {
    if (initial_lock && object != nullptr) m_bLocked = object->Lock(TL_INFINITE);
}

CTLSingleLock::~CTLSingleLock() {
    if (m_bLocked) Unlock();
}

int CTLSingleLock::Lock(uint32_t ms) {
    if (m_pObject == nullptr) return 0;
    m_bLocked = m_pObject->Lock(ms);
    return m_bLocked;
}

int CTLSingleLock::Unlock() {
    if (!m_bLocked) return 1;
    if (m_pObject == nullptr) return 0;
    const int result = m_pObject->Unlock();
    m_bLocked = !result;
    return result;
}

// ---- CFileLock ----

CFileLock::CFileLock(int fd, int64_t offset, int64_t length) : m_hFile(fd), m_nOffset(offset), m_nLength(length) {
    if (offset == 0 && length == 0) m_nLength = kWholeFile;
}

CFileLock::~CFileLock() { Unlock(); }

int CFileLock::LockShared(int wait) { return LockRange(false, wait); }

int CFileLock::LockExclusive(int wait) { return LockRange(true, wait); }

namespace {

// The platform length of a range: 0 ("to any end") for the whole file and
// for ranges that reach past the largest file offset.
int64_t PlatformLength(int64_t offset, int64_t length) {
    if (length == CFileLock::kWholeFile || length > INT64_MAX - offset) return 0;
    return length;
}

}  // namespace

int CFileLock::LockRange(bool exclusive, int wait) {
    if (m_hFile < 0 || m_nOffset < 0 || m_nLength < 0) return 0;
    if (m_nLength == 0) {
        // An empty range away from offset 0 covers no byte: there is nothing to
        // lock and nothing to conflict with. (The platform would read a zero
        // length as "up to any end of the file".)
        m_nResult = 1;
        return m_nResult;
    }
    // Locking again through one descriptor converts the held lock (no stacking).
    m_nResult =
        pl::LockFileRange(m_hFile, m_nOffset, PlatformLength(m_nOffset, m_nLength), exclusive, wait != 0) ? 1 : 0;
    // A failed conversion leaves the lock held before still held.
    if (m_nResult) m_bHeld = true;
    return m_nResult;
}

int CFileLock::Unlock() {
    if (!m_bHeld) return 0;
    m_bHeld = false;
    return pl::UnlockFileRange(m_hFile, m_nOffset, PlatformLength(m_nOffset, m_nLength)) ? 1 : 0;
}

}  // namespace corvane
