// The merge of per-market login answers and the GBK-safe text fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/instance_util.h"
#include "session/kvo_texts.h"

using namespace kvoapi;

namespace {

LoginResult R(int code, const std::string& msg, const std::string& expire) {
    return MakeLoginResult(code, msg, expire);
}

std::string Msg(const LoginResult& r) { return BoundedText(r.statusmsg); }
std::string Exp(const LoginResult& r) { return BoundedText(r.expire_date); }

const LoginResult kPre = R(0, kTextLoginOkChecked, "");

}  // namespace

TEST(LoginMerge, NoMarketKeepsThePreLoginResult) {
    const LoginResult r = MergeLoginResults(kPre, {});
    EXPECT_EQ(r.nstatuscode, 0);
    EXPECT_EQ(Msg(r), std::string("\xb5\xc7\xc2\xbd\xb3\xc9\xb9\xa6\x21"));
    EXPECT_EQ(Exp(r), "");
}

TEST(LoginMerge, TwoMarketsLoggedInGiveParenthesisedEntries) {
    const LoginResult r = MergeLoginResults(kPre, {{"SH", R(0, "ok", "20301231")}, {"SZ", R(0, "fine", "20291130")}});
    EXPECT_EQ(r.nstatuscode, 0);
    EXPECT_EQ(Msg(r), "(SH:\"ok\" SZ:\"fine\" )");
    EXPECT_EQ(Exp(r), "(SH:\"20301231\" SZ:\"20291130\" )");
}

TEST(LoginMerge, CodeRules) {
    // The last failing market wins.
    EXPECT_EQ(MergeLoginResults(kPre, {{"OO", R(-1005, "a", "")}, {"SH", R(0, "b", "")}, {"SZ", R(-1002, "c", "")}})
                  .nstatuscode,
              -1002);
    // A positive code counts only before a failure.
    EXPECT_EQ(MergeLoginResults(kPre, {{"OO", R(3, "a", "")}, {"SH", R(0, "b", "")}}).nstatuscode, 3);
    EXPECT_EQ(MergeLoginResults(kPre, {{"OO", R(-1005, "a", "")}, {"SH", R(4, "b", "")}}).nstatuscode, -1005);
    // A later positive code still replaces an earlier positive one.
    EXPECT_EQ(MergeLoginResults(kPre, {{"OO", R(3, "a", "")}, {"SH", R(4, "b", "")}}).nstatuscode, 4);
}

TEST(LoginMerge, LongTextsAreCutOnACharacterBoundaryAndTerminated) {
    // Three markets with long GBK messages exceed the 70-byte field.
    const std::string gbk(20, '\xb5');  // ten two-byte characters (lead and trail alike)
    const LoginResult r =
        MergeLoginResults(kPre, {{"OO", R(0, gbk, "")}, {"SH", R(0, gbk, "")}, {"SZ", R(0, gbk, "")}});
    EXPECT_EQ(r.statusmsg[69], '\0');
    const std::string text = Msg(r);
    EXPECT_LE(text.size(), 69u);
    EXPECT_EQ(text.substr(0, 5), "(OO:\"");
    // Walking the text as GBK ends exactly at its end: no half character.
    size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        pos += (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    }
    EXPECT_EQ(pos, text.size());
}

TEST(TextField, GbkPrefixNeverSplitsACharacter) {
    const std::string s = "ab\xb5\xc7\xc2\xbd";  // 2 ASCII + 2 GBK characters
    EXPECT_EQ(GbkPrefixLength(s, 6), 6u);
    EXPECT_EQ(GbkPrefixLength(s, 5), 4u);
    EXPECT_EQ(GbkPrefixLength(s, 3), 2u);
    EXPECT_EQ(GbkPrefixLength(s, 0), 0u);
    char field[4];
    std::memset(field, 'x', sizeof(field));
    CopyTextField(field, s);
    EXPECT_EQ(std::string(field), "ab");
    EXPECT_EQ(field[3], '\0');
}

TEST(TextField, BoundedReadOfUnterminatedHostText) {
    char host[5] = {'U', 'S', 'H', ';', 'U'};
    EXPECT_EQ(BoundedText(host), "USH;U");
    EXPECT_EQ(BoundedText(nullptr, 5), "");
}

TEST(Market, Normalise) {
    EXPECT_EQ(NormaliseMarket("USH"), "SH");
    EXPECT_EQ(NormaliseMarket("USHA"), "SH");
    EXPECT_EQ(NormaliseMarket("SZ"), "SZ");
    EXPECT_EQ(NormaliseMarket(""), "");
    EXPECT_EQ(NormaliseMarket(nullptr), "");
}

TEST(Account, InternalAccountMarker) {
    EXPECT_TRUE(IsInternalAccount("9d41c2e1", 8));
    EXPECT_TRUE(IsInternalAccount("9d41c2eXYZ", 10));
    EXPECT_FALSE(IsInternalAccount("9d41c2e", 7));   // too short (equality is checked apart)
    EXPECT_FALSE(IsInternalAccount("9d41c2f1", 8));  // another prefix
    EXPECT_FALSE(IsInternalAccount("9D41C2E1", 8));  // case matters
    EXPECT_FALSE(IsInternalAccount(nullptr, 8));
}
