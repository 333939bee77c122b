// Sync objects on one thread: scoped-lock rules, recursion, event results,
// handle helpers, atomics and byte-range file locks.
#include "framework/tl_sync.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using corvane::CCriticalSection;
using corvane::CEvent;
using corvane::CFileLock;
using corvane::CMutex;
using corvane::CTLSingleLock;
using corvane::CTLSyncObject;

namespace {

// Counts the calls that reach the object.
class CountingSync : public CTLSyncObject {
public:
    int Lock(uint32_t) override {
        ++locks;
        return lock_result;
    }
    int Unlock() override {
        ++unlocks;
        return unlock_result;
    }
    int locks = 0, unlocks = 0, lock_result = 1, unlock_result = 1;
};

}  // namespace

TEST(ScopedLock, UnlockRules) {
    CountingSync s;
    {
        CTLSingleLock lock(&s);  // no initial lock
        EXPECT_EQ(s.locks, 0);
        EXPECT_EQ(lock.Unlock(), 1);  // not locked: 1, nothing called
        EXPECT_EQ(s.unlocks, 0);
        EXPECT_EQ(lock.Lock(50), 1);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_EQ(lock.Unlock(), 1);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(s.unlocks, 1);
    }
    EXPECT_EQ(s.unlocks, 1);  // destructor: nothing left to release
    {
        CTLSingleLock lock(&s, 1);
        EXPECT_EQ(s.locks, 2);
    }
    EXPECT_EQ(s.unlocks, 2);  // destructor released
    // A failing Unlock keeps the lock flagged as held.
    s.unlock_result = 0;
    {
        CTLSingleLock lock(&s, 1);
        EXPECT_EQ(lock.Unlock(), 0);
        EXPECT_TRUE(lock.IsLocked());
        s.unlock_result = 1;
    }
    EXPECT_EQ(s.unlocks, 4);
    // A failed lock is not held.
    s.lock_result = 0;
    CTLSingleLock failed(&s, 1);
    EXPECT_FALSE(failed.IsLocked());
}

TEST(ScopedLock, NullObject) {
    CTLSingleLock lock(nullptr, 1);
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_EQ(lock.Lock(10), 0);
    EXPECT_EQ(lock.Unlock(), 1);  // never locked
}

TEST(Locks, RecursiveOnOwner) {
    CCriticalSection cs;
    EXPECT_EQ(cs.Lock(), 1);
    EXPECT_EQ(cs.Lock(0), 1);
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(cs.Unlock(), 0);  // not held any more
    CMutex m;
    EXPECT_EQ(m.Lock(), 1);
    {
        CTLSingleLock inner(&m, 1);
        EXPECT_TRUE(inner.IsLocked());
    }
    EXPECT_EQ(m.Lock(0), 1);
    EXPECT_EQ(m.Unlock(), 1);
    EXPECT_EQ(m.Unlock(), 1);
    EXPECT_EQ(m.Unlock(), 0);
    CMutex owned(1);
    EXPECT_EQ(owned.Unlock(), 1);
    EXPECT_EQ(owned.Unlock(), 0);
}

TEST(Locks, NamedMutexIsShared) {
    CMutex a(0, "corvane.test.mutex");
    CMutex b(0, "corvane.test.mutex");
    ASSERT_NE(a.GetHandle(), nullptr);
    EXPECT_EQ(a.GetHandle(), b.GetHandle());
    CEvent wrong_kind(0, 0, "corvane.test.mutex");
    EXPECT_EQ(wrong_kind.GetHandle(), nullptr);
    EXPECT_EQ(wrong_kind.Lock(0), 0);  // a null handle fails
    EXPECT_EQ(wrong_kind.SetEvent(), 0);
}

TEST(Events, ManualAndAutoReset) {
    CEvent autoev;  // not signalled, auto reset
    EXPECT_EQ(autoev.Lock(0), 0);
    EXPECT_EQ(autoev.SetEvent(), 1);
    EXPECT_EQ(autoev.Lock(0), 1);
    EXPECT_EQ(autoev.Lock(0), 0);  // the wait reset it
    EXPECT_EQ(autoev.Unlock(), 1);

    CEvent manual(1, 1);  // signalled, manual reset
    EXPECT_EQ(manual.Lock(0), 1);
    EXPECT_EQ(manual.Lock(0), 1);
    manual.ResetEvent();
    EXPECT_EQ(manual.Lock(0), 0);
}

