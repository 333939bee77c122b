#include "framework/tl_codepage.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/pl_codepage.h"

namespace {

using corvane::CTLString;

const char kGbkZhongWen[] = "\xD6\xD0\xCE\xC4";           // 中文 in GBK
const char kUtf8ZhongWen[] = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文 in UTF-8
// 们说书 in GBK and 們說書 in Big5.
const char kGbkSimplified[] = "\xC3\xC7\xCB\xB5\xCA\xE9";
const char kBig5Traditional[] = "\xAD\xCC\xBB\xA1\xAE\xD1";

std::string S(const CTLString& s) { return std::string(s.GetString(), s.GetLength()); }

// Forces a framework locale for one test and restores "unknown" after it.
class WithLocale {
public:
    explicit WithLocale(uint16_t lang) { TL_InitFrameworkLocale(lang); }
    ~WithLocale() { TL_InitFrameworkLocale(0); }
};

TEST(CodePageConversions, RoundTripsBetweenGbkUtf8AndUtf16) {
    std::u16string w;
    EXPECT_EQ(2, TL_MultiByteToWide(kGbkZhongWen, -1, w, 936));
    EXPECT_EQ(u"\u4E2D\u6587", w);
    CTLString out;
    EXPECT_EQ(4, TL_WideToMultiByte(w.c_str(), -1, out, 936));
    EXPECT_EQ(kGbkZhongWen, S(out));
    EXPECT_EQ(6, TL_ToUtf8(kGbkZhongWen, 4, out, 936));
    EXPECT_EQ(kUtf8ZhongWen, S(out));
    EXPECT_EQ(4, TL_MultiByteToMultiByte(kUtf8ZhongWen, -1, out, 65001, 936));
    EXPECT_EQ(kGbkZhongWen, S(out));
    EXPECT_EQ(kUtf8ZhongWen, S(TL_ConvertCodePage(kGbkZhongWen, -1, 936, 65001)));
    // An explicit length stops early even without a zero byte.
    EXPECT_EQ(2, TL_MultiByteToMultiByte(kGbkZhongWen, 2, out, 936, 936));
    EXPECT_EQ(std::string(kGbkZhongWen, 2), S(out));
}

TEST(CodePageConversions, OutputsAreSizedFromTheConverter) {
    // Four bytes per character in GB18030: more than three per unit + 3.
    std::u16string w(100, u'\u00E5');
    CTLString out;
    EXPECT_EQ(400, TL_WideToMultiByte(w.c_str(), static_cast<int>(w.size()), out, 54936));
    std::u16string back;
    EXPECT_EQ(100, TL_MultiByteToWide(out.GetString(), out.GetLength(), back, 54936));
    EXPECT_EQ(w, back);
}

TEST(CodePageConversions, EmptyInvalidAndUnknown) {
    CTLString out = "old";
    EXPECT_EQ(0, TL_WideToMultiByte(u"", -1, out, 936));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(0, TL_WideToMultiByte(nullptr, 0, out, 936));
    // An invalid GBK byte is replaced, the rest kept.
    EXPECT_EQ(4, TL_MultiByteToMultiByte("a\xFF"
                                         "bc",
                                         -1, out, 936, 936));
    EXPECT_EQ("a?bc", S(out));
    EXPECT_EQ(-1, TL_MultiByteToMultiByte("a", -1, out, 4242, 936));
    std::u16string w;
    EXPECT_EQ(-1, TL_MultiByteToWide("a", -1, w, 4242));
    EXPECT_EQ(936u, TL_GetAnsiCodePage());
}

TEST(CodePageNames, ExactLowerCaseNames) {
    EXPECT_EQ(52936u, TL_CodePageFromName("gb2312"));
    EXPECT_EQ(936u, TL_CodePageFromName("gbk"));
    EXPECT_EQ(950u, TL_CodePageFromName("big5"));
    EXPECT_EQ(65001u, TL_CodePageFromName("utf-8"));
    EXPECT_EQ(65000u, TL_CodePageFromName("utf-7"));
    EXPECT_EQ(54936u, TL_CodePageFromName("gb18030"));
    EXPECT_EQ(1200u, TL_CodePageFromName("utf-16"));
    EXPECT_EQ(0u, TL_CodePageFromName("UTF-8"));
    EXPECT_EQ(0u, TL_CodePageFromName("utf8"));
    EXPECT_EQ(0u, TL_CodePageFromName(""));
    EXPECT_EQ(0u, TL_CodePageFromName(nullptr));
}

TEST(FrameworkLocale, FromLanguageId) {
    WithLocale zh(0x0804);
    EXPECT_STREQ("zh_CN.GBK", TL_GetFrameworkLocaleName());
    EXPECT_EQ(936u, TL_GetFrameworkCodePage().cp);
    EXPECT_EQ(936u, TL_GetFrameworkCodePage().enc);
    TL_InitFrameworkLocale(0x0C04);
    EXPECT_STREQ("zh_HK.BIG5", TL_GetFrameworkLocaleName());
    EXPECT_EQ(950u, TL_GetFrameworkCodePage().cp);
    TL_InitFrameworkLocale(0x0409);
    EXPECT_STREQ("en_US.windows-1252", TL_GetFrameworkLocaleName());
    EXPECT_EQ(1252u, TL_GetFrameworkCodePage().enc);
    TL_InitFrameworkLocale(0x0411);
    EXPECT_STREQ("unknown", TL_GetFrameworkLocaleName());
    EXPECT_EQ(0u, TL_GetFrameworkCodePage().cp);
    EXPECT_EQ(0u, TL_GetFrameworkCodePage().enc);
}

TEST(EncodingDetection, HeaderVectors) {
    TLCodePagePair p = {1, 1};
    EXPECT_GT(TL_DetectTextEncoding(&p, "#@language=zh_CN.GBK\r\nx=1\r\n", -1), 0);
    EXPECT_EQ(936u, p.cp);
    EXPECT_EQ(936u, p.enc);
    EXPECT_GT(TL_DetectTextEncoding(&p, "#@language=zh_TW.BIG5\n", -1), 0);
    EXPECT_EQ(950u, p.cp);
    EXPECT_EQ(950u, p.enc);
    EXPECT_GT(TL_DetectTextEncoding(&p, "#@language=zh_CN.utf-8\r\n", -1), 0);
    EXPECT_EQ(936u, p.cp);
    EXPECT_EQ(65001u, p.enc);
    // The override name is looked up as written: "UTF-8" names nothing.
    EXPECT_GT(TL_DetectTextEncoding(&p, "#@language=zh_CN.UTF-8\r\n", -1), 0);
    EXPECT_EQ(936u, p.cp);
    EXPECT_EQ(936u, p.enc);
    // Behind a UTF-8 byte-order mark, spaces around '='.
    EXPECT_GT(TL_DetectTextEncoding(&p, "\xEF\xBB\xBF#@language = zh_SG.gbk\n", -1), 0);
    EXPECT_EQ(936u, p.cp);
    EXPECT_EQ(936u, p.enc);
}

TEST(EncodingDetection, PositionReachedAndFailures) {
    TLCodePagePair p = {7, 7};
    // "#@language=" is 11 bytes, "zh_CN.GBK" 9 more; the line feed ends it.
    EXPECT_EQ(21, TL_DetectTextEncoding(&p, "#@language=zh_CN.GBK\nrest", -1));
    p = {7, 7};
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, "x=12345\n#@language=zh_CN.GBK", -1));
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, "#@language=ja_JP.SJIS\n", -1));
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, "", -1));
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, "abc", 0));
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, nullptr, 5));
    EXPECT_EQ(7u, p.cp);  // untouched by failures
    // Short texts: no read past the given length (ASan checks the buffers).
    const char shorts[] = {'#', '@', 'l', 'a', 'n', 'g'};
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, shorts, sizeof shorts));
    const char header_only[] = {'#', '@', 'l', 'a', 'n', 'g', 'u', 'a', 'g', 'e', '=', 'z', 'h', '_', 'T', 'W'};
    EXPECT_EQ(17, TL_DetectTextEncoding(&p, header_only, sizeof header_only));
    EXPECT_EQ(950u, p.cp);
    // A byte of 0x80 or more ends the locale text.
    EXPECT_EQ(-1, TL_DetectTextEncoding(&p, "#@language=zh\xC0_CN.GBK", -1));
}

