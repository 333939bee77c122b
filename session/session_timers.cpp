#include "session/session_timers.h"

#include <mutex>

#include "platform/pl_never_destroyed.h"

namespace {

struct TimerState {
    std::recursive_mutex mutex;
    SessionTimers timers;
};

TimerState& State() {
    static pl::NeverDestroyed<TimerState> state;  // lives until the process ends
    return *state;
}

}  // namespace

SessionTimers GetSessionTimers() {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().timers;
}

SessionTimers SetSessionTimers(const SessionTimers& timers) {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    const SessionTimers previous = State().timers;
    State().timers = timers;
    return previous;
}
