#include "quote/superstock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "quote/convert_fields.h"
#include "tests/support/local_time.h"
#include "tests/support/record_builder.h"

namespace {

using rb::Price32;
using rb::RecordImage;

using rb::Str;
using rb::V;

struct Entry {
    double price;
    uint32_t volume;
    uint32_t side;  // 1 bid, 2 ask
};

struct Book {
    std::string key;
    uint32_t bidCount;
    uint32_t askCount;
    std::vector<Entry> entries;
    uint32_t marker = 0xFFFFFFFFu;
    uint32_t priceWord = 0;
    int32_t seconds = 1704418205;  // 2024-01-05 09:30:05 in Shanghai
    uint32_t ms = 0;
};

// The 20-byte records of a super-stock image: per code a header, then one
// entry per level; one code-index run per book.
RecordImage SuperStockImage(const std::vector<Book>& books, uint16_t recordSize = 20) {
    uint32_t total = 0;
    for (const Book& b : books) total += 1 + uint32_t(b.entries.size());
    RecordImage img({{rb::kText | 950, recordSize}}, total);
    uint32_t r = 0;
    for (const Book& b : books) {
        uint8_t* h = img.Record(r);
        uint32_t askWord = (b.askCount & 0x3FFFFFu) | (b.ms << 22);
        memcpy(h, &b.marker, 4);
        memcpy(h + 4, &b.priceWord, 4);
        memcpy(h + 8, &b.bidCount, 4);
        memcpy(h + 12, &askWord, 4);
        memcpy(h + 16, &b.seconds, 4);
        img.codes.push_back({b.key, r, uint32_t(1 + b.entries.size())});
        ++r;
        for (const Entry& e : b.entries) {
            uint8_t* p = img.Record(r++);
            uint32_t price = Price32(e.price, 2);
            uint32_t volume = rb::Packed32(e.volume, 0, false);
            memcpy(p, &price, 4);
            memcpy(p + 4, &volume, 4);
            memcpy(p + 8, &e.side, 4);
        }
    }
    return img;
}

class SuperStockTest : public kvotest::ShanghaiTimeTest {
protected:
    std::vector<SuperStock> Push(RecordImage& img, int32_t* lastResult = nullptr) {
        PushConvertContext ctx = rb::PushContext(img);
        int32_t last = 0;
        rb::ReadCodes(img, [&](const char* k, const void* r, int32_t n) {
            last = ConvertSuperStockPush(&ctx, k, r, n);
            return last;
        });
        if (lastResult) *lastResult = last;
        std::vector<SuperStock> out;
        for (const RecordBlock& b : ctx.blocks) {
            EXPECT_EQ(b.count, 1u);
            SuperStock s;
            memcpy(&s, b.records, sizeof s);
            out.push_back(s);
        }
        EXPECT_EQ(ctx.gathered, out.size());
        FreeRecordBlocks(&ctx.blocks);
        return out;
    }

    std::vector<SuperStock> Snapshot(RecordImage& img) {
        session.superStockList.Clear();
        SnapshotConvertContext ctx = rb::SnapshotContext(img);
        ctx.superStockList = &session.superStockList;
        rb::ReadCodes(img, &ConvertSuperStockSnapshot, &ctx);
        return rb::ListRecords<SuperStock>(session.superStockList);
    }

