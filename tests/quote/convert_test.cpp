#include "quote/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "quote/convert_fields.h"
#include "quote/convert_qf.h"
#include "quote/qf_format.h"
#include "quote/records.h"
#include "simulator/quote_writer.h"
#include "tests/support/local_time.h"
#include "tests/support/record_builder.h"

namespace {

using rb::Column;
using rb::kI32;
using rb::kP32;
using rb::kP64;
using rb::kText;
using rb::Packed32;
using rb::Packed64;
using rb::Price32;
using rb::Price64;
using rb::RecordImage;

using rb::Str;
using rb::V;

class TzShanghai : public kvotest::ShanghaiTimeTest {};

// Collects what a host callback receives.
struct Capture {
    size_t recordSize = 0;  // 0: order queues, sized by show_number
    std::vector<std::vector<uint8_t>> batches;
    std::vector<uint32_t> counts;
    std::vector<PushTiming> timings;

    template <class Rec>
    Rec Get(size_t batch, size_t i) const {
        Rec r;
        memcpy(&r, batches.at(batch).data() + i * sizeof(Rec), sizeof(Rec));
        return r;
    }
};

int32_t CaptureCallback(void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    Capture* c = static_cast<Capture*>(handle);
    const uint8_t* p = static_cast<const uint8_t*>(records);
    size_t bytes = c->recordSize * count;
    if (c->recordSize == 0) {
        OrderQueue q;
        memcpy(&q, p, sizeof q);
        bytes = KvoOrderQueueSize(uint32_t(q.show_number));
    }
    c->batches.emplace_back(p, p + bytes);
    c->counts.push_back(count);
    c->timings.push_back(*timing);
    return 0;
}

// ---------------------------------------------------------------------------
// Field readers

QuoteFieldDescriptor Desc(uint32_t id, uint32_t width, uint32_t offset) {
    return QuoteFieldDescriptor{id, 0, width, offset};
}

TEST(FieldReaders, PackedNumbers) {
    EXPECT_EQ(UnpackPacked32(0x9000007Bu), 12.3);  // divided by 10, not multiplied by 0.1
    EXPECT_EQ(UnpackPacked32(0x1000007Bu), 1230.0);
    EXPECT_EQ(UnpackPacked32(0x0800007Bu), -123.0);
    EXPECT_TRUE(std::signbit(UnpackPacked32(0x80000000u)));
    EXPECT_EQ(UnpackPacked32(0x80000000u), 0.0);
    EXPECT_TRUE(std::signbit(UnpackPacked32(0xFFFFFFFFu)));
    EXPECT_EQ(UnpackPackedInt64(Packed64(15, 1, true)), 2);
    EXPECT_EQ(UnpackPackedInt64(Packed64(14, 1, true)), 1);
    EXPECT_EQ(UnpackPackedInt64(Packed64(15, 1, true, true)), -2);
    EXPECT_EQ(UnpackPackedInt64(0x8000000000000000ull), kInt64NoValue);
    EXPECT_EQ(UnpackPacked64(Packed64(123456, 3, true)), 123.456);
}

TEST(FieldReaders, ByKindOfTheDescriptor) {
    uint8_t rec[32] = {};
    auto put32 = [&](uint32_t v) { memcpy(rec + 8, &v, 4); };
    auto put64 = [&](uint64_t v) { memcpy(rec + 8, &v, 8); };

    // 64-bit packed.
    QuoteFieldDescriptor d64 = Desc(kP64 | 10, 8, 8);
    put64(Packed64(125, 1, true));  // 12.5
    EXPECT_EQ(GetFieldDouble(rec, d64), 12.5);
    EXPECT_EQ(GetFieldInt64(rec, d64), 13);  // rounded half up
    EXPECT_EQ(GetFieldInt32(rec, d64), 12);  // truncated
    put64(Packed64(125, 1, true, true));
    EXPECT_EQ(GetFieldInt64(rec, d64), -13);
    EXPECT_EQ(GetFieldInt32(rec, d64), -12);
    put64(rb::kNoValue64);
    EXPECT_TRUE(std::signbit(GetFieldDouble(rec, d64)));
    EXPECT_EQ(GetFieldInt64(rec, d64), kInt64NoValue);
    EXPECT_EQ(GetFieldInt32(rec, d64), 0);

    // 32-bit packed.
    QuoteFieldDescriptor d32 = Desc(kP32 | 10, 4, 8);
    put32(Packed32(1237, 2, true, true));  // -12.37
    EXPECT_EQ(GetFieldDouble(rec, d32), -12.37);
    EXPECT_EQ(GetFieldInt64(rec, d32), -12);
    EXPECT_EQ(GetFieldInt32(rec, d32), -12);
    put32(rb::kNoValue32);
    EXPECT_TRUE(std::signbit(GetFieldDouble(rec, d32)));
    EXPECT_EQ(GetFieldInt64(rec, d32), 0);
    EXPECT_EQ(GetFieldInt32(rec, d32), 0);

    // Signed 32-bit integer.
    QuoteFieldDescriptor di = Desc(kI32 | 10, 4, 8);
    put32(uint32_t(-5));
    EXPECT_EQ(GetFieldDouble(rec, di), -5.0);
    EXPECT_EQ(GetFieldInt64(rec, di), -5);
    EXPECT_EQ(GetFieldInt32(rec, di), -5);

    // Texts and absent columns read as 0.
    QuoteFieldDescriptor dt = Desc(kText | 10, 4, 8);
    EXPECT_EQ(GetFieldDouble(rec, dt), 0.0);
    EXPECT_EQ(GetFieldInt64(rec, dt), 0);
    QuoteFieldDescriptor absent{};
    put64(Packed64(7, 0, false));
    memcpy(rec, rec + 8, 8);
    EXPECT_EQ(GetFieldDouble(rec, absent), 0.0);
    EXPECT_FALSE(std::signbit(GetFieldDouble(rec, absent)));
    EXPECT_EQ(GetFieldInt64(rec, absent), 0);
    EXPECT_EQ(GetFieldInt32(rec, absent), 0);
}

TEST(FieldReaders, OutOfRangeTruncationGivesNoValuePattern) {
    uint8_t rec[8];
    uint64_t huge = Packed64((1ull << 57), 7, false);  // about 1.4e24
    memcpy(rec, &huge, 8);
    QuoteFieldDescriptor d = Desc(kP64 | 13, 8, 0);
    EXPECT_EQ(GetFieldInt32(rec, d), kInt32NoValue);
    EXPECT_EQ(GetFieldInt64(rec, d), kInt64NoValue);
    EXPECT_EQ(TruncateToInt64(GetFieldDouble(rec, d)), kInt64NoValue);
    EXPECT_EQ(TruncateToInt32(3e9), kInt32NoValue);
    EXPECT_EQ(TruncateToInt32(-2147483648.0), INT32_MIN);
    EXPECT_EQ(TruncateToInt32(2147483647.9), INT32_MAX);
    EXPECT_EQ(TruncateToInt64(NAN), kInt64NoValue);
    EXPECT_EQ(TruncateToInt64(9223372036854775808.0), kInt64NoValue);
    EXPECT_EQ(TruncateToInt64(-9223372036854775808.0), INT64_MIN);
    uint32_t big32 = Packed32(0x7FFFFFF, 7, false);  // 1.3e15
    memcpy(rec, &big32, 4);
    EXPECT_EQ(GetFieldInt32(rec, Desc(kP32 | 13, 4, 0)), kInt32NoValue);
    EXPECT_EQ(GetFieldInt64(rec, Desc(kP32 | 13, 4, 0)), 1342177270000000ll);
}

TEST(FieldReaders, ResolveFindsColumnsAndRefusesUnfitColumns) {
    RecordImage img({{kText | 5, 8}, {kP32 | 10, 4}, {kP64 | 13, 4}, {kI32 | 56, 2}}, 1);
    QuoteFieldDescriptor d = ResolveField(img, 0x7005);  // kind bits ignored
    EXPECT_EQ(d.id, kText | 5u);
    EXPECT_EQ(d.offset, 0u);
    d = ResolveField(img, 10);
    EXPECT_EQ(d.id, kP32 | 10u);
    EXPECT_EQ(d.offset, 8u);
    // A 64-bit column four bytes wide, or an i32 column two bytes wide,
    // would be read past its end: treated as absent.
    EXPECT_TRUE(IsAbsentField(ResolveField(img, 13)));
    EXPECT_TRUE(IsAbsentField(ResolveField(img, 56)));
    EXPECT_TRUE(IsAbsentField(ResolveField(img, 99)));
    EXPECT_FALSE(FieldFitsRecord(Desc(kP64 | 1, 8, 12), 16));
    EXPECT_TRUE(FieldFitsRecord(Desc(kP64 | 1, 8, 8), 16));
}

// ---------------------------------------------------------------------------
// Index and five-level ticks

std::vector<Column> IndexColumns() {
    return {{kText | 5, 16}, {kText | 55, 24}, {kText | 127, 12}, {kI32 | 56, 4},  {kI32 | 1, 4},
            {kP64 | 274, 8}, {kP64 | 275, 8},  {kP64 | 276, 8},   {kP64 | 277, 8}, {kP32 | 278, 4},
            {kP64 | 13, 8},  {kP64 | 19, 8},   {kP64 | 18, 8}};
}

void FillIndexRecord(RecordImage& img, uint32_t i, const std::string& code, int32_t time56, uint32_t seconds) {
    img.SetText(i, 5, code);
    img.SetText(i, 55, "Shanghai Composite Index");
    img.SetText(i, 127, "TRADING  ");
    img.SetU32(i, 56, uint32_t(time56));
    img.SetU32(i, 1, seconds);
    img.SetU64(i, 274, Price64(3001.25, 2));
    img.SetU64(i, 275, Price64(3002.5, 2));
    img.SetU64(i, 276, Price64(3010.75, 2));
    img.SetU64(i, 277, rb::kNoValue64);
    img.SetU32(i, 278, Price32(3005.5, 1));
    img.SetU64(i, 13, Packed64(1234567, 2, false));  // 123456700
    img.SetU64(i, 19, Price64(98765.43, 2));
    img.SetU64(i, 18, Packed64(15, 1, true));  // 1.5 -> 2
}

void ExpectIndexValues(const TickIndex& r) {
    EXPECT_EQ(Str(r.codename, 20), "Shanghai Composite I");  // 20 bytes, no zero
    EXPECT_EQ(Str(r.status, 20), "TRADING");
    EXPECT_EQ(V(r.pre_price), 3001.25);
    EXPECT_EQ(V(r.open_price), 3002.5);
    EXPECT_EQ(V(r.high_price), 3010.75);
    EXPECT_TRUE(std::signbit(V(r.low_price)));
    EXPECT_EQ(V(r.new_price), 3005.5);
    EXPECT_EQ(V(r.volume), 123456700);
    EXPECT_EQ(V(r.turnover), 98765.43);
    EXPECT_EQ(V(r.trade_num), 2);
}

TEST(IndexPush, ConvertsAndDeliversOneBatch) {
    RecordImage img(IndexColumns(), 3);
    FillIndexRecord(img, 0,
                    "\x10"
                    "1B0001",
                    0, 0);
    FillIndexRecord(img, 1, " 399001", 93005250, 0);
    FillIndexRecord(img, 2,
                    "\x10"
                    "1A0001",
                    -1, 0);

    Capture cap;
    cap.recordSize = sizeof(TickIndex);
    ConvertSession session;
    PushConvertContext ctx = rb::PushContext(img, &session);
    ctx.fnctickindex = &CaptureCallback;
    ctx.instance = &cap;
    ctx.datatime = 20240105093000123ull;
    ctx.produce_time = 1111;
    ctx.send_time = 2222;
    ctx.sample_time = 3333;

    EXPECT_EQ(rb::ReadAllRecords(img, &ConvertIndexPush, &ctx), 3);
    ASSERT_EQ(cap.batches.size(), 1u);
    EXPECT_EQ(cap.counts[0], 3u);
    EXPECT_EQ(cap.timings[0].produce_time, 1111u);
    EXPECT_EQ(cap.timings[0].send_time, 2222u);
    EXPECT_EQ(cap.timings[0].receive_time, 3333u);

    TickIndex r0 = cap.Get<TickIndex>(0, 0);
    EXPECT_EQ(Str(r0.market, 5), "USHI");
    EXPECT_EQ(Str(r0.code, 16), "000004");  // index code 1B0001 in public form
    EXPECT_EQ(V(r0.date), 20240105);
    EXPECT_EQ(V(r0.time), 93000123);  // field 56 is 0: the push's datatime
    ExpectIndexValues(r0);

    TickIndex r1 = cap.Get<TickIndex>(0, 1);
    EXPECT_EQ(Str(r1.market, 5), "USZI");  // a space is the SZ market byte
    EXPECT_EQ(Str(r1.code, 16), "399001");
    EXPECT_EQ(V(r1.time), 93005250);  // field 56 wins
    EXPECT_EQ(V(r1.date), 20240105);
    TickIndex r2 = cap.Get<TickIndex>(0, 2);
    EXPECT_EQ(Str(r2.code, 16), "000001");
    EXPECT_EQ(V(r2.time), 93000123);
    EXPECT_EQ(session.caches[kDataIndexPush].FillCount(), 1u);
}

TEST(IndexPush, TimingWithoutProduceTimeAndEmptyCallback) {
    RecordImage img(IndexColumns(), 1);
    FillIndexRecord(img, 0,
                    "\x10"
                    "000300",
                    0, 0);
    Capture cap;
    cap.recordSize = sizeof(TickIndex);
    PushConvertContext ctx = rb::PushContext(img);
    ctx.instance = &cap;
    ctx.send_time = 7;
    ctx.sample_time = 9;
    // No callback: nothing is converted or delivered.
    EXPECT_EQ(ConvertIndexPush(&ctx, img.Data(), 1), 0);
    ctx.fnctickindex = &CaptureCallback;
    EXPECT_EQ(ConvertIndexPush(&ctx, nullptr, 1), 0);
    EXPECT_EQ(ConvertIndexPush(&ctx, img.Data(), 0), 0);
    EXPECT_TRUE(cap.batches.empty());
    EXPECT_EQ(ConvertIndexPush(&ctx, img.Data(), 1), 0);
    ASSERT_EQ(cap.timings.size(), 1u);
    EXPECT_EQ(cap.timings[0].produce_time, 0u);
    EXPECT_EQ(cap.timings[0].send_time, 7u);
    EXPECT_EQ(cap.timings[0].receive_time, 0u);
    // "000300" is no internal index code: the reverse table leaves it.
    EXPECT_EQ(Str(cap.Get<TickIndex>(0, 0).code, 16), "000300");
}

TEST_F(TzShanghai, IndexSnapshotUsesStoredSeconds) {
    RecordImage img(IndexColumns(), 2);
    // 2024-01-05 01:30:05 UTC is 09:30:05 in Shanghai.
    FillIndexRecord(img, 0,
                    "\x10"
                    "1B0001",
                    0, 1704418205u);
    FillIndexRecord(img, 1,
                    "\x11"
                    "600000",
                    0, 1704418205u + 3600);
    ConvertSession session;
    SnapshotConvertContext ctx = rb::SnapshotContext(img);
    ctx.indexList = &session.indexList;
    rb::ReadAllRecords(img, &ConvertIndexSnapshot, &ctx);
    std::vector<TickIndex> r = rb::ListRecords<TickIndex>(session.indexList);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Str(r[0].market, 5), "USHI");
    EXPECT_EQ(Str(r[0].code, 16), "000004");
    EXPECT_EQ(V(r[0].date), 20240105);
    EXPECT_EQ(V(r[0].time), 93005000);
    ExpectIndexValues(r[0]);
    EXPECT_EQ(Str(r[1].market, 5), "USHA");
    EXPECT_EQ(Str(r[1].code, 16), "600000");  // only byte market 16 is rewritten
    EXPECT_EQ(V(r[1].time), 103005000);
}

