// Decoders of the numbers stored in quote files: packed decimal numbers,
// the system's variable-length integers and 7-bit packed texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Packed 32-bit number: magnitude bits 0-26, sign bit 27, power of ten bits
// 28-30, bit 31 set to divide by the power. 0x80000000 and 0xFFFFFFFF carry
// no value and read as -0.0.
double TL_UnpackDouble32(const void* packed);
// Packed 64-bit number: magnitude bits 0-57, sign bit 58, power of ten bits
// 59-62, bit 63 divide. 0x8000000000000000 and all ones read as -0.0.
double TL_UnpackDouble64(const void* packed);
// The packed 64-bit number as an integer; a dividing value is rounded half up.
// No value (and a product that does not fit 63 bits) gives INT64_MIN.
int64_t TL_UnpackInt64(const void* packed);

// The same three decoders on a loaded word, inline for the record
// converters' inner loops (the functions above call them).
inline double TL_PackedToDouble32(uint32_t v);
inline double TL_PackedToDouble64(uint64_t v);
inline int64_t TL_PackedToInt64(uint64_t v);
// The double of TL_PackedToDouble32 truncated toward zero, computed in
// integers (no value gives 0, the truncation of -0.0).
inline int64_t TL_PackedToTruncated32(uint32_t v);

// The variable-length integers: 7-bit groups, most significant first, every
// byte but the last has bit 7 clear, the last has it set. The signed forms
// start from all ones when bit 6 of the first byte is set. Each returns the
// bytes used, or -1 when the input runs out or no end byte comes within 5
// (10 for 64-bit) bytes. Nothing past `avail` is read.
int TL_DecodeVarInt32(const void* in, int64_t avail, int32_t* out);
int TL_DecodeVarUInt32(const void* in, int64_t avail, uint32_t* out);
int TL_DecodeVarInt64(const void* in, int64_t avail, int64_t* out);
int TL_DecodeVarUInt64(const void* in, int64_t avail, uint64_t* out);

// Unpacks 7-bit groups (least significant group first, into output bytes from
// their low bits upward) until the input byte with bit 7 set, which is used
// too. Output beyond outSize is dropped but the input is still consumed up to
// the end byte, so the caller's cursor stays in step. *outLen receives the
// output length without trailing zero bytes, at least 1 when outSize > 0.
// Returns the input bytes used.
int TL_Unpack7Bit(void* out, int outSize, const void* in, int inSize, int* outLen);

// ---------------------------------------------------------------------------
// Inline decoders

