// Typed readers of the fields of a quote record, by the value kind of the
// field's descriptor, and the lookup of a field's descriptor in an image.
#pragma once

#include <cstdint>
#include <cstring>

#include "framework/tl_numcodec.h"
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

// Packed-number decoders (64-bit value as an integer: rounded half up, no
// value or out of range INT64_MIN).
inline double UnpackPacked32(uint32_t v) { return TL_PackedToDouble32(v); }
inline double UnpackPacked64(uint64_t v) { return TL_PackedToDouble64(v); }
inline int64_t UnpackPackedInt64(uint64_t v) { return TL_PackedToInt64(v); }

// Truncation toward zero with a range check: NaN and values outside the
// integer's range give its no-value pattern.
inline int64_t TruncateToInt64(double v) {
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return kInt64NoValue;
    return static_cast<int64_t>(v);
}
inline int32_t TruncateToInt32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return kInt32NoValue;
    return static_cast<int32_t>(v);
}

// The typed readers of one value kind on the field's bytes (record plus the
// column's offset); kinds other than the three numeric ones read as 0 and
// read nothing. The field readers below choose them by the descriptor's kind,
// a NumberPlan (quote/convert_plan.h) once per column layout.
template <uint32_t Kind>
double ReadKindDouble(const uint8_t* p) {
    if constexpr (Kind == kFieldKindPacked64)
        return UnpackPacked64(LoadU64(p));
    else if constexpr (Kind == kFieldKindPacked32)
        return UnpackPacked32(LoadU32(p));
    else if constexpr (Kind == kFieldKindInt32)
        return static_cast<double>(static_cast<int32_t>(LoadU32(p)));
    else
        return 0.0;
}

template <uint32_t Kind>
int64_t ReadKindInt64(const uint8_t* p) {
    if constexpr (Kind == kFieldKindPacked64) {
        return UnpackPackedInt64(LoadU64(p));
    } else if constexpr (Kind == kFieldKindPacked32) {
        // The decoded double truncated (no value 0): every 32-bit packed
        // number truncates to below 2^51, always in range.
        return TL_PackedToTruncated32(LoadU32(p));
    } else if constexpr (Kind == kFieldKindInt32) {
        return static_cast<int32_t>(LoadU32(p));
    } else {
        return 0;
    }
}

template <uint32_t Kind>
int32_t ReadKindInt32(const uint8_t* p) {
    if constexpr (Kind == kFieldKindPacked64) {
        uint64_t v = LoadU64(p);
        if (v == 0x8000000000000000ull || v == ~0ull) return 0;
        double x = UnpackPacked64(v);
        return x == 0.0 ? 0 : TruncateToInt32(x);
    } else if constexpr (Kind == kFieldKindPacked32) {
        // The decoded double truncated with the range check (no value 0): a
        // double lies in (-2^31 - 1, 2^31) exactly when its truncation lies
        // in [-2^31, 2^31 - 1].
        int64_t t = TL_PackedToTruncated32(LoadU32(p));
        return t >= INT32_MIN && t <= INT32_MAX ? static_cast<int32_t>(t) : kInt32NoValue;
    } else if constexpr (Kind == kFieldKindInt32) {
        return static_cast<int32_t>(LoadU32(p));
    } else {
        return 0;
    }
}

// Kind 0x0000: the decoded double (no value -0.0); 0x7000 the same; 0x3000
// the value; other kinds and absent columns 0.0.
inline double GetFieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0.0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
    case kFieldKindPacked64:
        return ReadKindDouble<kFieldKindPacked64>(p);
    case kFieldKindPacked32:
        return ReadKindDouble<kFieldKindPacked32>(p);
    case kFieldKindInt32:
        return ReadKindDouble<kFieldKindInt32>(p);
    default:
        return 0.0;
    }
}

// Kind 0x0000: the packed integer rounded half up (no value INT64_MIN);
// 0x7000: no value 0, else the double truncated; 0x3000 sign-extended.
inline int64_t GetFieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
    case kFieldKindPacked64:
        return ReadKindInt64<kFieldKindPacked64>(p);
    case kFieldKindPacked32:
        return ReadKindInt64<kFieldKindPacked32>(p);
    case kFieldKindInt32:
        return ReadKindInt64<kFieldKindInt32>(p);
    default:
        return 0;
    }
}

// Kinds 0x0000 and 0x7000: no value 0, else the double truncated; 0x3000
// the value.
inline int32_t GetFieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
    case kFieldKindPacked64:
        return ReadKindInt32<kFieldKindPacked64>(p);
    case kFieldKindPacked32:
        return ReadKindInt32<kFieldKindPacked32>(p);
    case kFieldKindInt32:
        return ReadKindInt32<kFieldKindInt32>(p);
    default:
        return 0;
    }
}
