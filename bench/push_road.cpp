// The push road end to end: the gateway simulator sends PushData frames of
// 50 records ("hq6." images with snappy columns) over loopback to a
// logged-in market session, whose workers convert them and call the host.
//
// Rows, each with its baselines measured in the same run:
//  - BM_RawLoopback: the same frame bytes over a plain loopback TCP
//    connection, read and dropped (the transport's ceiling);
//  - BM_InMemory: the session's batch processing of the same images without
//    the network (the decode and convert ceiling);
//  - BM_PushRoad: records per second reaching the host callback, with
//    vs_in_memory = its rate over BM_InMemory's (goal: at least 0.5);
//  - BM_PushLatency: transactions at 100,000 records per second, p50, p99
//    and p99.9 in microseconds from the simulator's send to the callback's
//    entry (goal: p99 under 200);
//  - BM_IdleCost: CPU time of the process over 10 s with an instance logged
//    in and subscribed through the exported functions and no pushes, beside
//    the same process with the simulator alone (goal: under 1% of one core
//    for the instance).
// Argument of the throughput rows: 0 stock ticks, 4 transactions.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_socketlink.h"
#include "framework/tl_log.h"
#include "include/kvoapi.h"
#include "session/datafeed_manager.h"
#include "simulator/gateway_sim.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"
#include "tests/support/push_images.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecordsPerFrame = 50;
constexpr uint32_t kFramesPerRound = 2000;  // 100,000 records

uint64_t NowNs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

// What the host callbacks count. The send time of the batch's first push
// travels in PushTiming.send_time (nanoseconds of the steady clock).
std::atomic<uint64_t> g_records{0};
std::atomic<bool> g_sampling{false};
std::vector<uint64_t> g_latencies;  // written by the one worker thread of the kind

int32_t OnRecords(void*, const void*, uint32_t count, const PushTiming* timing) {
    if (g_sampling.load(std::memory_order_relaxed)) g_latencies.push_back(NowNs() - timing->send_time);
    g_records.fetch_add(count, std::memory_order_release);
    return 0;
}

// The images of a kind: 50 records each, varied so that no two frames are
// alike.
std::vector<std::string> Images(int kind, size_t n) {
    std::vector<std::string> images;
    for (size_t i = 0; i < n; ++i) {
        qw::Table t = kind == 0 ? kvotest::FullStockTable(kRecordsPerFrame)
                                : kvotest::FullTradeTable(kRecordsPerFrame, 10, true);
        // A different value in the first record of each image.
        t.data[t.recordSize - 1] = uint8_t(i);
        const qw::Bytes b = qw::Hq6Image(t, 0x10);
        images.emplace_back(b.begin(), b.end());
    }
    return images;
}

int32_t WireClassOf(int kind) { return kind == 0 ? 1 : 5; }

std::string Frame(int kind, const std::string& image, uint64_t sendNs) {
    return kvotest::PushFrame(
        kvotest::MakePush("USHA", WireClassOf(kind), image, 0, sendNs, 20250428093005250ull));
}

// The socket engine, a simulator and a session logged in on it, subscribed
// to stock ticks and transactions of USHA.
class Road {
public:
    Road() {
        TL_SetLogLevel(0, 1);
        if (TL_NetStartup(nullptr, 0) != 0) throw std::runtime_error("engine");
        if (!m_sim.Start()) throw std::runtime_error("simulator");
        InstanceConfig cfg{};
        InstanceConfig_SetDefaults(&cfg);
        cfg.m_loglevel = 1;
        cfg.fnctickstock = &OnRecords;
        cfg.fnctransacton = &OnRecords;
        m_session = std::make_unique<CDatafeedSDKManager>(&cfg, nullptr, "SH");
        if (m_session->OpenConnection("127.0.0.1", m_sim.Port()) != 0 || !m_sim.WaitForAccepted(1, 5000) ||
            !kvotest::Eventually([&] {
                corvane::ITLSocketLink* link = m_session->Connection()->GetLink();
                return link != nullptr && link->GetState() == TL_CONN_CONNECTED;
            }) ||
            !m_session->EnterSessionReceive(m_session->ConnectionId())) {
            throw std::runtime_error("connect");
        }
        if (m_session->SubScribe(2, 1, "USHA", "()", true) != 0 || m_session->SubScribe(5, 1, "USHA", "()", true) != 0) {
            throw std::runtime_error("subscribe");
        }
        m_connection = m_sim.Latest();
    }
    ~Road() {
        m_session.reset();
        m_sim.Stop();
        TL_NetCleanup();
    }

