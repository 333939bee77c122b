#include "cascade/cascade_settings.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "cascade/decimal_text.h"
#include "platform/pl_adapters.h"

namespace kvoapi {

namespace {

bool IsPortText(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    return std::stol(text) <= 65535;
}

}  // namespace

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
            // Read as atoi reads it and cut to the port's 16 bits; the
            // instance logs a value that is no port number.
            settings.socket_port = static_cast<uint16_t>(DecimalToI32(it->second));
            settings.socket_port_valid = IsPortText(it->second);
        }
    }
    if (auto it = values.find("auth"); it != values.end()) settings.auth_test = it->second == "test";
    return settings;
}

LocalAddresses GetLocalAdapters() {
    LocalAddresses out;
    std::vector<pl::IPv4Entry> entries;
    if (!pl::ListIPv4Entries(entries)) return out;
    bool other = false;
    for (const pl::IPv4Entry& e : entries) other = other || !e.loopback;
    for (const pl::IPv4Entry& e : entries) {
        if (e.loopback == other) continue;
        out.addresses += e.address;
        out.addresses += '&';
        out.masks += e.mask;
        out.masks += '&';
    }
    return out;
}

}  // namespace kvoapi
