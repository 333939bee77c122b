// Process-wide state shared by all instances: the six data-callback slots and
// the callback context used by the relay dispatch. The instance created last
// wins; a released instance clears them when it is still the context.
#ifndef KVO_API_PROCESS_STATE_H
#define KVO_API_PROCESS_STATE_H

#include "include/kvoapi.h"

class CSocketDataMananger;

namespace kvoapi {

struct DataCallbackSlots {
  QuoteDataCallback fnctickindex = nullptr;
  QuoteDataCallback fnctickstock = nullptr;
  QuoteDataCallback fnctransacton = nullptr;
  QuoteDataCallback fncorderdata = nullptr;
  QuoteDataCallback fncorderqueue = nullptr;
  QuoteDataCallback fncsuperstock = nullptr;
};

// Makes instance the callback context and, when config is given, copies its
// six data callbacks into the slots. Both change under one lock: an instance
// released between the two steps would otherwise clear the slots and leave
// the newer instance's callbacks behind once it is gone too.
void SetCallbackContext(CSocketDataMananger* instance, const InstanceConfig* config);
CSocketDataMananger* GetCallbackContext();
DataCallbackSlots GetDataCallbackSlots();

// When instance is the context: clears the context and the six slots.
// Returns true when it did.
bool ClearCallbackContextIf(CSocketDataMananger* instance);

}  // namespace kvoapi

#endif
