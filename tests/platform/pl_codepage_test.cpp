#include "platform/pl_codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

const char kGbkZhongWen[] = "\xD6\xD0\xCE\xC4";  // "中文" in GBK
const char16_t kZhongWen[] = u"\u4E2D\u6587";

std::u16string ToWide(uint32_t cp, const std::string& s) {
    std::u16string w;
    EXPECT_EQ(0, pl::MultiByteToUtf16(cp, s.data(), s.size(), w));
    return w;
}

std::string ToBytes(uint32_t cp, const std::u16string& w) {
    std::string s;
    EXPECT_EQ(0, pl::Utf16ToMultiByte(cp, w.data(), w.size(), s));
    return s;
}

TEST(PlatformCodePage, GbkUtf8Utf16RoundTrips) {
    EXPECT_EQ(std::u16string(kZhongWen), ToWide(pl::kCpGbk, kGbkZhongWen));
    EXPECT_EQ(std::string(kGbkZhongWen), ToBytes(pl::kCpGbk, kZhongWen));
    EXPECT_EQ(std::string("\xE4\xB8\xAD\xE6\x96\x87"), ToBytes(pl::kCpUtf8, kZhongWen));
    EXPECT_EQ(std::u16string(kZhongWen), ToWide(pl::kCpUtf8, "\xE4\xB8\xAD\xE6\x96\x87"));
    EXPECT_EQ(std::string("\xA4\xA4\xA4\xE5"), ToBytes(pl::kCpBig5, kZhongWen));
    // Code page 0 is the system code page, GBK.
    EXPECT_EQ(std::u16string(kZhongWen), ToWide(0, kGbkZhongWen));
    EXPECT_EQ(936u, pl::SystemCodePage());
    // 52936 is EUC-CN, which shares its two-byte codes with GBK.
    EXPECT_EQ(std::u16string(kZhongWen), ToWide(pl::kCpGb2312, kGbkZhongWen));
}

TEST(PlatformCodePage, Gb18030FourByteCharactersSurvive) {
    // U+00E5 and U+20000 are four-byte characters in GB18030.
    std::u16string w = u"a\u00E5\u20AC\U00020000z";
    std::string g = ToBytes(pl::kCpGb18030, w);
    EXPECT_EQ(12u, g.size());  // 1 + 4 + 2 + 4 + 1
    EXPECT_EQ(w, ToWide(pl::kCpGb18030, g));
    // A long text far beyond one conversion chunk is converted whole.
    std::u16string longw(20000, u'\u00E5');
    std::string longg = ToBytes(pl::kCpGb18030, longw);
    EXPECT_EQ(80000u, longg.size());
    EXPECT_EQ(longw, ToWide(pl::kCpGb18030, longg));
}

TEST(PlatformCodePage, Utf7ClosesItsShiftState) {
    std::u16string w = u"A\u4E2D";
    std::string s = ToBytes(pl::kCpUtf7, w);
    // U+4E2D is 16 bits: two full Base64 digits, then the last 4 bits padded
    // into a third, and the '-' that ends the shift.
    EXPECT_EQ("A+Ti0-", s);
    EXPECT_EQ(w, ToWide(pl::kCpUtf7, s));
}

TEST(PlatformCodePage, InvalidInputIsSubstitutedNotTruncated) {
    // 0xFF is no GBK lead byte; the rest of the text must follow.
    std::u16string w = ToWide(pl::kCpGbk, std::string("a\xFF") + kGbkZhongWen + "b");
    EXPECT_EQ(std::u16string(u"a\uFFFD\u4E2D\u6587b"), w);
    // A lead byte cut off by the end of the text.
    EXPECT_EQ(std::u16string(u"x\uFFFD"), ToWide(pl::kCpGbk, "x\xD6"));
    // Invalid UTF-8 in the middle.
    EXPECT_EQ(std::u16string(u"a\uFFFDb"), ToWide(pl::kCpUtf8,
                                                  "a\xC0"
                                                  "b"));
    // A character GBK lacks (Hangul) and a lone surrogate become '?'.
    std::u16string bad = u"a";
    bad.push_back(u'\uAC00');
    bad.push_back(static_cast<char16_t>(0xD800));
    bad += u"b";
    EXPECT_EQ("a??b", ToBytes(pl::kCpGbk, bad));
    // A supplementary character that Big5 lacks becomes a single '?'.
    EXPECT_EQ("x?y", ToBytes(pl::kCpBig5, u"x\U0001F600y"));
}

