#include "platform/pl_netstate.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "platform/pl_replaceable.h"
#include "platform/pl_never_destroyed.h"

namespace pl {
namespace {

ReplaceableSlot<NetworkStateProbe>& Slot() {
    // Lives until the process ends.
    static pl::NeverDestroyed<ReplaceableSlot<NetworkStateProbe>> slot{NetworkStateProbe()};
    return *slot;
}

thread_local int t_queryError = 0;

}  // namespace

NetworkState QueryNetworkState() {
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        t_queryError = errno != 0 ? errno : EIO;
        return NetworkState::kError;
    }
    NetworkState state = NetworkState::kNoConnectivity;
    constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
    for (const struct ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        if ((a->ifa_flags & kUp) != kUp || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* in = reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr);
        // 127.0.0.0/8 on an interface not flagged as loopback still counts as
        // loopback.
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        state = NetworkState::kAlive;
        break;
    }
    ::freeifaddrs(list);
    return state;
}

bool IsNetworkAlive(int* error) {
    const NetworkStateProbe probe = Slot().Get();
    t_queryError = 0;
    const NetworkState state = probe ? probe() : QueryNetworkState();
    if (error != nullptr) {
        *error = state == NetworkState::kError ? (t_queryError != 0 ? t_queryError : EIO) : 0;
    }
    return state == NetworkState::kAlive;
}

NetworkStateProbe SetNetworkStateProbe(NetworkStateProbe probe) { return Slot().Exchange(std::move(probe)); }

}  // namespace pl