// Field ids of the ten bid and ask levels; the five-level tick has the first
// five.
const uint32_t kBidPrice[10] = {24, 26, 28, 150, 154, 102, 106, 110, 114, 118};
const uint32_t kBidVolume[10] = {25, 27, 29, 151, 155, 103, 107, 111, 115, 119};
const uint32_t kAskPrice[10] = {30, 32, 34, 152, 156, 104, 108, 112, 116, 120};
const uint32_t kAskVolume[10] = {31, 33, 35, 153, 157, 105, 109, 113, 117, 121};

std::vector<Column> FiveColumns() {
    std::vector<Column> c = {{kText | 5, 12}, {kText | 55, 32}, {kText | 83, 10}, {kP64 | 66, 8},
                             {kP64 | 72, 8},  {kP32 | 7, 4},    {kP32 | 8, 4},    {kP32 | 9, 4},
                             {kP32 | 10, 4},  {kP32 | 6, 4},    {kP64 | 141, 8},  {kI32 | 142, 4},
                             {kI32 | 73, 4},  {kI32 | 65, 4},   {kP64 | 13, 8},   {kP64 | 19, 8}};
    for (int i = 0; i < 5; ++i) {
        c.push_back({kP32 | kBidPrice[i], 4});
        c.push_back({kP64 | kBidVolume[i], 8});
        c.push_back({kP32 | kAskPrice[i], 4});
        c.push_back({kP64 | kAskVolume[i], 8});
    }
    return c;
}

