#include "framework/tl_string.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using corvane::CTLString;

TEST(StringSlicing, LeftMidRight) {
    CTLString s("abc");
    EXPECT_STREQ(s.Left(100).GetString(), "abc");
    EXPECT_STREQ(s.Left(-1).GetString(), "abc");
    EXPECT_STREQ(s.Left(2).GetString(), "ab");
    EXPECT_STREQ(s.Left(0).GetString(), "");
    EXPECT_THROW(s.Right(4), std::out_of_range);
    EXPECT_STREQ(s.Right(3).GetString(), "abc");
    EXPECT_STREQ(s.Right(1).GetString(), "c");
    EXPECT_STREQ(s.Mid(3).GetString(), "");
    EXPECT_STREQ(s.Mid(1).GetString(), "bc");
    EXPECT_THROW(s.Mid(4), std::out_of_range);
    EXPECT_STREQ(s.MidCount(1, 10).GetString(), "bc");
    EXPECT_STREQ(s.MidCount(0, 2).GetString(), "ab");
    EXPECT_STREQ(s.MidCount(1, -1).GetString(), "bc");
    EXPECT_THROW(s.MidCount(4, 1), std::out_of_range);
}

TEST(StringSlicing, IndexErrors) {
    CTLString s("abc");
    EXPECT_EQ(s.GetAt(2), 'c');
    EXPECT_THROW(s.GetAt(3), std::out_of_range);
    EXPECT_THROW(s.GetAt(-1), std::out_of_range);
    s.SetAt(0, 'x');
    EXPECT_STREQ(s.GetString(), "xbc");
    EXPECT_THROW(s.SetAt(3, 'y'), std::out_of_range);
    EXPECT_THROW(s.SetAt(-1, 'y'), std::out_of_range);
    EXPECT_STREQ(s.GetString(), "xbc");
    EXPECT_EQ(s.Insert(3, 'd'), 4);
    EXPECT_EQ(s.Insert(0, '>'), 5);
    EXPECT_STREQ(s.GetString(), ">xbcd");
    EXPECT_THROW(s.Insert(6, 'z'), std::out_of_range);
    EXPECT_THROW(s.Insert(-1, 'z'), std::out_of_range);
    EXPECT_THROW(s.Mid(-1), std::out_of_range);
    EXPECT_THROW(s.MidCount(-1, 2), std::out_of_range);
    EXPECT_THROW(s.Right(-1), std::out_of_range);
    EXPECT_THROW(CTLString().GetAt(0), std::out_of_range);
}

TEST(StringBasics, Constructors) {
    EXPECT_TRUE(CTLString(static_cast<const char*>(nullptr)).IsEmpty());
    EXPECT_TRUE(CTLString(nullptr, 5).IsEmpty());
    EXPECT_TRUE(CTLString("abc", 0).IsEmpty());
    EXPECT_TRUE(CTLString("abc", -2).IsEmpty());
    EXPECT_STREQ(CTLString("abcdef", 3).GetString(), "abc");
    EXPECT_STREQ(CTLString('z', 4).GetString(), "zzzz");
    EXPECT_TRUE(CTLString('z', 0).IsEmpty());
    CTLString a("a long text that does not fit the inline buffer");
    CTLString b(a);
    b.SetAt(0, 'A');
    EXPECT_EQ(a.GetAt(0), 'a');
    EXPECT_EQ(b.GetLength(), a.GetLength());
    // Bytes after a zero survive a pointer+length copy.
    CTLString z("a\0b", 3);
    EXPECT_EQ(z.GetLength(), 3);
    EXPECT_EQ(z.GetAt(2), 'b');
    a.Empty();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_STREQ(a.GetString(), "");
}

