// Framework threads: start and prompt cooperative stop, the stop policy for
// a thread that ignores its flag, joins, thread helpers and atomics.
#include "framework/tl_thread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "framework/tl_log.h"
#include "tests/support/temp_dir.h"

using corvane::CTL_Thread;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class CountingThread : public CTL_Thread {
public:
    void Run() override {
        while (IsRunning()) {
            ++passes;
            WaitForStop(10000);  // a long interruptible wait
        }
    }
    std::atomic<int> passes{0};
};

// A Run that does not look at the running flag.
class StubbornThread : public CTL_Thread {
public:
    void Run() override {
        started = true;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
};

uint32_t Routine(void* ctx) {
    auto* tid = static_cast<std::atomic<uint32_t>*>(ctx);
    tid->store(TL_GetCurrentThreadId());
    TL_Sleep(50);
    return 7;
}

}  // namespace

TEST(Threads, StartAndPromptStop) {
    CountingThread t;
    EXPECT_EQ(t.Start(), 1);
    EXPECT_EQ(t.Start(), 0);  // already running
    EXPECT_TRUE(t.IsRunning());
    while (t.passes.load() == 0) TL_Sleep(1);
    auto t0 = Clock::now();
    EXPECT_EQ(t.Stop(2000), 1);
    EXPECT_LT(MsSince(t0), 1000);  // woken, not waiting out its 10 s
    EXPECT_TRUE(t.IsEnded());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.passes.load(), 1);
    // A stopped thread can be started again.
    EXPECT_EQ(t.Start(), 1);
    while (t.passes.load() < 2) TL_Sleep(1);
    EXPECT_EQ(t.Stop(2000), 1);
}

TEST(Threads, BaseRunStopsPromptly) {
    CTL_Thread t;  // the base Run waits 1000 ms at a time
    ASSERT_EQ(t.Start(), 1);
    TL_Sleep(20);
    auto t0 = Clock::now();
    EXPECT_EQ(t.Stop(2000), 1);
    EXPECT_LT(MsSince(t0), 900);
    EXPECT_EQ(t.Stop(10), 1);  // nothing left to stop
}

TEST(Threads, StopOfThreadIgnoringFlagGivesUpAfterTimeout) {
    auto* t = new StubbornThread;
    ASSERT_EQ(t->Start(), 1);
    while (!t->started.load()) TL_Sleep(1);
    auto t0 = Clock::now();
    EXPECT_EQ(t->Stop(2000), 0);  // reports not ended
    const int64_t took = MsSince(t0);
    EXPECT_GE(took, 1990);
    EXPECT_LT(took, 3500);
    EXPECT_TRUE(t->IsAbandoned());
    EXPECT_FALSE(t->IsEnded());
    EXPECT_EQ(t->Start(), 0);  // the object still belongs to the running thread
    // Asking again must not report the still running thread as ended.
    EXPECT_EQ(t->Stop(50), 0);
    EXPECT_EQ(t->Join(0), 0);
    // The detached thread runs on and uses its object; once it has finished,
    // a Stop reports it ended and the object may be reused or go.
    t->release = true;
    EXPECT_EQ(t->Join(5000), 1);
    EXPECT_EQ(t->Stop(5000), 1);
    EXPECT_TRUE(t->IsEnded());
    t->release = false;
    t->started = false;
    ASSERT_EQ(t->Start(), 1);
    while (!t->started.load()) TL_Sleep(1);
    t->release = true;
    EXPECT_EQ(t->Stop(5000), 1);
    delete t;
}

TEST(Threads, StopAndReleaseLeavesObjectToRunningThread) {
    auto* t = new StubbornThread;
    ASSERT_EQ(t->Start(), 1);
    while (!t->started.load()) TL_Sleep(1);
    CTL_Thread::StopAndRelease(t, 100);
    // Not deleted: the thread still uses it (ASan would see a use after free).
    t->release = true;
    while (!t->IsEnded()) TL_Sleep(1);
    TL_Sleep(20);
    delete t;

    auto* quick = new CountingThread;
    ASSERT_EQ(quick->Start(), 1);
    CTL_Thread::StopAndRelease(quick, 2000);  // deleted (ASan: no leak)
    CTL_Thread::StopAndRelease(nullptr, 10);
}

