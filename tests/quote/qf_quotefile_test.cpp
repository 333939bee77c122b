// CHQuoteFile: opening images of every family, range normalisation, reading
// by record and by code (plain and block-chained indexes), field lookup.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quote/qf_quotefile.h"
#include "simulator/quote_writer.h"
#include "tests/support/quote_checks.h"
#include "tests/support/temp_dir.h"

namespace {

using qw::Bytes;

struct Call {
    std::string key;
    bool records;
    int32_t count;
    Bytes bytes;
};

struct Recorder {
    Recorder() = default;
    explicit Recorder(const CHQuoteFile& f) : recordSize(f.GetRecordSize()) {}
    uint32_t recordSize = 0;
    std::vector<Call> calls;
    int32_t announceResult = 0;
    int32_t deliverResult = 0;
    int stopAfter = -1;  // deliveries before a negative result

    int32_t OnRecords(const uint8_t* p, int32_t n) { return On("", p, n); }
    int32_t OnCode(const char* key, const uint8_t* p, int32_t n) { return On(key, p, n); }
    int32_t On(const char* key, const uint8_t* p, int32_t n) {
        Call c{key, p != nullptr, n, {}};
        if (p) c.bytes.assign(p, p + uint64_t(n) * recordSize);
        calls.push_back(c);
        if (!p) return announceResult;
        if (stopAfter >= 0 && --stopAfter < 0) return -9;
        return deliverResult;
    }
    QfRecordCallback Records() { return QfRecordCallback::Bind<&Recorder::OnRecords>(this); }
    QfCodeCallback Codes() { return QfCodeCallback::Bind<&Recorder::OnCode>(this); }
};

// The calls that reading f by code makes.
Recorder ReadCodes(CHQuoteFile& f, int32_t first, int32_t count) {
    Recorder r(f);
    f.ReadCodeRecords(first, count, r.Codes());
    return r;
}

// Ten records numbered 0..9 in their first column.
qw::Table Numbered(uint32_t n = 10) {
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}, {0x0005, 3, 8}, {0x1002, 0, 8}}, n);
    for (uint32_t r = 0; r < n; ++r) {
        qw::SetU32(t, r, 0, r);
        qw::SetU64(t, r, 1, 1000 + r);
        qw::SetText(t, r, 2, r < n / 2 ? "600000" : "000001");
    }
    t.codes = {{"600000", 0, n / 2}, {"000001", n / 2, n - n / 2}};
    return t;
}

uint32_t FirstNumber(const Bytes& b, size_t record, uint32_t s) {
    uint32_t v;
    std::memcpy(&v, b.data() + record * s, 4);
    return v;
}

TEST(QuoteFileOpen, RefusalsLeaveTheFileClosedAndReusable) {
    CHQuoteFile f;
    Bytes img = qw::NativeImage(Numbered());
    EXPECT_EQ(f.OpenMemory(nullptr, 10, 0), 0xA0020016u);
    EXPECT_EQ(f.OpenMemory(img.data(), 0, 0), 0xA0020016u);
    EXPECT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0xFFFFFFFF), 0xA0020016u);
    EXPECT_EQ(f.OpenMemory(img.data(), 20, 0), 0xA0020001u);
    Bytes b = img;
    b[16] = 11;  // count above capacity
    EXPECT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0), 0xA0020001u);
    b = img;
    b[30] = 0;  // no columns
    EXPECT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0), 0xA0020001u);
    b = img;
    b[32 + 24 + 15] = 3;  // index kind 3
    EXPECT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0), 0xA0020004u);
    for (const char* v : {"hd1.2", "hd3.5"}) {
        b = qw::CompactImage(Numbered());
        std::memcpy(b.data(), v, 5);
        EXPECT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0), 0xA0020002u) << v;
    }
    // Images of two to four bytes: an unsupported version unless a whole
    // pattern fits, and then too short for its family.
    for (const char* v : {"hq", "hd", "hq1", "hd5.", "hq1.", "hq6.", "hd1."}) {
        b.assign(v, v + std::strlen(v));
        EXPECT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0),
                  std::strlen(v) == 4 && v[2] != '5' ? 0xA0020001u : 0xA0020002u)
            << v;
    }
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.GetRecordSize(), 0u);
    EXPECT_EQ(f.GetDataOffset(), 0xA0020001u);
    EXPECT_EQ(f.GetDataEnd(), 0u);
    Recorder r;
    EXPECT_EQ(f.ReadRecords(0, 0, r.Records()), int32_t(0xA0020001u));
    ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    EXPECT_EQ(f.GetRecordSize(), 20u);
    EXPECT_EQ(f.GetCodeCount(), 2u);
    EXPECT_TRUE(f.IsDataComplete());
    EXPECT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0x80020016u);
}

