// The push road end to end: a gateway simulator sends PushData frames of 50
// records ("hq6." images with snappy columns) over loopback to a library
// instance logged in through the exported functions; the instance's threads
// read, cut, route, decode and convert them and call the host.
//
// The simulator runs in a child process forked before the library starts,
// so this process's CPU time is the library's (and this program's mostly
// sleeping main thread).
//
// Each row runs the road, records how the push worker batched the frames
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
// Goal: stock ticks (kind 0) at least 0.6 of in-memory in both rows. Kind
// 4 is transactions. batch_frames is the mean number of frames per batch.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "include/kvoapi.h"
#include "session/datafeed_manager.h"
#include "session/push_workers.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"
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

// The simulator's process. Commands on a pipe: {mode, kind}; 'P' sends the
// kind's frames paced, 'B' in one write, 'W' only the first frame; one byte
// comes back when written.
class SimProcess {
public:
    bool Start() {
        for (int kind : kKinds) FramesOf(kind);
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0) return false;
        if (::pipe(fromChild) != 0) return false;
        m_pid = ::fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::_exit(Child(toChild[0], fromChild[1]));
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_to = toChild[1];
        m_from = fromChild[0];
        return ::read(m_from, &m_port, sizeof m_port) == sizeof m_port;
    }

    ~SimProcess() {
        if (m_to >= 0) ::close(m_to);
        if (m_from >= 0) ::close(m_from);
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    }

    uint16_t Port() const { return m_port; }

    bool Send(char mode, int kind) {
        const char command[2] = {mode, char(kind)};
        return ::write(m_to, command, 2) == 2;
    }
    bool WaitWritten() {
        char c = 0;
        return ::read(m_from, &c, 1) == 1 && c == 1;
    }

private:
    static int Child(int commands, int replies) {
        kvotest::GatewaySim sim;
        if (!sim.Start()) return 1;
        const uint16_t port = sim.Port();
        if (::write(replies, &port, sizeof port) != sizeof port) return 1;
        // The bursts' bytes are joined before any is timed.
        std::string rounds[2];
        for (int i = 0; i < 2; ++i) {
            for (const std::string& f : FramesOf(kKinds[i])) rounds[i] += f;
        }
        char command[2];
        while (::read(commands, command, 2) == 2) {
            const std::vector<std::string>& frames = FramesOf(command[1]);
            bool ok = true;
            if (command[0] == 'W') {
                ok = sim.Write(sim.Latest(), frames[0]);
            } else if (command[0] == 'P') {
                const auto period = std::chrono::nanoseconds(1000000000 / kPacedFramesPerSecond);
                Clock::time_point next = Clock::now();
                for (const std::string& f : frames) {
                    std::this_thread::sleep_until(next);
                    next += period;
                    ok = ok && sim.Write(sim.Latest(), f);
                }
            } else {
                ok = sim.Write(sim.Latest(), rounds[command[1] == kKinds[0] ? 0 : 1]);
            }
            const char done = ok ? 1 : 0;
            if (::write(replies, &done, 1) != 1) break;
        }
        sim.Stop();
        return 0;
    }

    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
    uint16_t m_port = 0;
};

SimProcess& Sim() {
    static SimProcess* sim = [] {
        auto* s = new SimProcess;
        if (!s->Start()) {
            std::fprintf(stderr, "the simulator's process did not start\n");
            std::exit(1);
        }
        return s;
    }();
    return *sim;
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

int32_t OnRecords(void*, const void*, uint32_t count, const PushTiming*) {
    if (!g_workerKnown.load(std::memory_order_acquire) && pthread_getcpuclockid(pthread_self(), &g_workerClock) == 0) {
        g_workerKnown.store(true, std::memory_order_release);
    }
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
    if (writer < 0 || reader < 0) return false;
    const int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const uint64_t before = g_records.load();
    const uint64_t want = uint64_t(frames.size()) * kRecordsPerFrame;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<RecrieceDataThreadInfo*> queued;
    bool ended = false;
    std::atomic<int> known{0};
    clockid_t clocks[2];
    auto learn = [&](int i) {
        if (pthread_getcpuclockid(pthread_self(), &clocks[i]) == 0) known.fetch_add(1);
    };
    std::thread read([&] {
        learn(0);
        const int ep = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, reader, &ev);
        std::vector<char> buffer(64 * 1024);
        std::string held;
        for (;;) {
            if (::epoll_wait(ep, &ev, 1, -1) != 1) continue;
            const ssize_t n = ::recv(reader, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            held.append(buffer.data(), size_t(n));
            std::vector<RecrieceDataThreadInfo*> cut;
            for (const std::string& frame : kvotest::SplitGatewayStream(held, &held)) {
                auto* item = new RecrieceDataThreadInfo;
                item->m_kind = uint32_t(WireClassOf(kind));
                item->m_pushValue = kDatatime;
                item->m_payload.Append(frame.data(), uint32_t(frame.size()));
                cut.push_back(item);
            }
            if (cut.empty()) continue;
            {
                std::lock_guard<std::mutex> g(mutex);
                queued.insert(queued.end(), cut.begin(), cut.end());
            }
            cv.notify_one();
        }
        ::close(ep);
        std::lock_guard<std::mutex> g(mutex);
        ended = true;
        cv.notify_one();
    });
    std::thread work([&] {
        learn(1);
        std::vector<RecrieceDataThreadInfo*> taken;
        for (;;) {
            {
                std::unique_lock<std::mutex> g(mutex);
                cv.wait(g, [&] { return !queued.empty() || ended; });
                if (queued.empty()) return;
                taken.swap(queued);
            }
            step.ProcessTask(taken.data(), uint32_t(taken.size()));
            taken.clear();
        }
    });
    while (known.load() < 2) std::this_thread::yield();
    const uint64_t cpu0 = ClockNs(clocks[0]) + ClockNs(clocks[1]);
    Clock::time_point due = Clock::now();
    bool sent = true;
    for (const std::string& f : frames) {
        std::this_thread::sleep_until(due);
        due += std::chrono::nanoseconds(1000000000 / kPacedFramesPerSecond);
        sent = sent && ::send(writer, f.data(), f.size(), MSG_NOSIGNAL) == ssize_t(f.size());
    }
    const bool all = sent && WaitForRecords(before + want, 30000);
    *seconds = double(ClockNs(clocks[0]) + ClockNs(clocks[1]) - cpu0) / 1e9;
    ::shutdown(writer, SHUT_WR);
    read.join();
    work.join();
    ::close(writer);
    ::close(reader);
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
    if (!Sim().Send('W', kind) || !Sim().WaitWritten() || !WaitForRecords(first, 5000) || !g_workerKnown.load()) {
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
        if (!Sim().Send(paced ? 'P' : 'B', kind)) return state.SkipWithError("simulator");
        // The paced sends take 1 s; this thread sleeps meanwhile.
        if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(950));
        const bool all = WaitForRecords(before + want, 30000);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const uint64_t cpu = (kvotest::ProcessCpuNs() - cpu0) - (ThreadCpuNs() - main0);
        workerSeconds += double(ClockNs(g_workerClock) - worker0) / 1e9;
        g_recording.store(false);
        if (!Sim().WaitWritten()) return state.SkipWithError("simulator write");
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
