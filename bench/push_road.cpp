// The push road end to end: a gateway simulator sends PushData frames of 50
// records ("hq6." images with snappy columns) over loopback to a library
// instance logged in through the exported functions; the instance's threads
// read, cut, route, decode and convert them and call the host.
//
// The simulator runs in a child process forked before the library starts,
// so this process's CPU time and memory are the library's (and this
// program's mostly sleeping main thread's).
//
// Each BM_PushRoad row runs the road, records how the push worker batched the frames
// (the records of every callback), and then replays the same frames in the
// same batches through the worker's own batch step (parse, cut, decode,
// convert, join, callback) in memory on this thread: the decode and convert
// ceiling for exactly that work.
//  - BM_PushRoad/paced/kind:<kind>: 2,000 frames a second for 1 s (100,000
//    records a second), the steady state in which the worker takes a frame
//    or two per step. The figure is records per CPU-second of the whole
//    process (all library threads, idle ones included) beside the replay's
//    records per CPU-second; vs_in_memory is their ratio. worker_rec_per_cpu_s
//    counts the push worker's thread alone (the rest is the reading, cutting
//    and routing threads' and the hand-offs'). The replay runs a
//    second time at the road's pace (in_memory_paced_rec_per_cpu_s,
//    vs_in_memory_paced): a step every 500 us finds colder caches than
//    steps back to back, whatever road feeds it. The plain road
//    (plain_rec_per_cpu_s, vs_plain) is the floor of any threaded road: the
//    same frames at the same pace over a plain loopback TCP connection, a
//    reading thread (epoll_wait, recv, cutting frames) handing them through
//    a mutex and a condition variable to a worker thread that runs the same
//    batch step; CPU of those two threads only, as the road's writer is
//    not counted either.
//  - BM_PushRoad/burst/kind:<kind>: 2,000 frames written at once (a backlog: the
//    worker takes hundreds per step). The figure is records per second from
//    the write to the last callback beside the replay's records per second
//    (wall time); vs_in_memory is their ratio.
//  - BM_PushMemory/kind:<kind>: the resident memory of the process during
//    ordinary flow (the paced frames, read 2 s into it), at the peak of a
//    burst (the 2,000 frames queued behind one callback that stalls for
//    300 ms, so that the worker joins them in batches of up to 100,000
//    records) and 10 s into the ordinary flow after it, side by side
//    (rss_before_MiB, rss_peak_MiB, rss_after_MiB); goal_after_MiB is 10 %
//    over the figure before plus 4 MiB. arrays_peak_MiB and arrays_after_MiB
//    are what the batch workers' join arrays held resident by their own
//    count, burst_batch_records the largest batch.
// Goal: stock ticks (kind 0) at least 0.6 of in-memory in both rows. Kind
// 4 is transactions. batch_frames is the mean number of frames per batch.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "include/kvoapi.h"
#include "session/datafeed_manager.h"
#include "session/push_workers.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"
#include "bench/support/bench_support.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"
#include "tests/support/process_figures.h"
#include "tests/support/push_images.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecordsPerFrame = 50;
constexpr uint32_t kFramesPerRound = 2000;
constexpr uint32_t kPacedFramesPerSecond = 2000;
constexpr uint64_t kDatatime = 20250428093005250ull;
constexpr int kKinds[] = {0, 4};

int32_t WireClassOf(int kind) { return kind == 0 ? 1 : 5; }
uint32_t DataClassOf(int kind) { return kind == 0 ? 2 : 5; }

// The frames of a kind: 50 records each, from 16 images varied so that no
// two neighbours are alike.
std::vector<std::string> Frames(int kind) {
    std::vector<std::string> images;
    for (uint32_t i = 0; i < 16; ++i) {
        qw::Table t =
            kind == 0 ? kvotest::FullStockTable(kRecordsPerFrame) : kvotest::FullTradeTable(kRecordsPerFrame, 10, true);
        t.data[t.recordSize - 1] = uint8_t(i);
        const qw::Bytes b = qw::Hq6Image(t, 0x10);
        images.emplace_back(b.begin(), b.end());
    }
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < kFramesPerRound; ++i) {
        frames.push_back(kvotest::PushFrame(
            kvotest::MakePush("USHA", WireClassOf(kind), images[i % images.size()], 0, 0, kDatatime)));
    }
    return frames;
}

