#include "api/process_state.h"

#include <utility>

#include "cascade/relay.h"

// The slots and the context are the cascade relay's, which delivers through
// them; the instance is the context as the handle the host knows.
namespace kvoapi {

void SetCallbackContext(CSocketDataMananger* instance, const InstanceConfig* config,
                        std::shared_ptr<corvane::HostCallGate> gate) {
    SetRelayContext(static_cast<void*>(instance), config, std::move(gate));
}

CSocketDataMananger* GetCallbackContext() { return static_cast<CSocketDataMananger*>(GetRelayContext()); }

DataCallbackSlots GetDataCallbackSlots() { return GetRelaySlots(); }

bool ClearCallbackContextIf(CSocketDataMananger* instance) { return ClearRelayContextIf(static_cast<void*>(instance)); }

}  // namespace kvoapi
