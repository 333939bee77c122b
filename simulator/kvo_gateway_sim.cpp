// A quote gateway on this machine for the example host: it listens on
// 127.0.0.1, accepts every login, answers heartbeats, code lists and quote
// queries, and pushes the subscribed stock ticks, index ticks, transactions,
// orders, order queues and super-stock books of a small market (three
// stocks of each exchange and two indexes) whose prices move, until it is
// stopped.
//
//   kvo_gateway_sim [--port N]... [--push-ms MS] [--seconds S] [--seed N]
//
// Every --port adds a listener (0 or none: one on an ephemeral port). Each
// listener prints "listening 127.0.0.1:<port>" on a line of its own once it
// accepts connections. SIGINT or SIGTERM (or the end of --seconds) stops it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"

namespace {

void Usage() { std::fprintf(stderr, "usage: kvo_gateway_sim [--port N]... [--push-ms MS] [--seconds S] [--seed N]\n"); }

bool ReadNumber(const char* text, long max, long* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!text[0] || *end || v < 0 || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint16_t> ports;
    long pushMs = 500;
    long seconds = 0;
    long seed = 1;
    for (int i = 1; i < argc; i += 2) {
        long v = 0;
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--port") == 0 && hasValue && ReadNumber(argv[i + 1], 65535, &v)) {
            ports.push_back(static_cast<uint16_t>(v));
        } else if (std::strcmp(argv[i], "--push-ms") == 0 && hasValue && ReadNumber(argv[i + 1], 3600000, &v) &&
                   v > 0) {
            pushMs = v;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue && ReadNumber(argv[i + 1], 86400 * 365, &v)) {
            seconds = v;
        } else if (std::strcmp(argv[i], "--seed") == 0 && hasValue && ReadNumber(argv[i + 1], 0x7fffffff, &v)) {
            seed = v;
        } else {
            Usage();
            return 2;
        }
    }
    if (ports.empty()) ports.push_back(0);

    // The stop signals are taken by sigtimedwait below, on this thread only.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::vector<std::unique_ptr<kvotest::GatewaySim>> sims;
    std::vector<std::unique_ptr<kvotest::SimMarket>> markets;
    for (uint16_t port : ports) {
        auto sim = std::make_unique<kvotest::GatewaySim>(port);
        auto market = std::make_unique<kvotest::SimMarket>(static_cast<uint32_t>(seed));
        market->Attach(*sim);
        if (!sim->Start()) {
            std::fprintf(stderr, "kvo_gateway_sim: cannot listen on 127.0.0.1:%u\n", static_cast<unsigned>(port));
            return 1;
        }
        market->Start(static_cast<uint32_t>(pushMs));
        std::printf("listening 127.0.0.1:%u\n", static_cast<unsigned>(sim->Port()));
        sims.push_back(std::move(sim));
        markets.push_back(std::move(market));
    }
    std::fflush(stdout);

    const time_t end = seconds > 0 ? time(nullptr) + seconds : 0;
    for (;;) {
        timespec wait{1, 0};
        const int sig = sigtimedwait(&stops, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (end != 0 && time(nullptr) >= end) break;
    }

    for (auto& m : markets) m->Stop();
    for (size_t i = 0; i < sims.size(); ++i) {
        std::printf("stopped 127.0.0.1:%u: %zu connection(s), %u login(s), %zu frame(s) received, %llu push(es) sent\n",
                    static_cast<unsigned>(sims[i]->Port()), sims[i]->Accepted(), sims[i]->LoginsAnswered(),
                    sims[i]->Frames().size(), static_cast<unsigned long long>(markets[i]->PushesSent()));
        sims[i]->Stop();
    }
    return 0;
}
