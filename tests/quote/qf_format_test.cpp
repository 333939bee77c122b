// Quote-file format: classification, native header and index checks, and the
// conversions of compact and "hq6." images, against images from the writer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quote/qf_format.h"
#include "simulator/quote_writer.h"
#include "tests/support/quote_checks.h"

namespace {

using qw::Bytes;

struct Opened {
    uint32_t rc = 0;
    Bytes image;
    QfNativeInfo info;
};

// Brings an image into native form the way an in-memory open does.
Opened ToNative(const Bytes& img) {
    Opened o;
    QfConvertPlan plan;
    o.rc = QF_PlanConversion(img.data(), img.size(), &plan);
    if (o.rc) return o;
    // Hostile headers may state sizes up to the layer's limit; the file object
    // maps such blocks lazily, a test vector would zero them all.
    if (plan.nativeSize > (32u << 20)) {
        o.rc = QF_E_NOMEM;
        return o;
    }
    Bytes buf(std::max<uint64_t>(img.size(), plan.nativeSize));
    std::memcpy(buf.data(), img.data(), img.size());
    uint64_t len = img.size();
    if (plan.family == QF_FAMILY_COMPACT)
        o.rc = QF_ConvertCompact(buf.data(), img.size(), buf.size(), plan, &len);
    else if (plan.family == QF_FAMILY_VARLEN)
        o.rc = QF_ConvertVarLen(buf.data(), img.size(), buf.size(), plan, &len);
    if (o.rc) return o;
    buf.resize(len);
    o.rc = QF_ParseNative(buf.data(), buf.size(), plan.family != QF_FAMILY_NATIVE, &o.info);
    o.image = std::move(buf);
    return o;
}

Bytes Records(const Opened& o) {
    const auto& h = o.info.header;
    auto at = o.image.begin() + h.dataOffset;
    return Bytes(at, at + uint64_t(h.count) * h.recordSize);
}

// A small quote table: code text, price (32-bit packed), volume, 64-bit value
// and a name, with two codes in its index.
qw::Table Sample(uint32_t records = 10) {
    qw::Table t =
        qw::MakeTable({{0x1001, 1, 8}, {0x7002, 0, 4}, {0x3003, 2, 4}, {0x0004, 0, 8}, {0x2005, 0, 12}}, records);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetText(t, r, 0, r < records / 2 ? "600000" : "600036");
        qw::SetU32(t, r, 1, 0x10000000u + 1000 + r * 3);
        qw::SetU32(t, r, 2, r * 100);
        qw::SetU64(t, r, 3, 0x0800000000000000ull | (r * 77));
        qw::SetText(t, r, 4, r % 3 ? "name" : "other name");
    }
    t.codes = {{"600000", 0, records / 2}, {"600036", records / 2, records - records / 2}};
    return t;
}

