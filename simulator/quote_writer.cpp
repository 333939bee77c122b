#include "simulator/quote_writer.h"

#include <snappy-c.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace qw {

uint32_t Packed32(uint32_t magnitude, unsigned power, bool divide, bool negative) {
    return (magnitude & 0x07FFFFFFu) | (negative ? 0x08000000u : 0u) | ((power & 7u) << 28) |
           (divide ? 0x80000000u : 0u);
}

uint64_t Packed64(uint64_t magnitude, unsigned power, bool divide, bool negative) {
    return (magnitude & ((1ull << 58) - 1)) | (negative ? (1ull << 58) : 0ull) | (uint64_t(power & 15u) << 59) |
           (divide ? (1ull << 63) : 0ull);
}

uint32_t Price32(double value, unsigned decimals) {
    double scaled = std::fabs(value) * std::pow(10.0, decimals);
    return Packed32(uint32_t(std::llround(scaled)), decimals, decimals > 0, value < 0);
}

uint64_t Price64(double value, unsigned decimals) {
    double scaled = std::fabs(value) * std::pow(10.0, decimals);
    return Packed64(uint64_t(std::llround(scaled)), decimals, decimals > 0, value < 0);
}

uint32_t Table::Offset(size_t column) const {
    uint32_t off = 0;
    for (size_t i = 0; i < column; ++i) off += columns[i].width;
    return off;
}

Table MakeTable(const std::vector<Column>& columns, uint32_t records, uint32_t extraBytes) {
    Table t;
    t.columns = columns;
    for (const Column& c : columns) t.recordSize += c.width;
    t.recordSize += extraBytes;
    t.records = records;
    t.data.assign(uint64_t(records) * t.recordSize, 0);
    return t;
}

void SetU32(Table& t, uint32_t r, size_t c, uint32_t v) {
    uint8_t* f = t.Field(r, c);
    for (int i = 0; i < 4; ++i) f[i] = uint8_t(v >> (8 * i));
}

void SetU64(Table& t, uint32_t r, size_t c, uint64_t v) {
    uint8_t* f = t.Field(r, c);
    for (int i = 0; i < 8; ++i) f[i] = uint8_t(v >> (8 * i));
}

void SetText(Table& t, uint32_t r, size_t c, const std::string& s) {
    uint8_t* f = t.Field(r, c);
    std::memset(f, 0, t.columns[c].width);
    std::memcpy(f, s.data(), std::min<size_t>(s.size(), t.columns[c].width));
}

void SetAbsent(Table& t, uint32_t r, size_t c) { std::memset(t.Field(r, c), 0xFF, t.columns[c].width); }

void PutU16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

