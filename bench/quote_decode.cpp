// Opening quote-file images of each family and block kind, 50, 1,000, 5,000
// and 20,000 records each, opened with CHQuoteFile and read whole. The
// records are a realistic market push: securities whose ticks follow one
// another, prices moving a tick at a time around each security's level,
// ten-level books whose volumes change now and then, volumes, turnover and
// trade counts growing, deep book levels and open interest present only for
// some securities (long runs of absent fields), and the codes and names
// repeating over each security's ticks.
// Every case prints beside it the cost of the raw bytes in the same run:
// "x_memcpy" is the open's time over a memcpy of the native image, and for
// the snappy-coded "hq6." image "x_snappy" is its time over snappy's own
// decompression of the same payload; "ratio" is the native image's size over
// the stored image's.
#include <benchmark/benchmark.h>
#include <snappy-c.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quote/qf_quotefile.h"
#include "simulator/quote_writer.h"

namespace {

constexpr uint32_t kRecords = 5000;
constexpr uint32_t kTicksPerCode = 50;

// Column numbers of the table below.
enum : size_t {
    kCode,
    kName,
    kDate,
    kTime,
    kLast,
    kOpen,
    kHigh,
    kLow,
    kClose,
    kAvg,
    kBid = 10,
    kAsk = 20,
    kBidVol = 30,
    kAskVol = 40,
    kVolume = 50,
    kTurnover,
    kTrades,
    kOpenInterest
};

constexpr uint32_t Price32(uint32_t cents) { return 0xA0000000u | cents; }  // / 10^2
constexpr uint64_t Money64(uint64_t cents) { return 0x8000000000000000ull | (2ull << 59) | cents; }

qw::Table StockTable(uint32_t records) {
    std::vector<qw::Column> cols = {{0x1001, 0, 8}, {0x2002, 0, 16}, {0x3003, 0, 4}, {0x3004, 0, 4}};
    for (uint32_t i = 0; i < 6; ++i) cols.push_back({0x7010 + i, 0, 4});   // last, open, high, low, close, avg
    for (uint32_t i = 0; i < 20; ++i) cols.push_back({0x7020 + i, 0, 4});  // ten bid and ten ask prices
    for (uint32_t i = 0; i < 20; ++i) cols.push_back({0x0040 + i, 0, 8});  // their volumes
    cols.push_back({0x0060, 0, 8});                                        // total volume
    cols.push_back({0x0061, 0, 8});                                        // turnover
    cols.push_back({0x3062, 0, 4});                                        // trade count
    cols.push_back({0x0063, 0, 8});                                        // open interest
    qw::Table t = qw::MakeTable(cols, records);
    std::mt19937 rng(2026);
    auto pick = [&rng](uint32_t n) { return uint32_t(rng() % n); };
    for (uint32_t first = 0, k = 0; first < records; first += kTicksPerCode, ++k) {
        const uint32_t n = std::min(kTicksPerCode, records - first);
        const std::string code = std::to_string(60000000 + 3 * k);  // fills its field
        const std::string name = "stock " + std::to_string(k);
        uint32_t last = 300 + pick(4700), open = last, high = last, low = last;
        const uint32_t close = last + pick(20) - 10;
        const bool deep = pick(10) < 6;      // full ten-level book
        const bool interest = pick(10) < 2;  // carries an open interest
        uint64_t volume = 1000000 + uint64_t(pick(100000)) * 100, turnover = volume * last, trades = 5000 + pick(50000);
        uint64_t interestNow = 200000 + pick(100000);
        uint32_t time = 93000000 + pick(3000);
        uint64_t bookVol[20];
        for (uint64_t& v : bookVol) v = 100 * (1 + pick(50));
        for (uint32_t j = 0; j < n; ++j) {
            const uint32_t r = first + j;
            const uint32_t step = pick(4);
            if (step == 0 && last > 10) --last;
            if (step == 3) ++last;
            high = std::max(high, last);
            low = std::min(low, last);
            const uint32_t traded = 100 * (1 + pick(20));
            volume += traded;
            turnover += uint64_t(traded) * last;
            trades += 1 + pick(3);
            time += 1000 + pick(2000);
            qw::SetText(t, r, kCode, code);
            qw::SetText(t, r, kName, name);
            qw::SetU32(t, r, kDate, 20261207);
            qw::SetU32(t, r, kTime, time);
            qw::SetU32(t, r, kLast, Price32(last));
            qw::SetU32(t, r, kOpen, Price32(open));
            qw::SetU32(t, r, kHigh, Price32(high));
            qw::SetU32(t, r, kLow, Price32(low));
            qw::SetU32(t, r, kClose, Price32(close));
            qw::SetU32(t, r, kAvg, Price32(uint32_t(turnover / volume)));
            for (uint32_t i = 0; i < 10; ++i) {
                if (i >= 5 && !deep) {
                    qw::SetAbsent(t, r, kBid + i);
                    qw::SetAbsent(t, r, kAsk + i);
                    qw::SetAbsent(t, r, kBidVol + i);
                    qw::SetAbsent(t, r, kAskVol + i);
                    continue;
                }
                for (uint32_t side = 0; side < 2; ++side) {
                    uint64_t& v = bookVol[10 * side + i];
                    if (pick(10) < 3) v = 100 * (1 + pick(50));
                    qw::SetU32(t, r, (side ? kAsk : kBid) + i,
                               Price32(side ? last + 1 + i : last - std::min(last - 1, i)));
                    qw::SetU64(t, r, (side ? kAskVol : kBidVol) + i, v);
                }
            }
            qw::SetU64(t, r, kVolume, volume);
            qw::SetU64(t, r, kTurnover, Money64(turnover));
            qw::SetU32(t, r, kTrades, uint32_t(trades));
            if (interest) {
                interestNow += pick(5) * 10;
                qw::SetU64(t, r, kOpenInterest, interestNow);
            } else {
                qw::SetAbsent(t, r, kOpenInterest);
            }
        }
        t.codes.push_back({code, first, n});
    }
    return t;
}

const qw::Table& Table(uint32_t records = kRecords) {
    static std::map<uint32_t, qw::Table> tables;
    auto it = tables.find(records);
    if (it == tables.end()) it = tables.emplace(records, StockTable(records)).first;
    return it->second;
}

qw::Bytes Image(int which, uint32_t records) {
    const qw::Table& t = Table(records);
    // 0 native, 1 to 5 the compact versions, 6 "hq6." raw, 7 "hq6." snappy.
    static const char* const kCompactVersions[] = {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"};
    if (which == 0) return qw::NativeImage(t);
    if (which <= 5) {
        qw::CompactOptions o;
        o.version = kCompactVersions[which - 1];
        return qw::CompactImage(t, o);
    }
    return qw::Hq6Image(t, which == 6 ? 0 : 0x10);
}

const char* kNames[] = {"hq1_native",   "hd1.0_raw",   "hd3.0_transposed", "hd3.1_rle",
                        "hd5.0_delta7", "hd5.1_delta", "hq6_raw",          "hq6_snappy"};

int32_t Touch(void*, const uint8_t* p, int32_t n) {
    if (p) benchmark::DoNotOptimize(p[uint64_t(n - 1)]);
    return 0;
}

template <class F>
double SecondsPerCall(F&& f) {
    using clock = std::chrono::steady_clock;
    int n = 0;
    auto start = clock::now();
    do {
        f();
        ++n;
    } while (clock::now() - start < std::chrono::milliseconds(200));
    return std::chrono::duration<double>(clock::now() - start).count() / n;
}

// The raw costs the opens are set against: a memcpy of the native image, and
// snappy's own decompression of the snappy-coded image's column content.
struct MemcpyNative {
    const qw::Bytes native;
    std::vector<uint8_t> dst;
    explicit MemcpyNative(uint32_t records) : native(qw::NativeImage(Table(records))), dst(native.size()) {}
    void operator()() {
        std::memcpy(dst.data(), native.data(), native.size());
        benchmark::ClobberMemory();
    }
};

struct SnappyUncompress {
    const qw::Bytes payload;
    std::vector<char> out;
    explicit SnappyUncompress(uint32_t records)
        : payload(qw::SnappyCompress(qw::SnappyColumnsContent(Table(records)))) {
        size_t n = 0;
        snappy_uncompressed_length(reinterpret_cast<const char*>(payload.data()), payload.size(), &n);
        out.resize(n);
    }
    void operator()() {
        size_t m = out.size();
        snappy_uncompress(reinterpret_cast<const char*>(payload.data()), payload.size(), out.data(), &m);
        benchmark::ClobberMemory();
    }
};

void BM_OpenAndRead(benchmark::State& state) {
    const int which = int(state.range(0));
    const uint32_t records = uint32_t(state.range(1));
    const qw::Bytes img = Image(which, records);
    MemcpyNative copy(records);
    auto open = [&] {
        CHQuoteFile f;
        if (f.OpenMemory(img.data(), uint32_t(img.size()), 0) != 0) std::abort();
        if (f.ReadRecords(0, 0, QfRecordCallback(nullptr, &Touch)) != int32_t(records)) std::abort();
    };
    for (auto _ : state) open();
    state.SetLabel(std::string(kNames[which]) + " " + std::to_string(img.size()) + " B stored");
    state.counters["ratio"] = double(copy.native.size()) / double(img.size());
    state.SetBytesProcessed(int64_t(state.iterations() * copy.native.size()));
    state.SetItemsProcessed(int64_t(state.iterations() * records));
    // Baselines in the same run.
    const double openTime = SecondsPerCall(open);
    state.counters["x_memcpy"] = openTime / SecondsPerCall(copy);
    if (which == 7) {
        SnappyUncompress unsnap(records);
        state.counters["x_snappy"] = openTime / SecondsPerCall(unsnap);
    }
}
BENCHMARK(BM_OpenAndRead)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 7, 1), {50, 1000, kRecords, 20000}})
    ->Unit(benchmark::kMicrosecond);

void BM_Baseline_MemcpyNative(benchmark::State& state) {
    MemcpyNative copy(kRecords);
    for (auto _ : state) copy();
    state.SetBytesProcessed(int64_t(state.iterations() * copy.native.size()));
    state.SetItemsProcessed(int64_t(state.iterations() * kRecords));
}
BENCHMARK(BM_Baseline_MemcpyNative)->Unit(benchmark::kMicrosecond);

void BM_Baseline_SnappyUncompress(benchmark::State& state) {
    SnappyUncompress unsnap(kRecords);
    for (auto _ : state) unsnap();
    state.SetBytesProcessed(int64_t(state.iterations() * unsnap.out.size()));
}
BENCHMARK(BM_Baseline_SnappyUncompress)->Unit(benchmark::kMicrosecond);

}  // namespace