TEST(FiveLevelPush, FieldsAndStatusWidth) {
    RecordImage img(FiveColumns(), 2);
    for (uint32_t r = 0; r < 2; ++r) {
        img.SetText(r, 5,
                    r == 0 ? "\x39"
                             "10000001"
                           : "\x11"
                             "600000");  // 0x39: ZO options
        img.SetText(r, 55, "OPTION NAME");
        img.SetText(r, 83, "T1234567XYZ");
        img.SetU64(r, 66, Price64(1.5, 1));
        img.SetU64(r, 72, Price64(2.25, 2));
        img.SetU32(r, 7, Price32(10.07, 2));
        img.SetU32(r, 8, Price32(10.08, 2));
        img.SetU32(r, 9, Price32(10.09, 2));
        img.SetU32(r, 10, Price32(10.1, 2));
        img.SetU32(r, 6, Price32(10.06, 2));
        img.SetU64(r, 141, Price64(0.141, 3));
        img.SetU32(r, 142, 142);
        img.SetU32(r, 73, uint32_t(-73));
        img.SetU32(r, 65, 65);
        img.SetU64(r, 13, Packed64(555, 0, false));
        img.SetU64(r, 19, Price64(5550.5, 1));
        for (int i = 0; i < 5; ++i) {
            img.SetU32(r, kBidPrice[i], Price32(10.0 - i * 0.01, 2));
            img.SetU64(r, kBidVolume[i], Packed64(100 + i, 0, false));
            img.SetU32(r, kAskPrice[i], Price32(10.11 + i * 0.01, 2));
            img.SetU64(r, kAskVolume[i], Packed64(200 + i, 0, false));
        }
    }
    Capture cap;
    cap.recordSize = sizeof(FiveLevelTick);
    PushConvertContext ctx = rb::PushContext(img);
    ctx.fncfivelevel = &CaptureCallback;
    ctx.instance = &cap;
    ctx.datatime = 20250428145959999ull;
    rb::ReadAllRecords(img, &ConvertFiveLevelPush, &ctx);
    ASSERT_EQ(cap.batches.size(), 1u);
    FiveLevelTick a = cap.Get<FiveLevelTick>(0, 0);
    FiveLevelTick b = cap.Get<FiveLevelTick>(0, 1);
    EXPECT_EQ(Str(a.market, 5), "UZOO");
    EXPECT_EQ(Str(a.code, 16), "10000001");
    EXPECT_EQ(Str(a.status, 20), "T1");  // two bytes on UZOO
    EXPECT_EQ(Str(b.market, 5), "USHA");
    EXPECT_EQ(Str(b.status, 20), "T1234567");  // at most 8 elsewhere
    EXPECT_EQ(Str(a.codename, 30), "OPTION NAME");
    EXPECT_EQ(V(a.date), 20250428);
    EXPECT_EQ(V(a.time), 145959999);
    EXPECT_EQ(V(a.field_66), 1.5);
    EXPECT_EQ(V(a.field_72), 2.25);
    EXPECT_EQ(V(a.open_price), 10.07);
    EXPECT_EQ(V(a.high_price), 10.08);
    EXPECT_EQ(V(a.low_price), 10.09);
    EXPECT_EQ(V(a.new_price), 10.1);
    EXPECT_EQ(V(a.pre_price), 10.06);
    EXPECT_EQ(V(a.field_141), 0.141);
    EXPECT_EQ(V(a.field_142), 142);
    EXPECT_EQ(V(a.field_73), -73);
    EXPECT_EQ(V(a.field_65), 65);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(V(a.bidorder_price[i]), UnpackPacked32(Price32(10.0 - i * 0.01, 2))) << i;
        EXPECT_EQ(V(a.bidorder_volume[i]), 100 + i) << i;
        EXPECT_EQ(V(a.askorder_price[i]), UnpackPacked32(Price32(10.11 + i * 0.01, 2))) << i;
        EXPECT_EQ(V(a.askorder_volume[i]), 200 + i) << i;
    }
    EXPECT_EQ(V(a.volume), 555);
    EXPECT_EQ(V(a.turnover), 5550.5);
}

// ---------------------------------------------------------------------------
// Stock ticks: every field's route, push and snapshot

// The stock tick's 64-bit integer fields: volumes and order counts.
std::vector<uint32_t> StockI64Fields() {
    std::vector<uint32_t> ids = {13,  18,  25,  27,  29,  151, 155, 103, 107, 111, 115, 119, 31, 33, 35,
                                 153, 157, 105, 109, 113, 117, 121, 123, 125, 265, 269, 15,  14, 74};
    for (uint32_t i = 131; i <= 140; ++i) ids.push_back(i);
    for (uint32_t i = 181; i <= 190; ++i) ids.push_back(i);
    return ids;
}