namespace tl_numcodec_detail {

// Powers of ten for every value the 4-bit power field of the 64-bit form can
// hold; the formats define only 10^0..10^7, the rest merely must not fault.
// All are below 2^53, so each double is the exact power.
inline constexpr double kPow10Double[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

__extension__ typedef unsigned __int128 U128;

// Division of x < 2^59 by d = 10^k (k >= 1) as one multiplication and a
// shift: with S = max(59 + ceil(log2 d), 64) and m = ceil(2^S / d), write
// m*d = 2^S + e with 0 <= e < d <= 2^(S-59). Then x*m / 2^S = x/d + x*e /
// (d * 2^S), whose second term is below 2^59 * 2^(S-59) / (d * 2^S) = 1/d;
// the fraction of x/d is at most (d-1)/d, so adding the term never reaches
// the next integer and floor(x*m / 2^S) = floor(x / d) for every x < 2^59.
// S >= 64 leaves only the high word of the product to shift; d = 1 is not
// divided at all.
struct Pow10Divisor {
    uint64_t pow;       // d
    uint64_t half;      // d / 2 (the rounding addend)
    uint64_t maxTimes;  // INT64_MAX / d: the largest magnitude a product fits
    uint64_t magic;     // m (0 for d = 1)
    unsigned shift;     // S - 64
};

constexpr Pow10Divisor MakePow10Divisor(unsigned k) {
    uint64_t d = 1;
    for (unsigned i = 0; i < k; ++i) d *= 10;
    if (k == 0) return Pow10Divisor{1, 0, uint64_t(INT64_MAX), 0, 0};
    unsigned l = 0;
    while ((uint64_t(1) << l) < d) ++l;
    unsigned s = 59 + l > 64 ? 59 + l : 64;
    U128 two = U128(1) << s;
    U128 m = (two + d - 1) / d;
    return Pow10Divisor{d, d / 2, uint64_t(INT64_MAX) / d, uint64_t(m), s - 64};
}

constexpr bool DivisorHolds(const Pow10Divisor& p) {
    if (p.pow == 1) return p.magic == 0;
    // The conditions the argument above rests on: m fits 64 bits (the
    // division below would have wrapped) and 0 <= m*d - 2^S < 2^(S-59).
    U128 md = U128(p.magic) * p.pow;
    U128 two = U128(1) << (64 + p.shift);
    return U128(p.magic) == (two + p.pow - 1) / p.pow && md >= two && md - two < (U128(1) << (p.shift + 5));
}

inline constexpr Pow10Divisor kPow10Divisor[16] = {
    MakePow10Divisor(0),  MakePow10Divisor(1),  MakePow10Divisor(2),  MakePow10Divisor(3),
    MakePow10Divisor(4),  MakePow10Divisor(5),  MakePow10Divisor(6),  MakePow10Divisor(7),
    MakePow10Divisor(8),  MakePow10Divisor(9),  MakePow10Divisor(10), MakePow10Divisor(11),
    MakePow10Divisor(12), MakePow10Divisor(13), MakePow10Divisor(14), MakePow10Divisor(15)};

constexpr bool AllDivisorsHold() {
    for (const Pow10Divisor& p : kPow10Divisor)
        if (!DivisorHolds(p)) return false;
    return true;
}
static_assert(AllDivisorsHold(), "power-of-ten divisors");

// floor(x / 10^k) for x < 2^59.
inline uint64_t DivPow10(uint64_t x, unsigned k) {
    const Pow10Divisor& p = kPow10Divisor[k];
    if (k == 0) return x;
    return uint64_t((U128(x) * p.magic) >> 64) >> p.shift;
}

}  // namespace tl_numcodec_detail

inline double TL_PackedToDouble32(uint32_t v) {
    using namespace tl_numcodec_detail;
    if (v == 0x80000000u || v == 0xFFFFFFFFu) return -0.0;
    // Magnitudes below 2^27 convert exactly from a signed int; the product
    // (below 2^51) is exact, the quotient is the correctly rounded division.
    double mag = static_cast<double>(static_cast<int32_t>(v & 0x07FFFFFFu));
    double p = kPow10Double[(v >> 28) & 7];
    double d = (v & 0x80000000u) ? mag / p : mag * p;
    return (v & 0x08000000u) ? -d : d;
}

inline double TL_PackedToDouble64(uint64_t v) {
    using namespace tl_numcodec_detail;
    if (v == 0x8000000000000000ull || v == ~0ull) return -0.0;
    // Magnitudes below 2^58 fit a signed int64, whose conversion rounds the
    // same integer the same way as the unsigned one.
    double mag = static_cast<double>(static_cast<int64_t>(v & 0x03FFFFFFFFFFFFFFull));
    double p = kPow10Double[(v >> 59) & 15];
    double d = (v >> 63) ? mag / p : mag * p;
    return ((v >> 58) & 1) ? -d : d;
}

inline int64_t TL_PackedToInt64(uint64_t v) {
    using namespace tl_numcodec_detail;
    if (v == 0x8000000000000000ull || v == ~0ull) return INT64_MIN;
    uint64_t mag = v & 0x03FFFFFFFFFFFFFFull;
    unsigned k = unsigned(v >> 59) & 15;
    const Pow10Divisor& p = kPow10Divisor[k];
    uint64_t r;
    if (v >> 63) {
        r = DivPow10(mag + p.half, k);  // mag < 2^58 and half < 2^49: below 2^59
    } else {
        // mag * d > INT64_MAX exactly when mag > floor(INT64_MAX / d).
        if (mag > p.maxTimes) return INT64_MIN;
        r = mag * p.pow;
    }
    int64_t s = static_cast<int64_t>(r);
    return ((v >> 58) & 1) ? -s : s;
}

inline int64_t TL_PackedToTruncated32(uint32_t v) {
    using namespace tl_numcodec_detail;
    // The no-value words give 0 here, like the -0.0 they read as: 0x80000000
    // has magnitude 0; 0xFFFFFFFF is caught apart.
    if (v == 0xFFFFFFFFu) return 0;
    // With magnitude m < 2^27 and d = 10^p <= 10^7: a product m*d < 2^51 is an
    // exact double, so its truncation is m*d. A quotient m/d that is not a
    // whole number lies at least 1/d >= 2^-24 below the next one, farther than
    // half a unit in the last place of any double below 2^27 (at most 2^-27),
    // so the correctly rounded quotient never rounds up to a whole number and
    // truncates to floor(m / d). Truncation and negation commute.
    uint64_t m = v & 0x07FFFFFFu;
    unsigned k = (v >> 28) & 7;
    uint64_t r = (v & 0x80000000u) ? DivPow10(m, k) : m * kPow10Divisor[k].pow;
    int64_t s = static_cast<int64_t>(r);
    return (v & 0x08000000u) ? -s : s;
}