TEST(QfClassify, EveryVersionText) {
    struct Row {
        const char* text;
        uint32_t rc;
        int family;
        uint32_t flags;
    } rows[] = {
        {"hq1.0", 0, QF_FAMILY_NATIVE, 0},
        {"hq6.0", 0, QF_FAMILY_VARLEN, 0x10},
        {"hd1.3", 0, QF_FAMILY_VARLEN, 0x10000000},
        {"hd1.2", QF_E_VERSION, 0, 0},
        {"hd1.0", 0, QF_FAMILY_COMPACT, 0},
        {"hd1.9", 0, QF_FAMILY_COMPACT, 0},
        {"hd3.0", 0, QF_FAMILY_COMPACT, 1},
        {"hd3.1", 0, QF_FAMILY_COMPACT, 2},
        {"hd3.7", QF_E_VERSION, 0, 0},
        {"hd4.1", 0, QF_FAMILY_COMPACT, 3},
        {"hd4.0", QF_E_VERSION, 0, 0},
        {"hd5.0", 0, QF_FAMILY_COMPACT, 5},
        {"hd5.1", 0, QF_FAMILY_COMPACT, 6},
        {"hd5.2", QF_E_VERSION, 0, 0},
        {"hq2.0", QF_E_VERSION, 0, 0},
        {"hx1.0", QF_E_NOTQUOTE, 0, 0},
        {"Hq1.0", QF_E_NOTQUOTE, 0, 0},
        {"h", QF_E_NOTQUOTE, 0, 0},
        // Texts of two to four bytes: a pattern longer than the text does not
        // match, so the last row answers unless a whole pattern fits.
        {"hq", QF_E_VERSION, 0, 0},
        {"hd", QF_E_VERSION, 0, 0},
        {"hq1", QF_E_VERSION, 0, 0},
        {"hd5.", QF_E_VERSION, 0, 0},
        {"hd3.", QF_E_VERSION, 0, 0},
        {"hq6.", 0, QF_FAMILY_VARLEN, 0x10},
        {"hd1.", 0, QF_FAMILY_COMPACT, 0},
        {"hx", QF_E_NOTQUOTE, 0, 0},
    };
    for (const Row& r : rows) {
        uint32_t flags = 0xDEAD;
        int family = -1;
        // Exactly the text's bytes, on the heap, so a longer read shows.
        Bytes text(r.text, r.text + std::strlen(r.text));
        EXPECT_EQ(QF_Classify(text.data(), text.size(), &flags, &family), r.rc) << r.text;
        if (r.rc == 0) {
            EXPECT_EQ(family, r.family) << r.text;
            EXPECT_EQ(flags, r.flags) << r.text;
        }
    }
    EXPECT_EQ(QF_Classify(nullptr, 5, nullptr, nullptr), QF_E_NOTQUOTE);
}

TEST(QfDecoderCodes, MapOntoResultCodes) {
    EXPECT_EQ(QF_MapDecoderCode(-1), 0xA0020022u);
    EXPECT_EQ(QF_MapDecoderCode(-2), 0xA0020023u);
    EXPECT_EQ(QF_MapDecoderCode(-3), 0xA0020021u);
    EXPECT_EQ(QF_MapDecoderCode(-4), 0xA0020024u);
    EXPECT_EQ(QF_MapDecoderCode(-5), 0xA0020020u);
    EXPECT_EQ(QF_MapDecoderCode(-9), 0xA0020025u);
}

TEST(QfNative, ValidImagesWithAndWithoutIndex) {
    qw::Table t = Sample();
    Opened o = ToNative(qw::NativeImage(t));
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.header.count, 10u);
    EXPECT_EQ(o.info.columns.size(), 5u);
    EXPECT_EQ(o.info.columns[1].id, 0x7002u);
    EXPECT_EQ(o.info.index.count, 2u);
    EXPECT_EQ(o.info.indexOffset, 32u + 40u);
    EXPECT_EQ(Records(o), t.data);
    t.codes.clear();
    o = ToNative(qw::NativeImage(t));
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.indexOffset, 0u);
}

void Patch32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