    CDatafeedSDKManager& Session() { return *m_session; }
    kvotest::GatewaySim& Sim() { return m_sim; }
    size_t Connection() const { return m_connection; }

private:
    kvotest::GatewaySim m_sim;
    std::unique_ptr<CDatafeedSDKManager> m_session;
    size_t m_connection = 0;
};

// Rates of the rows of one kind, for the ratio printed with the road.
double g_inMemoryRate[5] = {0, 0, 0, 0, 0};

void BM_RawLoopback(benchmark::State& state) {
    const int kind = int(state.range(0));
    const std::vector<std::string> images = Images(kind, 16);
    std::string round;
    for (uint32_t i = 0; i < kFramesPerRound; ++i) round += Frame(kind, images[i % images.size()], 0);
    kvotest::GatewaySim sim;
    if (!sim.Start()) return state.SkipWithError("simulator");
    const int fd = kvotest::ConnectToLoopback(sim.Port());
    if (fd < 0 || !sim.WaitForAccepted(1, 5000)) return state.SkipWithError("connect");
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        std::thread sender([&] { sim.Write(0, round); });
        size_t got = 0;
        while (got < round.size()) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            got += size_t(n);
        }
        sender.join();
        if (got != round.size()) state.SkipWithError("short read");
    }
    ::close(fd);
    sim.Stop();
    state.SetItemsProcessed(int64_t(state.iterations()) * kFramesPerRound * kRecordsPerFrame);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(round.size()));
}