    ConvertSession session;
};

std::vector<Entry> Ladder(double from, int n, uint32_t side, uint32_t volume = 100) {
    std::vector<Entry> v;
    for (int i = 0; i < n; ++i) v.push_back({from + i * 0.01, volume + uint32_t(i), side});
    return v;
}

std::vector<Entry> Join(std::vector<Entry> a, const std::vector<Entry>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SuperStockTest, PushKeepsTheTenBestBids) {
    Book b{
        "\x11"
        "600000",
        12, 3, Join(Ladder(10.00, 12, 1), Ladder(10.20, 3, 2, 500))};
    b.priceWord = (12345u << 8) | 1u;
    b.ms = 250;
    RecordImage img = SuperStockImage({b});
    std::vector<SuperStock> out = Push(img);
    ASSERT_EQ(out.size(), 1u);
    const SuperStock& s = out[0];
    EXPECT_EQ(Str(s.market, 5), "USHA");
    EXPECT_EQ(Str(s.code, 16), "600000");
    EXPECT_EQ(V(s.new_price), 12.345);
    EXPECT_EQ(V(s.date), 20240105);
    EXPECT_EQ(V(s.time), 93005250);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(V(s.bidorder_price[i]), UnpackPacked32(Price32(10.11 - i * 0.01, 2))) << i;
        EXPECT_EQ(V(s.bidorder_volume[i]), int64_t(111 - i)) << i;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(V(s.askorder_price[i]), UnpackPacked32(Price32(10.20 + i * 0.01, 2))) << i;
        EXPECT_EQ(V(s.askorder_volume[i]), int64_t(500 + i)) << i;
    }
    for (int i = 3; i < 10; ++i) {
        EXPECT_EQ(V(s.askorder_price[i]), 0.0);
        EXPECT_EQ(V(s.askorder_volume[i]), 0);
    }
}

TEST_F(SuperStockTest, PushFewBidsAndNoTag) {
    Book b{
        "\x21"
        "000001",
        4, 1, Join(Ladder(5.00, 4, 1), Ladder(5.10, 1, 2))};
    RecordImage img = SuperStockImage({b});
    std::vector<SuperStock> out = Push(img);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(std::signbit(V(out[0].new_price)));  // no tag: no value
    EXPECT_EQ(V(out[0].bidorder_price[0]), 5.03);
    EXPECT_EQ(V(out[0].bidorder_price[3]), 5.00);
    for (int i = 4; i < 10; ++i) {
        EXPECT_EQ(V(out[0].bidorder_price[i]), 0.0);
        EXPECT_EQ(V(out[0].bidorder_volume[i]), 0);
    }
    EXPECT_EQ(V(out[0].askorder_price[0]), 5.10);
}

TEST_F(SuperStockTest, PushDropsOutOfOrderBookOnly) {
    Book bad{
        "\x11"
        "600001",
        3,
        0,
        {{10.00, 1, 1}, {10.02, 1, 1}, {10.01, 1, 1}}};
    Book good{
        "\x11"
        "600002",
        1,
        1,
        {{9.00, 5, 1}, {9.10, 6, 2}}};
    RecordImage img = SuperStockImage({bad, good});
    std::vector<SuperStock> out = Push(img);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Str(out[0].code, 16), "600002");
}

TEST_F(SuperStockTest, PushMergesARepeatedPrice) {
    Book b{
        "\x11"
        "600003",
        3,
        2,
        {{10.00, 10, 1}, {10.01, 20, 1}, {10.01, 5, 1}, {10.05, 7, 2}, {10.05, 3, 2}}};
    RecordImage img = SuperStockImage({b});
    std::vector<SuperStock> out = Push(img);
    ASSERT_EQ(out.size(), 1u);
    // L ran 3 -> 2 -> 1; the repeated 10.01 adds its volume to that level
    // and the level count stays (level 1 stays empty).
    EXPECT_EQ(V(out[0].bidorder_price[2]), 10.00);
    EXPECT_EQ(V(out[0].bidorder_price[1]), 10.01);
    EXPECT_EQ(V(out[0].bidorder_volume[1]), 25);
    EXPECT_EQ(V(out[0].bidorder_price[0]), 0.0);
    EXPECT_EQ(V(out[0].askorder_price[0]), 10.05);
    EXPECT_EQ(V(out[0].askorder_volume[0]), 10);
    EXPECT_EQ(V(out[0].askorder_price[1]), 0.0);
}