TEST(Events, HandleHelpersAndWaitResults) {
    TLHandle h = TL_CreateEvent(0, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TL_WaitForObject(h, 30), TL_WAIT_TIMEOUT);
    EXPECT_EQ(TL_SetEvent(h), 1);
    EXPECT_EQ(TL_WaitForObject(h, 0), TL_WAIT_OBJECT_0);
    EXPECT_EQ(TL_WaitForObject(nullptr, 0), TL_WAIT_FAILED);
    EXPECT_EQ(TL_SetEvent(nullptr), 0);
    EXPECT_EQ(TL_CloseHandle(h), 1);
    EXPECT_EQ(TL_CloseHandle(nullptr), 0);
    EXPECT_EQ(TL_WAIT_TIMEOUT, 0x102u);

    TLHandle m = TL_CreateMutex(0, nullptr);
    EXPECT_EQ(TL_SetEvent(m), 0);                         // not an event
    EXPECT_EQ(TL_WaitForObject(m, 0), TL_WAIT_OBJECT_0);  // acquires it
    EXPECT_EQ(TL_ReleaseMutex(m), 1);
    TL_CloseHandle(m);

    TLHandle s = TL_CreateSemaphore(0, 1, nullptr);
    EXPECT_EQ(TL_WaitForObject(s, 0), TL_WAIT_TIMEOUT);
    EXPECT_EQ(TL_ReleaseSemaphore(s, 1), 1);
    EXPECT_EQ(TL_ReleaseSemaphore(s, 1), 0);  // binary: the second release is refused
    EXPECT_EQ(TL_WaitForObject(s, 0), TL_WAIT_OBJECT_0);
    EXPECT_EQ(TL_WaitForObject(s, 0), TL_WAIT_TIMEOUT);
    TL_CloseHandle(s);
}

TEST(Atomics, ResultsAndArgumentOrder) {
    int32_t v = 5;
    EXPECT_EQ(TL_InterlockedIncrement(&v), 6);
    EXPECT_EQ(TL_InterlockedDecrement(&v), 5);
    EXPECT_EQ(TL_InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(TL_InterlockedExchangeAdd(&v, 3), 9);
    EXPECT_EQ(v, 12);
    // (target, new value, expected value) -> old value
    EXPECT_EQ(TL_InterlockedCompareExchange(&v, 100, 11), 12);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(TL_InterlockedCompareExchange(&v, 100, 12), 12);
    EXPECT_EQ(v, 100);
}

// ---- byte-range file locks ----

namespace {

class TempFile {
public:
    TempFile() {
        char tmpl[] = "/tmp/kvo_lockXXXXXX";
        int fd = mkstemp(tmpl);
        path_ = tmpl;
        if (fd >= 0) {
            (void)!write(fd, "0123456789", 10);
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    int Open() const { return open(path_.c_str(), O_RDWR); }

private:
    std::string path_;
};

}  // namespace

TEST(FileRangeLocks, TwoDescriptorsExcludeEachOther) {
    TempFile f;
    int a = f.Open(), b = f.Open();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    {
        CFileLock whole(a, 0, 0);
        EXPECT_EQ(whole.GetLength(), 0x0FFFFFFFFFFFFFFFLL);
        EXPECT_EQ(whole.LockExclusive(0), 1);
        CFileLock shared(b, 0, 0);
        EXPECT_EQ(shared.LockShared(0), 0);  // at once, without waiting
        EXPECT_EQ(shared.GetResult(), 0);
        CFileLock far(b, 1000000, 10);  // the whole file reaches past the end too
        EXPECT_EQ(far.LockShared(0), 0);
    }
    // The destructor released the exclusive lock.
    CFileLock again(b, 0, 0);
    EXPECT_EQ(again.LockExclusive(0), 1);
    close(a);
    close(b);
}

TEST(FileRangeLocks, SharedAndDisjointRanges) {
    TempFile f;
    int a = f.Open(), b = f.Open();
    CFileLock r1(a, 0, 5), r2(b, 0, 5);
    EXPECT_EQ(r1.LockShared(0), 1);
    EXPECT_EQ(r2.LockShared(0), 1);  // shared locks coexist
    CFileLock w(b, 5, 5);
    EXPECT_EQ(w.LockExclusive(0), 1);  // disjoint range
    CFileLock overlap(a, 4, 2);
    EXPECT_EQ(overlap.LockExclusive(0), 0);
    EXPECT_EQ(r2.Unlock(), 1);
    EXPECT_EQ(r2.Unlock(), 0);  // nothing held
    close(a);
    close(b);
}

TEST(FileRangeLocks, EmptyRangeAwayFromStartLocksNothing) {
    TempFile f;
    int a = f.Open(), b = f.Open();
    {
        CFileLock empty(a, 4, 0);  // a read or write of 0 bytes at offset 4
        EXPECT_EQ(empty.GetLength(), 0);
        EXPECT_EQ(empty.LockExclusive(0), 1);
        CFileLock tail(b, 4, 6);  // the bytes after it stay free
        EXPECT_EQ(tail.LockExclusive(0), 1);
        CFileLock far(b, 1000, 10);
        EXPECT_EQ(far.LockExclusive(0), 1);
        CFileLock empty_in_held(a, 6, 0);  // nothing to conflict with
        EXPECT_EQ(empty_in_held.LockShared(0), 1);
    }
    close(a);
    close(b);
}

TEST(FileRangeLocks, BadArguments) {
    CFileLock none(-1, 0, 0);
    EXPECT_EQ(none.LockShared(0), 0);
    TempFile f;
    int a = f.Open();
    CFileLock neg_off(a, -1, 5);
    EXPECT_EQ(neg_off.LockExclusive(0), 0);
    CFileLock neg_len(a, 0, -5);
    EXPECT_EQ(neg_len.LockShared(1), 0);
    CFileLock huge(a, 10, INT64_MAX);  // reaches past the largest offset
    EXPECT_EQ(huge.LockExclusive(0), 1);
    close(a);
}
