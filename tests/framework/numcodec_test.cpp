// Packed numbers, variable-length integers, 7-bit texts, CRC-16 and the snappy
// calls.
#include <gtest/gtest.h>
#include <snappy-c.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "framework/tl_crc16.h"
#include "framework/tl_numcodec.h"
#include "framework/tl_snappy.h"
#include "simulator/quote_writer.h"
#include "tests/support/plain_numbers.h"

namespace {

double D32(uint32_t v) { return TL_UnpackDouble32(&v); }
double D64(uint64_t v) { return TL_UnpackDouble64(&v); }
int64_t I64(uint64_t v) { return TL_UnpackInt64(&v); }
uint64_t P64(uint64_t mag, unsigned p, bool neg, bool div) {
    return mag | (uint64_t(neg) << 58) | (uint64_t(p) << 59) | (uint64_t(div) << 63);
}

TEST(PackedNumbers, ThirtyTwoBitForms) {
    EXPECT_EQ(D32(0x0000007B), 123.0);
    EXPECT_DOUBLE_EQ(D32(0x9000007B), 12.3);
    EXPECT_EQ(D32(0x1000007B), 1230.0);
    EXPECT_EQ(D32(0x0800007B), -123.0);
    EXPECT_DOUBLE_EQ(D32(0xF800007B), -0.0000123);
    for (uint32_t none : {0x80000000u, 0xFFFFFFFFu}) {
        double d = D32(none);
        EXPECT_EQ(d, 0.0);
        EXPECT_TRUE(std::signbit(d)) << std::hex << none;
    }
}

TEST(PackedNumbers, SixtyFourBitForms) {
    EXPECT_EQ(D64(P64(123, 0, false, false)), 123.0);
    EXPECT_DOUBLE_EQ(D64(P64(123, 1, false, true)), 12.3);
    EXPECT_EQ(D64(P64(123, 2, true, false)), -12300.0);
    EXPECT_TRUE(std::signbit(D64(0x8000000000000000ull)));
    EXPECT_TRUE(std::signbit(D64(~0ull)));
    // Powers 8 to 15 have no defined value but must not fault.
    for (unsigned p = 8; p < 16; ++p) {
        EXPECT_TRUE(std::isfinite(D64(P64(7, p, false, false))));
        (void)I64(P64(7, p, false, true));
    }
}

TEST(PackedNumbers, IntegerReadingRoundsHalfUp) {
    EXPECT_EQ(I64(P64(15, 1, false, true)), 2);
    EXPECT_EQ(I64(P64(14, 1, false, true)), 1);
    EXPECT_EQ(I64(P64(15, 1, true, true)), -2);
    EXPECT_EQ(I64(P64(12345, 2, false, false)), 1234500);
    EXPECT_EQ(I64(0x8000000000000000ull), INT64_MIN);
    EXPECT_EQ(I64(~0ull), INT64_MIN);
    // The largest magnitude times 10^7 does not fit: no value, not a wrap.
    EXPECT_EQ(I64(P64(0x03FFFFFFFFFFFFFFull, 7, false, false)), INT64_MIN);
    EXPECT_EQ(I64(P64(0x03FFFFFFFFFFFFFFull, 0, true, false)), -int64_t(0x03FFFFFFFFFFFFFFll));
}

uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }

// The inline decoders against the plain ones, for every power, form and sign:
// at both ends of the magnitude field, at random, around the integer
// reading's rounding steps (j * 10^p + 10^p / 2) and its largest product.
TEST(PackedNumbers, InlineDecodersEqualThePlainOnesBitForBit) {
    std::mt19937_64 rng(32);
    const uint64_t kMag = 0x03FFFFFFFFFFFFFFull;
    for (uint64_t high = 0; high < 64; ++high) {
        uint64_t pow = 1;
        for (uint64_t k = (high >> 1) & 15; k > 0; --k) pow *= 10;
        const uint64_t top = uint64_t(INT64_MAX) / pow;
        for (uint64_t m = 0; m < 8192; ++m) {
            const uint64_t step = (rng() % (kMag / pow + 1)) * pow + pow / 2;
            for (uint64_t x : {m, kMag - m, rng(), rng() % 100000000, step - 1, step, step + 1, top + m % 3 - 1}) {
                const uint64_t v = (high << 58) | (x & kMag);
                const uint32_t w = uint32_t(high & 31) << 27 | (uint32_t(x) & 0x07FFFFFFu);
                ASSERT_EQ(Bits(D64(v)), Bits(plain::Packed(v, 64))) << std::hex << v;
                ASSERT_EQ(I64(v), plain::Int64(v)) << std::hex << v;
                ASSERT_EQ(Bits(D32(w)), Bits(plain::Packed(w, 32))) << std::hex << w;
                ASSERT_EQ(TL_PackedToTruncated32(w), plain::Truncate<int64_t>(plain::Packed(w, 32))) << std::hex << w;
            }
        }
    }
}

