#include "tests/support/push_images.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "simulator/quote_writer.h"
#include "tests/support/record_builder.h"

namespace kvotest {
namespace {

constexpr uint32_t P64 = 0x0000;
constexpr uint32_t TXT = 0x2000;
constexpr uint32_t I32 = 0x3000;
constexpr uint32_t P32 = 0x7000;

qw::Column Col(uint32_t field, uint32_t kind, uint16_t width) { return {field | kind, 0, width}; }

std::string CodeText(uint32_t marketByte, const std::string& code) { return std::string(1, char(marketByte)) + code; }

uint32_t TotalRecords(const std::vector<CodeRun>& runs) {
    uint32_t n = 0;
    for (const CodeRun& r : runs) n += r.count;
    return n;
}

// Fills the records of every run, code by code, with fill(row, index).
template <class Fill>
void FillRuns(FieldTable& b, uint32_t marketByte, const std::vector<CodeRun>& runs, Fill fill) {
    uint32_t row = 0;
    for (const CodeRun& run : runs) {
        b.table.codes.push_back({CodeText(marketByte, run.code), row, run.count});
        for (uint32_t i = 0; i < run.count; ++i, ++row) fill(row, run.first + static_cast<int32_t>(i));
    }
}

}  // namespace

int32_t PushVolumeOf(int32_t index) { return 100 * (index % 9 + 1); }
double PushPriceOf(int32_t index) { return 10.0 + (index % 100) * 0.01; }
int32_t PushField77Of(int32_t index) { return 100000 - index; }

std::string TransactionImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime, ImageForm form) {
    FieldTable b({Col(56, P64, 8), Col(1, I32, 4), Col(76, I32, 4), Col(73, I32, 4), Col(10, P64, 8), Col(13, I32, 4),
                  Col(74, I32, 4), Col(75, I32, 4), Col(272, I32, 4), Col(12, I32, 4), Col(271, I32, 4)},
                 TotalRecords(runs));
    FillRuns(b, marketByte, runs, [&](uint32_t r, int32_t i) {
        b.Number(r, 56, datetime);
        b.Int(r, 1, i);
        b.Int(r, 76, i + 1000);
        b.Int(r, 73, 7);
        b.Price(r, 10, PushPriceOf(i));
        b.Int(r, 13, PushVolumeOf(i));
        b.Int(r, 74, 2 * i);
        b.Int(r, 75, 2 * i + 1);
        b.Int(r, 272, 0);
        b.Int(r, 12, 1);
        b.Int(r, 271, 0);
    });
    return b.Image(form);
}

std::string CancelImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime, ImageForm form) {
    FieldTable b({Col(82, P64, 8), Col(1, I32, 4), Col(76, I32, 4), Col(73, I32, 4), Col(20, P64, 8), Col(13, I32, 4),
                  Col(37, I32, 4), Col(271, I32, 4)},
                 TotalRecords(runs));
    FillRuns(b, marketByte, runs, [&](uint32_t r, int32_t i) {
        b.Number(r, 82, datetime);
        b.Int(r, 1, i);
        b.Int(r, 76, i + 1000);
        b.Int(r, 73, 7);
        b.Price(r, 20, PushPriceOf(i));
        b.Int(r, 13, PushVolumeOf(i));
        b.Int(r, 37, 3 * i);
        b.Int(r, 271, 0);
    });
    return b.Image(form);
}

std::string OrderImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime, ImageForm form) {
    FieldTable b({Col(56, P64, 8), Col(1, I32, 4), Col(76, I32, 4), Col(77, I32, 4), Col(73, I32, 4), Col(13, I32, 4),
                  Col(271, I32, 4), Col(10, P64, 8), Col(272, I32, 4), Col(89, TXT, 4), Col(12, I32, 4)},
                 TotalRecords(runs));
    FillRuns(b, marketByte, runs, [&](uint32_t r, int32_t i) {
        b.Number(r, 56, datetime);
        b.Int(r, 1, i);
        b.Int(r, 76, i + 1000);
        b.Int(r, 77, PushField77Of(i));
        b.Int(r, 73, 7);
        b.Int(r, 13, PushVolumeOf(i));
        b.Int(r, 271, 0);
        b.Price(r, 10, PushPriceOf(i));
        b.Int(r, 272, 2);
        b.Text(r, 89, "1");
        b.Int(r, 12, 1);
    });
    return b.Image(form);
}

namespace {

std::string TickImage(uint32_t marketByte, const std::vector<std::string>& codes, int32_t time, ImageForm form,
                      uint32_t priceField, double base) {
    FieldTable b({Col(5, TXT, 16), Col(55, TXT, 20), Col(56, I32, 4), Col(priceField, P64, 8), Col(13, P64, 8)},
                 static_cast<uint32_t>(codes.size()));
    for (uint32_t k = 0; k < codes.size(); ++k) {
        b.Text(k, 5, CodeText(marketByte, codes[k]));
        b.Text(k, 55, "NAME" + std::to_string(k));
        b.Int(k, 56, time);
        b.Price(k, priceField, base + k);
        b.Number(k, 13, 1000u * (k + 1));
    }
    return b.Image(form);
}

}  // namespace

std::string StockTickImage(uint32_t marketByte, const std::vector<std::string>& codes, int32_t time, ImageForm form) {
    return TickImage(marketByte, codes, time, form, 10, 10.0);
}

