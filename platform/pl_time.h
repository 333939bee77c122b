// Clocks, sleeping and local time.
#pragma once

#include <cstdint>
#include <ctime>

namespace pl {

// Milliseconds of the monotonic clock (unaffected by changes of the wall clock).
uint64_t TickMs();

// Sleeps at least ms milliseconds; 0 yields the processor.
void SleepMs(uint32_t ms);

// Calendar time in seconds since 1970-01-01 UTC.
int64_t Now();

// Local broken-down time of t; thread-safe (localtime_r). False when t cannot
// be represented, in which case out is zeroed.
bool LocalTime(int64_t t, struct tm* out);

}  // namespace pl
