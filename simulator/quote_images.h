// Quote-file images as the gateway pushes and answers them: a table whose
// columns are found by field number, written in the native ("hq1.0"),
// "hq6.0" (snappy columns) or compact ("hd1.0") form, and the order-queue
// and super-stock images, which carry a record layout of their own in one
// raw column.
//
// Codes are given without their market byte; each image's code keys carry
// the market byte given (17 "USHA", 33 "USZA", 16 "USHI").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator/quote_writer.h"

namespace kvotest {

enum class ImageForm {
    kNative,   // "hq1.0"
    kHq6,      // "hq6.0", snappy-compressed columns
    kCompact,  // "hd1.0"
};

// A quote-file table whose columns are found by field number (without the
// kind bits), with writers by value kind and the image in each family.
class FieldTable {
public:
    // Prices are written with priceDecimals digits after the point.
    FieldTable(const std::vector<qw::Column>& columns, uint32_t records, unsigned priceDecimals = 2);

    void Price(uint32_t record, uint32_t field, double v);     // 64-bit packed, dividing
    void Number(uint32_t record, uint32_t field, uint64_t v);  // 64-bit packed, whole
    void Int(uint32_t record, uint32_t field, int32_t v);
    void Text(uint32_t record, uint32_t field, const std::string& v);
    std::string Image(ImageForm form = ImageForm::kNative) const;

    qw::Table table;

private:
    std::map<uint32_t, size_t> m_index;
    unsigned m_decimals;
};

// Order queues (wire classes 3 and 4): one record per code k with price
// 5 + k (or prices[k] when given), order count 9, and `volumes` volumes
// 100 * (v + 1); code index.
std::string QueueImage(uint32_t marketByte, const std::vector<std::string>& codes, uint64_t datetime, uint32_t volumes,
                       ImageForm form = ImageForm::kNative, const std::vector<double>& prices = {});
// Super-stock books (wire class 10): per code k a header (last price p =
// 30 + k, or prices[k] when given, and the time `seconds` since 1970) and
// two bids (p - 0.02, p - 0.01) and two asks (p + 0.01, p + 0.02); code
// index.
std::string SuperStockImage(uint32_t marketByte, const std::vector<std::string>& codes,
                            ImageForm form = ImageForm::kNative, const std::vector<double>& prices = {},
                            uint32_t seconds = 1704418205u);

}  // namespace kvotest
