// The converters' view of a quote file in its native layout: columns and
// record size from the native header (quote/qf_format.h).
#pragma once

#include <cstdint>
#include <vector>

#include "quote/convert_image.h"
#include "quote/qf_format.h"

class NativeConvertImage : public ConvertImage {
public:
    // From a parsed native image (QF_ParseNative).
    explicit NativeConvertImage(const QfNativeInfo& info);

    uint32_t RecordSize() const override { return m_recordSize; }
    uint32_t ColumnCount() const override { return uint32_t(m_columns.size()); }
    bool GetColumn(uint32_t index, QuoteFieldDescriptor* out) const override;
    uint32_t GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const override;
    uint32_t KeySize() const override { return m_keySize; }

private:
    uint32_t m_recordSize;
    uint32_t m_keySize;
    std::vector<QuoteFieldDescriptor> m_columns;
};
