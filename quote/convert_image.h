// What the record converters read from an opened quote-file image: its
// record size, its columns, the column of a field id and its code keys.
// The quote-file reader is wrapped behind this interface (quote/convert_qf.h),
// so the converters can also be driven by other record sources.
#pragma once

#include <cstdint>

// The column of a field as readers receive it: field id as the column
// carries it (value kind in bits 12-14), attribute, width in bytes, offset
// of the field in the record. All zero: no such column.
struct QuoteFieldDescriptor {
    uint32_t id;
    uint32_t attr;
    uint32_t width;
    uint32_t offset;
};

// Value kinds of a field id (bits 12-14).
constexpr uint32_t kFieldKindMask = 0x7000;
constexpr uint32_t kFieldKindPacked64 = 0x0000;
constexpr uint32_t kFieldKindCode = 0x1000;
constexpr uint32_t kFieldKindText = 0x2000;
constexpr uint32_t kFieldKindInt32 = 0x3000;
constexpr uint32_t kFieldKindPacked32 = 0x7000;

class ConvertImage {
public:
    virtual ~ConvertImage() = default;
    // Bytes per record (the stride of the records handed to converters).
    virtual uint32_t RecordSize() const = 0;
    // Number of columns and the descriptor of column i in table order.
    virtual uint32_t ColumnCount() const = 0;
    virtual bool GetColumn(uint32_t index, QuoteFieldDescriptor* out) const = 0;
    // The first column whose id equals fieldId with the kind bits ignored:
    // 0, or 0xFFFFFFFF with *out zeroed when there is none.
    virtual uint32_t GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const = 0;
    // Bytes of a code key handed to code-wise converters.
    virtual uint32_t KeySize() const { return 16; }
};