// Built once, before the fork, so that both processes hold them.
const std::vector<std::string>& FramesOf(int kind) {
    static const std::vector<std::string> stock = Frames(0);
    static const std::vector<std::string> trade = Frames(4);
    return kind == 0 ? stock : trade;
}

// The simulator's process serves commands {mode, kind, seconds} on its pipe:
// 'P' sends the kind's frames paced, over and over for the seconds, 'B' all
// in one write, 'W' only the first frame; one byte comes back when written.
int ServeFrames(kvotest::GatewaySim& sim, int commands, int replies) {
    // The bursts' bytes are joined before any is timed.
    std::string rounds[2];
    for (int i = 0; i < 2; ++i) {
        for (const std::string& f : FramesOf(kKinds[i])) rounds[i] += f;
    }
    char command[3];
    while (::read(commands, command, 3) == 3) {
        const std::vector<std::string>& frames = FramesOf(command[1]);
        bool ok = true;
        if (command[0] == 'W') {
            ok = sim.Write(sim.Latest(), frames[0]);
        } else if (command[0] == 'P') {
            const auto period = std::chrono::nanoseconds(1000000000 / kPacedFramesPerSecond);
            Clock::time_point next = Clock::now();
            for (int second = 0; second < command[2]; ++second) {
                for (const std::string& f : frames) {
                    std::this_thread::sleep_until(next);
                    next += period;
                    ok = ok && sim.Write(sim.Latest(), f);
                }
            }
        } else {
            ok = sim.Write(sim.Latest(), rounds[command[1] == kKinds[0] ? 0 : 1]);
        }
        const char done = ok ? 1 : 0;
        if (::write(replies, &done, 1) != 1) break;
    }
    return 0;
}

// Forked by the first row, before any library thread exists; the frames
// are built before, so that both processes hold them.
kvobench::SimProcess& Sim() {
    static kvobench::SimProcess& sim = []() -> kvobench::SimProcess& {
        for (int kind : kKinds) FramesOf(kind);
        return kvobench::SharedSimProcess(&ServeFrames);
    }();
    return sim;
}

bool SendToSim(char mode, int kind, int seconds = 1) {
    const char command[3] = {mode, char(kind), char(seconds)};
    return Sim().Send(command, 3);
}

bool WaitWritten() {
    char c = 0;
    return Sim().Reply(&c) && c == 1;
}

// What the host callbacks count; the record counts of the callbacks are
// kept while g_recording is on (one worker thread writes them, the main
// thread reads them after g_records shows that everything arrived).
std::atomic<uint64_t> g_records{0};
std::atomic<bool> g_recording{false};
std::vector<uint32_t> g_batches;

// The CPU clock of the worker thread that calls back, learnt by its first
// callback of a row.
std::atomic<bool> g_workerKnown{false};
clockid_t g_workerClock;

// The largest batch a callback got, and a stall the next callback makes,
// so that a burst queues up behind it as behind a busy host.
std::atomic<uint32_t> g_largest{0};
std::atomic<int> g_stallMs{0};

int32_t OnRecords(void*, const void*, uint32_t count, const PushTiming*) {
    if (!g_workerKnown.load(std::memory_order_acquire) && pthread_getcpuclockid(pthread_self(), &g_workerClock) == 0) {
        g_workerKnown.store(true, std::memory_order_release);
    }
    if (g_stallMs.load(std::memory_order_relaxed) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(g_stallMs.exchange(0)));
    }
    if (count > g_largest.load(std::memory_order_relaxed)) g_largest.store(count, std::memory_order_relaxed);
    if (g_recording.load(std::memory_order_relaxed)) g_batches.push_back(count);
    g_records.fetch_add(count, std::memory_order_release);
    return 0;
}

InstanceConfig HostConfig(const char* folder) {
    InstanceConfig cfg = kvotest::ConfigLoggingTo(folder);
    cfg.m_authtype = 1;
    cfg.m_loglevel = 1;
    cfg.fnctickstock = &OnRecords;
    cfg.fnctransacton = &OnRecords;
    return cfg;
}

