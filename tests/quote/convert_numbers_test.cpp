// The numbers of the output records against the plain readers, to the bit:
// every record family through its converter (and so through the number plan
// where the converter uses one), on columns of random kinds (absent columns
// and texts among them) and random words, with each number's source column
// and reading taken from the output records' field tables.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_plan.h"
#include "quote/superstock.h"
#include "tests/support/plain_numbers.h"
#include "tests/support/record_builder.h"

namespace {

// Packed words: no-value patterns, any bits, and well-formed numbers with
// small, large and limit magnitudes, every power, both signs, both forms.
uint32_t RandomPacked32(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return rng() % 2 ? 0x80000000u : 0xFFFFFFFFu;
        case 1: return uint32_t(rng());
        case 2: return uint32_t(rng() % 100000) | uint32_t(rng() & 0xF8000000u);
        default: return uint32_t(rng());
    }
}

uint64_t RandomPacked64(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return rng() % 2 ? 0x8000000000000000ull : ~0ull;
        case 1: return (0x03FFFFFFFFFFFFFFull - rng() % 4) | (rng() & 0xFC00000000000000ull);
        case 2: return (rng() % 10000000) | (rng() & 0xFC00000000000000ull);
        default: return rng();
    }
}

// One number of an output record: its source field id, its reading and its
// offset in the output record (kLow32 marks the snapshot's field_271, the
// low half of the integer reading).
struct Source {
    uint32_t field;
    int read;  // a NumberRead, or kLow32
    size_t at;
};
constexpr int kLow32 = 99;

constexpr NumberRead kDbl = NumberRead::kDouble, kI64 = NumberRead::kInt64, kI32 = NumberRead::kInt32,
                     kDblI64 = NumberRead::kDoubleToInt64, kDblI32 = NumberRead::kDoubleToInt32;

void Add(std::vector<Source>& v, std::initializer_list<uint32_t> ids, NumberRead read, size_t at, size_t step) {
    for (uint32_t id : ids) {
        v.push_back(Source{id, int(read), at});
        at += step;
    }
}

std::vector<Source> StockSources(bool snapshot) {
    using T = TickStock;
    NumberRead i32 = snapshot ? kDblI32 : kI32;
    std::vector<Source> v;
    Add(v, {6, 7, 8, 9, 10}, kDbl, offsetof(T, pre_price), 8);
    Add(v, {13}, kDblI64, offsetof(T, volume), 8);
    Add(v, {19}, kDbl, offsetof(T, turnover), 8);
    Add(v, {18}, kI64, offsetof(T, trade_num), 8);
    Add(v, {24, 26, 28, 150, 154, 102, 106, 110, 114, 118}, kDbl, offsetof(T, bidorder_price), 8);
    Add(v, {25, 27, 29, 151, 155, 103, 107, 111, 115, 119}, kI64, offsetof(T, bidorder_volume), 8);
    Add(v, {131, 132, 133, 134, 135, 136, 137, 138, 139, 140}, kI64, offsetof(T, bid_numorders), 8);
    Add(v, {30, 32, 34, 152, 156, 104, 108, 112, 116, 120}, kDbl, offsetof(T, askorder_price), 8);
    Add(v, {31, 33, 35, 153, 157, 105, 109, 113, 117, 121}, kI64, offsetof(T, askorder_volume), 8);
    Add(v, {181, 182, 183, 184, 185, 186, 187, 188, 189, 190}, kI64, offsetof(T, ask_numorders), 8);
    Add(v, {123, 125}, kI64, offsetof(T, totalbid_volume), 8);
    Add(v, {122, 124, 69, 70, 91, 80}, kDbl, offsetof(T, avgbid_price), 8);
    Add(v, {264}, i32, offsetof(T, withdraw_buynum), 4);
    Add(v, {265}, kI64, offsetof(T, withdraw_buyvolume), 8);
    Add(v, {266}, kDbl, offsetof(T, withdraw_buyturnover), 8);
    Add(v, {268}, i32, offsetof(T, withdraw_sellnum), 4);
    Add(v, {269}, kI64, offsetof(T, withdraw_sellvol), 8);
    Add(v, {270}, kDbl, offsetof(T, withdraw_sellturnover), 8);
    Add(v, {195, 196, 197, 198}, i32, offsetof(T, totalbid_num), 4);
    Add(v, {15, 14}, kDblI64, offsetof(T, inner_volume), 8);
    Add(v, {74}, kI64, offsetof(T, aftermarket_volume), 8);
    Add(v, {75}, i32, offsetof(T, aftermarket_volmount), 4);
    Add(v, {76, 77, 141}, kDbl, offsetof(T, field_76), 8);
    v.push_back(Source{271, snapshot ? kLow32 : int(kI32), offsetof(T, field_271)});
    return v;
}

