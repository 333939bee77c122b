#include "cascade/cascade_timers.h"

#include <mutex>

namespace {

struct TimerState {
    std::recursive_mutex mutex;
    CascadeTimers timers;
};

TimerState& State() {
    static TimerState* state = new TimerState;  // lives until the process ends
    return *state;
}

}  // namespace

CascadeTimers GetCascadeTimers() {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    return State().timers;
}

CascadeTimers SetCascadeTimers(const CascadeTimers& timers) {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    const CascadeTimers previous = State().timers;
    State().timers = timers;
    return previous;
}
