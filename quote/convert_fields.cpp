#include "quote/convert_fields.h"

#include <cstring>

uint32_t FieldBytesNeeded(const QuoteFieldDescriptor& d) {
    switch (d.id & kFieldKindMask) {
    case kFieldKindPacked64:
        return 8;
    case kFieldKindPacked32:
    case kFieldKindInt32:
        return 4;
    case kFieldKindCode:
    case kFieldKindText:
        return d.width;
    default:
        return 0;
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
