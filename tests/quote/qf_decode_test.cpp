// Block decoders: hand-checked vectors, round trips through the writer's
// encoders, and corrupt or truncated blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>

#include "quote/qf_decode.h"
#include "simulator/quote_writer.h"
#include "tests/support/quote_checks.h"

namespace {

using qw::Bytes;

using qw::WorkTable;

// Decodes a block held in an exactly sized heap buffer.
int Decode(uint32_t kind, const Bytes& block, const qw::Table& t, Bytes* out, int64_t avail = -1) {
    Bytes in = block;
    out->assign(uint64_t(t.records) * t.recordSize, 0xEE);
    return QF_DecodeBlock(kind, in.data(), avail < 0 ? int64_t(in.size()) : avail, WorkTable(t), out->data(),
                          out->size());
}

// Table t written as a snappy-coded block and decoded again: names the
// first record that comes back different.
::testing::AssertionResult SnappyRoundTrip(const qw::Table& t) {
    Bytes out;
    const int rc = Decode(QF_BLOCK_SNAPPY, qw::EncodeSnappyColumns(t), t, &out);
    if (rc != 0) return ::testing::AssertionFailure() << "decoding gives " << rc;
    for (uint32_t r = 0; r < t.records; ++r)
        if (std::memcmp(out.data() + uint64_t(r) * t.recordSize, t.data.data() + uint64_t(r) * t.recordSize,
                        t.recordSize) != 0)
            return ::testing::AssertionFailure() << "record " << r << " differs";
    return ::testing::AssertionSuccess();
}

Bytes Rle(const Bytes& in, int* rc) {
    Bytes out;
    *rc = QF_RleDecode(in.data(), in.size(), 1 << 24, &out);
    return out;
}

TEST(QfRle, HandCheckedVectors) {
    int rc;
    EXPECT_EQ(Rle({0, 0, 0, 5, 0x98, 0x41}, &rc), Bytes({0x41, 0, 0, 0, 0}));
    EXPECT_EQ(rc, 0);
    // 1 1 1 (run of 0xFF) then 1 1 1 1 1 1: 12 bytes and extension counts.
    // Flags 1111 1111 | 1.......: the second flag byte comes before the count.
    Bytes ext7f = Rle({0, 0, 0, 139, 0xFF, 0x80, 0x7F}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ext7f, Bytes(139, 0xFF));
    // A first count of 0 ends the token after 12 bytes; a literal pair follows.
    Bytes ext0 = Rle({0, 0, 0, 14, 0xFF, 0x80, 0x00, 0x41, 0x42}, &rc);
    EXPECT_EQ(rc, 0);
    Bytes want(12, 0xFF);
    want.push_back(0x41);
    want.push_back(0x42);
    EXPECT_EQ(ext0, want);
    // FF FF is 32767 and another count follows.
    Bytes big = Rle({0, 0, 0x80, 0x10, 0xFF, 0x80, 0xFF, 0xFF, 0x05}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(big.size(), size_t(0x8010));
    EXPECT_EQ(big, Bytes(0x8010, 0xFF)) << "12 + 32767 + 5 = 0x8010";
}

TEST(QfRle, WriterRoundTripsAndTruncation) {
    std::mt19937 rng(3);
    for (int iter = 0; iter < 60; ++iter) {
        Bytes raw;
        while (raw.size() < 2000 + size_t(iter) * 100) {
            int kind = int(rng() % 4);
            size_t len = kind == 3 ? 1 + rng() % 70000 : 1 + rng() % 20;
            uint8_t b = kind == 0 ? uint8_t(rng()) : kind == 1 ? 0 : 0xFF;
            raw.insert(raw.end(), len, b);
        }
        Bytes enc = qw::EncodeRle(raw);
        int rc;
        ASSERT_EQ(Rle(enc, &rc), raw) << iter;
        ASSERT_EQ(rc, 0);
        if (iter % 10 == 0) {
            for (size_t n = 4; n + 1 < enc.size(); n += 1 + enc.size() / 300) {
                Bytes cut(enc.begin(), enc.begin() + n);
                Bytes out;
                EXPECT_EQ(QF_RleDecode(cut.data(), cut.size(), 1 << 24, &out), -5) << n;
            }
        }
    }
    Bytes out;
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EQ(QF_RleDecode(huge.data(), huge.size(), 1000, &out), -5);               // refused before allocating
    EXPECT_EQ(QF_RleDecode(huge.data(), huge.size(), uint64_t(1) << 40, &out), -5);  // more than one byte can yield
    EXPECT_TRUE(out.empty());
}

qw::Table Mixed(uint32_t records, unsigned seed) {
    qw::Table t = qw::MakeTable(
        {{0x1001, 0, 8}, {0x7002, 0, 4}, {0x3003, 0, 4}, {0x0004, 0, 8}, {0x2005, 0, 6}, {0x6006, 0, 3}}, records);
    std::mt19937 rng(seed);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetText(t, r, 0, "6000" + std::to_string(10 + rng() % 20));
        qw::SetU32(t, r, 1, 0x10000000u + uint32_t(rng() % 100000));
        qw::SetU32(t, r, 2, uint32_t(int32_t(rng() % 2001) - 1000));
        qw::SetU64(t, r, 3, (uint64_t(rng() % 16) << 56) | (rng() % 1000000));
        qw::SetText(t, r, 4, rng() % 2 ? "ab" : "abcdef");
        uint8_t* f = t.Field(r, 5);
        f[0] = uint8_t(rng()), f[1] = uint8_t(rng()), f[2] = uint8_t(rng());
        for (size_t c = 0; c < t.columns.size(); ++c)
            if (rng() % 7 == 0) qw::SetAbsent(t, r, c);
    }
    return t;
}

TEST(QfDecode, TransposeAndKind2) {
    for (uint32_t R : {1u, 3u, 17u, 64u, 200u}) {
        qw::Table t = Mixed(R, R);
        Bytes out;
        EXPECT_EQ(Decode(QF_BLOCK_TRANSPOSE, qw::EncodeTranspose(t), t, &out), int(t.data.size()));
        EXPECT_EQ(out, t.data);
        Bytes k2 = qw::EncodeKind2(t);
        EXPECT_EQ(Decode(QF_BLOCK_RLE_TRANSPOSE, k2, t, &out), int(k2.size()));
        EXPECT_EQ(out, t.data);
    }
    // One record: bytes j, bits LSB first. 0x01 0x80 -> bits 0 and 15.
    qw::Table one = qw::MakeTable({{0x6001, 0, 2}}, 1);
    Bytes out;
    EXPECT_EQ(Decode(QF_BLOCK_TRANSPOSE, {0x01, 0x80}, one, &out), 2);
    EXPECT_EQ(out, Bytes({0x01, 0x80}));
    // Two records of one byte: bit k of record r is source bit 2k + r.
    qw::Table two = qw::MakeTable({{0x6001, 0, 1}}, 2);
    EXPECT_EQ(Decode(QF_BLOCK_TRANSPOSE, {0x02, 0x00}, two, &out), 2);
    EXPECT_EQ(out, Bytes({0x00, 0x01}));
}

TEST(QfDecode, Kind2Refusals) {
    qw::Table t = Mixed(5, 9);
    Bytes k2 = qw::EncodeKind2(t);
    Bytes out;
    // Output one byte short of the records.
    qw::Table shorter = t;
    shorter.data.pop_back();
    Bytes rle = qw::EncodeRle(qw::EncodeTranspose(t));
    rle[3] = uint8_t(rle[3] - 1);
    Bytes blk;
    qw::PutU32(blk, uint32_t(rle.size()));
    blk.insert(blk.end(), rle.begin(), rle.end());
    EXPECT_EQ(Decode(QF_BLOCK_RLE_TRANSPOSE, blk, t, &out), -5);
    Bytes bad = k2;
    bad[0] = 0, bad[1] = 0, bad[2] = 0, bad[3] = 0;  // L < 1
    EXPECT_EQ(Decode(QF_BLOCK_RLE_TRANSPOSE, bad, t, &out), -5);
    EXPECT_EQ(Decode(QF_BLOCK_RLE_TRANSPOSE, k2, t, &out, int64_t(k2.size()) - 1), -5);  // L + 4 > available
    EXPECT_EQ(Decode(QF_BLOCK_RLE_TRANSPOSE, k2, t, &out, 0), -1);
    Bytes small(3);
    Bytes in = k2;
    EXPECT_EQ(QF_DecodeBlock(QF_BLOCK_RLE_TRANSPOSE, in.data(), int64_t(in.size()), WorkTable(t), small.data(), 3), -2);
    EXPECT_EQ(QF_DecodeBlock(QF_BLOCK_RLE_TRANSPOSE, nullptr, 10, WorkTable(t), small.data(), 3), -1);
    EXPECT_EQ(Decode(QF_BLOCK_CODED, k2, t, &out), -3);
    EXPECT_EQ(Decode(0x42, k2, t, &out), -3);
}

TEST(QfDecode, DeltaKinds) {
    for (uint32_t C : {1u, 8u, 32u, 33u}) {
        for (uint32_t R : {1u, 2u, 5u}) {
            std::vector<qw::Column> cols;
            for (uint32_t c = 0; c < C; ++c)
                cols.push_back({uint32_t(c % 3 == 0   ? 0x3000
                                         : c % 3 == 1 ? 0x7000
                                                      : 0x1000) |
                                    c,
                                0, uint16_t(c % 3 == 2 ? 6 : 4)});
            qw::Table t = qw::MakeTable(cols, R);
            std::mt19937 rng(C * 10 + R);
            for (uint32_t r = 0; r < R; ++r)
                for (uint32_t c = 0; c < C; ++c) {
                    if (c % 3 == 2)
                        qw::SetText(t, r, c, "60" + std::to_string(1000 + rng() % 9000));
                    else
                        qw::SetU32(t, r, c, uint32_t(rng() % 5000) - 2500);
                    if ((r + c) % 5 == 3) qw::SetAbsent(t, r, c);
                }
            for (bool packed : {false, true}) {
                Bytes blk = qw::EncodeDelta(t, packed);
                Bytes out;
                EXPECT_EQ(Decode(packed ? QF_BLOCK_DELTA7 : QF_BLOCK_DELTA, blk, t, &out), int(blk.size()))
                    << C << "x" << R << " packed " << packed;
                EXPECT_EQ(out, t.data) << C << "x" << R << " packed " << packed;
            }
        }
    }
}

TEST(QfDecode, DeltaEdgeCases) {
    qw::Table t = Mixed(6, 11);
    Bytes blk = qw::EncodeDelta(t, false);
    Bytes out;
    // A wrong checksum leaves the destination unwritten.
    Bytes bad = blk;
    bad.back() ^= 1;
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, bad, t, &out), -5);
    EXPECT_EQ(out, Bytes(t.data.size(), 0xEE));
    // A payload that ends early: the fields left are 0xFF, so the CRC fails.
    Bytes cut = blk;
    cut[0] = uint8_t(0x80 | 3);  // P = 3 (a 1-byte varint when the payload was short)
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, cut, t, &out), -5);
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, blk, t, &out, int64_t(blk.size()) - 1), -5);
    Bytes zero = {0x80, 0, 0};  // P = 0
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, zero, t, &out), -5);
    // One record: the bitmap raw and every present field raw.
    qw::Table one = qw::MakeTable({{0x3001, 0, 4}, {0x1002, 0, 4}}, 1);
    qw::SetU32(one, 0, 0, 77);
    qw::SetText(one, 0, 1, "AB");
    Bytes b1 = {0x80 | 9, 0x03, 77, 0, 0, 0, 'A', 'B', 0, 0};
    qw::PutU16(b1, qw::Crc16(one.data.data(), one.data.size()));
    EXPECT_EQ(qw::EncodeDelta(one, false), b1);
    EXPECT_EQ(Decode(QF_BLOCK_DELTA7, b1, one, &out), int(b1.size()));
    EXPECT_EQ(out, one.data);
    // A delta varint longer than width + 1 bytes ends the decoding (CRC fails).
    qw::Table two = qw::MakeTable({{0x3001, 0, 4}}, 2);
    qw::SetU32(two, 0, 0, 1);
    qw::SetU32(two, 1, 0, 2);
    Bytes pay = {0x01, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x81};  // bitmaps, raw, 6-byte delta
    Bytes b2;
    qw::PutSVar(b2, int64_t(pay.size()));
    b2.insert(b2.end(), pay.begin(), pay.end());
    qw::PutU16(b2, qw::Crc16(two.data.data(), two.data.size()));
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, b2, two, &out), -5);
    // A record count that the payload cannot carry bitmaps for.
    qw::Table many = qw::MakeTable({{0x3001, 0, 4}}, 100000);
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, b2, many, &out), -5);
    // Columns wider than the record are refused.
    qw::Table wide = two;
    wide.recordSize = 2;
    wide.data.resize(4);
    EXPECT_EQ(Decode(QF_BLOCK_DELTA, qw::EncodeDelta(two, false), wide, &out), -5);
}

