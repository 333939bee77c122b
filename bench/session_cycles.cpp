// Lives of a library instance in one process: create, register, log in on
// the gateway simulator, subscribe, receive pushes, release, 1,000 times
// over (each against a simulator of its own, stopped with the cycle).
//
// BM_Cycles reports the process's threads, open descriptors, live heap
// bytes, resident memory and C library malloc arenas after the warm-up
// cycles (the baseline, *_base) and after all of them, with the growth of
// each; the 200-cycle row is the baseline of the 1,000-cycle row's growth.
// Goal: no growth in threads or descriptors, and heap and resident growth
// that does not scale with the count.
//
// The live heap is the C library's own figure, and it counts more than the
// blocks the program holds: freed blocks kept in a thread's cache (up to 7
// of each size class, per thread) and the header of every arena (about
// 2.2 KiB) the C library opens when more threads allocate at once than ever
// before (up to 8 per core). Both come in steps of a few hundred bytes or a
// few KiB that get rarer as the run goes on, so heap_growth divided by the
// count is not a per-cycle leak: compare the two rows, and subtract about
// 2.2 KiB per arena opened (arenas - arenas_base). With
// GLIBC_TUNABLES=glibc.malloc.arena_max=1:glibc.malloc.tcache_count=0 both
// are switched off and what is left is the growth of the blocks the program
// holds, give or take the allocator's rounding of block sizes.
//
// Time per cycle, mean ms of the library's own calls: create_ms, register_ms,
// login_ms, subscribe_ms, push_ms (from the market's step to the first
// record's callback), release_ms and their sum library_ms; beside them
// simulator_ms, the simulator's start and stop, which the row's time
// (ms_per_cycle, the whole cycle) includes but the library's figures do
// not.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "bench/support/bench_support.h"
#include "include/kvoapi.h"
#include "tests/support/instance_cycle.h"
#include "tests/support/instance_dir.h"
#include "tests/support/process_figures.h"

namespace {

constexpr int kWarmUp = 20;

// Arenas of the C library's allocator: the "<heap nr=" elements of its
// malloc_info() report.
int MallocArenas() {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = ::open_memstream(&text, &size);
    if (f == nullptr) return 0;
    const int ok = ::malloc_info(0, f);
    std::fclose(f);
    int n = 0;
    if (ok == 0 && text != nullptr) {
        for (const char* p = std::strstr(text, "<heap nr="); p != nullptr; p = std::strstr(p + 1, "<heap nr=")) ++n;
    }
    std::free(text);
    return n;
}

struct Figures {
    double threads;
    double descriptors;
    double heap;
    double resident;
    double arenas;
};

// Braced initialisers run in order: the heap is read before the arenas'
// report is written.
Figures Now() {
    return Figures{double(kvotest::ThreadCount()), double(kvotest::OpenDescriptors()), double(kvotest::LiveHeapBytes()),
                   double(kvobench::ResidentBytes()), double(MallocArenas())};
}

void BM_Cycles(benchmark::State& state) {
    char folder[] = "/tmp/kvo_cycles_XXXXXX";
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("no temporary folder");
    InstanceConfig cfg = kvotest::ConfigLoggingTo(folder);
    cfg.m_authtype = 1;
    const int cycles = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < kWarmUp; ++i) {
            const std::string failure = kvotest::InstanceCycle(cfg);
            if (!failure.empty()) state.SkipWithError(("warm-up: " + failure).c_str());
        }
        const Figures base = Now();
        kvotest::CyclePhases phases;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < cycles; ++i) {
            const std::string failure = kvotest::InstanceCycle(cfg, &phases);
            if (!failure.empty()) {
                state.SkipWithError(("cycle " + std::to_string(i) + ": " + failure).c_str());
                break;
            }
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        const Figures end = Now();
        state.counters["threads_base"] = base.threads;
        state.counters["threads"] = end.threads;
        state.counters["fds_base"] = base.descriptors;
        state.counters["fds"] = end.descriptors;
        state.counters["heap_base"] =
            benchmark::Counter(base.heap, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
        state.counters["heap_growth"] = end.heap - base.heap;
        state.counters["rss_base"] =
            benchmark::Counter(base.resident, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
        state.counters["rss_growth"] = end.resident - base.resident;
        state.counters["arenas_base"] = base.arenas;
        state.counters["arenas"] = end.arenas;
        state.counters["ms_per_cycle"] = ms / cycles;
        const auto perCycle = [cycles](uint64_t ns) { return double(ns) / 1e6 / cycles; };
        state.counters["create_ms"] = perCycle(phases.create);
        state.counters["register_ms"] = perCycle(phases.registerAddr);
        state.counters["login_ms"] = perCycle(phases.login);
        state.counters["subscribe_ms"] = perCycle(phases.subscribe);
        state.counters["push_ms"] = perCycle(phases.push);
        state.counters["release_ms"] = perCycle(phases.release);
        state.counters["library_ms"] = perCycle(phases.create + phases.registerAddr + phases.login + phases.subscribe +
                                                phases.push + phases.release);
        state.counters["simulator_ms"] = perCycle(phases.simulator);
    }
    const std::string rm = std::string("rm -rf '") + folder + "'";
    if (std::system(rm.c_str()) != 0) state.SkipWithError("temporary folder not removed");
}

}  // namespace

BENCHMARK(BM_Cycles)->Arg(200)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
