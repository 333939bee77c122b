// The numbers of every record family's output against the plain readers, to
// the bit, on columns of random kinds (absent and text columns among them)
// filled with random words. Each number's column and reading are listed here
// as the output records' field tables give them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
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
    const uint64_t top = wide ? 0x8000000000000000ull : 0x80000000u;
    if (rng() % 8 == 0) return rng() % 2 ? top : top * 2 - 1;
    return rng() % 4 == 0 ? (rng() % 10000000) | (rng() & (wide ? 0xFC00000000000000ull : 0xF8000000u)) : rng();
}

// The reference readings of an output number, writing it and giving its width.
using Read = size_t (*)(const uint8_t*, const QuoteFieldDescriptor&, uint8_t*);
template <auto F>
size_t As(const uint8_t* rec, const QuoteFieldDescriptor& d, uint8_t* out) {
    const auto v = F(rec, d);
    memcpy(out, &v, sizeof v);
    return sizeof v;
}
int64_t DblI64(const uint8_t* r, const QuoteFieldDescriptor& d) {
    return plain::Truncate<int64_t>(plain::FieldDouble(r, d));
}
int32_t DblI32(const uint8_t* r, const QuoteFieldDescriptor& d) {
    return plain::Truncate<int32_t>(plain::FieldDouble(r, d));
}
int32_t Low32(const uint8_t* r, const QuoteFieldDescriptor& d) { return int32_t(plain::FieldInt64(r, d)); }
constexpr Read kDbl = &As<plain::FieldDouble>, kI64 = &As<plain::FieldInt64>, kI32 = &As<plain::FieldInt32>,
               kDblI64 = &As<DblI64>, kDblI32 = &As<DblI32>, kLow32 = &As<Low32>;

// Output numbers: consecutive fields from offset `at`, read from the columns
// of `ids`.
struct Group {
    std::vector<uint32_t> ids;
    Read read;
    size_t at;
};
using Groups = std::vector<Group>;

Groups StockSources(bool snapshot) {
    using T = TickStock;
    const Read i32 = snapshot ? kDblI32 : kI32;
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
    static const uint32_t kinds[] = {rb::kP64, rb::kP32, rb::kI32, rb::kP64, rb::kP32, rb::kText};
    std::vector<rb::Column> cols = {{rb::kText | 5, 16}, {rb::kText | 55, 20}};
    for (const Group& g : sources)
        for (uint32_t id : g.ids)
            if (const uint32_t kind = kinds[rng() % 6]; rng() % 10 != 0)
                cols.push_back({kind | id, uint16_t(kind == rb::kP64 ? 8 : 4)});
    rb::RecordImage img(cols, records);
    const std::string code = std::string(1, '\x11') + "600000";
    for (uint32_t r = 0; r < records; ++r) {
        img.SetText(r, 5, code);
        for (size_t c = 2; c < cols.size(); ++c)
            (cols[c].id & 0x7000) == rb::kP64 ? img.SetU64(r, cols[c].id & 0xFFF, RandomWord(true, rng))
                                              : img.SetU32(r, cols[c].id & 0xFFF, uint32_t(RandomWord(false, rng)));
    }
    img.codes = {{rb::Key(code), 0, records}};
    return img;
}

using Out = std::vector<uint8_t>;

void ExpectSources(const rb::RecordImage& img, const Groups& sources, size_t size, const Out& out) {
    ASSERT_EQ(out.size(), img.Count() * size);
    for (uint32_t r = 0; r < img.Count(); ++r)
        for (const Group& g : sources)
            for (size_t i = 0; i < g.ids.size(); ++i) {
                QuoteFieldDescriptor d{};
                img.GetFieldInfo(g.ids[i], &d);
                uint8_t want[8];
                const size_t n = g.read(img.Data() + size_t(r) * img.RecordSize(), d, want);
                ASSERT_EQ(memcmp(&out[r * size + g.at + i * n], want, n), 0) << "record " << r << " field " << g.ids[i];
            }
}

template <class Rec>
void Append(Out* out, const void* records, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(records);
    out->insert(out->end(), p, p + count * sizeof(Rec));
}

// A host callback keeping the records it gets.
template <class Rec>
int32_t Keep(void* out, const void* records, uint32_t count, const PushTiming*) {
    Append<Rec>(static_cast<Out*>(out), records, count);
    return 0;
}