// Each field of the tick gets a value derived from its field id, so every
// output field shows which column it came from.
std::vector<Column> StockColumns(bool reversed) {
    std::vector<Column> c = {{kText | 5, 16}, {kText | 55, 20}, {kText | 127, 16},
                             {kI32 | 56, 4},  {kI32 | 1, 4},    {kText | 86, 20}};
    std::vector<uint32_t> prices = {6,   7,   8,   9,  10, 19, 24,  26,  28,  150, 154, 102, 106,
                                    110, 114, 118, 30, 32, 34, 152, 156, 104, 108, 112, 116, 120,
                                    122, 124, 69,  70, 91, 80, 266, 270, 76,  77,  141};
    std::vector<uint32_t> i32s = {264, 268, 195, 196, 197, 198, 75};
    for (uint32_t id : prices) c.push_back({kP64 | id, 8});
    for (uint32_t id : StockI64Fields()) c.push_back({kP64 | id, 8});
    for (uint32_t id : i32s) c.push_back({kP32 | id, 4});
    c.push_back({kP64 | 271, 8});
    if (reversed) std::reverse(c.begin(), c.end());
    return c;
}

// Price of field id: id + 0.25; 64-bit integers: id * 1000 + 0.5 (rounded
// up as i64, truncated through a double); i32 fields: id + 0.75.
void FillStockRecord(RecordImage& img, uint32_t r, const std::string& code) {
    for (uint32_t i = 0; i < img.ColumnCount(); ++i) {
        QuoteFieldDescriptor d;
        img.GetColumn(i, &d);
        uint32_t id = d.id & 0xFFF;
        if ((d.id & 0x7000) == kText) continue;
        if ((d.id & 0x7000) == kI32) continue;
        if ((d.id & 0x7000) == kP32)
            img.SetU32(r, id, Packed32(id * 100 + 75, 2, true));
        else
            img.SetU64(r, id, Packed64(uint64_t(id) * 100 + 25, 2, true));
    }
    for (uint32_t id : StockI64Fields())
        img.SetU64(r, id, Packed64(uint64_t(id) * 10000 + 5, 1, true));  // id*1000 + 0.5
    img.SetU64(r, 271, Packed64(15, 1, true));                           // 1.5
    img.SetText(r, 5, code);
    img.SetText(r, 55, "NAME");
    img.SetText(r, 127, "OPEN");
    img.SetU32(r, 56, 0);
}

void ExpectStockRoutes(const TickStock& s, bool snapshot) {
    auto price = [](uint32_t id) { return double(id) + 0.25; };
    auto i64 = [](uint32_t id) { return int64_t(id) * 1000 + 1; };  // rounded half up
    auto dbl = [](uint32_t id) { return int64_t(id) * 1000; };      // truncated double
    EXPECT_EQ(V(s.pre_price), price(6));
    EXPECT_EQ(V(s.open_price), price(7));
    EXPECT_EQ(V(s.high_price), price(8));
    EXPECT_EQ(V(s.low_price), price(9));
    EXPECT_EQ(V(s.new_price), price(10));
    EXPECT_EQ(V(s.volume), dbl(13));
    EXPECT_EQ(V(s.turnover), price(19));
    EXPECT_EQ(V(s.trade_num), i64(18));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(V(s.bidorder_price[i]), price(kBidPrice[i])) << i;
        EXPECT_EQ(V(s.bidorder_volume[i]), i64(kBidVolume[i])) << i;
        EXPECT_EQ(V(s.bid_numorders[i]), i64(131 + i)) << i;
        EXPECT_EQ(V(s.askorder_price[i]), price(kAskPrice[i])) << i;
        EXPECT_EQ(V(s.askorder_volume[i]), i64(kAskVolume[i])) << i;
        EXPECT_EQ(V(s.ask_numorders[i]), i64(181 + i)) << i;
    }
    EXPECT_EQ(V(s.totalbid_volume), i64(123));
    EXPECT_EQ(V(s.totalask_volume), i64(125));
    EXPECT_EQ(V(s.avgbid_price), price(122));
    EXPECT_EQ(V(s.avgask_price), price(124));
    EXPECT_EQ(V(s.uplimit_price), price(69));
    EXPECT_EQ(V(s.downlimit_price), price(70));
    EXPECT_EQ(V(s.pe), price(91));
    EXPECT_EQ(V(s.iopv), price(80));
    EXPECT_EQ(V(s.withdraw_buynum), 264);
    EXPECT_EQ(V(s.withdraw_buyvolume), i64(265));
    EXPECT_EQ(V(s.withdraw_buyturnover), price(266));
    EXPECT_EQ(V(s.withdraw_sellnum), 268);
    EXPECT_EQ(V(s.withdraw_sellvol), i64(269));
    EXPECT_EQ(V(s.withdraw_sellturnover), price(270));
    EXPECT_EQ(V(s.totalbid_num), 195);
    EXPECT_EQ(V(s.totalask_num), 196);
    EXPECT_EQ(V(s.bidorder_num), 197);
    EXPECT_EQ(V(s.askorder_num), 198);
    EXPECT_EQ(V(s.inner_volume), dbl(15));
    EXPECT_EQ(V(s.outer_volume), dbl(14));
    EXPECT_EQ(V(s.aftermarket_volume), i64(74));
    EXPECT_EQ(V(s.aftermarket_volmount), 75);
    EXPECT_EQ(V(s.field_76), price(76));
    EXPECT_EQ(V(s.field_77), price(77));
    EXPECT_EQ(V(s.field_141), price(141));
    // Push: i32 of 1.5 truncates; snapshot: low 32 bits of the i64, rounded.
    EXPECT_EQ(V(s.field_271), snapshot ? 2 : 1);
    EXPECT_EQ(Str(s.codename, 20), "NAME");
    EXPECT_EQ(Str(s.status, 20), "OPEN");
}

TEST(StockPush, EveryFieldFromItsColumn) {
    RecordImage img(StockColumns(false), 2);
    FillStockRecord(img, 0,
                    "\x11"
                    "600000");
    FillStockRecord(img, 1,
                    "\x21"
                    "000001");
    img.SetU32(1, 56, 93005250);
    img.SetText(0, 86, "SHORT");
    img.SetText(1, 86, "TWELVE CHARS");

    Capture unused;
    ConvertSession session;
    PushConvertContext ctx = rb::PushContext(img, &session);
    ctx.fnctickstock = &CaptureCallback;
    ctx.instance = &unused;
    ctx.datatime = 20240105091500000ull;
    rb::ReadAllRecords(img, &ConvertStockPush, &ctx);
    std::vector<TickStock> s;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {2}, &s));
    EXPECT_TRUE(unused.batches.empty());  // the batch is delivered by the push processing
    EXPECT_EQ(Str(s[0].market, 5), "USHA");
    EXPECT_EQ(Str(s[0].code, 16), "600000");
    EXPECT_EQ(V(s[0].date), 20240105);
    EXPECT_EQ(V(s[0].time), 91500000);
    EXPECT_EQ(Str(s[1].market, 5), "USZA");
    EXPECT_EQ(V(s[1].time), 93005250);
    ExpectStockRoutes(s[0], false);
    ExpectStockRoutes(s[1], false);
    EXPECT_EQ(Str(s[0].field_86, 20), "SHORT");
    EXPECT_EQ(std::string(s[1].field_86, 20), std::string(20, '\0'));  // 12 characters: left zero
}

