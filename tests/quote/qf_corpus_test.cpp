// The seed corpora of the quote-file and converter fuzz targets: images of
// each family and block kind made by the test writer, block-chained indexes,
// images of more than 128 records (the transposes' wide loops) and, for the
// converters, tables that carry the fields each data type reads. With
// KVO_WRITE_CORPUS set to a folder this test (re)writes the files into its
// subfolders "quotefile" and "convert"; otherwise it checks that the
// committed corpora hold every seed byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "simulator/quote_writer.h"
#include "tests/support/corpus_seeds.h"
#include "tests/support/record_builder.h"

namespace {

using kvotest::Seeds;

constexpr uint32_t kText = 0x2000, kI32 = 0x3000, kP32 = 0x7000, kP64 = 0x0000, kRaw = 0x6000;

// Every family and block kind of one table, as named files.
void AllFamilies(Seeds& s, const std::string& name, const qw::Table& t, bool withIndex = true) {
    s[name + "_native"] = qw::NativeImage(t);
    for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        o.index = withIndex;
        s[name + "_" + v] = qw::CompactImage(t, o);
    }
    s[name + "_hq6_raw"] = qw::Hq6Image(t, 0);
    s[name + "_hq6_snappy"] = qw::Hq6Image(t, 0x10);
}

// An "hd4.1" image whose coded column block the fuzz target's column hook
// reads: a u16 length, then 8-byte native column entries (u32 id, u16
// attribute, u16 width), then the stored data.
qw::Bytes CodedColumns(const qw::Table& t) {
    qw::Bytes block;
    qw::PutU16(block, uint16_t(2 + 8 * t.columns.size()));
    for (const qw::Column& c : t.columns) {
        qw::PutU32(block, c.id);
        qw::PutU16(block, c.attr);
        qw::PutU16(block, c.width);
    }
    const uint32_t dataOffset = 16 + uint32_t(block.size());
    qw::Bytes b = {'h', 'd', '4', '.', '1', 0};
    qw::PutU32(b, t.records);
    qw::PutU16(b, uint16_t(dataOffset));
    qw::PutU16(b, uint16_t(t.recordSize));
    qw::PutU16(b, uint16_t(t.columns.size()));
    b.insert(b.end(), block.begin(), block.end());
    b.insert(b.end(), t.data.begin(), t.data.end());
    return b;
}

Seeds QuoteFileSeeds() {
    qw::Table t = qw::MakeTable({{0x1001, 0, 8}, {0x7002, 0, 4}, {0x3003, 0, 4}, {0x0004, 0, 8}, {0x2005, 0, 6}}, 6);
    for (uint32_t r = 0; r < 6; ++r) {
        qw::SetText(t, r, 0, r < 3 ? "60000011" : "60003622");
        qw::SetU32(t, r, 1, 0x10000000u + 5000 + r);
        qw::SetU32(t, r, 2, r * 300);
        qw::SetU64(t, r, 3, 0x0800000000000000ull | r);
        qw::SetText(t, r, 4, r % 2 ? "abc" : "abcdef");
    }
    qw::SetAbsent(t, 4, 1);
    t.codes = {{"60000011", 0, 3}, {"60003622", 3, 3}};
    Seeds s;
    s["native_index"] = qw::NativeImage(t);
    qw::Table plain = t;
    plain.codes.clear();
    s["native_plain"] = qw::NativeImage(plain);
    for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        s[std::string("compact_") + v] = qw::CompactImage(t, o);
    }
    qw::CompactOptions high;
    high.highIds = true;
    qw::Table th = t;
    th.columns[0].id |= 0x20000;
    s["compact_high_ids"] = qw::CompactImage(th, high);
    s["hq6_raw"] = qw::Hq6Image(t, 0);
    s["hq6_snappy"] = qw::Hq6Image(t, 0x10);
    s["hq6_snappy_noindex"] = qw::Hq6Image(plain, 0x10);

    // 200 records: the transposes' wide loops, and chains of many blocks.
    qw::Table wide = qw::MakeTable({{0x3001, 0, 4}, {0x1002, 0, 8}, {0x7003, 0, 4}}, 200);
    for (uint32_t r = 0; r < 200; ++r) {
        qw::SetU32(wide, r, 0, r * 7919u);
        qw::SetText(wide, r, 1, r < 120 ? "600000" : "000001");
        qw::SetU32(wide, r, 2, 0x90000000u + r);
    }
    wide.codes = {{"600000", 0, 120}, {"000001", 120, 80}};
    for (const char* v : {"hd3.0", "hd3.1", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        s[std::string("wide_") + v] = qw::CompactImage(wide, o);
    }
    s["wide_chained"] = qw::ChainedNativeImage(wide, 16);
    s["chained"] = qw::ChainedNativeImage(t, 2);
    s["coded_columns"] = CodedColumns(plain);
    return s;
}

