// The teardowns of instances released from a thread the library called the
// host on: such a release cannot wait for the thread it runs on, so the rest
// of it runs on a thread of its own.
//
// Each teardown gets a thread that ends with it. A finished thread is joined
// by the next hand-off. The bookkeeping lives until the process ends, so that
// a teardown still running while the process exits never finds it gone.
//
// Exiting the process (main returning, or exit on any thread) waits for the
// teardowns under way, before any exit handler registered earlier runs,
// except for a teardown that waits for the exiting thread itself and so
// could never end:
//  - the exiting thread is inside a callback of the instance being torn down
//    (the callback that made the release, or one around it): the teardown
//    waits for that callback to return;
//  - the exiting thread is the relay dispatcher (a data callback of the
//    master role or of playback) and the instance ever attached to the
//    dispatcher: its teardown may stop that thread and wait for it.
// No lock is held while a thread is joined.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "framework/tl_hostcall.h"

namespace kvoapi {

// What a teardown may wait for besides threads of its own instance.
struct TeardownWaits {
    // The instance's gate: its callbacks under way end before the teardown.
    std::shared_ptr<corvane::HostCallGate> gate;
    // Raised once the instance attached to the relay dispatcher.
    std::shared_ptr<const std::atomic<bool>> usedRelay;
};

// Runs teardown on a thread of its own; false when no thread can be made
// (teardown is not run then).
bool RunTeardownLater(std::function<void()> teardown, TeardownWaits waits);

}  // namespace kvoapi