TEST(QfDecode, SnappyColumns) {
    // Three records of one 32-bit column storing 100, 5, -2: 100, 105, 98.
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}}, 3);
    Bytes blk = {0x81, 0x05, 0x10, 0x07, 0x00, 0xE4, 0x85, 0xFE};
    Bytes out;
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, blk, t, &out), 0);
    Bytes want;
    qw::PutU32(want, 100);
    qw::PutU32(want, 105);
    qw::PutU32(want, 98);
    EXPECT_EQ(out, want);
    qw::SetU32(t, 0, 0, 100);
    qw::SetU32(t, 1, 0, 105);
    qw::SetU32(t, 2, 0, 98);
    EXPECT_EQ(qw::EncodeSnappyColumns(t), blk);
    // A bitmap longer than the fields need: the values start after all M bytes.
    Bytes wide = {0x82, 0x06, 0x14, 0x07, 0x00, 0x00, 0xE4, 0x85, 0xFE};
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, wide, t, &out), 0);
    EXPECT_EQ(out, want);

    // Record counts whose columns start inside a bitmap byte and run over
    // several 64-bit words of it, with absent fields.
    for (uint32_t R : {1u, 4u, 50u, 131u, 300u}) {
        qw::Table m = Mixed(R, 100 + R);
        // 0x4000 and 0x5000 columns read as plain integers.
        // Three bytes of each record past the last column, written as zeros.
        qw::Table k = qw::MakeTable({{0x4001, 0, 4}, {0x5002, 0, 8}, {0x2003, 0, 5}}, R, 3);
        for (uint32_t r = 0; r < R; ++r) {
            qw::SetU32(k, r, 0, r * 7);
            qw::SetU64(k, r, 1, uint64_t(r) << 40);
            qw::SetText(k, r, 2, r % 2 ? "abcde" : "x");
        }
        for (const qw::Table* tt : {&m, &k}) EXPECT_TRUE(SnappyRoundTrip(*tt)) << R;
    }
}

