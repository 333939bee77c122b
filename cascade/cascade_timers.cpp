#include "cascade/cascade_timers.h"

#include "platform/pl_replaceable.h"
#include "platform/pl_never_destroyed.h"

namespace {

pl::ReplaceableSlot<CascadeTimers>& Timers() {
    static pl::NeverDestroyed<pl::ReplaceableSlot<CascadeTimers>> slot{
        CascadeTimers()};  // lives until the process ends
    return *slot;
}

}  // namespace

CascadeTimers GetCascadeTimers() { return Timers().Get(); }

CascadeTimers SetCascadeTimers(const CascadeTimers& timers) { return Timers().Exchange(timers); }