TEST(ConverterRegistry, GbkAndBig5MapCharacters) {
    CTLString out;
    if (!pl::HaveChineseCharacterMapping()) GTEST_SKIP() << "built without ICU";
    EXPECT_EQ(6, TL_GbkToBig5(kGbkSimplified, -1, out));
    EXPECT_EQ(kBig5Traditional, S(out));
    EXPECT_EQ(6, TL_Big5ToGbk(kBig5Traditional, -1, out));
    EXPECT_EQ(kGbkSimplified, S(out));
    EXPECT_EQ(6, TL_RegistryConvert(950, 936, kBig5Traditional, -1, out));
    EXPECT_EQ(kGbkSimplified, S(out));
}

TEST(ConverterRegistry, OtherPairsAndAliasing) {
    CTLString out;
    EXPECT_EQ(4, TL_RegistryConvert(936, 1252, kGbkZhongWen, -1, out));
    EXPECT_EQ(kGbkZhongWen, S(out));
    EXPECT_EQ(3, TL_RegistryConvert(65001, 936, "abc", -1, out));
    EXPECT_EQ("abc", S(out));
    // A text inside the out string itself.
    out = "\xA4\xA4\xA4\xE5";  // 中文 in Big5
    EXPECT_EQ(4, TL_RegistryConvert(950, 936, out.GetString(), out.GetLength(), out));
    EXPECT_EQ(kGbkZhongWen, S(out));
}

