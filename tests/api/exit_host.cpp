// The host of the process-exit test (see there for the orders), linked
// against libkvoapi.so as a host is:
//   exit_host <order> <gateway port> <log folder> <playback folder>/
// It prints "ending" as its process begins to end. Its own exit handler,
// registered before the library's and so run after it, prints "at exit
// <returned> <threads> <base>": whether the releasing callback had returned,
// the thread count, and the count a finished teardown leaves. A callback
// that runs on into the exit prints "late returned" when it returns. Exit
// status 0; 11 when an exit expected in a callback never came. The order
// "fork" forks two children that end with exit(0) and prints "fork <kind>
// <ms> <status>" for each and "parent received <batches>" after them.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "include/kvoapi.h"

namespace {

std::atomic<void*> g_releaseMe{nullptr};
std::atomic<bool> g_released{false}, g_returned{false}, g_exitInCallback{false};
std::atomic<int> g_batches{0}, g_played{0}, g_base{0};
// The exit has begun (main returned, or exit was called); the host's exit
// handler has begun.
std::atomic<bool> g_ending{false}, g_atExit{false};
bool g_handlerAwaitsRelease = false, g_countThreads = false;
uint16_t g_port = 0;
InstanceConfig g_cfg;
bool g_forkChild = false;
// A global owner of an instance, as an RAII host keeps one.
std::unique_ptr<void, int32_t (*)(void*)> g_owner(nullptr, &KvoReleaseInstance);

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Say(const char* line) {
    if (::write(1, line, std::strlen(line)) < 0) std::_Exit(12);
}

void Ending() {
    Say("ending\n");
    g_ending = true;
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

void WaitFor(const std::function<bool()>& done, int ms = 20000) {
    for (int i = 0; i < ms && !done(); ++i) Sleep(1);
}

void AtExit() {
    if (g_forkChild) return;
    g_atExit = true;
    // Host work in the handler, which here lasts until a release made during
    // the exit was made.
    if (g_handlerAwaitsRelease) WaitFor([] { return g_released.load(); }, 1000);
    const bool returned = g_returned;
    // A joined thread may take a moment to leave the task list.
    for (int i = 0; i < 200 && g_countThreads && ThreadCount() > g_base; ++i) Sleep(5);
    std::printf("at exit %d %d %d\n", returned ? 1 : 0, ThreadCount(), g_base.load());
}

int32_t Releasing(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    KvoReleaseInstance(h);
    g_released = true;
    if (g_exitInCallback) {
        Ending();
        std::exit(0);
    }
    Sleep(300);
    g_returned = true;
    return 0;
}

int32_t ExitsAfterTheRelease(void*, const void*, uint32_t, const PushTiming*) {
    if (g_released && !g_returned) {
        Ending();
        std::exit(0);
    }
    return 0;
}

int32_t Counting(void*, const void*, uint32_t, const PushTiming*) {
    ++g_batches;
    return 0;
}

int32_t CountingPlayed(void*, const void*, uint32_t, const PushTiming*) {
    ++g_played;
    return 0;
}

// Replaces its instance: releases it, creates, logs in and subscribes the
// next one, then goes on for 100 ms, while the next one's first batch does
// the same.
int32_t Replacing(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    KvoReleaseInstance(h);
    ++g_batches;  // the generations
    void* next = KvoCreateInstance(&g_cfg);
    if (next == nullptr) return 0;  // the process exits
    LoginResult* r = KvoRegisterAddr(next, "USH", "127.0.0.1", g_port) == 0 ? KvoLogin(next, "trader", "pw") : nullptr;
    if (r != nullptr) KvoFreeMem(r);
    g_releaseMe = next;
    KvoSubScribeAsync(next, 2, 1, "USHA", "(600000)");
    Sleep(100);
    return 0;
}

// Releases its instance and returns only once the host's exit handler began
// (8 s at most).
int32_t AwaitingHostHandler(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    KvoReleaseInstance(h);
    g_released = true;
    WaitFor([] { return g_atExit.load(); }, 8000);
    return 0;
}

// Releases its instance 30 ms into the exit, then goes on for 100 ms.
int32_t ReleasingLate(void*, const void*, uint32_t, const PushTiming*) {
    if (!g_ending) return 0;
    Sleep(30);
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    KvoReleaseInstance(h);
    g_released = true;
    Sleep(100);
    Say("late returned\n");
    return 0;
}

// Releases its instance once the host is about to exit.
int32_t ReleasingOnCue(void*, const void*, uint32_t, const PushTiming*) {
    ++g_batches;
    if (!g_ending) return 0;
    if (void* h = g_releaseMe.exchange(nullptr)) KvoReleaseInstance(h);
    return 0;
}

// Logged in on the gateway, subscribed to the stock ticks of two codes.
void* Online(const InstanceConfig& cfg, uint16_t port) {
    void* h = KvoCreateInstance(&cfg);
    LoginResult* r = h && KvoRegisterAddr(h, "USH", "127.0.0.1", port) == 0 ? KvoLogin(h, "trader", "pw") : nullptr;
    if (r == nullptr || r->nstatuscode != 0 || KvoSubScribe(h, 2, 1, "USHA", "(600000,600036)") != 0) std::_Exit(6);
    KvoFreeMem(r);
    return h;
}

// Playing the folder's stock ticks, one every 20 ms, subscribed to one code.
void* Playing(const InstanceConfig& cfg, const char* folder) {
    OfflineDebugConfig play{};
    std::strncpy(play.path, folder, sizeof(play.path) - 1);
    std::strncpy(play.subtype, "stock", sizeof(play.subtype) - 1);
    play.push_space = 20;
    play.push_count = 1;
    play.playback_times = 100;
    void* p = KvoCreateInstance(&cfg);
    if (!p || KvoStartOfflineDebug(p, &play) != 0 || KvoSubScribe(p, 2, 1, "USHA", "(600000)") != 0) std::_Exit(7);
    return p;
}

// Forks two children that end with exit(0), the global owner of one
// ("release") holding the inherited instance, and prints how long each took
// to end (one still running after 5 s is ended by its alarm).
void ForkChildren() {
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    pid_t releasing = 0;
    for (int k = 0; k < 2; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            g_forkChild = true;
            alarm(5);
            if (k == 0) g_owner.release();
            std::exit(0);
        }
        if (k == 1) releasing = pid;
    }
    for (int k = 0; k < 2; ++k) {
        int status = 0;
        const pid_t pid = wait(&status);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("fork %s %lld %d\n", pid == releasing ? "release" : "exit", static_cast<long long>(ms.count()),
                    status);
    }
}

}  // namespace