namespace {

void PutGroups(Bytes& b, uint64_t v, int groups) {
    for (int g = groups - 1; g >= 0; --g) {
        uint8_t byte = uint8_t((v >> (7 * g)) & 0x7F);
        if (g == 0) byte |= 0x80;
        b.push_back(byte);
    }
}

uint64_t LoadN(const uint8_t* p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

bool AllFF(const uint8_t* p, unsigned n) {
    for (unsigned i = 0; i < n; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

}  // namespace

void PutUVar(Bytes& b, uint64_t v) {
    int g = 1;
    while (g < 10 && (v >> (7 * g)) != 0) ++g;
    PutGroups(b, v, g);
}

void PutSVar(Bytes& b, int64_t v) {
    // The fewest groups g with -2^(7g-1) <= v < 2^(7g-1).
    int g = 1;
    while (g < 10) {
        int64_t lim = int64_t(1) << (7 * g - 1);
        if (v >= -lim && v < lim) break;
        ++g;
    }
    PutGroups(b, static_cast<uint64_t>(v), g);
}

uint16_t Crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint16_t(p[i]) << 8;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

Bytes Pack7(const uint8_t* p, size_t n) {
    Bytes out;
    size_t bits = 8 * n;
    size_t groups = (bits + 6) / 7;
    for (size_t g = 0; g < groups; ++g) {
        uint8_t v = 0;
        for (int k = 0; k < 7; ++k) {
            size_t bit = 7 * g + k;
            if (bit < bits && ((p[bit / 8] >> (bit % 8)) & 1)) v |= uint8_t(1 << k);
        }
        if (g + 1 == groups) v |= 0x80;
        out.push_back(v);
    }
    return out;
}

Bytes EncodeTranspose(const Table& t) {
    const uint64_t R = t.records, s = t.recordSize;
    Bytes out(R * s, 0);
    uint64_t i = 0;
    for (uint64_t j = 0; j < s; ++j)
        for (int k = 0; k < 8; ++k)
            for (uint64_t r = 0; r < R; ++r, ++i)
                if ((t.data[r * s + j] >> k) & 1) out[i / 8] |= uint8_t(1 << (i % 8));
    return out;
}

namespace {

// Flag bits go most significant first into the current flag byte; when it is
// full the next output byte is reserved as the new flag byte at once.
class RleWriter {
public:
    explicit RleWriter(Bytes& out) : out_(out) { Reserve(); }
    void Bit(int b) {
        if (b) out_[flagAt_] |= uint8_t(0x80 >> used_);
        if (++used_ == 8) Reserve();
    }
    void Bits(const char* s) {
        for (; *s; ++s) Bit(*s == '1');
    }
    void Data(uint8_t b) { out_.push_back(b); }

private:
    void Reserve() {
        flagAt_ = out_.size();
        out_.push_back(0);
        used_ = 0;
    }
    Bytes& out_;
    size_t flagAt_ = 0;
    int used_ = 0;
};

void WriteRun(RleWriter& w, uint64_t n) {
    if (n == 1) return w.Bits("0");
    if (n <= 3) return w.Bits("10"), w.Bit(int(n - 2));
    if (n == 4) return w.Bits("110");
    if (n <= 6) return w.Bits("11100"), w.Bit(int(n - 5));
    if (n <= 8) return w.Bits("11101"), w.Bit(int(n - 7));
    if (n <= 10) return w.Bits("11110"), w.Bit(int(n - 9));
    if (n == 11) return w.Bits("111110");
    w.Bits("111111");
    uint64_t x = n - 12;
    auto count = [&](uint64_t c) {
        if (c < 0x80) {
            w.Data(uint8_t(c));
        } else {
            w.Data(uint8_t(0x80 | (c >> 8)));
            w.Data(uint8_t(c & 0xFF));
        }
    };
    while (x >= 0x7FFF) {
        count(0x7FFF);
        x -= 0x7FFF;
    }
    count(x);
}

bool IsFill(uint8_t b) { return b == 0x00 || b == 0xFF; }

}  // namespace

Bytes EncodeRle(const Bytes& raw) {
    Bytes out;
    uint32_t n = uint32_t(raw.size());
    out.push_back(uint8_t(n >> 24));
    out.push_back(uint8_t(n >> 16));
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    if (n == 0) return out;
    RleWriter w(out);
    size_t i = 0;
    auto runAt = [&](size_t at) {
        size_t e = at;
        while (e < raw.size() && raw[e] == raw[at]) ++e;
        return e - at;
    };
    while (i < raw.size()) {
        if (IsFill(raw[i])) {
            size_t len = runAt(i);
            w.Bits("11");
            w.Bit(raw[i] == 0xFF);
            WriteRun(w, len);
            i += len;
        } else if (i + 1 == raw.size() || IsFill(raw[i + 1])) {
            w.Bits("10");
            w.Data(raw[i]);
            if (i + 1 == raw.size()) {
                w.Bit(0);
                WriteRun(w, 1);  // cut off at the output length by the reader
                i += 1;
            } else {
                size_t len = runAt(i + 1);
                w.Bit(raw[i + 1] == 0xFF);
                WriteRun(w, len);
                i += 1 + len;
            }
        } else {
            w.Bit(0);
            w.Data(raw[i]);
            w.Data(raw[i + 1]);
            i += 2;
        }
    }
    return out;
}

Bytes EncodeKind2(const Table& t) {
    Bytes rle = EncodeRle(EncodeTranspose(t));
    Bytes out;
    PutU32(out, uint32_t(rle.size()));
    out.insert(out.end(), rle.begin(), rle.end());
    return out;
}

Bytes EncodeDelta(const Table& t, bool packedTails) {
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    const uint64_t B = (C + 7) / 8;
    auto field = [&](uint64_t r, uint64_t c) { return t.data.data() + r * s + t.Offset(c); };
    std::vector<uint8_t> maps(R * B, 0);
    for (uint64_t r = 0; r < R; ++r)
        for (uint64_t c = 0; c < C; ++c)
            if (!AllFF(field(r, c), t.columns[c].width)) maps[r * B + c / 8] |= uint8_t(1 << (c % 8));
    auto present = [&](uint64_t r, uint64_t c) { return (maps[r * B + c / 8] >> (c % 8)) & 1; };
    Bytes pay;
    if (R == 1) {
        pay.insert(pay.end(), maps.begin(), maps.end());
    } else if (R > 1) {
        const uint64_t G = B / 4 + 1;
        for (uint64_t g = 0; g < G; ++g) {
            unsigned gs = g + 1 < G ? 4 : unsigned(B % 4);
            pay.insert(pay.end(), maps.begin() + g * 4, maps.begin() + g * 4 + gs);
            for (uint64_t r = 1; r < R; ++r) {
                // An empty last group of the last record starts at the end of `maps`.
                uint32_t cur = uint32_t(LoadN(maps.data() + r * B + g * 4, gs));
                uint32_t prev = uint32_t(LoadN(maps.data() + (r - 1) * B + g * 4, gs));
                PutSVar(pay, int32_t(cur - prev));
            }
        }
    }
    for (uint64_t c = 0; c < C; ++c) {
        const unsigned w = t.columns[c].width;
        const uint32_t kind = t.columns[c].id & 0x7000;
        const uint8_t* prev = nullptr;
        for (uint64_t r = 0; r < R; ++r) {
            if (!present(r, c)) continue;
            const uint8_t* cur = field(r, c);
            if (prev == nullptr || (kind != 0x3000 && kind != 0x7000 && kind != 0x1000)) {
                pay.insert(pay.end(), cur, cur + w);
                prev = cur;
                continue;
            }
            if (kind == 0x3000 || kind == 0x7000) {
                if (w != 4) throw std::invalid_argument("32-bit column of another width");
                PutSVar(pay, int32_t(uint32_t(LoadN(cur, 4)) - uint32_t(LoadN(prev, 4))));
            } else {
                unsigned same = 0;
                while (same < w && cur[same] == prev[same]) ++same;
                unsigned tl = w - same;
                if (packedTails) {
                    if (tl == 0) tl = 1;
                    if (tl > 1 && cur[w - 1] == 0) throw std::invalid_argument("code tail ends in a zero byte");
                    Bytes p7 = Pack7(cur + (w - tl), tl);
                    pay.insert(pay.end(), p7.begin(), p7.end());
                } else {
                    uint32_t v = tl;
                    do {
                        uint8_t g = v & 0x7F;
                        v >>= 7;
                        pay.push_back(v ? g : uint8_t(g | 0x80));
                    } while (v);
                    pay.insert(pay.end(), cur + (w - tl), cur + w);
                }
            }
            prev = cur;
        }
    }
    Bytes out;
    PutSVar(out, int64_t(pay.size()));
    out.insert(out.end(), pay.begin(), pay.end());
    PutU16(out, Crc16(t.data.data(), t.data.size()));
    return out;
}

Bytes SnappyColumnsContent(const Table& t) {
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    auto field = [&](uint64_t r, uint64_t c) { return t.data.data() + r * s + t.Offset(c); };
    const uint64_t M = (C * R + 7) / 8;
    Bytes raw(M, 0);
    for (uint64_t c = 0; c < C; ++c) {
        const unsigned w = t.columns[c].width;
        const uint32_t kind = t.columns[c].id & 0x7000;
        for (uint64_t r = 0; r < R; ++r) {
            const uint8_t* f = field(r, c);
            if (AllFF(f, w)) continue;
            uint64_t bit = c * R + r;
            raw[bit / 8] |= uint8_t(1 << (bit % 8));
            const uint8_t* base = field(0, c);
            if (kind == 0x0000 && w == 8) {
                uint64_t v = LoadN(f, 8);
                if (r == 0) {
                    raw.push_back(uint8_t(v >> 56));
                    PutSVar(raw, int64_t(v & 0x00FFFFFFFFFFFFFFull));
                } else {
                    PutSVar(raw, int64_t(v - LoadN(base, 8)));
                }
            } else if (kind == 0x5000 && w == 8) {
                uint64_t v = LoadN(f, 8);
                PutSVar(raw, r == 0 ? int64_t(v) : int64_t(v - LoadN(base, 8)));
            } else if ((kind == 0x3000 || kind == 0x4000 || kind == 0x7000) && w == 4) {
                uint32_t v = uint32_t(LoadN(f, 4));
                PutSVar(raw, r == 0 ? int32_t(v) : int32_t(v - uint32_t(LoadN(base, 4))));
            } else if (kind == 0x1000 || kind == 0x2000) {
                for (unsigned i = 0; i < w; ++i) {
                    raw.push_back(f[i]);
                    if (f[i] == 0) break;
                }
            } else {
                raw.insert(raw.end(), f, f + w);
            }
        }
    }
    return raw;
}

Bytes SnappyCompress(const Bytes& raw) {
    Bytes z(snappy_max_compressed_length(raw.size()));
    size_t zlen = z.size();
    if (snappy_compress(reinterpret_cast<const char*>(raw.data()), raw.size(), reinterpret_cast<char*>(z.data()),
                        &zlen) != SNAPPY_OK)
        throw std::runtime_error("snappy_compress");
    z.resize(zlen);
    return z;
}

Bytes SnappyBlock(uint64_t bitmapBytes, const Bytes& content) {
    Bytes out;
    PutSVar(out, int64_t(bitmapBytes));
    const Bytes z = SnappyCompress(content);
    out.insert(out.end(), z.begin(), z.end());
    return out;
}

Bytes EncodeSnappyColumns(const Table& t) {
    return SnappyBlock((uint64_t(t.columns.size()) * t.records + 7) / 8, SnappyColumnsContent(t));
}

namespace {

// The fixed header and column table of a native image whose index takes
// `index` bytes and whose data area holds `slots` records.
Bytes NativeHeader(const Table& t, uint32_t index, uint32_t slots) {
    const uint32_t C = uint32_t(t.columns.size());
    Bytes b = {'h', 'q', '1', '.', '0', 0, 0, 0};
    b.reserve(64 + 8 * uint64_t(C) + index + uint64_t(slots) * t.recordSize);
    PutU32(b, 32 + 8 * C + index);
    PutU32(b, slots);
    PutU32(b, slots);
    PutU32(b, t.recordSize);
    PutU32(b, t.flags);
    b.push_back(32);
    b.push_back(8);
    PutU16(b, uint16_t(C));
    for (const Column& c : t.columns) {
        PutU32(b, c.id);
        PutU16(b, c.attr);
        PutU16(b, c.width);
    }
    return b;
}

// The head of a native index of n entries with 16-byte keys.
void PutIndexHead(Bytes& b, uint32_t total, uint32_t n, uint8_t entrySize, uint8_t kind) {
    PutU32(b, total);
    PutU32(b, n);
    PutU32(b, n);
    b.push_back(16);
    b.push_back(entrySize);
    b.push_back(16);
    b.push_back(kind);
}

void PutKey(Bytes& b, const std::string& code) {
    uint8_t key[16] = {};
    std::memcpy(key, code.data(), std::min<size_t>(code.size(), 16));
    b.insert(b.end(), key, key + 16);
}

}  // namespace

Bytes NativeImage(const Table& t) {
    const uint32_t n = uint32_t(t.codes.size());
    const uint32_t index = n ? 16 + 28 * n : 0;
    Bytes b = NativeHeader(t, index, t.records);
    if (n) {
        PutIndexHead(b, index, n, 28, 0);
        for (const Code& c : t.codes) {
            PutKey(b, c.code);
            PutU32(b, c.first + c.count);
            PutU32(b, c.count);
            PutU32(b, c.first);
        }
    }
    b.insert(b.end(), t.data.begin(), t.data.end());
    return b;
}

Bytes ChainedNativeImage(const Table& t, uint32_t perBlock) {
    if (t.recordSize < 4 || perBlock == 0) throw std::invalid_argument("chained blocks need records and a block size");
    const uint32_t s = t.recordSize;
    struct Block {
        size_t code;
        uint32_t first;  // within the code
        uint32_t count;
    };
    // Blocks of the codes in turns: block k of every code, then block k + 1.
    std::vector<Block> order;
    for (uint32_t k = 0;; ++k) {
        bool any = false;
        for (size_t c = 0; c < t.codes.size(); ++c) {
            const uint32_t first = k * perBlock;
            if (first >= t.codes[c].count) continue;
            order.push_back({c, first, std::min(perBlock, t.codes[c].count - first)});
            any = true;
        }
        if (!any) break;
    }
    std::vector<uint32_t> slotOf(order.size());
    uint32_t slots = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        slotOf[i] = slots;
        // The head is H = 16 bytes and the records follow it; the block takes
        // whole slots.
        slots += uint32_t((16 + uint64_t(order[i].count) * s + s - 1) / s);
    }
    Bytes area(uint64_t(slots) * s, 0);
    std::vector<uint32_t> firstBlock(t.codes.size(), 0);
    std::vector<int64_t> last(t.codes.size(), -1);
    for (size_t i = 0; i < order.size(); ++i) {
        const Block& b = order[i];
        uint8_t* at = area.data() + uint64_t(slotOf[i]) * s;
        const uint32_t head[4] = {0, b.first, b.count, 0};
        std::memcpy(at, head, 16);
        std::memcpy(at + 16, t.data.data() + uint64_t(t.codes[b.code].first + b.first) * s, uint64_t(b.count) * s);
        if (last[b.code] < 0) {
            firstBlock[b.code] = slotOf[i];
        } else {
            const uint32_t next = slotOf[i];
            std::memcpy(area.data() + uint64_t(slotOf[size_t(last[b.code])]) * s + 12, &next, 4);
        }
        last[b.code] = int64_t(i);
    }
    const uint32_t n = uint32_t(t.codes.size());
    const uint32_t index = 16 + 40 * n;
    Bytes b = NativeHeader(t, index, slots);
    PutIndexHead(b, index, n, 40, 1);
    for (size_t c = 0; c < n; ++c) {
        PutKey(b, t.codes[c].code);
        // Six values: unused, record count, first block, two unused, and in the
        // first entry the block-head size.
        for (uint32_t v : {0u, t.codes[c].count, firstBlock[c], 0u, 0u, c == 0 ? 16u : 0u}) PutU32(b, v);
    }
    b.insert(b.end(), area.begin(), area.end());
    return b;
}

Bytes CompactImage(const Table& t, const CompactOptions& o) {
    if (o.version.size() != 5) throw std::invalid_argument("compact version text is 5 bytes");
    const uint32_t C = uint32_t(t.columns.size());
    const uint32_t n = o.index ? uint32_t(t.codes.size()) : 0;
    uint32_t flagByte = (t.flags & 0xFE) | (o.highIds ? 1 : 0);
    uint64_t header = 16 + 4ull * C + (o.highIds ? 2ull * C : 0);
    uint64_t index = n ? 4 + 18ull * n : 0;
    uint64_t D = header + index;
    Bytes b(o.version.begin(), o.version.end());
    b.push_back(uint8_t(D >> 18));
    PutU32(b, (t.records & 0xFFFFFF) | (flagByte << 24));
    PutU16(b, uint16_t(D & 0xFFFF));
    PutU16(b, uint16_t(t.recordSize));
    PutU16(b, uint16_t((C & 0x3FFF) | (((D >> 16) & 3) << 14)));
    for (const Column& c : t.columns) {
        PutU16(b, uint16_t(c.id & 0xFFFF));
        b.push_back(uint8_t(c.attr));
        b.push_back(uint8_t(c.width));
    }
    if (o.highIds)
        for (const Column& c : t.columns) PutU16(b, uint16_t(c.id >> 16));
    if (n) {
        PutU16(b, o.marker);
        PutU16(b, uint16_t(n));
        for (const Code& c : t.codes) {
            uint8_t code[8] = {};
            std::memcpy(code, c.code.data(), std::min<size_t>(c.code.size(), 8));
            b.insert(b.end(), code, code + 8);
            uint32_t start = c.first, end = c.first + c.count;
            b.push_back(uint8_t(end >> 16));
            b.push_back(uint8_t(start >> 16));
            PutU16(b, uint16_t(start & 0xFFFF));
            PutU32(b, c.first);
            PutU16(b, uint16_t(end & 0xFFFF));
        }
    }
    Bytes block;
    const std::string& v = o.version;
    if (v.compare(0, 4, "hd1.") == 0)
        block = t.data;
    else if (v == "hd3.0")
        block = EncodeTranspose(t);
    else if (v == "hd3.1")
        block = EncodeKind2(t);
    else if (v == "hd5.0")
        block = EncodeDelta(t, true);
    else if (v == "hd5.1")
        block = EncodeDelta(t, false);
    else
        throw std::invalid_argument("no encoder for " + v);
    b.insert(b.end(), block.begin(), block.end());
    return b;
}

Bytes Hq6Image(const Table& t, uint32_t compression, const Hq6Options& o) {
    const uint32_t C = uint32_t(t.columns.size());
    const uint32_t n = uint32_t(t.codes.size());
    uint32_t widths = 0;
    for (const Column& c : t.columns) widths += c.width;
    if (widths != t.recordSize) throw std::invalid_argument("hq6 records are exactly their columns");
    const uint32_t H0 = 32 + 8 * C;
    const uint32_t index = n ? 16 + 28 * n : 0;
    const uint32_t records = o.statedRecords >= 0 ? uint32_t(o.statedRecords) : t.records;

    Bytes cols;
    PutUVar(cols, o.headerSize >= 0 ? uint64_t(o.headerSize) : H0);
    cols.push_back(8);
    const uint32_t words[8] = {0x2E317168u, 0x30u,  index,   0,
                               records,     widths, t.flags, 32u | (8u << 8) | ((o.codedColumns ? 0 : C) << 16)};
    for (uint32_t w : words) PutUVar(cols, w);
    if (o.codedColumns) {
        PutUVar(cols, 4);
        PutUVar(cols, 0);
    }
    for (uint32_t i = 0; i < C && !o.codedColumns; ++i) {
        const Column& c = t.columns[i];
        uint32_t w0 = c.id, w1 = uint32_t(c.attr) | (uint32_t(c.width) << 16);
        if (i == 0) {
            PutUVar(cols, w0);
            PutUVar(cols, w1);
        } else {
            uint32_t f0 = t.columns[0].id, f1 = uint32_t(t.columns[0].attr) | (uint32_t(t.columns[0].width) << 16);
            PutSVar(cols, int32_t(w0 - f0));
            PutSVar(cols, int32_t(w1 - f1));
        }
    }

    Bytes idx;
    if (n) {
        idx.push_back(4);
        PutUVar(idx, index);
        PutUVar(idx, n);
        PutUVar(idx, n);
        PutUVar(idx, 16u | (28u << 8) | (16u << 16));
        std::vector<uint32_t> first;
        for (uint32_t e = 0; e < n; ++e) {
            const Code& c = t.codes[e];
            uint8_t key[16] = {};
            std::memcpy(key, c.code.data(), std::min<size_t>(c.code.size(), 16));
            std::vector<uint32_t> w;
            for (int k = 0; k < 4; ++k) w.push_back(uint32_t(LoadN(key + 4 * k, 4)));
            w.push_back(c.first + c.count);
            w.push_back(c.count);
            w.push_back(c.first);
            if (e == 0) {
                first = w;
                for (uint32_t x : w) PutUVar(idx, x);
            } else {
                for (size_t k = 0; k < w.size(); ++k) PutSVar(idx, int32_t(w[k] - first[k]));
            }
        }
    }

    Bytes data = (compression & 0xFF) == 0x10 ? EncodeSnappyColumns(t) : t.data;
    Bytes b(8, 0);
    std::memcpy(b.data(), o.version.data(), std::min<size_t>(o.version.size(), 8));
    b.push_back(5);
    PutUVar(b, uint64_t(int64_t(H0) + index + int64_t(records) * widths + o.nativeSizeAdjust));
    PutUVar(b, cols.size());
    PutUVar(b, idx.size());
    PutUVar(b, data.size());
    PutUVar(b, compression);
    b.insert(b.end(), cols.begin(), cols.end());
    b.insert(b.end(), idx.begin(), idx.end());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

}  // namespace qw
