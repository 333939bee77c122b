// Cascade settings of an instance: the tool.ini file of the working directory
// and the local IPv4 address and mask lists.
#ifndef KVO_API_CASCADE_SETTINGS_H
#define KVO_API_CASCADE_SETTINGS_H

#include <cstdint>
#include <string>

namespace kvoapi {

enum CascadeMode : int32_t { kStandalone = 0, kMaster = 1, kChild = 2 };

struct ToolSettings {
  CascadeMode mode = kStandalone;
  std::string master_text;       // value of "master" as written
  std::string socket_port_text;  // value of "socket_port" as written
  uint16_t socket_port = 9999;
  bool auth_test = false;        // "auth" = "test": the authentication client's test key
};

// Reads key=value lines (split at the first "="; lines without one ignored;
// a later key wins; keys and values case-sensitive and untrimmed, only the
// line end is removed). A line of more than 1999 characters ends the reading.
// A missing file gives the defaults.
ToolSettings ReadToolIni(const std::string& path = "tool.ini");

// The IPv4 addresses and masks of the network adapters (loopback left out),
// each entry followed by "&".
struct LocalAddresses {
  std::string addresses;
  std::string masks;
};
LocalAddresses GetLocalAdapters();

}  // namespace kvoapi

#endif
