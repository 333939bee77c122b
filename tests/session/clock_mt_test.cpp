#include "session/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Every session's telemetry reads the CPU figure; concurrent readings share
// the previous sample and must only ever give -1 or a percentage.
TEST(ClockThreads, ConcurrentCpuReadings) {
    SessionClock::ResetCpuSample();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&bad] {
            for (int i = 0; i < 2000; ++i) {
                int32_t p = SessionClock::GetCpuPercent();
                if (p < -1 || p > 100) bad.fetch_add(1);
                uint64_t ws = 0;
                if (i % 200 == 0 && SessionClock::GetMemoryInfo(&ws, nullptr) != 0) bad.fetch_add(1);
                (void)SessionClock::GetNowMs();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
