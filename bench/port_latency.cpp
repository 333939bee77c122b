// Receive latency of a quiet connection of the completion port while other
// connections send flat out. Each row runs T completion threads and N busy
// connections: each busy connection's send is 4 KB that the socket takes at
// once (its peer reads at full speed), and every send completion starts the
// next send, as the engine does, so the port's queue never empties. The
// quiet connection has a receive pending; its peer writes one byte every
// 2 ms, and a sample is the time from that write to the completion thread
// holding the byte.
//
// The same port and threads are measured first with no sends (the idle
// baseline: idle_p50_us, idle_p99_us), then with the N senders (p50_us,
// p99_us). goal_p99_us is twice the idle p99 plus 1 ms; late counts samples
// not served within 2 s (each is counted as 2 s). sends_per_s is the rate of
// busy send completions, to show the load was there.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/pl_completion_port.h"
#include "tests/support/net_wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 500;
constexpr auto kGap = std::chrono::milliseconds(2);
constexpr auto kLate = std::chrono::seconds(2);
constexpr uint32_t kBlock = 4096;
constexpr uintptr_t kQuietKey = 1;  // busy connections have keys from 2 up

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A loopback connection: the port's side (non-blocking) and a blocking peer.
struct Pair {
    int local = -1;
    int peer = -1;
    bool Open() {
        uint16_t port = 0;
        const int listener = kvotest::ListenOnLoopback(port, 1);
        if (listener < 0) return false;
        local = kvotest::ConnectToLoopback(port);
        peer = kvotest::AcceptWithin(listener, 2000);
        ::close(listener);
        return local >= 0 && peer >= 0 && ::fcntl(local, F_SETFL, ::fcntl(local, F_GETFL) | O_NONBLOCK) == 0;
    }
    ~Pair() {
        if (peer >= 0) ::close(peer);
    }
};

struct Busy {
    Pair pair;
    pl::IoPort::HandleId id = 0;
    pl::IoOperation op;
    std::thread reader;
};

struct Rig {
    pl::IoPort port;
    Pair quiet;
    pl::IoPort::HandleId quietId = 0;
    pl::IoOperation quietOp;
    uint8_t quietBuf[16] = {};
    std::atomic<int64_t> writtenAt{0};
    std::atomic<int64_t> latencyNs{0};
    std::atomic<uint64_t> served{0};
    std::vector<std::unique_ptr<Busy>> busy;
    std::vector<uint8_t> block = std::vector<uint8_t>(kBlock, 0x5A);
    std::atomic<bool> sending{false};
    std::atomic<uint64_t> sends{0};
    std::vector<std::thread> workers;

    void Handle(const pl::IoPacket& pk) {
        if (pk.key == kQuietKey) {
            latencyNs.store(NowNs() - writtenAt.load());
            served.fetch_add(1);
            port.StartRecv(quietId, &quietOp, quietBuf, sizeof quietBuf);
        } else if (pk.error == 0 && sending.load()) {
            sends.fetch_add(1);
            Busy& b = *busy[pk.key - 2];
            port.StartSend(b.id, &b.op, block.data(), kBlock);
        }
    }

    // Samples the quiet connection's receive; values in microseconds.
    std::vector<double> Sample(uint64_t& late) {
        std::vector<double> us;
        for (int i = 0; i < kSamples; ++i) {
            std::this_thread::sleep_for(kGap);
            const uint64_t before = served.load();
            writtenAt.store(NowNs());
            if (::send(quiet.peer, "q", 1, MSG_NOSIGNAL) != 1) break;
            const auto end = Clock::now() + kLate;
            while (served.load() == before && Clock::now() < end) std::this_thread::yield();
            if (served.load() == before) {
                ++late;
                us.push_back(std::chrono::duration<double, std::micro>(kLate).count());
                while (served.load() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                us.push_back(double(latencyNs.load()) / 1000.0);
            }
        }
        std::sort(us.begin(), us.end());
        return us;
    }
};

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

void BM_QuietReceive(benchmark::State& state) {
    const int threads = int(state.range(0));
    const int senders = int(state.range(1));
    for (auto _ : state) {
        Rig rig;
        if (rig.port.Create() != 0 || !rig.quiet.Open()) {
            state.SkipWithError("no port or no loopback connection");
            return;
        }
        rig.quietId = rig.port.Associate(rig.quiet.local, kQuietKey);
        rig.port.StartRecv(rig.quietId, &rig.quietOp, rig.quietBuf, sizeof rig.quietBuf);
        for (int i = 0; i < threads; ++i) {
            rig.workers.emplace_back([&rig] {
                pl::IoPacket pk;
                while (rig.port.Dequeue(pk) && pk.key) rig.Handle(pk);
            });
        }
        uint64_t idleLate = 0, late = 0;
        const std::vector<double> idle = rig.Sample(idleLate);

        for (int i = 0; i < senders; ++i) {
            auto b = std::make_unique<Busy>();
            if (!b->pair.Open()) break;
            b->id = rig.port.Associate(b->pair.local, uintptr_t(i) + 2);
            b->reader = std::thread([fd = b->pair.peer] {
                std::vector<char> buf(65536);
                while (::recv(fd, buf.data(), buf.size(), 0) > 0) {
                }
            });
            rig.busy.push_back(std::move(b));
        }
        rig.sending.store(true);
        for (auto& b : rig.busy) rig.port.StartSend(b->id, &b->op, rig.block.data(), kBlock);
        const auto t0 = Clock::now();
        const std::vector<double> loaded = rig.Sample(late);
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

        rig.sending.store(false);
        for (auto& b : rig.busy) rig.port.Close(b->id);  // the readers see the reset
        for (auto& b : rig.busy) b->reader.join();
        rig.port.Close(rig.quietId);
        for (size_t i = 0; i < rig.workers.size(); ++i) rig.port.PostWake();
        for (auto& t : rig.workers) t.join();

        const double idleP99 = Percentile(idle, 0.99);
        state.counters["idle_p50_us"] = Percentile(idle, 0.50);
        state.counters["idle_p99_us"] = idleP99;
        state.counters["p50_us"] = Percentile(loaded, 0.50);
        state.counters["p99_us"] = Percentile(loaded, 0.99);
        state.counters["goal_p99_us"] = 2 * idleP99 + 1000;
        state.counters["late"] = double(idleLate + late);
        state.counters["sends_per_s"] = double(rig.sends.load()) / seconds;
    }
}

// {completion threads, busy connections}
BENCHMARK(BM_QuietReceive)
    ->ArgNames({"threads", "senders"})
    ->Args({1, 1})
    ->Args({2, 8})
    ->Args({4, 32})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
