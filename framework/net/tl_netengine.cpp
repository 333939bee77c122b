#include "framework/net/tl_netengine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "framework/net/tl_netnotify.h"
#include "framework/net/tl_socketlink.h"
#include "framework/tl_log.h"
#include "framework/tl_sync.h"
#include "platform/pl_completion_port.h"
#include "platform/pl_time.h"

#include "framework/tl_inifile.h"
#include "framework/tl_string.h"
#include "platform/pl_never_destroyed.h"

using corvane::CMutex;
using corvane::CTLSingleLock;
using corvane::ITLSocketLink;

namespace {

constexpr int kMaxBuckets = TL_NET_MAX_DELAY_THRESHOLDS + 1;

struct Engine {
    // Start and stop. A stop marks itself under the lock, then lets it go
    // while it waits for the threads and deletes the links; a start, a
    // release or a question meanwhile waits for stopDone. The stopping
    // thread itself goes on (a callback it runs) and finds the port still
    // there; a thread the stop waits for is answered at once, except a
    // start, which would need the port the stop is taking down.
    std::mutex engineLock;
    std::condition_variable stopDone;
    bool stopping = false;
    std::thread::id stopper;
    std::vector<std::thread::id> stopWaitsFor;  // the threads the stop joins
    bool started = false;
    int users = 0;
    CMutex listLock;
    CMutex newLock;
    std::list<ITLSocketLink*> active;
    std::list<ITLSocketLink*> fresh;
    char settingsPath[260] = {0};
    std::atomic<uint32_t> flags{TL_NET_FLAG_NONAGLE};
    std::atomic<pl::IoPort*> port{nullptr};
    std::unique_ptr<pl::IoPort> portOwner;
    std::atomic<uint32_t> workers{0}, running{0}, idle{0};
    std::atomic<bool> stop{false};
    // Raised by every stop: a thread left behind by an earlier stop sees a
    // newer generation and ends instead of serving the next engine.
    std::atomic<uint32_t> generation{0};
    std::vector<std::thread> workerThreads;
    // One exit flag per worker, so that stop waits for each thread itself
    // and not for all of them at once.
    std::vector<std::shared_ptr<std::atomic<bool>>> workerExited;
    std::thread checkThread;
    std::atomic<bool> checkExited{false};
    // The check thread sleeps on this until its next step; a stop sets the
    // stop flag under the mutex and wakes it at once. The mutex is a leaf:
    // nothing else is taken while it is held.
    std::mutex checkSleepLock;
    std::condition_variable checkSleep;
    std::atomic<uint64_t> checkWakes{0};
    std::atomic<uint64_t> idlePasses{0};
    std::recursive_mutex settingsLock;
    TLNetSettings settings;
    int32_t thresholds[TL_NET_MAX_DELAY_THRESHOLDS] = {0};
    std::atomic<int> thresholdCount{0};
    std::atomic<uint32_t> counters1[kMaxBuckets];
    std::atomic<uint32_t> counters2[kMaxBuckets];
    std::atomic<int> logChannel{-1};
    // Log channels cannot be removed and there are few of them: every
    // channel the engine opened is kept with its file and used again by a
    // later start that names the same file.
    std::vector<std::pair<std::string, int>> openedChannels;
    std::atomic<int> writeSendDelayTime{0};
    std::atomic<bool> checkThreadEnabled{true};
    std::atomic<uint32_t> releaseDelay{15000};
    time_t lastDelayLine = 0;
    // Ports and links kept for a thread that a stop left behind: never
    // freed, but still referenced, so they are plainly kept on purpose.
    std::vector<pl::IoPort*> abandonedPorts;
    std::list<ITLSocketLink*> abandonedLinks;
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> acceptMs{0};

