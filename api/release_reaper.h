// The teardowns of instances released from a thread the library called the
// host on, and the end of the process while they run.
//
// Such a release cannot wait for the thread it runs on, so the rest of it
// runs on a thread of its own: each teardown gets a thread that ends with it,
// and a finished thread is joined by the next hand-off.
//
// The first KvoCreateInstance keeps the library loaded until the process
// ends (an unload only drops the host's reference) and registers the exit
// wait. Exiting the process (main returning, or exit on any thread) then
// raises the exiting flag, after which no instance is created, and waits for
// every teardown under way or handed off while it exits, joining its thread,
// except for a teardown that waits for the exiting thread itself and so
// could never end:
//  - the exiting thread is inside a callback of the instance being torn down
//    (the callback that made the release, or one around it): the teardown
//    waits for that callback to return;
//  - the exiting thread is the relay dispatcher (a data callback of the
//    master role or of playback) and the instance ever attached to the
//    dispatcher: its teardown may stop that thread and wait for it.
// The whole wait, handoffs made during it included, ends kExitWaitMs after it
// began; a teardown still running then is left running, with one log line,
// and the exit goes on. No lock is held while a thread is joined. In a
// child made by fork() the exit waits for nothing: the teardowns under way
// are its parent's, on threads the child does not have.
//
// That is safe only because whatever a teardown, or a thread of an instance
// never released, can reach lives until the process ends: every process-wide
// object of the library is a pl::NeverDestroyed (platform/pl_never_destroyed.h)
// or holds nothing a destructor would free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "framework/tl_hostcall.h"

namespace kvoapi {

// How long the end of a process waits for teardowns at most, in all.
constexpr uint32_t kExitWaitMs = 2000;

// What a teardown may wait for besides threads of its own instance.
struct TeardownWaits {
    // The instance's gate: its callbacks under way end before the teardown.
    std::shared_ptr<corvane::HostCallGate> gate;
    // Raised once the instance attached to the relay dispatcher.
    std::shared_ptr<const std::atomic<bool>> usedRelay;
};

// Called before an instance is created: the first call makes forked
// children know themselves (pl::InForkChild), keeps the library loaded and
// registers the exit wait. False once the process exits (no instance may be
// created then).
bool ReadyForInstance();
// True once the exit wait began: an instance built meanwhile is released
// instead of being handed out.
bool ProcessExiting();
// Called once the first instance's log is open: writes why the library
// could not be kept loaded (no exit wait is registered then), if it could
// not.
void LogUnpinned();

// Runs teardown on a thread of its own; false when no thread can be made
// (teardown is not run then).
bool RunTeardownLater(std::function<void()> teardown, TeardownWaits waits);

}  // namespace kvoapi
