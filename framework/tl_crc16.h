// CRC-16 guarding the delta-coded blocks of quote files.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, most significant bit first, no
// reflection, no final inversion) of `len` bytes, continued from `start`.
// "123456789" from start 0 gives 0x31C3.
uint16_t TL_Crc16(uint16_t start, const void* data, size_t len);