// The records a converter gives: a push converter (record-wise or by code) to
// the host callback `slot` or in blocks for the push processing, a snapshot
// converter to the session's list.
template <class Rec, class Ctx, class... A>
Out Converted(rb::RecordImage& img, int32_t (*convert)(Ctx*, A...),
              QuoteDataCallback PushConvertContext::*slot = nullptr) {
    Out out;
    ConvertSession session;
    std::vector<Rec> recs;
    if constexpr (std::is_same_v<Ctx, SnapshotConvertContext>) {
        Ctx ctx = rb::SnapshotContext(img);
        ctx.stockList = &session.stockList;
        ctx.indexList = &session.indexList;
        rb::ReadAllRecords(img, convert, &ctx);
        recs = rb::ListRecords<Rec>(std::is_same_v<Rec, TickStock> ? session.stockList : session.indexList);
    } else {
        Ctx ctx = rb::PushContext(img, &session);
        if (slot != nullptr) ctx.*slot = &Keep<Rec>;
        ctx.instance = &out;
        if constexpr (sizeof...(A) == 2)
            rb::ReadAllRecords(img, convert, &ctx);
        else
            rb::ReadCodes(img, convert, &ctx);
        recs = rb::TakeRecords<Rec>(&ctx.blocks);
    }
    Append<Rec>(&out, recs.data(), recs.size());
    return out;
}

TEST(ConvertedNumbers, EveryFamilyMatchesThePlainReaders) {
    using C = PushConvertContext;
    using I = rb::RecordImage;
    const std::tuple<Groups, size_t, Out (*)(I&)> families[] = {
        {StockSources(false), sizeof(TickStock),
         [](I& i) { return Converted<TickStock>(i, &ConvertStockPush, &C::fnctickstock); }},
        {StockSources(true), sizeof(TickStock), [](I& i) { return Converted<TickStock>(i, &ConvertStockSnapshot); }},
        {IndexSources(), sizeof(TickIndex),
         [](I& i) { return Converted<TickIndex>(i, &ConvertIndexPush, &C::fnctickindex); }},
        {IndexSources(), sizeof(TickIndex), [](I& i) { return Converted<TickIndex>(i, &ConvertIndexSnapshot); }},
        {FiveLevelSources(), sizeof(FiveLevelTick),
         [](I& i) { return Converted<FiveLevelTick>(i, &ConvertFiveLevelPush, &C::fncfivelevel); }},
        {TradeSources(10, 74, 75), sizeof(Transaction),
         [](I& i) { return Converted<Transaction>(i, &ConvertTransactionPush); }},
        {TradeSources(20, 37, 0), sizeof(Transaction),
         [](I& i) { return Converted<Transaction>(i, &ConvertBuyCancelPush); }},
        {TradeSources(20, 0, 37), sizeof(Transaction),
         [](I& i) { return Converted<Transaction>(i, &ConvertSellCancelPush); }},
        {OrderSources(), sizeof(OrderData), [](I& i) { return Converted<OrderData>(i, &ConvertOrderPush); }}};
    std::mt19937_64 rng(4121);
    for (int round = 0; round < 50 && !HasFailure(); ++round)
        for (const auto& [src, size, convert] : families) {
            rb::RecordImage img = RandomImage(src, 1 + uint32_t(rng() % 40), rng);
            ExpectSources(img, src, size, convert(img));
        }
}

// A layout of more numbers than the plan holds, or with a reading it does not
// know, is refused whole: the plan is then empty, not cut short.
TEST(ConvertedNumbers, PlanRefusesALayoutItCannotHoldWhole) {
    constexpr size_t kMax = NumberPlan::kMaxFields;
    const QuoteFieldDescriptor column{kFieldKindInt32 | 1, 0, 4, 0};
    std::vector<NumberField> fields;
    for (size_t i = 0; i <= kMax; ++i) fields.push_back(NumberField{0, NumberRead::kInt32, uint16_t(4 * i)});
    const int32_t value = 271;
    NumberPlan plan;
    // How many of the layout's outputs the plan fills from one record.
    const auto filled = [&] {
        std::vector<int32_t> out(kMax + 1, -1);
        plan.Fill(reinterpret_cast<uint8_t*>(out.data()), 0, reinterpret_cast<const uint8_t*>(&value), 0, 1);
        return std::count(out.begin(), out.end(), value);
    };
    ASSERT_EQ(plan.Build(&column, fields.data(), kMax), 0);
    EXPECT_EQ(filled(), ptrdiff_t(kMax));
    EXPECT_EQ(plan.Build(&column, fields.data(), kMax + 1), NumberPlan::kTooManyFields);
    EXPECT_EQ(filled(), 0);

    ASSERT_EQ(plan.Build(&column, fields.data(), 2), 0);
    fields[1].read = NumberRead::kCount;
    EXPECT_EQ(plan.Build(&column, fields.data(), 2), NumberPlan::kUnknownReading);
    EXPECT_EQ(filled(), 0);
}

}  // namespace
