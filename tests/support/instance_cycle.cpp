#include "tests/support/instance_cycle.h"

#include <atomic>
#include <chrono>

#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/net_wait.h"

namespace kvotest {
namespace {

std::atomic<uint64_t> g_records{0};
std::atomic<uint64_t> g_lastCallNs{0};

uint64_t NowNs() { return uint64_t(std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1)); }

int32_t CountRecords(void*, const void*, uint32_t count, const PushTiming*) {
    g_lastCallNs.store(NowNs());
    g_records.fetch_add(count);
    return 0;
}

// Runs call, adding its time to phase.
template <class Call>
auto Timed(uint64_t& phase, Call call) {
    const uint64_t t0 = NowNs();
    auto result = call();
    phase += NowNs() - t0;
    return result;
}

std::string Steps(const InstanceConfig& cfg, uint16_t port, SimMarket& market, CyclePhases& phases) {
    void* handle = Timed(phases.create, [&] { return KvoCreateInstance(&cfg); });
    if (handle == nullptr) return "create";
    std::string failure;
    if (Timed(phases.registerAddr, [&] { return KvoRegisterAddr(handle, "USH", "127.0.0.1", port); }) != 0)
        failure = "register";
    if (failure.empty()) {
        LoginResult* r = Timed(phases.login, [&] { return KvoLogin(handle, "trader", "pw"); });
        if (r == nullptr || r->nstatuscode != 0) failure = "login " + std::to_string(r ? r->nstatuscode : 0);
        KvoFreeMem(r);
    }
    if (failure.empty()) {
        const int32_t rc = Timed(phases.subscribe, [&] { return KvoSubScribe(handle, 2, 1, "USHA", "(600000)"); });
        if (rc != 0) failure = "subscribe " + std::to_string(rc);
    }
    if (failure.empty()) {
        const uint64_t before = g_records.load();
        bool pushed = false;
        for (int i = 0; i < 200 && !pushed; ++i) {
            const uint64_t step = NowNs();
            market.Step();
            pushed = Eventually([&] { return g_records.load() > before; }, 25);
            // Up to the callback, not up to this thread's next look.
            if (pushed) phases.push += g_lastCallNs.load() - step;
        }
        if (!pushed) failure = "no push";
    }
    if (Timed(phases.release, [&] { return KvoReleaseInstance(handle); }) != 0 && failure.empty()) failure = "release";
    return failure;
}

}  // namespace

std::string InstanceCycle(InstanceConfig cfg, CyclePhases* phases) {
    CyclePhases unused;
    CyclePhases& times = phases != nullptr ? *phases : unused;
    cfg.fnctickstock = &CountRecords;
    GatewaySim sim;
    if (!Timed(times.simulator, [&] { return sim.Start(); })) return "simulator";
    SimMarket market;
    market.Attach(sim);
    const std::string failure = Steps(cfg, sim.Port(), market, times);
    const uint64_t stop = NowNs();
    sim.Stop();
    times.simulator += NowNs() - stop;
    return failure;
}

}  // namespace kvotest