// Honours the stop request but needs a while to leave its Run.
class SlowLeaver : public CTL_Thread {
public:
    void Run() override {
        entered = true;
        while (IsRunning()) WaitForStop(10000);
        TL_Sleep(100);
    }
    std::atomic<bool> entered{false};
};

TEST(Threads, DeleteOfRunningThreadStopsItFirst) {
    // Deleted without Stop: the object must outlive the thread's last touch of
    // it, the ended flag set after Run (ASan reports a use after free).
    auto* t = new SlowLeaver;
    ASSERT_EQ(t->Start(), 1);
    while (!t->entered.load()) TL_Sleep(1);  // Run is under way before the delete
    auto t0 = Clock::now();
    delete t;
    const int64_t took = MsSince(t0);
    EXPECT_GE(took, 90);    // waited for the thread to leave
    EXPECT_LT(took, 1500);  // woken at once, not after its 10 s wait
    TL_Sleep(200);          // a thread left running would now touch freed memory

    auto* base = new CTL_Thread;  // the base Run waits 1000 ms at a time
    ASSERT_EQ(base->Start(), 1);
    TL_Sleep(20);
    t0 = Clock::now();
    delete base;
    EXPECT_LT(MsSince(t0), 900);
}

// Stops itself after its first pass.
class SelfStopper : public CTL_Thread {
public:
    void Run() override {
        while (IsRunning()) {
            auto t0 = Clock::now();
            self_stop_result = Stop(2000);
            self_stop_ms = MsSince(t0);
            WaitForStop(10000);
        }
    }
    std::atomic<int> self_stop_result{-1};
    std::atomic<int64_t> self_stop_ms{-1};
};

TEST(Threads, StopFromOwnThreadDoesNotWaitForItself) {
    SelfStopper t;
    ASSERT_EQ(t.Start(), 1);
    EXPECT_EQ(t.Join(5000), 1);  // the loop ended at once
    EXPECT_EQ(t.self_stop_result.load(), 0);
    EXPECT_LT(t.self_stop_ms.load(), 1000);
    EXPECT_FALSE(t.IsAbandoned());
    EXPECT_EQ(t.Stop(2000), 1);  // the owner reclaims it
    EXPECT_FALSE(t.IsStarted());
}

TEST(Threads, JoinWaitsWithoutStopping) {
    StubbornThread t;
    ASSERT_EQ(t.Start(), 1);
    EXPECT_EQ(t.Join(50), 0);
    t.release = true;
    EXPECT_EQ(t.Join(5000), 1);
    EXPECT_TRUE(t.IsEnded());
    EXPECT_EQ(t.Stop(100), 1);
}

