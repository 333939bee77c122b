// Threads with a waitable handle, and process and thread ids.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/pl_sync.h"

namespace pl {

using ThreadRoutine = uint32_t (*)(void* context);

// A running (or finished) thread. Waiting on it waits for the routine to
// return; several threads may wait, each with its own timeout. The thread
// holds a reference to this object until it exits, so closing the handle
// never frees memory the thread still uses.
class Thread : public Waitable {
public:
    // Starts routine(context) at once on a new thread with the default stack.
    // Null when the thread cannot be created. *tid receives the new thread's
    // id when tid is not null.
    static Thread* Start(ThreadRoutine routine, void* context, uint32_t* tid);

    uint32_t Wait(uint32_t ms) override;

    // Waits up to ms for the thread to end, then reclaims it (pthread_join).
    // True when the thread has ended.
    bool Join(uint32_t ms);

    // Gives up the right to join: the thread runs on and cleans up alone.
    void Detach();

    // Joins the thread when it has ended, else detaches it; then gives back the
    // creator's reference.
    void Close() override;

    bool HasEnded() { return done_.IsSet(); }
    uint32_t ThreadId() const { return tid_.load(std::memory_order_acquire); }
    uint32_t ExitCode() const { return exit_code_.load(std::memory_order_acquire); }

private:
    Thread(ThreadRoutine routine, void* context);
    static void* Entry(void* self);
    // Joins (when ended and join is true) or detaches, once.
    void Settle(bool join);

    ThreadRoutine routine_;
    void* context_;
    pthread_t thread_{};
    Event started_{true, false};
    Event done_{true, false};
    std::atomic<uint32_t> tid_{0};
    std::atomic<uint32_t> exit_code_{0};
    std::atomic<bool> settled_{false};
};

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// Forks. Once WatchForks was called, a child made by fork() knows itself
// as one: InForkChild() is true in it, and in its own children. Such a child
// holds only the thread that forked: none of the threads started before the
// fork runs in it, and a lock one of them held at the fork stays held there
// for good, so the child must leave alone whatever those threads and locks
// serve. Called before the first thread is started that a child must not
// wait for; a child forked before it is an ordinary process.
void WatchForks();
bool InForkChild();

}  // namespace pl
