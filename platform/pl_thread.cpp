#include "platform/pl_thread.h"

#include <unistd.h>

namespace pl {

namespace {

std::atomic<bool> g_watchForks{false};
std::atomic<bool> g_forkChild{false};
// The calling thread's id, 0 until first asked for.
thread_local uint32_t t_tid = 0;

// Runs in every child, on its one thread: a copy of the thread that forked,
// whose cached id is its parent's.
void OnForkChild() {
    t_tid = 0;
    if (g_watchForks.load(std::memory_order_relaxed)) g_forkChild.store(true, std::memory_order_relaxed);
}

// A child's handler only: one in the parent would make each fork wait for
// whatever it takes. It goes with the code when the code is unloaded.
__attribute__((constructor)) void RegisterForkHandler() { pthread_atfork(nullptr, nullptr, &OnForkChild); }

}  // namespace

uint32_t CurrentThreadId() {
    if (t_tid == 0) t_tid = static_cast<uint32_t>(gettid());
    return t_tid;
}

void WatchForks() { g_watchForks.store(true, std::memory_order_seq_cst); }

bool InForkChild() { return g_forkChild.load(std::memory_order_relaxed); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

Thread::Thread(ThreadRoutine routine, void* context) : routine_(routine), context_(context) {}

Thread* Thread::Start(ThreadRoutine routine, void* context, uint32_t* tid) {
    if (routine == nullptr) return nullptr;
    Thread* t = new Thread(routine, context);
    t->AddRef();  // the thread's own reference, released by Entry
    if (pthread_create(&t->thread_, nullptr, &Thread::Entry, t) != 0) {
        t->Release();
        t->settled_.store(true);
        t->Release();
        return nullptr;
    }
    if (tid != nullptr) {
        t->started_.Wait(kInfinite);
        *tid = t->ThreadId();
    }
    return t;
}

void* Thread::Entry(void* self) {
    Thread* t = static_cast<Thread*>(self);
    t->tid_.store(CurrentThreadId(), std::memory_order_release);
    t->started_.Set();
    t->exit_code_.store(t->routine_(t->context_), std::memory_order_release);
    t->done_.Set();
    t->Release();
    return nullptr;
}

uint32_t Thread::Wait(uint32_t ms) { return done_.Wait(ms); }

bool Thread::Join(uint32_t ms) {
    if (done_.Wait(ms) != kWaitSignaled) return false;
    Settle(true);
    return true;
}

void Thread::Detach() { Settle(false); }

void Thread::Settle(bool join) {
    bool expected = false;
    if (!settled_.compare_exchange_strong(expected, true)) return;
    if (join && done_.IsSet())
        pthread_join(thread_, nullptr);
    else
        pthread_detach(thread_);
}

void Thread::Close() {
    Settle(true);
    Release();
}

}  // namespace pl
