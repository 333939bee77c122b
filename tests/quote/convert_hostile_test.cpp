// Converters fed images with hostile layouts and bytes: random column
// tables (any kind, any width, fields the converters read and others),
// random record bytes, short records and odd code runs. Nothing may be read
// outside the records handed over (AddressSanitizer watches every image in
// its own heap block), and every record that comes out has terminated
// market and code texts.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "quote/convert.h"
#include "quote/superstock.h"
#include "tests/support/record_builder.h"

namespace {

const uint32_t kFieldIds[] = {1,  5,  6,  7,  8,   9,   10,  12,  13,  14,  15,  18,  19,  20,  24,
                              25, 30, 31, 37, 55,  56,  65,  66,  69,  72,  73,  74,  75,  76,  77,
                              82, 83, 86, 89, 127, 131, 141, 142, 150, 181, 195, 264, 271, 272, 278};
const uint32_t kKinds[] = {0x0000, 0x1000, 0x2000, 0x3000, 0x4000, 0x7000};

bool TextsTerminated(const uint8_t* rec) { return memchr(rec, 0, 5) != nullptr && memchr(rec + 5, 0, 16) != nullptr; }

// Records of each kind handed to the host callbacks below.
template <class Rec>
int& Delivered() {
    static int n = 0;
    return n;
}

// Reads the first and the last of n bytes handed to the host.
void Touch(const void* records, size_t n) {
    const volatile uint8_t* p = static_cast<const uint8_t*>(records);
    (void)p[0];
    (void)p[n - 1];
}

// Host callbacks of the fixed-size records: every record the host may read
// is there and has terminated texts.
template <class Rec>
int32_t Sink(void*, const void* records, uint32_t count, const PushTiming*) {
    Delivered<Rec>() += int(count);
    EXPECT_GT(count, 0u);
    if (count == 0) return 0;
    Touch(records, size_t(count) * sizeof(Rec));
    const uint8_t* p = static_cast<const uint8_t*>(records);
    for (uint32_t i = 0; i < count; ++i) EXPECT_TRUE(TextsTerminated(p + size_t(i) * sizeof(Rec)));
    return 0;
}

// Order queues come one per callback, as long as their volume count says.
int32_t QueueSink(void*, const void* records, uint32_t count, const PushTiming*) {
    Delivered<OrderQueue>() += int(count);
    EXPECT_EQ(count, 1u);
    OrderQueue head;
    memcpy(&head, records, sizeof head);
    const int32_t volumes = head.show_number;
    EXPECT_GE(volumes, 0);
    if (volumes < 0) return 0;
    Touch(records, KvoOrderQueueSize(uint32_t(volumes)));
    EXPECT_TRUE(TextsTerminated(static_cast<const uint8_t*>(records)));
    return 0;
}

TEST(HostileImages, ConvertersStayInsideTheirRecords) {
    std::mt19937 rng(20240105);
    ConvertSession session;
    int records = 0;
    for (int round = 0; round < 1000; ++round) {
        std::vector<rb::Column> cols;
        int n = 1 + int(rng() % 24);
        for (int i = 0; i < n; ++i)
            cols.push_back({kKinds[rng() % 6] | kFieldIds[rng() % (sizeof kFieldIds / sizeof kFieldIds[0])],
                            uint16_t(rng() % 21)});
        if (rng() % 4 == 0) cols.push_back({0x2000 | 999, uint16_t(20 + rng() % 200)});  // long records
        uint32_t count = 1 + rng() % 6;
        rb::RecordImage img(cols, count, rng() % 3);
        if (img.RecordSize() == 0) continue;
        for (uint8_t& b : img.Bytes()) b = uint8_t(rng());
        // Copy the records into a block of exactly their size.
        std::vector<uint8_t> exact(img.Bytes());
        uint32_t first = rng() % count;
        // Half the code runs start like a super-stock block.
        if ((rng() & 1) && img.RecordSize() >= 4) memset(exact.data() + size_t(first) * img.RecordSize(), 0xFF, 4);
        img.codes = {{std::string(1, char(rng())) + "0000" + char('0' + rng() % 10), first, count - first}};

        PushConvertContext ctx = rb::PushContext(img, (round % 2) ? &session : nullptr);
        ctx.instance = nullptr;
        ctx.fnctickindex = &Sink<TickIndex>;
        ctx.fnctickstock = &Sink<TickStock>;
        ctx.fncfivelevel = &Sink<FiveLevelTick>;
        ctx.fncorderqueue = &QueueSink;
        ctx.datatime = uint64_t(rng()) * rng();
        ConvertIndexPush(&ctx, exact.data(), int32_t(count));
        ConvertStockPush(&ctx, exact.data(), int32_t(count));
        ConvertFiveLevelPush(&ctx, exact.data(), int32_t(count));
        const uint8_t* run = exact.data() + size_t(first) * img.RecordSize();
        int32_t runCount = int32_t(count - first);
        std::string key = rb::Key(img.codes[0].key);
        for (uint32_t type : {4u, 5u, 6u, 7u, 8u, 9u, 11u}) PushCodeConverterFor(type)(&ctx, key.data(), run, runCount);

        SnapshotConvertContext snap = rb::SnapshotContext(img);
        snap.indexList = &session.indexList;
        snap.stockList = &session.stockList;
        snap.superStockList = &session.superStockList;
        ConvertIndexSnapshot(&snap, exact.data(), int32_t(count));
        ConvertStockSnapshot(&snap, exact.data(), int32_t(count));
        ConvertSuperStockSnapshot(&snap, key.data(), run, runCount);

        for (const RecordBlock& b : ctx.blocks) {
            ASSERT_NE(b.records, nullptr);
            records += int(b.count);
            EXPECT_TRUE(TextsTerminated(static_cast<const uint8_t*>(b.records)));
        }
        FreeRecordBlocks(&ctx.blocks);
    }
    for (RecordList* l : {&session.indexList, &session.stockList, &session.superStockList}) {
        for (uint32_t i = 0; i < l->Count(); ++i) EXPECT_TRUE(TextsTerminated(l->Data() + size_t(i) * l->RecordSize()));
    }
    EXPECT_GT(records, 0);
    EXPECT_GT(Delivered<TickIndex>(), 0);
    EXPECT_GT(Delivered<FiveLevelTick>(), 0);
    EXPECT_GT(Delivered<OrderQueue>(), 0);
}

}  // namespace