TEST(QuoteFileRead, RangeNormalisation) {
    qw::Table t = Numbered();
    Bytes img = qw::NativeImage(t);
    CHQuoteFile f;
    ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    img.assign(img.size(), 0);  // capacity 0 copied the image
    const uint32_t s = f.GetRecordSize();
    struct Case {
        int32_t first, count;
        int32_t result;
        uint32_t from;
    } cases[] = {
        {0, 0, 10, 0},  {-1, 1, 1, 9},   {5, -3, 3, 3},      {3, 100, 7, 3},
        {-10, 2, 2, 0}, {2, -100, 3, 0}, {5, INT_MIN, 6, 0}, {9, INT_MAX, 1, 9},
    };
    for (const Case& c : cases) {
        Recorder r(f);
        ASSERT_EQ(f.ReadRecords(c.first, c.count, r.Records()), c.result) << c.first << "," << c.count;
        ASSERT_EQ(r.calls.size(), 2u);
        EXPECT_FALSE(r.calls[0].records);
        EXPECT_EQ(r.calls[0].count, c.result);
        EXPECT_EQ(r.calls[1].count, c.result);
        for (int32_t i = 0; i < c.result; ++i) EXPECT_EQ(FirstNumber(r.calls[1].bytes, i, s), c.from + i);
    }
    for (int32_t first : {10, -11, 1000}) {
        Recorder r;
        EXPECT_EQ(f.ReadRecords(first, 1, r.Records()), int32_t(0xA002000Eu));
        EXPECT_TRUE(r.calls.empty());
    }
    Recorder stop;
    stop.announceResult = -1;
    EXPECT_EQ(f.ReadRecords(0, 0, stop.Records()), -1);
    EXPECT_EQ(stop.calls.size(), 1u);
    Recorder late;
    late.deliverResult = -7;
    EXPECT_EQ(f.ReadRecords(0, 0, late.Records()), -7);
}

TEST(QuoteFileRead, CodesOfEveryFamily) {
    qw::Table t = Numbered();
    std::vector<Bytes> images = {qw::NativeImage(t), qw::CompactImage(t), qw::Hq6Image(t, 0), qw::Hq6Image(t, 0x10)};
    for (const char* v : {"hd3.0", "hd3.1", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        images.push_back(qw::CompactImage(t, o));
    }
    for (const Bytes& img : images) {
        CHQuoteFile f;
        ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u) << img[0] << img[1] << img[2];
        ASSERT_EQ(f.GetCodeCount(), 2u);
        Recorder r = ReadCodes(f, 1, 0);
        ASSERT_EQ(r.calls.size(), 4u);
        EXPECT_EQ(r.calls[0].key, "600000");
        EXPECT_EQ(r.calls[0].count, 4);
        EXPECT_EQ(r.calls[1].count, 4);
        EXPECT_EQ(FirstNumber(r.calls[1].bytes, 0, r.recordSize), 1u);
        EXPECT_EQ(r.calls[3].key, "000001");
        EXPECT_EQ(FirstNumber(r.calls[3].bytes, 0, r.recordSize), 6u);
        EXPECT_EQ(FirstNumber(r.calls[3].bytes, 3, r.recordSize), 9u);
        Recorder one = ReadCodes(f, -1, 1);
        ASSERT_EQ(one.calls.size(), 4u);
        EXPECT_EQ(FirstNumber(one.calls[1].bytes, 0, r.recordSize), 4u);
        EXPECT_EQ(FirstNumber(one.calls[3].bytes, 0, r.recordSize), 9u);
        Recorder halt;
        halt.stopAfter = 0;
        f.ReadCodeRecords(0, 0, halt.Codes());
        EXPECT_EQ(halt.calls.size(), 2u);  // a negative result ends the iteration
    }
}