TEST_F(SuperStockTest, MissingMarkerEndsTheImage) {
    Book first{
        "\x11"
        "600001",
        1,
        1,
        {{9.00, 5, 1}, {9.10, 6, 2}}};
    Book broken{
        "\x11"
        "600002",
        1,
        1,
        {{9.00, 5, 1}, {9.10, 6, 2}}};
    broken.marker = 0x12345678;
    Book later{
        "\x11"
        "600003",
        1,
        1,
        {{9.00, 5, 1}, {9.10, 6, 2}}};
    RecordImage img = SuperStockImage({first, broken, later});
    int32_t last = 0;
    std::vector<SuperStock> out = Push(img, &last);
    EXPECT_EQ(last, -1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Str(out[0].code, 16), "600001");
    std::vector<SuperStock> snap = Snapshot(img);
    ASSERT_EQ(snap.size(), 1u);
    EXPECT_EQ(Str(snap[0].code, 16), "600001");
}

TEST_F(SuperStockTest, ShortRecordsGiveNoRecord) {
    Book b{
        "\x11"
        "600001",
        1,
        1,
        {{9.00, 5, 1}, {9.10, 6, 2}}};
    RecordImage img = SuperStockImage({b}, 16);
    int32_t last = 7;
    EXPECT_TRUE(Push(img, &last).empty());
    EXPECT_EQ(last, 0);
    EXPECT_TRUE(Snapshot(img).empty());
}

// Records wider than the 20 bytes a header or entry uses: each entry is the
// start of its own record, in both forms.
TEST_F(SuperStockTest, WideRecordsAreReadAtTheirStride) {
    Book b{
        "\x11"
        "600000",
        2,
        2,
        {{9.98, 100, 1}, {9.99, 200, 1}, {10.00, 300, 2}, {10.02, 400, 2}}};
    RecordImage img = SuperStockImage({b}, 28);
    for (std::vector<SuperStock> out : {Push(img), Snapshot(img)}) {
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(V(out[0].bidorder_price[0]), 9.99);
        EXPECT_EQ(V(out[0].bidorder_volume[0]), 200);
        EXPECT_EQ(V(out[0].bidorder_price[1]), 9.98);
        EXPECT_EQ(V(out[0].askorder_price[0]), 10.00);
        EXPECT_EQ(V(out[0].askorder_price[1]), 10.02);
        EXPECT_EQ(V(out[0].askorder_volume[1]), 400);
        EXPECT_EQ(V(out[0].bidorder_price[2]), 0.0);
    }
}

TEST_F(SuperStockTest, SnapshotCrossedBookLosingAnAskIsDropped) {
    Book b{
        "\x11"
        "600000",
        3,
        2,
        {{9.98, 100, 1}, {9.99, 100, 1}, {10.01, 500, 1}, {10.00, 200, 2}, {10.02, 100, 2}}};
    RecordImage img = SuperStockImage({b});
    EXPECT_TRUE(Snapshot(img).empty());

    // The same book with the ask volume the larger: the bid goes, the ask
    // keeps 300 - and the bid side lost a visible level, so it is dropped too.
    Book c{
        "\x11"
        "600000",
        3,
        2,
        {{9.98, 100, 1}, {9.99, 100, 1}, {10.01, 200, 1}, {10.00, 500, 2}, {10.02, 100, 2}}};
    RecordImage img2 = SuperStockImage({c});
    EXPECT_TRUE(Snapshot(img2).empty());
}

TEST_F(SuperStockTest, SnapshotDeepBookKeepsItsRecord) {
    Book b{
        "\x11"
        "600000",
        15, 2, Join(Ladder(10.00, 15, 1, 100), {{10.14, 150, 2}, {10.20, 80, 2}})};
    b.ms = 999;
    RecordImage img = SuperStockImage({b});
    std::vector<SuperStock> out = Snapshot(img);
    ASSERT_EQ(out.size(), 1u);
    const SuperStock& s = out[0];
    EXPECT_EQ(V(s.time), 93005999);
    // 10.14 (volume 114) met the ask of 150 at the same price and is gone.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(V(s.bidorder_price[i]), UnpackPacked32(Price32(10.13 - i * 0.01, 2))) << i;
        EXPECT_EQ(V(s.bidorder_volume[i]), int64_t(113 - i)) << i;
    }
    EXPECT_EQ(V(s.askorder_price[0]), 10.14);
    EXPECT_EQ(V(s.askorder_volume[0]), 36);
    EXPECT_EQ(V(s.askorder_price[1]), 10.20);
    EXPECT_EQ(V(s.askorder_price[2]), 0.0);
}

