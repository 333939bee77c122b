#include "framework/tl_textutil.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

TEST(Base64, KnownVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(Base64Encode(plain), coded) << plain;
        EXPECT_EQ(Base64Decode(coded), plain) << coded;
    }
}

TEST(Base64, RandomBinaryRoundTripsIncludingZeroBytes) {
    std::mt19937 rng(42);
    for (int len = 0; len < 300; len += 7) {
        std::string bytes(static_cast<std::size_t>(len), '\0');
        for (auto& c : bytes) c = static_cast<char>(rng() & 0xFF);
        if (len > 2) bytes[1] = '\0';
        const std::string coded = Base64Encode(bytes);
        EXPECT_EQ(coded.size(), static_cast<std::size_t>((len + 2) / 3 * 4));
        EXPECT_EQ(Base64Decode(coded), bytes) << len;
    }
}

TEST(Base64, SizeQueriesAndCapacities) {
    CBase64 coder;
    const auto* in = reinterpret_cast<const std::uint8_t*>("abcd");
    EXPECT_EQ(coder.Encode(in, 0, nullptr, 0), 0u);
    EXPECT_EQ(coder.Encode(in, 1, nullptr, 0), 4u);
    EXPECT_EQ(coder.Encode(in, 4, nullptr, 0), 8u);
    char text[16] = {};
    EXPECT_EQ(coder.Encode(in, 4, text, 7), CBase64::kError);
    EXPECT_EQ(coder.Encode(in, 4, text, 8), 8u);
    EXPECT_EQ(std::string(text, 8), "YWJjZA==");
    EXPECT_EQ(text[8], '\0') << "no terminator is written past the text";
    EXPECT_EQ(coder.Encode(in, -1, text, 16), CBase64::kError);

    std::uint8_t out[16];
    EXPECT_EQ(coder.Decode("YWJjZA==", 8, nullptr, 0), 9u);
    EXPECT_EQ(coder.Decode("YWJjZA==", 8, out, 8), CBase64::kError);
    out[4] = 0x55;
    EXPECT_EQ(coder.Decode("YWJjZA==", 8, out, 9), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "abcd");
    EXPECT_EQ(out[4], 0) << "decoded bytes are terminated";
    EXPECT_EQ(coder.Decode("YWJj", 4, out, -5), CBase64::kError);
}

TEST(Base64, DecodingRules) {
    // A blank is a "+" that went through form encoding.
    EXPECT_EQ(Base64Decode("+/+/"), Base64Decode(" / /"));
    EXPECT_EQ(Base64Decode("+/+/"), std::string("\xfb\xff\xbf"));
    // A pad after one character of a group makes the whole input malformed.
    EXPECT_EQ(Base64Decode("YWJjQ="), "");
    EXPECT_EQ(Base64Decode("Q="), "");
    // Input ends at a zero byte or at the given length.
    EXPECT_EQ(Base64Decode(std::string("YWJj\0YWJj", 9)), "abc");
    CBase64 coder;
    std::uint8_t out[16];
    EXPECT_EQ(coder.Decode("YWJjYWJj", 4, out, 9), 3u);
    // One character left at the end gives no byte from that group.
    EXPECT_EQ(Base64Decode("YWJjY"), "abc");
    // Characters outside the alphabet are skipped, e.g. line breaks.
    EXPECT_EQ(Base64Decode("YWJj\r\nYWJj"), "abcabc");
}