    Engine() {
        for (auto& c : counters1) c.store(0);
        for (auto& c : counters2) c.store(0);
    }
};

Engine& E() {
    // Never destroyed: threads left behind by a stop that timed out may
    // still look at it while the process exits.
    static pl::NeverDestroyed<Engine> e;
    return *e;
}

int ProcessorCount() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

int ParseInt(const std::string& text, int def) {
    if (text.empty()) return def;
    return std::atoi(text.c_str());
}

void WorkerThread(std::shared_ptr<std::atomic<bool>> exited) {
    Engine& e = E();
    pl::IoPort* port = e.port.load();
    const uint32_t generation = e.generation.load();
    e.running.fetch_add(1);
    e.idle.fetch_add(1);
    while (!e.stop.load() && e.generation.load() == generation) {
        pl::IoPacket pk;
        port->Dequeue(pk);
        e.idle.fetch_sub(1);
        if (pk.key && pk.op && !e.stop.load() && e.generation.load() == generation) {
            auto* conn = reinterpret_cast<corvane::CTLWindowsTcpConnection*>(pk.key);
            conn->OnCompletion(pk.op, pk.bytes, pk.error, e.stop.load());
        }
        e.idle.fetch_add(1);
    }
    e.idle.fetch_sub(1);
    e.running.fetch_sub(1);
    e.workers.fetch_sub(1);
    exited->store(true);
}

void WriteDelayLine() {
    Engine& e = E();
    const int count = e.thresholdCount.load();
    const int channel = e.logChannel.load();
    if (count < 1 || channel < 0) return;
    uint32_t a[kMaxBuckets], b[kMaxBuckets];
    for (int i = 0; i <= count; ++i) {
        a[i] = e.counters1[i].load();
        b[i] = e.counters2[i].load();
    }
    std::string line = TL_NetFormatDelayLine(a, b, count + 1);
    TL_WriteLogText(channel, line.c_str());
}

// The steps between two idle passes have nothing to do, so the thread
// sleeps from one idle pass to the next (ten 10 ms steps) instead of waking
// for each of them.
constexpr uint32_t kStepMs = 10;
constexpr uint32_t kStepsPerIdlePass = 10;
constexpr uint32_t kStepsPerCheckPass = 100;

void CheckThread() {
    Engine& e = E();
    const uint32_t generation = e.generation.load();
    auto ended = [&] { return e.stop.load() || e.generation.load() != generation; };
    uint32_t pass = 0;
    auto due = std::chrono::steady_clock::now();
    while (!ended()) {
        e.checkWakes.fetch_add(1);
        const auto now = std::chrono::steady_clock::now();
        if (now >= due) {
            if (pass % kStepsPerCheckPass == 0) TL_NetCheckPass();
            if (pass % kStepsPerIdlePass == 0) {
                TL_NetIdlePass();
                e.idlePasses.fetch_add(1);
            }
            if (pass % kStepsPerCheckPass == 0) {
                const int every = e.writeSendDelayTime.load();
                if (every >= 1) {
                    const time_t t = std::time(nullptr);
                    if (e.lastDelayLine == 0) e.lastDelayLine = t;
                    if (t - e.lastDelayLine >= every) {
                        e.lastDelayLine = t;
                        WriteDelayLine();
                    }
                }
            }
            // Every pass falls on an idle step; the next is measured from the
            // start of this one, as each step comes at least 10 ms after the
            // one before.
            pass += kStepsPerIdlePass;
            due = now + std::chrono::milliseconds(kStepsPerIdlePass * kStepMs);
        }
        std::unique_lock<std::mutex> sleep(e.checkSleepLock);
        e.checkSleep.wait_until(sleep, due, ended);
    }
    // The trace ends its line so that it does not run into the host's next
    // line of standard output.
    TL_DebugTrace("SocketLink ThreadCheckFunc exit.\n");
    e.checkExited.store(true);
}

void ApplySettings(const TLNetSettings& s) {
    Engine& e = E();
    {
        std::lock_guard<std::recursive_mutex> g(e.settingsLock);
        e.settings = s;
        std::copy(s.thresholds, s.thresholds + TL_NET_MAX_DELAY_THRESHOLDS, e.thresholds);
    }
    e.thresholdCount.store(s.thresholdCount);
    e.flags.store(s.nonagle == 1 ? TL_NET_FLAG_NONAGLE : 0);
    int channel = e.logChannel.load();
    if (!s.logFileName.empty() && channel < 0) {
        for (const auto& opened : e.openedChannels) {
            if (opened.first == s.logFileName) channel = opened.second;
        }
        if (channel < 0) {
            channel = TL_AddLogChannel(0x310000, s.logFileName.c_str());
            if (channel >= 0) e.openedChannels.emplace_back(s.logFileName, channel);
        }
        e.logChannel.store(channel >= 0 ? channel : -1);
    }
    e.writeSendDelayTime.store(s.thresholdCount >= 1 && e.logChannel.load() >= 0 ? s.writeSendDelayTime : 0);
}

// A stopped engine, or one that failed to start, writes no delay lines; the
// next start opens the channel its own settings name.
void ForgetLogChannel() {
    Engine& e = E();
    e.logChannel.store(-1);
    e.writeSendDelayTime.store(0);
}

// Starts the port and its workers; engine lock held.
int StartPort(int threadCount) {
    Engine& e = E();
    if (e.portOwner) return TL_NET_E_PORT_EXISTS;
    auto port = std::make_unique<pl::IoPort>();
    if (port->Create() != 0) return TL_NET_E_PORT_CREATE;
    e.portOwner = std::move(port);
    e.port.store(e.portOwner.get());
    e.stop.store(false);
    const int n = threadCount > 0 ? threadCount : ProcessorCount();
    for (int i = 0; i < n; ++i) {
        e.workers.fetch_add(1);
        try {
            auto exited = std::make_shared<std::atomic<bool>>(false);
            e.workerExited.push_back(exited);
            e.workerThreads.emplace_back(WorkerThread, exited);
        } catch (...) {
            e.workers.fetch_sub(1);
            if (e.workerExited.size() > e.workerThreads.size()) e.workerExited.pop_back();
            break;
        }
    }
    if (e.workerThreads.empty()) {
        e.port.store(nullptr);
        e.portOwner->Shutdown();
        e.portOwner.reset();
        return TL_NET_E_PORT_CREATE;
    }
    return 0;
}

// Waits for a thread's flag up to timeoutMs; joins it when it ended, else
// logs and detaches it (never terminated).
bool JoinWithin(std::thread& t, const std::function<bool()>& ended, int timeoutMs, const char* what) {
    if (!t.joinable()) return true;
    if (t.get_id() == std::this_thread::get_id()) {
        // Stopped from one of the engine's own threads (inside a callback):
        // it cannot wait for itself; it ends when the callback returns.
        TL_WriteLog(1, "socket engine: %s stops the engine from inside a callback", what);
        t.detach();
        return false;
    }
    for (int waited = 0; !ended() && waited < timeoutMs; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ended()) {
        t.join();
        return true;
    }
    TL_WriteLog(1, "socket engine: %s did not stop in time, left running", what);
    t.detach();
    return false;
}

// The threads of a running engine, taken out of it by a stop.
struct EngineThreads {
    std::thread check;
    std::vector<std::thread> workers;
    std::vector<std::shared_ptr<std::atomic<bool>>> workerExited;
};

// Stops the threads, then deletes the links or keeps them for a thread left
// behind. Runs with no lock of the engine held: joining waits for threads
// that may take them, and deleting a listening link joins its accept thread.
void StopThreadsAndLinks(EngineThreads& t) {
    Engine& e = E();
    {
        std::lock_guard<std::mutex> sleep(e.checkSleepLock);
        e.stop.store(true);
    }
    e.checkSleep.notify_all();
    bool allJoined = true;
    if (t.check.joinable()) {
        allJoined &= JoinWithin(
            t.check, [&] { return e.checkExited.load(); }, 2000, "the check thread");
    }
    if (pl::IoPort* port = e.port.load()) {
        for (size_t i = 0; i < t.workers.size(); ++i) port->PostWake();
        // All workers share one 5 s wait: each sets its own flag on its way
        // out, so one worker held in a callback (or the caller itself, when
        // the stop comes from a callback) delays none of the others; a worker
        // still inside a callback when the time is up is left behind.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
        for (size_t i = 0; i < t.workers.size(); ++i) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::shared_ptr<std::atomic<bool>> exited = t.workerExited[i];
            allJoined &= JoinWithin(
                t.workers[i], [&] { return exited->load(); }, std::max<int>(0, static_cast<int>(left.count())),
                "a completion thread");
        }
    }
    e.generation.fetch_add(1);
    ForgetLogChannel();
    if (!allJoined) {
        // A thread may still use links and the port: keep them (deliberate
        // leak). The port is shut: a thread left behind that comes back to
        // it gets no more completions, save the one a call of Dequeue already
        // in progress had taken, which the thread drops as the generation
        // has moved on; and a shut port still answers calls.
        e.port.store(nullptr);
        if (e.portOwner) {
            e.portOwner->Shutdown();
            e.abandonedPorts.push_back(e.portOwner.release());
        }
        CTLSingleLock l1(&e.listLock, 1);
        CTLSingleLock l2(&e.newLock, 1);
        e.abandonedLinks.splice(e.abandonedLinks.end(), e.active);
        e.abandonedLinks.splice(e.abandonedLinks.end(), e.fresh);
        e.stop.store(false);
        return;
    }
    // Every completion thread has been joined: no call of Dequeue is left to
    // return a packet, so the links and their operations may go.
    if (e.portOwner) e.portOwner->Shutdown();
    // Deleting a listening link joins its listen thread, which may register
    // one more accepted link: repeat until the lists stay empty.
    for (;;) {
        std::list<ITLSocketLink*> links;
        {
            CTLSingleLock l1(&e.listLock, 1);
            CTLSingleLock l2(&e.newLock, 1);
            links.splice(links.end(), e.active);
            links.splice(links.end(), e.fresh);
        }
        if (links.empty()) break;
        for (ITLSocketLink* l : links) delete l;
    }
    e.port.store(nullptr);
    e.portOwner.reset();
    e.workers.store(0);
    e.running.store(0);
    e.idle.store(0);
    e.lastDelayLine = 0;
    e.stop.store(false);
}

