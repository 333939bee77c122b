#include "session/dataclass.h"

#include <gtest/gtest.h>

namespace {

uint32_t Wire(uint32_t msg, const char* market, bool alt) {
    uint32_t w = 0xDEAD;
    MapDataClass(msg, market, alt, &w);
    return w;
}

TEST(DataClass, MapsHostClassesToWireClasses) {
    EXPECT_EQ(Wire(1, "USHA", false), 2u);
    EXPECT_EQ(Wire(2, "USHA", true), 1u);
    EXPECT_EQ(Wire(3, "USZA", true), 3u);
    EXPECT_EQ(Wire(4, "USHA", false), 8u);
    EXPECT_EQ(Wire(4, "USHA", true), 12u);
    EXPECT_EQ(Wire(4, "USZA", true), 8u);
    EXPECT_EQ(Wire(5, "USHA", false), 5u);
    EXPECT_EQ(Wire(5, "USHA", true), 13u);
    EXPECT_EQ(Wire(5, "USZA", true), 11u);
    EXPECT_EQ(Wire(5, nullptr, true), 11u);
    EXPECT_EQ(Wire(6, "USZA", false), 10u);
    // Unknown classes leave the output as it was.
    EXPECT_EQ(Wire(0, "USHA", false), 0xDEADu);
    EXPECT_EQ(Wire(7, "USHA", true), 0xDEADu);
    EXPECT_FALSE(MapDataClass(7, "USHA", true, nullptr));
    for (uint32_t c = 0; c < 9; ++c) EXPECT_EQ(IsValidDataClass(c), c >= 1 && c <= 6) << c;
}

TEST(DataClass, MarketCodeTexts) {
    EXPECT_EQ(MarketTextToByteId("USH"), 15u);
    EXPECT_EQ(MarketTextToByteId("USZ"), 31u);
    EXPECT_EQ(MarketTextToByteId("USHI"), 16u);
    EXPECT_EQ(MarketTextToByteId("USZA"), 33u);
    EXPECT_EQ(MarketTextToByteId("33"), 33u);
    EXPECT_EQ(MarketTextToByteId("UQQA"), 0u);
    EXPECT_EQ(MarketTextToByteId(nullptr), 0u);
    EXPECT_EQ(MarketCodeText("USH", "(600000)"), "15(600000)");
    EXPECT_EQ(MarketCodeText("USZA", "(000001)"), "33(000001)");
    EXPECT_EQ(MarketCodeText("USHI", "000001,000300"), "16(1A0001,1B0300)");
    EXPECT_EQ(MarketCodeText("USHI", "()"), "16()");
    EXPECT_EQ(MarketCodeText("USHA", nullptr), "17");
}

TEST(IndexCodes, Forward) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"000001", "1A0001"},    {"000003", "1A0003"}, {"000004", "1B0001"}, {"000005", "1B0002"},
        {"000006", "1B0004"},    {"000008", "1B0006"}, {"000009", "1B0009"}, {"000010", "1B0007"},
        {"000011", "1B0008"},    {"000012", "1B0012"}, {"000099", "1B0099"}, {"000300", "1B0300"},
        {"600000", "1B0600000"}, {"000000", "000000"}, {"ABC", "ABC"},       {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PublicCodeToIndexCode(c.in), c.out) << c.in;
}

TEST(IndexCodes, Reverse) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"1B0007", "000010"},
        {"1A0004", "1A0004"},
        {"1A0001", "000001"},
        {"1B0001", "000004"},
        {"1B0004", "000006"},
        {"1B0010", "1B0010"},
        {"1B0011", "1B0011"},
        {"1B9999", "009999"},
        {"1B0600000", "1B0600000"},
        {"1C0001", "1C0001"},
        {"1B", "1B"},
        {"1", "1"},
        {"", ""},
        {"1BXY", "1BXY"},
    };
    for (const auto& c : cases) EXPECT_EQ(IndexCodeToPublicCode(c.in), c.out) << c.in;
}

// Both tables together: every public code 1..9999 comes back unchanged.
TEST(IndexCodes, RoundTripOneTo9999) {
    for (int n = 1; n <= 9999; ++n) {
        char pub[16];
        snprintf(pub, sizeof pub, "%06d", n);
        std::string idx = PublicCodeToIndexCode(pub);
        ASSERT_NE(idx, pub) << n;
        ASSERT_EQ(IndexCodeToPublicCode(idx), pub) << n << " via " << idx;
    }
}

TEST(IndexCodes, Lists) {
    EXPECT_EQ(PublicCodeListToIndexCodes("(000001,000002)"), "(1A0001,1A0002)");
    EXPECT_EQ(PublicCodeListToIndexCodes("000001"), "(1A0001)");
    EXPECT_EQ(PublicCodeListToIndexCodes("()"), "()");
    EXPECT_EQ(PublicCodeListToIndexCodes(""), "");
    EXPECT_EQ(PublicCodeListToIndexCodes("(000001,,600000)"), "(1A0001,,1B0600000)");
    EXPECT_EQ(PublicCodeListToIndexCodes("x(000010)y"), "(1B0007)");
    // Without a proper pair the whole text is the list.
    EXPECT_EQ(PublicCodeListToIndexCodes("000010)"), "(1B0007)");
    EXPECT_EQ(PublicCodeListToIndexCodes(")000010("), "()000010()");
    EXPECT_EQ(PublicCodeListToIndexCodes("(000010"), "((000010)");
}

}  // namespace
