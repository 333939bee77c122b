// Block decoders: hand-checked vectors, round trips through the writer's
// encoders, and corrupt or truncated blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "quote/qf_decode.h"
#include "tests/support/quote_writer.h"

namespace {

using qw::Bytes;

QfWorkTable Work(const qw::Table& t) {
  QfWorkTable w;
  w.records = t.records;
  w.recordSize = t.recordSize;
  for (const qw::Column& c : t.columns) w.columns.push_back({uint16_t(c.id & 0x7000), c.width});
  return w;
}

// Decodes a block held in an exactly sized heap buffer.
int Decode(uint32_t kind, const Bytes& block, const qw::Table& t, Bytes* out, int64_t avail = -1) {
  Bytes in = block;
  out->assign(uint64_t(t.records) * t.recordSize, 0xEE);
  return QF_DecodeBlock(kind, in.data(), avail < 0 ? int64_t(in.size()) : avail, Work(t), out->data(), out->size());
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
  EXPECT_EQ(QF_RleDecode(huge.data(), huge.size(), 1000, &out), -5);  // refused before allocating
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
  EXPECT_EQ(QF_DecodeBlock(QF_BLOCK_RLE_TRANSPOSE, in.data(), int64_t(in.size()), Work(t), small.data(), 3), -2);
  EXPECT_EQ(QF_DecodeBlock(QF_BLOCK_RLE_TRANSPOSE, nullptr, 10, Work(t), small.data(), 3), -1);
  EXPECT_EQ(Decode(QF_BLOCK_CODED, k2, t, &out), -3);
  EXPECT_EQ(Decode(0x42, k2, t, &out), -3);
}

TEST(QfDecode, DeltaKinds) {
  for (uint32_t C : {1u, 8u, 32u, 33u}) {
    for (uint32_t R : {1u, 2u, 5u}) {
      std::vector<qw::Column> cols;
      for (uint32_t c = 0; c < C; ++c) cols.push_back({uint32_t(c % 3 == 0 ? 0x3000 : c % 3 == 1 ? 0x7000 : 0x1000) | c, 0, uint16_t(c % 3 == 2 ? 6 : 4)});
      qw::Table t = qw::MakeTable(cols, R);
      std::mt19937 rng(C * 10 + R);
      for (uint32_t r = 0; r < R; ++r)
        for (uint32_t c = 0; c < C; ++c) {
          if (c % 3 == 2) qw::SetText(t, r, c, "60" + std::to_string(1000 + rng() % 9000));
          else qw::SetU32(t, r, c, uint32_t(rng() % 5000) - 2500);
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

  for (uint32_t R : {1u, 4u, 50u}) {
    qw::Table m = Mixed(R, 100 + R);
    // 0x4000 and 0x5000 columns read as plain integers.
    qw::Table k = qw::MakeTable({{0x4001, 0, 4}, {0x5002, 0, 8}, {0x2003, 0, 5}}, R);
    for (uint32_t r = 0; r < R; ++r) {
      qw::SetU32(k, r, 0, r * 7);
      qw::SetU64(k, r, 1, uint64_t(r) << 40);
      qw::SetText(k, r, 2, r % 2 ? "abcde" : "x");
    }
    for (const qw::Table* tt : {&m, &k}) {
      Bytes b = qw::EncodeSnappyColumns(*tt);
      EXPECT_EQ(Decode(QF_BLOCK_SNAPPY, b, *tt, &out), 0) << R;
      EXPECT_EQ(out, tt->data) << R;
    }
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

TEST(QfDecode, RandomBlocksNeverOverrun) {
  std::mt19937 rng(99);
  qw::Table t = Mixed(7, 1);
  for (uint32_t kind : {1u, 2u, 3u, 5u, 6u, 0x10u}) {
    for (int i = 0; i < 1500; ++i) {
      Bytes blk(1 + rng() % 200);
      for (auto& x : blk) x = uint8_t(rng());
      if (i % 3 == 0 && kind == 2 && blk.size() >= 4) blk[0] = uint8_t(blk.size() - 4), blk[1] = blk[2] = blk[3] = 0;
      Bytes out;
      (void)Decode(kind, blk, t, &out);
    }
  }
}

}  // namespace
