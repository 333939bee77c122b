// Key-value texts (the splitter and CTLKey2Value) and the framework Base64
// class.
#include "framework/tl_base64.h"
#include "framework/tl_buffer.h"
#include "framework/tl_key2value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace corvane;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A sink that records every pair the splitter hands over, in order, and can
// end the split after a number of pairs.
class RecordingSink : public CTLKey2Value {
public:
    void SetValue(const char* key, const char* value) override {
        if (stopAfter >= 0 && static_cast<int>(seen.size()) == stopAfter) throw break_exception();
        seen.emplace_back(key, value);
    }
    Pairs seen;
    int stopAfter = -1;
};

Pairs Split(const char* text, int32_t length, char kv, char pair, uint32_t flags) {
    RecordingSink sink;
    TL_SplitKeyValues(text, length, kv, pair, &sink, flags);
    return sink.seen;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

TEST(Splitter, EveryFlagCombination) {
    // Leading white space, a pair without "=", a "=" inside a value, an empty
    // key, a pair at the end without "&".
    const char* text = " Proxy_Addr = 10.0.0.1 & proxy_port=8080&noValue& K=V=W &=x& Last = Tail ";
    const Pairs raw = {
        {" Proxy_Addr ", " 10.0.0.1 "}, {" proxy_port", "8080"}, {" K", "V=W "}, {"", "x"}, {" Last ", " Tail "}};
    const Pairs trimmed = {
        {"Proxy_Addr", "10.0.0.1"}, {"proxy_port", "8080"}, {"K", "V=W"}, {"", "x"}, {"Last", "Tail"}};
    for (uint32_t flags = 0; flags < 8; ++flags) {
        Pairs expected = (flags & TL_SPLIT_TRIM) ? trimmed : raw;
        for (auto& [k, v] : expected) {
            if (flags & TL_SPLIT_LOWER_KEYS) k = Lower(k);
            if (flags & TL_SPLIT_LOWER_VALUES) v = Lower(v);
        }
        EXPECT_EQ(Split(text, -1, '=', '&', flags), expected) << "flags " << flags;
    }
    EXPECT_TRUE(Split(text, -1, '=', '&', 8).empty());
    EXPECT_TRUE(Split(text, -1, '=', '&', 0xFFFFFFFF).empty());
    EXPECT_TRUE(Split(nullptr, 5, '=', '&', 5).empty());
}

TEST(Splitter, LengthsSeparatorsAndEarlyEnd) {
    // The length cuts the text; a zero byte ends it as well.
    EXPECT_EQ(Split("a=1&b=2", 3, '=', '&', 0), (Pairs{{"a", "1"}}));
    EXPECT_EQ(Split("a=1&b", 7, '=', '&', 0), (Pairs{{"a", "1"}}));
    EXPECT_EQ(Split("a=1\0b=2", 7, '=', '&', 0), (Pairs{{"a", "1"}}));
    // "=" seen means a value, even an empty one; the last pair needs a key.
    EXPECT_EQ(Split("p=&q=", -1, '=', '&', 4), (Pairs{{"p", ""}, {"q", ""}}));
    EXPECT_TRUE(Split(" = 1 ", -1, '=', '&', 4).empty());
    // Trimming never swallows a separator that is itself white space: the
    // leading blank ends an empty key.
    EXPECT_EQ(Split(" a 1\tb 2\t", -1, ' ', '\t', 4), (Pairs{{"", "a 1"}, {"b", "2"}}));

    // A sink may end the split by throwing break_exception.
    RecordingSink sink;
    sink.stopAfter = 1;
    TL_SplitKeyValues("a=1&b=2&c=3", -1, '=', '&', &sink, 0);
    EXPECT_EQ(sink.seen, (Pairs{{"a", "1"}}));
}

TEST(Key2Value, ParseKeepsOrderedLowerCasedKeys) {
    CTLKey2Value list;
    list.Parse(" Proxy_Addr = 10.0.0.1 & proxy_port=8080&noValue");
    EXPECT_EQ(2, list.GetCount());
    EXPECT_STREQ("10.0.0.1", list.Lookup("proxy_addr"));
    EXPECT_STREQ("8080", list.Lookup("proxy_port"));

    // A later pair of one key wins; only keys are lower-cased, and a key
    // set directly is stored as given; empty keys and missing values are
    // not kept.
    CTLKey2Value other;
    other.Parse("a=1&A=X&=x&b=2");
    EXPECT_EQ(2, other.GetCount());
    EXPECT_STREQ("X", other.Lookup("a"));
    EXPECT_EQ(nullptr, other.Lookup("A"));
    EXPECT_STREQ("2", other.Lookup("b"));
    other.SetValueString("A", "y");
    EXPECT_STREQ("y", other.Lookup("A"));
    other.SetValue(nullptr, "v");
    other.SetValue("", "v");
    other.SetValue("k", nullptr);
    EXPECT_EQ(3, other.GetCount());

    // Ascending unsigned byte order: upper case before lower case, and bytes
    // above 0x7F after both.
    CTLKey2Value order;
    for (const char* k : {"b", "\xc4\xe3", "B", "ab", "a"}) order.SetValueString(k, "1");
    std::vector<std::string> keys;
    for (const auto& entry : order.GetMap()) keys.emplace_back(entry.first.GetString());
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "\xc4\xe3"}));
    order.Parse(nullptr);
    EXPECT_EQ(5, order.GetCount());
}

