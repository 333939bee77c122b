#include "simulator/quote_images.h"

#include <cmath>
#include <cstring>

namespace kvotest {
namespace {

constexpr uint32_t RAW = 0x6000;  // stored byte for byte

qw::Column Col(uint32_t field, uint32_t kind, uint16_t width) { return {field | kind, 0, width}; }

std::string CodeText(uint32_t marketByte, const std::string& code) { return std::string(1, char(marketByte)) + code; }

void Put(qw::Table& t, uint32_t r, size_t offset, const void* p, size_t n) {
    std::memcpy(t.Field(r, 0) + offset, p, n);
}

}  // namespace

FieldTable::FieldTable(const std::vector<qw::Column>& columns, uint32_t records, unsigned priceDecimals)
    : table(qw::MakeTable(columns, records)), m_decimals(priceDecimals) {
    for (size_t i = 0; i < columns.size(); ++i) m_index[columns[i].id & 0xFFF] = i;
}

void FieldTable::Price(uint32_t r, uint32_t field, double v) {
    qw::SetU64(table, r, m_index.at(field), qw::Price64(v, m_decimals));
}

void FieldTable::Number(uint32_t r, uint32_t field, uint64_t v) {
    qw::SetU64(table, r, m_index.at(field), qw::Packed64(v, 0, false));
}

void FieldTable::Int(uint32_t r, uint32_t field, int32_t v) {
    qw::SetU32(table, r, m_index.at(field), static_cast<uint32_t>(v));
}

void FieldTable::Text(uint32_t r, uint32_t field, const std::string& v) { qw::SetText(table, r, m_index.at(field), v); }

std::string FieldTable::Image(ImageForm form) const {
    qw::Bytes b;
    switch (form) {
    case ImageForm::kNative:
        b = qw::NativeImage(table);
        break;
    case ImageForm::kHq6:
        b = qw::Hq6Image(table, 0x10);
        break;
    case ImageForm::kCompact:
        b = qw::CompactImage(table);
        break;
    }
    return std::string(b.begin(), b.end());
}

std::string QueueImage(uint32_t marketByte, const std::vector<std::string>& codes, uint64_t datetime, uint32_t volumes,
                       ImageForm form, const std::vector<double>& prices) {
    FieldTable b({Col(900, RAW, static_cast<uint16_t>(28 + 4 * volumes))}, static_cast<uint32_t>(codes.size()));
    for (uint32_t k = 0; k < codes.size(); ++k) {
        b.table.codes.push_back({CodeText(marketByte, codes[k]), k, 1});
        const uint64_t dt = qw::Packed64(datetime, 0, false);
        const uint32_t price = qw::Price32(k < prices.size() ? prices[k] : 5.0 + k, 2);
        const uint16_t n = static_cast<uint16_t>(volumes);
        const uint32_t orders = 9;
        Put(b.table, k, 0, &dt, 8);
        Put(b.table, k, 8, &price, 4);
        Put(b.table, k, 18, &n, 2);
        Put(b.table, k, 20, &orders, 4);
        for (uint32_t v = 0; v < volumes; ++v) {
            const uint32_t volume = 100 * (v + 1);
            Put(b.table, k, 28 + 4 * v, &volume, 4);
        }
    }
    return b.Image(form);
}

std::string SuperStockImage(uint32_t marketByte, const std::vector<std::string>& codes, ImageForm form,
                            const std::vector<double>& prices, uint32_t seconds) {
    constexpr uint32_t kPerCode = 5;  // header, two bids, two asks
    FieldTable b({Col(950, RAW, 20)}, static_cast<uint32_t>(codes.size()) * kPerCode);
    for (uint32_t k = 0; k < codes.size(); ++k) {
        const uint32_t row = k * kPerCode;
        b.table.codes.push_back({CodeText(marketByte, codes[k]), row, kPerCode});
        const double p = k < prices.size() ? prices[k] : 30.0 + k;
        const uint32_t last = static_cast<uint32_t>(std::lround(p * 1000));
        const uint32_t head[5] = {0xFFFFFFFFu, (last << 8) | 1u, 2, 2, seconds};
        Put(b.table, row, 0, head, sizeof head);
        const double book[4] = {p - 0.02, p - 0.01, p + 0.01, p + 0.02};
        for (uint32_t e = 0; e < 4; ++e) {
            const uint32_t entry[3] = {qw::Price32(book[e], 2), qw::Packed32(100 * (e + 1), 0, false), e < 2 ? 1u : 2u};
            Put(b.table, row + 1 + e, 0, entry, sizeof entry);
        }
    }
    return b.Image(form);
}

}  // namespace kvotest
