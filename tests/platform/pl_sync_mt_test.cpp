// The platform layer's handles: waits on threads from several waiters,
// counting semaphores, initially owned mutexes and named objects.
#include "platform/pl_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/pl_thread.h"
#include "platform/pl_time.h"
#include "tests/support/local_time.h"

namespace {

uint32_t SleepThenReturn(void* ctx) {
    pl::SleepMs(*static_cast<uint32_t*>(ctx));
    return 42;
}

}  // namespace

TEST(PlatformThreads, SeveralWaitersWithOwnTimeouts) {
    uint32_t ms = 150;
    pl::Thread* t = pl::Thread::Start(&SleepThenReturn, &ms, nullptr);
    ASSERT_NE(t, nullptr);
    std::atomic<int> timed_out{0}, signalled{0};
    std::vector<std::thread> waiters;
    for (uint32_t timeout : {10u, 20u, 5000u, 5000u}) {
        waiters.emplace_back([&, timeout] {
            if (t->Wait(timeout) == pl::kWaitSignaled)
                ++signalled;
            else
                ++timed_out;
        });
    }
    for (auto& w : waiters) w.join();
    EXPECT_EQ(timed_out.load(), 2);
    EXPECT_EQ(signalled.load(), 2);
    EXPECT_TRUE(t->HasEnded());
    EXPECT_EQ(t->ExitCode(), 42u);
    EXPECT_TRUE(t->Join(0));
    t->Close();
}

TEST(PlatformThreads, CloseWhileRunningDetaches) {
    uint32_t ms = 50;
    uint32_t tid = 0;
    pl::Thread* t = pl::Thread::Start(&SleepThenReturn, &ms, &tid);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(t->ThreadId(), tid);
    t->AddRef();  // keep it to watch the end
    t->Close();   // still running: detached, the thread keeps its own reference
    EXPECT_EQ(t->Wait(5000), pl::kWaitSignaled);
    t->Release();
    pl::SleepMs(20);  // let the detached thread finish unwinding
}

TEST(PlatformSync, CountingSemaphore) {
    pl::Semaphore s(1, 3);
    EXPECT_TRUE(s.Post(2));
    EXPECT_FALSE(s.Post(1));  // would pass the maximum
    EXPECT_FALSE(s.Post(0));
    std::atomic<int> taken{0};
    std::thread a([&] {
        while (s.Wait(50) == pl::kWaitSignaled) ++taken;
    });
    std::thread b([&] {
        while (s.Wait(50) == pl::kWaitSignaled) ++taken;
    });
    a.join();
    b.join();
    EXPECT_EQ(taken.load(), 3);
}

TEST(PlatformSync, InitiallyOwnedMutexBlocksOthers) {
    pl::TimedMutex* m = new pl::TimedMutex(true);
    std::atomic<int> got{-1};
    std::thread other([&] { got = m->Lock(30) ? 1 : 0; });
    other.join();
    EXPECT_EQ(got.load(), 0);
    EXPECT_TRUE(m->Unlock());
    std::thread again([&] {
        got = m->Lock(1000) ? 1 : 0;
        if (got) m->Unlock();
    });
    again.join();
    EXPECT_EQ(got.load(), 1);
    m->Close();
}

TEST(PlatformSync, NamedObjectsByKind) {
    auto make = [](void*) -> pl::Waitable* { return new pl::Event(true, false); };
    // Named objects live as long as the process: a name of its own per run
    // (the test may be repeated in one process).
    static int run = 0;
    const std::string name = "pl.test.event." + std::to_string(run++);
    bool existed = true;
    pl::Waitable* a = pl::OpenNamed(name.c_str(), pl::NamedKind::kEvent, make, nullptr, &existed);
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(existed);
    pl::Waitable* b = pl::OpenNamed(name.c_str(), pl::NamedKind::kEvent, make, nullptr, &existed);
    EXPECT_TRUE(existed);
    EXPECT_EQ(a, b);
    EXPECT_EQ(pl::OpenNamed(name.c_str(), pl::NamedKind::kMutex, make, nullptr, nullptr), nullptr);
    EXPECT_EQ(pl::OpenNamed("", pl::NamedKind::kEvent, make, nullptr, nullptr), nullptr);
    static_cast<pl::Event*>(a)->Set();
    EXPECT_EQ(b->Wait(0), pl::kWaitSignaled);
    a->Close();
    b->Close();
}

TEST(PlatformTime, TickAndLocalTime) {
    const uint64_t t0 = pl::TickMs();
    pl::SleepMs(25);
    const uint64_t t1 = pl::TickMs();
    EXPECT_GE(t1 - t0, 24u);
    EXPECT_LT(t1 - t0, 2000u);
    struct tm lt;
    EXPECT_TRUE(pl::LocalTime(0, &lt));
    EXPECT_TRUE(lt.tm_year == 69 || lt.tm_year == 70);
    {
        // In a zone of known offset the whole date and time are known.
        kvotest::ScopedTimeZone zone("Asia/Shanghai");
        ASSERT_TRUE(pl::LocalTime(0, &lt));
        EXPECT_EQ(lt.tm_year, 70);
        EXPECT_EQ(lt.tm_mon, 0);
        EXPECT_EQ(lt.tm_mday, 1);
        EXPECT_EQ(lt.tm_hour, 8);
        EXPECT_EQ(lt.tm_min, 0);
        ASSERT_TRUE(pl::LocalTime(1745843696, &lt));  // 2025-04-28 12:34:56 UTC
        EXPECT_EQ(lt.tm_year, 125);
        EXPECT_EQ(lt.tm_mon, 3);
        EXPECT_EQ(lt.tm_mday, 28);
        EXPECT_EQ(lt.tm_hour, 20);
        EXPECT_EQ(lt.tm_min, 34);
        EXPECT_EQ(lt.tm_sec, 56);
    }
    EXPECT_FALSE(pl::LocalTime(INT64_MAX, &lt));
    EXPECT_EQ(lt.tm_year, 0);
}
