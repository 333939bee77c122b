// Writer of quote-file images for the gateway simulator and the tests:
// native ("hq1."), compact ("hd1.", "hd3.0", "hd3.1", "hd5.0", "hd5.1") and
// variable-length ("hq6.", raw or snappy) images, the block encoders behind
// them and the format's packed numbers. Written from the format's
// description; the library itself only reads these formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qw {

using Bytes = std::vector<uint8_t>;

struct Column {
    uint32_t id = 0;
    uint16_t attr = 0;
    uint16_t width = 0;
};

// One security code of a code index: its records are [first, first+count).
struct Code {
    std::string code;
    uint32_t first = 0;
    uint32_t count = 0;
};

struct Table {
    std::vector<Column> columns;
    uint32_t recordSize = 0;  // at least the sum of the widths
    uint32_t records = 0;
    uint32_t flags = 0;  // native flags / compact flag byte
    Bytes data;          // records * recordSize
    std::vector<Code> codes;

    uint32_t Offset(size_t column) const;
    uint8_t* Field(uint32_t record, size_t column) {
        return data.data() + uint64_t(record) * recordSize + Offset(column);
    }
};

// Packed numbers of the format. 32-bit: magnitude (27 bits), sign, power
// of ten 0-7, divide flag. 64-bit: magnitude (58 bits), sign, power 0-15,
// divide flag.
uint32_t Packed32(uint32_t magnitude, unsigned power, bool divide, bool negative = false);
uint64_t Packed64(uint64_t magnitude, unsigned power, bool divide, bool negative = false);
// A price with `decimals` digits after the point as a dividing packed number
// (12.34 with 2 decimals: magnitude 1234, power 2).
uint32_t Price32(double value, unsigned decimals);
uint64_t Price64(double value, unsigned decimals);

// A table with these columns and `records` zero-filled records.
Table MakeTable(const std::vector<Column>& columns, uint32_t records, uint32_t extraBytes = 0);
void SetU32(Table& t, uint32_t record, size_t column, uint32_t v);
void SetU64(Table& t, uint32_t record, size_t column, uint64_t v);
void SetText(Table& t, uint32_t record, size_t column, const std::string& s);  // zero-padded
void SetAbsent(Table& t, uint32_t record, size_t column);                      // all 0xFF

// Primitives.
void PutU16(Bytes& b, uint16_t v);
void PutU32(Bytes& b, uint32_t v);
void PutUVar(Bytes& b, uint64_t v);  // most significant group first, bit 7 on the last byte
void PutSVar(Bytes& b, int64_t v);
uint16_t Crc16(const uint8_t* p, size_t n);  // CRC-16/XMODEM, bit by bit
Bytes Pack7(const uint8_t* p, size_t n);     // 7-bit groups, low bits first, 0x80 on the last

// Block encoders (the record bytes of `t`).
Bytes EncodeTranspose(const Table& t);
Bytes EncodeRle(const Bytes& raw);  // u32 big-endian length, then tokens
Bytes EncodeKind2(const Table& t);
Bytes EncodeDelta(const Table& t, bool packedTails);  // kinds 5 (true) and 6
Bytes EncodeSnappyColumns(const Table& t);            // kind 0x10
// Kind 0x10 in its parts: the content (presence bitmap, then the values)
// before compression, snappy's compression of any bytes, and a block of a
// content whose bitmap takes bitmapBytes.
Bytes SnappyColumnsContent(const Table& t);
Bytes SnappyCompress(const Bytes& raw);
Bytes SnappyBlock(uint64_t bitmapBytes, const Bytes& content);

// Images.
Bytes NativeImage(const Table& t);
// A native image whose code index is block-chained (kind 1): the records of
// each code lie in blocks of at most `perBlock` records, each block behind a
// 16-byte head (unused, first record number within the code, record count,
// next block) that takes whole record slots; the blocks of the codes are
// laid out in turns, so chains jump. The record size must be at least 4.
Bytes ChainedNativeImage(const Table& t, uint32_t perBlock);

struct CompactOptions {
    std::string version = "hd1.0";  // chooses the block kind
    bool highIds = false;           // flag bit 0: column ids carry a high half
    uint16_t marker = 0xFFFF;       // index marker
    bool index = true;              // write the code index when there are codes
};
Bytes CompactImage(const Table& t, const CompactOptions& o = {});

// "hq6." image; compression 0 (raw) or 0x10 (snappy columns). The record size
// is the sum of the widths.
struct Hq6Options {
    std::string version = "hq6.0";
    int64_t nativeSizeAdjust = 0;  // added to the stated native size
    int64_t headerSize = -1;       // the native header size stated (default 32 + 8c)
    bool codedColumns = false;     // state column count 0 and a coded block
    int64_t statedRecords = -1;    // record count stated (and sized for) instead of the table's
};
Bytes Hq6Image(const Table& t, uint32_t compression, const Hq6Options& o = {});

}  // namespace qw