TEST(QfNative, RefusesInvalidHeaders) {
    const Bytes good = qw::NativeImage(Sample());
    struct Case {
        const char* what;
        std::function<void(Bytes&)> patch;
        uint32_t rc;
    } cases[] = {
        {"count above capacity", [](Bytes& b) { Patch32(b, 16, 11); }, QF_E_NOTQUOTE},
        {"no columns", [](Bytes& b) { b[30] = b[31] = 0; }, QF_E_NOTQUOTE},
        {"fixed size 0", [](Bytes& b) { b[28] = 0; }, QF_E_NOTQUOTE},
        {"entry size 0", [](Bytes& b) { b[29] = 0; }, QF_E_NOTQUOTE},
        {"entry size below 8", [](Bytes& b) { b[29] = 4; }, QF_E_NOTQUOTE},
        {"record size 0", [](Bytes& b) { Patch32(b, 20, 0); }, QF_E_NOTQUOTE},
        {"columns wider than the record", [](Bytes& b) { Patch32(b, 20, 20); }, QF_E_NOTQUOTE},
        {"data offset inside the header", [](Bytes& b) { Patch32(b, 8, 40); }, QF_E_NOTQUOTE},
        {"data offset past the end", [](Bytes& b) { Patch32(b, 8, 0x7FFFFFFF); }, QF_E_NOTQUOTE},
        {"records past the end",
         [](Bytes& b) {
             Patch32(b, 12, 100000);
             Patch32(b, 16, 100000);
         },
         QF_E_NOTQUOTE},
        {"huge record size", [](Bytes& b) { Patch32(b, 20, 0xFFFFFFFF); }, QF_E_NOTQUOTE},
        {"column table past the end",
         [](Bytes& b) {
             b[30] = 0xFF;
             b[31] = 0xFF;
         },
         QF_E_NOTQUOTE},
        {"wrong text", [](Bytes& b) { b[2] = '2'; }, QF_E_VERSION},
        {"index kind 2", [](Bytes& b) { b[72 + 15] = 2; }, QF_E_INDEX},
        {"index longer than its room", [](Bytes& b) { Patch32(b, 72, 1000); }, QF_E_INDEX},
        {"index count above capacity", [](Bytes& b) { Patch32(b, 72 + 8, 3); }, QF_E_INDEX},
        {"index capacity 0", [](Bytes& b) { Patch32(b, 72 + 4, 0); }, QF_E_INDEX},
        {"index entries too small", [](Bytes& b) { b[72 + 13] = 20; }, QF_E_INDEX},
        {"index key larger than entry", [](Bytes& b) { b[72 + 14] = 40; }, QF_E_INDEX},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        c.patch(b);
        EXPECT_EQ(ToNative(b).rc, c.rc) << c.what;
    }
    Bytes shortImage(good.begin(), good.begin() + 20);
    EXPECT_EQ(ToNative(shortImage).rc, QF_E_NOTQUOTE);
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + n);
        EXPECT_NE(ToNative(cut).rc, 0u) << n;
    }
}

TEST(QfCompact, RawConversionEqualsTheNativeImage) {
    qw::Table t = Sample();
    for (bool high : {false, true}) {
        for (bool index : {false, true}) {
            qw::Table u = t;
            if (high) {
                u.flags = 1;
                u.columns[2].id |= 0x00050000;
            }
            if (!index) u.codes.clear();
            qw::CompactOptions opt;
            opt.highIds = high;
            Opened o = ToNative(qw::CompactImage(u, opt));
            ASSERT_EQ(o.rc, 0u) << high << index;
            EXPECT_EQ(o.image, qw::NativeImage(u)) << "high " << high << " index " << index;
        }
    }
}

TEST(QfCompact, IndexCountMarkers) {
    qw::Table t = Sample();
    // Marker 0: the count is 14 bits, above 14000 means no index.
    qw::CompactOptions opt;
    opt.marker = 0;
    Bytes img = qw::CompactImage(t, opt);
    Opened o = ToNative(img);
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.index.count, 2u);
    const size_t idx = 16 + 4 * t.columns.size();
    img[idx + 2] = uint8_t(14001 & 0xFF);
    img[idx + 3] = uint8_t(14001 >> 8);
    o = ToNative(img);
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.indexOffset, 0u);
    EXPECT_EQ(Records(o), t.data);
    // With marker 0 the top two bits do not count.
    img[idx + 2] = 2;
    img[idx + 3] = 0xC0;
    EXPECT_EQ(ToNative(img).rc, 0u);
    // A count that the index bytes cannot hold.
    img[idx + 3] = 0;
    img[idx + 2] = 200;
    EXPECT_EQ(ToNative(img).rc, QF_E_INDEX);

    // Marker 0xFFFF: all 16 bits count.
    qw::Table big = qw::MakeTable({{0x1001, 0, 8}, {0x3002, 0, 4}}, 20000);
    for (uint32_t i = 0; i < 20000; ++i) {
        big.codes.push_back({std::to_string(100000 + i), i, 1});
        qw::SetText(big, i, 0, std::to_string(100000 + i));
        qw::SetU32(big, i, 1, i);
    }
    o = ToNative(qw::CompactImage(big));
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.index.count, 20000u);
    EXPECT_EQ(Records(o), big.data);
}

