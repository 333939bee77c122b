#include "tests/support/plain_numbers.h"

#include <climits>
#include <cstring>

namespace plain {
namespace {

constexpr uint64_t kPow10[16] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                                 100000000ull, 1000000000ull, 10000000000ull, 100000000000ull,
                                 1000000000000ull, 10000000000000ull, 100000000000000ull, 1000000000000000ull};

uint32_t U32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t U64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

bool Absent(const QuoteFieldDescriptor& d) { return d.id == 0 && d.offset == 0; }

}  // namespace

double Double32(uint32_t v) {
    if (v == 0x80000000u || v == 0xFFFFFFFFu) return -0.0;
    double mag = static_cast<double>(v & 0x07FFFFFFu);
    double p = static_cast<double>(kPow10[(v >> 28) & 7]);
    double d = (v & 0x80000000u) ? mag / p : mag * p;
    return (v & 0x08000000u) ? -d : d;
}

double Double64(uint64_t v) {
    if (v == 0x8000000000000000ull || v == ~0ull) return -0.0;
    double mag = static_cast<double>(v & 0x03FFFFFFFFFFFFFFull);
    double p = static_cast<double>(kPow10[(v >> 59) & 15]);
    double d = (v >> 63) ? mag / p : mag * p;
    return ((v >> 58) & 1) ? -d : d;
}

int64_t Int64(uint64_t v) {
    if (v == 0x8000000000000000ull || v == ~0ull) return INT64_MIN;
    uint64_t mag = v & 0x03FFFFFFFFFFFFFFull;
    uint64_t p = kPow10[(v >> 59) & 15];
    uint64_t r;
    if (v >> 63) {
        r = (mag + p / 2) / p;
    } else {
        if (mag != 0 && p > static_cast<uint64_t>(INT64_MAX) / mag) return INT64_MIN;
        r = mag * p;
    }
    int64_t s = static_cast<int64_t>(r);
    return ((v >> 58) & 1) ? -s : s;
}

int64_t Truncate64(double v) {
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(v);
}

int32_t Truncate32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (Absent(d)) return 0.0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: return Double64(U64(p));
        case kFieldKindPacked32: return Double32(U32(p));
        case kFieldKindInt32: return static_cast<double>(static_cast<int32_t>(U32(p)));
        default: return 0.0;
    }
}

int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (Absent(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: return Int64(U64(p));
        case kFieldKindPacked32: {
            uint32_t v = U32(p);
            if (v == 0x80000000u || v == 0xFFFFFFFFu) return 0;
            return Truncate64(Double32(v));
        }
        case kFieldKindInt32: return static_cast<int32_t>(U32(p));
        default: return 0;
    }
}

int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (Absent(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: {
            uint64_t v = U64(p);
            if (v == 0x8000000000000000ull || v == ~0ull) return 0;
            double x = Double64(v);
            return x == 0.0 ? 0 : Truncate32(x);
        }
        case kFieldKindPacked32: {
            uint32_t v = U32(p);
            if (v == 0x80000000u || v == 0xFFFFFFFFu) return 0;
            return Truncate32(Double32(v));
        }
        case kFieldKindInt32: return static_cast<int32_t>(U32(p));
        default: return 0;
    }
}

}  // namespace plain
