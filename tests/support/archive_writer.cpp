#include "tests/support/archive_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kvotest {

namespace {

template <typename T>
ArchiveBytes Values(uint8_t type, const std::vector<T>& v) {
    ArchiveBytes payload;
    for (T x : v) {
        uint8_t bytes[sizeof(T)];
        std::memcpy(bytes, &x, sizeof(T));  // the test machines are little-endian
        payload.insert(payload.end(), bytes, bytes + sizeof(T));
    }
    return ArchiveItem(type, payload);
}

}  // namespace

ArchiveBytes ArchiveRawItem(uint8_t marker, uint8_t type, uint16_t length, const ArchiveBytes& payload) {
    ArchiveBytes b(4 + payload.size());
    b[0] = marker;
    b[1] = type;
    b[2] = uint8_t(length & 0xFF);
    b[3] = uint8_t(length >> 8);
    std::copy(payload.begin(), payload.end(), b.begin() + 4);
    return b;
}

ArchiveBytes ArchiveItem(uint8_t type, const ArchiveBytes& payload) {
    if (payload.size() > 0xFFFF) throw std::invalid_argument("an item holds at most 65535 bytes");
    return ArchiveRawItem(0x5B, type, uint16_t(payload.size()), payload);
}

ArchiveBytes ArchiveI8(const std::vector<int8_t>& v) { return Values<int8_t>(0x11, v); }
ArchiveBytes ArchiveI16(const std::vector<int16_t>& v) { return Values<int16_t>(0x32, v); }
ArchiveBytes ArchiveI32(const std::vector<int32_t>& v) { return Values<int32_t>(0x44, v); }
ArchiveBytes ArchiveI64(const std::vector<int64_t>& v) { return Values<int64_t>(0x68, v); }
ArchiveBytes ArchiveF32(const std::vector<float>& v) { return Values<float>(0x54, v); }
ArchiveBytes ArchiveF64(const std::vector<double>& v) { return Values<double>(0x78, v); }

ArchiveBytes ArchiveText(const std::string& s) { return ArchiveItem(0x21, ArchiveBytes(s.begin(), s.end())); }

ArchiveBytes ArchiveReadBuffer(const std::string& content, uint32_t value1, uint16_t value2, uint16_t value3,
                               const std::string& name, bool more) {
    ArchiveBytes b = ArchiveI32({int32_t(content.size())});
    if (!content.empty()) b = b + ArchiveItem(0x11, ArchiveBytes(content.begin(), content.end()));
    return b + ArchiveI32({int32_t(value1)}) + ArchiveI32({int32_t(value2)}) + ArchiveI16({int16_t(value3)}) +
           ArchiveText(name) + ArchiveI32({more ? 1 : 0});
}

ArchiveBytes operator+(ArchiveBytes a, const ArchiveBytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace kvotest
