// Plain reference readers of packed numbers and record fields, written from
// the formats' description: magnitude and power of ten as doubles with one
// correctly rounded product or quotient, integers by 64-bit division, the
// integer readings of other kinds by truncating the double reading.
#pragma once

#include <cstdint>
#include <limits>

#include "quote/convert_image.h"

namespace plain {

// A packed number of `bits` (32 or 64) as a double; no value is -0.0.
double Packed(uint64_t v, int bits);
// Rounded half up; no value, and a product past INT64_MAX, give INT64_MIN.
int64_t Int64(uint64_t v);
// Truncated toward zero; NaN and out of range give the type's minimum.
template <class I>
I Truncate(double v) {
    const double lo = double(std::numeric_limits<I>::min());
    return v > lo - 1.0 && v < -lo ? I(v) : std::numeric_limits<I>::min();
}

// The typed field readers by the descriptor's kind (absent and other kinds 0).
double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d);
int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d);
int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d);

}  // namespace plain