// A logged-in instance subscribed to the kind, on the child's simulator.
class Host {
public:
    explicit Host(int kind) {
        if (::mkdtemp(m_folder) == nullptr) return;
        const InstanceConfig cfg = HostConfig(m_folder);
        m_handle = KvoCreateInstance(&cfg);
        if (m_handle == nullptr || KvoRegisterAddr(m_handle, "USH", "127.0.0.1", Sim().Port()) != 0) return;
        LoginResult* login = KvoLogin(m_handle, "trader", "pw");
        m_ready = login != nullptr && login->nstatuscode == 0 &&
                  KvoSubScribe(m_handle, DataClassOf(kind), 1, "USHA", "()") == 0;
        KvoFreeMem(login);
    }
    ~Host() {
        if (m_handle != nullptr) KvoReleaseInstance(m_handle);
        const std::string rm = std::string("rm -rf '") + m_folder + "'";
        if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "%s failed\n", rm.c_str());
    }
    bool Ready() const { return m_ready; }
    const char* Folder() const { return m_folder; }

private:
    char m_folder[32] = "/tmp/kvo_push_road_XXXXXX";
    void* m_handle = nullptr;
    bool m_ready = false;
};

// The push worker's batch step, called on this thread.
class BatchStep : public CAllPackProcessPushDataThread {
public:
    using CAllPackProcessPushDataThread::CAllPackProcessPushDataThread;
    using CAllPackProcessPushDataThread::ProcessTask;
};

uint64_t ClockNs(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

uint64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }

uint64_t NowNs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

// The replay of the recorded batches: the same frames in the same batches,
// as push items like the ones the receive path queues. Gives the seconds
// of the steps only (CPU of this thread, or wall time), and false when
// records went missing.
bool Replay(int kind, const char* folder, const std::vector<uint32_t>& batches, bool cpu, bool paced, double* seconds) {
    const std::vector<std::string>& frames = FramesOf(kind);
    const InstanceConfig cfg = HostConfig(folder);
    CDatafeedSDKManager session(&cfg, nullptr, "SH");
    BatchStep step("replay", BatchStep::Handler::Bind<&CDatafeedSDKManager::ProcessPushFiles>(&session));
    const uint64_t before = g_records.load();
    uint64_t want = 0;
    uint64_t ns = 0;
    size_t next = 0;
    Clock::time_point due = Clock::now();
    for (uint32_t records : batches) {
        const uint32_t n = std::max<uint32_t>(1, records / kRecordsPerFrame);
        if (paced) {
            std::this_thread::sleep_until(due);
            due += n * std::chrono::nanoseconds(1000000000 / kPacedFramesPerSecond);
        }
        std::vector<RecrieceDataThreadInfo*> items;
        for (uint32_t i = 0; i < n; ++i) {
            auto* item = new RecrieceDataThreadInfo;
            const std::string& f = frames[next++ % frames.size()];
            item->m_kind = uint32_t(WireClassOf(kind));
            item->m_pushValue = kDatatime;
            item->m_payload.Append(f.data(), uint32_t(f.size()));
            items.push_back(item);
        }
        want += uint64_t(n) * kRecordsPerFrame;
        const uint64_t t0 = cpu ? ThreadCpuNs() : NowNs();
        step.ProcessTask(items.data(), uint32_t(items.size()));
        ns += (cpu ? ThreadCpuNs() : NowNs()) - t0;
    }
    *seconds = double(ns) / 1e9;
    return g_records.load() - before == want;
}

