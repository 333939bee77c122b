#include "tests/support/instance_cycle.h"

#include <atomic>

#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/net_wait.h"

namespace kvotest {
namespace {

std::atomic<uint64_t> g_records{0};

int32_t CountRecords(void*, const void*, uint32_t count, const PushTiming*) {
    g_records.fetch_add(count);
    return 0;
}

std::string Steps(const InstanceConfig& cfg, uint16_t port, SimMarket& market) {
    void* handle = KvoCreateInstance(&cfg);
    if (handle == nullptr) return "create";
    std::string failure;
    if (KvoRegisterAddr(handle, "USH", "127.0.0.1", port) != 0) failure = "register";
    if (failure.empty()) {
        LoginResult* r = KvoLogin(handle, "trader", "pw");
        if (r == nullptr || r->nstatuscode != 0) failure = "login " + std::to_string(r ? r->nstatuscode : 0);
        KvoFreeMem(r);
    }
    if (failure.empty()) {
        const int32_t rc = KvoSubScribe(handle, 2, 1, "USHA", "(600000)");
        if (rc != 0) failure = "subscribe " + std::to_string(rc);
    }
    if (failure.empty()) {
        const uint64_t before = g_records.load();
        bool pushed = false;
        for (int i = 0; i < 200 && !pushed; ++i) {
            market.Step();
            pushed = Eventually([&] { return g_records.load() > before; }, 25);
        }
        if (!pushed) failure = "no push";
    }
    if (KvoReleaseInstance(handle) != 0 && failure.empty()) failure = "release";
    return failure;
}

}  // namespace

std::string InstanceCycle(InstanceConfig cfg) {
    cfg.fnctickstock = &CountRecords;
    GatewaySim sim;
    if (!sim.Start()) return "simulator";
    SimMarket market;
    market.Attach(sim);
    const std::string failure = Steps(cfg, sim.Port(), market);
    sim.Stop();
    return failure;
}

}  // namespace kvotest