TEST(MD5, Rfc1321VectorsAndBlockBoundaries) {
    EXPECT_EQ(GetMD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(GetMD5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(GetMD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(GetMD5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(GetMD5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(GetMD5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(GetMD5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                        "0"),
              "57edf4a22be3c955ac49da2e2107b67a");
    // Every byte counts, a zero byte included.
    EXPECT_EQ(GetMD5Hex(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");

    // Feeding in pieces gives the same digest as one call.
    const std::string text(1000, 'x');
    corvane::CTLMD5 md5;
    for (std::size_t i = 0; i < text.size(); i += 37)
        md5.Update(text.data() + i, std::min<std::size_t>(37, text.size() - i));
    std::uint8_t digest[16];
    md5.Final(digest);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + i * 2, 3, "%02x", digest[i]);
    EXPECT_EQ(std::string(hex), GetMD5Hex(text));

    // An empty piece, even without data, adds nothing.
    corvane::CTLMD5 pieces;
    pieces.Update("ab", 2);
    pieces.Update(nullptr, 0);
    pieces.Final(digest);
    for (int i = 0; i < 16; ++i) std::snprintf(hex + i * 2, 3, "%02x", digest[i]);
    EXPECT_EQ(std::string(hex), "187ef4436122d1cc2f40dc2b92f0eba0");
}

TEST(Guid, LowerCaseRandomIdsAreUnique) {
    const std::regex shape("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::unordered_set<std::string> seen;
    for (int i = 0; i < 100000; ++i) {
        std::string id = CreateGuidString();
        if (i < 200) {
            ASSERT_TRUE(std::regex_match(id, shape)) << id;
        }
        ASSERT_EQ(id.size(), 36u);
        ASSERT_TRUE(seen.insert(std::move(id)).second);
    }
}

TEST(FieldReaders, KeyValueTexts) {
    const std::string refusal = "ReqType:52,id:0f1e,error:-1015,";
    EXPECT_EQ(GetFieldValue(refusal, "error"), "-1015");
    EXPECT_EQ(GetFieldValue(refusal, "ReqType"), "52");
    EXPECT_EQ(GetFieldValue(refusal, "missing"), "");
    EXPECT_EQ(GetFieldValue("ReqType:52,id:abc", "id"), "") << "a last value without its , is empty";

    const std::string sub = "ReqType:20,msg_dataclass:2,subop_type:1,id:x,market:USH,codelist:(600000,600001),";
    EXPECT_EQ(GetFieldValue(sub, "codelist"), "(600000,600001)");
    EXPECT_EQ(GetFieldValue(sub, "market"), "USH");
    EXPECT_EQ(GetFieldValue("market:USH,codelist:(600000,", "codelist"), "");
    // Snapshot requests put a blank before the key; it is still found.
    EXPECT_EQ(GetFieldValue("ReqType:103,id:y,market:USZ, codelist:(),", "codelist"), "()");
    // The key is found anywhere, even inside another field's value.
    const std::string login = "ReqType:51,id:z,account:SHIPPER,pass:p,IP:10.0.0.1&,Port:9000,";
    EXPECT_EQ(GetFieldValue(login, "IP"), "ER");  // shIPpER
    EXPECT_EQ(GetFieldValue("key", "key"), "") << "nothing after the key";
}

TEST(FieldReaders, JsonLikeTexts) {
    EXPECT_EQ(GetJsonStringValue(R"({"code":"x1","msg":"ok"})", "msg"), "ok");
    const std::string reply = R"({"code":"x1","msg":"ok","ret":0,"salt":"s","ttl":60})";
    EXPECT_EQ(GetJsonStringValue(reply, "msg"), "ok");
    EXPECT_EQ(GetJsonStringValue(reply, "code"), "x1");
    EXPECT_EQ(GetJsonStringValue(reply, "nothere"), "");
    EXPECT_EQ(GetJsonStringValue(reply, "ret"), "") << "a number is not a string member";
    EXPECT_EQ(GetJsonNumberValue(reply, "ret"), "0");
    EXPECT_EQ(GetJsonNumberValue(reply, "ttl"), "") << "the last member has no , behind it";
    EXPECT_EQ(GetJsonNumberValue(reply, "code"), R"("x1")");
    EXPECT_EQ(GetJsonStringValue(R"({"msg":"unterminated)", "msg"), "");
}

TEST(Split, DelimitersAndEmptyPieces) {
    std::vector<std::string> list;
    TL_SplitString("a,,b", ",", {&list, false});
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));
    list.clear();
    TL_SplitString("a,,b", ",", {&list, true});
    EXPECT_EQ(list, (std::vector<std::string>{"a", "", "b"}));
    list.clear();
    TL_SplitBuffer("600000,600001,", 14, ",", {&list, true});
    EXPECT_EQ(list, (std::vector<std::string>{"600000", "600001", ""}));
    list.clear();
    TL_SplitString("http://a http://b", "", {&list, false});
    EXPECT_EQ(list, (std::vector<std::string>{"http://a http://b"}));
    list.clear();
    TL_SplitString("a<>b<>", "<>", {&list, false});
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));

    EXPECT_EQ(TL_AppendString(list, "c"), 2);
    EXPECT_EQ(TL_AppendString(list, nullptr), 3);
    EXPECT_EQ(list.back(), "");
}

}  // namespace
