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

// Makes instance the callback context.
void SetCallbackContext(CSocketDataMananger* instance);
CSocketDataMananger* GetCallbackContext();

// Copies the six data callbacks of config into the slots.
void SetDataCallbackSlots(const InstanceConfig& config);
DataCallbackSlots GetDataCallbackSlots();

// When instance is the context: clears the context and the six slots.
// Returns true when it did.
bool ClearCallbackContextIf(CSocketDataMananger* instance);

}  // namespace kvoapi

#endif