TEST(ThreadHelpers, CreateWaitAndIds) {
    std::atomic<uint32_t> seen{0};
    uint32_t tid = 0;
    TLHandle h = TL_CreateThread(&Routine, &seen, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, TL_GetCurrentThreadId());
    EXPECT_EQ(TL_WaitThread(h, 0), 0);
    EXPECT_EQ(TL_WaitThread(h, 5000), 1);
    EXPECT_EQ(seen.load(), tid);
    EXPECT_EQ(TL_WaitForObject(h, 0), TL_WAIT_OBJECT_0);
    EXPECT_EQ(TL_TerminateThread(h), 1);  // already ended
    EXPECT_EQ(TL_CloseHandle(h), 1);
    EXPECT_EQ(TL_WaitThread(nullptr, 0), 1);
    EXPECT_EQ(TL_WaitThreadExit(nullptr, nullptr, 0), 1);
    EXPECT_EQ(TL_TerminateThread(nullptr), 0);
    EXPECT_EQ(TL_CreateThread(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(TL_GetCurrentProcessId(), static_cast<uint32_t>(getpid()));
}

TEST(ThreadHelpers, WaitThreadExitReadsEndedFlag) {
    std::atomic<uint8_t> ended{0};
    struct Ctx {
        std::atomic<uint8_t>* ended;
    } ctx{&ended};
    TLHandle h = TL_CreateThread(
        [](void* p) -> uint32_t {
            TL_Sleep(60);
            static_cast<Ctx*>(p)->ended->store(1);
            return 0;
        },
        &ctx, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TL_WaitThreadExit(h, &ended, 3000), 1);
    EXPECT_EQ(TL_JoinThread(h, 3000), 1);
    TL_CloseHandle(h);
}

TEST(ThreadHelpers, WaitThreadExitCountsAFinishedThreadAsEnded) {
    kvotest::DefaultLogFile log("kvo_thread_log");
    EXPECT_EQ(TL_SetLogLevel(0, 1), 0);  // level-1 lines get through
    // The routine returns without ever setting the flag.
    std::atomic<uint8_t> never{0};
    TLHandle h = TL_CreateThread([](void*) -> uint32_t { return 0; }, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    auto t0 = Clock::now();
    EXPECT_EQ(TL_WaitThreadExit(h, &never, 3000), 1);
    EXPECT_LT(MsSince(t0), 1500);
    TL_CloseHandle(h);

    // The flag is set while the thread still has work before it returns: it is
    // ended, not a thread that failed to stop.
    std::atomic<uint8_t> ended{0};
    std::atomic<bool> go_on{false};
    struct Ctx {
        std::atomic<uint8_t>* ended;
        std::atomic<bool>* go_on;
    } ctx{&ended, &go_on};
    h = TL_CreateThread(
        [](void* p) -> uint32_t {
            auto* c = static_cast<Ctx*>(p);
            c->ended->store(1);
            while (!c->go_on->load()) TL_Sleep(1);
            return 0;
        },
        &ctx, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TL_WaitThreadExit(h, &ended, 3000), 1);
    go_on = true;
    EXPECT_EQ(TL_JoinThread(h, 3000), 1);
    TL_CloseHandle(h);
    EXPECT_EQ(log.Text().find("did not stop"), std::string::npos) << log.Text();
}

TEST(ThreadHelpers, TimeAndTicks) {
    int64_t stored = 0;
    const int64_t now = TL_Time(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_GT(now, 1600000000);
    struct tm out {};
    struct tm* lt = TL_LocalTime(now, &out);
    ASSERT_NE(lt, nullptr);
    EXPECT_EQ(out.tm_year, lt->tm_year);
    EXPECT_GE(out.tm_year, 120);
    const uint64_t t0 = TL_GetTickCount64();
    TL_Sleep(30);
    EXPECT_GE(TL_GetTickCount64() - t0, 29u);
    char* end = nullptr;
    EXPECT_EQ(TL_StrToLong("-42x", &end, 10), -42);
    EXPECT_EQ(*end, 'x');
    EXPECT_EQ(TL_StrToLong("ff", nullptr, 16), 255);
    // 32-bit results: out-of-range texts saturate rather than wrap.
    errno = 0;
    EXPECT_EQ(TL_StrToLong("4294967297", &end, 10), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(TL_StrToLong("-2147483649", nullptr, 10), -2147483647L - 1);
    errno = 0;
    EXPECT_EQ(TL_StrToLong("2147483647", nullptr, 10), 2147483647L);
    EXPECT_EQ(errno, 0);
}

TEST(ThreadHelpers, InterlockedCountersUnderContention) {
    int32_t counter = 0;
    int32_t cas_counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            TL_InterlockedIncrement(&counter);
            for (;;) {
                int32_t old = __atomic_load_n(&cas_counter, __ATOMIC_SEQ_CST);
                if (TL_InterlockedCompareExchange(&cas_counter, old + 1, old) == old) break;
            }
        }
    };
    std::thread a(work), b(work), c(work), d(work);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(cas_counter, 40000);
}
