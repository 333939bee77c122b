// The typed archive: items written byte for byte as the format lays them
// out, reads with conversion between the numeric types, the position after
// every kind of failure, refilling from a file, and CHugeData's chunked
// store and load.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "framework/tl_archive.h"
#include "framework/tl_buffer.h"
#include "framework/tl_fileobj.h"
#include "tests/support/archive_writer.h"

using corvane::CHugeData;
using corvane::CTLSmartBuffer;
using kvotest::ArchiveBytes;
using kvotest::operator+;

namespace {

ArchiveBytes Bytes(const CTLSmartBuffer& b) {
    const auto* p = reinterpret_cast<const uint8_t*>(b.GetData());
    return ArchiveBytes(p, p + b.GetLength());
}

// An archive loading from a file that holds the bytes, through its own
// read-ahead buffer.
struct FileSource {
    explicit FileSource(const ArchiveBytes& bytes) {
        EXPECT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        ar = HugeDataArchive::LoadFromFile(&file, &readAhead);
    }
    corvane::CTLFileObj file;
    CTLSmartBuffer readAhead;
    HugeDataArchive ar;
};

TEST(Archive, ItemsAreWrittenAsLaidOut) {
    CTLSmartBuffer sink;
    HugeDataArchive ar = HugeDataArchive::StoreTo(&sink);
    const int32_t values[3] = {1, -2, 0x01020304};
    EXPECT_EQ(CHugeData::WriteInt32(ar, values, 3), 0u);
    const int16_t shorts[1] = {-1};
    EXPECT_EQ(CHugeData::WriteInt16(ar, shorts, 1), 0u);
    EXPECT_EQ(CHugeData::WriteString(ar, "ab"), 0u);
    EXPECT_EQ(CHugeData::WriteString(ar, nullptr), 0u);
    EXPECT_EQ(CHugeData::WriteItem(ar, 0x11, nullptr, 2), 0u);  // reserved payload
    EXPECT_EQ(Bytes(sink), kvotest::ArchiveI32({1, -2, 0x01020304}) + kvotest::ArchiveI16({-1}) +
                               kvotest::ArchiveText("ab") + kvotest::ArchiveText("") + kvotest::ArchiveI8({0, 0}));
    EXPECT_EQ(ar.byteCount, sink.GetLength());

    // 16,383 four-byte values fill an item; one more does not fit one.
    std::vector<int32_t> many(16384, 7);
    EXPECT_EQ(CHugeData::WriteInt32(ar, many.data(), 16384), 0x80090032u);
    const uint32_t before = sink.GetLength();
    EXPECT_EQ(CHugeData::WriteInt32(ar, many.data(), 16383), 0u);
    EXPECT_EQ(sink.GetLength() - before, 4u + 65532u);
    EXPECT_EQ(CHugeData::WriteItem(ar, 0x00, values, 1), 0x80090032u);
    EXPECT_EQ(CHugeData::WriteItem(ar, 0x20, values, 1), 0x80090032u);  // no element size
    EXPECT_EQ(CHugeData::WriteBytes(ar, many.data(), 70000), 0x80090032u);
    // A text too long for one item goes as an empty text.
    const std::string huge(70000, 'z');
    const uint32_t at = sink.GetLength();
    EXPECT_EQ(CHugeData::WriteString(ar, huge.c_str()), 0u);
    const ArchiveBytes all = Bytes(sink);
    EXPECT_EQ(all, ArchiveBytes(all.begin(), all.begin() + at) + kvotest::ArchiveText(""));

    // Loading and storing do not mix.
    char out[4];
    EXPECT_EQ(CHugeData::ReadBytes(ar, out, 1), 0x80090030u);
    corvane::CTLString s;
    EXPECT_EQ(CHugeData::ReadString(ar, s), 0x80090030u);
    HugeDataArchive in = HugeDataArchive::LoadFrom(out, 0);
    EXPECT_EQ(CHugeData::WriteBytes(in, "x", 1), 0x80090031u);
}

TEST(Archive, FixedAreaTakesWholeItemsOnly) {
    uint8_t area[14];
    std::memset(area, 0xEE, sizeof area);
    HugeDataArchive ar = HugeDataArchive::StoreInto(area, sizeof area);
    EXPECT_EQ(CHugeData::WriteBytes(ar, "abcd", 4), 0u);
    EXPECT_EQ(ar.byteCount, 8u);
    // Six bytes left: a header fits, its payload does not, and nothing is
    // written that would leave half an item behind.
    EXPECT_EQ(CHugeData::WriteBytes(ar, "xyz", 3), 0x8009000Au);
    EXPECT_EQ(ar.byteCount, 8u);
    for (int i = 8; i < 14; ++i) EXPECT_EQ(area[i], 0xEE);
    EXPECT_EQ(ArchiveBytes(area, area + 8), kvotest::ArchiveI8({'a', 'b', 'c', 'd'}));
    EXPECT_EQ(CHugeData::WriteBytes(ar, "xy", 2), 0u);  // exactly the room left
    EXPECT_EQ(ar.current, area + 14);
    uint8_t small[6];
    HugeDataArchive tiny = HugeDataArchive::StoreInto(small, 3);
    EXPECT_EQ(CHugeData::WriteBytes(tiny, "x", 1), 0x80090009u);
    HugeDataArchive none = HugeDataArchive::StoreInto(nullptr, 100);
    EXPECT_EQ(CHugeData::WriteBytes(none, "x", 1), 0x80090009u);
}

// Values written as one type and read as another, for every ordered pair:
// small values survive every conversion.
TEST(Archive, EveryNumericPairConverts) {
    const uint8_t types[] = {0x11, 0x32, 0x44, 0x54, 0x68, 0x78};
    const std::vector<double> values = {1, -2, 3, 100, -128, 0};
    for (uint8_t from : types) {
        ArchiveBytes item;
        switch (from) {
        case 0x11:
            item = kvotest::ArchiveI8({1, -2, 3, 100, -128, 0});
            break;
        case 0x32:
            item = kvotest::ArchiveI16({1, -2, 3, 100, -128, 0});
            break;
        case 0x44:
            item = kvotest::ArchiveI32({1, -2, 3, 100, -128, 0});
            break;
        case 0x54:
            item = kvotest::ArchiveF32({1, -2, 3, 100, -128, 0});
            break;
        case 0x68:
            item = kvotest::ArchiveI64({1, -2, 3, 100, -128, 0});
            break;
        default:
            item = kvotest::ArchiveF64({1, -2, 3, 100, -128, 0});
            break;
        }
        for (uint8_t to : types) {
            if (to == from) continue;
            uint8_t out[6 * 8];
            std::memset(out, 0xAB, sizeof out);
            HugeDataArchive ar = HugeDataArchive::LoadFrom(item.data(), uint32_t(item.size()));
            ASSERT_EQ(CHugeData::ReadItem(ar, to, out, 6), 0u) << std::hex << int(from) << "->" << int(to);
            EXPECT_EQ(ar.byteCount, item.size());
            for (size_t i = 0; i < values.size(); ++i) {
                double got = 0;
                const uint8_t* p = out + i * (to & 0x0F);
                switch (to) {
                case 0x11:
                    got = int8_t(p[0]);
                    break;
                case 0x32: {
                    int16_t v;
                    std::memcpy(&v, p, 2);
                    got = v;
                    break;
                }
                case 0x44: {
                    int32_t v;
                    std::memcpy(&v, p, 4);
                    got = v;
                    break;
                }
                case 0x54: {
                    float v;
                    std::memcpy(&v, p, 4);
                    got = v;
                    break;
                }
                case 0x68: {
                    int64_t v;
                    std::memcpy(&v, p, 8);
                    got = double(v);
                    break;
                }
                default: {
                    double v;
                    std::memcpy(&v, p, 8);
                    got = v;
                    break;
                }
                }
                EXPECT_EQ(got, values[i]) << std::hex << int(from) << "->" << int(to) << " #" << i;
            }
        }
    }
}

TEST(Archive, NarrowingAndFloatTruncation) {
    auto read32 = [](const ArchiveBytes& item, uint8_t type, uint32_t count, void* out) {
        HugeDataArchive ar = HugeDataArchive::LoadFrom(item.data(), uint32_t(item.size()));
        return CHugeData::ReadItem(ar, type, out, count);
    };
    // Integers keep their low bytes; floats truncate toward zero.
    int16_t s[2];
    ASSERT_EQ(read32(kvotest::ArchiveI32({0x12345678, -0x12345678}), 0x32, 2, s), 0u);
    EXPECT_EQ(s[0], 0x5678);
    EXPECT_EQ(s[1], int16_t(0xA988));
    int32_t i[4];
    ASSERT_EQ(read32(kvotest::ArchiveF64({3.9, -3.9, 3e9, 1e300}), 0x44, 4, i), 0u);
    EXPECT_EQ(i[0], 3);
    EXPECT_EQ(i[1], -3);
    EXPECT_EQ(i[2], int32_t(3000000000u));  // the low 32 bits of 3,000,000,000
    EXPECT_EQ(i[3], 0);                     // out of range: 0x8000000000000000, low bytes 0
    int64_t w[2];
    ASSERT_EQ(read32(kvotest::ArchiveF32({std::numeric_limits<float>::quiet_NaN(), -1e30f}), 0x68, 2, w), 0u);
    EXPECT_EQ(w[0], std::numeric_limits<int64_t>::min());
    EXPECT_EQ(w[1], std::numeric_limits<int64_t>::min());
    // An item of 1, -2, 3 asked as three or two 32-bit values; the same type
    // copies at most the room asked for.
    using Ints = std::vector<int32_t>;
    Ints out(3, 9);
    ASSERT_EQ(read32(kvotest::ArchiveI8({1, -2, 3}), 0x44, 3, out.data()), 0u);
    EXPECT_EQ(out, (Ints{1, -2, 3}));
    out.assign(3, 9);
    ASSERT_EQ(read32(kvotest::ArchiveI8({1, -2, 3}), 0x44, 2, out.data()), 0u);
    EXPECT_EQ(out, (Ints{1, -2, 9}));
    out.assign(3, 9);
    ASSERT_EQ(read32(kvotest::ArchiveI32({5, 6, 7, 8}), 0x44, 2, out.data()), 0u);
    EXPECT_EQ(out, (Ints{5, 6, 9}));
}

TEST(Archive, FailuresLeaveThePositionWhereTheFormatSays) {
    auto at = [](const HugeDataArchive& ar, const ArchiveBytes& b) { return size_t(ar.current - b.data()); };
    int32_t v = 0;
    // Not an item: back to where the item was expected.
    ArchiveBytes junk = {'x', 0x44, 4, 0, 1, 2, 3, 4};
    HugeDataArchive a = HugeDataArchive::LoadFrom(junk.data(), uint32_t(junk.size()));
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 1), 0x80090003u);
    EXPECT_EQ(at(a, junk), 0u);
    EXPECT_EQ(a.byteCount, 0u);
    // Element size 0: three bytes back, one past the marker.
    ArchiveBytes nosize = kvotest::ArchiveRawItem(0x5B, 0x40, 0, {});
    a = HugeDataArchive::LoadFrom(nosize.data(), uint32_t(nosize.size()));
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 1), 0x80090004u);
    EXPECT_EQ(at(a, nosize), 1u);
    // No conversion (a text asked as a number), and no text: past the item.
    ArchiveBytes mixed = kvotest::ArchiveText("hi") + kvotest::ArchiveI32({5});
    a = HugeDataArchive::LoadFrom(mixed.data(), uint32_t(mixed.size()));
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 1), 0x80090007u);
    EXPECT_EQ(at(a, mixed), 6u);
    corvane::CTLString s = "kept";
    EXPECT_EQ(CHugeData::ReadString(a, s), 0x80090008u);
    EXPECT_EQ(at(a, mixed), 14u);
    EXPECT_EQ(s, "kept");
    // A payload cut short: past the header.
    ArchiveBytes cut = kvotest::ArchiveRawItem(0x5B, 0x44, 8, {1, 2, 3, 4});
    a = HugeDataArchive::LoadFrom(cut.data(), uint32_t(cut.size()));
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 2), 0x80090006u);
    EXPECT_EQ(at(a, cut), 4u);
    // What the payload held is no item.
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 1), 0x80090003u);
    EXPECT_EQ(at(a, cut), 4u);
    // Nothing left.
    ArchiveBytes three = {0x5B, 0x44, 4};
    a = HugeDataArchive::LoadFrom(three.data(), 3);
    EXPECT_EQ(CHugeData::ReadInt32(a, &v, 1), 0x80090002u);
    EXPECT_EQ(at(a, three), 0u);
    // Counts beyond one item are refused before anything is read.
    std::vector<int32_t> room(20000);
    EXPECT_EQ(CHugeData::ReadInt32(a, room.data(), 16384), 0x80090032u);
    EXPECT_EQ(CHugeData::ReadItem(a, 0, room.data(), 1), 0x80090032u);
    // Empty text items leave the text as it was; others replace it.
    ArchiveBytes texts = kvotest::ArchiveText("") + kvotest::ArchiveText("new");
    a = HugeDataArchive::LoadFrom(texts.data(), uint32_t(texts.size()));
    EXPECT_EQ(CHugeData::ReadString(a, s), 0u);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(CHugeData::ReadString(a, s), 0u);
    EXPECT_EQ(s, "new");
}