std::string IndexTickImage(uint32_t marketByte, const std::vector<std::string>& codes, int32_t time, ImageForm form) {
    return TickImage(marketByte, codes, time, form, 278, 3000.0);
}

std::string FiveLevelImage(uint32_t marketByte, const std::vector<std::string>& codes, ImageForm form) {
    FieldTable b({Col(5, TXT, 16), Col(55, TXT, 20), Col(10, P64, 8), Col(13, P64, 8)},
                 static_cast<uint32_t>(codes.size()));
    for (uint32_t k = 0; k < codes.size(); ++k) {
        b.Text(k, 5, CodeText(marketByte, codes[k]));
        b.Text(k, 55, "FIVE" + std::to_string(k));
        b.Price(k, 10, 20.0 + k);
        b.Number(k, 13, 500u * (k + 1));
    }
    return b.Image(form);
}

void AddCodeRuns(qw::Table& t, uint32_t perCode) {
    for (uint32_t first = 0, n = 0; first < t.records; first += perCode, ++n) {
        char code[16];
        snprintf(code, sizeof code, "\x11%06u", 600000 + n);
        t.codes.push_back({code, first, std::min(perCode, t.records - first)});
    }
}

qw::Table FullStockTable(uint32_t records) {
    std::vector<qw::Column> cols = {
        {TXT | 5, 0, 16}, {TXT | 55, 0, 20}, {TXT | 127, 0, 8}, {I32 | 56, 0, 4}, {TXT | 86, 0, 12}};
    const uint32_t p64[] = {6, 7, 8, 9, 10, 19, 122, 124, 69, 70, 91, 80, 266, 270, 76, 77, 141};
    for (uint32_t id : p64) cols.push_back({P64 | id, 0, 8});
    const uint32_t bookP[] = {24, 26, 28, 150, 154, 102, 106, 110, 114, 118,
                              30, 32, 34, 152, 156, 104, 108, 112, 116, 120};
    const uint32_t bookV[] = {25, 27, 29, 151, 155, 103, 107, 111, 115, 119,
                              31, 33, 35, 153, 157, 105, 109, 113, 117, 121};
    for (uint32_t id : bookP) cols.push_back({P32 | id, 0, 4});
    for (uint32_t id : bookV) cols.push_back({P64 | id, 0, 8});
    for (uint32_t id = 131; id <= 140; ++id) cols.push_back({P32 | id, 0, 4});
    for (uint32_t id = 181; id <= 190; ++id) cols.push_back({P32 | id, 0, 4});
    const uint32_t i64[] = {13, 18, 123, 125, 265, 269, 15, 14, 74};
    for (uint32_t id : i64) cols.push_back({P64 | id, 0, 8});
    const uint32_t i32[] = {264, 268, 195, 196, 197, 198, 75, 271};
    for (uint32_t id : i32) cols.push_back({I32 | id, 0, 4});
    qw::Table t = qw::MakeTable(cols, records);
    for (uint32_t r = 0; r < t.records; ++r) {
        for (size_t c = 0; c < cols.size(); ++c) {
            uint32_t kind = cols[c].id & 0x7000;
            if (kind == TXT) continue;
            if (kind == P64)
                qw::SetU64(t, r, c, rb::Packed64(1000 + r * 7 + c, 2, true));
            else if (kind == P32)
                qw::SetU32(t, r, c, rb::Packed32(1000 + r * 3 + c, 2, true));
            else
                qw::SetU32(t, r, c, r + uint32_t(c));
        }
        char code[16];
        snprintf(code, sizeof code, "\x11%06u", 600000 + r);
        qw::SetText(t, r, 0, code);
        qw::SetText(t, r, 1, "STOCK NAME");
        qw::SetText(t, r, 2, "TRADE");
    }
    return t;
}

qw::Table FullTradeTable(uint32_t records, uint32_t perCode, bool transactions) {
    std::vector<qw::Column> cols = {{P64 | 56, 0, 8},  {I32 | 1, 0, 4},  {I32 | 76, 0, 4}, {I32 | 77, 0, 4},
                                    {I32 | 73, 0, 4},  {P32 | 10, 0, 4}, {P64 | 13, 0, 8}, {I32 | 271, 0, 4},
                                    {I32 | 272, 0, 4}, {I32 | 12, 0, 4}, {TXT | 89, 0, 1}, {I32 | 74, 0, 4},
                                    {I32 | 75, 0, 4}};
    qw::Table t = qw::MakeTable(cols, records);
    for (uint32_t r = 0; r < t.records; ++r) {
        qw::SetU64(t, r, 0, rb::Packed64(20240105093000000ull + r, 0, false));
        for (size_t c : {1, 2, 3, 4, 7, 11, 12}) qw::SetU32(t, r, c, r * 3 + uint32_t(c));
        qw::SetU32(t, r, 5, rb::Packed32(1000 + r % 100, 2, true));
        qw::SetU64(t, r, 6, rb::Packed64(100 * (1 + r % 9), 0, false));
        qw::SetU32(t, r, 8, transactions ? (r % 5) : 2 + r % 4);
        qw::SetU32(t, r, 9, 1 + r % 2);
        qw::SetText(t, r, 10, "1");
    }
    AddCodeRuns(t, perCode);
    return t;
}

}  // namespace kvotest
