#include "quote/convert.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "quote/superstock.h"
#include "tests/support/record_builder.h"

namespace {

// Index and super-stock snapshots of several host threads append to one
// session's result lists while a query thread empties and reads them under
// the list's mutex, as the snapshot queries do.
TEST(ConvertThreads, SnapshotListsSharedByHostThreads) {
    rb::RecordImage index({{rb::kText | 5, 8}, {rb::kI32 | 1, 4}, {rb::kP64 | 278, 8}}, 20);
    for (uint32_t i = 0; i < 20; ++i) {
        index.SetText(i, 5,
                      "\x10"
                      "1A0001");
        index.SetU32(i, 1, 1704418205u);
        index.SetU64(i, 278, rb::Price64(3000 + i, 0));
    }
    rb::RecordImage books({{rb::kText | 950, 20}}, 3);
    uint32_t head[5] = {0xFFFFFFFFu, 1, 1, 1, 1704418205u};
    memcpy(books.Record(0), head, sizeof head);
    uint32_t bid[3] = {rb::Price32(9.99, 2), 100, 1}, ask[3] = {rb::Price32(10.01, 2), 100, 2};
    memcpy(books.Record(1), bid, sizeof bid);
    memcpy(books.Record(2), ask, sizeof ask);
    books.codes = {
        {"\x11"
         "600000",
         0, 3}};

    ConvertSession session;
    std::atomic<bool> stop{false};
    std::atomic<int> tornRecords{0};
    std::thread reader([&] {
        while (!stop.load()) {
            corvane::CTLSingleLock g(&session.indexList.Mutex(), 1);
            // Every record seen under the lock is whole.
            for (uint32_t i = 0; i < session.indexList.Count(); ++i) {
                TickIndex r;
                memcpy(&r, session.indexList.Data() + size_t(i) * sizeof r, sizeof r);
                if (memcmp(r.market, "USHI", 5) != 0 || memcmp(r.code, "000001", 7) != 0) tornRecords.fetch_add(1);
            }
            session.indexList.Clear();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                SnapshotConvertContext ctx = rb::SnapshotContext(index);
                ctx.indexList = &session.indexList;
                ctx.superStockList = &session.superStockList;
                ConvertIndexSnapshot(&ctx, index.Data(), int32_t(index.Count()));
                ctx.image = &books;
                ctx.record_size = books.RecordSize();
                rb::ReadCodes(books, &ConvertSuperStockSnapshot, &ctx);
            }
        });
    }
    for (auto& w : writers) w.join();
    stop.store(true);
    reader.join();
    EXPECT_EQ(tornRecords.load(), 0);
    corvane::CTLSingleLock g(&session.superStockList.Mutex(), 1);
    EXPECT_EQ(session.superStockList.Count(), 600u);
}

// Push workers of different sessions convert at once; each session's
// descriptor caches belong to its own worker.
TEST(ConvertThreads, SessionsConvertIndependently) {
    auto worker = [](uint32_t seed, std::atomic<int>* wrong) {
        rb::RecordImage img({{rb::kText | 5, 8}, {rb::kP64 | 10, 8}}, 50);
        for (uint32_t i = 0; i < 50; ++i) {
            img.SetText(i, 5,
                        "\x11"
                        "600000");
            img.SetU64(i, 10, rb::Price64(seed + i, 0));
        }
        ConvertSession session;
        int32_t (*cb)(void*, const void*, uint32_t, const PushTiming*) = [](void*, const void*, uint32_t,
                                                                            const PushTiming*) { return 0; };
        for (int round = 0; round < 100; ++round) {
            PushConvertContext ctx = rb::PushContext(img, &session);
            ctx.fnctickstock = cb;
            ConvertStockPush(&ctx, img.Data(), 50);
            TickStock s;
            memcpy(&s, static_cast<const uint8_t*>(ctx.blocks.at(0).records) + 49 * sizeof s, sizeof s);
            if (s.new_price != double(seed + 49)) wrong->fetch_add(1);
            FreeRecordBlocks(&ctx.blocks);
        }
    };
    std::atomic<int> wrong{0};
    std::thread a(worker, 100u, &wrong), b(worker, 5000u, &wrong);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
