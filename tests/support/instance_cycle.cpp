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

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

int32_t CountRecords(void*, const void*, uint32_t count, const PushTiming*) {
    g_lastCallNs.store(NowNs());
    g_records.fetch_add(count);
    return 0;
}

// Adds the time since *t to *phase (when timed) and restarts *t.
void Lap(uint64_t* t, uint64_t* phase) {
    const uint64_t now = NowNs();
    *phase += now - *t;
    *t = now;
}

std::string Steps(const InstanceConfig& cfg, uint16_t port, SimMarket& market, CyclePhases& phases) {
    uint64_t t = NowNs();
    void* handle = KvoCreateInstance(&cfg);
    Lap(&t, &phases.create);
    if (handle == nullptr) return "create";
    std::string failure;
    if (KvoRegisterAddr(handle, "USH", "127.0.0.1", port) != 0) failure = "register";
    Lap(&t, &phases.registerAddr);
    if (failure.empty()) {
        LoginResult* r = KvoLogin(handle, "trader", "pw");
        Lap(&t, &phases.login);
        if (r == nullptr || r->nstatuscode != 0) failure = "login " + std::to_string(r ? r->nstatuscode : 0);
        KvoFreeMem(r);
    }
    if (failure.empty()) {
        t = NowNs();
        const int32_t rc = KvoSubScribe(handle, 2, 1, "USHA", "(600000)");
        Lap(&t, &phases.subscribe);
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
    t = NowNs();
    if (KvoReleaseInstance(handle) != 0 && failure.empty()) failure = "release";
    Lap(&t, &phases.release);
    return failure;
}

}  // namespace

std::string InstanceCycle(InstanceConfig cfg, CyclePhases* phases) {
    CyclePhases unused;
    CyclePhases& times = phases != nullptr ? *phases : unused;
    cfg.fnctickstock = &CountRecords;
    uint64_t t = NowNs();
    GatewaySim sim;
    if (!sim.Start()) return "simulator";
    SimMarket market;
    market.Attach(sim);
    Lap(&t, &times.simulator);
    const std::string failure = Steps(cfg, sim.Port(), market, times);
    t = NowNs();
    sim.Stop();
    Lap(&t, &times.simulator);
    return failure;
}

}  // namespace kvotest