// --- converter seeds -------------------------------------------------------

qw::Table IndexTable() {
    qw::Table t = qw::MakeTable({{kText | 5, 0, 12},
                                 {kText | 55, 0, 16},
                                 {kText | 127, 0, 8},
                                 {kI32 | 56, 0, 4},
                                 {kI32 | 1, 0, 4},
                                 {kP64 | 274, 0, 8},
                                 {kP64 | 275, 0, 8},
                                 {kP64 | 278, 0, 8},
                                 {kP64 | 13, 0, 8},
                                 {kP64 | 19, 0, 8},
                                 {kP64 | 18, 0, 8}},
                                4);
    const char* codes[4] = {
        "\x10"
        "1B0001",
        "\x10"
        "1A0002",
        " 399001",
        "\x11"
        "600000"};
    for (uint32_t r = 0; r < 4; ++r) {
        qw::SetText(t, r, 0, codes[r]);
        qw::SetText(t, r, 1, "NAME");
        qw::SetText(t, r, 2, "TRADE");
        qw::SetU32(t, r, 3, r == 2 ? 93005250u : 0u);
        qw::SetU32(t, r, 4, 1704418205u);
        qw::SetU64(t, r, 5, rb::Price64(2990.5 + r, 1));
        qw::SetU64(t, r, 6, rb::Price64(3000.5 + r, 1));
        qw::SetU64(t, r, 7, rb::Price64(3010.25 + r, 2));
        qw::SetU64(t, r, 8, rb::Packed64(1000 * (r + 1), 0, false));
        qw::SetU64(t, r, 9, rb::Price64(123456.78, 2));
        qw::SetU64(t, r, 10, rb::Packed64(50 + r, 0, false));
    }
    qw::SetAbsent(t, 1, 5);
    return t;
}

qw::Table StockTable() {
    qw::Table t = qw::MakeTable(
        {{kText | 5, 0, 12}, {kText | 55, 0, 16}, {kText | 127, 0, 8}, {kI32 | 56, 0, 4},  {kI32 | 1, 0, 4},
         {kP32 | 6, 0, 4},   {kP32 | 10, 0, 4},   {kP64 | 13, 0, 8},   {kP64 | 19, 0, 8},  {kP32 | 24, 0, 4},
         {kP64 | 25, 0, 8},  {kP32 | 30, 0, 4},   {kP64 | 31, 0, 8},   {kP64 | 131, 0, 8}, {kP64 | 181, 0, 8},
         {kI32 | 264, 0, 4}, {kP64 | 265, 0, 8},  {kI32 | 195, 0, 4},  {kP64 | 15, 0, 8},  {kText | 86, 0, 12},
         {kI32 | 271, 0, 4}},
        3);
    for (uint32_t r = 0; r < 3; ++r) {
        qw::SetText(t, r, 0,
                    r == 1 ? "\x21"
                             "000001"
                           : "\x11"
                             "600000");
        qw::SetText(t, r, 1, "STOCK");
        qw::SetText(t, r, 2, "OCALL");
        qw::SetU32(t, r, 3, 93000000u + r);
        qw::SetU32(t, r, 4, 1704418205u + r);
        qw::SetU32(t, r, 5, rb::Price32(9.87, 2));
        qw::SetU32(t, r, 6, rb::Price32(10.01 + r, 2));
        qw::SetU64(t, r, 7, rb::Packed64(12000, 0, false));
        qw::SetU64(t, r, 8, rb::Price64(120120.5, 1));
        qw::SetU32(t, r, 9, rb::Price32(10.0, 2));
        qw::SetU64(t, r, 10, rb::Packed64(300, 0, false));
        qw::SetU32(t, r, 11, rb::Price32(10.02, 2));
        qw::SetU64(t, r, 12, rb::Packed64(400, 0, false));
        qw::SetU64(t, r, 13, rb::Packed64(7, 0, false));
        qw::SetU64(t, r, 14, rb::Packed64(9, 0, false));
        qw::SetU32(t, r, 15, 3);
        qw::SetU64(t, r, 16, rb::Packed64(900, 0, false));
        qw::SetU32(t, r, 17, 11);
        qw::SetU64(t, r, 18, rb::Packed64(5000, 0, false));
        qw::SetText(t, r, 19, r == 2 ? "A LONG TEXT" : "NOTE");
        qw::SetU32(t, r, 20, 271);
    }
    return t;
}