std::vector<Source> IndexSources() {
    std::vector<Source> v;
    Add(v, {274, 275, 276, 277, 278}, kDbl, offsetof(TickIndex, pre_price), 8);
    Add(v, {13}, kDblI64, offsetof(TickIndex, volume), 8);
    Add(v, {19}, kDbl, offsetof(TickIndex, turnover), 8);
    Add(v, {18}, kI64, offsetof(TickIndex, trade_num), 8);
    return v;
}

std::vector<Source> FiveLevelSources() {
    using T = FiveLevelTick;
    std::vector<Source> v;
    Add(v, {66, 72, 7, 8, 9, 10, 6, 141}, kDbl, offsetof(T, field_66), 8);
    Add(v, {142, 73, 65}, kI32, offsetof(T, field_142), 4);
    Add(v, {24, 26, 28, 150, 154}, kDbl, offsetof(T, bidorder_price), 8);
    Add(v, {25, 27, 29, 151, 155}, kI32, offsetof(T, bidorder_volume), 4);
    Add(v, {30, 32, 34, 152, 156}, kDbl, offsetof(T, askorder_price), 8);
    Add(v, {31, 33, 35, 153, 157}, kI32, offsetof(T, askorder_volume), 4);
    Add(v, {13}, kDblI64, offsetof(T, volume), 8);
    Add(v, {19}, kDbl, offsetof(T, turnover), 8);
    return v;
}

std::vector<Source> TradeSources(uint32_t price, uint32_t buyIndex, uint32_t sellIndex) {
    using T = Transaction;
    std::vector<Source> v;
    Add(v, {1, 76, 73}, kI32, offsetof(T, index), 4);
    Add(v, {price}, kDbl, offsetof(T, price), 8);
    Add(v, {13}, kI32, offsetof(T, volume), 4);
    if (buyIndex != 0) Add(v, {buyIndex}, kI32, offsetof(T, buy_index), 4);
    if (sellIndex != 0) Add(v, {sellIndex}, kI32, offsetof(T, sell_index), 4);
    Add(v, {271}, kI32, offsetof(T, field_271), 4);
    return v;
}

std::vector<Source> OrderSources() {
    std::vector<Source> v;
    Add(v, {1, 76, 77, 73}, kI32, offsetof(OrderData, index), 4);
    Add(v, {10}, kDbl, offsetof(OrderData, price), 8);
    Add(v, {13}, kI32, offsetof(OrderData, volume), 4);
    Add(v, {271}, kI32, offsetof(OrderData, field_271), 4);
    return v;
}

// An image of `records` records with a code column and one column of a
// random numeric kind per source field, filled with random words.
rb::RecordImage RandomImage(const std::vector<Source>& sources, uint32_t records, std::mt19937_64& rng) {
    std::vector<rb::Column> cols = {{rb::kText | 5, 16}, {rb::kText | 55, 20}};
    for (const Source& s : sources) {
        static const uint32_t kinds[] = {rb::kP64, rb::kP32, rb::kI32, rb::kP64, rb::kP32, rb::kText};
        uint32_t kind = kinds[rng() % 6];
        if (rng() % 10 == 0) continue;  // no such column
        cols.push_back({kind | s.field, uint16_t(kind == rb::kP64 ? 8 : 4)});
    }
    rb::RecordImage img(cols, records);
    for (uint32_t r = 0; r < records; ++r) {
        img.SetText(r, 5, "\x11" "600000");
        for (size_t c = 2; c < cols.size(); ++c) {
            uint32_t id = cols[c].id & 0xFFF, kind = cols[c].id & 0x7000;
            if (kind == rb::kP64) img.SetU64(r, id, RandomPacked64(rng));
            else img.SetU32(r, id, kind == rb::kP32 ? RandomPacked32(rng) : uint32_t(rng()));
        }
    }
    img.codes = {{rb::Key("\x11" "600000"), 0, records}};
    return img;
}

