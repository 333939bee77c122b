// Calls into the host, counted per thread and per instance.
//
// Every place the library calls one of the host's callbacks does so inside
// a HostCallScope. The scope raises the calling thread's depth of host calls
// (InsideHostCall: whether the thread is running host code the library
// called, so that a release made there is not waited for on that very
// thread) and enters the gate of the instance the callback belongs to. A
// closed gate lets no new callback of its instance begin, and the one who
// closed it can wait until the callbacks under way have returned.
//
// An instance hands its gate to what calls the host for it: its market
// sessions when it builds them, the relay with its callback context.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace corvane {

class HostCallGate {
public:
    HostCallGate() = default;
    HostCallGate(const HostCallGate&) = delete;
    HostCallGate& operator=(const HostCallGate&) = delete;

    // Counts one more callback under way; false, and nothing counted, once
    // the gate is closed.
    bool Enter();
    // Ends a callback Enter counted.
    void Leave();
    // No callback begins once Close has returned; those under way go on.
    void Close();
    // The callbacks under way.
    uint32_t Active() const { return m_active.load(std::memory_order_seq_cst); }
    // Waits at most ms until no callback is under way; true when none is.
    bool WaitIdle(uint32_t ms);

private:
    std::atomic<uint32_t> m_active{0};
    std::atomic<bool> m_closed{false};
    std::mutex m_mutex;  // only for the wait below
    std::condition_variable m_idle;
};

// One call into the host: the thread's depth is raised and the gate (when
// given) entered for the scope's lifetime. Without a gate the call always
// goes ahead; with a closed one it must not be made (Entered is false).
// The entered scopes of a thread form a chain (a host may call the library
// from a callback, which may call the host again), so that the thread can
// tell whose callbacks it is inside.
class HostCallScope {
public:
    explicit HostCallScope(HostCallGate* gate);
    ~HostCallScope();
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;
    bool Entered() const { return m_entered; }

private:
    friend bool InsideHostCallOf(const HostCallGate* gate);

    HostCallGate* m_gate;
    bool m_entered;
    HostCallScope* m_outer = nullptr;  // the thread's scope this one is nested in
};

// True while the calling thread runs inside a host callback the library made.
bool InsideHostCall();
// True while the calling thread runs inside a callback made through gate
// (at any depth of nesting).
bool InsideHostCallOf(const HostCallGate* gate);

}  // namespace corvane
