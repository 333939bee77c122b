// Helpers shared by the record converters: the texts, market texts, dates
// and times of the output records (include/kvo_records.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "include/kvo_records.h"

// Longest text taken from a column.
constexpr size_t kRecordTextMax = 127;

// Length of the text in a column of `width` bytes: up to the first zero
// byte, without trailing blanks (space and 9-13), at most 127 bytes. Leading
// blanks are kept: a market byte may be a space.
size_t RecordTextLength(const void* column, size_t width);

// Zero-fills a field of `fieldSize` bytes and copies at most `limit` bytes
// of the text into it (limit is cut to the field size). A text as long as
// the limit has no terminating zero inside the limit.
void CopyRecordText(char* field, size_t fieldSize, const void* text, size_t len, size_t limit);

// Writes a record's code: at most 15 bytes, always zero-terminated.
void SetRecordCode(char (&code)[16], const void* text, size_t len);

// The four-character market text of an id ("U", the market letters, the
// security-type letter, zero-filled to 5 bytes). False and an empty text
// when the market table does not know the id.
bool MarketIdToString(uint32_t id, char (&out)[5]);

// date = year*10000 + month*100 + day; time = h*10^7 + m*10^5 + s*1000 + ms.
constexpr int32_t EncodeRecordDate(int year, int month, int day) { return year * 10000 + month * 100 + day; }
constexpr int32_t EncodeRecordTime(int hour, int minute, int second, int ms) {
    return hour * 10000000 + minute * 100000 + second * 1000 + ms;
}

// Local date and time (ms 0) of seconds since 1970; false (and 0, 0) when
// the time cannot be converted.
bool LocalRecordDateTime(int64_t seconds, int32_t* date, int32_t* time);
// Today's local date as YYYYMMDD.
int32_t TodayRecordDate();

// Local hour, minute and second of a time_t.
int GetHour(time_t t);
int GetMinute(time_t t);
int GetSecond(time_t t);