TEST_F(TzShanghai, StockSnapshotRoutesAndSeconds) {
    RecordImage img(StockColumns(true), 1);
    FillStockRecord(img, 0,
                    "\x11"
                    "600000");
    img.SetU32(0, 1, 1704418205u);  // 09:30:05 local
    ConvertSession session;
    SnapshotConvertContext ctx = rb::SnapshotContext(img);
    ctx.stockList = &session.stockList;
    rb::ReadAllRecords(img, &ConvertStockSnapshot, &ctx);
    std::vector<TickStock> s = rb::ListRecords<TickStock>(session.stockList);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(V(s[0].date), 20240105);
    EXPECT_EQ(V(s[0].time), 93005000);
    ExpectStockRoutes(s[0], true);
}

TEST(StockPush, MissingColumnsReadAsZero) {
    RecordImage img({{kText | 5, 8}, {kP64 | 10, 8}}, 1);
    img.SetText(0, 5,
                "\x11"
                "600000");
    img.SetU64(0, 10, Price64(9.99, 2));
    PushConvertContext ctx = rb::PushContext(img);
    Capture c;
    ctx.fnctickstock = &CaptureCallback;
    ctx.instance = &c;
    ctx.datatime = 20240105091500000ull;
    ConvertStockPush(&ctx, img.Data(), 1);
    std::vector<TickStock> out;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {1}, &out));
    const TickStock& s = out[0];
    EXPECT_EQ(V(s.new_price), 9.99);
    EXPECT_EQ(V(s.pre_price), 0.0);
    EXPECT_FALSE(std::signbit(V(s.pre_price)));
    EXPECT_EQ(V(s.trade_num), 0);
    EXPECT_EQ(V(s.field_271), 0);
    EXPECT_EQ(std::string(s.codename, 20), std::string(20, '\0'));
}

TEST(StockPush, Field86BelowTwelveCharactersAndEmptyCallbacks) {
    RecordImage img({{kText | 5, 16}, {kText | 86, 20}}, 3);
    for (uint32_t r = 0; r < 3; ++r)
        img.SetText(r, 5,
                    "\x11"
                    "600000");
    img.SetText(0, 86, "ELEVEN CHRS   ");  // 11 characters once the blanks are gone
    img.SetText(1, 86, "TWELVE CHARS");
    img.SetText(2, 86, "ABCDEFGHIJKLMNOPQRST");  // the whole column, no zero
    Capture cap;
    cap.recordSize = sizeof(FiveLevelTick);
    PushConvertContext ctx = rb::PushContext(img);
    ctx.instance = &cap;
    // Without the host callback of their kind, ids 0 and 10 convert nothing.
    EXPECT_EQ(ConvertStockPush(&ctx, img.Data(), 3), 0);
    EXPECT_EQ(ConvertFiveLevelPush(&ctx, img.Data(), 3), 0);
    EXPECT_TRUE(ctx.blocks.empty());
    EXPECT_EQ(ctx.gathered, 0u);
    EXPECT_TRUE(cap.batches.empty());

    ctx.fnctickstock = &CaptureCallback;
    EXPECT_EQ(ConvertStockPush(&ctx, img.Data(), 3), 0);
    std::vector<TickStock> s;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {3}, &s));
    EXPECT_EQ(std::string(s[0].field_86, 20), std::string("ELEVEN CHRS") + std::string(9, '\0'));
    EXPECT_EQ(std::string(s[1].field_86, 20), std::string(20, '\0'));
    EXPECT_EQ(std::string(s[2].field_86, 20), std::string(20, '\0'));
    EXPECT_TRUE(cap.batches.empty());  // stock ticks go out as blocks, not through the callback
}

// ---------------------------------------------------------------------------
// Descriptor caches

TEST(DescriptorCache, RefilledWhenTheLayoutChanges) {
    ConvertSession session;
    Capture unused;
    auto run = [&](RecordImage& img) {
        PushConvertContext ctx = rb::PushContext(img, &session);
        ctx.fnctickstock = &CaptureCallback;
        ctx.instance = &unused;
        ctx.datatime = 20240105091500000ull;
        rb::ReadAllRecords(img, &ConvertStockPush, &ctx);
        std::vector<TickStock> out;
        EXPECT_TRUE(rb::TakeGathered(&ctx, {1}, &out));
        return out.at(0);
    };
    RecordImage first(StockColumns(false), 1);
    FillStockRecord(first, 0,
                    "\x11"
                    "600000");
    ExpectStockRoutes(run(first), false);
    EXPECT_EQ(session.caches[kDataStockPush].FillCount(), 1u);

    RecordImage same(StockColumns(false), 1);
    FillStockRecord(same, 0,
                    "\x11"
                    "600001");
    ExpectStockRoutes(run(same), false);
    EXPECT_EQ(session.caches[kDataStockPush].FillCount(), 1u);

    // Other offsets: read with this image's columns, not the cached ones.
    RecordImage moved(StockColumns(true), 1);
    FillStockRecord(moved, 0,
                    "\x11"
                    "600002");
    TickStock s = run(moved);
    EXPECT_EQ(Str(s.code, 16), "600002");
    ExpectStockRoutes(s, false);
    EXPECT_EQ(session.caches[kDataStockPush].FillCount(), 2u);

    // A later image with short records and few columns: nothing is read
    // past its records (AddressSanitizer watches the heap block).
    RecordImage shorter({{kText | 5, 8}, {kP64 | 10, 8}}, 1);
    shorter.SetText(0, 5,
                    "\x11"
                    "600003");
    shorter.SetU64(0, 10, Price64(1.5, 1));
    s = run(shorter);
    EXPECT_EQ(V(s.new_price), 1.5);
    EXPECT_EQ(V(s.bidorder_price[9]), 0.0);
    EXPECT_EQ(session.caches[kDataStockPush].FillCount(), 3u);
}

// An image whose reader reports a column past the record's end.
class LyingImage : public RecordImage {
public:
    using RecordImage::RecordImage;
    uint32_t GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const override {
        uint32_t r = RecordImage::GetFieldInfo(fieldId, out);
        if ((fieldId & 0xFFF) == 10) *out = QuoteFieldDescriptor{10, 0, 8, RecordSize()};
        return r;
    }
};

TEST(DescriptorCache, ColumnsPastTheRecordAreAbsent) {
    LyingImage img({{kText | 5, 8}, {kP64 | 9, 8}}, 1);
    img.SetText(0, 5,
                "\x11"
                "600000");
    img.SetU64(0, 9, Price64(2.5, 1));
    ConvertSession session;
    Capture unused;
    PushConvertContext ctx = rb::PushContext(img, &session);
    ctx.fnctickstock = &CaptureCallback;
    ctx.instance = &unused;
    ConvertStockPush(&ctx, img.Data(), 1);
    std::vector<TickStock> s;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {1}, &s));
    EXPECT_EQ(V(s[0].low_price), 2.5);
    EXPECT_EQ(V(s[0].new_price), 0.0);
}

// ---------------------------------------------------------------------------
// Orders and transactions

