// Market identifiers and the market table.
//
// A market identifier is a u32 in one of two forms, told apart by bits 8-23:
//  - byte form: bits 8-23 zero; bits 3-7 the market byte (whose low three
//    bits are zero) and bits 0-2 a security-type index 0-7;
//  - four-character form: a text such as "USHA" read as a little-endian u32:
//    byte 0 'U', bytes 1-2 the market letters, byte 3 the security-type
//    letter (0 when absent).
// The market table lists the 29 markets that quote data may name. It is
// built on first use (a function-local static), so other static
// initialisers may use it, and it is read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// One row of the market table.
struct MarketInfo {
    uint32_t market_byte;  // 0 for markets without a byte form (JT, JO)
    uint32_t code;         // stored code: byte 0 zero, bytes 1-2 the letters, byte 3 zero
    const char* name;      // the two letters
    uint32_t types[8];     // security-type letter in the top byte, 0 for an unused position
    uint32_t category;     // data category; carried, not read
    uint32_t flags;        // carried, not read
};

constexpr size_t kMarketTableRows = 29;

// Index over the table: by market byte (rows with a non-zero byte) and by
// stored code (all rows).
class MarketTable {
public:
    static const MarketTable& Instance();

    // Row whose market byte equals marketByte & 0xF8; null when none.
    const MarketInfo* FindByByte(uint32_t marketByte) const;
    // Row whose stored code equals the market part (bits 8-23) of code.
    const MarketInfo* FindByCode(uint32_t code) const;

    const MarketInfo* Row(size_t i) const { return i < kMarketTableRows ? &Rows()[i] : nullptr; }
    static const MarketInfo* Rows();

private:
    MarketTable();
    const MarketInfo* m_byByte[32];      // market byte >> 3
    uint32_t m_codes[kMarketTableRows];  // stored codes in table order
};

// Market part: bits 8-23 when non-zero, else id & 0xF8.
uint32_t MarketIdGetMarket(uint32_t id);
// Security-type part: id & 0xFF000000 when id > 0xFFFFFF, else id & 7.
uint32_t MarketIdGetSubType(uint32_t id);
// A text beginning with 'U' gives its first four bytes as a little-endian
// u32 (bytes after the terminating zero read as 0); any other text gives the
// value of its first byte. A null text gives 0.
uint32_t MarketIdFromText(const char* text);
// Four-character form: the id itself, or only bits 8-23 with flag bit 0.
// Byte form: the row's stored code with the letter of position (id & 7) in
// the top byte (not with flag bit 0); 0 when no row has the market byte.
uint32_t MarketIdToCode(uint32_t id, uint32_t flags);
// Byte form of an id of either form: 0 when no row matches; with flag bit 0
// the row's market byte; otherwise the market byte or'ed with the position of
// the id's security type in the row, 0 when the row has no such position.
uint32_t MarketIdToByte(uint32_t id, uint32_t flags);
// Four-character form: "U" and bytes 1-3 of the id, zero-terminated (the
// buffer needs 5 bytes); byte form: the low byte in decimal. Returns a
// pointer to the terminating zero.
char* MarketIdToText(uint32_t id, char* buf);

// Local calendar parts of a time_t.
int GetDayOfMonth(time_t t);
int GetMonth(time_t t);
int GetYear(time_t t);