qw::Table FiveLevelTable() {
    qw::Table t = qw::MakeTable({{kText | 5, 0, 12},
                                 {kText | 55, 0, 16},
                                 {kText | 83, 0, 8},
                                 {kP64 | 66, 0, 8},
                                 {kP32 | 7, 0, 4},
                                 {kP32 | 10, 0, 4},
                                 {kI32 | 142, 0, 4},
                                 {kP32 | 24, 0, 4},
                                 {kI32 | 25, 0, 4},
                                 {kP64 | 13, 0, 8},
                                 {kP64 | 19, 0, 8}},
                                2);
    for (uint32_t r = 0; r < 2; ++r) {
        qw::SetText(t, r, 0,
                    r ? "UZOO10000001"
                      : "\x39"
                        "10000002");
        qw::SetText(t, r, 1, "OPTION");
        qw::SetText(t, r, 2, "T111");
        qw::SetU64(t, r, 3, rb::Price64(0.125, 3));
        qw::SetU32(t, r, 4, rb::Price32(0.1, 1));
        qw::SetU32(t, r, 5, rb::Price32(0.2, 1));
        qw::SetU32(t, r, 6, 142);
        qw::SetU32(t, r, 7, rb::Price32(0.19, 2));
        qw::SetU32(t, r, 8, 10);
        qw::SetU64(t, r, 9, rb::Packed64(77, 0, false));
        qw::SetU64(t, r, 10, rb::Price64(1.5, 1));
    }
    return t;
}

// Orders, transactions and cancellations in one table; keys with trailing
// blanks and the one-byte key of the SZ market byte.
qw::Table TradeTable(uint32_t records) {
    qw::Table t = qw::MakeTable({{kP64 | 56, 0, 8},
                                 {kP64 | 82, 0, 8},
                                 {kI32 | 1, 0, 4},
                                 {kI32 | 76, 0, 4},
                                 {kI32 | 77, 0, 4},
                                 {kI32 | 73, 0, 4},
                                 {kP32 | 10, 0, 4},
                                 {kP32 | 20, 0, 4},
                                 {kP64 | 13, 0, 8},
                                 {kI32 | 74, 0, 4},
                                 {kI32 | 75, 0, 4},
                                 {kI32 | 37, 0, 4},
                                 {kI32 | 272, 0, 4},
                                 {kI32 | 12, 0, 4},
                                 {kI32 | 271, 0, 4},
                                 {kText | 89, 0, 2}},
                                records);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetU64(t, r, 0, rb::Packed64(20240105093000000ull + r, 0, false));
        qw::SetU64(t, r, 1, rb::Packed64(20240105100000000ull + r, 0, false));
        qw::SetU32(t, r, 2, 1000 + r);
        qw::SetU32(t, r, 3, 2000 + r);
        qw::SetU32(t, r, 4, 3000 + r);
        qw::SetU32(t, r, 5, 7);
        qw::SetU32(t, r, 6, rb::Price32(10.25 + r * 0.01, 2));
        qw::SetU32(t, r, 7, rb::Price32(9.75, 2));
        qw::SetU64(t, r, 8, rb::Packed64(100 * (r % 9 + 1), 0, false));
        qw::SetU32(t, r, 9, 740 + r);
        qw::SetU32(t, r, 10, 750 + r);
        qw::SetU32(t, r, 11, 370 + r);
        qw::SetU32(t, r, 12, r % 6);
        qw::SetU32(t, r, 13, r % 8);
        qw::SetU32(t, r, 14, 271);
        qw::SetText(t, r, 15, r % 3 ? "1" : "U");
    }
    const uint32_t third = records / 3;
    t.codes = {{"\x11"
                "600000",
                0, third},
               {"\x21"
                "000001 ",
                third, third},
               {" ", 2 * third, records - 2 * third}};
    return t;
}

// Order queue source records: date-time, price, n, order count, volumes.
qw::Table QueueTable() {
    qw::Table t = qw::MakeTable({{kRaw | 900, 0, 44}}, 3);
    for (uint32_t r = 0; r < 3; ++r) {
        uint8_t* p = t.Field(r, 0);
        const uint64_t dt = r == 2 ? rb::Packed64(93005, 0, false) : rb::Packed64(20240105093005250ull + r, 0, false);
        const uint32_t price = rb::Price32(10.5 + r, 1);
        const uint16_t n = uint16_t(r + 2);
        const uint32_t orders = 17 + r;
        std::memcpy(p, &dt, 8);
        std::memcpy(p + 8, &price, 4);
        std::memcpy(p + 18, &n, 2);
        std::memcpy(p + 20, &orders, 4);
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t v = 0x01000000u | (100 + i);
            std::memcpy(p + 28 + 4 * i, &v, 4);
        }
    }
    t.codes = {{"\x11"
                "600000",
                0, 2},
               {"\x21"
                "000001",
                2, 1}};
    return t;
}

