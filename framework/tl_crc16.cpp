#include "framework/tl_crc16.h"

#include <array>

namespace {

using Tables = std::array<std::array<uint16_t, 256>, 8>;

// kTables[0][x]: the CRC of byte x; kTables[k][x]: the CRC of byte x followed
// by k zero bytes. Eight bytes then fold into one step (the CRC is linear and
// only touches the first two of them).
constexpr Tables MakeTables() {
  Tables t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k)
      c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
    t[0][i] = c;
  }
  for (unsigned k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t prev = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
    }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

uint16_t TL_Crc16(uint16_t start, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint16_t crc = start;
  while (len >= 8) {
    crc = static_cast<uint16_t>(kTables[7][(p[0] ^ (crc >> 8)) & 0xFF] ^ kTables[6][(p[1] ^ crc) & 0xFF] ^
                                kTables[5][p[2]] ^ kTables[4][p[3]] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^
                                kTables[1][p[6]] ^ kTables[0][p[7]]);
    p += 8;
    len -= 8;
  }
  for (size_t i = 0; i < len; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kTables[0][((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}