TEST(QfDecode, SnappyRefusals) {
    qw::Table t = Mixed(8, 5);
    Bytes blk = qw::EncodeSnappyColumns(t);
    Bytes out;
    Bytes b = blk;
    b[0] = 0x80;  // M = 0, less than the bitmap needs
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, b, t, &out), -5);
    b = blk;
    b[0] = 0xC1;  // M negative
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, b, t, &out), -5);
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, blk, t, &out, int64_t(blk.size()) - 2), -5);
    // Values cut short inside the snappy stream.
    qw::Table fewer = t;
    fewer.records = 9;
    fewer.data.resize(uint64_t(9) * t.recordSize, 0x11);
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, blk, fewer, &out), -5);
}

// Snappy-coded integers of every length, at both ends of each length's
// range, relative to record 0 (which holds 0, so they read as stored).
TEST(QfDecode, SnappyIntegersOfEveryLength) {
    std::vector<int64_t> values = {0};
    for (int g = 1; g <= 9; ++g) {
        const int64_t lim = int64_t(1) << (7 * g - 1);
        for (int64_t v : {lim - 1, -lim, lim, -lim - 1, lim / 2 + 3, -(lim / 2) - 5}) values.push_back(v);
    }
    values.push_back(INT64_MAX);
    values.push_back(INT64_MIN);
    const uint32_t R = uint32_t(values.size());
    qw::Table t = qw::MakeTable({{0x5001, 0, 8}, {0x3002, 0, 4}, {0x0003, 0, 8}}, R);
    for (uint32_t r = 0; r < R; ++r) {
        qw::SetU64(t, r, 0, uint64_t(values[r]));
        qw::SetU32(t, r, 1, uint32_t(values[r]));
        qw::SetU64(t, r, 2, uint64_t(values[r]) & 0x00FFFFFFFFFFFFFFull);
    }
    Bytes out;
    const Bytes blk = qw::EncodeSnappyColumns(t);
    EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, blk, t, &out), 0);
    for (uint32_t r = 0; r < R; ++r) {
        int64_t a;
        int32_t b;
        std::memcpy(&a, out.data() + uint64_t(r) * t.recordSize, 8);
        std::memcpy(&b, out.data() + uint64_t(r) * t.recordSize + 8, 4);
        EXPECT_EQ(a, values[r]) << r;
        EXPECT_EQ(b, int32_t(uint32_t(values[r]))) << r;
    }
    EXPECT_EQ(out, t.data);
}

