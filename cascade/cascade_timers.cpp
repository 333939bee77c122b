#include "cascade/cascade_timers.h"

#include "platform/pl_replaceable.h"

namespace {

pl::ReplaceableSlot<CascadeTimers>& Timers() {
    static auto* slot = new pl::ReplaceableSlot<CascadeTimers>(CascadeTimers());  // lives until the process ends
    return *slot;
}

}  // namespace

CascadeTimers GetCascadeTimers() { return Timers().Get(); }

CascadeTimers SetCascadeTimers(const CascadeTimers& timers) { return Timers().Exchange(timers); }
