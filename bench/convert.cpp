// Record conversion throughput: records per second turned into output
// records for each data type, measured beside the cost of decoding the same
// images ("hq6." with snappy columns) into the native layout, so that the
// two rows of a type show what conversion adds to decoding.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_qf.h"
#include "quote/qf_format.h"
#include "simulator/quote_writer.h"
#include "tests/support/push_images.h"
#include "tests/support/record_builder.h"

namespace {

constexpr uint32_t kRaw = 0x6000;  // stored byte for byte (queue and super-stock records)

// One data type's image: the stored form and its decoded native form.
struct Sample {
    qw::Bytes stored;
    std::vector<uint8_t> native;
    QfNativeInfo info;
    std::vector<qw::Code> codes;
    uint32_t records = 0;
};

std::vector<uint8_t> Decode(const qw::Bytes& stored) {
    QfConvertPlan plan;
    if (QF_PlanConversion(stored.data(), stored.size(), &plan) != 0) throw std::runtime_error("plan");
    std::vector<uint8_t> buf(plan.nativeSize > stored.size() ? plan.nativeSize : stored.size());
    memcpy(buf.data(), stored.data(), stored.size());
    uint64_t len = 0;
    if (QF_ConvertVarLen(buf.data(), stored.size(), buf.size(), plan, &len) != 0) throw std::runtime_error("decode");
    buf.resize(len);
    return buf;
}

Sample Finish(qw::Table& t) {
    Sample s;
    s.stored = qw::Hq6Image(t, 0x10);
    s.native = Decode(s.stored);
    if (QF_ParseNative(s.native.data(), s.native.size(), false, &s.info) != 0) throw std::runtime_error("parse");
    s.codes = t.codes;
    s.records = t.records;
    return s;
}

// Stock ticks with ten-level books: 1000 records of every tick column.
Sample StockSample() {
    qw::Table t = kvotest::FullStockTable(1000);
    return Finish(t);
}

// Orders and transactions: 5000 records in codes of 50.
Sample OrderSample(bool transactions) {
    qw::Table t = kvotest::FullTradeTable(5000, 50, transactions);
    return Finish(t);
}

// Order queues: 500 codes of one record with 50 volumes.
Sample QueueSample() {
    qw::Table t = qw::MakeTable({{kRaw | 900, 0, 28 + 4 * 50}}, 500);
    for (uint32_t r = 0; r < t.records; ++r) {
        uint8_t* p = t.Field(r, 0);
        uint64_t dt = rb::Packed64(20240105093000000ull + r, 0, false);
        uint32_t price = rb::Packed32(1000 + r, 2, true);
        uint16_t n = 50;
        uint32_t orders = 50;
        memcpy(p, &dt, 8);
        memcpy(p + 8, &price, 4);
        memcpy(p + 18, &n, 2);
        memcpy(p + 20, &orders, 4);
        for (uint32_t i = 0; i < 50; ++i) {
            uint32_t v = 100 * (i + 1);
            memcpy(p + 28 + 4 * i, &v, 4);
        }
    }
    kvotest::AddCodeRuns(t, 1);
    return Finish(t);
}

// Super-stock books: 200 codes of a header and 40 levels (20 per side).
Sample SuperStockSample() {
    const uint32_t perCode = 41;
    qw::Table t = qw::MakeTable({{kRaw | 950, 0, 20}}, 200 * perCode);
    for (uint32_t code = 0; code < 200; ++code) {
        uint8_t* h = t.Field(code * perCode, 0);
        uint32_t head[5] = {0xFFFFFFFFu, (12345u << 8) | 1u, 20, 20 | (250u << 22), 1704418205u};
        memcpy(h, head, sizeof head);
        for (uint32_t i = 0; i < 40; ++i) {
            uint8_t* p = t.Field(code * perCode + 1 + i, 0);
            uint32_t e[3] = {rb::Packed32(1000 + i, 2, true), rb::Packed32(100 + i, 0, false), i < 20 ? 1u : 2u};
            memcpy(p, e, sizeof e);
        }
    }
    kvotest::AddCodeRuns(t, perCode);
    return Finish(t);
}

const Sample& Get(int kind) {
    static std::map<int, Sample> samples;
    auto it = samples.find(kind);
    if (it != samples.end()) return it->second;
    Sample s;
    switch (kind) {
    case 0:
        s = StockSample();
        break;
    case 4:
        s = OrderSample(true);
        break;
    case 5:
        s = QueueSample();
        break;
    case 7:
        s = OrderSample(false);
        break;
    default:
        s = SuperStockSample();
        break;
    }
    return samples.emplace(kind, std::move(s)).first->second;
}

int32_t NoHost(void*, const void*, uint32_t, const PushTiming*) { return 0; }

void BM_Decode(benchmark::State& state) {
    const Sample& s = Get(int(state.range(0)));
    for (auto _ : state) {
        std::vector<uint8_t> native = Decode(s.stored);
        benchmark::DoNotOptimize(native.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * s.records);
}

void BM_Convert(benchmark::State& state) {
    int kind = int(state.range(0));
    const Sample& s = Get(kind);
    NativeConvertImage image(s.info);
    const uint8_t* data = s.native.data() + s.info.header.dataOffset;
    uint32_t size = s.info.header.recordSize;
    ConvertSession session;
    for (auto _ : state) {
        PushConvertContext ctx;
        ctx.image = &image;
        ctx.record_size = size;
        ctx.session = &session;
        ctx.fnctickstock = &NoHost;
        ctx.fncorderqueue = &NoHost;
        ctx.datatime = 20240105093000000ull;
        if (kind == kDataStockPush) {
            ConvertStockPush(&ctx, data, int32_t(s.records));
        } else {
            PushCodeConverter fn = PushCodeConverterFor(uint32_t(kind));
            for (const qw::Code& c : s.codes) {
                std::string key = rb::Key(c.code);
                fn(&ctx, key.data(), data + size_t(c.first) * size, int32_t(c.count));
            }
        }
        benchmark::DoNotOptimize(ctx.gathered);
        if (kind != kDataBidQueuePush && ctx.gathered == 0) state.SkipWithError("nothing converted");
        FreeRecordBlocks(&ctx.blocks);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * s.records);
}

// Argument: the data-type id (0 stock ticks, 4 transactions, 5 bid queues,
// 7 orders, 11 super-stock books). Each id's decode row is the baseline of
// its convert row.
BENCHMARK(BM_Decode)->Arg(0)->Arg(4)->Arg(5)->Arg(7)->Arg(11);
BENCHMARK(BM_Convert)->Arg(0)->Arg(4)->Arg(5)->Arg(7)->Arg(11);

}  // namespace