TEST(QfCompact, AbsentRangeReadsAsNoRecords) {
    qw::Table t = Sample();
    Bytes img = qw::CompactImage(t);
    const size_t e0 = 16 + 4 * t.columns.size() + 4;
    img[e0 + 8] = 0;  // range end 0x00FFFF
    img[e0 + 16] = 0xFF;
    img[e0 + 17] = 0xFF;
    Opened o = ToNative(img);
    ASSERT_EQ(o.rc, 0u);
    const uint8_t* entry = o.image.data() + o.info.indexOffset + 16;
    uint32_t end, count, first;
    std::memcpy(&end, entry + 16, 4);
    std::memcpy(&count, entry + 20, 4);
    std::memcpy(&first, entry + 24, 4);
    EXPECT_EQ(end, 0xFFFFFFFFu);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(first, 0u);
    // The second code is untouched.
    std::memcpy(&count, entry + 28 + 20, 4);
    EXPECT_EQ(count, 5u);
}

TEST(QfCompact, EveryBlockKindGivesTheRawRecords) {
    qw::Table t = Sample(40);
    // Kind 5 codes are full width (its tails cannot end in a zero byte).
    qw::Table full = t;
    for (uint32_t r = 0; r < full.records; ++r) qw::SetText(full, r, 0, r < 20 ? "60000001" : "60003602");
    qw::SetAbsent(t, 3, 1);
    qw::SetAbsent(t, 7, 4);
    for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.1"}) {
        qw::CompactOptions opt;
        opt.version = v;
        Opened o = ToNative(qw::CompactImage(t, opt));
        ASSERT_EQ(o.rc, 0u) << v;
        EXPECT_EQ(Records(o), t.data) << v;
        EXPECT_EQ(o.image, qw::NativeImage(t)) << v;
    }
    qw::CompactOptions opt;
    opt.version = "hd5.0";
    Opened o = ToNative(qw::CompactImage(full, opt));
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(Records(o), full.data);
}

TEST(QfCompact, DeltaBitmapsOfEveryGroupShape) {
    // 8, 32 and 33 columns: one short group, four full bytes and an empty last
    // group (which later records still carry), and a one-byte last group.
    for (uint32_t columns : {8u, 32u, 33u}) {
        std::vector<qw::Column> cols;
        for (uint32_t c = 0; c < columns; ++c) cols.push_back({0x3000u | (c + 1), 0, 4});
        qw::Table t = qw::MakeTable(cols, 5);
        for (uint32_t r = 0; r < 5; ++r)
            for (uint32_t c = 0; c < columns; ++c) {
                if ((r + c) % 7 == 3)
                    qw::SetAbsent(t, r, c);
                else
                    qw::SetU32(t, r, c, r * 1000 + c);
            }
        for (const char* v : {"hd5.1", "hd5.0"}) {
            qw::CompactOptions opt;
            opt.version = v;
            Opened o = ToNative(qw::CompactImage(t, opt));
            ASSERT_EQ(o.rc, 0u) << v << " " << columns;
            EXPECT_EQ(Records(o), t.data) << v << " " << columns;
        }
    }
}

TEST(QfCompact, Refusals) {
    qw::Table t = Sample();
    Bytes img = qw::CompactImage(t);
    Bytes b = img;
    b[0] = 'h', b[1] = 'd', b[2] = '4', b[3] = '.', b[4] = '1';
    b[16] = 4, b[17] = 0;
    EXPECT_EQ(ToNative(b).rc, QF_E_CODEDCOLS);  // no column-block decoder
    b = img;
    b[14] = 0;
    b[15] &= 0xC0;  // no columns
    EXPECT_EQ(ToNative(b).rc, QF_E_NOTQUOTE);
    b = img;
    b[12] = 4;  // record narrower than its columns
    b[13] = 0;
    EXPECT_EQ(ToNative(b).rc, QF_E_NOTQUOTE);
    b = img;
    b[5] = 0xFF;  // data offset far past the end
    EXPECT_EQ(ToNative(b).rc, QF_E_NOTQUOTE);
    b = Bytes(img.begin(), img.end() - 1);  // raw records cut short
    EXPECT_EQ(ToNative(b).rc, QF_E_NOTQUOTE);
    b = img;
    b[6] = b[7] = b[8] = 0xFF;  // 16M records x 64K bytes
    b[12] = b[13] = 0xFF;
    EXPECT_EQ(ToNative(b).rc, QF_E_NOMEM);
}

