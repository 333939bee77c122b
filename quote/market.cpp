#include "quote/market.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t StoredCode(char a, char b) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(a)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16);
}

constexpr uint32_t TypeLetter(char c) { return c == '-' ? 0u : static_cast<uint32_t>(static_cast<uint8_t>(c)) << 24; }

struct RowSpec {
    uint32_t market_byte;
    char letters[3];
    char types[9];
    uint32_t category;
};

// The table in its fixed order.
constexpr RowSpec kRowSpecs[kMarketTableRows] = {
    {0x10, "SH", "IABDJPTC", 0},       {0x20, "SZ", "IABDJPHC", 0},       {0x28, "SX", "IAB-----", 0x120000},
    {0x30, "RF", "IA------", 0},       {0x40, "CF", "ISDZTLX-", 0x10000}, {0x50, "SG", "IG------", 0},
    {0x60, "FX", "IBCRON--", 0},       {0x70, "HF", "IFSRZ---", 0},       {0x80, "IF", "IFB-----", 0},
    {0x90, "ST", "IAB---T-", 0},       {0xA0, "EU", "IAB-----", 0},       {0xB0, "HK", "IMGWTDB-", 0},
    {0xC0, "OT", "IS------", 0},       {0xD0, "UD", "I-------", 0},       {0x18, "TI", "I-------", 0},
    {0x38, "ZO", "IO------", 0},       {0x48, "SK", "IMG-----", 0},       {0x58, "FI", "IAHKS---", 0},
    {0x68, "SW", "I-SXFL--", 0},       {0x78, "ZZ", "I-------", 0},       {0x88, "IB", "IS------", 0},
    {0x98, "ZK", "IMGWTDB-", 0},       {0xA8, "NY", "INACPYMF", 0x60000}, {0xB8, "NQ", "IQSBPE--", 0x60000},
    {0xC8, "US", "IDA-----", 0x60000}, {0xD8, "CM", "INCS----", 0},       {0xE8, "SO", "IO------", 0},
    {0x00, "JT", "--------", 0},       {0x00, "JO", "--------", 0},
};

struct MarketRows {
    MarketInfo rows[kMarketTableRows];
    MarketRows() {
        for (size_t i = 0; i < kMarketTableRows; ++i) {
            const RowSpec& s = kRowSpecs[i];
            MarketInfo& r = rows[i];
            r.market_byte = s.market_byte;
            r.code = StoredCode(s.letters[0], s.letters[1]);
            r.name = s.letters;
            for (int k = 0; k < 8; ++k) r.types[k] = TypeLetter(s.types[k]);
            r.category = s.category;
            r.flags = 0;
        }
    }
};

bool IsFourCharForm(uint32_t id) { return (id & 0x00FFFF00u) != 0; }

const MarketInfo* FindRow(uint32_t id) {
    const MarketTable& t = MarketTable::Instance();
    return IsFourCharForm(id) ? t.FindByCode(id) : t.FindByByte(id);
}

bool LocalParts(time_t t, struct tm* out) { return localtime_r(&t, out) != nullptr; }

}  // namespace

const MarketInfo* MarketTable::Rows() {
    static const MarketRows rows;
    return rows.rows;
}

MarketTable::MarketTable() {
    const MarketInfo* rows = Rows();
    for (auto& p : m_byByte) p = nullptr;
    for (size_t i = 0; i < kMarketTableRows; ++i) {
        m_codes[i] = rows[i].code;
        if (rows[i].market_byte != 0) m_byByte[(rows[i].market_byte & 0xF8u) >> 3] = &rows[i];
    }
}

const MarketTable& MarketTable::Instance() {
    static const MarketTable table;
    return table;
}

const MarketInfo* MarketTable::FindByByte(uint32_t marketByte) const {
    uint32_t b = marketByte & 0xF8u;
    if (b == 0) return nullptr;
    return m_byByte[b >> 3];
}

const MarketInfo* MarketTable::FindByCode(uint32_t code) const {
    uint32_t part = code & 0x00FFFF00u;
    if (part == 0) return nullptr;
    for (size_t i = 0; i < kMarketTableRows; ++i)
        if (m_codes[i] == part) return &Rows()[i];
    return nullptr;
}

uint32_t MarketIdGetMarket(uint32_t id) {
    uint32_t m = id & 0x00FFFF00u;
    return m != 0 ? m : (id & 0xF8u);
}

uint32_t MarketIdGetSubType(uint32_t id) { return id > 0xFFFFFFu ? (id & 0xFF000000u) : (id & 7u); }

uint32_t MarketIdFromText(const char* text) {
    if (text == nullptr) return 0;
    if (text[0] != 'U') return static_cast<uint8_t>(text[0]);
    // Stop at the terminating zero: a short text such as "US" is not read
    // past its end, the missing bytes count as 0.
    uint32_t id = 0;
    for (int i = 0; i < 4 && text[i] != '\0'; ++i)
        id |= static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * i);
    return id;
}

uint32_t MarketIdToCode(uint32_t id, uint32_t flags) {
    if (IsFourCharForm(id)) return (flags & 1u) ? (id & 0x00FFFF00u) : id;
    const MarketInfo* row = MarketTable::Instance().FindByByte(id);
    if (row == nullptr) return 0;
    return (flags & 1u) ? row->code : (row->code | row->types[id & 7u]);
}

uint32_t MarketIdToByte(uint32_t id, uint32_t flags) {
    const MarketInfo* row = FindRow(id);
    if (row == nullptr) return 0;
    if (flags & 1u) return row->market_byte;
    if (!IsFourCharForm(id)) {
        // A byte-form id already names its position; it is valid when the
        // row uses that position.
        uint32_t pos = id & 7u;
        return row->types[pos] != 0 ? (row->market_byte | pos) : 0;
    }
    uint32_t sub = MarketIdGetSubType(id);
    for (uint32_t i = 0; i < 8; ++i)
        if (row->types[i] == sub) return row->market_byte | i;
    return 0;
}

char* MarketIdToText(uint32_t id, char* buf) {
    if (IsFourCharForm(id)) {
        buf[0] = 'U';
        buf[1] = static_cast<char>((id >> 8) & 0xFF);
        buf[2] = static_cast<char>((id >> 16) & 0xFF);
        buf[3] = static_cast<char>((id >> 24) & 0xFF);
        buf[4] = '\0';
        size_t n = 1;  // the text ends at its first zero byte, as strlen finds it
        while (n < 4 && buf[n] != '\0') ++n;
        return buf + n;
    }
    int n = snprintf(buf, 5, "%d", static_cast<int>(id & 0xFF));
    return buf + n;
}

int GetDayOfMonth(time_t t) {
    struct tm tm {};
    return LocalParts(t, &tm) ? tm.tm_mday : 0;
}

int GetMonth(time_t t) {
    struct tm tm {};
    return LocalParts(t, &tm) ? tm.tm_mon + 1 : 0;
}

int GetYear(time_t t) {
    struct tm tm {};
    return LocalParts(t, &tm) ? tm.tm_year + 1900 : 0;
}
