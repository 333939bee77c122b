// The numbers of every record family's output against the plain readers, to
// the bit, on columns of random kinds (absent and text columns among them)
// filled with random words. Each number's column and reading are listed here
// as the output records' field tables give them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_plan.h"
#include "tests/support/plain_numbers.h"
#include "tests/support/record_builder.h"

namespace {

// A word of a column: no value, a well-formed number of small magnitude with
// any power, sign and form, or any bits.
uint64_t RandomWord(bool wide, std::mt19937_64& rng) {
    switch (rng() % 8) {
    case 0:
        return wide ? (rng() % 2 ? 0x8000000000000000ull : ~0ull) : (rng() % 2 ? 0x80000000u : 0xFFFFFFFFu);
    case 1:
        return (rng() % 10000000) | (rng() & (wide ? 0xFC00000000000000ull : 0xF8000000u));
    default:
        return rng();
    }
}

// Output numbers: consecutive fields from offset `at`, each as wide as its
// reading, read from the columns of `ids` as `read` tells (a NumberRead, or
// kLow32: the low half of the integer reading).
struct Group {
    std::vector<uint32_t> ids;
    int read;
    size_t at;
};
using Groups = std::vector<Group>;
constexpr int kDbl = int(NumberRead::kDouble), kI64 = int(NumberRead::kInt64), kI32 = int(NumberRead::kInt32),
              kDblI64 = int(NumberRead::kDoubleToInt64), kDblI32 = int(NumberRead::kDoubleToInt32), kLow32 = 99;

Groups StockSources(bool snapshot) {
    using T = TickStock;
    const int i32 = snapshot ? kDblI32 : kI32;
    return {{{6, 7, 8, 9, 10}, kDbl, offsetof(T, pre_price)},
            {{13}, kDblI64, offsetof(T, volume)},
            {{19}, kDbl, offsetof(T, turnover)},
            {{18}, kI64, offsetof(T, trade_num)},
            {{24, 26, 28, 150, 154, 102, 106, 110, 114, 118}, kDbl, offsetof(T, bidorder_price)},
            {{25, 27, 29, 151, 155, 103, 107, 111, 115, 119}, kI64, offsetof(T, bidorder_volume)},
            {{131, 132, 133, 134, 135, 136, 137, 138, 139, 140}, kI64, offsetof(T, bid_numorders)},
            {{30, 32, 34, 152, 156, 104, 108, 112, 116, 120}, kDbl, offsetof(T, askorder_price)},
            {{31, 33, 35, 153, 157, 105, 109, 113, 117, 121}, kI64, offsetof(T, askorder_volume)},
            {{181, 182, 183, 184, 185, 186, 187, 188, 189, 190}, kI64, offsetof(T, ask_numorders)},
            {{123, 125}, kI64, offsetof(T, totalbid_volume)},
            {{122, 124, 69, 70, 91, 80}, kDbl, offsetof(T, avgbid_price)},
            {{264}, i32, offsetof(T, withdraw_buynum)},
            {{265}, kI64, offsetof(T, withdraw_buyvolume)},
            {{266}, kDbl, offsetof(T, withdraw_buyturnover)},
            {{268}, i32, offsetof(T, withdraw_sellnum)},
            {{269}, kI64, offsetof(T, withdraw_sellvol)},
            {{270}, kDbl, offsetof(T, withdraw_sellturnover)},
            {{195, 196, 197, 198}, i32, offsetof(T, totalbid_num)},
            {{15, 14}, kDblI64, offsetof(T, inner_volume)},
            {{74}, kI64, offsetof(T, aftermarket_volume)},
            {{75}, i32, offsetof(T, aftermarket_volmount)},
            {{76, 77, 141}, kDbl, offsetof(T, field_76)},
            {{271}, snapshot ? kLow32 : kI32, offsetof(T, field_271)}};
}

Groups IndexSources() {
    using T = TickIndex;
    return {{{274, 275, 276, 277, 278}, kDbl, offsetof(T, pre_price)},
            {{13}, kDblI64, offsetof(T, volume)},
            {{19}, kDbl, offsetof(T, turnover)},
            {{18}, kI64, offsetof(T, trade_num)}};
}

Groups FiveLevelSources() {
    using T = FiveLevelTick;
    return {{{66, 72, 7, 8, 9, 10, 6, 141}, kDbl, offsetof(T, field_66)},
            {{142, 73, 65}, kI32, offsetof(T, field_142)},
            {{24, 26, 28, 150, 154}, kDbl, offsetof(T, bidorder_price)},
            {{13}, kDblI64, offsetof(T, volume)},
            {{25, 27, 29, 151, 155}, kI32, offsetof(T, bidorder_volume)},
            {{19}, kDbl, offsetof(T, turnover)},
            {{30, 32, 34, 152, 156}, kDbl, offsetof(T, askorder_price)},
            {{31, 33, 35, 153, 157}, kI32, offsetof(T, askorder_volume)}};
}

// Transactions and cancellations (a side index of 0: no such field).
Groups TradeSources(uint32_t price, uint32_t buyIndex, uint32_t sellIndex) {
    using T = Transaction;
    Groups v = {{{1, 76, 73}, kI32, offsetof(T, index)},
                {{price}, kDbl, offsetof(T, price)},
                {{13}, kI32, offsetof(T, volume)},
                {{271}, kI32, offsetof(T, field_271)}};
    if (buyIndex != 0) v.push_back({{buyIndex}, kI32, offsetof(T, buy_index)});
    if (sellIndex != 0) v.push_back({{sellIndex}, kI32, offsetof(T, sell_index)});
    return v;
}

Groups OrderSources() {
    using T = OrderData;
    return {{{1, 76, 77, 73}, kI32, offsetof(T, index)},
            {{10}, kDbl, offsetof(T, price)},
            {{13}, kI32, offsetof(T, volume)},
            {{271}, kI32, offsetof(T, field_271)}};
}

// `records` records of one code: code columns and, per source field, a
// column of a random numeric or text kind (or none) holding random words.
rb::RecordImage RandomImage(const Groups& sources, uint32_t records, std::mt19937_64& rng) {
    std::vector<rb::Column> cols = {{rb::kText | 5, 16}, {rb::kText | 55, 20}};
    for (const Group& g : sources)
        for (uint32_t id : g.ids) {
            static const uint32_t kinds[] = {rb::kP64, rb::kP32, rb::kI32, rb::kP64, rb::kP32, rb::kText};
            uint32_t kind = kinds[rng() % 6];
            if (rng() % 10 != 0) cols.push_back({kind | id, uint16_t(kind == rb::kP64 ? 8 : 4)});
        }
    rb::RecordImage img(cols, records);
    for (uint32_t r = 0; r < records; ++r) {
        img.SetText(r, 5,
                    "\x11"
                    "600000");
        for (size_t c = 2; c < cols.size(); ++c) {
            uint32_t id = cols[c].id & 0xFFF, kind = cols[c].id & 0x7000;
            if (kind == rb::kP64)
                img.SetU64(r, id, RandomWord(true, rng));
            else
                img.SetU32(r, id, uint32_t(RandomWord(false, rng)));
        }
    }
    img.codes = {{rb::Key("\x11"
                          "600000"),
                  0, records}};
    return img;
}

template <class Rec>
void ExpectSources(const rb::RecordImage& img, const Groups& sources, const std::vector<Rec>& out) {
    ASSERT_EQ(out.size(), img.Count());
    for (uint32_t r = 0; r < img.Count(); ++r) {
        const uint8_t* rec = img.Data() + size_t(r) * img.RecordSize();
        for (const Group& g : sources)
            for (size_t i = 0; i < g.ids.size(); ++i) {
                QuoteFieldDescriptor d{};
                img.GetFieldInfo(g.ids[i], &d);
                uint8_t want[8];
                size_t n = 0;
                auto put = [&](auto v) { memcpy(want, &v, n = sizeof v); };
                switch (g.read) {
                case kDbl:
                    put(plain::FieldDouble(rec, d));
                    break;
                case kI64:
                    put(plain::FieldInt64(rec, d));
                    break;
                case kI32:
                    put(plain::FieldInt32(rec, d));
                    break;
                case kDblI64:
                    put(plain::Truncate64(plain::FieldDouble(rec, d)));
                    break;
                case kDblI32:
                    put(plain::Truncate32(plain::FieldDouble(rec, d)));
                    break;
                default:
                    put(static_cast<int32_t>(plain::FieldInt64(rec, d)));
                    break;
                }
                ASSERT_EQ(memcmp(reinterpret_cast<const uint8_t*>(&out[r]) + g.at + i * n, want, n), 0)
                    << "record " << r << " field " << g.ids[i];
            }
    }
}

// A host callback keeping the records it gets.
template <class Rec>
int32_t Keep(void* handle, const void* records, uint32_t count, const PushTiming*) {
    auto* out = static_cast<std::vector<Rec>*>(handle);
    out->resize(out->size() + count);
    memcpy(static_cast<void*>(out->data() + out->size() - count), records, count * sizeof(Rec));
    return 0;
}

// The records a push converter (record-wise or by code) hands the host
// callback `slot` or leaves in blocks for the push processing.
template <class Rec, class Convert>
std::vector<Rec> Pushed(rb::RecordImage& img, Convert convert, QuoteDataCallback PushConvertContext::*slot = nullptr) {
    std::vector<Rec> out;
    ConvertSession session;
    PushConvertContext ctx = rb::PushContext(img, &session);
    if (slot != nullptr) ctx.*slot = &Keep<Rec>;
    ctx.instance = &out;
    if constexpr (std::is_invocable_v<Convert, PushConvertContext*, const void*, int32_t>)
        rb::ReadAllRecords(img, convert, &ctx);
    else
        rb::ReadCodes(img, convert, &ctx);
    for (const Rec& r : rb::TakeRecords<Rec>(&ctx.blocks)) out.push_back(r);
    return out;
}

// The records a snapshot converter appends to the session's list.
template <class Rec, class Convert>
std::vector<Rec> Listed(rb::RecordImage& img, Convert convert) {
    ConvertSession session;
    SnapshotConvertContext ctx = rb::SnapshotContext(img);
    ctx.stockList = &session.stockList;
    ctx.indexList = &session.indexList;
    rb::ReadAllRecords(img, convert, &ctx);
    return rb::ListRecords<Rec>(std::is_same_v<Rec, TickStock> ? session.stockList : session.indexList);
}

TEST(ConvertedNumbers, EveryFamilyMatchesThePlainReaders) {
    using C = PushConvertContext;
    using I = rb::RecordImage;
    std::mt19937_64 rng(4121);
    for (int round = 0; round < 50 && !HasFailure(); ++round) {
        const uint32_t n = 1 + uint32_t(rng() % 40);
        auto check = [&](const Groups& src, auto convert) {
            rb::RecordImage img = RandomImage(src, n, rng);
            ExpectSources(img, src, convert(img));
        };
        check(StockSources(false), [](I& i) { return Pushed<TickStock>(i, &ConvertStockPush, &C::fnctickstock); });
        check(StockSources(true), [](I& i) { return Listed<TickStock>(i, &ConvertStockSnapshot); });
        check(IndexSources(), [](I& i) { return Pushed<TickIndex>(i, &ConvertIndexPush, &C::fnctickindex); });
        check(IndexSources(), [](I& i) { return Listed<TickIndex>(i, &ConvertIndexSnapshot); });
        check(FiveLevelSources(),
              [](I& i) { return Pushed<FiveLevelTick>(i, &ConvertFiveLevelPush, &C::fncfivelevel); });
        check(TradeSources(10, 74, 75), [](I& i) { return Pushed<Transaction>(i, &ConvertTransactionPush); });
        check(TradeSources(20, 37, 0), [](I& i) { return Pushed<Transaction>(i, &ConvertBuyCancelPush); });
        check(TradeSources(20, 0, 37), [](I& i) { return Pushed<Transaction>(i, &ConvertSellCancelPush); });
        check(OrderSources(), [](I& i) { return Pushed<OrderData>(i, &ConvertOrderPush); });
    }
}

}  // namespace