TEST(QuoteFileRead, IndexEdgeCases) {
    qw::Table t = Numbered();
    // A code whose range is absent has no records: announced with 0, not delivered.
    Bytes img = qw::CompactImage(t);
    const size_t e0 = 16 + 4 * t.columns.size() + 4;
    img[e0 + 8] = 0;
    img[e0 + 16] = img[e0 + 17] = 0xFF;
    CHQuoteFile f;
    ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    Recorder r = ReadCodes(f, 0, 0);
    ASSERT_EQ(r.calls.size(), 3u);
    EXPECT_EQ(r.calls[0].count, 0);
    EXPECT_FALSE(r.calls[0].records);
    // A native entry reaching past the records is cut to the records there.
    qw::Table u = t;
    u.codes = {{"600000", 8, 50}, {"0123456789ABCDEF", 20, 3}};
    Bytes n = qw::NativeImage(u);
    CHQuoteFile g;
    ASSERT_EQ(g.OpenMemory(n.data(), uint32_t(n.size()), 0), 0u);
    Recorder q = ReadCodes(g, 0, 0);
    ASSERT_EQ(q.calls.size(), 3u);
    EXPECT_EQ(q.calls[1].count, 2);
    EXPECT_EQ(q.calls[2].key, "0123456789ABCDEF");  // a full key, terminated for the callback
    EXPECT_EQ(q.calls[2].count, 0);
    // Marker 0 with 14001: no index at all.
    qw::CompactOptions o;
    o.marker = 0;
    Bytes m = qw::CompactImage(t, o);
    const size_t idx = 16 + 4 * t.columns.size();
    m[idx + 2] = uint8_t(14001 & 0xFF);
    m[idx + 3] = uint8_t(14001 >> 8);
    CHQuoteFile h;
    ASSERT_EQ(h.OpenMemory(m.data(), uint32_t(m.size()), 0), 0u);
    EXPECT_EQ(h.GetCodeCount(), 0u);
    Recorder none;
    h.ReadCodeRecords(0, 0, none.Codes());
    EXPECT_TRUE(none.calls.empty());
    EXPECT_EQ(h.ReadRecords(0, 0, none.Records()), 10);
}

// A native image whose index is block-chained: records of 16 bytes, so a
// 16-byte block head fills one record slot and a block's records follow it.
Bytes ChainedImage(const std::vector<std::vector<uint32_t>>& slots, const std::vector<std::vector<uint32_t>>& entries) {
    const uint32_t n = uint32_t(entries.size());
    Bytes b = {'h', 'q', '1', '.', '0', 0, 0, 0};
    const uint32_t index = 16 + 40 * n;
    qw::PutU32(b, 32 + 16 + index);
    qw::PutU32(b, uint32_t(slots.size()));
    qw::PutU32(b, uint32_t(slots.size()));
    qw::PutU32(b, 16);
    qw::PutU32(b, 0);
    b.push_back(32), b.push_back(8), qw::PutU16(b, 2);
    qw::PutU32(b, 0x3001), qw::PutU16(b, 0), qw::PutU16(b, 4);
    qw::PutU32(b, 0x6002), qw::PutU16(b, 0), qw::PutU16(b, 12);
    qw::PutU32(b, index), qw::PutU32(b, n), qw::PutU32(b, n);
    b.push_back(16), b.push_back(40), b.push_back(16), b.push_back(1);
    for (const auto& e : entries) {
        Bytes key(16, 0);
        key[0] = uint8_t('A' + (&e - &entries[0]));
        b.insert(b.end(), key.begin(), key.end());
        for (uint32_t v : e) qw::PutU32(b, v);
    }
    for (const auto& s : slots)
        for (uint32_t v : s) qw::PutU32(b, v);
    return b;
}

