// Writes typed-archive streams for tests, from the item layout alone: the
// marker '[' (0x5B), a type code (kind in bits 4-7, element size in bits
// 0-3), a u16 little-endian payload length, then the payload (values
// little-endian, back to back). Items with any header the caller chooses
// make broken streams too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvotest {

using ArchiveBytes = std::vector<uint8_t>;

// An item with the given header fields and payload bytes as they are.
ArchiveBytes ArchiveRawItem(uint8_t marker, uint8_t type, uint16_t length, const ArchiveBytes& payload);

// A well-formed item around the payload.
ArchiveBytes ArchiveItem(uint8_t type, const ArchiveBytes& payload);

// Items of little-endian values: 0x11 bytes, 0x32 i16, 0x44 i32, 0x68 i64,
// 0x54 f32, 0x78 f64; and a 0x21 text item (the bytes as they are).
ArchiveBytes ArchiveI8(const std::vector<int8_t>& v);
ArchiveBytes ArchiveI16(const std::vector<int16_t>& v);
ArchiveBytes ArchiveI32(const std::vector<int32_t>& v);
ArchiveBytes ArchiveI64(const std::vector<int64_t>& v);
ArchiveBytes ArchiveF32(const std::vector<float>& v);
ArchiveBytes ArchiveF64(const std::vector<double>& v);
ArchiveBytes ArchiveText(const std::string& s);

// The items of a stored read buffer: length, content (when not empty),
// value 1, value 2 (as i32), value 3 (as i16), name, and whether a next
// buffer follows.
ArchiveBytes ArchiveReadBuffer(const std::string& content, uint32_t value1, uint16_t value2, uint16_t value3,
                               const std::string& name, bool more);

// a followed by b.
ArchiveBytes operator+(ArchiveBytes a, const ArchiveBytes& b);

}  // namespace kvotest
