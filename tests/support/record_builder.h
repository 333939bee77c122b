// Test images for the record converters: a table of records laid out from a
// column description (field id with its value kind, width), with the packed
// number encoders and the reader's two delivery forms (all records at once,
// or code by code with the announcement calls).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "quote/convert.h"
#include "quote/convert_image.h"
#include "simulator/quote_writer.h"

namespace rb {

// The packed number encoders of the quote-file writer.
using qw::Packed32;
using qw::Packed64;
using qw::Price32;
using qw::Price64;
constexpr uint32_t kNoValue32 = 0x80000000u;
constexpr uint64_t kNoValue64 = 0x8000000000000000ull;

// Value kinds of a column's field id (bits 12-14).
constexpr uint32_t kText = 0x2000;
constexpr uint32_t kI32 = 0x3000;
constexpr uint32_t kP32 = 0x7000;
constexpr uint32_t kP64 = 0x0000;

struct Column {
    uint32_t id;     // field number with the value kind in bits 12-14
    uint16_t width;  // bytes
    uint16_t attr = 0;
};

// A code of the image's index: its records are [first, first + count).
struct CodeRun {
    std::string key;  // zero-padded to the key size
    uint32_t first;
    uint32_t count;
};

class RecordImage : public ConvertImage {
public:
    RecordImage(std::vector<Column> columns, uint32_t records, uint32_t extraBytes = 0);

    uint32_t RecordSize() const override { return m_recordSize; }
    uint32_t ColumnCount() const override { return uint32_t(m_columns.size()); }
    bool GetColumn(uint32_t index, QuoteFieldDescriptor* out) const override;
    uint32_t GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const override;
    uint32_t KeySize() const override { return 16; }

    uint32_t Count() const { return m_count; }
    uint8_t* Record(uint32_t i) { return m_data.data() + size_t(i) * m_recordSize; }
    const uint8_t* Data() const { return m_data.data(); }
    std::vector<uint8_t>& Bytes() { return m_data; }

    // Writers by field number (kind bits ignored); the field must exist.
    void SetU32(uint32_t record, uint32_t field, uint32_t v);
    void SetU64(uint32_t record, uint32_t field, uint64_t v);
    void SetText(uint32_t record, uint32_t field, const std::string& text);  // zero-padded, cut to the width
    void SetBytes(uint32_t record, uint32_t field, const void* p, size_t n);

    std::vector<CodeRun> codes;

private:
    size_t Find(uint32_t field) const;
    std::vector<Column> m_columns;
    std::vector<uint32_t> m_offsets;
    uint32_t m_recordSize;
    uint32_t m_count;
    std::vector<uint8_t> m_data;
};

// Record-wise delivery: (null, n) then (records, n); the announcement's
// negative result is returned without delivery.
int32_t ReadAllRecords(RecordImage& image, const std::function<int32_t(const void*, int32_t)>& fn);
// Code-wise delivery of image.codes in order: (key, null, n) then
// (key, records, n); a negative result ends the iteration.
void ReadCodes(RecordImage& image, const std::function<int32_t(const char*, const void*, int32_t)>& fn);
// The same deliveries straight into a converter with its context.
template <class Ctx>
int32_t ReadAllRecords(RecordImage& image, int32_t (*convert)(Ctx*, const void*, int32_t), Ctx* ctx) {
    return ReadAllRecords(image, [&](const void* r, int32_t n) { return convert(ctx, r, n); });
}
template <class Ctx>
void ReadCodes(RecordImage& image, int32_t (*convert)(Ctx*, const char*, const void*, int32_t), Ctx* ctx) {
    ReadCodes(image, [&](const char* k, const void* r, int32_t n) { return convert(ctx, k, r, n); });
}
// A writer table of transactions: date-time (56), index (1), price (10),
// volume (13), kind (272) and side (12). Record r has index r + 1, price 9.5
// and volume 100; record 1 is a cancellation (kind 4) and the odd records are
// sells (side 17). The first `split` records belong to "\x11" "600000", the
// rest to "\x21" "000001".
qw::Table TransactionTable(uint32_t records, uint32_t split);

// A 16-byte zero-padded key.
std::string Key(const std::string& code);

// Converter contexts over an image: its records at the image's record size.
PushConvertContext PushContext(const ConvertImage& image, ConvertSession* session = nullptr);
SnapshotConvertContext SnapshotContext(const ConvertImage& image);

// The records of all blocks gathered by a push conversion, in order; the
// blocks are freed.
template <class Rec>
std::vector<Rec> TakeRecords(std::vector<RecordBlock>* blocks) {
    std::vector<Rec> out;
    for (const RecordBlock& b : *blocks) {
        const Rec* r = static_cast<const Rec*>(b.records);
        out.insert(out.end(), r, r + b.count);
    }
    FreeRecordBlocks(blocks);
    return out;
}

// Whether a push conversion gathered exactly blocks of these record counts,
// in order, with `gathered` their sum.
::testing::AssertionResult GatheredBlocks(const PushConvertContext& ctx, std::initializer_list<uint32_t> counts);

// Checks the blocks as GatheredBlocks does, then takes their records into
// *out (the blocks are freed either way).
template <class Rec>
::testing::AssertionResult TakeGathered(PushConvertContext* ctx, std::initializer_list<uint32_t> counts,
                                        std::vector<Rec>* out) {
    ::testing::AssertionResult shape = GatheredBlocks(*ctx, counts);
    *out = TakeRecords<Rec>(&ctx->blocks);
    return shape;
}

// A copy of the records of a snapshot result list (single-threaded use: the
// list's mutex is not taken).
template <class Rec>
std::vector<Rec> ListRecords(const RecordList& list) {
    if (list.RecordSize() != sizeof(Rec)) throw std::invalid_argument("record size of the list");
    std::vector<Rec> out(list.Count());
    if (!out.empty()) memcpy(static_cast<void*>(out.data()), list.Data(), out.size() * sizeof(Rec));
    return out;
}

// Reads a member of a packed record by value (a reference to it cannot bind).
template <class T>
T V(T v) {
    return v;
}

// A record's text field up to its first zero byte (at most n bytes).
inline std::string Str(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

}  // namespace rb
