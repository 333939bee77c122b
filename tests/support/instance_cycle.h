// One life of a library instance, as a host lives it, against a gateway
// simulator of its own with a moving market: create, register the first
// exchange's gateway, log in, subscribe stock ticks, receive pushed records,
// release. Used by the tests and the benchmark that repeat it to find what a
// life leaves behind (the simulator is stopped before the cycle returns, so
// nothing of it stays either).
#pragma once

#include <cstdint>
#include <string>

#include "include/kvoapi.h"

namespace kvotest {

// Nanoseconds spent in each library call of a cycle (push: from the market's
// step to the first record's callback) and in the simulator's start and stop.
struct CyclePhases {
    uint64_t create = 0;
    uint64_t registerAddr = 0;
    uint64_t login = 0;
    uint64_t subscribe = 0;
    uint64_t push = 0;
    uint64_t release = 0;
    uint64_t simulator = 0;
};

// cfg is used as given, except its stock-tick callback, which counts the
// records. "" when every step succeeded, else the step that failed. The
// steps' times are added to *phases when given.
std::string InstanceCycle(InstanceConfig cfg, CyclePhases* phases = nullptr);

}  // namespace kvotest