// Long texts are encoded a piece at a time: a surrogate pair across a
// piece's end is one character, a UTF-7 shift runs on into the next piece,
// and every character the target lacks, however many, is one '?' in place.
TEST(PlatformCodePage, LongTextsEncodeWholeAcrossPieces) {
    // Surrogate pairs at every offset around the first pieces' ends.
    std::u16string w;
    for (int i = 0; i < 3000; ++i) {
        w.push_back(u'a');
        w += u"\U00020000";
    }
    const std::string g = ToBytes(pl::kCpGb18030, w);
    EXPECT_EQ(3000u * 5, g.size());
    EXPECT_EQ(w, ToWide(pl::kCpGb18030, g));
    EXPECT_EQ(w, ToWide(pl::kCpUtf8, ToBytes(pl::kCpUtf8, w)));

    // Hangul, which GBK lacks, with GBK characters and lone surrogates.
    std::u16string mixed;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        mixed += u"\uAC00\u4E2D";
        expected += std::string("?") + "\xD6\xD0";
        if (i % 700 == 0) {
            mixed.push_back(static_cast<char16_t>(0xDC00 + i % 1024));
            expected += "?";
        }
    }
    EXPECT_EQ(expected, ToBytes(pl::kCpGbk, mixed));
    // The same into UTF-16 itself: only the lone surrogates are replaced.
    const std::string wide = ToBytes(pl::kCpUtf16Le, mixed);
    ASSERT_EQ(mixed.size() * 2, wide.size());
    EXPECT_EQ(std::string("?\0", 2), wide.substr(4, 2));
    EXPECT_EQ(std::string("\x00\xAC", 2), wide.substr(6, 2));

    // One UTF-7 shift over several pieces, closed once at the end.
    const std::u16string han(5000, u'\u4E2D');
    const std::string u7 = ToBytes(pl::kCpUtf7, u"A" + han + u"B");
    EXPECT_EQ(1u, std::count(u7.begin(), u7.end(), '+'));
    EXPECT_EQ(u"A" + han + u"B", ToWide(pl::kCpUtf7, u7));
}

// A multi-byte sequence cut off by the end of the text is one character
// lost: it gives exactly one replacement character, however many of its
// bytes are there, and what comes before it is kept.
TEST(PlatformCodePage, SequenceCutOffAtTheEndGivesOneReplacement) {
    // UTF-8: two of three bytes of U+4E2D, one of three, three of four (U+1F600).
    EXPECT_EQ(std::u16string(u"a\uFFFD"), ToWide(pl::kCpUtf8, "a\xE4\xB8"));
    EXPECT_EQ(std::u16string(u"\u4E2D\uFFFD"), ToWide(pl::kCpUtf8, "\xE4\xB8\xAD\xE6\x96"));
    EXPECT_EQ(std::u16string(u"\uFFFD"), ToWide(pl::kCpUtf8, "\xE4"));
    EXPECT_EQ(std::u16string(u"z\uFFFD"), ToWide(pl::kCpUtf8, "z\xF0\x9F\x98"));
    // GB18030: three of the four bytes of U+00E5.
    EXPECT_EQ(std::u16string(u"a\uFFFD"), ToWide(pl::kCpGb18030, "a\x81\x30\x8B"));
    // GBK: a lead byte alone after a whole character.
    EXPECT_EQ(std::u16string(u"\u4E2D\uFFFD"), ToWide(pl::kCpGbk, "\xD6\xD0\xCE"));
    // A cut-off sequence far into a text longer than one conversion chunk.
    const std::string longText = std::string(10000, 'x') + "\xE6\x96";
    const std::u16string wide = ToWide(pl::kCpUtf8, longText);
    ASSERT_EQ(10001u, wide.size());
    EXPECT_EQ(u'x', wide[9999]);
    EXPECT_EQ(u'\uFFFD', wide[10000]);
}

