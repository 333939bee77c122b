#include "framework/tl_threadmgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(SafeContainersMt, ABusyLockRefusesAfterTheLockWait) {
    CSafeList<void*, 50, 0> list;
    CSafeMap<unsigned long, void*, 50> map;
    std::atomic<bool> held{false};
    std::atomic<bool> done{false};
    std::thread holder([&] {
        list.GetMutex()->Lock();
        map.GetMutex()->Lock();
        held = true;
        while (!done) std::this_thread::yield();
        map.GetMutex()->Unlock();
        list.GetMutex()->Unlock();
    });
    while (!held) std::this_thread::yield();
    int a;
    EXPECT_FALSE(list.PushBack(&a));
    EXPECT_EQ(list.GetAt(0), nullptr);
    EXPECT_FALSE(map.SetAt(1, &a));
    done = true;
    holder.join();
    EXPECT_TRUE(list.PushBack(&a));
    EXPECT_TRUE(map.SetAt(1, &a));
}

TEST(ThreadManagerMt, ConcurrentRegistrationsGetDistinctRecords) {
    CTLThreadManager manager;
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::atomic<bool> duplicate{false};
    std::vector<std::atomic<int>> owners(CTLThreadManager::kMaxThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::int32_t index = manager.Register(static_cast<std::uint32_t>(t), "w");
                if (index < 0) continue;
                if (owners[index].fetch_add(1) != 0) duplicate = true;
                manager.SetWatchdog(index, 5000, 1);
                manager.SetWatchdog(index, 0, 1);
                owners[index].fetch_sub(1);
                manager.Unregister(index);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(duplicate);
    EXPECT_EQ(manager.GetCount(), 0u);
}

}  // namespace
