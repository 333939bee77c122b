// The converters' view of quote files: an opened CHQuoteFile, or a native
// layout parsed by the quote-file layer; and the converters of each data-type
// id bound with their context into the reader's callbacks.
#pragma once

#include <cstdint>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_image.h"
#include "quote/qf_format.h"
#include "quote/qf_quotefile.h"

// An opened quote file as the converters read it. The file must stay open
// while converters use it.
class QuoteFileConvertImage : public ConvertImage {
public:
    explicit QuoteFileConvertImage(const CHQuoteFile& file) : m_file(file) {}

    uint32_t RecordSize() const override { return m_file.GetRecordSize(); }
    uint32_t ColumnCount() const override { return m_file.GetColumnCount(); }
    bool GetColumn(uint32_t index, QuoteFieldDescriptor* out) const override {
        return m_file.GetColumnInfo(index, out);
    }
    uint32_t GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const override {
        return m_file.GetFieldInfo(fieldId, out);
    }
    uint32_t KeySize() const override {
        uint32_t k = m_file.GetKeySize();
        return k != 0 ? k : 16;
    }

private:
    const CHQuoteFile& m_file;
};

// A parsed native image (QF_ParseNative).
class NativeConvertImage : public ConvertImage {
public:
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

// The converter of a data-type id bound with its context, ready for
// CHQuoteFile::ReadRecords (ids 0, 1, 10; snapshots 2, 3) or ReadCodeRecords
// (ids 4-9, 11; snapshot 12). An id not read that way gives an empty
// callback.
QfRecordCallback BindPushRecordConverter(uint32_t dataType, PushConvertContext* ctx);
QfCodeCallback BindPushCodeConverter(uint32_t dataType, PushConvertContext* ctx);
QfRecordCallback BindSnapshotRecordConverter(uint32_t dataType, SnapshotConvertContext* ctx);
QfCodeCallback BindSnapshotCodeConverter(uint32_t dataType, SnapshotConvertContext* ctx);