// A block worked out by hand: the writer's bytes for t are exactly `block`,
// and decoding it gives t's records back with the result `rc`.
void ExpectHandBlock(uint32_t kind, const Bytes& written, const Bytes& block, const qw::Table& t, int rc) {
    EXPECT_EQ(written, block) << "kind " << kind;
    Bytes out;
    EXPECT_EQ(Decode(kind, block, t, &out), rc) << "kind " << kind;
    EXPECT_EQ(out, t.data) << "kind " << kind;
}

// Small blocks of every kind worked out by hand from the encoding rules:
// the writer must produce exactly these bytes and the decoder must read the
// records back from them.
TEST(QfDecode, HandComputedBlocksOfEveryKind) {
    // Two records of two bytes: {01 00} and {02 80}. Bits run byte j, bit k,
    // record r, least significant first: source bits 0 and 3 (byte 0 = 09) and
    // bit 31 (byte 3 = 80).
    qw::Table t1 = qw::MakeTable({{0x6001, 0, 2}}, 2);
    t1.data = {0x01, 0x00, 0x02, 0x80};
    const Bytes planes = {0x09, 0x00, 0x00, 0x80};
    ExpectHandBlock(QF_BLOCK_TRANSPOSE, qw::EncodeTranspose(t1), planes, t1, 4);

    // Kind 2 over those planes. N = 4 (big-endian). Token 1: flags 1 0, the
    // literal 09, flags 0 (fill 00) and 1 0 0 (run of 2). Token 2: flags 1 0
    // fill the first flag byte (1001 0010 = 92), so the next flag byte is
    // reserved before the literal 80; then 0 (fill 00) and 0 (run of 1, cut at
    // N). L = 8, little-endian.
    const Bytes rle = {0, 0, 0, 4, 0x92, 0x09, 0x00, 0x80};
    EXPECT_EQ(qw::EncodeRle(planes), rle);
    Bytes k2 = {8, 0, 0, 0};
    k2.insert(k2.end(), rle.begin(), rle.end());
    ExpectHandBlock(QF_BLOCK_RLE_TRANSPOSE, qw::EncodeKind2(t1), k2, t1, 12);

    // Kind 6: a 32-bit column (100, 98) and a 4-byte code ("AB", "AC"). Both
    // bitmaps are 03: one group of B mod 4 = 1 byte, record 0 raw, record 1
    // the delta 0 (80). Column 0: 64 00 00 00 raw, then -2 (FE). Column 1:
    // "AB\0\0" raw, then a common head of 1: tail length 3 (83) and "C\0\0".
    // P = 15 (8F); the CRC-16 of the records is 0x2E76.
    qw::Table t6 = qw::MakeTable({{0x3001, 0, 4}, {0x1002, 0, 4}}, 2);
    qw::SetU32(t6, 0, 0, 100), qw::SetText(t6, 0, 1, "AB");
    qw::SetU32(t6, 1, 0, 98), qw::SetText(t6, 1, 1, "AC");
    const Bytes k6 = {0x8F, 0x03, 0x80, 0x64, 0, 0, 0, 0xFE, 'A', 'B', 0, 0, 0x83, 'C', 0, 0, 0x76, 0x2E};
    ExpectHandBlock(QF_BLOCK_DELTA, qw::EncodeDelta(t6, false), k6, t6, int(k6.size()));

    // Kind 5: the same with a 2-byte code ("AB", "XY"): no common head, the
    // tail 58 59 packed seven bits at a time from the low end: 58, 32, 81.
    // P = 12 (8C); CRC 0x2AAA.
    qw::Table t5 = qw::MakeTable({{0x3001, 0, 4}, {0x1002, 0, 2}}, 2);
    qw::SetU32(t5, 0, 0, 100), qw::SetText(t5, 0, 1, "AB");
    qw::SetU32(t5, 1, 0, 98), qw::SetText(t5, 1, 1, "XY");
    const Bytes k5 = {0x8C, 0x03, 0x80, 0x64, 0, 0, 0, 0xFE, 'A', 'B', 0x58, 0x32, 0x81, 0xAA, 0x2A};
    ExpectHandBlock(QF_BLOCK_DELTA7, qw::EncodeDelta(t5, true), k5, t5, int(k5.size()));

    // Kind 0x10: a packed 64-bit column (0x02..05, 0x02..03) and a 3-byte
    // text ("ab", "xyz"). Presence 0F (M = 1, 81); record 0: top byte 02 and
    // 5 (85); record 1: -2 (FE) against record 0; "ab" with its zero, "xyz"
    // full width without one. Ten bytes: snappy length 0A, one literal (24).
    qw::Table tx = qw::MakeTable({{0x0001, 0, 8}, {0x2002, 0, 3}}, 2);
    qw::SetU64(tx, 0, 0, 0x0200000000000005ull), qw::SetText(tx, 0, 1, "ab");
    qw::SetU64(tx, 1, 0, 0x0200000000000003ull), qw::SetText(tx, 1, 1, "xyz");
    const Bytes kx = {0x81, 0x0A, 0x24, 0x0F, 0x02, 0x85, 0xFE, 'a', 'b', 0, 'x', 'y', 'z'};
    ExpectHandBlock(QF_BLOCK_SNAPPY, qw::EncodeSnappyColumns(tx), kx, tx, 0);
}