// Stops the engine; called with the engine lock held, which it lets go
// while the threads end and the links are deleted and takes again after.
void StopEngine(std::unique_lock<std::mutex>& engine) {
    Engine& e = E();
    EngineThreads t;
    t.check = std::move(e.checkThread);
    t.workers = std::move(e.workerThreads);
    t.workerExited = std::move(e.workerExited);
    e.workerThreads.clear();
    e.workerExited.clear();
    e.stopping = true;
    e.stopper = std::this_thread::get_id();
    e.stopWaitsFor.clear();
    if (t.check.joinable()) e.stopWaitsFor.push_back(t.check.get_id());
    for (const std::thread& w : t.workers) e.stopWaitsFor.push_back(w.get_id());
    engine.unlock();
    StopThreadsAndLinks(t);
    engine.lock();
    e.stopping = false;
    e.stopper = std::thread::id();
    e.stopWaitsFor.clear();
    e.stopDone.notify_all();
}

// Waits, engine lock held, until a stop in progress has finished, unless
// the stop is this thread's own or (when waitedForMayPass) the stop waits
// for this thread: waiting would hold that stop up until it gave up on it.
void WaitForStop(std::unique_lock<std::mutex>& engine, bool waitedForMayPass) {
    Engine& e = E();
    const std::thread::id self = std::this_thread::get_id();
    e.stopDone.wait(engine, [&] {
        return !e.stopping || e.stopper == self ||
               (waitedForMayPass &&
                std::find(e.stopWaitsFor.begin(), e.stopWaitsFor.end(), self) != e.stopWaitsFor.end());
    });
}

}  // namespace

