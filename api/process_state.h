// Process-wide state shared by all instances: the six data-callback slots and
// the callback context used by the relay dispatch. The instance created last
// wins; a released instance clears them when it is still the context.
#pragma once

#include <memory>

#include "cascade/relay.h"
#include "framework/tl_hostcall.h"
#include "include/kvoapi.h"

class CSocketDataMananger;

namespace kvoapi {

// The slots live with the cascade relay, which calls them.
using DataCallbackSlots = ::DataCallbackSlots;

// Makes instance the callback context and, when config is given, copies its
// six data callbacks into the slots. Both change under one lock: done in two
// steps, another thread's instance could take the context in between and be
// released first, and this instance's callbacks, written afterwards, would
// outlive it (a released instance clears only while it is the context).
// gate is the instance's gate of host callbacks, which the relay enters
// around every callback it makes for the context.
void SetCallbackContext(CSocketDataMananger* instance, const InstanceConfig* config,
                        std::shared_ptr<corvane::HostCallGate> gate);
CSocketDataMananger* GetCallbackContext();
DataCallbackSlots GetDataCallbackSlots();

// When instance is the context: clears the context and the six slots.
// Returns true when it did.
bool ClearCallbackContextIf(CSocketDataMananger* instance);

}  // namespace kvoapi