// Snappy-coded blocks whose decompressed content is damaged (bytes changed,
// cut short, the bitmap length changed) and compressed again: every read of
// the value decoder stays inside the content.
TEST(QfDecode, DamagedSnappyContentNeverOverruns) {
    std::mt19937 rng(123);
    for (uint32_t R : {1u, 3u, 64u, 70u}) {
        const qw::Table t = Mixed(R, 7 + R);
        const Bytes content = qw::SnappyColumnsContent(t);
        for (int i = 0; i < 400; ++i) {
            Bytes c = content;
            switch (i % 4) {
            case 0:
                c.resize(rng() % (c.size() + 1));
                break;
            case 1:
                for (int k = 0; k < 3; ++k) c[rng() % c.size()] = uint8_t(rng());
                break;
            case 2:
                c[rng() % c.size()] &= 0x7F;
                break;  // an integer runs on into the next
            default:
                c.resize(c.size() - std::min<size_t>(c.size(), 1 + rng() % 12));
                break;
            }
            const uint64_t M = (t.columns.size() * R + 7) / 8;
            // Now and then another bitmap length.
            const uint64_t stated = i % 7 == 0 ? (R * 6 + 7) / 8 + rng() % 3 : M;
            Bytes out;
            const int rc = Decode(QF_BLOCK_SNAPPY, qw::SnappyBlock(stated, c), t, &out);
            EXPECT_TRUE(rc == 0 || rc == -5) << rc;
            if (c == content && stated == M) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(out, t.data);
            }
        }
    }
}