// ---- start and stop ----------------------------------------------------------

int TL_NetStartup(const char* settingsPath, int force) {
    Engine& e = E();
    std::unique_lock<std::mutex> g(e.engineLock);
    WaitForStop(g, false);
    if (e.started && !force) {
        ++e.users;
        return 0;
    }
    std::memset(e.settingsPath, 0, sizeof e.settingsPath);
    if (settingsPath) std::strncpy(e.settingsPath, settingsPath, sizeof e.settingsPath - 1);
    TLNetSettings s = TL_NetReadSettings(e.settingsPath);
    ApplySettings(s);
    if (e.started) return TL_NET_E_PORT_EXISTS;  // forced while running: the port exists
    int rc = StartPort(s.threadCount);
    if (rc != 0) {
        ForgetLogChannel();  // the engine stays stopped
        return rc;
    }
    e.checkExited.store(false);
    if (e.checkThreadEnabled.load()) {
        try {
            e.checkThread = std::thread(CheckThread);
        } catch (...) {
            StopEngine(g);
            return TL_NET_E_PORT_CREATE;
        }
    }
    e.started = true;
    e.users = 1;
    return 0;
}

int TL_NetCleanup() {
    Engine& e = E();
    std::unique_lock<std::mutex> g(e.engineLock);
    WaitForStop(g, true);  // a release while stopping finds the engine stopped
    if (!e.started) return 0;
    if (--e.users > 0) return 0;
    e.started = false;
    StopEngine(g);
    return 0;
}

