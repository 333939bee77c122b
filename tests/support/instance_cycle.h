// One life of a library instance, as a host lives it, against a gateway
// simulator of its own with a moving market: create, register the first
// exchange's gateway, log in, subscribe stock ticks, receive pushed records,
// release. Used by the tests and the benchmark that repeat it to find what a
// life leaves behind (the simulator is stopped before the cycle returns, so
// nothing of it stays either).
#pragma once

#include <string>

#include "include/kvoapi.h"

namespace kvotest {

// cfg is used as given, except its stock-tick callback, which counts the
// records. "" when every step succeeded, else the step that failed.
std::string InstanceCycle(InstanceConfig cfg);

}  // namespace kvotest
