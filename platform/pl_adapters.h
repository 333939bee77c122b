// The machine's network adapters: hardware addresses from getifaddrs
// (AF_PACKET entries) and the bus kind and medium of each adapter from sysfs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pl {

// Bus kinds and medium flags of an adapter; masks combine them.
enum : uint32_t {
    kAdapterPci = 1,
    kAdapterUsb = 2,
    kAdapterPcmcia = 4,
    kAdapterRoot = 8,        // software adapter, or kind not determinable
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
uint32_t AdapterKindFromSysfs(const std::string& sysfsRoot, const std::string& name, uint32_t& medium);

// The adapter's description: the driver named in device/uevent, else the
// interface name.
std::string AdapterDescription(const std::string& sysfsRoot, const std::string& name);

// "%02x-%02x-%02x-%02x-%02x-%02x" of six bytes.
std::string MacText(const uint8_t mac[6]);

// One IPv4 address of an interface, as dotted texts.
struct IPv4Entry {
    std::string name;     // interface name
    std::string address;  // "a.b.c.d"
    std::string mask;     // "a.b.c.d"; "0.0.0.0" when the system gives none
    bool loopback = false;
};

// The IPv4 addresses of every interface (AF_INET entries of getifaddrs), in
// the order the system lists them. False when the system gave no list.
bool ListIPv4Entries(std::vector<IPv4Entry>& out);

// Replaces the source of ListIPv4Entries for tests, so that address rules
// can be checked against chosen adapters on any machine; an empty function
// puts the system's list back. Returns the previous source.
using IPv4EntrySource = std::function<bool(std::vector<IPv4Entry>&)>;
IPv4EntrySource SetIPv4EntrySource(IPv4EntrySource source);

}  // namespace pl
