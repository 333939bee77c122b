// Archiving key-value lists: the stored items byte for byte, loading
// (lower-cased keys, replacement, short and hostile archives written from
// the item layout), and archives across code pages.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "framework/tl_archive.h"
#include "framework/tl_buffer.h"
#include "framework/tl_key2value.h"
#include "tests/support/archive_writer.h"

using corvane::CTLKey2Value;
using corvane::CTLSmartBuffer;
using kvotest::ArchiveBytes;
using kvotest::ArchiveI32;
using kvotest::ArchiveText;
using kvotest::operator+;

namespace {

using Pairs = std::map<std::string, std::string>;

Pairs Contents(const CTLKey2Value& list) {
    Pairs out;
    for (const auto& [k, v] : list.GetMap()) out.emplace(k.GetString(), v.GetString());
    return out;
}

ArchiveBytes Store(CTLKey2Value& list, const TLCodePagePair* cp = nullptr) {
    CTLSmartBuffer sink;
    HugeDataArchive ar = HugeDataArchive::StoreTo(&sink, cp);
    list.Serialize(ar);
    const auto* p = reinterpret_cast<const uint8_t*>(sink.GetData());
    EXPECT_EQ(ar.byteCount, sink.GetLength());
    return ArchiveBytes(p, p + sink.GetLength());
}

// Loads through the class record's hook, as a caller holding only the
// object would.
Pairs Load(const ArchiveBytes& bytes, CTLKey2Value* into = nullptr, const TLCodePagePair* cp = nullptr) {
    CTLKey2Value local;
    CTLKey2Value& list = into ? *into : local;
    HugeDataArchive ar = HugeDataArchive::LoadFrom(bytes.data(), uint32_t(bytes.size()), cp);
    list.GetRuntimeClass()->m_pfnCallHook(&list, &ar);
    return Contents(list);
}

ArchiveBytes Text(const std::string& s) { return ArchiveText(s); }

TEST(Key2ValueArchive, StoresTheCountThenKeysAndValuesInListOrder) {
    CTLKey2Value list;
    EXPECT_EQ((ArchiveBytes{0x5B, 0x44, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}), Store(list));

    list.SetValue("a", "1");
    EXPECT_EQ((ArchiveBytes{0x5B, 0x44, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x5B, 0x21, 0x01, 0x00, 0x61, 0x5B, 0x21,
                            0x01, 0x00, 0x31}),
              Store(list));

    // Stored as the list holds them: unsigned byte order, prefixes first,
    // keys not lower-cased on the way out; empty values as empty texts.
    CTLKey2Value order;
    for (const char* k : {"b", "B", "a", "ab"}) order.SetValue(k, k);
    order.SetValue("\xB0\xA1", "");
    order.SetValue("Z", "Upper Value");
    const ArchiveBytes stored = Store(order);
    EXPECT_EQ(ArchiveI32({6}) + Text("B") + Text("B") + Text("Z") + Text("Upper Value") + Text("a") + Text("a") +
                  Text("ab") + Text("ab") + Text("b") + Text("b") + Text("\xB0\xA1") + Text(""),
              stored);
    // The class hook stores the same, and storing leaves the list alone.
    CTLSmartBuffer sink;
    HugeDataArchive ar = HugeDataArchive::StoreTo(&sink);
    order.GetRuntimeClass()->m_pfnCallHook(&order, &ar);
    EXPECT_EQ(stored, ArchiveBytes(sink.GetData(), sink.GetData() + sink.GetLength()));
    EXPECT_EQ(6, order.GetCount());

    // A value too long for an item goes as an empty text.
    CTLKey2Value huge;
    huge.SetValue("k", std::string(70000, 'v').c_str());
    EXPECT_EQ(ArchiveI32({1}) + Text("k") + Text(""), Store(huge));
}

TEST(Key2ValueArchive, FullAreaKeepsWholePairsOnly) {
    CTLKey2Value list;
    list.SetValue("a", "1");
    list.SetValue("b", std::string(40, 'x').c_str());
    list.SetValue("c", "3");
    // Room for the count, pair a and pair c, not for the long value of b:
    // b goes whole, and c does not slide into b's place.
    uint8_t area[8 + 10 + 10 + 4];
    HugeDataArchive ar = HugeDataArchive::StoreInto(area, sizeof area);
    list.Serialize(ar);
    const ArchiveBytes written(area, area + ar.byteCount);
    EXPECT_EQ(ArchiveI32({3}) + Text("a") + Text("1") + Text("c") + Text("3"), written);
    EXPECT_EQ((Pairs{{"a", "1"}, {"c", "3"}}), Load(written));

    // No room even for the count: nothing at all.
    uint8_t tiny[7];
    HugeDataArchive small = HugeDataArchive::StoreInto(tiny, sizeof tiny);
    list.Serialize(small);
    EXPECT_EQ(0u, small.byteCount);
}

TEST(Key2ValueArchive, LoadingLowerCasesKeysAndReplacesTheList) {
    EXPECT_EQ((Pairs{{"key", "Value"}}), Load(ArchiveI32({1}) + Text("Key") + Text("Value")));
    // A and a are one key: the later pair wins.
    EXPECT_EQ((Pairs{{"a", "2"}}), Load(ArchiveI32({2}) + Text("A") + Text("1") + Text("a") + Text("2")));
    // An empty stored value is kept as an empty value; an empty key is not
    // kept at all.
    EXPECT_EQ((Pairs{{"x", "1"}, {"y", ""}}),
              Load(ArchiveI32({3}) + Text("x") + Text("1") + Text("Y") + Text("") + Text("") + Text("lost")));
    // Trail bytes of double-byte characters are not letters.
    EXPECT_EQ((Pairs{{"\x81\x41k", "V"}}), Load(ArchiveI32({1}) + Text("\x81\x41K") + Text("V")));
    // A key or value holding a zero byte ends there.
    EXPECT_EQ((Pairs{{"ab", "c"}}),
              Load(ArchiveI32({1}) + Text(std::string("AB\0CD", 5)) + Text(std::string("c\0d", 3))));

    // Loading replaces what the list held, even when the archive has nothing.
    CTLKey2Value list;
    list.SetValue("old", "1");
    EXPECT_EQ((Pairs{{"new", "2"}}), Load(ArchiveI32({1}) + Text("new") + Text("2"), &list));
    EXPECT_EQ(Pairs{}, Load(ArchiveBytes{}, &list));
    list.SetValue("old", "1");
    EXPECT_EQ(Pairs{}, Load(ArchiveI32({-1}) + Text("k") + Text("v"), &list));
    EXPECT_EQ(Pairs{}, Load(ArchiveI32({0}) + Text("k") + Text("v")));

    // The count converts from any numeric item, as the archive reads it.
    EXPECT_EQ((Pairs{{"k", "v"}}), Load(kvotest::ArchiveI8({1}) + Text("k") + Text("v")));
    EXPECT_EQ((Pairs{{"k", "v"}}), Load(kvotest::ArchiveF64({1.9}) + Text("k") + Text("v")));
    // A count stored as text is no count.
    EXPECT_EQ(Pairs{}, Load(Text("1") + Text("k") + Text("v")));
}

TEST(Key2ValueArchive, HostileArchivesLoadWhatTheyHoldAndEndQuickly) {
    // More pairs promised than held: the held ones load, and a key without
    // its value gets an empty value.
    EXPECT_EQ((Pairs{{"a", "1"}, {"b", ""}}), Load(ArchiveI32({5}) + Text("a") + Text("1") + Text("b")));

    // The largest count over an archive that ends, or stops holding items,
    // does not run the count out.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ((Pairs{{"a", "1"}}), Load(ArchiveI32({0x7FFFFFFF}) + Text("a") + Text("1")));
    EXPECT_EQ((Pairs{{"a", ""}}),
              Load(ArchiveI32({0x7FFFFFFF}) + Text("a") + ArchiveBytes{'n', 'o', 't', ' ', 'a', 'n'}));
    // Items that are read past (numbers where texts belong) move on, up to
    // the end.
    ArchiveBytes junk = ArchiveI32({0x7FFFFFFF});
    for (int i = 0; i < 4000; ++i) junk = junk + ArchiveI32({i});
    HugeDataArchive ar = HugeDataArchive::LoadFrom(junk.data(), uint32_t(junk.size()));
    CTLKey2Value list;
    list.Serialize(ar);
    EXPECT_EQ(0, list.GetCount());
    EXPECT_EQ(uint32_t(junk.size()), ar.byteCount);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));

    // Numeric items where texts belong are stepped over: that pair is lost
    // (a numeric key) or keeps an empty value (a numeric value).
    EXPECT_EQ((Pairs{{"k", ""}, {"m", "2"}}), Load(ArchiveI32({3}) + ArchiveI32({7}) + Text("v") + Text("k") +
                                                   ArchiveI32({8}) + Text("m") + Text("2")));

    // A payload cut short: the header is consumed, and what follows it is
    // read on as items.
    const ArchiveBytes cut =
        ArchiveI32({3}) + Text("a") + kvotest::ArchiveRawItem(0x5B, 0x21, 100, Text("b") + Text("2"));
    EXPECT_EQ((Pairs{{"a", ""}, {"b", "2"}}), Load(cut));
    // Broken headers: a wrong marker ends the load at once.
    EXPECT_EQ((Pairs{{"a", "1"}}),
              Load(ArchiveI32({2}) + Text("a") + Text("1") + kvotest::ArchiveRawItem(0x5C, 0x21, 1, {'k'})));
    // A header cut inside the count.
    EXPECT_EQ(Pairs{}, Load(ArchiveBytes{0x5B, 0x44, 0x04, 0x00, 0x01, 0x00}));
}

TEST(Key2ValueArchive, TextsCrossCodePagesBothWays) {
    // GBK "中文" in the framework's texts is UTF-8 in an archive whose pair
    // says so, and comes back as GBK.
    const TLCodePagePair utf8{936, 65001};
    const std::string gbk = "\xD6\xD0\xCE\xC4";
    const std::string utf = "\xE4\xB8\xAD\xE6\x96\x87";
    CTLKey2Value list;
    list.SetValue(("K" + gbk).c_str(), ("V" + gbk).c_str());
    const ArchiveBytes stored = Store(list, &utf8);
    EXPECT_EQ(ArchiveI32({1}) + Text("K" + utf) + Text("V" + utf), stored);
    EXPECT_EQ((Pairs{{"k" + gbk, "V" + gbk}}), Load(stored, nullptr, &utf8));
    // The framework's own pair passes the bytes unchanged.
    EXPECT_EQ(ArchiveI32({1}) + Text("K" + gbk) + Text("V" + gbk), Store(list));
}

}  // namespace