std::vector<Column> OrderColumns(bool with89) {
    std::vector<Column> c = {{kP64 | 56, 8}, {kI32 | 1, 4},  {kI32 | 76, 4},  {kI32 | 77, 4},  {kI32 | 73, 4},
                             {kP32 | 10, 4}, {kP64 | 13, 8}, {kI32 | 271, 4}, {kI32 | 272, 4}, {kI32 | 12, 4}};
    if (with89) c.push_back({kText | 89, 2});
    return c;
}

TEST(OrderPush, KindsSidesPhasesAndTypes) {
    RecordImage img(OrderColumns(true), 6);
    struct Row {
        int32_t k;
        int32_t s;
        const char* t89;
    };
    const Row rows[6] = {{5, 6, "1"}, {3, 1, "2"}, {7, 0x01000001, "U"}, {4, 2, "X"}, {5, 9, "1"}, {5, 1, ""}};
    for (uint32_t i = 0; i < 6; ++i) {
        img.SetU64(i, 56, Packed64(20240105093005250ull + i, 0, false));
        img.SetU32(i, 1, 1000 + i);
        img.SetU32(i, 76, 2000 + i);
        img.SetU32(i, 77, 3000 + i);
        img.SetU32(i, 73, 7);
        img.SetU32(i, 10, Price32(10.25, 2));
        img.SetU64(i, 13, Packed64(300, 0, false));
        img.SetU32(i, 271, 271);
        img.SetU32(i, 272, uint32_t(rows[i].k));
        img.SetU32(i, 12, uint32_t(rows[i].s));
        img.SetText(i, 89, rows[i].t89);
    }
    img.codes = {{"\x21"
                  "000001",
                  0, 4},
                 {"\x11"
                  "600000",
                  4, 2}};
    ConvertSession session;
    PushConvertContext ctx = rb::PushContext(img, &session);
    rb::ReadCodes(img, &ConvertOrderPush, &ctx);
    std::vector<OrderData> o;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {4, 2}, &o));

    EXPECT_EQ(Str(o[0].market, 5), "USZA");
    EXPECT_EQ(Str(o[0].code, 16), "000001");
    EXPECT_EQ(V(o[0].date), 20240105);
    EXPECT_EQ(V(o[0].time), 93005250);
    EXPECT_EQ(V(o[3].time), 93005253);
    EXPECT_EQ(V(o[2].index), 1002);
    EXPECT_EQ(V(o[2].Bizindex), 2002);
    EXPECT_EQ(V(o[2].field_77), 3002);
    EXPECT_EQ(V(o[2].channel), 7);
    EXPECT_EQ(V(o[2].price), 10.25);
    EXPECT_EQ(V(o[2].volume), 300);
    EXPECT_EQ(V(o[2].field_271), 271);

    EXPECT_EQ(memcmp(o[0].side, "COLSE\0", 6), 0);
    EXPECT_EQ(Str(o[0].order_kind, 2), "S");
    EXPECT_EQ(Str(o[1].side, 6), "B");
    EXPECT_EQ(Str(o[1].order_kind, 2), "D");
    EXPECT_EQ(Str(o[2].side, 6), "B");  // low 24 bits are 1
    EXPECT_EQ(Str(o[2].order_kind, 2), "A");
    EXPECT_EQ(Str(o[3].side, 6), "S");
    EXPECT_EQ(Str(o[3].order_kind, 2), "D");
    EXPECT_EQ(Str(o[4].side, 6), "");  // phase number outside 1..7
    EXPECT_EQ(Str(o[5].side, 6), "START");

    // Type: SZ markets only, '1', '2', 'U' or a space.
    EXPECT_EQ(std::string(o[0].type, 2), std::string("1\0", 2));
    EXPECT_EQ(Str(o[1].type, 2), "2");
    EXPECT_EQ(Str(o[2].type, 2), "U");
    EXPECT_EQ(Str(o[3].type, 2), " ");
    EXPECT_EQ(std::string(o[4].type, 2), std::string(2, '\0'));  // SH market
}

TEST(OrderPush, AbsentTypeColumnAndNoValueDateTime) {
    RecordImage img(OrderColumns(false), 1);
    img.SetU64(0, 56, rb::kNoValue64);
    img.codes = {
        {"\x21"
         "000001",
         0, 1}};
    PushConvertContext ctx = rb::PushContext(img);
    rb::ReadCodes(img, &ConvertOrderPush, &ctx);
    std::vector<OrderData> out;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {1}, &out));
    const OrderData& o = out[0];
    EXPECT_EQ(Str(o.type, 2), " ");  // no column: a space, not the record's first byte
    EXPECT_EQ(V(o.date), 0);
    EXPECT_EQ(V(o.time), 0);
}

// Code keys are taken as stored: trailing blanks stay in the code, and the
// market byte 0x20 (a blank, the SZ market) still names its market, also
// when it is the key's only byte.
TEST(OrderPush, CodeKeysAreTakenAsStored) {
    RecordImage img(OrderColumns(true), 4);
    for (uint32_t i = 0; i < 4; ++i) {
        img.SetU32(i, 272, 1);
        img.SetU32(i, 12, 1);
        img.SetText(i, 89, "2");
    }
    img.codes = {{" ", 0, 1},
                 {"  ", 1, 1},
                 {"\x21"
                  "000001  ",
                  2, 1},
                 {"\x11"
                  "600000\t",
                  3, 1}};
    PushConvertContext ctx = rb::PushContext(img);
    rb::ReadCodes(img, &ConvertOrderPush, &ctx);
    std::vector<OrderData> o;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {1, 1, 1, 1}, &o));
    EXPECT_EQ(Str(o[0].market, 5), "USZI");
    EXPECT_EQ(std::string(o[0].code, 16), std::string(16, '\0'));
    EXPECT_EQ(Str(o[0].type, 2), "2");  // an SZ market: the type is filled
    EXPECT_EQ(Str(o[1].market, 5), "USZI");
    EXPECT_EQ(Str(o[1].code, 16), " ");
    EXPECT_EQ(Str(o[2].market, 5), "USZA");
    EXPECT_EQ(Str(o[2].code, 16), "000001  ");
    EXPECT_EQ(Str(o[3].market, 5), "USHA");
    EXPECT_EQ(Str(o[3].code, 16), "600000\t");

    // The other code-wise converters share the rule.
    PushConvertContext c2 = rb::PushContext(img);
    rb::ReadCodes(img, &ConvertTransactionPush, &c2);
    std::vector<Transaction> t;
    ASSERT_TRUE(rb::TakeGathered(&c2, {1, 1, 1, 1}, &t));
    EXPECT_EQ(Str(t[0].market, 5), "USZI");
    EXPECT_EQ(Str(t[2].code, 16), "000001  ");
    char market[5], code[16];
    KeyMarketCode(&img,
                  rb::Key("\x11"
                          "600000 ")
                      .data(),
                  market, code);
    EXPECT_EQ(Str(market, 5), "USHA");
    EXPECT_EQ(Str(code, 16), "600000 ");
}

std::vector<Column> TradeColumns() {
    return {{kP64 | 56, 8}, {kP64 | 82, 8},  {kI32 | 1, 4},  {kI32 | 76, 4}, {kI32 | 73, 4},
            {kP32 | 10, 4}, {kP32 | 20, 4},  {kP64 | 13, 8}, {kI32 | 74, 4}, {kI32 | 75, 4},
            {kI32 | 37, 4}, {kI32 | 272, 4}, {kI32 | 12, 4}, {kI32 | 271, 4}};
}