bool WaitForRecords(uint64_t target, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (g_records.load(std::memory_order_acquire) < target) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// The plain road (see the top of the file). Gives the CPU seconds of its
// reading and worker threads, and false when records went missing.
bool PlainRoad(int kind, const char* folder, double* seconds) {
    const std::vector<std::string>& frames = FramesOf(kind);
    const InstanceConfig cfg = HostConfig(folder);
    CDatafeedSDKManager session(&cfg, nullptr, "SH");
    BatchStep step("plain", BatchStep::Handler::Bind<&CDatafeedSDKManager::ProcessPushFiles>(&session));
    uint16_t port = 0;
    const int listener = kvotest::ListenOnLoopback(port, 1);
    const int writer = kvotest::ConnectToLoopback(port);
    const int reader = kvotest::AcceptWithin(listener, 5000);
    ::close(listener);
    if (writer < 0 || reader < 0) {
        if (writer >= 0) ::close(writer);
        if (reader >= 0) ::close(reader);
        return false;
    }
    const int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const uint64_t before = g_records.load();
    const uint64_t want = uint64_t(frames.size()) * kRecordsPerFrame;
    kvobench::PlainPipeline plain(reader, [&](std::vector<std::string>& taken) {
        std::vector<RecrieceDataThreadInfo*> items;
        items.reserve(taken.size());
        for (const std::string& frame : taken) {
            auto* item = new RecrieceDataThreadInfo;
            item->m_kind = uint32_t(WireClassOf(kind));
            item->m_pushValue = kDatatime;
            item->m_payload.Append(frame.data(), uint32_t(frame.size()));
            items.push_back(item);
        }
        step.ProcessTask(items.data(), uint32_t(items.size()));
    });
    const uint64_t cpu0 = plain.CpuNs();
    Clock::time_point due = Clock::now();
    bool sent = true;
    for (const std::string& f : frames) {
        std::this_thread::sleep_until(due);
        due += std::chrono::nanoseconds(1000000000 / kPacedFramesPerSecond);
        sent = sent && ::send(writer, f.data(), f.size(), MSG_NOSIGNAL) == ssize_t(f.size());
    }
    const bool all = sent && WaitForRecords(before + want, 30000);
    *seconds = double(plain.CpuNs() - cpu0) / 1e9;
    ::close(writer);
    return all;
}

void BM_PushRoad(benchmark::State& state, bool burst) {
    const bool paced = !burst;
    const int kind = int(state.range(0));
    Sim();
    Host host(kind);
    if (!host.Ready()) return state.SkipWithError("login or subscribe");
    // One frame first, so that the worker is known before the timing.
    g_workerKnown.store(false);
    const uint64_t first = g_records.load() + kRecordsPerFrame;
    if (!SendToSim('W', kind) || !WaitWritten() || !WaitForRecords(first, 5000) || !g_workerKnown.load()) {
        return state.SkipWithError("first push");
    }
    const uint64_t want = uint64_t(kFramesPerRound) * kRecordsPerFrame;
    double roadSeconds = 0;
    double replaySeconds = 0;
    double pacedReplaySeconds = 0;
    double plainSeconds = 0;
    double workerSeconds = 0;
    uint64_t batches = 0;
    for (auto _ : state) {
        g_batches.clear();
        g_batches.reserve(kFramesPerRound);
        g_recording.store(true);
        const uint64_t before = g_records.load();
        const uint64_t cpu0 = kvotest::ProcessCpuNs();
        const uint64_t main0 = ThreadCpuNs();
        const uint64_t worker0 = ClockNs(g_workerClock);
        const Clock::time_point t0 = Clock::now();
        if (!SendToSim(paced ? 'P' : 'B', kind)) return state.SkipWithError("simulator");
        // The paced sends take 1 s; this thread sleeps meanwhile.
        if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(950));
        const bool all = WaitForRecords(before + want, 30000);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const uint64_t cpu = (kvotest::ProcessCpuNs() - cpu0) - (ThreadCpuNs() - main0);
        workerSeconds += double(ClockNs(g_workerClock) - worker0) / 1e9;
        g_recording.store(false);
        if (!WaitWritten()) return state.SkipWithError("simulator write");
        if (!all) return state.SkipWithError("records lost");
        const double s = paced ? double(cpu) / 1e9 : wall;
        state.SetIterationTime(s);
        roadSeconds += s;
        double replay = 0;
        if (!Replay(kind, host.Folder(), g_batches, paced, false, &replay))
            return state.SkipWithError("replay lost records");
        replaySeconds += replay;
        if (paced) {
            if (!Replay(kind, host.Folder(), g_batches, true, true, &replay))
                return state.SkipWithError("replay lost records");
            pacedReplaySeconds += replay;
            double plain = 0;
            if (!PlainRoad(kind, host.Folder(), &plain)) return state.SkipWithError("plain road lost records");
            plainSeconds += plain;
        }
        batches += g_batches.size();
    }
    const double records = double(state.iterations()) * double(want);
    state.SetItemsProcessed(int64_t(records));
    const double road = records / roadSeconds;
    const double memory = records / replaySeconds;
    state.counters[paced ? "road_rec_per_cpu_s" : "road_rec_s"] = road;
    state.counters[paced ? "in_memory_rec_per_cpu_s" : "in_memory_rec_s"] = memory;
    state.counters["vs_in_memory"] = road / memory;
    if (paced) {
        state.counters["in_memory_paced_rec_per_cpu_s"] = records / pacedReplaySeconds;
        state.counters["vs_in_memory_paced"] = road / (records / pacedReplaySeconds);
        state.counters["plain_rec_per_cpu_s"] = records / plainSeconds;
        state.counters["vs_plain"] = road / (records / plainSeconds);
    }
    if (paced) state.counters["worker_rec_per_cpu_s"] = records / workerSeconds;
    state.counters["batch_frames"] = records / kRecordsPerFrame / double(batches);
    size_t bytes = 0;
    for (const std::string& f : FramesOf(kind)) bytes += f.size();
    state.counters["frame_bytes"] = double(bytes) / double(FramesOf(kind).size());
}

