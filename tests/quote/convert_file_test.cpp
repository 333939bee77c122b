// Converters driven by the quote-file reader: images written in the stored
// families, opened with CHQuoteFile and read record-wise or code-wise
// through the bound converters, as push processing and queries do.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_qf.h"
#include "quote/qf_quotefile.h"
#include "quote/superstock.h"
#include "simulator/quote_writer.h"
#include "tests/support/local_time.h"
#include "tests/support/record_builder.h"

namespace {

using rb::kI32;
using rb::kP32;
using rb::kP64;
using rb::kText;
using rb::Str;
using rb::V;

struct Host {
    std::vector<TickIndex> ticks;
    std::vector<PushTiming> timings;
};

int32_t OnIndex(void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    Host* h = static_cast<Host*>(handle);
    const TickIndex* r = static_cast<const TickIndex*>(records);
    h->ticks.insert(h->ticks.end(), r, r + count);
    h->timings.push_back(*timing);
    return 0;
}

qw::Table IndexTable() {
    qw::Table t = qw::MakeTable({{kText | 5, 0, 12},
                                 {kText | 55, 0, 16},
                                 {kI32 | 56, 0, 4},
                                 {kI32 | 1, 0, 4},
                                 {kP64 | 278, 0, 8},
                                 {kP64 | 13, 0, 8}},
                                4);
    const char* codes[4] = {
        "\x10"
        "1B0001",
        "\x10"
        "1A0002",
        " 399001",
        "\x11"
        "600000"};
    for (uint32_t r = 0; r < 4; ++r) {
        qw::SetText(t, r, 0, codes[r]);
        qw::SetText(t, r, 1, "NAME");
        qw::SetU32(t, r, 2, r == 2 ? 93005250u : 0u);
        qw::SetU32(t, r, 3, 1704418205u);
        qw::SetU64(t, r, 4, rb::Price64(3000.5 + r, 1));
        qw::SetU64(t, r, 5, rb::Packed64(1000 * (r + 1), 0, false));
    }
    return t;
}

// Index pushes in each stored family reach the host's callback in one batch.
TEST(ConvertFile, IndexPushFromEveryFamily) {
    qw::Table t = IndexTable();
    std::vector<std::pair<std::string, qw::Bytes>> images = {
        {"hq1", qw::NativeImage(t)},
        {"hd1.0", qw::CompactImage(t)},
        {"hd3.0", qw::CompactImage(t, qw::CompactOptions{"hd3.0"})},
        {"hq6 raw", qw::Hq6Image(t, 0)},
        {"hq6 snappy", qw::Hq6Image(t, 0x10)},
    };
    for (auto& [name, bytes] : images) {
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u) << name;
        ASSERT_GT(file.GetRecordSize(), 0u) << name;
        EXPECT_EQ(file.GetCodeCount(), 0u) << name;
        QuoteFileConvertImage image(file);
        Host host;
        ConvertSession session;
        PushConvertContext ctx = rb::PushContext(image, &session);
        ctx.instance = &host;
        ctx.fnctickindex = &OnIndex;
        ctx.datatime = 20240105093000000ull;
        ctx.produce_time = 10;
        ctx.send_time = 20;
        ctx.sample_time = 30;
        EXPECT_EQ(file.ReadRecords(0, 0, BindPushRecordConverter(kDataIndexPush, &ctx)), 4) << name;
        ASSERT_EQ(host.ticks.size(), 4u) << name;
        ASSERT_EQ(host.timings.size(), 1u) << name;
        EXPECT_EQ(host.timings[0].receive_time, 30u);
        EXPECT_EQ(Str(host.ticks[0].code, 16), "000004") << name;
        EXPECT_EQ(Str(host.ticks[1].code, 16), "000002") << name;
        EXPECT_EQ(Str(host.ticks[2].market, 5), "USZI") << name;
        EXPECT_EQ(V(host.ticks[2].time), 93005250) << name;
        EXPECT_EQ(V(host.ticks[3].time), 93000000) << name;
        EXPECT_EQ(V(host.ticks[3].new_price), 3003.5) << name;
        EXPECT_EQ(V(host.ticks[3].volume), 4000) << name;
        EXPECT_EQ(Str(host.ticks[3].codename, 20), "NAME") << name;
    }
}

