// Host names and addresses the library knows without a registration: the
// legacy quote host that address registration ignores, the built-in SH
// gateway host that a gateway notification can remove, the authentication
// service host, and the three gateway addresses an "auth" registration adds.
//
// A deployment sets them at build time (the CMake cache variables
// KVO_AUTH_HOST, KVO_GATEWAY_ADDRESSES, KVO_SH_GATEWAY_HOST and
// KVO_LEGACY_QUOTE_HOST, compiled into builtin_hosts.cpp); the hosts in
// force start as the build's. The defaults of BuiltinHosts, and of the
// build, are placeholders, ".invalid" names that are never looked up, so
// nothing leaves the machine for them. Tests replace the hosts in force at
// run time with SetBuiltinHosts.
#pragma once

#include <cstdint>
#include <string>

namespace kvoapi {

struct BuiltinHosts {
    // A registration of this host is ignored by the market session.
    std::string legacyQuoteHost = "kvo-legacy-quote.invalid";
    // Gateway notification 2 removes this host from a session's address list.
    std::string shGatewayHost = "kvo-gateway.invalid";
    // The authentication service.
    std::string authServiceHost = "kvo-auth.invalid";
    // What an "auth" registration adds for "USH" and "USZ": a deployment puts
    // one host name and two IPv4 addresses here.
    std::string gatewayAddresses[3] = {"kvo-gateway.invalid", "kvo-gateway-2.invalid", "kvo-gateway-3.invalid"};
};

// Ports of the built-in gateway addresses by auth registration type.
inline constexpr uint16_t kBuiltinGatewayPortType1 = 8503;
inline constexpr uint16_t kBuiltinGatewayPortType2 = 8603;

// The hosts in force (a copy: tests may replace them while sessions run).
BuiltinHosts GetBuiltinHosts();
// Replaces the hosts in force; returns the previous ones.
BuiltinHosts SetBuiltinHosts(const BuiltinHosts& hosts);

}  // namespace kvoapi
