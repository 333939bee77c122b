// The process-wide list of the machine's network adapters and the MAC
// address texts built from it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pl_adapters.h"

namespace corvane {
class CTLString;
}

struct AdapterEntry {
    uint32_t kind = pl::kAdapterRoot;  // 1 PCI, 2 USB, 4 PCMCIA, 8 ROOT
    uint32_t medium = 0;               // 0x10, 0x20 or 0
    uint8_t mac[6] = {0};
    std::string macText;  // "xx-xx-xx-xx-xx-xx"
    std::string description;
};

using AdapterList = std::vector<AdapterEntry>;

// The list, filled on first use. An empty result is tried again on the next
// call; once filled it never changes, and callers share the same snapshot.
std::shared_ptr<const AdapterList> TL_GetAdapterList();

// Appends "<mac text>;" for every adapter whose kind or medium flags share a
// bit with mask; returns the number appended. The text is left unchanged
// when nothing matches.
uint32_t TL_GetMacAddresses(std::string& out, uint32_t mask);
uint32_t TL_GetMacAddresses(corvane::CTLString& out, uint32_t mask);

// Kind and medium of one adapter, from the system's device tree.
uint32_t TL_GetAdapterKind(const char* name, uint32_t& medium);

// The MAC text of the first PCI adapter; on machines without one (virtual
// machines, containers) the first adapter with a hardware address. Returns 1
// when one was found, else 0 with out unchanged.
int TL_GetMacAddress(std::string& out);
int TL_GetMacAddress(corvane::CTLString& out);

// Pure helpers behind the functions above, usable on any source.
AdapterList TL_BuildAdapterList(const std::vector<pl::RawAdapter>& raw, const std::string& sysfsRoot);
uint32_t TL_FormatMacAddresses(const AdapterList& list, uint32_t mask, std::string& out);

// Test hooks: the device tree root ("/sys" by default) and the source of the
// raw list (the system's by default; null restores it). Both empty the
// process-wide list so that the next query fills it again.
void TL_SetAdapterSysfsRoot(const std::string& root);
void TL_SetAdapterSource(std::function<bool(std::vector<pl::RawAdapter>&)> source);