TEST_F(SuperStockTest, SnapshotUnderTheCallersListLock) {
    Book b{
        "\x11"
        "600000",
        2,
        2,
        {{9.98, 100, 1}, {9.99, 100, 1}, {10.00, 200, 2}, {10.02, 100, 2}}};
    RecordImage img = SuperStockImage({b});
    // The query holds the list's mutex while the image is converted; the
    // converter takes it again on the same thread.
    corvane::CTLSingleLock held(&session.superStockList.Mutex(), 1);
    SnapshotConvertContext ctx = rb::SnapshotContext(img);
    ctx.superStockList = &session.superStockList;
    rb::ReadCodes(img, &ConvertSuperStockSnapshot, &ctx);
    std::vector<SuperStock> s = rb::ListRecords<SuperStock>(session.superStockList);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(V(s[0].bidorder_price[0]), 9.99);
    EXPECT_EQ(V(s[0].bidorder_price[1]), 9.98);
    EXPECT_EQ(V(s[0].askorder_price[0]), 10.00);
    EXPECT_EQ(V(s[0].askorder_price[1]), 10.02);
    EXPECT_TRUE(std::signbit(V(s[0].new_price)));
}

TEST(SuperStockHelpers, Predicates) {
    EXPECT_TRUE(IsBidLevelEntry(3, 2, 1, 1));
    EXPECT_FALSE(IsBidLevelEntry(3, 3, 1, 1));
    EXPECT_FALSE(IsBidLevelEntry(3, 0, 2, 1));
    EXPECT_FALSE(IsBidLevelEntry(12, 0, 1, 11));
    EXPECT_FALSE(IsBidLevelEntry(12, 0, 1, 0));
    EXPECT_TRUE(HasFreeAskLevel(2, 9));
    EXPECT_FALSE(HasFreeAskLevel(2, 10));
    EXPECT_FALSE(HasFreeAskLevel(1, 0));
    EXPECT_TRUE(IsSuperStockComplete(3, 2, 3, 2));
    EXPECT_FALSE(IsSuperStockComplete(2, 2, 3, 2));
    EXPECT_TRUE(IsSuperStockComplete(10, 11, 15, 12));
    EXPECT_FALSE(IsSuperStockComplete(9, 12, 15, 12));
    EXPECT_TRUE(IsSuperStockComplete(10, 10, 10, 11));  // ten of eleven asks are still ten visible
    EXPECT_FALSE(IsSuperStockComplete(10, 9, 10, 11));
}

TEST(SuperStockHelpers, FillLevelsFromList) {
    std::vector<SuperStockLevel> list;
    for (int i = 0; i < 12; ++i) list.push_back({1.0 + i, 10 + i});   // 12 bids
    for (int i = 0; i < 12; ++i) list.push_back({20.0 + i, 30 + i});  // 12 asks
    SuperStock s;
    memset(&s, 0, sizeof s);
    FillSuperStockLevels(&s, list, 12);
    EXPECT_EQ(V(s.bidorder_price[0]), 12.0);
    EXPECT_EQ(V(s.bidorder_price[9]), 3.0);
    EXPECT_EQ(V(s.askorder_price[0]), 20.0);
    EXPECT_EQ(V(s.askorder_price[9]), 29.0);
    EXPECT_EQ(V(s.askorder_volume[9]), 39);
}

}  // namespace