struct FixedColumns {
    std::vector<QfColumn> columns;
    int Decode(const QfCodedColumnBlock* block, std::vector<QfColumn>* out) {
        if (block->length != 4) return -1;
        *out = columns;
        return 0;
    }
};

TEST(QfCompact, CodedColumnBlockGoesThroughTheHook) {
    // "hd4.1": a coded column block of 4 bytes at offset 16, then raw data.
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}, {0x3002, 0, 4}}, 3);
    Bytes img = {'h', 'd', '4', '.', '1', 0, 3, 0, 0, 0, 20, 0, 8, 0, 2, 0, 4, 0, 0xAB, 0xCD};
    img.insert(img.end(), t.data.begin(), t.data.end());
    EXPECT_EQ(ToNative(img).rc, QF_E_CODEDCOLS);  // no hook: the system's state
    FixedColumns hook{{{0x3001, 0, 4}, {0x3002, 0, 4}}};
    QF_SetColumnBlockHook(QfColumnBlockHook::Bind<&FixedColumns::Decode>(&hook));
    // The columns come from the hook; the block kind itself has no decoder.
    EXPECT_EQ(ToNative(img).rc, QF_E_KIND);
    hook.columns.pop_back();  // a count other than the header's
    EXPECT_EQ(ToNative(img).rc, QF_E_CODEDCOLS);
    QF_SetColumnBlockHook(QfColumnBlockHook());
    EXPECT_EQ(ToNative(img).rc, QF_E_CODEDCOLS);
}

TEST(QfVarLen, RawAndSnappyWithIndexAndColumns) {
    qw::Table t = Sample(25);
    qw::SetAbsent(t, 2, 1);
    qw::SetAbsent(t, 0, 3);
    qw::SetText(t, 4, 4, "full width!!");
    for (uint32_t compression : {0u, 0x10u}) {
        Opened o = ToNative(qw::Hq6Image(t, compression));
        ASSERT_EQ(o.rc, 0u) << compression;
        EXPECT_EQ(o.image, qw::NativeImage(t)) << compression;
    }
    t.codes.clear();
    Opened o = ToNative(qw::Hq6Image(t, 0x10));
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(Records(o), t.data);
    EXPECT_EQ(o.info.indexOffset, 0u);
}

TEST(QfVarLen, Refusals) {
    qw::Table t = Sample();
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0x20)).rc, QF_E_KIND);
    qw::Hq6Options o;
    o.nativeSizeAdjust = -1;
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0, o)).rc, QF_E_OUTPUT);  // raw data does not fit
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0x10, o)).rc, QF_E_DEC_SIZE);
    o = {};
    o.version = "hd1.3";
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0, o)).rc, QF_E_KIND);
    o = {};
    o.headerSize = 0;
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0, o)).rc, QF_E_OUTPUT);
    o = {};
    o.headerSize = 20;  // smaller than the header it describes
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0, o)).rc, QF_E_OUTPUT);
    o = {};
    o.codedColumns = true;
    EXPECT_EQ(ToNative(qw::Hq6Image(t, 0, o)).rc, QF_E_CODEDCOLS);
    Bytes img = qw::Hq6Image(t, 0);
    EXPECT_EQ(ToNative(Bytes(img.begin(), img.end() - 1)).rc, QF_E_OUTPUT);  // sections past the end
    qw::Table shortData = t;
    shortData.data.pop_back();  // raw data one byte short of the records
    EXPECT_EQ(ToNative(qw::Hq6Image(shortData, 0)).rc, QF_E_NOTQUOTE);
}