TEST(QuoteFileRead, BlockChainedIndex) {
    // Code A: blocks at slots 0 (records 0-1) and 5 (records 2-4); code B:
    // one block at slot 3 (records 0-0); code C: a chain 9 -> 11 -> 9 (cycle).
    std::vector<std::vector<uint32_t>> slots = {
        {0, 0, 2, 5},   {100, 0, 0, 0}, {101, 0, 0, 0}, {0, 0, 1, 0},   {200, 0, 0, 0}, {0, 2, 3, 0},  {102, 0, 0, 0},
        {103, 0, 0, 0}, {104, 0, 0, 0}, {0, 0, 1, 11},  {300, 0, 0, 0}, {0, 1, 1, 9},   {301, 0, 0, 0}};
    Bytes img = ChainedImage(slots, {{0, 5, 0, 0, 0, 16}, {0, 1, 3, 0, 0, 0}, {0, 50, 9, 0, 0, 0}});
    CHQuoteFile f;
    ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    ASSERT_EQ(f.GetCodeCount(), 3u);
    Recorder r = ReadCodes(f, 1, 3);
    std::vector<uint32_t> a, c;
    for (const Call& call : r.calls) {
        if (!call.records) continue;
        for (int32_t i = 0; i < call.count; ++i) (call.key == "A" ? a : c).push_back(FirstNumber(call.bytes, i, 16));
    }
    EXPECT_EQ(a, std::vector<uint32_t>({101, 102, 103}));  // skips record 0, crosses into the second block
    // The cyclic chain of C ends; its one record past the first is delivered once.
    EXPECT_EQ(c, std::vector<uint32_t>({301}));
    // A stated capacity far beyond the image does not let a cyclic chain run
    // for billions of steps.
    Bytes wide = ChainedImage(slots, {{0, 5, 0, 0, 0, 16}, {0, 50, 9, 0, 0, 0}});
    for (int i = 0; i < 4; ++i) wide[12 + i] = 0xFF;
    CHQuoteFile w;
    ASSERT_EQ(w.OpenMemory(wide.data(), uint32_t(wide.size()), 0), 0u);
    Recorder wr = ReadCodes(w, 0, 0);
    ASSERT_EQ(wr.calls.size(), 6u);  // A: announce + two blocks; C: announce + two blocks
    EXPECT_EQ(wr.calls[5].key, "B");
    // A block number pointing past the image ends the iteration.
    Bytes bad = ChainedImage(slots, {{0, 5, 200, 0, 0, 16}, {0, 1, 3, 0, 0, 0}});
    CHQuoteFile g;
    ASSERT_EQ(g.OpenMemory(bad.data(), uint32_t(bad.size()), 0), 0u);
    Recorder q = ReadCodes(g, 0, 0);
    EXPECT_EQ(q.calls.size(), 1u);
}

TEST(QuoteFileFields, LookupIgnoresTheKindBits) {
    qw::Table t = Numbered();
    Bytes img = qw::NativeImage(t);
    CHQuoteFile f;
    ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    QuoteFieldDescriptor d;
    EXPECT_EQ(f.GetFieldInfo(0x7005, &d), 0u);
    EXPECT_EQ(d.id, 0x0005u);
    EXPECT_EQ(d.attr, 3u);
    EXPECT_EQ(d.width, 8u);
    EXPECT_EQ(d.offset, 4u);
    EXPECT_EQ(f.GetFieldInfo(0x2002, &d), 0u);
    EXPECT_EQ(d.offset, 12u);
    EXPECT_EQ(f.GetFieldInfo(0x0009, &d), 0xFFFFFFFFu);
    EXPECT_EQ(d.id, 0u);
    EXPECT_EQ(d.offset, 0u);
    EXPECT_TRUE(f.GetColumnInfo(2, &d));
    EXPECT_EQ(d.id, 0x1002u);
    EXPECT_EQ(d.offset, 12u);
    EXPECT_TRUE(f.GetColumnInfo(0, &d));
    EXPECT_EQ(d.offset, 0u);
    EXPECT_FALSE(f.GetColumnInfo(3, &d));
    // High halves from a compact file's flag bit 0 take part in the match.
    qw::Table h = t;
    h.columns[1].id = 0x00070005;
    qw::CompactOptions o;
    o.highIds = true;
    Bytes c = qw::CompactImage(h, o);
    CHQuoteFile g;
    ASSERT_EQ(g.OpenMemory(c.data(), uint32_t(c.size()), 0), 0u);
    EXPECT_EQ(g.GetFieldInfo(0x0005, &d), 0xFFFFFFFFu);
    EXPECT_EQ(g.GetFieldInfo(0x00077005, &d), 0u);
    EXPECT_EQ(d.id, 0x00070005u);
}

