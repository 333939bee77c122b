#include "quote/convert_fields.h"

#include <cmath>
#include <cstring>

#include "framework/tl_numcodec.h"

double UnpackPacked32(uint32_t v) {
    return TL_UnpackDouble32(&v);
}

double UnpackPacked64(uint64_t v) {
    return TL_UnpackDouble64(&v);
}

int64_t UnpackPackedInt64(uint64_t v) {
    return TL_UnpackInt64(&v);
}

int64_t TruncateToInt64(double v) {
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return kInt64NoValue;
    return static_cast<int64_t>(v);
}

int32_t TruncateToInt32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return kInt32NoValue;
    return static_cast<int32_t>(v);
}

uint32_t FieldBytesNeeded(const QuoteFieldDescriptor& d) {
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: return 8;
        case kFieldKindPacked32:
        case kFieldKindInt32: return 4;
        case kFieldKindCode:
        case kFieldKindText: return d.width;
        default: return 0;
    }
}

bool FieldFitsRecord(const QuoteFieldDescriptor& d, uint32_t recordSize) {
    if (IsAbsentField(d)) return true;
    // The whole column lies in the record (text fields are read over the
    // column's width whatever its kind), and is wide enough for its kind.
    uint32_t need = FieldBytesNeeded(d);
    if (need > d.width) return false;
    return uint64_t(d.offset) + d.width <= uint64_t(recordSize);
}

QuoteFieldDescriptor ResolveField(const ConvertImage& image, uint32_t fieldId) {
    QuoteFieldDescriptor d{};
    if (image.GetFieldInfo(fieldId, &d) != 0 || !FieldFitsRecord(d, image.RecordSize())) d = QuoteFieldDescriptor{};
    return d;
}

double GetFieldDouble(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0.0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: return UnpackPacked64(LoadU64(p));
        case kFieldKindPacked32: return UnpackPacked32(LoadU32(p));
        case kFieldKindInt32: return static_cast<double>(static_cast<int32_t>(LoadU32(p)));
        default: return 0.0;
    }
}

int64_t GetFieldInt64(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: return UnpackPackedInt64(LoadU64(p));
        case kFieldKindPacked32: {
            uint32_t v = LoadU32(p);
            if (v == 0x80000000u || v == 0xFFFFFFFFu) return 0;
            return TruncateToInt64(UnpackPacked32(v));
        }
        case kFieldKindInt32: return static_cast<int32_t>(LoadU32(p));
        default: return 0;
    }
}

int32_t GetFieldInt32(const uint8_t* record, const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 0;
    const uint8_t* p = record + d.offset;
    switch (d.id & kFieldKindMask) {
        case kFieldKindPacked64: {
            uint64_t v = LoadU64(p);
            if (v == 0x8000000000000000ull || v == ~0ull) return 0;
            double x = UnpackPacked64(v);
            return x == 0.0 ? 0 : TruncateToInt32(x);
        }
        case kFieldKindPacked32: {
            uint32_t v = LoadU32(p);
            if (v == 0x80000000u || v == 0xFFFFFFFFu) return 0;
            return TruncateToInt32(UnpackPacked32(v));
        }
        case kFieldKindInt32: return static_cast<int32_t>(LoadU32(p));
        default: return 0;
    }
}
