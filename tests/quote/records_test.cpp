#include "quote/records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quote/market.h"
#include "quote/records_abi.h"

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
    struct Entry { const char* rec; size_t off; size_t width; };
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
    struct Case { uint32_t id; bool known; const char* text; };
    const Case cases[] = {
        {0x11, true, "USHA"}, {0x10, true, "USHI"}, {0x26, true, "USZH"}, {0x2B, true, "USX"},
        {MarketIdFromText("USZA"), true, "USZA"}, {MarketIdFromText("UOOA"), false, ""},
        {0x08, false, ""}, {0x00, false, ""}, {MarketIdFromText("UJT"), true, "UJT"},
    };
    for (const auto& c : cases) {
        char out[5];
        memset(out, 0x7F, sizeof out);
        EXPECT_EQ(MarketIdToString(c.id, out), c.known) << c.id;
        EXPECT_EQ(out[4], '\0');
        EXPECT_STREQ(out, c.text) << c.id;
    }
}

class RecordTimes : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        m_had = tz != nullptr;
        if (m_had) m_tz = tz;
        setenv("TZ", "Asia/Shanghai", 1);
        tzset();
    }
    void TearDown() override {
        if (m_had) setenv("TZ", m_tz.c_str(), 1); else unsetenv("TZ");
        tzset();
    }
    bool m_had = false;
    std::string m_tz;
};

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