TEST(VarInts, OneByteAndOverlongForms) {
    const uint8_t c1 = 0xC1, e81 = 0x81;
    int32_t s = 0;
    uint32_t u = 0;
    EXPECT_EQ(TL_DecodeVarInt32(&c1, 1, &s), 1);
    EXPECT_EQ(s, -63);
    EXPECT_EQ(TL_DecodeVarUInt32(&c1, 1, &u), 1);
    EXPECT_EQ(u, 65u);
    EXPECT_EQ(TL_DecodeVarUInt32(&e81, 1, &u), 1);
    EXPECT_EQ(u, 1u);
    const uint8_t v100[] = {0x00, 0xE4};
    EXPECT_EQ(TL_DecodeVarInt32(v100, 2, &s), 2);
    EXPECT_EQ(s, 100);
    const uint8_t five[] = {1, 2, 3, 4, 5, 0x80};
    EXPECT_EQ(TL_DecodeVarInt32(five, 6, &s), -1);
    EXPECT_EQ(TL_DecodeVarUInt32(five, 6, &u), -1);
    const uint8_t ten[11] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0x80};
    int64_t l = 0;
    EXPECT_EQ(TL_DecodeVarInt64(ten, 11, &l), -1);
}

TEST(VarInts, TruncatedInputIsNotReadPast) {
    // Heap copies so that a read past the end shows under ASan.
    std::vector<uint8_t> in = {0x01, 0x02};
    auto* heap = new uint8_t[in.size()];
    std::memcpy(heap, in.data(), in.size());
    int32_t s;
    int64_t l;
    EXPECT_EQ(TL_DecodeVarInt32(heap, 2, &s), -1);
    EXPECT_EQ(TL_DecodeVarInt64(heap, 2, &l), -1);
    EXPECT_EQ(TL_DecodeVarInt32(heap, 0, &s), -1);
    delete[] heap;
}

TEST(VarInts, RoundTripThroughWriterEncoding) {
    std::vector<int64_t> s32 = {0, 1, -1, 63, 64, -64, -65, 8191, 8192, INT32_MAX, INT32_MIN, 100, -2};
    for (int64_t v : s32) {
        qw::Bytes b;
        qw::PutSVar(b, v);
        int32_t out = 0;
        ASSERT_EQ(TL_DecodeVarInt32(b.data(), int64_t(b.size()), &out), int(b.size())) << v;
        EXPECT_EQ(out, v);
    }
    for (int64_t v : {int64_t(0), INT64_MAX, INT64_MIN, int64_t(-1), int64_t(1) << 56, -(int64_t(1) << 40)}) {
        qw::Bytes b;
        qw::PutSVar(b, v);
        int64_t out = 0;
        ASSERT_EQ(TL_DecodeVarInt64(b.data(), int64_t(b.size()), &out), int(b.size())) << v;
        EXPECT_EQ(out, v);
    }
    for (uint64_t v : {0ull, 127ull, 128ull, 0xFFFFFFFFull}) {
        qw::Bytes b;
        qw::PutUVar(b, v);
        uint32_t out = 0;
        ASSERT_EQ(TL_DecodeVarUInt32(b.data(), int64_t(b.size()), &out), int(b.size()));
        EXPECT_EQ(out, v);
    }
    qw::Bytes m63;
    qw::PutSVar(m63, -63);
    EXPECT_EQ(m63, qw::Bytes({0xC1}));
}

