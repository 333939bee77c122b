#include "platform/pl_time.h"

#include <cerrno>
#include <cstring>
#include <sched.h>

namespace pl {

uint64_t TickMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

bool LocalTime(int64_t t, struct tm* out) {
    time_t tt = static_cast<time_t>(t);
    if (localtime_r(&tt, out) == nullptr) {
        std::memset(out, 0, sizeof(*out));
        return false;
    }
    return true;
}

}  // namespace pl
