#include "framework/tl_textutil.h"

#include <cstdio>
#include <cstring>

#include "platform/pl_random.h"

std::string CreateGuidString() {
    std::uint8_t raw[16];
    if (!PL_GetRandomBytes(raw, sizeof(raw))) return std::string();
    // A random (version 4) GUID: the version in the top nibble of the third
    // field, the variant 10xx in the first of the eight last bytes.
    const std::uint32_t data1 = static_cast<std::uint32_t>(raw[0]) | (static_cast<std::uint32_t>(raw[1]) << 8) |
                                (static_cast<std::uint32_t>(raw[2]) << 16) | (static_cast<std::uint32_t>(raw[3]) << 24);
    const unsigned data2 = static_cast<unsigned>(raw[4] | (raw[5] << 8));
    const unsigned data3 = (static_cast<unsigned>(raw[6] | (raw[7] << 8)) & 0x0FFFu) | 0x4000u;
    const std::uint8_t* d4 = raw + 8;
    const unsigned v0 = (d4[0] & 0x3Fu) | 0x80u;
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1, data2, data3, v0,
                  unsigned{d4[1]}, unsigned{d4[2]}, unsigned{d4[3]}, unsigned{d4[4]}, unsigned{d4[5]}, unsigned{d4[6]},
                  unsigned{d4[7]});
    return std::string(text, 36);
}

namespace {

// The text from start up to the next end marker (included when inclusive);
// empty when the marker is missing.
std::string ValueUpTo(std::string_view text, std::size_t start, char end, bool inclusive) {
    if (start > text.size()) return std::string();
    const std::size_t stop = text.find(end, start);
    if (stop == std::string_view::npos) return std::string();
    return std::string(text.substr(start, stop - start + (inclusive ? 1 : 0)));
}

}  // namespace

std::string GetFieldValue(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return std::string();
    const std::size_t start = at + key.size() + 1;  // skips the ":" unchecked
    if (key == "codelist") return ValueUpTo(text, start, ')', true);
    return ValueUpTo(text, start, ',', false);
}

std::string GetJsonNumberValue(std::string_view text, std::string_view key) {
    std::string marker;
    marker.reserve(key.size() + 3);
    marker.append(1, '"').append(key).append("\":");
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos) return std::string();
    return ValueUpTo(text, at + marker.size(), ',', false);
}

std::string GetJsonStringValue(std::string_view text, std::string_view key) {
    std::string marker;
    marker.reserve(key.size() + 4);
    marker.append(1, '"').append(key).append("\":\"");
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos) return std::string();
    return ValueUpTo(text, at + marker.size(), '"', false);
}

void TL_SplitString(std::string_view text, const char* delimiter, const TLStringAdder& adder) {
    const std::string_view delim = delimiter != nullptr ? std::string_view(delimiter) : std::string_view();
    if (delim.empty()) {
        adder(text);
        return;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(delim, start);
        if (at == std::string_view::npos) {
            adder(text.substr(start));
            return;
        }
        adder(text.substr(start, at - start));
        start = at + delim.size();
    }
}

void TL_SplitBuffer(const char* data, std::size_t length, const char* delimiter, const TLStringAdder& adder) {
    TL_SplitString(data != nullptr ? std::string_view(data, length) : std::string_view(), delimiter, adder);
}

std::int32_t TL_AppendString(std::vector<std::string>& list, const char* text) {
    const auto index = static_cast<std::int32_t>(list.size());
    list.emplace_back(text != nullptr ? text : "");
    return index;
}
