// The test writer's block encoders pinned to vectors worked out by hand from
// the format's description, so that a misreading in the writer cannot hide
// behind a decoder that shares it.
#include <gtest/gtest.h>
#include <snappy-c.h>

#include <string>

#include "simulator/quote_writer.h"

namespace {

using qw::Bytes;

TEST(QfWriterVectors, PrimitiveEncodings) {
    Bytes b;
    qw::PutUVar(b, 1);
    qw::PutUVar(b, 65);
    qw::PutUVar(b, 128);
    EXPECT_EQ(b, Bytes({0x81, 0xC1, 0x01, 0x80}));
    b.clear();
    qw::PutSVar(b, -63);
    qw::PutSVar(b, 100);
    qw::PutSVar(b, -2);
    qw::PutSVar(b, -16385);
    EXPECT_EQ(b, Bytes({0xC1, 0x00, 0xE4, 0xFE, 0x7E, 0x7F, 0xFF}));
    const uint8_t ab[] = {'A', 'B'};
    EXPECT_EQ(qw::Pack7(ab, 1), Bytes({0x41, 0x80}));  // all eight bits: a second group
    EXPECT_EQ(qw::Pack7(ab, 2), Bytes({0x41, 0x04, 0x81}));
    EXPECT_EQ(qw::Crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
}

TEST(QfWriterVectors, RunLengthAndTranspose) {
    // a=1, b=0 (literal 0x41), c=0 (fill 0x00), run 1 1 0 (4): flags 0x98.
    EXPECT_EQ(qw::EncodeRle(Bytes({0x41, 0, 0, 0, 0})), Bytes({0, 0, 0, 5, 0x98, 0x41}));
    // Two records of one byte, 0x01 and 0x02: bit 0 of record 0, bit 0 of
    // record 1, bit 1 of record 0, ... least significant bit first.
    qw::Table t = qw::MakeTable({{0x6001, 0, 1}}, 2);
    t.data = {0x01, 0x02};
    EXPECT_EQ(qw::EncodeTranspose(t), Bytes({0x09, 0x00}));
}

TEST(QfWriterVectors, DeltaColumnsPlainTails) {
    // Kind 6, two records: a 32-bit column 100 then 98 (delta -2) and a code
    // column "AB" then "AC" (tail of 3 bytes: "C", 0, 0 after its length).
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}, {0x1002, 0, 4}}, 2);
    qw::SetU32(t, 0, 0, 100);
    qw::SetU32(t, 1, 0, 98);
    qw::SetText(t, 0, 1, "AB");
    qw::SetText(t, 1, 1, "AC");
    const Bytes want = {0x8F,                                            // payload length 15
                        0x03, 0x80,                                      // bitmap, then delta 0
                        0x64, 0x00, 0x00, 0x00, 0xFE,                    // 100, then -2
                        0x41, 0x42, 0x00, 0x00, 0x83, 0x43, 0x00, 0x00,  // "AB", then tail 3
                        0x76, 0x2E};                                     // CRC-16 of the records
    EXPECT_EQ(qw::EncodeDelta(t, false), want);
}

TEST(QfWriterVectors, SnappyColumnsRelativeToTheFirstRecord) {
    // The example of three records 100, 105, 98: stored 100, 5, -2.
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}}, 3);
    qw::SetU32(t, 0, 0, 100);
    qw::SetU32(t, 1, 0, 105);
    qw::SetU32(t, 2, 0, 98);
    Bytes block = qw::EncodeSnappyColumns(t);
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(block[0], 0x81);  // one byte of presence bits
    size_t n = 0;
    ASSERT_EQ(snappy_uncompressed_length(reinterpret_cast<const char*>(block.data() + 1), block.size() - 1, &n),
              SNAPPY_OK);
    std::string raw(n, '\0');
    ASSERT_EQ(snappy_uncompress(reinterpret_cast<const char*>(block.data() + 1), block.size() - 1, raw.data(), &n),
              SNAPPY_OK);
    EXPECT_EQ(Bytes(raw.begin(), raw.end()), Bytes({0x07, 0x00, 0xE4, 0x85, 0xFE}));
}

}  // namespace