// Images worked out byte by byte from the format's field tables, independent
// of the test writer: the writer must produce them and the reader must turn
// them into the native images worked out the same way.
void ExpectHandImage(const Bytes& written, const Bytes& stored, const qw::Table& t, const Bytes& native) {
    EXPECT_EQ(written, stored);
    EXPECT_EQ(qw::NativeImage(t), native);
    Opened o = ToNative(stored);
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.image, native);
}

TEST(QfHandComputed, CompactWithHighIdsAndIndex) {
    // "hd1.0", D = 44 (header 16 + 4 + 2, index 4 + 18), 2 records of 4 bytes,
    // flag byte 1, column 0x3001 (high half 5) attr 2 width 4, code "AB" 0..2.
    const Bytes compact = {0x68, 0x64, 0x31, 0x2E, 0x30, 0x00, 0x02, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x04,
                           0x00, 0x01, 0x00, 0x01, 0x30, 0x02, 0x04, 0x05, 0x00, 0xFF, 0xFF, 0x01, 0x00,
                           0x41, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x02, 0x00, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
    const Bytes native = {0x68, 0x71, 0x31, 0x2E, 0x30, 0x00, 0x00, 0x00, 0x54, 0x00, 0x00, 0x00, 0x02, 0x00,
                          0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x20, 0x08, 0x01, 0x00, 0x01, 0x30, 0x05, 0x00, 0x02, 0x00, 0x04, 0x00, 0x2C, 0x00,
                          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x1C, 0x10, 0x00,
                          0x41, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
    qw::Table t = qw::MakeTable({{0x00053001, 2, 4}}, 2);
    t.flags = 1;
    qw::SetU32(t, 0, 0, 0x11223344);
    qw::SetU32(t, 1, 0, 0x55667788);
    t.codes = {{"AB", 0, 2}};
    qw::CompactOptions opt;
    opt.highIds = true;
    ExpectHandImage(qw::CompactImage(t, opt), compact, t, native);
}

TEST(QfHandComputed, Hq6WithNegativeColumnDeltaAndIndex) {
    // Columns 0x7002 (width 4) then 0x3001 (attr 1, width 4): the second id is
    // stored as -16385 (7E 7F FF) against the first, its attr/width word as +1.
    const Bytes hq6 = {0x68, 0x71, 0x36, 0x2E, 0x30, 0x00, 0x00, 0x00, 0x05, 0xE4, 0x9A, 0x8E, 0x88, 0x80, 0xB0, 0x08,
                       0x02, 0x71, 0x45, 0x62, 0xE8, 0xB0, 0xAC, 0x80, 0x81, 0x88, 0x80, 0x08, 0x10, 0xA0, 0x01, 0x60,
                       0x82, 0x10, 0x00, 0x80, 0x7E, 0x7F, 0xFF, 0x81, 0x04, 0xAC, 0x81, 0x81, 0x40, 0x38, 0x90, 0xD8,
                       0x80, 0x80, 0x80, 0x81, 0x81, 0x80, 0x05, 0x00, 0x00, 0x10, 0x04, 0x03, 0x02, 0x01};
    const Bytes native = {0x68, 0x71, 0x31, 0x2E, 0x30, 0x00, 0x00, 0x00, 0x5C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x08,
                          0x02, 0x00, 0x02, 0x70, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x30, 0x00, 0x00, 0x01,
                          0x00, 0x04, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x10, 0x1C, 0x10, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x05, 0x00, 0x00, 0x10, 0x04, 0x03, 0x02, 0x01};
    qw::Table t = qw::MakeTable({{0x7002, 0, 4}, {0x3001, 1, 4}}, 1);
    qw::SetU32(t, 0, 0, 0x10000005);
    qw::SetU32(t, 0, 1, 0x01020304);
    t.codes = {{"X", 0, 1}};
    ExpectHandImage(qw::Hq6Image(t, 0), hq6, t, native);
}

TEST(QfHandComputed, CompactDataOffsetUsesAllThreeParts) {
    // D = 0x61234: bits 0-15 at 10, bits 16-17 in the top of the u16 at 14,
    // bits 18-25 in byte 5. Marker 0 with count 0: no codes, only slack.
    const uint64_t D = 0x61234;
    Bytes img(D + 6, 0);
    const uint8_t head[] = {'h',  'd',  '1',  '.',  '0',  0x01, 0x03, 0x00, 0x00, 0x00,
                            0x34, 0x12, 0x02, 0x00, 0x01, 0x80, 0x03, 0x30, 0x00, 0x02};
    std::memcpy(img.data(), head, sizeof head);
    const uint8_t recs[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    std::memcpy(img.data() + D, recs, sizeof recs);
    Opened o = ToNative(img);
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.info.header.dataOffset, 40u);
    EXPECT_EQ(o.info.header.count, 3u);
    EXPECT_EQ(o.info.header.recordSize, 2u);
    ASSERT_EQ(o.info.columns.size(), 1u);
    EXPECT_EQ(o.info.columns[0].id, 0x3003u);
    EXPECT_EQ(o.info.columns[0].width, 2u);
    EXPECT_EQ(Records(o), Bytes(recs, recs + 6));
    EXPECT_EQ(o.image.size(), 46u);
}

using qw::IsQuoteFileCode;

// Every prefix and many byte flips of valid images of each family. The whole
// image converts to its records; every prefix is refused with a quote-file
// code; a flipped image is refused with such a code or gives a native image
// whose header, index and records lie inside it (ASan watches the buffers).
TEST(QfRobustness, TruncatedAndMutatedImages) {
    qw::Table t = Sample(12);
    qw::Table full = t;
    for (uint32_t r = 0; r < full.records; ++r) qw::SetText(full, r, 0, "6000000" + std::to_string(r % 10));
    std::vector<std::pair<Bytes, const qw::Table*>> images = {
        {qw::NativeImage(t), &t}, {qw::CompactImage(t), &t}, {qw::Hq6Image(t, 0), &t}, {qw::Hq6Image(t, 0x10), &t}};
    for (const char* v : {"hd3.0", "hd3.1", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        images.push_back({qw::CompactImage(t, o), &t});
    }
    qw::CompactOptions o5;
    o5.version = "hd5.0";
    images.push_back({qw::CompactImage(full, o5), &full});
    std::mt19937 rng(42);
    for (const auto& [img, table] : images) {
        const std::string family(img.begin(), img.begin() + 5);
        const Opened whole = ToNative(img);
        ASSERT_EQ(whole.rc, 0u) << family;
        ASSERT_EQ(whole.info.header.count, table->records) << family;
        EXPECT_EQ(Records(whole), table->data) << family;
        for (size_t n = 0; n < img.size(); ++n) {
            const uint32_t rc = ToNative(Bytes(img.begin(), img.begin() + n)).rc;
            EXPECT_TRUE(rc != 0 && IsQuoteFileCode(rc)) << family << " cut at " << n << " gives " << std::hex << rc;
        }
        for (int i = 0; i < 300; ++i) {
            Bytes b = img;
            int flips = 1 + int(rng() % 4);
            for (int f = 0; f < flips; ++f) b[rng() % b.size()] ^= uint8_t(1 + rng() % 255);
            const Opened o = ToNative(b);
            const std::string what = family + " mutation " + std::to_string(i);
            if (o.rc != 0) {
                EXPECT_TRUE(IsQuoteFileCode(o.rc)) << what << " gives " << std::hex << o.rc;
                continue;
            }
            const QfNativeHeader& h = o.info.header;
            EXPECT_LE(h.count, h.capacity) << what;
            EXPECT_LE(o.info.headerLength, h.dataOffset) << what;
            EXPECT_LE(h.dataOffset + uint64_t(h.count) * h.recordSize, o.image.size()) << what;
            EXPECT_LE(o.info.indexOffset + o.info.indexLength, h.dataOffset) << what;
            uint64_t widths = 0;
            for (const QfColumn& c : o.info.columns) widths += c.width;
            EXPECT_LE(widths, h.recordSize) << what;
        }
    }
}

}  // namespace
