#include "tests/support/plain_numbers.h"

#include <climits>
#include <cstring>

namespace plain {
namespace {

uint64_t Pow10(uint64_t k) {
    uint64_t p = 1;
    while (k-- > 0) p *= 10;
    return p;
}

template <class U>
U Load(const uint8_t* record, const QuoteFieldDescriptor& d) {
    U v;
    memcpy(&v, record + d.offset, sizeof v);
    return v;
}

// An absent field (id and offset 0) has no kind.
uint32_t Kind(const QuoteFieldDescriptor& d) { return d.id == 0 && d.offset == 0 ? ~0u : d.id & kFieldKindMask; }

}  // namespace

double Double32(uint32_t v) {
    if (v == 0x80000000u || v == 0xFFFFFFFFu) return -0.0;
    double mag = double(v & 0x07FFFFFFu), p = double(Pow10((v >> 28) & 7));
    double d = (v >> 31) ? mag / p : mag * p;
    return ((v >> 27) & 1) ? -d : d;
}

double Double64(uint64_t v) {
    if (v == 0x8000000000000000ull || v == ~0ull) return -0.0;
    double mag = double(v & 0x03FFFFFFFFFFFFFFull), p = double(Pow10((v >> 59) & 15));
    double d = (v >> 63) ? mag / p : mag * p;
    return ((v >> 58) & 1) ? -d : d;
}

// Rounded half up; no value, and a product past INT64_MAX, give INT64_MIN.
int64_t Int64(uint64_t v) {
    if (v == 0x8000000000000000ull || v == ~0ull) return INT64_MIN;
    uint64_t mag = v & 0x03FFFFFFFFFFFFFFull, p = Pow10((v >> 59) & 15);
    if (!(v >> 63) && mag > uint64_t(INT64_MAX) / p) return INT64_MIN;
    int64_t r = int64_t((v >> 63) ? (mag + p / 2) / p : mag * p);
    return ((v >> 58) & 1) ? -r : r;
}

int64_t Truncate64(double v) {
    return v >= -9223372036854775808.0 && v < 9223372036854775808.0 ? int64_t(v) : INT64_MIN;
}

int32_t Truncate32(double v) { return v > -2147483649.0 && v < 2147483648.0 ? int32_t(v) : INT32_MIN; }

double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d) {
    switch (Kind(d)) {
    case kFieldKindPacked64:
        return Double64(Load<uint64_t>(record, d));
    case kFieldKindPacked32:
        return Double32(Load<uint32_t>(record, d));
    case kFieldKindInt32:
        return Load<int32_t>(record, d);
    default:
        return 0.0;
    }
}

// No value reads as -0.0 and so truncates to 0 here.
int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d) {
    return Kind(d) == kFieldKindPacked64 ? Int64(Load<uint64_t>(record, d)) : Truncate64(FieldDouble(record, d));
}

int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d) {
    return Kind(d) == kFieldKindInt32 ? Load<int32_t>(record, d) : Truncate32(FieldDouble(record, d));
}

}  // namespace plain