// The memory row (see the top of the file).
void BM_PushMemory(benchmark::State& state) {
    const int kind = int(state.range(0));
    Host host(kind);
    if (!host.Ready()) return state.SkipWithError("login or subscribe");
    const uint64_t round = uint64_t(kFramesPerRound) * kRecordsPerFrame;
    constexpr double kMiB = 1024.0 * 1024.0;
    uint64_t before = 0;
    uint64_t peak = 0;
    uint64_t after = 0;
    size_t arraysPeak = 0;
    size_t arraysAfter = 0;
    for (auto _ : state) {
        // Ordinary flow, read 2 s into it.
        uint64_t target = g_records.load() + 3 * round;
        if (!SendToSim('P', kind, 3)) return state.SkipWithError("simulator");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        before = kvobench::ResidentBytes();
        if (!WaitWritten() || !WaitForRecords(target, 30000)) return state.SkipWithError("ordinary flow before");
        // The burst, behind one push whose callback stalls; the resident
        // memory is sampled every millisecond until it is all delivered.
        g_largest.store(0);
        g_stallMs.store(300);
        target = g_records.load() + kRecordsPerFrame + round;
        if (!SendToSim('W', kind) || !WaitWritten() || !SendToSim('B', kind) || !WaitWritten()) {
            return state.SkipWithError("simulator write");
        }
        peak = before;
        arraysPeak = 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
        while (g_records.load(std::memory_order_acquire) < target && Clock::now() < deadline) {
            peak = std::max(peak, kvobench::ResidentBytes());
            arraysPeak = std::max(arraysPeak, BatchArrayResidentBytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        peak = std::max(peak, kvobench::ResidentBytes());
        arraysPeak = std::max(arraysPeak, BatchArrayResidentBytes());
        if (g_records.load() < target) return state.SkipWithError("burst lost records");
        // Ordinary flow again, read 10 s into it.
        target = g_records.load() + 11 * round;
        if (!SendToSim('P', kind, 11)) return state.SkipWithError("simulator");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        after = kvobench::ResidentBytes();
        arraysAfter = BatchArrayResidentBytes();
        if (!WaitWritten() || !WaitForRecords(target, 30000)) return state.SkipWithError("ordinary flow after");
    }
    state.counters["rss_before_MiB"] = double(before) / kMiB;
    state.counters["rss_peak_MiB"] = double(peak) / kMiB;
    state.counters["rss_after_MiB"] = double(after) / kMiB;
    state.counters["goal_after_MiB"] = 1.1 * double(before) / kMiB + 4;
    state.counters["arrays_peak_MiB"] = double(arraysPeak) / kMiB;
    state.counters["arrays_after_MiB"] = double(arraysAfter) / kMiB;
    state.counters["burst_batch_records"] = double(g_largest.load());
}

}  // namespace

// The argument is the kind: 0 stock ticks, 4 transactions. The simulator's
// process is forked by the first row, before any library thread exists.
BENCHMARK_CAPTURE(BM_PushRoad, paced, false)
    ->ArgName("kind")
    ->Arg(0)
    ->Arg(4)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_PushRoad, burst, true)
    ->ArgName("kind")
    ->Arg(0)
    ->Arg(4)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_PushMemory)->ArgName("kind")->Arg(0)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