// Converters are kept open and reused: one left inside a UTF-7 shift or
// behind an invalid sequence must not change how the next text is read.
TEST(PlatformCodePage, ReusedConvertersStartFresh) {
    for (int round = 0; round < 3; ++round) {
        // Cut off inside a shift: the Base64 digits of U+4E2D, no '-'.
        std::u16string w = ToWide(pl::kCpUtf7, "A+Ti0");
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(u'A', w[0]);
        EXPECT_EQ(u"Ti0-x", ToWide(pl::kCpUtf7, "Ti0-x"));
        // A lead byte cut off by the end, then a whole text.
        EXPECT_EQ(u"x\uFFFD", ToWide(pl::kCpGbk, "x\xD6"));
        EXPECT_EQ(std::u16string(kZhongWen), ToWide(pl::kCpGbk, kGbkZhongWen));
        // A shift opened while encoding is closed in every output.
        EXPECT_EQ("A+Ti0-", ToBytes(pl::kCpUtf7, u"A\u4E2D"));
        EXPECT_EQ("b", ToBytes(pl::kCpUtf7, u"b"));
    }
}

TEST(PlatformCodePage, EmptyAndUnknownCodePages) {
    std::u16string w = u"keep";
    EXPECT_EQ(0, pl::MultiByteToUtf16(pl::kCpGbk, "", 0, w));
    EXPECT_EQ(u"keep", w);
    std::string s;
    EXPECT_EQ(0, pl::Utf16ToMultiByte(pl::kCpGbk, u"", 0, s));
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(-1, pl::MultiByteToUtf16(12345, "a", 1, w));
    EXPECT_EQ(-1, pl::Utf16ToMultiByte(12345, u"a", 1, s));
    EXPECT_EQ(nullptr, pl::CodePageIconvName(12345));
    EXPECT_STREQ("GB2312", pl::CodePageIconvName(52936));
}

TEST(PlatformCodePage, ChineseCharacterMapping) {
    std::u16string out;
    if (!pl::HaveChineseCharacterMapping()) {
        EXPECT_EQ(-1, pl::MapChineseCharacters(u"\u4EEC", 1, true, out));
        EXPECT_EQ(u"\u4EEC", out);
        GTEST_SKIP() << "built without ICU";
    }
    // 们说书 <-> 們說書
    EXPECT_EQ(0, pl::MapChineseCharacters(u"\u4EEC\u8BF4\u4E66", 3, true, out));
    EXPECT_EQ(u"\u5011\u8AAA\u66F8", out);
    EXPECT_EQ(0, pl::MapChineseCharacters(u"\u5011\u8AAA\u66F8", 3, false, out));
    EXPECT_EQ(u"\u4EEC\u8BF4\u4E66", out);
    EXPECT_EQ(0, pl::MapChineseCharacters(u"abc", 3, false, out));
    EXPECT_EQ(u"abc", out);
}

TEST(PlatformCodePage, LanguageIdFromLocale) {
    EXPECT_EQ(0x0804, pl::LangIdFromLocaleName("zh_CN.UTF-8"));
    EXPECT_EQ(0x0804, pl::LangIdFromLocaleName("zh_CN"));
    EXPECT_EQ(0x0404, pl::LangIdFromLocaleName("zh_TW.Big5"));
    EXPECT_EQ(0x0C04, pl::LangIdFromLocaleName("zh_HK"));
    EXPECT_EQ(0x1004, pl::LangIdFromLocaleName("zh_SG.GBK"));
    EXPECT_EQ(0x0809, pl::LangIdFromLocaleName("en_GB.utf8"));
    EXPECT_EQ(0x0409, pl::LangIdFromLocaleName("en_US@euro"));
    EXPECT_EQ(0, pl::LangIdFromLocaleName("C.UTF-8"));
    EXPECT_EQ(0, pl::LangIdFromLocaleName("zh_CNX"));
    EXPECT_EQ(0, pl::LangIdFromLocaleName("POSIX"));
    EXPECT_EQ(0, pl::LangIdFromLocaleName(nullptr));

    setenv("LC_ALL", "", 1);
    setenv("LC_CTYPE", "zh_TW.UTF-8", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(0x0404, pl::GetSystemDefaultLangId());
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(0, pl::GetSystemDefaultLangId());
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    EXPECT_EQ(0x0409, pl::GetSystemDefaultLangId());
}

}  // namespace