TEST(ConvertFile, IndexSnapshotIntoTheSessionList) {
    kvotest::ScopedTimeZone zone("Asia/Shanghai");
    qw::Table t = IndexTable();
    qw::Bytes bytes = qw::Hq6Image(t, 0x10);
    CHQuoteFile file;
    ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
    QuoteFileConvertImage image(file);
    ConvertSession session;
    SnapshotConvertContext ctx = rb::SnapshotContext(image);
    ctx.indexList = &session.indexList;
    {
        corvane::CTLSingleLock lock(&session.indexList.Mutex(), 1);
        session.indexList.Clear();
        EXPECT_EQ(file.ReadRecords(0, 0, BindSnapshotRecordConverter(kDataIndexSnapshot, &ctx)), 4);
        std::vector<TickIndex> r = rb::ListRecords<TickIndex>(session.indexList);
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(Str(r[0].code, 16), "000004");
        EXPECT_EQ(V(r[0].date), 20240105);
        EXPECT_EQ(V(r[0].time), 93005000);
    }
}

TEST(ConvertFile, TransactionsCodeByCode) {
    const qw::Table t = rb::TransactionTable(5, 3);
    for (const qw::Bytes& bytes : {qw::NativeImage(t), qw::CompactImage(t), qw::Hq6Image(t, 0x10)}) {
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        ASSERT_EQ(file.GetCodeCount(), 2u);
        QuoteFileConvertImage image(file);
        ConvertSession session;
        PushConvertContext ctx = rb::PushContext(image, &session);
        file.ReadCodeRecords(0, 0, BindPushCodeConverter(kDataTransactionPush, &ctx));
        std::vector<Transaction> x;
        ASSERT_TRUE(rb::TakeGathered(&ctx, {3, 2}, &x));
        EXPECT_EQ(Str(x[0].market, 5), "USHA");
        EXPECT_EQ(Str(x[4].market, 5), "USZA");
        EXPECT_EQ(Str(x[4].code, 16), "000001");
        EXPECT_EQ(V(x[4].index), 5);
        EXPECT_EQ(V(x[4].time), 100000004);
        EXPECT_EQ(Str(x[1].type, 2), "C");
        EXPECT_EQ(Str(x[1].bsflag, 2), "S");
        EXPECT_EQ(Str(x[2].bsflag, 2), "B");
        EXPECT_EQ(V(x[3].price), 9.5);
    }
}