bool TL_NetIsStarted() {
    Engine& e = E();
    std::unique_lock<std::mutex> g(e.engineLock);
    WaitForStop(g, true);
    return e.started;
}

corvane::ITLSocketLink* TL_CreateSocketLink(corvane::CTLNetNotify* sink, uint32_t kind,
                                            corvane::ITLConnection* connection) {
    Engine& e = E();
    if ((kind & 0xF) != 1 || !e.port.load()) return nullptr;
    if (!connection && (kind & 0xF0) != 0x10) return nullptr;
    auto* link = new (std::nothrow) corvane::CTLSocketSingleLink(sink, kind, connection);
    if (!link || !link->GetConnection()) {
        delete link;
        return nullptr;
    }
    if (sink) sink->LinkAttach(link);
    CTLSingleLock lock(&e.newLock, 1);
    e.fresh.push_back(link);
    return link;
}

// ---- state ------------------------------------------------------------------------

uint32_t TL_TickMs() { return static_cast<uint32_t>(pl::TickMs()); }

// Read when asked: the check thread wakes only every 100 ms, too seldom to
// keep a copy correct to the millisecond.
uint32_t TL_NetGetClock() { return TL_TickMs(); }

pl::IoPort* TL_NetGetPort() { return E().port.load(); }
uint32_t TL_NetGetFlags() { return E().flags.load(); }
int TL_NetGetLogChannel() { return E().logChannel.load(); }

TLNetSettings TL_NetGetSettings() {
    Engine& e = E();
    std::lock_guard<std::recursive_mutex> g(e.settingsLock);
    return e.settings;
}

TLNetSettings TL_NetReadSettings(const char* path) {
    TLNetSettings s;
    if (!path || !*path) return s;
    corvane::CTLIniFile ini;
    if (ini.LoadFile(path) < 0) return s;
    auto get = [&](const char* key) {
        corvane::CTLString v;
        ini.GetValue(v, "TCP", key, "");
        return std::string(v.GetString());
    };
    s.threadCount = ParseInt(get("ThreadCount"), 0);
    if (s.threadCount <= 0) s.threadCount = 0;
    s.nonagle = ParseInt(get("Nonagle"), 1);
    s.multiLinkNumDefault = ParseInt(get("MultiLinkNumDefault"), 1);
    s.logFileName = get("LogFileName");
    while (!s.logFileName.empty() && (s.logFileName.back() == '\r' || s.logFileName.back() == '\n'))
        s.logFileName.pop_back();
    std::string delays = get("SendDelay");
    s.thresholdCount = TL_NetParseSendDelay(delays.c_str(), s.thresholds);
    if (s.thresholdCount >= 1 && !s.logFileName.empty()) s.writeSendDelayTime = ParseInt(get("WriteSendDelayTime"), 0);
    return s;
}

// ---- send-delay accounting ------------------------------------------------------

int TL_NetParseSendDelay(const char* text, int32_t* out) {
    int n = 0;
    if (!text) return 0;
    const char* p = text;
    while (*p && n < TL_NET_MAX_DELAY_THRESHOLDS) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        const char* comma = std::strchr(p, ',');
        std::string item = comma ? std::string(p, comma) : std::string(p);
        if (!item.empty()) out[n++] = static_cast<int32_t>(std::strtol(item.c_str(), nullptr, 10));
        if (!comma) break;
        p = comma + 1;
    }
    return n;
}

int TL_NetDelayBucket(const int32_t* thresholds, int count, uint32_t delay) {
    if (count < 1) return -1;
    int i = 0;
    for (; i < count && thresholds[i] >= 1; ++i) {
        if (static_cast<uint32_t>(thresholds[i]) >= delay) return i;
    }
    return count;
}

