// The machine's network adapters: hardware addresses from getifaddrs
// (AF_PACKET entries) and the bus kind and medium of each adapter from sysfs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pl {

// Bus kinds and medium flags of an adapter; masks combine them.
enum : uint32_t {
    kAdapterPci = 1,
    kAdapterUsb = 2,
    kAdapterPcmcia = 4,
    kAdapterRoot = 8,  // software adapter, or kind not determinable
    kMediumSubtype1 = 0x10,  // wired (Ethernet on a bus device)
    kMediumSubtype2 = 0x20,  // wireless
};

// One interface as the system lists it.
struct RawAdapter {
    std::string name;
    unsigned index = 0;
    uint8_t mac[6] = {0};
};

// Interfaces with a 6-byte hardware address, loopback excluded, in interface
// index order. Returns false when the system gave no list at all.
bool ListRawAdapters(std::vector<RawAdapter>& out);

// Bus kind of an interface from <sysfsRoot>/class/net/<name>/device; medium
// receives 0, kMediumSubtype1 or kMediumSubtype2. sysfsRoot is normally
// "/sys". A name with '/' or ".." gives kAdapterRoot.
uint32_t AdapterKindFromSysfs(const std::string& sysfsRoot, const std::string& name,
                              uint32_t& medium);

// The adapter's description: the driver named in device/uevent, else the
// interface name.
std::string AdapterDescription(const std::string& sysfsRoot, const std::string& name);

// "%02x-%02x-%02x-%02x-%02x-%02x" of six bytes.
std::string MacText(const uint8_t mac[6]);

}  // namespace pl