// A block-chained index hands the converters each code's records block by
// block: the records that come out equal those of the plain index.
TEST(ConvertFile, ChainedIndexGivesThePlainIndexRecords) {
    qw::Table t = qw::MakeTable({{kP64 | 56, 0, 8}, {kI32 | 1, 0, 4}, {kP32 | 10, 0, 4}, {kP64 | 13, 0, 8}}, 11);
    for (uint32_t r = 0; r < 11; ++r) {
        qw::SetU64(t, r, 0, rb::Packed64(20240105100000000ull + r, 0, false));
        qw::SetU32(t, r, 1, r + 1);
        qw::SetU32(t, r, 2, rb::Price32(9.5 + r, 1));
        qw::SetU64(t, r, 3, rb::Packed64(100 + r, 0, false));
    }
    t.codes = {{"\x11"
                "600000",
                0, 5},
               {"\x21"
                "000001",
                5, 1},
               {"\x11"
                "600004",
                6, 5}};
    auto convert = [](const qw::Bytes& bytes, std::vector<uint32_t>* counts) {
        CHQuoteFile file;
        EXPECT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        QuoteFileConvertImage image(file);
        PushConvertContext ctx = rb::PushContext(image);
        file.ReadCodeRecords(0, 0, BindPushCodeConverter(kDataTransactionPush, &ctx));
        for (const RecordBlock& b : ctx.blocks) counts->push_back(b.count);
        return rb::TakeRecords<Transaction>(&ctx.blocks);
    };
    std::vector<uint32_t> plainCounts, chainedCounts;
    std::vector<Transaction> plain = convert(qw::NativeImage(t), &plainCounts);
    std::vector<Transaction> chained = convert(qw::ChainedNativeImage(t, 2), &chainedCounts);
    EXPECT_EQ(plainCounts, (std::vector<uint32_t>{5, 1, 5}));
    EXPECT_EQ(chainedCounts, (std::vector<uint32_t>{2, 2, 1, 1, 2, 2, 1}));  // blocks of two
    ASSERT_EQ(chained.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(memcmp(&chained[i], &plain[i], sizeof plain[i]), 0) << i;
    EXPECT_EQ(V(chained[10].index), 11);
}

// A super-stock block without its marker ends the reader's code iteration.
TEST(ConvertFile, SuperStockMarkerStopsTheReader) {
    // Raw 20-byte records: a column kind the stored forms keep byte for byte.
    qw::Table t = qw::MakeTable({{0x6000 | 950, 0, 20}}, 9);
    auto header = [&](uint32_t r, uint32_t marker) {
        uint32_t h[5] = {marker, (1500u << 8) | 1u, 1, 1, 1704418205u};
        memcpy(t.Field(r, 0), h, sizeof h);
    };
    auto entry = [&](uint32_t r, double price, uint32_t side) {
        uint32_t e[3] = {rb::Price32(price, 2), 100, side};
        memcpy(t.Field(r, 0), e, sizeof e);
    };
    for (uint32_t code = 0; code < 3; ++code) {
        header(code * 3, code == 1 ? 0u : 0xFFFFFFFFu);
        entry(code * 3 + 1, 9.99, 1);
        entry(code * 3 + 2, 10.01, 2);
    }
    t.codes = {{"\x11"
                "600001",
                0, 3},
               {"\x11"
                "600002",
                3, 3},
               {"\x11"
                "600003",
                6, 3}};
    qw::Bytes bytes = qw::Hq6Image(t, 0x10);
    CHQuoteFile file;
    ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
    QuoteFileConvertImage image(file);

    PushConvertContext push = rb::PushContext(image);
    file.ReadCodeRecords(0, 0, BindPushCodeConverter(kDataSuperStockPush, &push));
    std::vector<SuperStock> s;
    ASSERT_TRUE(rb::TakeGathered(&push, {1}, &s));
    EXPECT_EQ(Str(s[0].code, 16), "600001");
    EXPECT_EQ(V(s[0].new_price), 1.5);
    EXPECT_EQ(V(s[0].bidorder_price[0]), 9.99);
    EXPECT_EQ(V(s[0].askorder_price[0]), 10.01);

    ConvertSession session;
    SnapshotConvertContext snap = rb::SnapshotContext(image);
    snap.superStockList = &session.superStockList;
    file.ReadCodeRecords(0, 0, BindSnapshotCodeConverter(kDataSuperStockSnapshot, &snap));
    EXPECT_EQ(session.superStockList.Count(), 1u);
}

TEST(ConvertFile, BindersByDataType) {
    PushConvertContext p;
    SnapshotConvertContext s;
    for (uint32_t id : {0u, 1u, 10u}) EXPECT_FALSE(BindPushRecordConverter(id, &p).IsEmpty()) << id;
    for (uint32_t id : {2u, 3u, 4u, 11u, 12u}) EXPECT_TRUE(BindPushRecordConverter(id, &p).IsEmpty()) << id;
    for (uint32_t id : {4u, 5u, 6u, 7u, 8u, 9u, 11u}) EXPECT_FALSE(BindPushCodeConverter(id, &p).IsEmpty()) << id;
    for (uint32_t id : {0u, 1u, 10u, 12u}) EXPECT_TRUE(BindPushCodeConverter(id, &p).IsEmpty()) << id;
    EXPECT_FALSE(BindSnapshotRecordConverter(2, &s).IsEmpty());
    EXPECT_FALSE(BindSnapshotRecordConverter(3, &s).IsEmpty());
    EXPECT_TRUE(BindSnapshotRecordConverter(12, &s).IsEmpty());
    EXPECT_FALSE(BindSnapshotCodeConverter(12, &s).IsEmpty());
    EXPECT_TRUE(BindSnapshotCodeConverter(11, &s).IsEmpty());
}

}  // namespace
