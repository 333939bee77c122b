// Clocks and process figures of the feed session.
//
// Three clocks in the forms the session's users need (UTC milliseconds for
// push timing, local milliseconds of the day for query durations, the local
// date text for passport validity), the process's CPU use since the previous
// reading and its memory use. The session manager derives from SessionClock
// so that these are its own static operations. Nothing here is per session;
// the previous CPU sample is process-wide.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct SessionClock {
    // Milliseconds since 1970-01-01 UTC.
    static uint64_t GetNowMs();
    // Local time of day in milliseconds: h*3600000 + m*60000 + s*1000 + ms.
    static int32_t GetDayMs();
    // Local date as "%04d%02d%02d".
    static std::string GetTodayText();
    // CPU use of the process since the previous call, in percent of all
    // processors (rounded), or -1 on the first call, when no wall time
    // passed, or when the process times cannot be read.
    static int32_t GetCpuPercent();
    // Working set (resident bytes) and data-segment bytes of the process;
    // either pointer may be null. 0, or -1 when the counters cannot be read.
    static int32_t GetMemoryInfo(uint64_t* workingSet, uint64_t* pageFileUse);

    // Test hook: replaces the wall clock read by the three clocks and by
    // GetCpuPercent (null restores the system clock).
    using WallClockFn = void (*)(struct timespec* now);
    static void SetWallClock(WallClockFn fn);
    // Test hook: forgets the previous CPU sample.
    static void ResetCpuSample();
};
