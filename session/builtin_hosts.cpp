#include "session/builtin_hosts.h"

#include <mutex>

namespace kvoapi {
namespace {

struct HostState {
  std::recursive_mutex mutex;
  BuiltinHosts hosts;
};

HostState& State() {
  static HostState* state = new HostState;  // lives until the process ends
  return *state;
}

}  // namespace

BuiltinHosts GetBuiltinHosts() {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  return State().hosts;
}

BuiltinHosts SetBuiltinHosts(const BuiltinHosts& hosts) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  BuiltinHosts previous = State().hosts;
  State().hosts = hosts;
  return previous;
}

}  // namespace kvoapi
