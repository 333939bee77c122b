// Typed readers of the fields of a quote record, by the value kind of the
// field's descriptor, and the lookup of a field's descriptor in an image.
#pragma once

#include <cstdint>
#include <cstring>

#include "quote/convert_image.h"

// Words of a record in the host's byte order, at any alignment.
inline uint16_t LoadU16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t LoadU32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t LoadU64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// No-value patterns of the integer fields filled through a range check.
constexpr int64_t kInt64NoValue = INT64_MIN;
constexpr int32_t kInt32NoValue = INT32_MIN;

// True for the all-zero descriptor of a missing column.
inline bool IsAbsentField(const QuoteFieldDescriptor& d) { return d.id == 0 && d.offset == 0; }

// Bytes a reader takes from a column of this descriptor's kind: 8 for
// 64-bit packed numbers, 4 for 32-bit packed numbers and i32, the column
// width for texts, 0 for kinds that read as 0.
uint32_t FieldBytesNeeded(const QuoteFieldDescriptor& d);

// The descriptor of fieldId in the image, or an all-zero (absent) one when
// no column carries it, or when the column is narrower than its kind needs or
// reaches past the record.
QuoteFieldDescriptor ResolveField(const ConvertImage& image, uint32_t fieldId);
// True when the column lies within a record of recordSize bytes and is as
// wide as its kind needs (absent descriptors always fit).
bool FieldFitsRecord(const QuoteFieldDescriptor& d, uint32_t recordSize);

// Kind 0x0000: the decoded double (no value -0.0); 0x7000 the same; 0x3000
// the value; other kinds and absent columns 0.0.
double GetFieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d);
// Kind 0x0000: the packed integer rounded half up (no value INT64_MIN);
// 0x7000: no value 0, else the double truncated; 0x3000 sign-extended.
int64_t GetFieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d);
// Kinds 0x0000 and 0x7000: no value 0, else the double truncated; 0x3000
// the value.
int32_t GetFieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d);

// Truncation toward zero with a range check: NaN and values outside the
// integer's range give its no-value pattern.
int64_t TruncateToInt64(double v);
int32_t TruncateToInt32(double v);

// Packed-number decoders (64-bit value as an integer: rounded half up, no
// value or out of range INT64_MIN).
double UnpackPacked32(uint32_t v);
double UnpackPacked64(uint64_t v);
int64_t UnpackPackedInt64(uint64_t v);
