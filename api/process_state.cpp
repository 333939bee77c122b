#include "api/process_state.h"

#include <mutex>

namespace kvoapi {
namespace {

struct ProcessState {
  std::recursive_mutex mutex;
  CSocketDataMananger* context = nullptr;
  DataCallbackSlots slots;
};

ProcessState& State() {
  static ProcessState* state = new ProcessState;  // lives until the process ends
  return *state;
}

}  // namespace

void SetCallbackContext(CSocketDataMananger* instance, const InstanceConfig* config) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  State().context = instance;
  if (!config) return;
  DataCallbackSlots& s = State().slots;
  s.fnctickindex = config->fnctickindex;
  s.fnctickstock = config->fnctickstock;
  s.fnctransacton = config->fnctransacton;
  s.fncorderdata = config->fncorderdata;
  s.fncorderqueue = config->fncorderqueue;
  s.fncsuperstock = config->fncsuperstock;
}

CSocketDataMananger* GetCallbackContext() {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  return State().context;
}

DataCallbackSlots GetDataCallbackSlots() {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  return State().slots;
}

bool ClearCallbackContextIf(CSocketDataMananger* instance) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  if (State().context != instance) return false;
  State().context = nullptr;
  State().slots = DataCallbackSlots();
  return true;
}

}  // namespace kvoapi