void FillTrade(RecordImage& img, uint32_t i, int32_t k, int32_t s) {
    img.SetU64(i, 56, Packed64(20240105100000000ull + i, 0, false));
    img.SetU64(i, 82, Packed64(20240105110000000ull + i, 0, false));
    img.SetU32(i, 1, 10 + i);
    img.SetU32(i, 76, 20 + i);
    img.SetU32(i, 73, 3);
    img.SetU32(i, 10, Price32(9.87, 2));
    img.SetU32(i, 20, Price32(8.76, 2));
    img.SetU64(i, 13, Packed64(500, 0, false));
    img.SetU32(i, 74, 740);
    img.SetU32(i, 75, 750);
    img.SetU32(i, 37, 370);
    img.SetU32(i, 272, uint32_t(k));
    img.SetU32(i, 12, uint32_t(s));
    img.SetU32(i, 271, 27);
}

TEST(TransactionPush, FillsAndCancellations) {
    RecordImage img(TradeColumns(), 4);
    FillTrade(img, 0, 7, 17);
    FillTrade(img, 1, 3, 2);
    FillTrade(img, 2, 4, 1);
    FillTrade(img, 3, 0, 0);
    img.codes = {{"\x11"
                  "600000",
                  0, 3},
                 {"\x21"
                  "000002",
                  3, 1}};
    PushConvertContext ctx = rb::PushContext(img);
    rb::ReadCodes(img, &ConvertTransactionPush, &ctx);
    std::vector<Transaction> t;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {3, 1}, &t));
    EXPECT_EQ(Str(t[0].type, 2), "F");
    EXPECT_EQ(Str(t[0].bsflag, 2), "S");  // field 12 = 17
    EXPECT_EQ(Str(t[1].type, 2), "C");
    EXPECT_EQ(Str(t[1].bsflag, 2), "B");
    EXPECT_EQ(Str(t[2].type, 2), "C");
    EXPECT_EQ(Str(t[2].bsflag, 2), "S");
    EXPECT_EQ(V(t[0].date), 20240105);
    EXPECT_EQ(V(t[0].time), 100000000);
    EXPECT_EQ(V(t[1].index), 11);
    EXPECT_EQ(V(t[1].Bizindex), 21);
    EXPECT_EQ(V(t[1].channel), 3);
    EXPECT_EQ(V(t[1].price), 9.87);
    EXPECT_EQ(V(t[1].volume), 500);
    EXPECT_EQ(V(t[1].buy_index), 740);
    EXPECT_EQ(V(t[1].sell_index), 750);
    EXPECT_EQ(V(t[1].field_271), 27);
    EXPECT_EQ(Str(t[3].market, 5), "USZA");
    EXPECT_EQ(Str(t[3].code, 16), "000002");

    for (int sell = 0; sell < 2; ++sell) {
        PushConvertContext c2 = rb::PushContext(img);
        rb::ReadCodes(img, sell ? &ConvertSellCancelPush : &ConvertBuyCancelPush, &c2);
        ASSERT_EQ(c2.blocks.size(), 2u);
        Transaction x;
        memcpy(&x, c2.blocks[0].records, sizeof x);
        FreeRecordBlocks(&c2.blocks);
        EXPECT_EQ(V(x.time), 110000000);  // field 82
        EXPECT_EQ(V(x.price), 8.76);      // field 20
        EXPECT_EQ(V(x.buy_index), sell ? 0 : 370);
        EXPECT_EQ(V(x.sell_index), sell ? 370 : 0);
        EXPECT_EQ(Str(x.type, 2), "C");
        EXPECT_EQ(Str(x.bsflag, 2), sell ? "S" : "B");
        EXPECT_EQ(V(x.index), 10);
        EXPECT_EQ(V(x.field_271), 27);
    }
}

// ---------------------------------------------------------------------------
// Order queues

RecordImage QueueImage(uint32_t records, uint32_t volumes) {
    return RecordImage({{kText | 900, uint16_t(28 + 4 * volumes)}}, records);
}

void PutQueue(RecordImage& img, uint32_t r, uint64_t datetime, uint32_t price, uint16_t n, uint32_t orders,
              const std::vector<uint32_t>& volumes) {
    uint8_t* p = img.Record(r);
    memcpy(p, &datetime, 8);
    memcpy(p + 8, &price, 4);
    uint16_t nn = uint16_t(0xF000 | n);  // bits 12-15 are not part of n
    memcpy(p + 18, &nn, 2);
    memcpy(p + 20, &orders, 4);
    for (size_t i = 0; i < volumes.size(); ++i) memcpy(p + 28 + 4 * i, &volumes[i], 4);
}

TEST(QueuePush, FirstRecordOfEachCode) {
    RecordImage img = QueueImage(3, 2);
    PutQueue(img, 0, Packed64(20240105093005250ull, 0, false), Price32(10.5, 1), 2, 17, {0x01000005, 7});
    PutQueue(img, 1, Packed64(20240105093006000ull, 0, false), Price32(99.9, 1), 1, 1, {1});
    PutQueue(img, 2, Packed64(20240105093007000ull, 0, false), Price32(8.8, 1), 0, 3, {});
    img.codes = {{"\x11"
                  "600000",
                  0, 2},
                 {"\x21"
                  "000001",
                  2, 1}};
    Capture cap;
    PushConvertContext ctx = rb::PushContext(img);
    ctx.fncorderqueue = &CaptureCallback;
    ctx.instance = &cap;
    ctx.produce_time = 5;
    ctx.sample_time = 6;
    rb::ReadCodes(img, &ConvertBidQueuePush, &ctx);
    ASSERT_EQ(cap.batches.size(), 2u);
    EXPECT_EQ(cap.counts[0], 1u);
    EXPECT_EQ(cap.timings[0].receive_time, 6u);
    ASSERT_EQ(cap.batches[0].size(), 55u);
    const OrderQueue* q = reinterpret_cast<const OrderQueue*>(cap.batches[0].data());
    EXPECT_EQ(Str(q->market, 5), "USHA");
    EXPECT_EQ(Str(q->code, 16), "600000");
    EXPECT_EQ(V(q->date), 20240105);
    EXPECT_EQ(V(q->time), 93005250);
    EXPECT_EQ(Str(q->side, 2), "B");
    EXPECT_EQ(V(q->price), 10.5);
    EXPECT_EQ(V(q->order_number), 17);
    EXPECT_EQ(V(q->show_number), 2);
    EXPECT_EQ(KvoOrderQueueVolume(q, 0), 5);
    EXPECT_EQ(KvoOrderQueueVolume(q, 1), 7);
    ASSERT_EQ(cap.batches[1].size(), 47u);
    const OrderQueue* q2 = reinterpret_cast<const OrderQueue*>(cap.batches[1].data());
    EXPECT_EQ(V(q2->show_number), 0);
    EXPECT_EQ(Str(q2->market, 5), "USZA");
}

