// Sync objects across threads: timed locks, the critical section's 100 ms
// polling, auto-reset events releasing one waiter, and blocked file locks.
#include "framework/tl_sync.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using corvane::CCriticalSection;
using corvane::CEvent;
using corvane::CFileLock;
using corvane::CMutex;
using corvane::CTLSingleLock;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Holds a sync object on another thread until released.
template <typename Sync>
class Holder {
public:
    explicit Holder(Sync* s)
        : thread_([this, s] {
              s->Lock(TL_INFINITE);
              held_.SetEvent();
              release_.Lock(TL_INFINITE);
              s->Unlock();
          }) {
        held_.Lock(TL_INFINITE);
    }
    ~Holder() {
        release_.SetEvent();
        thread_.join();
    }

private:
    CEvent held_, release_;
    std::thread thread_;
};

}  // namespace

TEST(Locks, CriticalSectionPollsInHundredMsSteps) {
    CCriticalSection cs;
    Holder<CCriticalSection> holder(&cs);
    auto t0 = Clock::now();
    EXPECT_EQ(cs.Lock(0), 0);  // one attempt, at once
    EXPECT_LT(MsSince(t0), 90);
    t0 = Clock::now();
    EXPECT_EQ(cs.Lock(250), 0);  // three failed retries: about 300 ms
    const int64_t took = MsSince(t0);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 900);
    EXPECT_EQ(cs.Unlock(), 0);  // not the owner
}

TEST(Locks, CriticalSectionGetsFreedLock) {
    CCriticalSection cs;
    std::atomic<bool> locked{false};
    CEvent release;
    std::thread t([&] {
        CTLSingleLock lock(&cs, 1);
        locked = true;
        release.Lock(TL_INFINITE);
    });
    while (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.SetEvent();
    });
    EXPECT_EQ(cs.Lock(2000), 1);  // acquired at a later 100 ms poll
    EXPECT_EQ(cs.Unlock(), 1);
    t.join();
    releaser.join();
}

TEST(Locks, MutexTimedLockAndForeignUnlock) {
    CMutex m;
    {
        Holder<CMutex> holder(&m);
        auto t0 = Clock::now();
        EXPECT_EQ(m.Lock(120), 0);
        const int64_t took = MsSince(t0);
        EXPECT_GE(took, 110);
        EXPECT_LT(took, 700);
        EXPECT_EQ(m.Unlock(), 0);  // held by the other thread
    }
    EXPECT_EQ(m.Lock(0), 1);
    EXPECT_EQ(m.Unlock(), 1);
}

TEST(Locks, MutexExcludesUnderContention) {
    CMutex m;
    int counter = 0;  // guarded by m; TSan flags any unguarded access
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            CTLSingleLock lock(&m, 1);
            CTLSingleLock again(&m, 1);  // recursive
            ++counter;
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 6000);
}

TEST(Events, AutoResetReleasesExactlyOneWaiter) {
    CEvent ev;  // auto reset
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (ev.Lock(5000)) ++woken;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ev.SetEvent();
    auto t0 = Clock::now();
    while (woken.load() < 1 && MsSince(t0) < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(woken.load(), 1);
    ev.SetEvent();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(ev.Lock(0), 0);  // both sets consumed
}

TEST(Events, ManualResetReleasesAll) {
    CEvent ev(0, 1);
    std::atomic<int> woken{0};
    std::thread ts[4];
    for (auto& t : ts)
        t = std::thread([&] {
            if (ev.Lock(5000)) ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ev.SetEvent();
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST(Events, SetBeforeWaitAndTimeout) {
    TLHandle h = TL_CreateEvent(0, 0, nullptr);
    std::thread setter([h] { TL_SetEvent(h); });
    setter.join();
    EXPECT_EQ(TL_WaitForObject(h, 1000), TL_WAIT_OBJECT_0);  // the set was kept
    auto t0 = Clock::now();
    EXPECT_EQ(TL_WaitForObject(h, 100), TL_WAIT_TIMEOUT);
    EXPECT_GE(MsSince(t0), 95);
    TL_CloseHandle(h);
}

TEST(Semaphores, BinaryHandsOverOneUnit) {
    TLHandle s = TL_CreateSemaphore(0, 1, nullptr);
    std::atomic<int> got{0};
    std::thread t([&] {
        while (TL_WaitForObject(s, 300) == TL_WAIT_OBJECT_0) ++got;
    });
    EXPECT_EQ(TL_ReleaseSemaphore(s, 1), 1);
    t.join();
    EXPECT_EQ(got.load(), 1);
    TL_CloseHandle(s);
}

TEST(FileRangeLocks, WaitingLockGetsRangeWhenReleased) {
    char tmpl[] = "/tmp/kvo_lockmtXXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    int other = open(tmpl, O_RDWR);
    auto* held = new CFileLock(fd, 0, 0);
    ASSERT_EQ(held->LockExclusive(1), 1);
    std::atomic<int> result{-1};
    std::thread t([&] {
        CFileLock waiting(other, 0, 100);
        result = waiting.LockShared(1);  // waits for the release
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);
    delete held;  // releases
    t.join();
    EXPECT_EQ(result.load(), 1);
    close(fd);
    close(other);
    unlink(tmpl);
}