TEST(Key2Value, ClassRecordCreatesAList) {
    CTLObject* o = TL_CreateObject(&CTLKey2Value::classCTLKey2Value);
    auto* list = dynamic_cast<CTLKey2Value*>(o);
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(&CTLKey2Value::classCTLKey2Value, list->GetRuntimeClass());
    list->Parse("k=v");
    EXPECT_STREQ("v", list->Lookup("k"));
    delete o;
}

std::string Encode(const std::string& bytes) {
    CTLBase64 coder;
    std::string out(static_cast<size_t>(coder.Encode(bytes.data(), int32_t(bytes.size()), nullptr, 0)), '\0');
    const int32_t n = coder.Encode(bytes.data(), int32_t(bytes.size()), out.data(), int32_t(out.size()));
    EXPECT_EQ(n, int32_t(out.size()));
    return out;
}

TEST(FrameworkBase64, EncodeAndDecodeVectorsAndSizes) {
    EXPECT_EQ("YWJj", Encode("abc"));
    EXPECT_EQ("YWI=", Encode("ab"));
    EXPECT_EQ("YQ==", Encode("a"));
    EXPECT_EQ("", Encode(""));

    CTLBase64 coder;
    uint8_t out[8];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(5, coder.Decode("YQ==", 4, nullptr, 0));
    EXPECT_EQ(-1, coder.Decode("YQ==", 4, out, 4));
    EXPECT_EQ(1, coder.Decode("YQ==", 4, out, 5));
    EXPECT_EQ('a', out[0]);
    EXPECT_EQ(0, out[1]);
    // A blank stands for "+"; characters outside the alphabet are skipped.
    EXPECT_EQ(3, coder.Decode(" / /", 4, out, 5));
    EXPECT_EQ(0, std::memcmp(out, "\xfb\xff\xbf", 3));
    EXPECT_EQ(3, coder.Decode("YW\r\nJ*j", 7, out, 8));
    EXPECT_EQ(0, std::memcmp(out, "abc", 4));
    // A pad after one character of a group: nothing of the text is left.
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(0, coder.Decode("YWJjQ=", 6, out, 7));
    EXPECT_EQ(0, std::memcmp(out, "\0\0\0", 3));
    EXPECT_EQ(-1, coder.Decode("YQ", -1, nullptr, 0));

    // A destination one byte short is refused and left untouched.
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(-1, coder.Encode("abcd", 4, text, 7));
    EXPECT_EQ(std::string(8, '#'), std::string(text, 8));
    EXPECT_EQ(8, coder.Encode("abcd", 4, text, 8));
    EXPECT_EQ(-1, coder.Encode("abcd", -1, nullptr, 0));
    // Sizes that no int32_t can count are refused, never wrapped.
    EXPECT_EQ(2147483644, coder.Encode("x", 1610612733, nullptr, 0));
    EXPECT_EQ(-1, coder.Encode("x", 1610612734, nullptr, 0));
}

TEST(FrameworkBase64, BufferFormsAndTheSharedCoderAgree) {
    std::mt19937 rng(7);
    CTLBase64 framework;
    CBase64 other;
    for (int len = 0; len < 200; len += 13) {
        std::string bytes(static_cast<size_t>(len), '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        CTLSmartBuffer buf;
        buf.Append("head", 4);
        const int32_t n = framework.EncodeToBuffer(bytes.data(), len, buf);
        ASSERT_EQ((len + 2) / 3 * 4, n);
        ASSERT_EQ(uint32_t(4 + n), buf.GetLength());
        const std::string coded(buf.GetData() + 4, static_cast<size_t>(n));
        EXPECT_EQ(Base64Encode(bytes), coded);
        // Decoding the buffer's own bytes into the same buffer.
        const int32_t m = framework.DecodeToBuffer(buf.GetData() + 4, n, buf);
        ASSERT_EQ(len, m);
        EXPECT_EQ(bytes, std::string(buf.GetData() + 4 + n, static_cast<size_t>(m)));
        EXPECT_EQ(0, buf.GetData()[4 + n + m]);

        // Hostile text decodes alike through both front ends.
        std::string junk(static_cast<size_t>(len), '\0');
        for (char& c : junk) c = "AZaz09+/= \r\n*\x80"[rng() % 15];
        std::vector<uint8_t> a(junk.size() + 1);
        std::vector<uint8_t> b(junk.size() + 1);
        const int32_t ra = framework.Decode(junk.data(), len, a.data(), len + 1);
        const uint32_t rb = other.Decode(junk.data(), uint32_t(len), b.data(), len + 1);
        ASSERT_EQ(uint32_t(ra), rb) << junk;
        EXPECT_EQ(a, b) << junk;
    }
    CTLSmartBuffer empty;
    EXPECT_EQ(0, framework.EncodeToBuffer("", 0, empty));
    EXPECT_EQ(-1, framework.EncodeToBuffer("x", -1, empty));
    EXPECT_EQ(0u, empty.GetLength());
}

}  // namespace
