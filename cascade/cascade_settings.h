// Cascade settings of an instance: the tool.ini file of the working folder
// and the local IPv4 address and mask lists that a child sends its master
// and that the master checks it against.
#pragma once

#include <cstdint>
#include <string>

namespace kvoapi {

// The instance's role in a cascade.
enum CascadeMode : int32_t { kStandalone = 0, kMaster = 1, kChild = 2 };

struct ToolSettings {
    CascadeMode mode = kStandalone;
    std::string master_text;       // value of "master" as written
    std::string socket_port_text;  // value of "socket_port" as written
    uint16_t socket_port = 9999;
    // False when socket_port_text is not a decimal number of 0..65535: the
    // port is then the number read as atoi reads it, cut to 16 bits.
    bool socket_port_valid = true;
    bool auth_test = false;  // "auth" = "test": the authentication client's test key
};

// Reads key=value lines (split at the first "="; lines without one ignored;
// a later key wins; keys and values case-sensitive and untrimmed; a "\r"
// before the line end is dropped). A line of more than 1999 characters ends
// the reading. A missing file gives the defaults. "master": "true" master,
// "false" child, anything else standalone; "socket_port": decimal, 9999 when
// absent or empty; "auth": "test" selects the test key.
ToolSettings ReadToolIni(const std::string& path = "tool.ini");

// The IPv4 addresses and masks of the network adapters, each entry followed
// by "&", masks in the same order as the addresses.
struct LocalAddresses {
    std::string addresses;
    std::string masks;
};

// The adapters' IPv4 entries in the system's order, loopback left out. When
// the machine has no other IPv4 address, the loopback entries are listed
// instead, so that a child on a machine without a network can still join a
// master on the same machine. Empty lists when the system gives no list.
LocalAddresses GetLocalAdapters();

}  // namespace kvoapi