// A delta of `bytes` bytes (the shortest signed form of that length), either
// sign, often at an end of the length's range.
int64_t DeltaOfLength(std::mt19937& rng, unsigned bytes, unsigned maxBits) {
    const unsigned bits = std::min(7 * bytes, maxBits);
    const int64_t hi = bits >= 64 ? INT64_MAX : (int64_t(1) << (bits - 1)) - 1;
    const int64_t lo = bits >= 64 ? INT64_MIN : -(int64_t(1) << (bits - 1));
    const int64_t inner = bytes == 1 ? 0 : int64_t(1) << (7 * (bytes - 1) - 1);  // shorter forms reach below this
    switch (rng() % 4) {
    case 0:
        return hi;
    case 1:
        return lo;
    case 2:
        return inner +
               int64_t(uint64_t(rng()) % uint64_t(std::max<int64_t>(1, std::min<int64_t>(hi - inner, 1 << 30))));
    default:
        return -inner - 1 -
               int64_t(uint64_t(rng()) % uint64_t(std::max<int64_t>(1, std::min<int64_t>(hi - inner, 1 << 30))));
    }
}

// Long columns, so that most integers are read in runs of a stretch: every
// length of integer in every order (mostly one to three bytes, which are
// read four at a time), both signs, absent fields between them, and the
// last stretches read one integer at a time near the end of the content.
// Runs these tests once with the decoder's fastest integer reader and once
// with its one-at-a-time reader, so both are checked whatever the processor.
class SnappyReaders : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { previous_ = QF_ForceScalarIntegers(GetParam()); }
    void TearDown() override { QF_ForceScalarIntegers(previous_); }
    bool previous_ = false;
};

INSTANTIATE_TEST_SUITE_P(QfDecode, SnappyReaders, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Scalar" : "Fastest"; });

TEST_P(SnappyReaders, SnappyIntegerRunsOfEveryLengthAndOrder) {
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        const uint32_t R = 700 + 300 * seed;
        qw::Table t =
            qw::MakeTable({{0x3001, 0, 4}, {0x5002, 0, 8}, {0x0003, 0, 8}, {0x7004, 0, 4}, {0x4005, 0, 4}}, R);
        const uint32_t base32 = uint32_t(rng());
        const uint64_t base64 = (uint64_t(rng()) << 32) | rng();
        const uint64_t packed0 = (uint64_t(rng() % 256) << 56) | (uint64_t(rng()) << 8);
        for (uint32_t r = 0; r < R; ++r) {
            // Runs of short lengths, broken by longer ones.
            auto len = [&](unsigned most) { return rng() % 8 ? 1 + rng() % 3 : 1 + rng() % most; };
            qw::SetU32(t, r, 0, r ? base32 + uint32_t(DeltaOfLength(rng, len(5), 32)) : base32);
            qw::SetU64(t, r, 1, r ? base64 + uint64_t(DeltaOfLength(rng, len(10), 64)) : base64);
            qw::SetU64(t, r, 2, r ? packed0 + uint64_t(DeltaOfLength(rng, len(10), 64)) : packed0);
            qw::SetU32(t, r, 3, r ? base32 + uint32_t(DeltaOfLength(rng, len(3), 32)) : base32);
            qw::SetU32(t, r, 4, r ? uint32_t(DeltaOfLength(rng, 1 + rng() % 2, 32)) : 0);
            for (size_t c = 0; c < t.columns.size(); ++c)
                if (rng() % (seed == 2 ? 2 : 9) == 0) qw::SetAbsent(t, r, c);
        }
        ASSERT_TRUE(SnappyRoundTrip(t)) << "seed " << seed;
    }
}

