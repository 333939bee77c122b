#include "quote/convert_qf.h"

NativeConvertImage::NativeConvertImage(const QfNativeInfo& info)
    : m_recordSize(info.header.recordSize), m_keySize(info.index.keySize != 0 ? info.index.keySize : 16) {
    uint64_t offset = 0;
    m_columns.reserve(info.columns.size());
    for (const QfColumn& c : info.columns) {
        // Offsets beyond 32 bits cannot lie in a record; such columns are
        // left out of the lookup.
        if (offset > 0xFFFFFFFFull) break;
        m_columns.push_back(QuoteFieldDescriptor{c.id, c.attr, c.width, uint32_t(offset)});
        offset += c.width;
    }
}

bool NativeConvertImage::GetColumn(uint32_t index, QuoteFieldDescriptor* out) const {
    if (index >= m_columns.size()) return false;
    *out = m_columns[index];
    return true;
}

uint32_t NativeConvertImage::GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const {
    for (const QuoteFieldDescriptor& d : m_columns) {
        if ((d.id & ~kFieldKindMask) == (fieldId & ~kFieldKindMask)) {
            *out = d;
            return 0;
        }
    }
    *out = QuoteFieldDescriptor{};
    return 0xFFFFFFFFu;
}
