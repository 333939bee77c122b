// Waiting requests by size on loopback: the code-list query and
// subscriptions of 10, 1,000 and 10,000 codes, each a call of the exported
// function that returns when the gateway simulator's answer is in.
//
// Each row's time is the library call's (mean, ms). Beside it, plain_ms is
// the same request frame, as the simulator recorded it from the library,
// written in one send on a plain blocking loopback socket (TCP_NODELAY) to
// the same simulator, with its whole answer frame read back: the round trip
// the machine gives for those bytes. goal_ms is the target of the row (2 ms
// for the code list, 5 ms for 10,000 codes).
//
// The code list answered has 5,000 codes (600000 to 604999, about 35 KB).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "include/kvoapi.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kListedCodes = 5000;

std::string Codes(uint32_t n, const char* separator) {
    std::string s;
    for (uint32_t i = 0; i < n; ++i) {
        if (i > 0) s += separator;
        char code[8];
        std::snprintf(code, sizeof code, "%06u", 600000 + i);
        s += code;
    }
    return s;
}

// One logged-in instance on a simulator of its own.
class Gateway {
public:
    Gateway() {
        kvotest::SimAnswer list;
        list.codelist = Codes(kListedCodes, ",");
        m_sim.SetAnswer(kvotest::kSimCodelistReq, list);
        if (!m_sim.Start() || ::mkdtemp(m_folder) == nullptr) return;
        InstanceConfig cfg = kvotest::ConfigLoggingTo(m_folder);
        cfg.m_authtype = 1;
        cfg.m_loglevel = 1;
        m_handle = KvoCreateInstance(&cfg);
        if (m_handle == nullptr || KvoRegisterAddr(m_handle, "USH", "127.0.0.1", m_sim.Port()) != 0) return;
        LoginResult* login = KvoLogin(m_handle, "trader", "pw");
        m_ready = login != nullptr && login->nstatuscode == 0;
        KvoFreeMem(login);
    }
    ~Gateway() {
        if (m_handle != nullptr) KvoReleaseInstance(m_handle);
        m_sim.Stop();
        const std::string rm = std::string("rm -rf '") + m_folder + "'";
        if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "%s failed\n", rm.c_str());
    }

    bool Ready() const { return m_ready; }
    void* Handle() const { return m_handle; }
    kvotest::GatewaySim& Sim() { return m_sim; }

private:
    kvotest::GatewaySim m_sim;
    char m_folder[32] = "/tmp/kvo_requests_XXXXXX";
    void* m_handle = nullptr;
    bool m_ready = false;
};

bool ReadExactly(int fd, char* to, size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, to, n, 0);
        if (got <= 0) return false;
        to += got;
        n -= size_t(got);
    }
    return true;
}

// Mean ms of `rounds` plain round trips of the last request of a type the
// simulator recorded; negative when one failed.
double PlainRoundTripMs(kvotest::GatewaySim& sim, uint16_t type, int64_t rounds) {
    const std::vector<kvotest::SimFrame> sent = sim.FramesOfType(type);
    if (sent.empty()) return -1;
    const std::string frame = kvotest::GatewayFrame(type, sent.back().body, sent.back().flags);
    const int fd = kvotest::ConnectToLoopback(sim.Port());
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string answer(1 << 20, '\0');
    double total = 0;
    bool ok = true;
    for (int64_t i = 0; i < rounds && ok; ++i) {
        const Clock::time_point t0 = Clock::now();
        ok = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
        kvotest::GatewayHeaderFields h{};
        ok = ok && ReadExactly(fd, answer.data(), 11) && kvotest::ReadGatewayHeader(answer.substr(0, 11), &h) &&
             h.totalLength >= 11 && h.totalLength <= answer.size() &&
             ReadExactly(fd, answer.data() + 11, h.totalLength - 11);
        total += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (i % 64 == 63) sim.ClearFrames();
    }
    ::close(fd);
    return ok ? total / double(rounds) : -1;
}

void Report(benchmark::State& state, double plainMs, double goalMs) {
    if (plainMs < 0) return state.SkipWithError("plain round trip failed");
    state.counters["plain_ms"] = plainMs;
    if (goalMs > 0) state.counters["goal_ms"] = goalMs;
}

void BM_CodeList(benchmark::State& state) {
    Gateway gw;
    if (!gw.Ready()) return state.SkipWithError("login");
    uint32_t length = 0;
    for (auto _ : state) {
        char* list = KvoGetCodelist(gw.Handle(), "USH", &length);
        if (list == nullptr) return state.SkipWithError("no code list");
        KvoFreeMem(list);
    }
    state.counters["list_bytes"] = double(length);
    // Every call went to the gateway (none was answered from a cache).
    if (gw.Sim().CountOfType(kvotest::kSimCodelistReq) < size_t(state.iterations())) {
        return state.SkipWithError("calls answered without a request");
    }
    Report(state, PlainRoundTripMs(gw.Sim(), kvotest::kSimCodelistReq, state.iterations()), 2.0);
}

void BM_Subscribe(benchmark::State& state) {
    const uint32_t n = uint32_t(state.range(0));
    const std::string codes = "(" + Codes(n, ",") + ")";
    Gateway gw;
    if (!gw.Ready()) return state.SkipWithError("login");
    int64_t done = 0;
    for (auto _ : state) {
        if (KvoSubScribe(gw.Handle(), 2, 1, "USHA", codes.c_str()) != 0) return state.SkipWithError("subscribe");
        // The simulator keeps every frame: dropped now and then.
        if (++done % 64 == 0) {
            state.PauseTiming();
            gw.Sim().ClearFrames();
            state.ResumeTiming();
        }
    }
    state.counters["request_bytes"] = double(codes.size());
    Report(state, PlainRoundTripMs(gw.Sim(), kvotest::kSimSubscribeReq, state.iterations()), n == 10000 ? 5.0 : 0);
}

}  // namespace

BENCHMARK(BM_CodeList)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Subscribe)->Arg(10)->Arg(1000)->Arg(10000)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();