TEST(QueuePush, AskTimesAndCountGuards) {
    RecordImage img = QueueImage(4, 1);
    PutQueue(img, 0, Packed64(93005, 0, false), Price32(1, 0), 1, 1, {9});                    // HHMMSS of today
    PutQueue(img, 1, Packed64(5000000000ull, 0, false), Price32(1, 0), 1, 1, {9});            // between the forms
    PutQueue(img, 2, Packed64(20240105093005250ull, 0, false), Price32(1, 0), 4095, 1, {9});  // n too large
    PutQueue(img, 3, rb::kNoValue64, Price32(1, 0), 1, 1, {9});
    img.codes = {{"\x11"
                  "600000",
                  0, 1},
                 {"\x11"
                  "600001",
                  1, 1},
                 {"\x11"
                  "600002",
                  2, 2},
                 {"\x11"
                  "600003",
                  3, 1}};
    Capture cap;
    PushConvertContext ctx = rb::PushContext(img);
    ctx.fncorderqueue = &CaptureCallback;
    ctx.instance = &cap;
    rb::ReadCodes(img, &ConvertAskQueuePush, &ctx);
    ASSERT_EQ(cap.batches.size(), 4u);
    OrderQueue q;
    memcpy(&q, cap.batches[0].data(), sizeof q);
    EXPECT_EQ(Str(q.side, 2), "S");
    EXPECT_EQ(V(q.time), 93005000);
    EXPECT_EQ(V(q.date), TodayRecordDate());
    memcpy(&q, cap.batches[1].data(), sizeof q);
    EXPECT_EQ(V(q.date), 5);
    EXPECT_EQ(V(q.time), 0);
    // The code's run holds two 32-byte records: (64 - 28) / 4 = 9 volumes.
    memcpy(&q, cap.batches[2].data(), sizeof q);
    EXPECT_EQ(V(q.show_number), 9);
    EXPECT_EQ(cap.batches[2].size(), KvoOrderQueueSize(9));
    EXPECT_EQ(V(q.time), 93005250);
    memcpy(&q, cap.batches[3].data(), sizeof q);
    EXPECT_EQ(V(q.date), 0);
    EXPECT_EQ(V(q.time), 0);

    // Records shorter than the queue head give nothing; no callback, nothing.
    RecordImage tiny({{kText | 900, 20}}, 1);
    tiny.codes = {
        {"\x11"
         "600000",
         0, 1}};
    PushConvertContext c2 = rb::PushContext(tiny);
    c2.fncorderqueue = &CaptureCallback;
    c2.instance = &cap;
    rb::ReadCodes(tiny, &ConvertBidQueuePush, &c2);
    c2.fncorderqueue = nullptr;
    rb::ReadCodes(img, &ConvertBidQueuePush, &c2);
    EXPECT_EQ(cap.batches.size(), 4u);
}

TEST(ConverterTable, ByDataType) {
    EXPECT_EQ(PushRecordConverterFor(kDataStockPush), &ConvertStockPush);
    EXPECT_EQ(PushRecordConverterFor(kDataIndexPush), &ConvertIndexPush);
    EXPECT_EQ(PushRecordConverterFor(kDataFiveLevelPush), &ConvertFiveLevelPush);
    EXPECT_EQ(PushRecordConverterFor(kDataTransactionPush), nullptr);
    EXPECT_EQ(PushCodeConverterFor(kDataOrderPush), &ConvertOrderPush);
    EXPECT_EQ(PushCodeConverterFor(kDataAskQueuePush), &ConvertAskQueuePush);
    EXPECT_EQ(PushCodeConverterFor(kDataStockPush), nullptr);
    EXPECT_EQ(OutputRecordSize(kDataStockPush), 809u);
    EXPECT_EQ(OutputRecordSize(kDataTransactionPush), 69u);
    EXPECT_EQ(OutputRecordSize(kDataSuperStockSnapshot), 357u);
    EXPECT_EQ(OutputRecordSize(13), 0u);
}

}  // namespace

// ---------------------------------------------------------------------------
// End to end: an image written in the stored "hq6." form, decoded by the
// quote-file layer and converted through its native columns.

namespace {

TEST(NativeImage, DecodedImageConverts) {
    qw::Table t = qw::MakeTable({{kText | 5, 0, 12},
                                 {kI32 | 56, 0, 4},
                                 {kP64 | 1, 0, 8},
                                 {kP32 | 10, 0, 4},
                                 {kP64 | 13, 0, 8},
                                 {kI32 | 272, 0, 4},
                                 {kI32 | 12, 0, 4},
                                 {kText | 89, 0, 1}},
                                3);
    for (uint32_t r = 0; r < 3; ++r) {
        qw::SetU64(t, r, 2, Packed64(100 + r, 0, false));
        qw::SetU32(t, r, 3, Price32(12.5 + r, 1));
        qw::SetU64(t, r, 4, Packed64(1000, 0, false));
        qw::SetU32(t, r, 5, 5);
        qw::SetU32(t, r, 6, r + 1);
        qw::SetText(t, r, 7, "2");
    }
    t.codes = {{"\x21"
                "000001",
                0, 2},
               {"\x11"
                "600000",
                2, 1}};
    qw::Bytes stored = qw::Hq6Image(t, 0x10);

    QfConvertPlan plan;
    ASSERT_EQ(QF_PlanConversion(stored.data(), stored.size(), &plan), 0u);
    std::vector<uint8_t> buf(std::max<uint64_t>(plan.nativeSize, stored.size()));
    memcpy(buf.data(), stored.data(), stored.size());
    uint64_t len = 0;
    ASSERT_EQ(QF_ConvertVarLen(buf.data(), stored.size(), buf.size(), plan, &len), 0u);
    QfNativeInfo info;
    ASSERT_EQ(QF_ParseNative(buf.data(), len, false, &info), 0u);

    NativeConvertImage image(info);
    EXPECT_EQ(image.RecordSize(), 45u);
    EXPECT_EQ(image.ColumnCount(), 8u);
    QuoteFieldDescriptor d{};
    ASSERT_EQ(image.GetFieldInfo(0x7000 | 13, &d), 0u);  // kind bits ignored
    EXPECT_EQ(d.id, 13u);
    EXPECT_EQ(d.offset, 28u);
    EXPECT_EQ(d.width, 8u);
    EXPECT_EQ(image.GetFieldInfo(77, &d), 0xFFFFFFFFu);
    EXPECT_TRUE(IsAbsentField(d));

    ConvertSession session;
    PushConvertContext ctx = rb::PushContext(image, &session);
    const uint8_t* data = buf.data() + info.header.dataOffset;
    for (const qw::Code& c : t.codes) {
        std::string key = rb::Key(c.code);
        ConvertOrderPush(&ctx, key.data(), data + size_t(c.first) * ctx.record_size, int32_t(c.count));
    }
    std::vector<OrderData> o;
    ASSERT_TRUE(rb::TakeGathered(&ctx, {2, 1}, &o));
    EXPECT_EQ(Str(o[0].market, 5), "USZA");
    EXPECT_EQ(V(o[1].index), 101);
    EXPECT_EQ(V(o[1].price), 13.5);
    EXPECT_EQ(V(o[1].volume), 1000);
    EXPECT_EQ(memcmp(o[0].side, "START\0", 6), 0);
    EXPECT_EQ(memcmp(o[1].side, "OCALL\0", 6), 0);
    EXPECT_EQ(Str(o[0].type, 2), "2");
    EXPECT_EQ(Str(o[2].market, 5), "USHA");
    EXPECT_EQ(Str(o[2].type, 2), "");
    EXPECT_EQ(Str(o[2].order_kind, 2), "S");
}

}  // namespace