// Record counts around the decoder's groups of 64 records, with columns of
// every kind between the integer columns, presence patterns that leave whole
// groups of a column empty or full, and values whose lengths break the
// four-at-a-time reading at group ends.
TEST_P(SnappyReaders, SnappyRecordCountsAroundGroupEnds) {
    std::mt19937 rng(4242);
    for (uint32_t R : {1u, 2u, 3u, 4u, 5u, 63u, 64u, 65u, 66u, 68u, 69u, 127u, 128u, 129u, 130u, 193u, 257u}) {
        for (int pattern = 0; pattern < 4; ++pattern) {
            qw::Table t = qw::MakeTable({{0x7001, 0, 4},
                                         {0x1002, 0, 5},
                                         {0x0003, 0, 8},
                                         {0x6004, 0, 3},
                                         {0x3005, 0, 4},
                                         {0x5006, 0, 8},
                                         {0x2007, 0, 16},
                                         {0x4008, 0, 4}},
                                        R);
            const uint32_t b32 = uint32_t(rng());
            const uint64_t b64 = (uint64_t(rng()) << 32) | rng();
            for (uint32_t r = 0; r < R; ++r) {
                const unsigned len = pattern == 3 ? 1 + rng() % 5 : 1 + rng() % 3;
                qw::SetU32(t, r, 0, r ? b32 + uint32_t(DeltaOfLength(rng, len, 32)) : b32);
                qw::SetText(t, r, 1, std::string("hello").substr(0, rng() % 6));
                qw::SetU64(t, r, 2,
                           r ? b64 + uint64_t(DeltaOfLength(rng, 1 + rng() % (pattern == 3 ? 10 : 3), 64)) : b64);
                qw::SetU32(t, r, 4, r ? b32 - uint32_t(DeltaOfLength(rng, len, 32)) : b32);
                qw::SetU64(t, r, 5, r ? b64 - uint64_t(DeltaOfLength(rng, 1 + rng() % 3, 64)) : b64);
                qw::SetText(t, r, 6, "t" + std::to_string(r));
                qw::SetU32(t, r, 7, uint32_t(DeltaOfLength(rng, 1, 32)));
                qw::SetText(t, r, 3, std::string{char('a' + r % 26), char('A' + pattern), 'z'});
                for (uint32_t c = 0; c < 8; ++c) {
                    // 0: all present; 1: one column absent in every other group of
                    // 64; 2: scattered gaps; 3: long lengths and gaps.
                    const uint64_t group = r == 0 ? 0 : (r - 1) / 64;
                    const bool absent = pattern == 1   ? (c % 2 == 0 && group % 2 == 1)
                                        : pattern >= 2 ? rng() % 7 == 0
                                                       : false;
                    if (absent) qw::SetAbsent(t, r, c);
                }
            }
            ASSERT_TRUE(SnappyRoundTrip(t)) << "records " << R << " pattern " << pattern;
        }
    }
}

// The kind-0x10 content read the plain way, a byte at a time, from the
// format's rules: the reference for the decoder's runs and shortcuts.
int PlainSnappyContent(const Bytes& c, uint64_t M, const qw::Table& t, Bytes* out) {
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    if (M < (C * R + 7) / 8 || c.size() < M) return -5;
    out->assign(R * s, 0);
    uint64_t pos = M, off = 0;
    auto present = [&](uint64_t bit) { return (c[bit >> 3] >> (bit & 7)) & 1; };
    auto var = [&](unsigned most, uint64_t* v) {
        if (pos >= c.size()) return false;
        *v = (c[pos] & 0x40) ? ~uint64_t(0) : 0;
        for (unsigned i = 0; i < most && pos < c.size(); ++i) {
            const uint8_t b = c[pos++];
            *v = (*v << 7) | (b & 0x7F);
            if (b & 0x80) return true;
        }
        return false;
    };
    for (uint64_t col = 0; col < C; off += t.columns[col].width, ++col) {
        const unsigned w = t.columns[col].width, kind = t.columns[col].id & 0x7000;
        const bool i64 = (kind == 0x0000 || kind == 0x5000) && w == 8;
        const bool i32 = (kind == 0x3000 || kind == 0x4000 || kind == 0x7000) && w == 4;
        uint64_t v0 = ~uint64_t(0);
        for (uint64_t r = 0; r < R; ++r) {
            uint8_t* f = out->data() + r * s + off;
            if (!present(col * R + r)) {
                std::memset(f, 0xFF, w);
                continue;
            }
            uint64_t v = 0;
            if (i64 || i32) {
                if (r == 0 && kind == 0x0000) {
                    if (pos >= c.size()) return -5;
                    const uint64_t top = c[pos++];
                    if (!var(10, &v)) return -5;
                    v = (top << 56) | (v & 0x00FFFFFFFFFFFFFFull);
                } else if (!var(i64 ? 10 : 5, &v)) {
                    return -5;
                }
                if (r == 0)
                    v0 = v;
                else
                    v += v0;
                std::memcpy(f, &v, w);
            } else if (kind == 0x1000 || kind == 0x2000) {
                unsigned i = 0;
                for (; i < w; ++i) {
                    if (pos >= c.size()) return -5;
                    f[i] = c[pos++];
                    if (f[i] == 0) break;
                }
            } else {
                if (c.size() - pos < w) return -5;
                std::memcpy(f, c.data() + pos, w);
                pos += w;
            }
        }
    }
    return 0;
}