// An archive over a file refills its read buffer: items cross the 4096-byte
// read-ahead, and an item that ends exactly at the end of the file is read
// from the bytes kept plus the last read.
TEST(Archive, FileSourceRefillsAcrossItems) {
    ArchiveBytes stream;
    std::vector<std::vector<int32_t>> written;
    for (int i = 0; i < 40; ++i) {
        std::vector<int32_t> v(size_t(1 + (i * 37) % 700));
        for (size_t k = 0; k < v.size(); ++k) v[k] = int32_t(i * 100000 + k);
        written.push_back(v);
        stream = stream + kvotest::ArchiveI32(v);
    }
    const std::string big(9000, 'q');
    stream = stream + kvotest::ArchiveText(big);
    FileSource src(stream);
    HugeDataArchive& ar = src.ar;
    for (const auto& v : written) {
        std::vector<int32_t> got(v.size());
        ASSERT_EQ(CHugeData::ReadInt32(ar, got.data(), uint32_t(got.size())), 0u);
        ASSERT_EQ(got, v);
    }
    corvane::CTLString s;
    ASSERT_EQ(CHugeData::ReadString(ar, s), 0u);
    EXPECT_EQ(std::string(s.GetString()), big);
    EXPECT_EQ(ar.byteCount, stream.size());
    EXPECT_EQ(CHugeData::ReadString(ar, s), 0x80090002u);
    EXPECT_EQ(src.file.GetPosition(), stream.size());  // nothing more was taken
    // A partial item at the end: the bytes read are given back to the file.
    ArchiveBytes partial = kvotest::ArchiveI32({1}) + ArchiveBytes{0x5B, 0x44, 8, 0, 1, 2};
    FileSource src2(partial);
    int32_t two[2];
    EXPECT_EQ(CHugeData::ReadInt32(src2.ar, two, 1), 0u);
    EXPECT_EQ(CHugeData::ReadInt32(src2.ar, two, 2), 0x80090006u);
    EXPECT_EQ(src2.file.GetPosition(), partial.size());

    // A payload that the next read of the file only partly supplies: the
    // bytes read are given back, and the item is not consumed.
    std::vector<int8_t> fill(4086, 1);
    ArchiveBytes longer = kvotest::ArchiveItem(0x11, ArchiveBytes(fill.begin(), fill.end())) +
                          kvotest::ArchiveRawItem(0x5B, 0x11, 1000, ArchiveBytes(906, 2));
    ASSERT_EQ(longer.size(), 5000u);
    FileSource src3(longer);
    std::vector<int8_t> got(4086);
    ASSERT_EQ(CHugeData::ReadBytes(src3.ar, got.data(), 4086), 0u);
    EXPECT_EQ(CHugeData::ReadBytes(src3.ar, got.data(), 1000), 0x80090006u);
    EXPECT_EQ(src3.file.GetPosition(), 4096u);
    EXPECT_EQ(src3.ar.byteCount, 4090u + 4u);
}