TEST(SevenBitTexts, UnpacksAndTrims) {
    std::string code = "600000";
    qw::Bytes packed = qw::Pack7(reinterpret_cast<const uint8_t*>(code.data()), code.size());
    uint8_t out[16];
    int len = 0;
    EXPECT_EQ(TL_Unpack7Bit(out, 16, packed.data(), int(packed.size()), &len), int(packed.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), code);

    const uint8_t a[] = {0x41, 0x80, 0x55};
    EXPECT_EQ(TL_Unpack7Bit(out, 16, a, 3, &len), 2);  // stops at the end byte
    EXPECT_EQ(len, 1);
    EXPECT_EQ(out[0], 0x41);

    const uint8_t zeros[] = {0x00, 0x80};
    EXPECT_EQ(TL_Unpack7Bit(out, 16, zeros, 2, &len), 2);
    EXPECT_EQ(len, 1);  // at least one byte
    EXPECT_EQ(TL_Unpack7Bit(out, 0, zeros, 2, &len), 2);
    EXPECT_EQ(len, 0);  // no room, nothing reported
}

TEST(SevenBitTexts, FullOutputStillConsumesToTheEndByte) {
    std::string code = "ABCDEFGH";
    qw::Bytes packed = qw::Pack7(reinterpret_cast<const uint8_t*>(code.data()), code.size());
    packed.push_back(0x7F);  // the next item
    uint8_t out[3];
    int len = 0;
    EXPECT_EQ(TL_Unpack7Bit(out, 3, packed.data(), int(packed.size()), &len), int(packed.size()) - 1);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "ABC");
}

TEST(Crc16, CheckValueAndChaining) {
    const char* s = "123456789";
    EXPECT_EQ(TL_Crc16(0, s, 9), 0x31C3);
    EXPECT_EQ(TL_Crc16(0x1234, s, 0), 0x1234);
    EXPECT_EQ(TL_Crc16(TL_Crc16(0, s, 4), s + 4, 5), 0x31C3);
    std::mt19937 rng(7);
    std::vector<uint8_t> data(1000);
    for (auto& b : data) b = uint8_t(rng());
    for (size_t n = 0; n < 40; ++n) EXPECT_EQ(TL_Crc16(0, data.data() + 3, n), qw::Crc16(data.data() + 3, n)) << n;
    EXPECT_EQ(TL_Crc16(0, data.data(), data.size()), qw::Crc16(data.data(), data.size()));
    EXPECT_EQ(TL_Crc16(TL_Crc16(0, data.data(), 13), data.data() + 13, 987), qw::Crc16(data.data(), data.size()));
    // Long runs continued from a start value, with tails of every size past
    // whole 16- and 64-byte steps.
    for (size_t n : {66, 80, 95, 128, 143, 200, 1000})
        for (size_t k : {1, 2, 13})
            EXPECT_EQ(TL_Crc16(TL_Crc16(0, data.data(), k), data.data() + k, n - k), qw::Crc16(data.data(), n))
                << n << " " << k;
}

TEST(Snappy, RoundTripAndRefusals) {
    std::string text(5000, 'x');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = char('a' + i % 26);
    std::vector<char> z(snappy_max_compressed_length(text.size()));
    size_t zlen = z.size();
    ASSERT_EQ(snappy_compress(text.data(), text.size(), z.data(), &zlen), SNAPPY_OK);
    size_t n = 0;
    EXPECT_EQ(TL_SnappyGetUncompressedLength(z.data(), zlen, &n), 0);
    EXPECT_EQ(n, text.size());
    std::vector<char> out(text.size(), '#');
    size_t outLen = text.size() - 1;
    EXPECT_EQ(TL_SnappyUncompress(z.data(), zlen, out.data(), &outLen), -2);
    EXPECT_EQ(out, std::vector<char>(text.size(), '#'));  // nothing written
    outLen = out.size();
    EXPECT_EQ(TL_SnappyUncompress(z.data(), zlen, out.data(), &outLen), 0);
    EXPECT_EQ(outLen, text.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
    std::vector<char> bad(z.begin(), z.begin() + zlen / 2);
    outLen = out.size();
    EXPECT_EQ(TL_SnappyUncompress(bad.data(), bad.size(), out.data(), &outLen), -1);
    const char junk[] = {char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF)};
    EXPECT_EQ(TL_SnappyGetUncompressedLength(junk, sizeof junk, &n), -1);
}

}  // namespace