std::string TL_NetFormatDelayLine(const uint32_t* first, const uint32_t* second, int buckets) {
    std::string line = "Delay,";
    char buf[48];
    for (int i = 0; i < buckets; ++i) {
        std::snprintf(buf, sizeof buf, "%ld,%ld,", static_cast<long>(first[i]), static_cast<long>(second[i]));
        line += buf;
    }
    line += "\r\n";
    return line;
}

void TL_NetReportSendDelay(uint32_t queuedAt, int32_t flags) {
    Engine& e = E();
    const int count = e.thresholdCount.load();
    if (count < 1) return;
    int32_t th[TL_NET_MAX_DELAY_THRESHOLDS];
    {
        std::lock_guard<std::recursive_mutex> g(e.settingsLock);
        std::copy(e.thresholds, e.thresholds + TL_NET_MAX_DELAY_THRESHOLDS, th);
    }
    const int b = TL_NetDelayBucket(th, count, TL_NetGetClock() - queuedAt);
    if (b < 0) return;
    e.counters1[b].fetch_add(1);
    if (flags < 0) e.counters2[b].fetch_add(1);
}

void TL_NetGetDelayCounters(int bucket, uint32_t& first, uint32_t& second) {
    first = second = 0;
    if (bucket < 0 || bucket >= kMaxBuckets) return;
    first = E().counters1[bucket].load();
    second = E().counters2[bucket].load();
}

// ---- check passes -----------------------------------------------------------------

namespace {

// The locked part of a check pass: links ready to be released are moved to
// released, the others are checked.
void CheckLinks(std::list<ITLSocketLink*>& released) {
    Engine& e = E();
    CTLSingleLock lists(&e.listLock, 1);
    {
        CTLSingleLock fresh(&e.newLock, 1);
        e.active.splice(e.active.end(), e.fresh);
    }
    // A callback may stop the engine from this thread (the lock is
    // recursive); the stop takes the links away from the list, so the pass
    // ends there instead of walking on.
    const uint32_t generation = e.generation.load();
    size_t n = 0;
    for (auto it = e.active.begin(); it != e.active.end();) {
        ITLSocketLink* link = *it;
        if (link->ReadyToRelease()) {
            released.splice(released.end(), e.active, it++);
        } else {
            link->OnCheck();
            if (e.generation.load() != generation) return;
            ++it;
        }
        if (++n % 1000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

void TL_NetCheckPass() {
    // Released links are off every list, so nothing else reaches them; they
    // are deleted once the list lock is let go, as deleting a listening link
    // joins its accept thread, which may take that lock meanwhile.
    std::list<ITLSocketLink*> released;
    CheckLinks(released);
    for (ITLSocketLink* link : released) delete link;
}

void TL_NetIdlePass() {
    Engine& e = E();
    {
        CTLSingleLock lists(&e.listLock, 1);
        const uint32_t generation = e.generation.load();
        for (auto it = e.active.begin(); it != e.active.end(); ++it) {
            (*it)->OnIdle();
            if (e.generation.load() != generation) return;  // stopped by the call
        }
    }
    // Sockets closed after their sends linger in the port until their peers
    // have the data; the port finishes those that are done. (A stop joins
    // this thread before it frees the port.)
    if (pl::IoPort* port = e.port.load()) port->FinishLingering();
}

size_t TL_NetLinkCount() {
    Engine& e = E();
    CTLSingleLock lists(&e.listLock, 1);
    CTLSingleLock fresh(&e.newLock, 1);
    return e.active.size() + e.fresh.size();
}

void TL_NetNoteAccept(uint32_t ms) {
    E().accepted.fetch_add(1);
    E().acceptMs.fetch_add(ms);
}

void TL_NetGetAcceptStats(uint64_t& accepted, uint64_t& totalMs) {
    accepted = E().accepted.load();
    totalMs = E().acceptMs.load();
}

void TL_NetGetCheckThreadStats(uint64_t& wakes, uint64_t& idlePasses) {
    wakes = E().checkWakes.load();
    idlePasses = E().idlePasses.load();
}

void TL_NetSetCheckThreadEnabled(bool enabled) { E().checkThreadEnabled.store(enabled); }
void TL_NetSetReleaseDelay(uint32_t ms) { E().releaseDelay.store(ms); }
uint32_t TL_NetGetReleaseDelay() { return E().releaseDelay.load(); }