// A forked child's leak check would report what only its parent's threads
// hold (LeakSanitizer builds).
extern "C" int __lsan_is_turned_off() { return g_forkChild ? 1 : 0; }

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    std::atexit(&AtExit);
    const std::string order = argv[1];
    const uint16_t port = g_port = static_cast<uint16_t>(std::atoi(argv[2]));
    InstanceConfig& cfg = g_cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, argv[3], sizeof(cfg.m_logpath) - 1);
    cfg.m_authtype = 1;                           // no authentication centre
    KvoReleaseInstance(KvoCreateInstance(&cfg));  // the log writer thread starts and stays
    g_base = ThreadCount();
    g_exitInCallback = order == "releasing-exits" || order == "relay-exits";
    g_countThreads = order == "main-returns" || order == "thread-exits" || order == "other-exits";
    cfg.fnctickstock = &Releasing;

    if (order == "unreleased") {
        cfg.fnctickstock = &Counting;
        Online(cfg, port);
        WaitFor([] { return g_batches >= 5; });
        cfg.fnctickstock = &CountingPlayed;
        Playing(cfg, argv[4]);  // created last: its records come to this one's callbacks
        WaitFor([] { return g_played >= 3; });
        if (g_played < 3) return 13;
        Ending();
        return 0;
    }
    if (order == "fork") {
        cfg.fnctickstock = &Counting;
        g_owner.reset(Online(cfg, port));
        WaitFor([] { return g_batches >= 3; });
        ForkChildren();
        const int before = g_batches;
        WaitFor([before] { return g_batches >= before + 3; }, 5000);
        std::printf("parent received %d\n", g_batches - before);
        Ending();
        return 0;
    }
    if (order == "replacing") {
        cfg.fnctickstock = &Replacing;
        g_releaseMe = Online(cfg, port);
        WaitFor([] { return g_batches >= 3; });
        Ending();
        return 0;
    }
    if (order == "handler-awaited") {
        cfg.fnctickstock = &AwaitingHostHandler;
        g_releaseMe = Online(cfg, port);
        WaitFor([] { return g_released.load(); });
        Ending();
        return 0;
    }
    if (order == "late-release") {
        // An earlier release inside a callback, complete before the exit.
        g_releaseMe = Online(cfg, port);
        WaitFor([] { return g_returned.load(); });
        Sleep(100);
        g_released = false;
        g_handlerAwaitsRelease = true;
        cfg.fnctickstock = &ReleasingLate;
        g_releaseMe = Online(cfg, port);
        Ending();
        return 0;
    }
    if (order == "release-races-exit") {
        // The process's first release inside a callback comes as exit runs.
        cfg.fnctickstock = &ReleasingOnCue;
        g_releaseMe = Online(cfg, port);
        WaitFor([] { return g_batches >= 1; });
        Ending();
        std::exit(0);
    }
    if (order == "relay-exits") {
        void* playing = Playing(cfg, argv[4]);
        KvoCreateInstance(&cfg);  // created last: the played records come to its callbacks
        g_releaseMe = playing;
    } else if (order == "other-exits") {
        cfg.fnctickstock = &ExitsAfterTheRelease;
        Online(cfg, port);
        Sleep(300);  // all its threads run once its data flow
        g_base = ThreadCount();
        cfg.fnctickstock = &Releasing;
        g_releaseMe = Online(cfg, port);
    } else {
        g_releaseMe = Online(cfg, port);
    }
    if (order == "main-returns" || order == "thread-exits") {
        WaitFor([] { return g_released.load(); });
        if (order == "thread-exits") {
            ++g_base;  // the exiting thread
            std::thread([] {
                Ending();
                std::exit(0);
            }).join();
        }
        Ending();
        return 0;
    }
    Sleep(30000);
    return 11;
}
