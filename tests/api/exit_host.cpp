// A host program for the process-exit test: it links libkvoapi.so as a host
// does, and ends its process in one of the orders a host may choose while a
// teardown runs or data still flow:
//
//   exit_host <order> <gateway port> <log folder> [<playback folder>/]
//
//   main-returns        a callback releases its instance and goes on for
//                       300 ms; main returns as soon as the release is made
//   thread-exits        the same, with a host thread calling exit(0)
//   other-exits         instance A's callback releases A and goes on for
//                       300 ms; instance B's callback calls exit(0) meanwhile
//   releasing-exits     the callback that released its instance calls exit(0)
//   unreleased          main returns while an instance never released still
//                       receives data (and, given a playback folder, while
//                       a playback never released plays)
//   relay-exits         a playback instance P plays; the host's data callback
//                       (on the relay thread, of an instance created after P)
//                       releases P and calls exit(0)
//
// It writes lines on standard output as things happen ("released",
// "callback returned", "exiting"), and its own exit handler, registered
// before the library is used and so run after the library's, writes "exit
// handler" and then "at exit <returned> <threads> <base>": whether the
// releasing callback had returned when the handler began, the process's
// thread count, and the count that a finished teardown leaves. Exit status 0
// unless something fails.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "include/kvoapi.h"

namespace {

std::atomic<void*> g_releaseMe{nullptr};  // the instance the next callback releases
std::atomic<bool> g_released{false};
std::atomic<bool> g_returned{false};
std::atomic<bool> g_exitInCallback{false};  // releasing-exits: exit right after the release
std::atomic<int> g_batches{0};
std::atomic<int> g_base{0};
std::string g_order;

void Say(const char* text) {
    const std::string line = std::string(text) + "\n";
    if (::write(1, line.data(), line.size()) < 0) std::_Exit(3);
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

void AtExit() {
    const bool returned = g_returned;
    Say("exit handler");
    // A thread that was joined may take a moment to leave the task list.
    for (int i = 0; i < 200 && ThreadCount() > g_base; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char line[96];
    std::snprintf(line, sizeof line, "at exit %d %d %d", returned ? 1 : 0, ThreadCount(), g_base.load());
    Say(line);
}

// Releases the instance it is asked to (once), from inside the callback.
int32_t Releasing(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releaseMe.exchange(nullptr);
    if (h == nullptr) return 0;
    if (KvoReleaseInstance(h) != 0) std::_Exit(4);
    g_released = true;
    Say("released");
    if (g_exitInCallback) {
        Say("exiting");
        std::exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_returned = true;
    Say("callback returned");
    return 0;
}

// Another instance's data: once the release was made, the process exits.
int32_t ExitsAfterTheRelease(void*, const void*, uint32_t, const PushTiming*) {
    if (g_released && !g_returned) {
        Say("exiting");
        std::exit(0);
    }
    return 0;
}

int32_t Counting(void*, const void*, uint32_t, const PushTiming*) {
    ++g_batches;
    return 0;
}

void WaitFor(const std::atomic<bool>& flag) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!flag && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!flag) {
        Say("timeout");
        std::_Exit(5);
    }
}

InstanceConfig Config(const char* folder, QuoteDataCallback onStock) {
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, folder, sizeof(cfg.m_logpath) - 1);
    cfg.m_authtype = 1;  // no authentication centre
    cfg.fnctickstock = onStock;
    cfg.fnctickindex = onStock;
    return cfg;
}

// An instance logged in on the gateway and subscribed to the stock ticks of
// two codes.
void* Online(const InstanceConfig& cfg, uint16_t port) {
    void* h = KvoCreateInstance(&cfg);
    if (h == nullptr || KvoRegisterAddr(h, "USH", "127.0.0.1", port) != 0) std::_Exit(6);
    LoginResult* r = KvoLogin(h, "trader", "pw");
    if (r == nullptr || r->nstatuscode != 0) std::_Exit(7);
    KvoFreeMem(r);
    if (KvoSubScribe(h, 2, 1, "USHA", "(600000,600036)") != 0) std::_Exit(8);
    return h;
}

// Stock ticks of the folder, one record every 20 ms, for a long while.
const OfflineDebugConfig& Playback(const char* folder) {
    static OfflineDebugConfig play{};
    std::strncpy(play.path, folder, sizeof(play.path) - 1);
    std::strncpy(play.subtype, "stock", sizeof(play.subtype) - 1);
    play.push_space = 20;
    play.push_count = 1;
    play.playback_times = 100;
    return play;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <order> <port> <log folder> [<playback folder>/]\n", argv[0]);
        return 2;
    }
    std::atexit(&AtExit);
    g_order = argv[1];
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
    const char* folder = argv[3];

    // The log writer thread starts with the first instance and stays.
    InstanceConfig plain = Config(folder, nullptr);
    KvoReleaseInstance(KvoCreateInstance(&plain));
    g_base = ThreadCount();

    if (g_order == "main-returns" || g_order == "thread-exits" || g_order == "releasing-exits") {
        g_exitInCallback = g_order == "releasing-exits";
        InstanceConfig cfg = Config(folder, &Releasing);
        void* h = Online(cfg, port);
        g_releaseMe = h;
        WaitFor(g_released);
        if (g_order == "thread-exits") {
            ++g_base;  // the exiting thread
            std::thread([] {
                Say("exiting");
                std::exit(0);
            }).join();
        }
        if (g_order == "releasing-exits") std::this_thread::sleep_for(std::chrono::seconds(30));
        Say("main returns");
        return 0;
    }
    if (g_order == "other-exits") {
        InstanceConfig cfgB = Config(folder, &ExitsAfterTheRelease);
        Online(cfgB, port);
        // B's threads all run once its data flow.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_base = ThreadCount();
        InstanceConfig cfgA = Config(folder, &Releasing);
        void* a = Online(cfgA, port);
        g_releaseMe = a;
        std::this_thread::sleep_for(std::chrono::seconds(30));
        Say("main returns");
        return 0;
    }
    if (g_order == "unreleased") {
        InstanceConfig cfg = Config(folder, &Counting);
        Online(cfg, port);
        while (g_batches < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (argc == 5) {
            // A playback too, whose records come through the relay to the
            // callbacks of the instance created last (this one).
            void* p = KvoCreateInstance(&cfg);
            if (p == nullptr || KvoStartOfflineDebug(p, &Playback(argv[4])) != 0 ||
                KvoSubScribe(p, 2, 1, "USHA", "(600000)") != 0)
                std::_Exit(9);
            const int before = g_batches;
            while (g_batches < before + 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Say("main returns");
        return 0;
    }
    if (g_order == "relay-exits" && argc == 5) {
        InstanceConfig cfgP = Config(folder, nullptr);
        void* p = KvoCreateInstance(&cfgP);
        if (p == nullptr || KvoStartOfflineDebug(p, &Playback(argv[4])) != 0) std::_Exit(9);
        // The data callbacks of playback are those of the instance created
        // last: this one's, which release the playing instance and exit.
        g_exitInCallback = true;
        InstanceConfig cfgH = Config(folder, &Releasing);
        void* h = KvoCreateInstance(&cfgH);
        if (h == nullptr || KvoSubScribe(p, 2, 1, "USHA", "(600000)") != 0) std::_Exit(10);
        g_releaseMe = p;
        std::this_thread::sleep_for(std::chrono::seconds(30));
        Say("main returns");
        return 0;
    }
    std::fprintf(stderr, "unknown order %s\n", g_order.c_str());
    return 2;
}
