// Cutting gateway frames out of a byte stream that arrives in 4096-byte
// reads (4 MiB of frames with bodies of 200, 3,000 or 60,000 bytes): the
// packet filter's ring, fed directly and through the interface a link
// calls, beside a baseline that only copies the same reads into one flat
// buffer and finds the frames in it.
//
// The baseline row runs first; the filter's rows print its rate beside
// their own (memcpy_bytes_s) and vs_memcpy, their rate over it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "framework/tl_buffer.h"
#include "protocol/kvo_filter.h"
#include "simulator/frame_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kRead = 4096;

// Bytes per second of the baseline, by body size.
std::map<int64_t, double> g_memcpyRate;

std::string MakeStream(size_t bodySize) {
    std::vector<std::string> frames;
    size_t total = 0;
    for (uint32_t i = 0; total < 4 * 1024 * 1024; ++i) {
        frames.push_back(
            kvotest::GatewayFrame(static_cast<uint16_t>(20 + i % 8), kvotest::PatternBody(bodySize, i), 1));
        total += frames.back().size();
    }
    return kvotest::JoinStream(frames);
}

// Sets the row's rate and, for the filter's rows, the baseline's beside it.
void Report(benchmark::State& state, size_t streamBytes, Clock::time_point t0, bool baseline) {
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(streamBytes);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (seconds <= 0) return;
    if (baseline) {
        g_memcpyRate[state.range(0)] = bytes / seconds;
    } else if (g_memcpyRate.count(state.range(0)) != 0) {
        const double memcpyRate = g_memcpyRate[state.range(0)];
        state.counters["memcpy_bytes_s"] = memcpyRate;
        state.counters["vs_memcpy"] = bytes / seconds / memcpyRate;
    }
}

// Baseline: each read copied (memcpy) into one flat buffer made before the
// loop, each whole frame found by its header and passed on as a pointer
// into that buffer, the unfinished rest moved to the front: the same bytes
// in the same read sizes, with no allocation at all.
void BM_FlatMemcpy(benchmark::State& state) {
    std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> held(static_cast<size_t>(state.range(0)) + 64 + 2 * kRead);
    uint64_t frames = 0;
    const Clock::time_point t0 = Clock::now();
    for (auto _ : state) {
        size_t have = 0;
        for (size_t at = 0; at < stream.size(); at += kRead) {
            size_t n = std::min(kRead, stream.size() - at);
            std::memcpy(held.data() + have, stream.data() + at, n);
            have += n;
            size_t pos = 0;
            while (have - pos >= KVO_PACK_HEADER_SIZE) {
                const KvoPackHeader* h = KvoPackHeader::At(held.data() + pos);
                uint32_t total = h->GetTotalLength();
                if (total > have - pos) break;
                benchmark::DoNotOptimize(held.data() + pos);
                pos += total;
                ++frames;
            }
            if (pos > 0) {
                std::memmove(held.data(), held.data() + pos, have - pos);
                have -= pos;
            }
        }
        benchmark::ClobberMemory();
    }
    Report(state, stream.size(), t0, true);
    benchmark::DoNotOptimize(frames);
}

void BM_Filter(benchmark::State& state) {
    std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
    uint64_t frames = 0;
    const Clock::time_point t0 = Clock::now();
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
    Report(state, stream.size(), t0, false);
    benchmark::DoNotOptimize(frames);
}

// As a link drives the filter: each frame handed on as one block of a list.
void BM_Unpack(benchmark::State& state) {
    std::string stream = MakeStream(static_cast<size_t>(state.range(0)));
    uint64_t frames = 0;
    const Clock::time_point t0 = Clock::now();
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
    Report(state, stream.size(), t0, false);
    benchmark::DoNotOptimize(frames);
}

}  // namespace

BENCHMARK(BM_FlatMemcpy)->Arg(200)->Arg(3000)->Arg(60000);
BENCHMARK(BM_Filter)->Arg(200)->Arg(3000)->Arg(60000);
BENCHMARK(BM_Unpack)->Arg(200)->Arg(3000)->Arg(60000);