// Each source's bytes in each output record against the plain reading of its
// column in the matching image record.
template <class Rec>
void ExpectSources(const rb::RecordImage& img, const std::vector<Source>& sources, const std::vector<Rec>& out) {
    ASSERT_EQ(out.size(), img.Count());
    for (uint32_t r = 0; r < img.Count(); ++r) {
        const uint8_t* rec = img.Data() + size_t(r) * img.RecordSize();
        for (const Source& s : sources) {
            QuoteFieldDescriptor d{};
            img.GetFieldInfo(s.field, &d);
            uint8_t want[8];
            size_t n = 8;
            auto put = [&](auto v) {
                memcpy(want, &v, sizeof v);
                n = sizeof v;
            };
            switch (s.read) {
                case int(kDbl): put(plain::FieldDouble(rec, d)); break;
                case int(kI64): put(plain::FieldInt64(rec, d)); break;
                case int(kI32): put(plain::FieldInt32(rec, d)); break;
                case int(kDblI64): put(plain::Truncate64(plain::FieldDouble(rec, d))); break;
                case int(kDblI32): put(plain::Truncate32(plain::FieldDouble(rec, d))); break;
                default: put(static_cast<int32_t>(static_cast<uint32_t>(plain::FieldInt64(rec, d)))); break;
            }
            const uint8_t* got = reinterpret_cast<const uint8_t*>(&out[r]) + s.at;
            ASSERT_EQ(memcmp(got, want, n), 0) << "record " << r << " field " << s.field;
        }
    }
}

// A host callback keeping the bytes of the records it gets (order queues:
// their head).
template <class Rec>
int32_t Deliver(void* handle, const void* records, uint32_t count, const PushTiming*) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(handle);
    const uint8_t* p = static_cast<const uint8_t*>(records);
    bytes->insert(bytes->end(), p, p + size_t(count) * sizeof(Rec));
    return 0;
}

template <class Rec>
std::vector<Rec> FromBytes(const std::vector<uint8_t>& bytes, size_t count) {
    std::vector<Rec> out(count);
    if (bytes.size() == count * sizeof(Rec)) memcpy(static_cast<void*>(out.data()), bytes.data(), bytes.size());
    return out;
}

TEST(ConvertedNumbers, EveryFamilyMatchesThePlainReaders) {
    std::mt19937_64 rng(4121);
    for (int round = 0; round < 50; ++round) {
        const uint32_t n = 1 + uint32_t(rng() % 40);
        {
            std::vector<Source> src = StockSources(false);
            rb::RecordImage img = RandomImage(src, n, rng);
            ConvertSession session;
            PushConvertContext ctx = rb::PushContext(img, &session);
            ctx.fnctickstock = &Deliver<TickStock>;
            rb::ReadAllRecords(img, &ConvertStockPush, &ctx);
            ExpectSources(img, src, rb::TakeRecords<TickStock>(&ctx.blocks));
        }
        {
            std::vector<Source> src = StockSources(true);
            rb::RecordImage img = RandomImage(src, n, rng);
            ConvertSession session;
            SnapshotConvertContext ctx = rb::SnapshotContext(img);
            ctx.stockList = &session.stockList;
            rb::ReadAllRecords(img, &ConvertStockSnapshot, &ctx);
            ExpectSources(img, src, rb::ListRecords<TickStock>(session.stockList));
        }
        {
            std::vector<Source> src = IndexSources();
            rb::RecordImage img = RandomImage(src, n, rng);
            std::vector<uint8_t> bytes;
            PushConvertContext ctx = rb::PushContext(img);
            ctx.fnctickindex = &Deliver<TickIndex>;
            ctx.instance = &bytes;
            rb::ReadAllRecords(img, &ConvertIndexPush, &ctx);
            ExpectSources(img, src, FromBytes<TickIndex>(bytes, n));
            ConvertSession session;
            SnapshotConvertContext snap = rb::SnapshotContext(img);
            snap.indexList = &session.indexList;
            rb::ReadAllRecords(img, &ConvertIndexSnapshot, &snap);
            ExpectSources(img, src, rb::ListRecords<TickIndex>(session.indexList));
        }
        {
            std::vector<Source> src = FiveLevelSources();
            rb::RecordImage img = RandomImage(src, n, rng);
            std::vector<uint8_t> bytes;
            PushConvertContext ctx = rb::PushContext(img);
            ctx.fncfivelevel = &Deliver<FiveLevelTick>;
            ctx.instance = &bytes;
            rb::ReadAllRecords(img, &ConvertFiveLevelPush, &ctx);
            ExpectSources(img, src, FromBytes<FiveLevelTick>(bytes, n));
        }
        struct CodeFamily {
            PushCodeConverter convert;
            std::vector<Source> sources;
        };
        const CodeFamily code[] = {{&ConvertTransactionPush, TradeSources(10, 74, 75)},
                                   {&ConvertBuyCancelPush, TradeSources(20, 37, 0)},
                                   {&ConvertSellCancelPush, TradeSources(20, 0, 37)}};
        for (const CodeFamily& f : code) {
            rb::RecordImage img = RandomImage(f.sources, n, rng);
            PushConvertContext ctx = rb::PushContext(img);
            rb::ReadCodes(img, f.convert, &ctx);
            ExpectSources(img, f.sources, rb::TakeRecords<Transaction>(&ctx.blocks));
        }
        {
            std::vector<Source> src = OrderSources();
            rb::RecordImage img = RandomImage(src, n, rng);
            PushConvertContext ctx = rb::PushContext(img);
            rb::ReadCodes(img, &ConvertOrderPush, &ctx);
            ExpectSources(img, src, rb::TakeRecords<OrderData>(&ctx.blocks));
        }
    }
}