TEST(StringFind, FindAndFindString) {
    CTLString empty;
    EXPECT_EQ(empty.Find('a'), -1);
    CTLString s("a,b,c");
    EXPECT_EQ(s.Find(','), 1);
    EXPECT_EQ(s.FindFrom(',', 2), 3);
    EXPECT_EQ(s.FindFrom(',', 4), -1);
    EXPECT_EQ(s.FindFrom('c', 5), -1);  // start at the length
    EXPECT_EQ(s.FindFrom('a', -1), -1);
    EXPECT_EQ(s.FindString("b,c"), 2);
    EXPECT_EQ(s.FindString("x"), -1);
    EXPECT_EQ(s.FindStringFrom("a", 1), -1);
    EXPECT_EQ(s.FindStringFrom(",", 2), 3);
    EXPECT_EQ(s.FindStringFrom("", 2), 2);
    EXPECT_EQ(s.FindStringFrom(nullptr, 0), -1);
}

TEST(StringCompare, MultibyteAware) {
    CTLString s("Abc");
    EXPECT_EQ(s.Compare("Abc"), 0);
    EXPECT_LT(s.Compare("abc"), 0);
    EXPECT_GT(s.Compare("Ab"), 0);
    EXPECT_EQ(s.CompareNoCase("aBC"), 0);
    EXPECT_GT(CTLString("x").Compare(nullptr), 0);
    EXPECT_EQ(CTLString().Compare(nullptr), 0);
    // Bytes compare unsigned: a GBK lead byte sorts after ASCII.
    EXPECT_GT(CTLString("\xB0\xA1").Compare("z"), 0);
    // GBK "\x81\x41" and "\x81\x61": the trail bytes are not letters to fold.
    EXPECT_NE(CTLString("\x81\x41").CompareNoCase("\x81\x61"), 0);
    // ...but an ASCII letter after a complete double-byte character is.
    EXPECT_EQ(CTLString("\x81\x41Q").CompareNoCase("\x81\x41q"), 0);
}

TEST(StringCase, TrailBytesKept) {
    CTLString s("Ab\x81\x41Z");
    s.MakeLower();
    EXPECT_STREQ(s.GetString(), "ab\x81\x41z");
    s.MakeUpper();
    EXPECT_STREQ(s.GetString(), "AB\x81\x41Z");
}

TEST(StringTrim, BothSidesAndSets) {
    CTLString s("\t text \r\n");
    s.TrimLeft();
    s.TrimRight();
    EXPECT_STREQ(s.GetString(), "text");
    CTLString t("xxabcyx");
    t.TrimLeft("x");
    EXPECT_STREQ(t.GetString(), "abcyx");
    t.TrimRight("xy");
    EXPECT_STREQ(t.GetString(), "abc");
    CTLString blank(" \t\r\n");
    blank.Trim();
    EXPECT_TRUE(blank.IsEmpty());
}

TEST(StringBuffer, GetAndReleaseBuffer) {
    CTLString s;
    char* p = s.GetBuffer(10);
    EXPECT_EQ(s.GetLength(), 10);  // the length changes at once
    for (int i = 0; i < 10; ++i) EXPECT_EQ(p[i], '\0');
    p[0] = 'a';
    p[1] = 'b';
    s.ReleaseBuffer(-1);
    EXPECT_EQ(s.GetLength(), 2);
    EXPECT_STREQ(s.GetString(), "ab");
    // Shorter request keeps the text.
    EXPECT_STREQ(s.GetBuffer(1), "ab");
    // A length past the buffer is clamped, never read beyond it.
    s.ReleaseBuffer(1000);
    EXPECT_EQ(s.GetLength(), 2);
    s.ReleaseBuffer(1);
    EXPECT_STREQ(s.GetString(), "a");
}

TEST(StringFormat, SixtyFourBitSpellings) {
    // Format texts reach Format at run time; a variable keeps the compiler's
    // printf check away from the Windows spelling.
    const char* windows = "v=%I64d u=%I64u x=%I64x";
    const char* c99 = "v=%lld u=%llu x=%llx";
    CTLString a, b;
    a.Format(windows, -1234567890123LL, 18446744073709551615ULL, 0xABCDEF0123ULL);
    b.Format(c99, -1234567890123LL, 18446744073709551615ULL, 0xABCDEF0123ULL);
    EXPECT_STREQ(a.GetString(), "v=-1234567890123 u=18446744073709551615 x=abcdef0123");
    EXPECT_STREQ(a.GetString(), b.GetString());
    CTLString w;
    w.Format("[%5lld][%-6lld][%05lld]", 42LL, 7LL, -3LL);
    EXPECT_STREQ(w.GetString(), "[   42][7     ][-0003]");
    const char* widths = "[%5I64d][%%I64d]";
    w.Format(widths, 42LL);
    EXPECT_STREQ(w.GetString(), "[   42][%I64d]");
}

