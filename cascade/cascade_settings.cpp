#include "api/cascade_settings.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kvoapi {

ToolSettings ReadToolIni(const std::string& path) {
  ToolSettings settings;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return settings;
  std::map<std::string, std::string> values;
  // A line holds up to kMaxLine characters before its line end ("\n" or
  // "\r\n"); the buffer has room for such a line with its end and a byte
  // more, so a longer line is seen as one.
  constexpr size_t kMaxLine = 1999;
  char line[kMaxLine + 4];
  while (std::fgets(line, sizeof(line), f)) {
    size_t len = std::strlen(line);
    const bool complete = len > 0 && line[len - 1] == '\n';
    if (!complete && !std::feof(f)) break;  // longer than a line may be
    if (complete) line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    if (len > kMaxLine) break;
    const char* eq = std::strchr(line, '=');
    if (!eq) continue;
    values[std::string(line, static_cast<size_t>(eq - line))] = std::string(eq + 1);
  }
  std::fclose(f);

  if (auto it = values.find("master"); it != values.end()) {
    settings.master_text = it->second;
    if (it->second == "true") {
      settings.mode = kMaster;
    } else if (it->second == "false") {
      settings.mode = kChild;
    }
  }
  if (auto it = values.find("socket_port"); it != values.end()) {
    settings.socket_port_text = it->second;
    if (!it->second.empty()) {
      const long port = std::strtol(it->second.c_str(), nullptr, 10);
      // A value that is no port keeps the default rather than wrapping.
      if (port >= 0 && port <= 65535) settings.socket_port = static_cast<uint16_t>(port);
    }
  }
  if (auto it = values.find("auth"); it != values.end()) settings.auth_test = it->second == "test";
  return settings;
}

LocalAddresses GetLocalAdapters() {
  LocalAddresses out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    // The adapter list names network adapters only, not the loopback.
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text,
              sizeof(text));
    out.addresses += text;
    out.addresses += '&';
    char mask[INET_ADDRSTRLEN] = "0.0.0.0";
    if (a->ifa_netmask && a->ifa_netmask->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, mask,
                sizeof(mask));
    }
    out.masks += mask;
    out.masks += '&';
  }
  freeifaddrs(list);
  return out;
}

}  // namespace kvoapi
