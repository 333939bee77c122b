// The teardowns of instances released from a thread the library called the
// host on: such a release cannot wait for the thread it runs on, so the rest
// of it runs on a thread of its own.
//
// Each teardown gets a thread that ends with it. A finished thread is joined
// by the next hand-off, and every thread left is joined when the library is
// unloaded or the process exits, so that no thread of the library outlives
// its code. No lock is held while a thread is joined.
#pragma once

#include <functional>

namespace kvoapi {

// Runs teardown on a thread of its own; false when no thread can be made
// (teardown is not run then).
bool RunTeardownLater(std::function<void()> teardown);

}  // namespace kvoapi