TEST(QuoteFileOpen, InPlaceCopiesAndLifecycle) {
    qw::Table t = Numbered();
    Bytes native = qw::NativeImage(t);
    CHQuoteFile f;
    ASSERT_EQ(f.OpenMemory(native.data(), uint32_t(native.size()), 0xFFFFFFFD), 0u);
    EXPECT_EQ(f.GetBuffer(), native.data());  // used in place
    Recorder r(f);
    EXPECT_EQ(f.ReadRecords(0, 0, r.Records()), 10);
    EXPECT_EQ(r.calls[1].bytes, t.data);
    f.Close();
    // A compact image attached in place cannot grow into its native form.
    Bytes compact = qw::CompactImage(t);
    EXPECT_EQ(f.OpenMemory(compact.data(), uint32_t(compact.size()), 0xFFFFFFFD), 0xA002001Fu);
    EXPECT_FALSE(f.IsOpen());
    // Copied, the compact image converts; the caller's bytes stay as they were.
    Bytes keep = compact;
    ASSERT_EQ(f.OpenMemory(compact.data(), uint32_t(compact.size()), 0), 0u);
    EXPECT_EQ(compact, keep);
    EXPECT_EQ(f.GetLength64(), native.size());
    EXPECT_EQ(std::memcmp(f.GetBuffer(), native.data(), native.size()), 0);
    EXPECT_TRUE(f.IsDataComplete());
    // An image far longer than its native form: the block shrinks under the
    // conversion and the reader follows it.
    Bytes padded = qw::CompactImage(t);
    padded.resize(padded.size() * 4, 0x5A);
    CHQuoteFile p;
    ASSERT_EQ(p.OpenMemory(padded.data(), uint32_t(padded.size()), 0), 0u);
    Recorder pr(p);
    EXPECT_EQ(p.ReadRecords(0, 0, pr.Records()), 10);
    EXPECT_EQ(pr.calls[1].bytes, t.data);
    // Copies made through the file-object operations are quote files too.
    corvane::CTLFileObj* clone = f.Clone();
    ASSERT_NE(clone, nullptr);
    auto* q = dynamic_cast<CHQuoteFile*>(clone);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->GetCodeCount(), 2u);
    delete clone;
    EXPECT_EQ(f.ResetMemory(), 0u);
    EXPECT_EQ(f.GetRecordSize(), 0u);
    EXPECT_EQ(f.GetLength64(), 0u);
    EXPECT_FALSE(f.IsDataComplete());
}

// A folder of its own: the test must not meet a file of another run.
class QuoteFileOnDisk : public kvotest::TempDirTest {
protected:
    QuoteFileOnDisk() : TempDirTest("kvo_quotefile") {}
};

TEST_F(QuoteFileOnDisk, ByPathAndFromAnotherFileObject) {
    qw::Table t = Numbered();
    Bytes img = qw::Hq6Image(t, 0x10);
    std::string path = dir_ + "/qf_by_path.hq6";
    {
        corvane::CTLFileObj w;
        ASSERT_EQ(w.Open(path.c_str(), 0x2002), 0u);
        ASSERT_EQ(w.Write(img.data(), uint32_t(img.size())), uint32_t(img.size()));
    }
    CHQuoteFile f;
    ASSERT_EQ(f.Open(path.c_str(), 0x2001), 0u);
    EXPECT_EQ(f.GetRecordCount(), 10u);
    corvane::CTLFileObj disk;
    ASSERT_EQ(disk.Open(path.c_str(), 0x2001), 0u);
    CHQuoteFile g;
    ASSERT_EQ(g.OpenMemory(&disk, 1, 0xFFFFFFFE), 0u);
    EXPECT_EQ(g.GetCodeCount(), 2u);
    CHQuoteFile disk2;
    EXPECT_EQ(disk2.ResetMemory(), 0xA0020001u);
}

// A tiny image that states a native size near the limit is refused: only a
// bounded spare beyond its header, index and records is granted
// (qf_reserve_test measures what is reserved).
TEST(QuoteFileOpen, StatedSizeBeyondTheSpareIsRefused) {
    qw::Table t = Numbered();
    qw::Hq6Options o;
    o.nativeSizeAdjust = 0x7FFF0000;
    Bytes img = qw::Hq6Image(t, 0x10, o);
    CHQuoteFile f;
    EXPECT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), QF_E_NOMEM);
    EXPECT_FALSE(f.IsOpen());
    o.nativeSizeAdjust = int64_t(QF_MAX_SPARE);
    img = qw::Hq6Image(t, 0x10, o);
    EXPECT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);  // the records fit; the rest is slack
    EXPECT_EQ(f.GetRecordCount(), 10u);
    Bytes bad = img;
    bad[bad.size() - 3] ^= 0x55;  // a broken snappy stream
    CHQuoteFile g;
    EXPECT_NE(g.OpenMemory(bad.data(), uint32_t(bad.size()), 0), 0u);
    EXPECT_FALSE(g.IsOpen());
}

using qw::IsQuoteFileCode;

