// Quote-file images of every pushed data type, with values that follow
// simple rules, so that a test can tell which record of which image reached
// the host and with what content. Built with the simulator's field tables
// (simulator/quote_images.h: native "hq1.0", "hq6.0" with snappy columns,
// compact "hd1.0") in the field layouts the record converters read; the
// order-queue and super-stock images are the simulator's own.
//
// Codes are given without their market byte; each image's code texts and
// code keys carry the market byte given (17 "USHA", 33 "USZA", 16 "USHI").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator/quote_images.h"
#include "simulator/quote_writer.h"

namespace kvotest {

// The records of one code: indexes first, first+1, ... (count of them).
struct CodeRun {
    std::string code;
    int32_t first = 0;
    uint32_t count = 0;
};

// Field values of the record with index i (transactions, cancellations and
// orders).
int32_t PushVolumeOf(int32_t index);
double PushPriceOf(int32_t index);     // two decimals
int32_t PushField77Of(int32_t index);  // orders: falls as the index grows

// Transactions (wire classes 5, 11, 13): fields 56 (datetime, 64-bit
// packed), 1 index, 76 (index + 1000), 73 channel 7, 10 price, 13 volume,
// 74 buy index (2i), 75 sell index (2i + 1), 272 kind 0, 12 side 1, 271 0.
std::string TransactionImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime,
                             ImageForm form = ImageForm::kNative);
// Cancellations (wire classes 6 buy and 7 sell): fields 82 datetime, 1
// index, 76, 73, 20 price, 13 volume, 37 order index (3i), 271.
std::string CancelImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime,
                        ImageForm form = ImageForm::kNative);
// Orders (wire classes 8, 12): fields 56, 1, 76, 77 (PushField77Of), 73,
// 13, 271, 10, 272 kind 2, 89 "1", 12 side 1.
std::string OrderImage(uint32_t marketByte, const std::vector<CodeRun>& runs, uint64_t datetime,
                       ImageForm form = ImageForm::kNative);

// Ticks, one record per code k (0, 1, ...): code text, name "NAME<k>", time
// of day (field 56, 0 for none), last price 10 + k (stock, field 10; index
// 3000 + k, field 278) and volume 1000 * (k + 1) (field 13). No code index.
std::string StockTickImage(uint32_t marketByte, const std::vector<std::string>& codes, int32_t time,
                           ImageForm form = ImageForm::kNative);
std::string IndexTickImage(uint32_t marketByte, const std::vector<std::string>& codes, int32_t time,
                           ImageForm form = ImageForm::kNative);
// Five-level ticks (wire class 9): code, name, last price 20 + k, volume
// 500 * (k + 1). No code index.
std::string FiveLevelImage(uint32_t marketByte, const std::vector<std::string>& codes,
                           ImageForm form = ImageForm::kNative);
// Tables of benchmark size. Stock ticks with every column the stock
// converter reads (ten-level books), record r of code 600000 + r; orders and
// transactions with every column of both, in codes 600000, 600001, ... of
// perCode records.
qw::Table FullStockTable(uint32_t records);
qw::Table FullTradeTable(uint32_t records, uint32_t perCode, bool transactions);
// Adds the code index of codes 600000, 600001, ... (market byte 17) of
// perCode records each over the table's records.
void AddCodeRuns(qw::Table& t, uint32_t perCode);

}  // namespace kvotest