TEST(StringFormat, LongOutputAndAppend) {
    std::string big(10000, 'q');
    CTLString s;
    s.Format("<%s>%d", big.c_str(), 5);
    EXPECT_EQ(s.GetLength(), 10003);
    EXPECT_EQ(s.GetAt(0), '<');
    EXPECT_EQ(s.GetAt(10001), '>');
    EXPECT_EQ(s.GetAt(10002), '5');
    s.Format("%s", "");
    EXPECT_TRUE(s.IsEmpty());
    s.Format("%d-", 1);
    s.AppendFormat("%s", big.c_str());
    EXPECT_EQ(s.GetLength(), 10002);
}

// The first pass formats into a 256-byte buffer, which holds 255 characters
// and the terminator: the lengths around it must all come out whole, through
// Format and AppendFormat, with and without a rewritten conversion.
TEST(StringFormat, LengthsAroundTheFirstPassBuffer) {
    for (size_t len : {254u, 255u, 256u, 257u}) {
        SCOPED_TRACE(len);
        std::string text(len - 1, 'a');
        text += 'Z';  // the last character is the one a short bound would lose
        CTLString s;
        s.Format("%s", text.c_str());
        EXPECT_EQ(s.GetLength(), static_cast<int>(len));
        EXPECT_EQ(std::string(s.GetString()), text);

        // A number at the very end, through a conversion rewritten for glibc
        // (a variable keeps the compiler's printf check away from it).
        const char* windows = "%s%I64d";
        const std::string head(len - 3, 'b');
        s.Format(windows, head.c_str(), 123LL);
        EXPECT_EQ(std::string(s.GetString()), head + "123");

        CTLString t("<");
        t.AppendFormat("%s", text.c_str());
        EXPECT_EQ(t.GetLength(), static_cast<int>(len) + 1);
        EXPECT_EQ(std::string(t.GetString()), "<" + text);
    }
}

TEST(StringFormat, RewriteOnlyTouchesConversions) {
    std::string out;
    EXPECT_FALSE(TL_RewriteFormat("%lld and I64d", &out));
    EXPECT_TRUE(TL_RewriteFormat("Id %I64d %-3I64u %I32d %Iu", &out));
    EXPECT_EQ(out, "Id %lld %-3llu %d %zu");
}

TEST(StringOps, AppendAndCompareOperators) {
    CTLString s("ab");
    s += "cd";
    s += 'e';
    s += CTLString("f");
    EXPECT_TRUE(s == "abcdef");
    EXPECT_TRUE(s + "g" == CTLString("abcdefg"));
    s.Append("xyz", 2);
    EXPECT_STREQ(s, "abcdefxy");
    s = nullptr;
    EXPECT_TRUE(s.IsEmpty());
}

TEST(StringFormat, OwnTextAsArgument) {
    CTLString s("abc");
    s.Format("[%s]", s.GetString());
    EXPECT_STREQ(s.GetString(), "[abc]");
    std::string big(500, 'w');
    s = big.c_str();
    s.Format("%s%s", s.GetString(), s.GetString());
    EXPECT_EQ(s.GetLength(), 1000);
}

TEST(StringLimits, TooLongThrowsLengthError) {
    CTLString s("x");
    EXPECT_THROW(s.GetBuffer(0x7FFFFFFF), std::length_error);
    EXPECT_STREQ(s.GetString(), "x");  // unchanged
    // The constructors keep the same limit (and read nothing past it).
    EXPECT_THROW(CTLString('x', 0x7FFFFFFF), std::length_error);
    EXPECT_THROW(CTLString("short", 0x7FFFFFFF), std::length_error);
}
