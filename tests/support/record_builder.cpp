#include "tests/support/record_builder.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace rb {

RecordImage::RecordImage(std::vector<Column> columns, uint32_t records, uint32_t extraBytes)
    : m_columns(std::move(columns)), m_count(records) {
    uint32_t off = 0;
    for (const Column& c : m_columns) {
        m_offsets.push_back(off);
        off += c.width;
    }
    m_recordSize = off + extraBytes;
    m_data.assign(size_t(m_recordSize) * records, 0);
}

bool RecordImage::GetColumn(uint32_t index, QuoteFieldDescriptor* out) const {
    if (index >= m_columns.size()) return false;
    out->id = m_columns[index].id;
    out->attr = m_columns[index].attr;
    out->width = m_columns[index].width;
    out->offset = m_offsets[index];
    return true;
}

uint32_t RecordImage::GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const {
    for (uint32_t i = 0; i < m_columns.size(); ++i) {
        if ((m_columns[i].id & ~0x7000u) == (fieldId & ~0x7000u)) return GetColumn(i, out) ? 0 : 0xFFFFFFFFu;
    }
    *out = QuoteFieldDescriptor{};
    return 0xFFFFFFFFu;
}

size_t RecordImage::Find(uint32_t field) const {
    for (size_t i = 0; i < m_columns.size(); ++i)
        if ((m_columns[i].id & ~0x7000u) == (field & ~0x7000u)) return i;
    throw std::invalid_argument("no column for field " + std::to_string(field));
}

void RecordImage::SetBytes(uint32_t record, uint32_t field, const void* p, size_t n) {
    size_t c = Find(field);
    if (n > m_columns[c].width) n = m_columns[c].width;
    memcpy(Record(record) + m_offsets[c], p, n);
}

void RecordImage::SetU32(uint32_t record, uint32_t field, uint32_t v) { SetBytes(record, field, &v, sizeof v); }
void RecordImage::SetU64(uint32_t record, uint32_t field, uint64_t v) { SetBytes(record, field, &v, sizeof v); }

void RecordImage::SetText(uint32_t record, uint32_t field, const std::string& text) {
    size_t c = Find(field);
    memset(Record(record) + m_offsets[c], 0, m_columns[c].width);
    SetBytes(record, field, text.data(), text.size());
}

int32_t ReadAllRecords(RecordImage& image, const std::function<int32_t(const void*, int32_t)>& fn) {
    int32_t n = int32_t(image.Count());
    int32_t r = fn(nullptr, n);
    if (r < 0) return r;
    r = fn(image.Data(), n);
    return r < 0 ? r : n;
}

void ReadCodes(RecordImage& image, const std::function<int32_t(const char*, const void*, int32_t)>& fn) {
    for (const CodeRun& c : image.codes) {
        std::string key = Key(c.key);
        if (fn(key.data(), nullptr, int32_t(c.count)) < 0) return;
        if (c.count < 1) continue;
        if (fn(key.data(), image.Record(c.first), int32_t(c.count)) < 0) return;
    }
}

qw::Table TransactionTable(uint32_t records, uint32_t split) {
    qw::Table t = qw::MakeTable({{kP64 | 56, 0, 8},
                                 {kI32 | 1, 0, 4},
                                 {kP32 | 10, 0, 4},
                                 {kP64 | 13, 0, 8},
                                 {kI32 | 272, 0, 4},
                                 {kI32 | 12, 0, 4}},
                                records);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetU64(t, r, 0, Packed64(20240105100000000ull + r, 0, false));
        qw::SetU32(t, r, 1, r + 1);
        qw::SetU32(t, r, 2, Price32(9.5, 1));
        qw::SetU64(t, r, 3, Packed64(100, 0, false));
        qw::SetU32(t, r, 4, r == 1 ? 4u : 0u);
        qw::SetU32(t, r, 5, r % 2 ? 17u : 2u);
    }
    t.codes = {{"\x11"
                "600000",
                0, split},
               {"\x21"
                "000001",
                split, records - split}};
    return t;
}

std::string Key(const std::string& code) {
    std::string k = code.substr(0, 16);
    k.resize(16, '\0');
    return k;
}

::testing::AssertionResult GatheredBlocks(const PushConvertContext& ctx, std::initializer_list<uint32_t> counts) {
    std::string got, want;
    for (const RecordBlock& b : ctx.blocks) got += " " + std::to_string(b.count);
    uint32_t sum = 0;
    for (uint32_t c : counts) {
        want += " " + std::to_string(c);
        sum += c;
    }
    if (got != want) return ::testing::AssertionFailure() << "blocks of" << got << ", expected" << want;
    if (ctx.gathered != sum)
        return ::testing::AssertionFailure() << "gathered " << ctx.gathered << ", expected " << sum;
    return ::testing::AssertionSuccess();
}

PushConvertContext PushContext(const ConvertImage& image, ConvertSession* session) {
    PushConvertContext ctx;
    ctx.image = &image;
    ctx.record_size = image.RecordSize();
    ctx.session = session;
    return ctx;
}

SnapshotConvertContext SnapshotContext(const ConvertImage& image) {
    SnapshotConvertContext ctx;
    ctx.image = &image;
    ctx.record_size = image.RecordSize();
    return ctx;
}

}  // namespace rb
