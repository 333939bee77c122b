// Plain reference readers of packed numbers and record fields, written from
// the formats' description the obvious way: magnitude and power of ten as
// doubles with one correctly rounded product or quotient, integers with a
// 64-bit division, truncations through the double. The library's fast
// decoders and converters are compared with these bit for bit.
#pragma once

#include <cstdint>

#include "quote/convert_image.h"

namespace plain {

double Double32(uint32_t v);
double Double64(uint64_t v);
int64_t Int64(uint64_t v);

// The typed field readers by the descriptor's kind (absent and other kinds 0).
double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d);
int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d);
int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d);
// The double reading truncated toward zero, out of range INT64_MIN / INT32_MIN.
int64_t Truncate64(double v);
int32_t Truncate32(double v);

}  // namespace plain