// Reads everything an opened file offers and checks it against what the file
// states: every record of the file in one delivery, every code's records
// inside the file's records.
void ReadAllWithinBounds(CHQuoteFile& f, const std::string& what) {
    const uint32_t count = f.GetRecordCount();
    const uint32_t s = f.GetRecordSize();
    ASSERT_LE(f.GetDataOffset() + uint64_t(count) * s, f.GetLength64()) << what;
    Recorder r(f);
    const int32_t n = f.ReadRecords(0, 0, r.Records());
    if (count == 0) {
        EXPECT_EQ(n, int32_t(QF_E_RANGE)) << what;
        EXPECT_TRUE(r.calls.empty()) << what;
    } else {
        ASSERT_EQ(n, int32_t(count)) << what;
        ASSERT_EQ(r.calls.size(), 2u) << what;
        EXPECT_EQ(r.calls[1].bytes.size(), uint64_t(count) * s) << what;
    }
    Recorder c = ReadCodes(f, 0, 0);
    for (const Call& call : c.calls) {
        EXPECT_GE(call.count, 0) << what;
        EXPECT_LE(uint32_t(call.count), count) << what;
    }
    QuoteFieldDescriptor d;
    if (f.GetFieldInfo(0x3001, &d) == 0) {
        EXPECT_LE(uint64_t(d.offset) + d.width, s) << what;
    }
}

// Hostile images through the whole reader. The whole image opens and gives
// back its records and codes; every image cut short is refused with a
// quote-file code; a mutated image is refused with such a code or read within
// what it states (ASan watches the bytes).
TEST(QuoteFileRobustness, TruncatedAndMutatedImages) {
    qw::Table t = Numbered(12);
    std::vector<Bytes> images = {qw::NativeImage(t), qw::CompactImage(t), qw::Hq6Image(t, 0x10)};
    qw::CompactOptions o;
    o.version = "hd3.1";
    images.push_back(qw::CompactImage(t, o));
    std::mt19937 rng(5);
    for (const Bytes& img : images) {
        const std::string family(img.begin(), img.begin() + 5);
        {
            CHQuoteFile f;
            ASSERT_EQ(f.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u) << family;
            ASSERT_EQ(f.GetRecordCount(), 12u) << family;
            ASSERT_EQ(f.GetRecordSize(), t.recordSize) << family;
            Recorder r(f);
            ASSERT_EQ(f.ReadRecords(0, 0, r.Records()), 12) << family;
            EXPECT_EQ(r.calls[1].bytes, t.data) << family;
            Recorder c = ReadCodes(f, 0, 0);
            ASSERT_EQ(c.calls.size(), 4u) << family;
            EXPECT_EQ(c.calls[1].bytes, Bytes(t.data.begin(), t.data.begin() + 6 * t.recordSize)) << family;
            EXPECT_EQ(c.calls[3].bytes, Bytes(t.data.begin() + 6 * t.recordSize, t.data.end())) << family;
        }
        for (size_t n = 1; n < img.size(); ++n) {
            Bytes cut(img.begin(), img.begin() + n);
            CHQuoteFile f;
            const uint32_t rc = f.OpenMemory(cut.data(), uint32_t(cut.size()), 0);
            EXPECT_TRUE(IsQuoteFileCode(rc)) << family << " cut at " << n << " gives " << std::hex << rc;
            EXPECT_FALSE(f.IsOpen()) << family << " cut at " << n;
        }
        for (int i = 0; i < 300; ++i) {
            Bytes b = img;
            for (int k = 0; k < 3; ++k) b[rng() % b.size()] ^= uint8_t(1 + rng() % 255);
            CHQuoteFile f;
            const uint32_t rc = f.OpenMemory(b.data(), uint32_t(b.size()), 0);
            const std::string what = family + " mutation " + std::to_string(i);
            if (rc != 0) {
                EXPECT_TRUE(IsQuoteFileCode(rc)) << what << " gives " << std::hex << rc;
                EXPECT_FALSE(f.IsOpen()) << what;
                continue;
            }
            ReadAllWithinBounds(f, what);
        }
    }
    // Flips inside the records of a native image change those bytes only.
    const Bytes native = images[0];
    const size_t data = native.size() - t.data.size();
    for (int i = 0; i < 50; ++i) {
        Bytes b = native;
        const size_t at = data + rng() % t.data.size();
        b[at] ^= uint8_t(1 + rng() % 255);
        CHQuoteFile f;
        ASSERT_EQ(f.OpenMemory(b.data(), uint32_t(b.size()), 0), 0u);
        Recorder r(f);
        ASSERT_EQ(f.ReadRecords(0, 0, r.Records()), 12);
        EXPECT_EQ(r.calls[1].bytes, Bytes(b.begin() + int64_t(data), b.end()));
    }
}

}  // namespace
