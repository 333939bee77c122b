#include "session/clock.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/pl_never_destroyed.h"

namespace {

std::atomic<SessionClock::WallClockFn> g_wallClock{nullptr};

// Previous CPU reading, shared by every session and thread.
struct CpuSamples {
    std::recursive_mutex lock;
    uint64_t cpu = 0;   // process CPU time per processor, 100-ns units
    uint64_t wall = 0;  // wall time, 100-ns units
    uint32_t processors = 0;
};

CpuSamples& Samples() {
    static pl::NeverDestroyed<CpuSamples> s;
    return *s;
}

void ReadWall(struct timespec* now) {
    SessionClock::WallClockFn fn = g_wallClock.load(std::memory_order_acquire);
    if (fn != nullptr) {
        fn(now);
        return;
    }
    if (clock_gettime(CLOCK_REALTIME, now) != 0) {
        now->tv_sec = time(nullptr);
        now->tv_nsec = 0;
    }
}

bool LocalNow(struct tm* tm, int* ms) {
    struct timespec now {};
    ReadWall(&now);
    time_t sec = now.tv_sec;
    *ms = static_cast<int>(now.tv_nsec / 1000000);
    return localtime_r(&sec, tm) != nullptr;
}

uint64_t To100ns(const struct timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

}  // namespace

void SessionClock::SetWallClock(WallClockFn fn) { g_wallClock.store(fn, std::memory_order_release); }

uint64_t SessionClock::GetNowMs() {
    struct timespec now {};
    ReadWall(&now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

int32_t SessionClock::GetDayMs() {
    struct tm tm {};
    int ms = 0;
    if (!LocalNow(&tm, &ms)) return 0;
    return tm.tm_hour * 3600000 + tm.tm_min * 60000 + tm.tm_sec * 1000 + ms;
}

std::string SessionClock::GetTodayText() {
    struct tm tm {};
    int ms = 0;
    if (!LocalNow(&tm, &ms)) return std::string();
    char buf[32];
    snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

int32_t SessionClock::GetCpuPercent() {
    // Both readings are taken under the lock, so concurrent callers take
    // their samples in the order in which they store them.
    CpuSamples& s = Samples();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    struct timespec wallTs {};
    ReadWall(&wallTs);
    uint64_t now = To100ns(wallTs);
    struct timespec cpuTs {};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuTs) != 0) return -1;
    if (s.processors == 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        s.processors = n > 0 ? static_cast<uint32_t>(n) : 1u;
    }
    uint64_t c = To100ns(cpuTs) / s.processors;
    if (s.cpu != 0 && s.wall != 0) {
        if (now <= s.wall) return -1;  // no wall time passed (or the clock stepped back)
        uint64_t dt = now - s.wall;
        uint64_t dc = c >= s.cpu ? c - s.cpu : 0;
        s.cpu = c;
        s.wall = now;
        // The two clocks are read one after the other, so over a very short
        // interval the figure can overshoot; it is a share of all processors.
        uint64_t percent = (dc * 100u + dt / 2u) / dt;
        return static_cast<int32_t>(percent > 100u ? 100u : percent);
    }
    s.cpu = c;
    s.wall = now;
    return -1;
}

void SessionClock::ResetCpuSample() {
    CpuSamples& s = Samples();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.cpu = 0;
    s.wall = 0;
}

int32_t SessionClock::GetMemoryInfo(uint64_t* workingSet, uint64_t* pageFileUse) {
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    int n = fscanf(f, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text, &lib, &data);
    fclose(f);
    long page = sysconf(_SC_PAGESIZE);
    if (n != 6 || page <= 0) return -1;
    if (workingSet != nullptr) *workingSet = resident * static_cast<uint64_t>(page);
    if (pageFileUse != nullptr) *pageFileUse = data * static_cast<uint64_t>(page);
    return 0;
}
