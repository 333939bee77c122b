#include "quote/records.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "quote/market.h"
#include "quote/records_abi.h"
#include "tests/support/local_time.h"

namespace {

// The public header compiled as C (quote/records_abi.c) and as C++ (here)
// gives the same sizes and offsets.
TEST(RecordLayout, CAndCxxAgree) {
#define KVO_SIZE_OF(rec) sizeof(rec),
#define KVO_OFFSET_OF(rec, field) offsetof(rec, field),
    const size_t cxx[] = {KVO_RECORD_TYPES(KVO_SIZE_OF) KVO_RECORD_FIELDS(KVO_OFFSET_OF)};
#undef KVO_SIZE_OF
#undef KVO_OFFSET_OF
#define KVO_NAME_OF(rec) #rec,
#define KVO_FIELD_NAME_OF(rec, field) #rec "." #field,
    const char* names[] = {KVO_RECORD_TYPES(KVO_NAME_OF) KVO_RECORD_FIELDS(KVO_FIELD_NAME_OF)};
#undef KVO_NAME_OF
#undef KVO_FIELD_NAME_OF
    size_t n = 0;
    const size_t* c = KvoRecordLayoutFromC(&n);
    ASSERT_EQ(n, sizeof cxx / sizeof cxx[0]);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(c[i], cxx[i]) << names[i];
    EXPECT_EQ(c[0], 133u);
}

// Within each record the fields follow one another with no gap: every
// field's offset is the previous offset plus the previous width.
TEST(RecordLayout, FieldsAreContiguous) {
    struct Entry {
        const char* rec;
        size_t off;
        size_t width;
    };
#define KVO_ENTRY(rec, field) {#rec, offsetof(rec, field), sizeof(static_cast<rec*>(nullptr)->field)},
    const Entry entries[] = {KVO_RECORD_FIELDS(KVO_ENTRY)};
#undef KVO_ENTRY
#define KVO_SIZE_ENTRY(rec) {#rec, sizeof(rec), 0},
    const Entry sizes[] = {KVO_RECORD_TYPES(KVO_SIZE_ENTRY)};
#undef KVO_SIZE_ENTRY
    size_t end = 0;
    const char* cur = nullptr;
    auto sizeOf = [&](const char* rec) {
        for (const auto& s : sizes) {
            if (strcmp(s.rec, rec) == 0) return s.off;
        }
        return size_t(0);
    };
    for (const auto& e : entries) {
        if (cur == nullptr || strcmp(cur, e.rec) != 0) {
            if (cur != nullptr) {
                EXPECT_EQ(end, sizeOf(cur)) << cur;
            }
            cur = e.rec;
            end = 0;
        }
        EXPECT_EQ(e.off, end) << e.rec;
        end = e.off + e.width;
    }
    EXPECT_EQ(end, sizeOf(cur)) << cur;
}

// Every field of every record with the type and offset that the host reads
// it at. Sizes alone cannot tell an f64 from an i64 (or an i32 from a
// float), so each field's declared type is checked as well.
#define KVO_FIELD(rec, field, type, off)                                                     \
    static_assert(std::is_same<decltype(rec::field), type>::value, #rec "." #field " type"); \
    static_assert(offsetof(rec, field) == (off), #rec "." #field " offset");

// The tick head: the whole TickIndex, and the start of TickStock.
#define KVO_TICK_HEAD(rec)                 \
    KVO_FIELD(rec, market, char[5], 0)     \
    KVO_FIELD(rec, code, char[16], 5)      \
    KVO_FIELD(rec, codename, char[20], 21) \
    KVO_FIELD(rec, status, char[20], 41)   \
    KVO_FIELD(rec, date, int32_t, 61)      \
    KVO_FIELD(rec, time, int32_t, 65)      \
    KVO_FIELD(rec, pre_price, double, 69)  \
    KVO_FIELD(rec, open_price, double, 77) \
    KVO_FIELD(rec, high_price, double, 85) \
    KVO_FIELD(rec, low_price, double, 93)  \
    KVO_FIELD(rec, new_price, double, 101) \
    KVO_FIELD(rec, volume, int64_t, 109)   \
    KVO_FIELD(rec, turnover, double, 117)  \
    KVO_FIELD(rec, trade_num, int64_t, 125)

KVO_TICK_HEAD(TickIndex)

KVO_TICK_HEAD(TickStock)
KVO_FIELD(TickStock, bidorder_price, double[10], 133)
KVO_FIELD(TickStock, bidorder_volume, int64_t[10], 213)
KVO_FIELD(TickStock, bid_numorders, int64_t[10], 293)
KVO_FIELD(TickStock, askorder_price, double[10], 373)
KVO_FIELD(TickStock, askorder_volume, int64_t[10], 453)
KVO_FIELD(TickStock, ask_numorders, int64_t[10], 533)
KVO_FIELD(TickStock, totalbid_volume, int64_t, 613)
KVO_FIELD(TickStock, totalask_volume, int64_t, 621)
KVO_FIELD(TickStock, avgbid_price, double, 629)
KVO_FIELD(TickStock, avgask_price, double, 637)
KVO_FIELD(TickStock, uplimit_price, double, 645)
KVO_FIELD(TickStock, downlimit_price, double, 653)
KVO_FIELD(TickStock, pe, double, 661)
KVO_FIELD(TickStock, iopv, double, 669)
KVO_FIELD(TickStock, withdraw_buynum, int32_t, 677)
KVO_FIELD(TickStock, withdraw_buyvolume, int64_t, 681)
KVO_FIELD(TickStock, withdraw_buyturnover, double, 689)
KVO_FIELD(TickStock, withdraw_sellnum, int32_t, 697)
KVO_FIELD(TickStock, withdraw_sellvol, int64_t, 701)
KVO_FIELD(TickStock, withdraw_sellturnover, double, 709)
KVO_FIELD(TickStock, totalbid_num, int32_t, 717)
KVO_FIELD(TickStock, totalask_num, int32_t, 721)
KVO_FIELD(TickStock, bidorder_num, int32_t, 725)
KVO_FIELD(TickStock, askorder_num, int32_t, 729)
KVO_FIELD(TickStock, inner_volume, int64_t, 733)
KVO_FIELD(TickStock, outer_volume, int64_t, 741)
KVO_FIELD(TickStock, aftermarket_volume, int64_t, 749)
KVO_FIELD(TickStock, aftermarket_volmount, int32_t, 757)
KVO_FIELD(TickStock, field_76, double, 761)
KVO_FIELD(TickStock, field_77, double, 769)
KVO_FIELD(TickStock, field_141, double, 777)
KVO_FIELD(TickStock, field_271, int32_t, 785)
KVO_FIELD(TickStock, field_86, char[20], 789)

// Market, code, date and time head the four records without a name.
#define KVO_KEY_HEAD(rec)              \
    KVO_FIELD(rec, market, char[5], 0) \
    KVO_FIELD(rec, code, char[16], 5)  \
    KVO_FIELD(rec, date, int32_t, 21)  \
    KVO_FIELD(rec, time, int32_t, 25)

KVO_KEY_HEAD(SuperStock)
KVO_FIELD(SuperStock, new_price, double, 29)
KVO_FIELD(SuperStock, bidorder_price, double[10], 37)
KVO_FIELD(SuperStock, bidorder_volume, int64_t[10], 117)
KVO_FIELD(SuperStock, askorder_price, double[10], 197)
KVO_FIELD(SuperStock, askorder_volume, int64_t[10], 277)

KVO_KEY_HEAD(OrderQueue)
KVO_FIELD(OrderQueue, side, char[2], 29)
KVO_FIELD(OrderQueue, price, double, 31)
KVO_FIELD(OrderQueue, order_number, int32_t, 39)
KVO_FIELD(OrderQueue, show_number, int32_t, 43)

KVO_KEY_HEAD(OrderData)
KVO_FIELD(OrderData, index, int32_t, 29)
KVO_FIELD(OrderData, Bizindex, int32_t, 33)
KVO_FIELD(OrderData, field_77, int32_t, 37)
KVO_FIELD(OrderData, channel, int32_t, 41)
KVO_FIELD(OrderData, price, double, 45)
KVO_FIELD(OrderData, volume, int32_t, 53)
KVO_FIELD(OrderData, side, char[6], 57)
KVO_FIELD(OrderData, type, char[2], 63)
KVO_FIELD(OrderData, order_kind, char[2], 65)
KVO_FIELD(OrderData, field_271, int32_t, 67)

KVO_KEY_HEAD(Transaction)
KVO_FIELD(Transaction, index, int32_t, 29)
KVO_FIELD(Transaction, Bizindex, int32_t, 33)
KVO_FIELD(Transaction, channel, int32_t, 37)
KVO_FIELD(Transaction, price, double, 41)
KVO_FIELD(Transaction, volume, int32_t, 49)
KVO_FIELD(Transaction, buy_index, int32_t, 53)
KVO_FIELD(Transaction, sell_index, int32_t, 57)
KVO_FIELD(Transaction, type, char[2], 61)
KVO_FIELD(Transaction, bsflag, char[2], 63)
KVO_FIELD(Transaction, field_271, int32_t, 65)

KVO_FIELD(FiveLevelTick, market, char[5], 0)
KVO_FIELD(FiveLevelTick, code, char[16], 5)
KVO_FIELD(FiveLevelTick, codename, char[30], 21)
KVO_FIELD(FiveLevelTick, status, char[20], 51)
KVO_FIELD(FiveLevelTick, date, int32_t, 71)
KVO_FIELD(FiveLevelTick, time, int32_t, 75)
KVO_FIELD(FiveLevelTick, field_66, double, 79)
KVO_FIELD(FiveLevelTick, field_72, double, 87)
KVO_FIELD(FiveLevelTick, open_price, double, 95)
KVO_FIELD(FiveLevelTick, high_price, double, 103)
KVO_FIELD(FiveLevelTick, low_price, double, 111)
KVO_FIELD(FiveLevelTick, new_price, double, 119)
KVO_FIELD(FiveLevelTick, pre_price, double, 127)
KVO_FIELD(FiveLevelTick, field_141, double, 135)
KVO_FIELD(FiveLevelTick, field_142, int32_t, 143)
KVO_FIELD(FiveLevelTick, field_73, int32_t, 147)
KVO_FIELD(FiveLevelTick, field_65, int32_t, 151)
KVO_FIELD(FiveLevelTick, bidorder_price, double[5], 155)
KVO_FIELD(FiveLevelTick, bidorder_volume, int32_t[5], 195)
KVO_FIELD(FiveLevelTick, askorder_price, double[5], 215)
KVO_FIELD(FiveLevelTick, askorder_volume, int32_t[5], 255)
KVO_FIELD(FiveLevelTick, volume, int64_t, 275)
KVO_FIELD(FiveLevelTick, turnover, double, 283)

#undef KVO_KEY_HEAD
#undef KVO_TICK_HEAD
#undef KVO_FIELD

static_assert(sizeof(TickIndex) == 133 && sizeof(TickStock) == 809 && sizeof(SuperStock) == 357 &&
                  sizeof(OrderQueue) == 47 && sizeof(OrderData) == 71 && sizeof(Transaction) == 69 &&
                  sizeof(FiveLevelTick) == 291,
              "record sizes");

TEST(RecordLayout, ArraysAndTails) {
    std::vector<TickStock> three(3);
    EXPECT_EQ(three.size() * sizeof(TickStock), 2427u);
    EXPECT_EQ(reinterpret_cast<const char*>(&three[1].market) - reinterpret_cast<const char*>(three.data()), 809);

    // An order queue with three volumes is 59 bytes; the last volume at 55.
    ASSERT_EQ(KvoOrderQueueSize(3), 59u);
    std::vector<unsigned char> q(KvoOrderQueueSize(3), 0);
    OrderQueue* head = reinterpret_cast<OrderQueue*>(q.data());
    KvoOrderQueueSetVolume(head, 0, 11);
    KvoOrderQueueSetVolume(head, 2, 0x01020304);
    EXPECT_EQ(q[55], 0x04);
    EXPECT_EQ(q[58], 0x01);
    EXPECT_EQ(KvoOrderQueueVolume(head, 0), 11);
    EXPECT_EQ(KvoOrderQueueVolume(head, 2), 0x01020304);
    EXPECT_EQ(KvoOrderQueueSize(KVO_ORDERQUEUE_MAX_VOLUMES), 47u + 4u * 4095u);
}

TEST(RecordTexts, ColumnTextStopsAtZeroAndDropsTrailingBlanks) {
    EXPECT_EQ(RecordTextLength("600000\0\0\0\0", 10), 6u);
    EXPECT_EQ(RecordTextLength("ABC \t\r\n  ", 9), 3u);
    EXPECT_EQ(RecordTextLength(" 399001  ", 9), 7u);  // leading space is the SZ market byte
    EXPECT_EQ(RecordTextLength("AB\0CD", 5), 2u);
    EXPECT_EQ(RecordTextLength("      ", 6), 0u);
    EXPECT_EQ(RecordTextLength(nullptr, 6), 0u);
    std::string longText(300, 'x');
    EXPECT_EQ(RecordTextLength(longText.data(), longText.size()), 127u);
}

TEST(RecordTexts, CopyLimits) {
    TickIndex r;
    memset(&r, 0x55, sizeof r);
    const char name[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    CopyRecordText(r.codename, sizeof r.codename, name, 26, 20);
    EXPECT_EQ(memcmp(r.codename, name, 20), 0);  // 20 bytes, no terminating zero
    EXPECT_EQ(static_cast<unsigned char>(r.status[0]), 0x55u);
    CopyRecordText(r.status, sizeof r.status, "SUSPENDED!", 10, 8);
    EXPECT_EQ(std::string(r.status, 20), std::string("SUSPENDE") + std::string(12, '\0'));

    SetRecordCode(r.code, "0123456789ABCDEFGHIJ", 20);
    EXPECT_EQ(std::string(r.code), "0123456789ABCDE");
    EXPECT_EQ(r.code[15], '\0');
    SetRecordCode(r.code, "600000", 6);
    EXPECT_EQ(std::string(r.code, 16), std::string("600000") + std::string(10, '\0'));

    OrderData o;
    CopyRecordText(o.side, sizeof o.side, "COLSE", 5, sizeof o.side);
    EXPECT_EQ(memcmp(o.side, "COLSE\0", 6), 0);
}

TEST(RecordTexts, MarketStrings) {
    struct Case {
        uint32_t id;
        bool known;
        const char* text;
    };
    const Case cases[] = {
        {0x11, true, "USHA"},
        {0x10, true, "USHI"},
        {0x26, true, "USZH"},
        {0x2B, true, "USX"},
        {MarketIdFromText("USZA"), true, "USZA"},
        {MarketIdFromText("UOOA"), false, ""},
        {0x08, false, ""},
        {0x00, false, ""},
        {MarketIdFromText("UJT"), true, "UJT"},
    };
    for (const auto& c : cases) {
        char out[5];
        memset(out, 0x7F, sizeof out);
        EXPECT_EQ(MarketIdToString(c.id, out), c.known) << c.id;
        EXPECT_EQ(out[4], '\0');
        EXPECT_STREQ(out, c.text) << c.id;
    }
}

class RecordTimes : public kvotest::ShanghaiTimeTest {};

TEST_F(RecordTimes, Encoding) {
    EXPECT_EQ(EncodeRecordTime(14, 59, 59, 999), 145959999);
    EXPECT_EQ(EncodeRecordTime(9, 30, 5, 250), 93005250);
    EXPECT_EQ(EncodeRecordDate(2024, 1, 5), 20240105);
    int32_t date = -1, time = -1;
    // 2024-01-05 06:59:59 UTC = 14:59:59 in Shanghai.
    ASSERT_TRUE(LocalRecordDateTime(1704437999, &date, &time));
    EXPECT_EQ(date, 20240105);
    EXPECT_EQ(time, 145959000);
    EXPECT_EQ(GetHour(1704437999), 14);
    EXPECT_EQ(GetMinute(1704437999), 59);
    EXPECT_EQ(GetSecond(1704437999), 59);
    int32_t today = TodayRecordDate();
    EXPECT_GT(today, 20200101);
    EXPECT_LT(today, 21000101);
}

}  // namespace