// Damaged content of long columns (integers run on or end early, bytes
// change, the content is cut anywhere): the decoder gives exactly what the
// plain reading gives, records and all, or fails where it fails.
TEST_P(SnappyReaders, SnappyRunsMatchThePlainReading) {
    std::mt19937 rng(77);
    qw::Table t = qw::MakeTable({{0x3001, 0, 4},
                                 {0x5002, 0, 8},
                                 {0x0003, 0, 8},
                                 {0x2004, 0, 3},
                                 {0x6005, 0, 2},
                                 {0x1006, 0, 16},
                                 {0x2007, 0, 8}},
                                400);
    for (uint32_t r = 0; r < t.records; ++r) {
        qw::SetU32(t, r, 0, uint32_t(rng() % 300000));
        qw::SetU64(t, r, 1, uint64_t(rng() % 5000000) - 2500000);
        qw::SetU64(t, r, 2, (uint64_t(3) << 56) | (rng() % 70000));
        qw::SetText(t, r, 3, r % 3 ? "ab" : "xyz");
        // Texts of every length up to their width, full ones without a zero.
        qw::SetText(t, r, 5, std::string("abcdefghijklmnop").substr(0, rng() % 17));
        qw::SetText(t, r, 6, std::string("12345678").substr(0, rng() % 9));
        for (size_t c = 0; c < t.columns.size(); ++c)
            if (rng() % 11 == 0) qw::SetAbsent(t, r, c);
    }
    const uint64_t M = (t.columns.size() * t.records + 7) / 8;
    const Bytes content = qw::SnappyColumnsContent(t);
    Bytes want;
    ASSERT_EQ(PlainSnappyContent(content, M, t, &want), 0);
    ASSERT_EQ(want, t.data);
    int succeeded = 0;
    for (int i = 0; i < 600; ++i) {
        Bytes c = content;
        const size_t at = M + rng() % (c.size() - M);
        switch (i % 5) {
        case 0:
            c[at] &= 0x7F;
            break;  // an integer runs on into the next
        case 1:
            c[at] |= 0x80;
            break;  // and one ends early
        case 2:
            for (int k = 0; k < 4; ++k) c[M + rng() % (c.size() - M)] ^= uint8_t(1u << (rng() % 8));
            break;
        case 3:
            c.resize(M + rng() % (c.size() - M + 1));
            break;
        default:
            for (int k = 0; k < 6; ++k) c[M + rng() % (c.size() - M)] &= 0x7F;
            break;
        }
        Bytes plain, out;
        const int prc = PlainSnappyContent(c, M, t, &plain);
        const int rc = Decode(QF_BLOCK_SNAPPY, qw::SnappyBlock(M, c), t, &out);
        ASSERT_EQ(rc, prc) << i;
        if (rc == 0) {
            ++succeeded;
            ASSERT_EQ(out, plain) << i;
        }
    }
    EXPECT_GT(succeeded, 50);
}

TEST(QfDecode, RandomBlocksNeverOverrun) {
    std::mt19937 rng(99);
    qw::Table t = Mixed(7, 1);
    for (uint32_t kind : {1u, 2u, 3u, 5u, 6u, 0x10u}) {
        for (int i = 0; i < 1500; ++i) {
            Bytes blk(1 + rng() % 200);
            for (auto& x : blk) x = uint8_t(rng());
            if (i % 3 == 0 && kind == 2 && blk.size() >= 4)
                blk[0] = uint8_t(blk.size() - 4), blk[1] = blk[2] = blk[3] = 0;
            // The output is followed by guard bytes the decoder must leave alone,
            // so a write past `cap` shows in a build without sanitizers too.
            const uint64_t cap = uint64_t(t.records) * t.recordSize;
            Bytes out(cap + 64, 0xEE);
            (void)QF_DecodeBlock(kind, blk.data(), int64_t(blk.size()), WorkTable(t), out.data(), cap);
            ASSERT_EQ(Bytes(out.begin() + int64_t(cap), out.end()), Bytes(64, 0xEE))
                << "kind " << kind << " block " << i;
        }
    }
}

}  // namespace