struct Collected {
    std::vector<uint8_t> data;
    std::vector<uint32_t> pieces;
    uint32_t announced = 0;
    uint8_t type = 0;
};

void Collect(void* ctx, uint8_t type, const uint8_t* data, uint32_t length) {
    auto* c = static_cast<Collected*>(ctx);
    if (data == nullptr) {
        c->announced = length;
        c->type = type;
        return;
    }
    c->pieces.push_back(length);
    c->data.insert(c->data.end(), data, data + length);
}

TEST(Archive, HugeDataTravelsInChunksAndPieces) {
    std::vector<uint8_t> raw(100000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7 + i / 251);
    corvane::CHugeData out;
    out.m_nType = 0x11;
    out.m_nLength = uint32_t(raw.size());
    out.m_pSource = raw.data();
    CTLSmartBuffer sink;
    HugeDataArchive st = HugeDataArchive::StoreTo(&sink);
    TL_CallSerialize(&out, &st);
    // Two head items, then chunks of 65,520 and 34,480 bytes.
    const ArchiveBytes stored = Bytes(sink);
    const ArchiveBytes head = kvotest::ArchiveI8({0x11}) + kvotest::ArchiveI32({100000});
    ASSERT_EQ(stored.size(), head.size() + 4 + 65520 + 4 + 34480);
    EXPECT_EQ(ArchiveBytes(stored.begin(), stored.begin() + long(head.size())), head);
    const uint8_t* c1 = stored.data() + head.size();
    EXPECT_EQ(ArchiveBytes(c1, c1 + 4), (ArchiveBytes{0x5B, 0x11, 0xF0, 0xFF}));
    const uint8_t* c2 = c1 + 4 + 65520;
    EXPECT_EQ(ArchiveBytes(c2, c2 + 4), (ArchiveBytes{0x5B, 0x11, 0xB0, 0x86}));

    // Loaded through the class record's hook into a sink, in pieces of at
    // most 4096 bytes, over a file source.
    corvane::CTLObject* obj = TL_CreateObject(&corvane::CHugeData::classCHugeData);
    ASSERT_NE(obj, nullptr);
    auto* in = static_cast<corvane::CHugeData*>(obj);
    EXPECT_EQ(in->m_pfnSink, nullptr);
    Collected got;
    in->m_pSinkContext = &got;
    in->m_pfnSink = &Collect;
    FileSource src(stored);
    corvane::CHugeData::classCHugeData.m_pfnCallHook(in, &src.ar);
    EXPECT_EQ(got.announced, 100000u);
    EXPECT_EQ(got.type, 0x11);
    EXPECT_EQ(got.data, raw);
    for (uint32_t p : got.pieces) EXPECT_LE(p, 4096u);
    EXPECT_EQ(in->m_nLength, 100000u);
    delete obj;

    // Without a sink the data are consumed all the same; a stream that ends
    // early ends the load.
    corvane::CHugeData quiet;
    HugeDataArchive again = HugeDataArchive::LoadFrom(stored.data(), uint32_t(stored.size() - 1000));
    quiet.Serialize(again);
    EXPECT_EQ(quiet.m_nLength, 100000u);
    const ArchiveBytes lying = kvotest::ArchiveI8({0x44}) + kvotest::ArchiveI32({-1}) + kvotest::ArchiveI32({1, 2});
    HugeDataArchive liar = HugeDataArchive::LoadFrom(lying.data(), uint32_t(lying.size()));
    Collected few;
    quiet.m_pSinkContext = &few;
    quiet.m_pfnSink = &Collect;
    quiet.Serialize(liar);
    EXPECT_EQ(few.announced, 0xFFFFFFFFu);
    EXPECT_EQ(few.data.size(), 8u);
}

}  // namespace
