// Whether the machine has a working network: some interface other than
// loopback that is up and running with an IPv4 address. The feed session
// asks this after a reconnect failed, to tell a lost network from a lost
// gateway.
#pragma once

#include <functional>

namespace pl {

enum class NetworkState {
    kAlive,           // a non-loopback interface is up with an IPv4 address
    kNoConnectivity,  // none is
    kError,           // the interface list could not be read
};

// The state from the system's interface list (getifaddrs).
NetworkState QueryNetworkState();

// True when the network is alive. Otherwise *error (when given) is 0 for "no
// connectivity" and a non-zero errno value when the state could not be
// determined.
bool IsNetworkAlive(int* error = nullptr);

// Test hook: replaces the probe behind IsNetworkAlive (an empty function
// restores the system's); returns the previous one.
using NetworkStateProbe = std::function<NetworkState()>;
NetworkStateProbe SetNetworkStateProbe(NetworkStateProbe probe);

}  // namespace pl