// Order queues and super-stock books read their packed words without
// descriptors: the queue's price, and the levels of a book whose prices rise
// (bids, then asks) in one power of ten, with volumes of any word.
TEST(ConvertedNumbers, QueuesAndBooksMatchThePlainReaders) {
    std::mt19937_64 rng(4122);
    for (int round = 0; round < 200; ++round) {
        rb::RecordImage queue({{0x6000 | 900, 28 + 4}}, 1);
        uint32_t price = RandomPacked32(rng);
        uint64_t dt = rb::Packed64(20240105093000000ull, 0, false);
        memcpy(queue.Record(0), &dt, 8);
        memcpy(queue.Record(0) + 8, &price, 4);
        queue.codes = {{rb::Key("\x11" "600000"), 0, 1}};
        std::vector<uint8_t> bytes;
        PushConvertContext ctx = rb::PushContext(queue);
        ctx.fncorderqueue = &Deliver<OrderQueue>;
        ctx.instance = &bytes;
        rb::ReadCodes(queue, &ConvertBidQueuePush, &ctx);
        ASSERT_GE(bytes.size(), sizeof(OrderQueue));
        double want = plain::Double32(price), got;
        memcpy(&got, bytes.data() + offsetof(OrderQueue, price), 8);
        ASSERT_EQ(memcmp(&got, &want, 8), 0) << std::hex << price;

        rb::RecordImage book({{0x6000 | 950, kSuperStockRecordSize}}, 5);
        uint32_t head[5] = {kSuperStockMarker, 0, 2, 2, 1704418205u};
        memcpy(book.Record(0), head, sizeof head);
        unsigned power = unsigned(rng() % 8);
        bool divide = rng() % 2;
        // Prices at least 1 and 1 apart, so that no level merges with the
        // one before it.
        uint32_t base = 10000000u + uint32_t(rng() % (0x07FFFFFFu - 50000000u));
        uint32_t words[4][3];
        for (uint32_t i = 0; i < 4; ++i) {
            words[i][0] = rb::Packed32(base + i * 10000000u, power, divide);
            words[i][1] = RandomPacked32(rng);
            words[i][2] = i < 2 ? 1 : 2;
            memcpy(book.Record(1 + i), words[i], sizeof words[i]);
        }
        book.codes = {{rb::Key("\x11" "600000"), 0, 5}};
        PushConvertContext bookCtx = rb::PushContext(book);
        rb::ReadCodes(book, &ConvertSuperStockPush, &bookCtx);
        std::vector<SuperStock> s = rb::TakeRecords<SuperStock>(&bookCtx.blocks);
        ASSERT_EQ(s.size(), 1u);
        for (uint32_t i = 0; i < 4; ++i) {
            // Bids fill from the best (the higher price) down, asks upward.
            size_t at = i < 2 ? offsetof(SuperStock, bidorder_price) + 8 * (1 - i)
                              : offsetof(SuperStock, askorder_price) + 8 * (i - 2);
            double p = plain::Double32(words[i][0]);
            ASSERT_EQ(memcmp(reinterpret_cast<const uint8_t*>(&s[0]) + at, &p, 8), 0) << round << " " << i;
            int32_t v = plain::Truncate32(plain::Double32(words[i][1]));
            int64_t vol = v == INT32_MIN ? 0 : v;
            size_t vat = at + (offsetof(SuperStock, bidorder_volume) - offsetof(SuperStock, bidorder_price));
            ASSERT_EQ(memcmp(reinterpret_cast<const uint8_t*>(&s[0]) + vat, &vol, 8), 0) << round << " " << i;
        }
    }
}

}  // namespace
