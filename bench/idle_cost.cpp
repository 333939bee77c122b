// What idle instances cost: CPU time of the process while 0, 1, 4 or 16
// library instances sit logged in and subscribed on a gateway that pushes
// nothing.
//
// The gateway simulator runs in a child process forked before the library
// starts anything, so the process measured holds the library (socket
// engine included) and this program's sleeping main thread, nothing else.
//
// Rows (one window of kWindowSeconds each):
//  - BM_Idle/0: the baseline, the same process before any instance exists
//    (no socket engine, no library thread);
//  - BM_Idle/n: n instances created through the exported functions, each
//    logged in and subscribed to stock ticks, transactions (waiting) and
//    index ticks (asynchronous), so every thread an instance keeps is there.
// Counters: cpu_pct (% of one core), cpu_pct_none (the baseline row's),
// above_none (the difference), goal_pct (0.5 for the first instance and
// 0.25 for each further one), per_further (the % each instance past the
// first adds, over the 1-instance row), wakeups_s (voluntary context switches of the
// process per second: how often its threads sleep and wake) and threads.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "include/kvoapi.h"
#include "bench/support/bench_support.h"
#include "tests/support/instance_dir.h"
#include "tests/support/process_figures.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kWindowSeconds = 6.0;

struct Window {
    double cpuPct = 0;
    double wakeupsPerSecond = 0;
};

uint64_t VoluntarySwitches() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return uint64_t(u.ru_nvcsw);
}

// CPU time of the whole process over a window in which this thread sleeps.
Window Measure(double seconds) {
    const uint64_t c0 = kvotest::ProcessCpuNs();
    const uint64_t s0 = VoluntarySwitches();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t s1 = VoluntarySwitches();
    const uint64_t c1 = kvotest::ProcessCpuNs();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    // The sleep itself is one switch of this thread.
    return Window{100.0 * double(c1 - c0) / 1e9 / wall, double(s1 - s0 - 1) / wall};
}

int32_t OnRecords(void*, const void*, uint32_t, const PushTiming*) { return 0; }
void OnSubscribed(uint32_t, uint32_t, const char*, const char*, int32_t, int32_t) {}

// An instance as a host keeps one while it waits for data; null (and a
// message in *failure) when a step failed.
void* IdleInstance(const InstanceConfig& cfg, uint16_t port, std::string* failure) {
    void* handle = KvoCreateInstance(&cfg);
    if (handle == nullptr) {
        *failure = "create";
        return nullptr;
    }
    LoginResult* login = nullptr;
    if (KvoRegisterAddr(handle, "USH", "127.0.0.1", port) != 0) {
        *failure = "register";
    } else if ((login = KvoLogin(handle, "trader", "pw")) == nullptr || login->nstatuscode != 0) {
        *failure = "login";
    } else if (KvoSubScribe(handle, 2, 1, "USHA", "(600000,600036)") != 0 ||
               KvoSubScribe(handle, 5, 1, "USHA", "(601318)") != 0 ||
               KvoSubScribeAsync(handle, 1, 1, "USHI", "(000001)") != 0) {
        *failure = "subscribe";
    }
    KvoFreeMem(login);
    if (!failure->empty()) {
        KvoReleaseInstance(handle);
        return nullptr;
    }
    return handle;
}

double g_nonePct = -1;
double g_onePct = -1;

void BM_Idle(benchmark::State& state) {
    const int instances = int(state.range(0));
    // The simulator's process is forked by the first row, before the library
    // starts anything.
    const uint16_t port = kvobench::SharedSimProcess().Port();
    char folder[] = "/tmp/kvo_idle_XXXXXX";
    if (::mkdtemp(folder) == nullptr) return state.SkipWithError("no temporary folder");
    InstanceConfig cfg = kvotest::ConfigLoggingTo(folder);
    cfg.m_authtype = 1;
    cfg.m_loglevel = 1;
    cfg.fnctickstock = &OnRecords;
    cfg.fnctransacton = &OnRecords;
    cfg.fnctickindex = &OnRecords;
    cfg.fncsubscribe = &OnSubscribed;
    for (auto _ : state) {
        std::vector<void*> handles;
        std::string failure;
        for (int i = 0; i < instances && failure.empty(); ++i) {
            void* h = IdleInstance(cfg, port, &failure);
            if (h != nullptr) handles.push_back(h);
        }
        Window w;
        size_t threads = 0;
        if (failure.empty()) {
            // Past the login's and the subscriptions' own work.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            threads = kvotest::ThreadCount();
            w = Measure(kWindowSeconds);
        }
        for (void* h : handles) KvoReleaseInstance(h);
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            break;
        }
        if (instances == 0) g_nonePct = w.cpuPct;
        if (instances == 1) g_onePct = w.cpuPct;
        if (instances > 1 && g_onePct >= 0) state.counters["per_further"] = (w.cpuPct - g_onePct) / (instances - 1);
        state.counters["cpu_pct"] = w.cpuPct;
        state.counters["wakeups_s"] = w.wakeupsPerSecond;
        state.counters["threads"] = double(threads);
        if (g_nonePct >= 0) {
            state.counters["cpu_pct_none"] = g_nonePct;
            state.counters["above_none"] = w.cpuPct - g_nonePct;
        }
        if (instances > 0) state.counters["goal_pct"] = 0.5 + 0.25 * (instances - 1);
    }
    const std::string rm = std::string("rm -rf '") + folder + "'";
    if (std::system(rm.c_str()) != 0) state.SkipWithError("temporary folder not removed");
}

}  // namespace

// The baseline row runs first, before any instance has started the library.
BENCHMARK(BM_Idle)->Arg(0)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
