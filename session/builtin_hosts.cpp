#include "session/builtin_hosts.h"

#include <mutex>

#include "platform/pl_never_destroyed.h"

namespace kvoapi {
namespace {

// The hosts this build was configured with.
BuiltinHosts ConfiguredBuiltinHosts() {
    BuiltinHosts hosts;
    hosts.legacyQuoteHost = KVO_LEGACY_QUOTE_HOST;
    hosts.shGatewayHost = KVO_SH_GATEWAY_HOST;
    hosts.authServiceHost = KVO_AUTH_HOST;
    hosts.gatewayAddresses[0] = KVO_GATEWAY_ADDRESS_1;
    hosts.gatewayAddresses[1] = KVO_GATEWAY_ADDRESS_2;
    hosts.gatewayAddresses[2] = KVO_GATEWAY_ADDRESS_3;
    return hosts;
}

struct HostState {
    std::recursive_mutex mutex;
    BuiltinHosts hosts = ConfiguredBuiltinHosts();
};

HostState& State() {
    static pl::NeverDestroyed<HostState> state;  // lives until the process ends
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
