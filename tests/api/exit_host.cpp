// The host of the process-exit test (see there for the orders), linked
// against libkvoapi.so as a host is:
//   exit_host <order> <gateway port> <log folder> <playback folder>/
// Its own exit handler, registered before the library's and so run after it,
// prints "at exit <returned> <threads> <base>": whether the releasing
// callback had returned, the thread count, and the count a finished teardown
// leaves. Exit status 0; 11 when an exit expected in a callback never came.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "include/kvoapi.h"

namespace {

std::atomic<void*> g_releaseMe{nullptr};
std::atomic<bool> g_released{false}, g_returned{false}, g_exitInCallback{false};
std::atomic<int> g_batches{0}, g_base{0};

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

void AtExit() {
    const bool returned = g_returned;
    // A joined thread may take a moment to leave the task list.
    for (int i = 0; i < 200 && ThreadCount() > g_base; ++i) Sleep(5);
    std::printf("at exit %d %d %d\n", returned ? 1 : 0, ThreadCount(), g_base.load());
}

int32_t Releasing(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    KvoReleaseInstance(h);
    g_released = true;
    if (g_exitInCallback) std::exit(0);
    Sleep(300);
    g_returned = true;
    return 0;
}

int32_t ExitsAfterTheRelease(void*, const void*, uint32_t, const PushTiming*) {
    if (g_released && !g_returned) std::exit(0);
    return 0;
}

int32_t Counting(void*, const void*, uint32_t, const PushTiming*) {
    ++g_batches;
    return 0;
}

void WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 20000 && !done(); ++i) Sleep(1);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    std::atexit(&AtExit);
    const std::string order = argv[1];
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, argv[3], sizeof(cfg.m_logpath) - 1);
    cfg.m_authtype = 1;                           // no authentication centre
    KvoReleaseInstance(KvoCreateInstance(&cfg));  // the log writer thread starts and stays
    g_base = ThreadCount();
    g_exitInCallback = order == "releasing-exits" || order == "relay-exits";
    cfg.fnctickstock = &Releasing;

    if (order == "unreleased") {
        cfg.fnctickstock = &Counting;
        Online(cfg, port);
        WaitFor([] { return g_batches >= 5; });
        Playing(cfg, argv[4]);  // created last: its records come to this one's callbacks
        WaitFor([] { return g_batches >= 10; });
        return 0;
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
            std::thread([] { std::exit(0); }).join();
        }
        return 0;
    }
    Sleep(30000);
    return 11;
}
