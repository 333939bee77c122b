#include "quote/records.h"

#include <cstring>

#include "quote/market.h"

namespace {

bool IsBlank(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }

bool Local(time_t t, struct tm* tm) { return localtime_r(&t, tm) != nullptr; }

}  // namespace

size_t RecordTextLength(const void* column, size_t width) {
    if (column == nullptr) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(column);
    const void* nul = memchr(p, 0, width);
    size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : width;
    while (len > 0 && IsBlank(p[len - 1])) --len;
    return len < kRecordTextMax ? len : kRecordTextMax;
}

void CopyRecordText(char* field, size_t fieldSize, const void* text, size_t len, size_t limit) {
    memset(field, 0, fieldSize);
    if (limit > fieldSize) limit = fieldSize;
    if (len > limit) len = limit;
    if (len > 0 && text != nullptr) memcpy(field, text, len);
}

void SetRecordCode(char (&code)[16], const void* text, size_t len) {
    CopyRecordText(code, sizeof code, text, len, sizeof code - 1);
}

bool MarketIdToString(uint32_t id, char (&out)[5]) {
    memset(out, 0, sizeof out);
    uint32_t code;
    if ((id & 0x00FFFF00u) != 0) {
        if (MarketTable::Instance().FindByCode(id) == nullptr) return false;
        code = id;
    } else {
        code = MarketIdToCode(id, 0);
        if (code == 0) return false;
    }
    MarketIdToText(code, out);  // code has its market letters: the four-character text
    return true;
}

bool LocalRecordDateTime(int64_t seconds, int32_t* date, int32_t* time) {
    struct tm tm {};
    if (!Local(static_cast<time_t>(seconds), &tm)) {
        *date = 0;
        *time = 0;
        return false;
    }
    *date = EncodeRecordDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    *time = EncodeRecordTime(tm.tm_hour, tm.tm_min, tm.tm_sec, 0);
    return true;
}

int32_t TodayRecordDate() {
    struct tm tm {};
    if (!Local(::time(nullptr), &tm)) return 0;
    return EncodeRecordDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

int GetHour(time_t t) {
    struct tm tm {};
    return Local(t, &tm) ? tm.tm_hour : 0;
}

int GetMinute(time_t t) {
    struct tm tm {};
    return Local(t, &tm) ? tm.tm_min : 0;
}

int GetSecond(time_t t) {
    struct tm tm {};
    return Local(t, &tm) ? tm.tm_sec : 0;
}
