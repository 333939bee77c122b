// Cutting gateway frames out of a byte stream that arrives in 4096-byte
// reads: the packet filter's ring, fed directly and through the interface a
// link calls, beside a baseline that only appends the reads to a flat buffer
// and copies each frame out of it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/tl_buffer.h"
#include "protocol/kvo_filter.h"
#include "simulator/frame_writer.h"

namespace {

constexpr size_t kRead = 4096;

std::string MakeStream(size_t bodySize) {
  std::vector<std::string> frames;
  size_t total = 0;
  for (uint32_t i = 0; total < 4 * 1024 * 1024; ++i) {
    frames.push_back(kvotest::GatewayFrame(static_cast<uint16_t>(20 + i % 8), kvotest::PatternBody(bodySize, i), 1));
    total += frames.back().size();
  }
  return kvotest::JoinStream(frames);
}

void BM_Filter(benchmark::State& state) {
  std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
  uint64_t frames = 0;
  for (auto _ : state) {
    CKvoFilter filter;
    for (size_t at = 0; at < stream.size(); at += kRead) {
      size_t n = std::min(kRead, stream.size() - at);
      const void* data = stream.data() + at;
      for (;;) {
        corvane::CTLSmartBuffer out;
        int rc = filter.FeedData(data, static_cast<uint32_t>(n), out);
        data = nullptr;
        n = 0;
        if (rc != 1) break;
        benchmark::DoNotOptimize(out.GetData());
        ++frames;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  benchmark::DoNotOptimize(frames);
}

// As a link drives the filter: each frame handed on as one block of a list.
void BM_Unpack(benchmark::State& state) {
  std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
  uint64_t frames = 0;
  for (auto _ : state) {
    CKvoFilter filter;
    for (size_t at = 0; at < stream.size(); at += kRead) {
      uint32_t n = static_cast<uint32_t>(std::min(kRead, stream.size() - at));
      const void* data = stream.data() + at;
      for (;;) {
        corvane::CTLNetBufferList out;
        int rc = filter.Unpack(0, nullptr, data, n, out);
        data = nullptr;
        n = 0;
        if (rc != 1) break;
        benchmark::DoNotOptimize(*out.begin());
        ++frames;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  benchmark::DoNotOptimize(frames);
}

// Baseline: a flat buffer that is compacted after each read, with the same
// frame copy into a fresh smart buffer.
void BM_FlatBufferBaseline(benchmark::State& state) {
  std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
  uint64_t frames = 0;
  for (auto _ : state) {
    std::vector<uint8_t> held;
    for (size_t at = 0; at < stream.size(); at += kRead) {
      size_t n = std::min(kRead, stream.size() - at);
      held.insert(held.end(), stream.begin() + at, stream.begin() + at + n);
      size_t pos = 0;
      while (held.size() - pos >= KVO_PACK_HEADER_SIZE) {
        const KvoPackHeader* h = KvoPackHeader::At(held.data() + pos);
        uint32_t total = h->GetTotalLength();
        if (total > held.size() - pos) break;
        corvane::CTLSmartBuffer out;
        out.Append(held.data() + pos, total);
        benchmark::DoNotOptimize(out.GetData());
        pos += total;
        ++frames;
      }
      held.erase(held.begin(), held.begin() + pos);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  benchmark::DoNotOptimize(frames);
}

BENCHMARK(BM_Filter)->Arg(200)->Arg(3000)->Arg(60000);
BENCHMARK(BM_Unpack)->Arg(200)->Arg(3000)->Arg(60000);
BENCHMARK(BM_FlatBufferBaseline)->Arg(200)->Arg(3000)->Arg(60000);

}  // namespace
