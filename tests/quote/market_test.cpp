#include "quote/market.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/local_time.h"

namespace {

uint32_t Id(const char* text) { return MarketIdFromText(text); }

std::string Text(uint32_t id) {
    char buf[8];
    memset(buf, 0x7F, sizeof buf);
    char* end = MarketIdToText(id, buf);
    EXPECT_EQ(*end, '\0');
    return std::string(buf, end);
}

TEST(MarketId, PartsOfBothForms) {
    EXPECT_EQ(Id("USHA"), 0x41485355u);
    EXPECT_EQ(MarketIdGetMarket(0x41485355u), 0x485300u);
    EXPECT_EQ(MarketIdGetSubType(0x41485355u), 0x41000000u);
    EXPECT_EQ(MarketIdGetMarket(0x2Bu), 0x28u);
    EXPECT_EQ(MarketIdGetSubType(0x2Bu), 3u);
    // Text not beginning with 'U': the first byte's value; a space is a
    // market byte too (SZ index).
    EXPECT_EQ(Id("\x10"
                 "600000"),
              0x10u);
    EXPECT_EQ(Id(" 399001"), 0x20u);
    EXPECT_EQ(Id(nullptr), 0u);
}

TEST(MarketId, ShortTextsStopAtTheirEnd) {
    EXPECT_EQ(Id("USH"), 0x00485355u);
    EXPECT_EQ(Id("US"), 0x00005355u);
    EXPECT_EQ(Id("U"), 0x55u);
    // "USH" finds the SH row by code but has no security-type position.
    EXPECT_EQ(MarketIdGetMarket(Id("USH")), 0x485300u);
    EXPECT_EQ(MarketIdToByte(Id("USH"), 0), 0u);
    EXPECT_EQ(MarketIdToByte(Id("USH"), 1), 0x10u);
}

struct ByteCase {
    const char* text;
    uint32_t flags;
    uint32_t expected;
};

TEST(MarketId, ToByte) {
    const ByteCase cases[] = {
        {"USHA", 0, 0x11}, {"USZH", 0, 0x26}, {"USHI", 0, 0x10}, {"USZI", 0, 0x20},
        {"USHC", 0, 0x17}, {"USXB", 0, 0x2A}, {"USXD", 0, 0},    {"USZA", 1, 0x20},
        {"UQQA", 0, 0},    {"UQQA", 1, 0},    {"UJTA", 0, 0},    {"UJTA", 1, 0},
        {"USOO", 0, 0xE9}, {"UNYF", 0, 0xAF}, {"USWS", 0, 0x6A}, {"USW", 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(MarketIdToByte(Id(c.text), c.flags), c.expected) << c.text << " " << c.flags;
}

TEST(MarketId, ByteFormToByteKeepsUsedPositionsOnly) {
    EXPECT_EQ(MarketIdToByte(0x28, 0), 0x28u);  // SX 'I'
    EXPECT_EQ(MarketIdToByte(0x2A, 0), 0x2Au);  // SX 'B'
    EXPECT_EQ(MarketIdToByte(0x2B, 0), 0u);     // SX position 3 is unused
    EXPECT_EQ(MarketIdToByte(0x2B, 1), 0x28u);
    EXPECT_EQ(MarketIdToByte(0x08, 0), 0u);  // no market byte 0x08
    EXPECT_EQ(MarketIdToByte(0x00, 1), 0u);  // JT/JO are not found by byte
}

TEST(MarketId, ToCode) {
    EXPECT_EQ(MarketIdToCode(0x13, 0), 0x44485300u);
    EXPECT_EQ(MarketIdToCode(0x13, 1), 0x00485300u);
    EXPECT_EQ(MarketIdToCode(0x2B, 0), 0x00585300u);  // unused position: no letter
    EXPECT_EQ(MarketIdToCode(0x08, 0), 0u);
    EXPECT_EQ(MarketIdToCode(Id("USZA"), 0), Id("USZA"));
    EXPECT_EQ(MarketIdToCode(Id("USZA"), 1), 0x005A5300u);
}

TEST(MarketId, ToText) {
    EXPECT_EQ(Text(0x25), "37");
    EXPECT_EQ(Text(0x00), "0");
    EXPECT_EQ(Text(0xFF), "255");
    EXPECT_EQ(Text(Id("USZA")), "USZA");
    EXPECT_EQ(Text(Id("USH")), "USH");
    // The code of a byte id has byte 0 zero; the text still begins with 'U'.
    EXPECT_EQ(Text(MarketIdToCode(0x11, 0)), "USHA");
}

TEST(MarketTable, JtAndJoAreFoundByCodeOnly) {
    const MarketTable& t = MarketTable::Instance();
    const MarketInfo* jt = t.FindByCode(Id("UJT"));
    const MarketInfo* jo = t.FindByCode(Id("UJOX"));
    ASSERT_NE(jt, nullptr);
    ASSERT_NE(jo, nullptr);
    EXPECT_STREQ(jt->name, "JT");
    EXPECT_STREQ(jo->name, "JO");
    EXPECT_EQ(jt->market_byte, 0u);
    EXPECT_EQ(t.FindByByte(0), nullptr);
    EXPECT_EQ(t.FindByCode(Id("UQQ")), nullptr);
    EXPECT_EQ(t.FindByCode(0x13), nullptr);
}

TEST(MarketTable, RowsInOrder) {
    const char* expected[kMarketTableRows] = {"SH", "SZ", "SX", "RF", "CF", "SG", "FX", "HF", "IF", "ST",
                                              "EU", "HK", "OT", "UD", "TI", "ZO", "SK", "FI", "SW", "ZZ",
                                              "IB", "ZK", "NY", "NQ", "US", "CM", "SO", "JT", "JO"};
    const uint32_t bytes[kMarketTableRows] = {0x10, 0x20, 0x28, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90,
                                              0xA0, 0xB0, 0xC0, 0xD0, 0x18, 0x38, 0x48, 0x58, 0x68, 0x78,
                                              0x88, 0x98, 0xA8, 0xB8, 0xC8, 0xD8, 0xE8, 0x00, 0x00};
    const MarketTable& t = MarketTable::Instance();
    for (size_t i = 0; i < kMarketTableRows; ++i) {
        const MarketInfo* r = t.Row(i);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->name, expected[i]) << i;
        EXPECT_EQ(r->market_byte, bytes[i]) << i;
        EXPECT_EQ(r->code & 0xFF0000FFu, 0u) << i;
        EXPECT_EQ(r->types[0], r->market_byte ? (uint32_t('I') << 24) : 0u) << i;
    }
    EXPECT_EQ(t.Row(kMarketTableRows), nullptr);
    // Spot checks of the type columns.
    EXPECT_EQ(t.FindByByte(0x20)->types[6], uint32_t('H') << 24);
    EXPECT_EQ(t.FindByByte(0x68)->types[1], 0u);
    EXPECT_EQ(t.FindByByte(0x68)->types[5], uint32_t('L') << 24);
    EXPECT_EQ(t.FindByByte(0x90)->types[6], uint32_t('T') << 24);
    EXPECT_EQ(t.FindByByte(0xA8)->types[7], uint32_t('F') << 24);
}

// The whole table, row by row, as the market list gives it: the market
// byte, the letters and the security-type letter of every position ("-" for
// an unused one). A typo or a swapped letter anywhere shows here.
TEST(MarketTable, EveryRowAndPosition) {
    struct Row {
        uint32_t byte;
        const char* letters;
        const char* types;
    };
    const Row rows[kMarketTableRows] = {
        {0x10, "SH", "IABDJPTC"}, {0x20, "SZ", "IABDJPHC"}, {0x28, "SX", "IAB-----"}, {0x30, "RF", "IA------"},
        {0x40, "CF", "ISDZTLX-"}, {0x50, "SG", "IG------"}, {0x60, "FX", "IBCRON--"}, {0x70, "HF", "IFSRZ---"},
        {0x80, "IF", "IFB-----"}, {0x90, "ST", "IAB---T-"}, {0xA0, "EU", "IAB-----"}, {0xB0, "HK", "IMGWTDB-"},
        {0xC0, "OT", "IS------"}, {0xD0, "UD", "I-------"}, {0x18, "TI", "I-------"}, {0x38, "ZO", "IO------"},
        {0x48, "SK", "IMG-----"}, {0x58, "FI", "IAHKS---"}, {0x68, "SW", "I-SXFL--"}, {0x78, "ZZ", "I-------"},
        {0x88, "IB", "IS------"}, {0x98, "ZK", "IMGWTDB-"}, {0xA8, "NY", "INACPYMF"}, {0xB8, "NQ", "IQSBPE--"},
        {0xC8, "US", "IDA-----"}, {0xD8, "CM", "INCS----"}, {0xE8, "SO", "IO------"}, {0x00, "JT", "--------"},
        {0x00, "JO", "--------"},
    };
    const MarketTable& t = MarketTable::Instance();
    for (size_t i = 0; i < kMarketTableRows; ++i) {
        const Row& e = rows[i];
        const MarketInfo* r = t.Row(i);
        ASSERT_NE(r, nullptr) << i;
        EXPECT_EQ(r->market_byte, e.byte) << e.letters;
        EXPECT_STREQ(r->name, e.letters) << i;
        const uint32_t code = (uint32_t(uint8_t(e.letters[0])) << 8) | (uint32_t(uint8_t(e.letters[1])) << 16);
        EXPECT_EQ(r->code, code) << e.letters;
        EXPECT_EQ(t.FindByCode(code), r) << e.letters;
        if (e.byte != 0) {
            EXPECT_EQ(t.FindByByte(e.byte), r) << e.letters;
        }
        for (uint32_t pos = 0; pos < 8; ++pos) {
            const uint32_t letter = e.types[pos] == '-' ? 0u : uint32_t(uint8_t(e.types[pos])) << 24;
            EXPECT_EQ(r->types[pos], letter) << e.letters << " position " << pos;
            if (e.byte == 0) continue;
            // The byte id of the position names the same market text.
            char text[5];
            char* end = MarketIdToText(MarketIdToCode(e.byte | pos, 0), text);
            std::string expected = std::string("U") + e.letters + (letter ? std::string(1, e.types[pos]) : "");
            EXPECT_EQ(std::string(text, end), expected) << e.letters << " position " << pos;
        }
    }
    // Market bytes that no row carries.
    for (uint32_t b : {0x08u, 0xE0u, 0xF0u, 0xF8u}) EXPECT_EQ(t.FindByByte(b), nullptr) << b;
}

// Every used position of every row round-trips: four-character text -> byte
// -> code -> text.
TEST(MarketTable, EveryPositionRoundTrips) {
    int checked = 0;
    for (size_t i = 0; i < kMarketTableRows; ++i) {
        const MarketInfo* r = MarketTable::Instance().Row(i);
        for (uint32_t pos = 0; pos < 8; ++pos) {
            if (r->types[pos] == 0) continue;
            char text[5] = {'U', r->name[0], r->name[1], static_cast<char>(r->types[pos] >> 24), 0};
            uint32_t id = Id(text);
            uint32_t b = MarketIdToByte(id, 0);
            ASSERT_EQ(b, r->market_byte | pos) << text;
            uint32_t code = MarketIdToCode(b, 0);
            EXPECT_EQ(code, id & 0xFFFFFF00u) << text;
            EXPECT_EQ(Text(code), text);
            EXPECT_EQ(MarketIdToByte(b, 0), b) << text;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 110);
}

TEST(MarketDates, LocalParts) {
    kvotest::ScopedTimeZone zone("Asia/Shanghai");
    // 2024-12-31 17:30:00 UTC is 2025-01-01 01:30 in Shanghai.
    time_t t = 1735666200;
    EXPECT_EQ(GetYear(t), 2025);
    EXPECT_EQ(GetMonth(t), 1);
    EXPECT_EQ(GetDayOfMonth(t), 1);
}

}  // namespace
