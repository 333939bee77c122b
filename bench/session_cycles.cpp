// Lives of a library instance in one process: create, register, log in on
// the gateway simulator, subscribe, receive pushes, release, 1,000 times
// over (each against a simulator of its own, stopped with the cycle).
//
// BM_Cycles reports the process's threads, open descriptors, live heap
// bytes and resident memory after the warm-up cycles (the baseline, *_base)
// and after all of them, with the growth of each; the 200-cycle row is the
// baseline of the 1,000-cycle row's growth. Goal: no growth in threads or
// descriptors, and heap and resident growth that does not scale with the
// count (a few KiB of allocator slack at most).
//
// Time per cycle, mean ms of the library's own calls: create_ms, register_ms,
// login_ms, subscribe_ms, push_ms (from the market's step to the first
// record's callback), release_ms and their sum library_ms; beside them
// simulator_ms, the simulator's start and stop, which the row's time
// (ms_per_cycle, the whole cycle) includes but the library's figures do
// not.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "include/kvoapi.h"
#include "tests/support/instance_cycle.h"
#include "tests/support/instance_dir.h"
#include "tests/support/process_figures.h"

namespace {

constexpr int kWarmUp = 20;

// Resident bytes of the process (/proc/self/statm).
uint64_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0;
    unsigned long resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? uint64_t(resident) * uint64_t(::sysconf(_SC_PAGESIZE)) : 0;
}

struct Figures {
    double threads;
    double descriptors;
    double heap;
    double resident;
};

Figures Now() {
    return Figures{double(kvotest::ThreadCount()), double(kvotest::OpenDescriptors()), double(kvotest::LiveHeapBytes()),
                   double(ResidentBytes())};
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
