// Plain reference readers of packed numbers and record fields, written from
// the formats' description: magnitude and power of ten as doubles with one
// correctly rounded product or quotient, integers by 64-bit division, the
// integer readings of other kinds by truncating the double reading.
#pragma once

#include <cstdint>

#include "quote/convert_image.h"

namespace plain {

double Double32(uint32_t v);
double Double64(uint64_t v);
int64_t Int64(uint64_t v);
// Truncated toward zero; NaN and out of range give INT64_MIN / INT32_MIN.
int64_t Truncate64(double v);
int32_t Truncate32(double v);

// The typed field readers by the descriptor's kind (absent and other kinds 0).
double FieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d);
int64_t FieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d);
int32_t FieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d);

}  // namespace plain