TEST(FrameworkText, ConversionsFollowThePairs) {
    WithLocale zh(0x0804);
    CTLString out;
    // UTF-8 text of a zh_CN file: into GBK.
    TLCodePagePair utf8 = {936, 65001};
    int len = -1;
    EXPECT_STREQ(kGbkZhongWen, TL_ConvertToFrameworkText(kUtf8ZhongWen, &len, out, &utf8, 1));
    EXPECT_EQ(4, len);
    // And back.
    len = 4;
    EXPECT_STREQ(kUtf8ZhongWen, TL_ConvertFromFrameworkText(kGbkZhongWen, &len, out, &utf8, 1));
    EXPECT_EQ(6, len);
    // The framework's own pair changes nothing.
    len = -1;
    EXPECT_STREQ(kGbkZhongWen, TL_ConvertFromFrameworkText(kGbkZhongWen, &len, out, nullptr, 0));
    EXPECT_EQ(4, len);
    if (pl::HaveChineseCharacterMapping()) {
        // A Big5 text on a zh_CN system comes in as simplified GBK (flag bit 0).
        TLCodePagePair big5 = {950, 950};
        len = -1;
        EXPECT_STREQ(kGbkSimplified, TL_ConvertToFrameworkText(kBig5Traditional, &len, out, &big5, 1));
        // Without flag bit 0 it stays as it is.
        len = -1;
        EXPECT_STREQ(kBig5Traditional, TL_ConvertToFrameworkText(kBig5Traditional, &len, out, &big5, 0));
        len = -1;
        EXPECT_STREQ(kBig5Traditional, TL_ConvertFromFrameworkText(kGbkSimplified, &len, out, &big5, 1));
    }
}

TEST(FrameworkText, UnknownLocaleDisablesRegistryConversions) {
    WithLocale none(0);
    CTLString out;
    TLCodePagePair big5 = {950, 950};
    int len = -1;
    EXPECT_STREQ(kBig5Traditional, TL_ConvertToFrameworkText(kBig5Traditional, &len, out, &big5, 1));
    EXPECT_EQ(6, len);
}

TEST(UrlEncode, FormEncoding) {
    CTLString out;
    TL_UrlEncode(out, "a b/c");
    EXPECT_EQ("a+b%2Fc", S(out));
    TL_UrlEncode(out, "");
    EXPECT_TRUE(out.IsEmpty());
    TL_UrlEncode(out, kGbkZhongWen);
    EXPECT_EQ("%D6%D0%CE%C4", S(out));
    TL_UrlEncode(out, "Az09-_.~*");
    EXPECT_EQ("Az09-_%2E%7E%2A", S(out));
    TL_UrlEncode(out, nullptr);
    EXPECT_TRUE(out.IsEmpty());
}

}  // namespace