// Super-stock books: a header record, then one entry per level.
qw::Table SuperStockTable() {
    struct Entry {
        double price;
        uint32_t volume, side;
    };
    const std::vector<std::vector<Entry>> books = {
        {{9.98, 100, 1}, {9.99, 200, 1}, {10.01, 300, 2}, {10.02, 400, 2}},
        {{10.00, 500, 1}, {10.01, 100, 1}, {10.00, 200, 2}},  // crossed
    };
    uint32_t records = 0;
    for (const auto& b : books) records += 1 + uint32_t(b.size());
    qw::Table t = qw::MakeTable({{kRaw | 950, 0, 20}}, records);
    uint32_t r = 0;
    const char* keys[2] = {
        "\x11"
        "600000",
        "\x21"
        "000001"};
    for (size_t k = 0; k < books.size(); ++k) {
        const uint32_t bids = 2, asks = k == 0 ? 2 : 1;
        const uint32_t head[5] = {0xFFFFFFFFu, (10005u << 8) | 1u, bids, asks | (250u << 22), 1704418205u};
        std::memcpy(t.Field(r, 0), head, sizeof head);
        t.codes.push_back({keys[k], r, 1 + uint32_t(books[k].size())});
        ++r;
        for (const Entry& e : books[k]) {
            const uint32_t entry[3] = {rb::Price32(e.price, 2), rb::Packed32(e.volume, 0, false), e.side};
            std::memcpy(t.Field(r++, 0), entry, sizeof entry);
        }
    }
    return t;
}

Seeds ConvertSeeds() {
    Seeds s;
    qw::Table index = IndexTable();
    s["index_native"] = qw::NativeImage(index);
    s["index_hd1.0"] = qw::CompactImage(index);
    s["index_hq6_snappy"] = qw::Hq6Image(index, 0x10);
    qw::Table stock = StockTable();
    s["stock_native"] = qw::NativeImage(stock);
    s["stock_hd5.1"] = qw::CompactImage(stock, qw::CompactOptions{"hd5.1"});
    s["stock_hq6_raw"] = qw::Hq6Image(stock, 0);
    qw::Table five = FiveLevelTable();
    s["five_hd3.0"] = qw::CompactImage(five, qw::CompactOptions{"hd3.0"});
    s["five_hq6_snappy"] = qw::Hq6Image(five, 0x10);
    qw::Table trades = TradeTable(9);
    AllFamilies(s, "trades", trades);
    s["trades_chained"] = qw::ChainedNativeImage(trades, 2);
    qw::Table queue = QueueTable();
    s["queue_native"] = qw::NativeImage(queue);
    s["queue_hq6_snappy"] = qw::Hq6Image(queue, 0x10);
    qw::Table super = SuperStockTable();
    s["superstock_hd1.0"] = qw::CompactImage(super);
    s["superstock_hq6_snappy"] = qw::Hq6Image(super, 0x10);
    // More than 128 records in the transposed and delta kinds, and in chains:
    // narrow trades (date-time, index, price), so the images stay small.
    qw::Table many = qw::MakeTable({{kP64 | 56, 0, 8}, {kI32 | 1, 0, 4}, {kP32 | 10, 0, 4}}, 200);
    for (uint32_t r = 0; r < 200; ++r) {
        qw::SetU64(many, r, 0, rb::Packed64(20240105093000000ull + r * 7, 0, false));
        qw::SetU32(many, r, 1, 5000 + r);
        qw::SetU32(many, r, 2, rb::Price32(10.0 + (r % 17) * 0.01, 2));
    }
    many.codes = {{"\x11"
                   "600000",
                   0, 130},
                  {"\x21"
                   "000001",
                   130, 70}};
    for (const char* v : {"hd3.0", "hd3.1", "hd5.0"})
        s[std::string("many_") + v] = qw::CompactImage(many, qw::CompactOptions{v});
    s["many_hq6_snappy"] = qw::Hq6Image(many, 0x10);
    s["many_chained"] = qw::ChainedNativeImage(many, 32);
    // A payload of several images, as a push carries them: the descriptor
    // caches are filled by the first and used or refilled by the next.
    qw::Bytes payload = s["index_hq6_snappy"];
    for (const char* next : {"index_hd1.0", "trades_hq6_snappy", "trades_hd1.0", "queue_hq6_snappy"})
        payload.insert(payload.end(), s[next].begin(), s[next].end());
    s["payload"] = payload;
    return s;
}

TEST(QfCorpus, SeedsMatchTheWriter) { kvotest::CheckOrWriteSeeds("quotefile", QuoteFileSeeds()); }

TEST(QfCorpus, ConverterSeedsMatchTheWriter) { kvotest::CheckOrWriteSeeds("convert", ConvertSeeds()); }

}  // namespace