void BM_InMemory(benchmark::State& state) {
    const int kind = int(state.range(0));
    const std::vector<std::string> images = Images(kind, 16);
    Road road;
    // One image per batch, as a worker that keeps up sees them.
    std::vector<std::vector<PushImage>> batches;
    for (const std::string& bytes : images) {
        PushImage image;
        image.data = reinterpret_cast<const uint8_t*>(bytes.data());
        image.length = uint32_t(bytes.size());
        image.id = kind == 0 ? kDataStockPush : kDataTransactionPush;
        batches.push_back({image});
    }
    const uint64_t before = g_records.load();
    size_t i = 0;
    const Clock::time_point t0 = Clock::now();
    for (auto _ : state) {
        road.Session().ProcessPushFiles(batches[i++ % batches.size()], 0, 0, 0, 20250428093005250ull);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (g_records.load() - before != uint64_t(state.iterations()) * kRecordsPerFrame) {
        state.SkipWithError("records lost");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRecordsPerFrame);
    if (seconds > 0) g_inMemoryRate[kind] = double(state.iterations()) * kRecordsPerFrame / seconds;
}

void BM_PushRoad(benchmark::State& state) {
    const int kind = int(state.range(0));
    const std::vector<std::string> images = Images(kind, 16);
    std::string round;
    for (uint32_t i = 0; i < kFramesPerRound; ++i) round += Frame(kind, images[i % images.size()], 0);
    Road road;
    const uint64_t want = uint64_t(kFramesPerRound) * kRecordsPerFrame;
    double seconds = 0;
    for (auto _ : state) {
        const uint64_t before = g_records.load();
        const Clock::time_point t0 = Clock::now();
        if (!road.Sim().Write(road.Connection(), round)) return state.SkipWithError("write");
        const Clock::time_point deadline = t0 + std::chrono::seconds(30);
        // Polled without spinning: the machine's cores are the road's.
        while (g_records.load(std::memory_order_acquire) - before < want && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        seconds += s;
        if (g_records.load() - before != want) return state.SkipWithError("records lost");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(want));
    const double rate = double(state.iterations()) * double(want) / seconds;
    if (g_inMemoryRate[kind] > 0) state.counters["vs_in_memory"] = rate / g_inMemoryRate[kind];
}

double Percentile(std::vector<uint64_t>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + long(k), v.end());
    return double(v[k]) / 1000.0;
}

void BM_PushLatency(benchmark::State& state) {
    const int kind = 4;
    const std::vector<std::string> images = Images(kind, 16);
    Road road;
    // 2,000 frames a second for 3 seconds per iteration: 100,000 records/s.
    const auto period = std::chrono::microseconds(1000000 / 2000);
    const uint32_t frames = 6000;
    g_latencies.clear();
    g_latencies.reserve(size_t(frames) * 4);
    for (auto _ : state) {
        const uint64_t before = g_records.load();
        g_sampling.store(true);
        Clock::time_point next = Clock::now();
        for (uint32_t i = 0; i < frames; ++i) {
            next += period;
            while (Clock::now() < next) {
            }
            road.Sim().Write(road.Connection(), Frame(kind, images[i % images.size()], NowNs()));
        }
        kvotest::Eventually([&] { return g_records.load() - before >= uint64_t(frames) * kRecordsPerFrame; }, 10000);
        g_sampling.store(false);
    }
    state.counters["p50_us"] = Percentile(g_latencies, 0.50);
    state.counters["p99_us"] = Percentile(g_latencies, 0.99);
    state.counters["p99.9_us"] = Percentile(g_latencies, 0.999);
    state.counters["samples"] = double(g_latencies.size());
    state.SetItemsProcessed(int64_t(state.iterations()) * frames * kRecordsPerFrame);
}

// CPU time of the process (user + system) in seconds.
double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double CpuPercentOver(double seconds) {
    const double c0 = ProcessCpuSeconds();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (ProcessCpuSeconds() - c0) / wall;
}

void BM_IdleCost(benchmark::State& state) {
    for (auto _ : state) {
        double baseline = 0, idle = 0;
        {
            TL_NetStartup(nullptr, 0);
            kvotest::GatewaySim sim;
            sim.Start();
            baseline = CpuPercentOver(10.0);
            sim.Stop();
            TL_NetCleanup();
        }
        {
            // A host's instance, logged in on the simulator (so heartbeats
            // run) and subscribed to three classes, one asynchronously (which
            // brings "SubAsyncCallBackThread"); the simulator pushes nothing.
            kvotest::GatewaySim sim;
            if (!sim.Start()) return state.SkipWithError("simulator");
            char folder[] = "/tmp/kvo_idle_XXXXXX";
            if (::mkdtemp(folder) == nullptr) return state.SkipWithError("no temporary folder");
            InstanceConfig cfg = kvotest::ConfigLoggingTo(folder);
            cfg.m_authtype = 1;
            cfg.m_loglevel = 1;
            cfg.fnctickstock = &OnRecords;
            cfg.fnctransacton = &OnRecords;
            cfg.fnctickindex = &OnRecords;
            void* handle = KvoCreateInstance(&cfg);
            if (handle == nullptr) return state.SkipWithError("create");
            bool ready = KvoRegisterAddr(handle, "USH", "127.0.0.1", sim.Port()) == 0;
            LoginResult* login = ready ? KvoLogin(handle, "trader", "pw") : nullptr;
            ready = login != nullptr && login->nstatuscode == 0;
            KvoFreeMem(login);
            ready = ready && KvoSubScribe(handle, 2, 1, "USHA", "()") == 0 &&
                    KvoSubScribe(handle, 5, 1, "USHA", "()") == 0 &&
                    KvoSubScribeAsync(handle, 1, 1, "USHI", "()") == 0;
            if (ready) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                idle = CpuPercentOver(10.0);
            }
            KvoReleaseInstance(handle);
            sim.Stop();
            std::filesystem::remove_all(folder);
            if (!ready) return state.SkipWithError("login or subscribe");
        }
        state.counters["cpu_pct_session"] = idle;
        state.counters["cpu_pct_baseline"] = baseline;
        state.counters["cpu_pct_added"] = idle - baseline;
    }
}

}  // namespace

// The in-memory rows run before the road: their rates feed its ratio.
BENCHMARK(BM_RawLoopback)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InMemory)->Arg(0)->Arg(4)->UseRealTime();
BENCHMARK(BM_PushRoad)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_PushLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleCost)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
