#include "framework/tl_threadmgr.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Probe {
    std::int32_t value = 0;
    std::int32_t Get() { return value; }
};

TEST(ThreadManager, RecordsAreTakenLowestFirstAndGivenBackOnce) {
    CTLThreadManager manager;
    for (std::int32_t i = 0; i < CTLThreadManager::kMaxThreads; ++i) {
        ASSERT_EQ(manager.Register(1000 + i, "worker"), i);
    }
    EXPECT_EQ(manager.Register(9999, "one too many"), -1);
    EXPECT_EQ(manager.GetCount(), 200u);

    manager.Unregister(57);
    manager.Unregister(3);
    EXPECT_EQ(manager.GetCount(), 198u);
    manager.Unregister(57);  // twice: the count must not drop again
    manager.Unregister(-1);
    manager.Unregister(200);
    EXPECT_EQ(manager.GetCount(), 198u);

    TLThreadRecordInfo record;
    ASSERT_TRUE(manager.GetRecord(57, &record));
    EXPECT_EQ(record.inUse, 0);
    EXPECT_EQ(record.threadId, 0u);
    EXPECT_EQ(record.name, "NoNamed");
    EXPECT_EQ(record.checkFlag, 1);

    EXPECT_EQ(manager.Register(7, nullptr), 3) << "the lowest free record";
    EXPECT_EQ(manager.Register(8, "ReceieveThread"), 57);
    ASSERT_TRUE(manager.GetRecord(3, &record));
    EXPECT_EQ(record.name, "NoNamed") << "no name given keeps the free name";
    ASSERT_TRUE(manager.GetRecord(57, &record));
    EXPECT_EQ(record.inUse, 1);
    EXPECT_EQ(record.threadId, 8u);
    EXPECT_EQ(record.name, "ReceieveThread");
    EXPECT_FALSE(manager.GetRecord(200, &record));
}

TEST(ThreadManager, CallbacksAndWatchdog) {
    CTLThreadManager manager;
    const std::int32_t index = manager.Register(42, "processFeedBack");
    ASSERT_EQ(index, 0);
    Probe probe;
    probe.value = 17;
    const auto length = TLThreadCallback::Bind<&Probe::Get>(&probe);

    EXPECT_EQ(manager.SetCheckCallback(index, length, -1, 1), 0);
    TLThreadRecordInfo record;
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_EQ(record.checkInterval, 1500u);
    EXPECT_EQ(record.checkFlag, 1);
    EXPECT_EQ(record.check.Invoke(), 17);

    EXPECT_EQ(manager.SetCheckCallback(index, TLThreadCallback(), 250, 0), -1);
    EXPECT_EQ(manager.SetCheckCallback(CTLThreadManager::kMaxThreads, length, 250, 0), -1);
    EXPECT_EQ(manager.SetCheckCallback(-1, length, 250, 0), -1);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_EQ(record.checkInterval, 1500u) << "a refused call stores nothing";
    EXPECT_TRUE(record.check == length);
    EXPECT_EQ(manager.SetCheckCallback(index, length, 250, 0), 0);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_EQ(record.checkInterval, 250u);

    EXPECT_EQ(manager.SetInfoCallback(index, TLThreadCallback()), -1);
    EXPECT_EQ(manager.SetInfoCallback(index, length), 0);

    manager.SetWatchdog(index, 5000, 1);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_EQ(record.timeout, 5000u);
    EXPECT_EQ(record.armed, 1u);
    EXPECT_EQ(record.startTick, manager.GetCachedTick());
    manager.SetWatchdog(index, 0, 1);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_EQ(record.timeout, 0u);
    EXPECT_EQ(record.armed, 0u);
    EXPECT_EQ(record.startTick, 0u);
    manager.SetWatchdog(index, 100, 0);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_GE(record.startTick, manager.GetCachedTick());
    manager.SetWatchdog(CTLThreadManager::kMaxThreads, 100, 0);  // ignored

    manager.Unregister(index);
    ASSERT_TRUE(manager.GetRecord(index, &record));
    EXPECT_TRUE(record.check.IsNull());
    EXPECT_TRUE(record.info.IsNull());
    EXPECT_EQ(record.timeout, 0u);
    EXPECT_EQ(record.armed, 0u);

    EXPECT_EQ(CTLThreadManager::GetInstance(), CTLThreadManager::GetInstance());
}

TEST(SafeContainers, ListCapacityOrderAndClear) {
    CSafeList<void*, 10000, 2> list;
    int a, b, c;
    EXPECT_TRUE(list.PushBack(&a));
    EXPECT_TRUE(list.PushBack(&b));
    EXPECT_FALSE(list.PushBack(&c)) << "capacity 2";
    EXPECT_EQ(list.GetAt(0), &a);
    EXPECT_EQ(list.GetAt(1), &b);
    EXPECT_EQ(list.GetAt(2), nullptr);
    EXPECT_EQ(list.GetPushCount(), 2u);
    EXPECT_TRUE(list.Clear());
    EXPECT_EQ(list.GetPushCount(), 0u);
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_TRUE(list.PushBack(&c));
    void* out = nullptr;
    EXPECT_TRUE(list.PopFront(out));
    EXPECT_EQ(out, &c);
    EXPECT_FALSE(list.PopFront(out));

    CSafeList<void*> unbounded;
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unbounded.PushBack(&a));
    unbounded.SetCapacity(1000);
    EXPECT_FALSE(unbounded.PushBack(&a));

    CSafeMap<unsigned long, void*> map;
    EXPECT_TRUE(map.SetAt(5, &a));
    EXPECT_TRUE(map.SetAt(5, &b));
    void* value = nullptr;
    EXPECT_TRUE(map.Lookup(5, value));
    EXPECT_EQ(value, &b);
    EXPECT_FALSE(map.Lookup(6, value));
    EXPECT_TRUE(map.RemoveKey(5));
    EXPECT_EQ(map.GetCount(), 0u);
}

}  // namespace
