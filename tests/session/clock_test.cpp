#include "session/clock.h"

#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include "tests/support/local_time.h"

namespace {

struct timespec g_fake {};

void FakeWall(struct timespec* now) { *now = g_fake; }

// Runs in Shanghai time (the zone is set before SetUp and put back after
// TearDown).
class ClockTest : public kvotest::ShanghaiTimeTest {
protected:
    void SetUp() override { SessionClock::ResetCpuSample(); }
    void TearDown() override {
        SessionClock::SetWallClock(nullptr);
        SessionClock::ResetCpuSample();
    }
    static void SetFake(time_t sec, long nsec) {
        g_fake.tv_sec = sec;
        g_fake.tv_nsec = nsec;
        SessionClock::SetWallClock(&FakeWall);
    }
};

// 2025-04-28 09:30:05.250 in Shanghai (UTC+8) is 01:30:05.250 UTC.
constexpr time_t kMorning = 1745803805;

TEST_F(ClockTest, ClocksInTheirUnits) {
    SetFake(kMorning, 250 * 1000000L + 999);
    EXPECT_EQ(SessionClock::GetNowMs(), uint64_t(kMorning) * 1000u + 250u);
    EXPECT_EQ(SessionClock::GetDayMs(), 34205250);
    EXPECT_EQ(SessionClock::GetTodayText(), "20250428");
    // One millisecond before local midnight.
    SetFake(kMorning + (14 * 3600 + 29 * 60 + 54), 999 * 1000000L);
    EXPECT_EQ(SessionClock::GetDayMs(), 86399999);
    EXPECT_EQ(SessionClock::GetTodayText(), "20250428");
}

TEST_F(ClockTest, RealClockIsCurrent) {
    uint64_t before = uint64_t(time(nullptr)) * 1000u;
    uint64_t now = SessionClock::GetNowMs();
    EXPECT_GE(now + 1000u, before);
    EXPECT_LE(now, before + 5000u);
    int32_t day = SessionClock::GetDayMs();
    EXPECT_GE(day, 0);
    EXPECT_LT(day, 86400000);
    EXPECT_EQ(SessionClock::GetTodayText().size(), 8u);
}

TEST_F(ClockTest, CpuPercentNeedsTwoReadingsAndElapsedTime) {
    SetFake(kMorning, 0);
    EXPECT_EQ(SessionClock::GetCpuPercent(), -1);  // first reading only stores
    EXPECT_EQ(SessionClock::GetCpuPercent(), -1);  // no wall time passed
    SetFake(kMorning + 1, 0);
    int32_t p = SessionClock::GetCpuPercent();
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
}

TEST_F(ClockTest, CpuPercentAfterBusyLoop) {
    EXPECT_EQ(SessionClock::GetCpuPercent(), -1);
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    volatile uint64_t sink = 0;
    for (;;) {
        for (int i = 0; i < 100000; ++i) sink = sink + uint64_t(i);
        struct timespec t {};
        clock_gettime(CLOCK_MONOTONIC, &t);
        if ((t.tv_sec - start.tv_sec) * 1000 + (t.tv_nsec - start.tv_nsec) / 1000000 >= 30) break;
    }
    int32_t p = SessionClock::GetCpuPercent();
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
}

uint64_t ProcessCpu100ns() {
    struct timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 10000000u + uint64_t(t.tv_nsec) / 100u;
}

int64_t Percent(int64_t dc, int64_t dt) { return (dc * 100 + dt / 2) / dt; }

// The figure is the process CPU time per processor over the wall time
// between the two readings, both in 100-ns units, rounded to the nearest
// percent. The wall interval is chosen so that the busy loop comes to about
// half of all processors.
TEST_F(ClockTest, CpuPercentIsProcessTimePerProcessorOverWallTime) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) n = 1;
    SetFake(kMorning, 0);
    uint64_t a = ProcessCpu100ns();
    ASSERT_EQ(SessionClock::GetCpuPercent(), -1);
    uint64_t b = ProcessCpu100ns();
    volatile uint64_t sink = 0;
    while (ProcessCpu100ns() - b < 200000u) {  // 20 ms of CPU
        for (int i = 0; i < 10000; ++i) sink = sink + uint64_t(i);
    }
    uint64_t c = ProcessCpu100ns();
    int64_t dt = int64_t(2 * (c - b) / uint64_t(n));  // 100-ns units
    SetFake(kMorning + dt / 10000000, long(dt % 10000000) * 100);
    int32_t p = SessionClock::GetCpuPercent();
    uint64_t d = ProcessCpu100ns();
    int64_t lo = Percent(int64_t((c - b) / uint64_t(n)) - 1, dt);
    int64_t hi = Percent(int64_t((d - a) / uint64_t(n)) + 1, dt);
    EXPECT_GE(p, lo > 100 ? 100 : lo) << "dt " << dt << " processors " << n;
    EXPECT_LE(p, hi > 100 ? 100 : hi) << "dt " << dt << " processors " << n;
    EXPECT_GT(p, 20);
    EXPECT_LT(p, 80);
}

TEST_F(ClockTest, MemoryInfo) {
    uint64_t ws = 0, pf = 0;
    ASSERT_EQ(SessionClock::GetMemoryInfo(&ws, &pf), 0);
    EXPECT_GT(ws, 0u);
    EXPECT_GT(pf, 0u);
    EXPECT_EQ(SessionClock::GetMemoryInfo(nullptr, nullptr), 0);
    uint64_t ws2 = 0;
    EXPECT_EQ(SessionClock::GetMemoryInfo(&ws2, nullptr), 0);
    EXPECT_GT(ws2, 0u);
}

}  // namespace
