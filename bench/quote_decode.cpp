// Opening quote-file images of each family and block kind: stock records
// with ten-level books (5,000 of them; the snappy-coded "hq6." image also
// with 1,000 and 20,000), opened with CHQuoteFile and read whole.
// Every case prints beside it the cost of the raw bytes in the same run:
// "x_memcpy" is the open's time over a memcpy of the native image, and for
// the snappy-coded "hq6." image "x_snappy" is its time over snappy's own
// decompression of the same payload.
#include <benchmark/benchmark.h>
#include <snappy-c.h>

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

qw::Table StockTable(uint32_t records) {
  std::vector<qw::Column> cols = {{0x1001, 0, 8}, {0x2002, 0, 16}, {0x3003, 0, 4}, {0x3004, 0, 4}};
  for (uint32_t i = 0; i < 6; ++i) cols.push_back({0x7010 + i, 0, 4});     // last, open, high, low, close, avg
  for (uint32_t i = 0; i < 20; ++i) cols.push_back({0x7020 + i, 0, 4});    // ten bid and ten ask prices
  for (uint32_t i = 0; i < 20; ++i) cols.push_back({0x0040 + i, 0, 8});    // their volumes
  cols.push_back({0x0060, 0, 8});                                            // total volume
  cols.push_back({0x0061, 0, 8});                                            // turnover
  qw::Table t = qw::MakeTable(cols, records);
  std::mt19937 rng(2026);
  for (uint32_t r = 0; r < records; ++r) {
    qw::SetText(t, r, 0, std::to_string(60000000 + r));
    qw::SetText(t, r, 1, "stock " + std::to_string(r % 977));
    qw::SetU32(t, r, 2, 20261207);
    qw::SetU32(t, r, 3, 93000000 + (rng() % 60000));
    uint32_t price = 1000 + rng() % 90000;
    for (uint32_t i = 0; i < 6; ++i) qw::SetU32(t, r, 4 + i, 0x20000000u | (price + rng() % 50));
    for (uint32_t i = 0; i < 20; ++i) {
      if (rng() % 25 == 0) {
        qw::SetAbsent(t, r, 10 + i);
        qw::SetAbsent(t, r, 30 + i);
        continue;
      }
      uint32_t level = i < 10 ? price - i : price + 1 + (i - 10);
      qw::SetU32(t, r, 10 + i, 0x20000000u | level);
      qw::SetU64(t, r, 30 + i, 100 * (1 + rng() % 5000));
    }
    qw::SetU64(t, r, 50, uint64_t(r) * 1000 + rng() % 1000);
    qw::SetU64(t, r, 51, 0x1000000000000000ull | (rng() % 100000000));
  }
  for (uint32_t i = 0; i < records; i += 50) t.codes.push_back({std::to_string(60000000 + i), i, 50});
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
  qw::CompactOptions o;
  switch (which) {
    case 0: return qw::NativeImage(t);
    case 1: o.version = "hd1.0"; return qw::CompactImage(t, o);
    case 2: o.version = "hd3.0"; return qw::CompactImage(t, o);
    case 3: o.version = "hd3.1"; return qw::CompactImage(t, o);
    case 4: o.version = "hd5.0"; return qw::CompactImage(t, o);
    case 5: o.version = "hd5.1"; return qw::CompactImage(t, o);
    case 6: return qw::Hq6Image(t, 0);
    default: return qw::Hq6Image(t, 0x10);
  }
}

const char* kNames[] = {"hq1_native", "hd1.0_raw", "hd3.0_transposed", "hd3.1_rle", "hd5.0_delta7",
                        "hd5.1_delta", "hq6_raw", "hq6_snappy"};

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
    ->ArgsProduct({benchmark::CreateDenseRange(0, 7, 1), {kRecords}})
    ->Args({7, 1000})
    ->Args({7, 20000})
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
