// Shared objects of variant values: a batch created, held by variants and
// released through the variants' clears, with objects of 24 bytes (the
// small-object pool's 29-byte blocks) beside the same road with objects of
// 25 bytes, which the allocator hands to the C++ heap; one thread and
// several threads sharing the allocator's class-level lock.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "framework/tl_variant.h"

namespace {

constexpr int kBatch = 256;

void Release(void* context) { ++*static_cast<uint64_t*>(context); }

void RunBatches(benchmark::State& state, uint32_t size) {
    std::vector<TLVariant> held(kBatch);
    for (auto& v : held) TL_VariantInit(&v);
    uint64_t released = 0;
    for (auto _ : state) {
        for (auto& v : held) {
            TLSharedObject* obj = TL_SharedObjectCreate(&released, Release, size);
            TL_VariantSetShared(&v, obj);
            TL_SharedObjectRelease(obj);
        }
        for (auto& v : held) TL_VariantClear(&v);
    }
    benchmark::DoNotOptimize(released);
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}

void BM_SharedObjectPool(benchmark::State& state) { RunBatches(state, 24); }
void BM_SharedObjectHeapBaseline(benchmark::State& state) { RunBatches(state, 25); }

}  // namespace

BENCHMARK(BM_SharedObjectPool)->ThreadRange(1, 4)->UseRealTime();
BENCHMARK(BM_SharedObjectHeapBaseline)->ThreadRange(1, 4)->UseRealTime();
