#include "framework/tl_crc16.h"

#include <algorithm>
#include <array>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using Tables = std::array<std::array<uint16_t, 256>, 8>;

// kTables[0][x]: the CRC of byte x; kTables[k][x]: the CRC of byte x followed
// by k zero bytes. Eight bytes then fold into one step (the CRC is linear and
// only touches the first two of them).
constexpr Tables MakeTables() {
    Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
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

uint16_t TableCrc(uint16_t crc, const uint8_t* p, size_t len) {
    while (len >= 8) {
        crc = static_cast<uint16_t>(kTables[7][(p[0] ^ (crc >> 8)) & 0xFF] ^ kTables[6][(p[1] ^ crc) & 0xFF] ^
                                    kTables[5][p[2]] ^ kTables[4][p[3]] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^
                                    kTables[1][p[6]] ^ kTables[0][p[7]]);
        p += 8;
        len -= 8;
    }
    for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kTables[0][((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}

#if defined(__GNUC__) && defined(__x86_64__)
// With carry-less multiplication the data is folded 64 bytes at a time into
// four 128-bit remainders (x^n mod the polynomial shifts a part by n bits at
// the cost of one multiplication), the four are folded into one, and the
// table CRC finishes its 16 bytes and the tail.
constexpr uint64_t PowerModCrc(unsigned n) {
    uint32_t v = 1;
    for (unsigned i = 0; i < n; ++i) {
        v <<= 1;
        if (v & 0x10000) v ^= 0x11021;
    }
    return v;
}

// A 16-byte block with byte 0 as its highest-order byte: reversed, bit i of
// the register is the coefficient of x^i.
__attribute__((target("pclmul,ssse3"))) inline __m128i CrcBlock(const uint8_t* p) {
    const __m128i rev = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), rev);
}

// x times x^n (k holding x^(n+64) and x^n modulo the polynomial), reduced
// to 80 bits, plus the next block.
__attribute__((target("pclmul,ssse3"))) inline __m128i CrcFold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

// len >= 64. A start value is the same as one added to the first two bytes.
__attribute__((target("pclmul,ssse3"))) uint16_t FoldedCrc(uint16_t start, const uint8_t* p, size_t len) {
    const __m128i by128 = _mm_set_epi64x(int64_t(PowerModCrc(192)), int64_t(PowerModCrc(128)));
    const __m128i by512 = _mm_set_epi64x(int64_t(PowerModCrc(576)), int64_t(PowerModCrc(512)));
    __m128i a0 = _mm_xor_si128(CrcBlock(p), _mm_set_epi64x(int64_t(uint64_t(start) << 48), 0));
    __m128i a1 = CrcBlock(p + 16), a2 = CrcBlock(p + 32), a3 = CrcBlock(p + 48);
    size_t at = 64;
    for (; len - at >= 64; at += 64) {
        a0 = CrcFold(a0, by512, CrcBlock(p + at));
        a1 = CrcFold(a1, by512, CrcBlock(p + at + 16));
        a2 = CrcFold(a2, by512, CrcBlock(p + at + 32));
        a3 = CrcFold(a3, by512, CrcBlock(p + at + 48));
    }
    __m128i x = CrcFold(CrcFold(CrcFold(a0, by128, a1), by128, a2), by128, a3);
    for (; len - at >= 16; at += 16) x = CrcFold(x, by128, CrcBlock(p + at));
    // x is congruent to the data so far: its CRC is that of x's 16 bytes.
    uint8_t rem[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rem), x);
    std::reverse(rem, rem + 16);
    return TableCrc(TableCrc(0, rem, 16), p + at, len - at);
}

bool HasCarryless() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    }();
    return has;
}
#endif

}  // namespace

uint16_t TL_Crc16(uint16_t start, const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
#if defined(__GNUC__) && defined(__x86_64__)
    if (len >= 64 && HasCarryless()) return FoldedCrc(start, p, len);
#endif
    return TableCrc(start, p, len);
}
