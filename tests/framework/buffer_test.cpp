#include "framework/tl_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using corvane::CTLSmartBuffer;

TEST(BufferGrowth, StepsOfTheGrowthRule) {
    CTLSmartBuffer b;
    EXPECT_EQ(b.GetData(), nullptr);
    EXPECT_EQ(b.GetCapacity(), 0u);
    char one = 'x';
    ASSERT_NE(b.Append(&one, 1), nullptr);
    EXPECT_EQ(b.GetCapacity(), 1024u);
    EXPECT_EQ(b.GetLength(), 1u);

    std::vector<char> block(5000, 'k');
    CTLSmartBuffer full;
    full.Append(block.data(), 1024);
    EXPECT_EQ(full.GetCapacity(), 1024u);
    full.Append(block.data(), 1000);  // twice the used length wins: 2048
    EXPECT_EQ(full.GetCapacity(), 2048u);

    CTLSmartBuffer big;
    big.Append(block.data(), 1024);
    big.Append(block.data(), 5000);  // the need wins: 6024 rounded up to 6144
    EXPECT_EQ(big.GetCapacity(), 6144u);
    EXPECT_EQ(big.GetLength(), 6024u);
}

TEST(BufferGrowth, AppendExTerminates) {
    CTLSmartBuffer b;
    char* at = b.AppendEx("0123456789", 10, 1);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(b.GetLength(), 10u);
    EXPECT_EQ(b.GetData()[10], '\0');
    EXPECT_EQ(std::memcmp(b.GetData(), "0123456789", 10), 0);
    // A terminated append fills the block exactly; without terminate no
    // doubling takes place.
    CTLSmartBuffer exact;
    exact.AppendEx(std::vector<char>(1023, 'a').data(), 1023, 1);
    EXPECT_EQ(exact.GetCapacity(), 1024u);
    exact.AppendEx("b", 1, 0);
    EXPECT_EQ(exact.GetCapacity(), 1024u);
    exact.AppendEx("c", 1, 0);
    EXPECT_EQ(exact.GetCapacity(), 2048u);  // need 1025 alone, rounded
}

TEST(BufferGrowth, SpareCapacityReadsAsZeros) {
    CTLSmartBuffer b;
    std::vector<char> ff(1500, '\xFF');
    b.Append(ff.data(), 1000);
    b.Append(ff.data(), 1500);  // grows to 3072 and copies
    ASSERT_EQ(b.GetCapacity(), 3072u);
    for (uint32_t i = b.GetLength(); i < b.GetCapacity(); ++i) ASSERT_EQ(b.GetData()[i], 0) << i;
}

TEST(BufferGrowth, NullDataOnlyMakesRoom) {
    CTLSmartBuffer b;
    char* at = b.Append(nullptr, 3000);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(b.GetLength(), 0u);
    EXPECT_EQ(b.GetCapacity(), 3072u);
    EXPECT_EQ(at, b.GetData());
}

TEST(BufferGrowth, ExtendSetLengthAndFree) {
    CTLSmartBuffer b;
    char* p = b.Extend(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(b.GetLength(), 10u);
    std::memcpy(p, "abcdefghij", 10);
    char* q = b.Extend(5);
    EXPECT_EQ(q, b.GetData() + 10);
    uint32_t len = 0;
    EXPECT_EQ(b.GetData(&len), b.GetData());
    EXPECT_EQ(len, 15u);
    EXPECT_NE(b.SetLength(-1), nullptr);  // ignored
    EXPECT_EQ(b.GetLength(), 15u);
    b.SetLength(4);
    EXPECT_EQ(b.GetLength(), 4u);
    b.SetLength(5000);
    EXPECT_EQ(b.GetLength(), 5000u);
    EXPECT_EQ(b.GetCapacity(), 5120u);
    // The used bytes move to the new block; everything after them is zero.
    EXPECT_EQ(std::memcmp(b.GetData(), "abcd\0\0", 6), 0);
    EXPECT_EQ(b.GetData()[4999], 0);
    b.SetLength(2);
    b.SetLength(4);  // within the capacity: the bytes stay as they were
    EXPECT_EQ(std::memcmp(b.GetData(), "abcd", 4), 0);
    b.Free();
    EXPECT_EQ(b.GetData(), nullptr);
    EXPECT_EQ(b.GetLength(), 0u);
    EXPECT_EQ(b.GetCapacity(), 0u);
}

TEST(BufferGrowth, OverflowIsRefusedAndLeavesBufferUnchanged) {
    CTLSmartBuffer b;
    b.Append("abc", 3);
    char* before = b.GetData();
    EXPECT_EQ(b.Append(nullptr, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(b.Extend(0xFFFFFFFEu), nullptr);
    EXPECT_EQ(b.AppendEx("x", 0xFFFFFFFFu, 1), nullptr);
    EXPECT_EQ(b.GetData(), before);
    EXPECT_EQ(b.GetLength(), 3u);
    EXPECT_EQ(b.GetCapacity(), 1024u);
}

TEST(BufferGrowth, AppendFromItselfAcrossGrowth) {
    CTLSmartBuffer b;
    std::vector<char> src(1024);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<char>(i * 7);
    b.Append(src.data(), 1024);
    // The source is freed by the growth; the copy must still be right.
    ASSERT_NE(b.Append(b.GetData(), 1024), nullptr);
    ASSERT_EQ(b.GetLength(), 2048u);
    EXPECT_EQ(std::memcmp(b.GetData(), src.data(), 1024), 0);
    EXPECT_EQ(std::memcmp(b.GetData() + 1024, src.data(), 1024), 0);
}
