#include "tests/support/plain_numbers.h"

#include <cstring>

namespace plain {
namespace {

uint64_t Pow10(uint64_t k) {
    uint64_t p = 1;
    while (k-- > 0) p *= 10;
    return p;
}

// A number field's bytes zero-extended; an absent field (id and offset 0) has
// no kind.
uint64_t Load(const uint8_t* record, const QuoteFieldDescriptor& d, uint32_t* kind) {
    *kind = d.id == 0 && d.offset == 0 ? ~0u : d.id & kFieldKindMask;
    uint64_t v = 0;
    if (*kind == kFieldKindPacked64 || *kind == kFieldKindPacked32 || *kind == kFieldKindInt32)
        memcpy(&v, record + d.offset, *kind == kFieldKindPacked64 ? 8 : 4);
    return v;
}

}  // namespace

// Bits from the top: divide by the power, the power (3 or 4 bits), negative,
// then the magnitude.
double Packed(uint64_t v, int bits) {
    const int magBits = bits == 64 ? 58 : 27;
    if (v == uint64_t(1) << (bits - 1) || v == ~0ull >> (64 - bits)) return -0.0;
    const double mag = double(v & ((uint64_t(1) << magBits) - 1));
    const double p = double(Pow10((v >> (magBits + 1)) & (bits == 64 ? 15 : 7)));
    const double d = (v >> (bits - 1)) ? mag / p : mag * p;
    return ((v >> magBits) & 1) ? -d : d;
}

int64_t Int64(uint64_t v) {
    if (v == 0x8000000000000000ull || v == ~0ull) return INT64_MIN;
    uint64_t mag = v & 0x03FFFFFFFFFFFFFFull, p = Pow10((v >> 59) & 15);
    if (!(v >> 63) && mag > uint64_t(INT64_MAX) / p) return INT64_MIN;
    int64_t r = int64_t((v >> 63) ? (mag + p / 2) / p : mag * p);
    return ((v >> 58) & 1) ? -r : r;
}

double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d) {
    uint32_t kind;
    const uint64_t v = Load(record, d, &kind);
    if (kind == kFieldKindPacked64 || kind == kFieldKindPacked32)
        return Packed(v, kind == kFieldKindPacked64 ? 64 : 32);
    return kind == kFieldKindInt32 ? double(int32_t(uint32_t(v))) : 0.0;
}

// No value reads as -0.0 and so truncates to 0 here.
int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d) {
    uint32_t kind;
    const uint64_t v = Load(record, d, &kind);
    return kind == kFieldKindPacked64 ? Int64(v) : Truncate<int64_t>(FieldDouble(record, d));
}

int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d) {
    uint32_t kind;
    const uint64_t v = Load(record, d, &kind);
    return kind == kFieldKindInt32 ? int32_t(uint32_t(v)) : Truncate<int32_t>(FieldDouble(record, d));
}

}  // namespace plain
