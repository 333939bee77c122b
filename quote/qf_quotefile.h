// CHQuoteFile: a quote-file image opened in memory, brought into the native
// layout, and read record-wise or code-wise through callbacks. One object is
// used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/tl_callback.h"
#include "framework/tl_fileobj.h"
#include "quote/convert_image.h"
#include "quote/qf_format.h"

// Record callback: (records, count); count announcements pass null records.
using QfRecordCallback = CTLCallback<int32_t(const uint8_t* records, int32_t count)>;
// Code callback: (zero-terminated key, records, count).
using QfCodeCallback = CTLCallback<int32_t(const char* key, const uint8_t* records, int32_t count)>;

class CHQuoteFile : public corvane::CTLFileObj {
public:
    CHQuoteFile() = default;
    ~CHQuoteFile() override;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCHQuoteFile;

    // Open, the kept header valid, and data offset + capacity x size within
    // the file.
    bool IsDataComplete() override;
    // Reads the named file into memory and opens it as an image.
    uint32_t Open(const char* name, uint32_t mode) override;
    // 0 or a 0xA002xxxx code; 0xA0020016 for a null image, a length below 1 or
    // capacity 0xFFFFFFFF. Capacity 0 copies a native image once and converts
    // a stored one straight into a block of its native size (the image itself
    // is only read); 0xFFFFFFFD uses it in place (it must then already hold the
    // native form); 0xFFFFFFFE copies the CTLFileObj passed as `image`. A
    // failed open leaves the file closed.
    uint32_t OpenMemory(const void* image, uint32_t len, uint32_t cap) override;
    uint32_t Close() override;
    // In-memory files only (else 0xA0020014): length 0, header and index gone.
    virtual uint32_t ResetMemory();

    uint32_t GetRecordSize() const { return m_open ? m_info.header.recordSize : 0; }
    uint32_t GetRecordCount() const { return m_open ? m_info.header.count : 0; }
    uint32_t GetCodeCount() const { return m_open && !m_index.empty() ? m_info.index.count : 0; }
    uint32_t GetColumnCount() const { return m_open ? m_info.header.columns : 0; }
    uint32_t GetKeySize() const { return m_open && !m_index.empty() ? m_info.index.keySize : 0; }
    // Data offset (0xA0020001 when not open) and native data end (0).
    uint32_t GetDataOffset() const { return m_open ? m_info.header.dataOffset : QF_E_NOTQUOTE; }
    uint64_t GetDataEnd() const;
    // The kept native header and columns (valid while open).
    const QfNativeInfo& GetNativeInfo() const { return m_info; }
    // The descriptor of column `index` in table order; false past the table.
    bool GetColumnInfo(uint32_t index, QuoteFieldDescriptor* out) const;
    // The first column whose id equals `id` with bits 12-14 ignored: 0, or
    // 0xFFFFFFFF with *out zeroed.
    uint32_t GetFieldInfo(uint32_t id, QuoteFieldDescriptor* out) const;

    // Records [first, first+count) after normalisation (negative first counts
    // from the end, count 0 takes the rest, negative count takes the records
    // ending at first): announced with (null, n), then delivered in one call.
    // Returns n, the callback's negative result, or a negative code.
    int32_t ReadRecords(int32_t first, int32_t count, const QfRecordCallback& cb);
    // The same per code of the index, first and count applying within each
    // code; a negative callback result ends the iteration.
    void ReadCodeRecords(int32_t first, int32_t count, const QfCodeCallback& cb);

private:
    uint32_t OpenImage();  // classify, convert and keep the header of the opened buffer
    uint32_t OpenImageOrClose();
    // Converts a stored image into the block just opened to its native size.
    uint32_t OpenConvertedOrClose(const uint8_t* image, uint64_t len, const QfConvertPlan& plan);
    // Checks the native image in the block and keeps its header, columns and
    // index.
    uint32_t KeepNative(const uint8_t* buf, uint64_t nativeLen, bool converted);
    void RefreshHeader();
    // One code of a block-chained index; `values` follow the code's key.
    void ReadChainedCode(const char* key, const uint8_t* values, int64_t first, int64_t count, const QfCodeCallback& cb,
                         bool* stop);
    void Forget();

    bool m_open = false;
    QfNativeInfo m_info;              // the kept native header and columns
    std::vector<uint32_t> m_offsets;  // each kept column's offset in a record
    std::vector<uint8_t> m_header;    // owned copy of the header bytes (empty when in place)
    std::vector<uint8_t> m_index;     // the code index, head and entries
    uint32_t m_blockHead = 0;         // block-head size of a block-chained index, 0 until needed
};
