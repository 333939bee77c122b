// The transposed, run-length and delta-coded block kinds (1, 2, 5 and 6)
// against a plain reading kept here: the simple decoders, a bit and a byte at
// a time, as they were before the decoders learnt their shortcuts. Valid
// blocks and damaged ones (bytes changed, cut anywhere) must give the same
// code, and the same records when they succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "framework/tl_crc16.h"
#include "framework/tl_numcodec.h"
#include "quote/qf_decode.h"
#include "simulator/quote_writer.h"
#include "tests/support/quote_checks.h"

namespace {

using qw::Bytes;

// ---- The plain reading ------------------------------------------------------

uint64_t LoadN(const uint8_t* p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

void StoreN(uint8_t* p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A signed integer of at most five bytes, most significant group first.
bool PlainS32(const uint8_t* p, uint64_t len, uint64_t* pos, int32_t* out) {
    if (*pos >= len) return false;
    uint32_t v = (p[*pos] & 0x40) ? ~0u : 0u;
    const uint64_t end = std::min<uint64_t>(len, *pos + 5);
    for (uint64_t i = *pos; i < end; ++i) {
        v = (v << 7) | (p[i] & 0x7Fu);
        if (p[i] & 0x80) {
            *out = int32_t(v);
            *pos = i + 1;
            return true;
        }
    }
    return false;
}

// Flag bits, most significant first; the next flag byte is fetched when a bit
// or a data byte is wanted after the eighth.
struct PlainBits {
    const uint8_t* p;
    uint64_t len;
    uint64_t pos = 0;
    uint8_t flag = 0;
    unsigned left = 0;
    bool Refill() {
        if (pos >= len) return false;
        flag = p[pos++];
        left = 8;
        return true;
    }
    bool Bit(unsigned* b) {
        if (left == 0 && !Refill()) return false;
        *b = (flag >> 7) & 1;
        flag = uint8_t(flag << 1);
        --left;
        return true;
    }
    bool Byte(uint8_t* b) {
        if (left == 0 && !Refill()) return false;
        if (pos >= len) return false;
        *b = p[pos++];
        return true;
    }
    bool MoreData() const { return left == 0 ? pos + 1 < len : pos < len; }
};

bool PlainRunLength(PlainBits& r, uint64_t* run, bool* ext) {
    unsigned b[6];
    *ext = false;
    if (!r.Bit(&b[0])) return false;
    if (!b[0]) return *run = 1, true;
    if (!r.Bit(&b[1])) return false;
    if (!b[1]) {
        if (!r.Bit(&b[2])) return false;
        return *run = 2 + b[2], true;
    }
    if (!r.Bit(&b[2])) return false;
    if (!b[2]) return *run = 4, true;
    if (!r.Bit(&b[3]) || !r.Bit(&b[4])) return false;
    if (!b[3]) {
        if (!r.Bit(&b[5])) return false;
        return *run = (b[4] ? 7 : 5) + b[5], true;
    }
    if (!b[4]) {
        if (!r.Bit(&b[5])) return false;
        return *run = 9 + b[5], true;
    }
    if (!r.Bit(&b[5])) return false;
    if (!b[5]) return *run = 11, true;
    *ext = true;
    return *run = 12, true;
}

int PlainRle(const uint8_t* in, uint64_t len, uint64_t maxOut, Bytes* out) {
    if (in == nullptr || len < 4) return -5;
    const uint64_t N = (uint64_t(in[0]) << 24) | (uint64_t(in[1]) << 16) | (uint64_t(in[2]) << 8) | in[3];
    if (N > maxOut || N > (len - 4) * 16384 + 64) return -5;
    out->assign(N, 0);
    uint64_t w = 0;
    PlainBits r{in + 4, len - 4};
    auto put = [&](uint8_t b) {
        if (w < N) (*out)[w++] = b;
    };
    auto fill = [&](uint8_t b, uint64_t n) {
        for (uint64_t i = 0; i < n && w < N; ++i) (*out)[w++] = b;
    };
    while (w < N) {
        unsigned a, b, c;
        if (!r.Bit(&a)) return -5;
        if (a == 0) {
            uint8_t x, y;
            if (!r.Byte(&x) || !r.Byte(&y)) return -5;
            put(x);
            put(y);
            continue;
        }
        if (!r.Bit(&b)) return -5;
        if (b == 0) {
            uint8_t x;
            if (!r.Byte(&x)) return -5;
            put(x);
        }
        if (!r.Bit(&c)) return -5;
        const uint8_t f = c ? 0xFF : 0x00;
        uint64_t run = 0;
        bool ext = false;
        if (!PlainRunLength(r, &run, &ext)) return -5;
        fill(f, run);
        if (!ext) continue;
        for (bool first = true;; first = false) {
            if (!first && !r.MoreData()) break;
            uint8_t x;
            if (!r.Byte(&x)) {
                if (first) return -5;
                break;
            }
            uint64_t cnt = x;
            if (x >= 0x80) {
                uint8_t y;
                if (!r.Byte(&y)) return -5;
                cnt = (uint64_t(x - 0x80) << 8) | y;
            }
            fill(f, cnt);
            if (cnt != 0x7FFF) break;
        }
    }
    return 0;
}

// Bit k of byte j of record r is source bit (8j + k) x R + r.
void PlainUntranspose(const uint8_t* src, uint64_t R, uint64_t s, uint8_t* dst) {
    for (uint64_t r = 0; r < R; ++r)
        for (uint64_t j = 0; j < s; ++j) {
            uint8_t v = 0;
            for (unsigned k = 0; k < 8; ++k) {
                const uint64_t i = (8 * j + k) * R + r;
                v |= uint8_t(((src[i >> 3] >> (i & 7)) & 1) << k);
            }
            dst[r * s + j] = v;
        }
}

int PlainDelta(bool packedTails, const uint8_t* in, int64_t avail, const QfWorkTable& t, uint8_t* dst) {
    int32_t P = 0;
    const int n = TL_DecodeVarInt32(in, avail, &P);
    if (n < 1 || P < 1 || int64_t(n) + P + 2 > avail) return -5;
    std::vector<uint64_t> offs;
    uint64_t off = 0;
    for (const QfWorkColumn& c : t.columns) offs.push_back(off), off += c.width;
    if (off > t.recordSize) return -5;
    const uint8_t* pay = in + n;
    const uint64_t plen = uint64_t(P);
    uint64_t pos = 0;
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    const uint64_t B = (C + 7) / 8;
    if ((R == 1 && B > plen) || (R > 1 && (R - 1) * (B / 4 + 1) > plen)) return -5;
    Bytes rec(R * s, 0xFF);
    Bytes bits(R * B, 0);
    bool ok = true;
    if (R == 1) {
        std::memcpy(bits.data(), pay, B);
        pos += B;
    } else if (R > 1) {
        const uint64_t groups = B / 4 + 1;
        for (uint64_t g = 0; g < groups && ok; ++g) {
            const unsigned gs = g + 1 < groups ? 4 : unsigned(B % 4);
            const uint64_t at = g * 4;
            if (pos + gs > plen) {
                ok = false;
                break;
            }
            std::memcpy(&bits[at], pay + pos, gs);
            pos += gs;
            for (uint64_t r = 1; r < R; ++r) {
                int32_t d = 0;
                if (!PlainS32(pay, plen, &pos, &d)) {
                    ok = false;
                    break;
                }
                const uint64_t prev = LoadN(&bits[(r - 1) * B + at], gs);
                StoreN(&bits[r * B + at], uint32_t(prev) + uint32_t(d), gs);
            }
        }
    }
    for (uint64_t c = 0; c < C && ok; ++c) {
        const unsigned w = t.columns[c].width;
        const uint16_t kind = t.columns[c].kind;
        const bool integer = (kind == QF_KIND_INT32 || kind == QF_KIND_PACKED32) && w == 4;
        const uint8_t* prev = nullptr;
        for (uint64_t r = 0; r < R && ok; ++r) {
            if (!((bits[r * B + c / 8] >> (c % 8)) & 1)) continue;
            uint8_t* f = &rec[r * s + offs[c]];
            if (prev == nullptr || (!integer && kind != QF_KIND_CODE)) {
                if (pos + w > plen) {
                    ok = false;
                    break;
                }
                std::memcpy(f, pay + pos, w);
                pos += w;
                if (prev == nullptr) prev = f;
                continue;
            }
            if (integer) {
                int32_t d = 0;
                if (!PlainS32(pay, plen, &pos, &d)) {
                    ok = false;
                    break;
                }
                StoreN(f, uint32_t(LoadN(prev, 4)) + uint32_t(d), 4);
                prev = f;
                continue;
            }
            uint8_t tail[128];
            int t7 = 0;
            const int used = TL_Unpack7Bit(tail, packedTails ? 128 : 4, pay + pos,
                                           int(std::min<uint64_t>(plen - pos, 0x7FFFFFFF)), &t7);
            if (used < 1 || !(pay[pos + uint64_t(used) - 1] & 0x80)) {
                ok = false;
                break;
            }
            pos += uint64_t(used);
            uint64_t tl;
            const uint8_t* src;
            if (packedTails) {
                tl = uint64_t(t7);
                if (tl < 1 || tl > w) {
                    ok = false;
                    break;
                }
                src = tail;
            } else {
                tl = LoadN(tail, unsigned(t7));
                if (tl > w || pos + tl > plen) {
                    ok = false;
                    break;
                }
                src = pay + pos;
                pos += tl;
            }
            std::memmove(f, prev, w - tl);
            std::memcpy(f + (w - tl), src, tl);
            prev = f;
        }
    }
    const uint16_t stored = uint16_t(pay[plen] | (pay[plen + 1] << 8));
    if (TL_Crc16(0, rec.data(), rec.size()) != stored) return -5;
    if (!rec.empty()) std::memcpy(dst, rec.data(), rec.size());
    return int(std::min<int64_t>(int64_t(n) + P + 2, 0x7FFFFFFF));
}

int PlainDecode(uint32_t kind, const uint8_t* block, int64_t avail, const QfWorkTable& t, uint8_t* dst, uint64_t cap) {
    if (block == nullptr) return -1;
    if (avail <= 0 && kind != QF_BLOCK_DELTA7 && kind != QF_BLOCK_DELTA) return -1;
    if (avail <= 0) return -5;
    const uint64_t area = uint64_t(t.records) * t.recordSize;
    if (cap < area || (dst == nullptr && area)) return -2;
    switch (kind) {
    case QF_BLOCK_TRANSPOSE:
        if (uint64_t(avail) < area) return -5;
        PlainUntranspose(block, t.records, t.recordSize, dst);
        return int(std::min<uint64_t>(area, 0x7FFFFFFF));
    case QF_BLOCK_RLE_TRANSPOSE: {
        if (avail < 4) return -5;
        const int32_t L = int32_t(LoadN(block, 4));
        if (L < 1 || int64_t(L) + 4 > avail) return -5;
        Bytes planes;
        if (PlainRle(block + 4, uint64_t(L), area, &planes) != 0 || planes.size() != area) return -5;
        PlainUntranspose(planes.data(), t.records, t.recordSize, dst);
        return int(std::min<int64_t>(int64_t(L) + 4, 0x7FFFFFFF));
    }
    case QF_BLOCK_DELTA7:
    case QF_BLOCK_DELTA:
        return PlainDelta(kind == QF_BLOCK_DELTA7, block, avail, t, dst);
    default:
        return -3;
    }
}

// ---- Test data ---------------------------------------------------------------

using qw::WorkTable;

// Records of arbitrary bytes in runs of zeros, ones and noise, as the bit
// planes of real records mostly are.
qw::Table RawTable(uint32_t R, uint32_t s, std::mt19937& rng) {
    qw::Table t = qw::MakeTable({{0x6001, 0, uint16_t(s)}}, R);
    for (size_t i = 0; i < t.data.size();) {
        const size_t n = std::min<size_t>(t.data.size() - i, 1 + rng() % 40);
        const unsigned how = rng() % 4;
        for (size_t k = 0; k < n; ++k)
            t.data[i + k] = how == 0 ? 0 : how == 1 ? 0xFF : how == 2 ? uint8_t(rng() & 0x11) : uint8_t(rng());
        i += n;
    }
    return t;
}

// Columns of every kind the delta coding treats apart, integers and codes
// drifting from record to record, some fields absent. Codes use their whole
// width, which the 7-bit tails carry for any suffix.
qw::Table DeltaTable(uint32_t R, uint32_t extra, std::mt19937& rng) {
    static const qw::Column kMenu[] = {{0x3001, 0, 4}, {0x7002, 0, 4},  {0x2003, 0, 3}, {0x1004, 0, 7}, {0x1005, 0, 9},
                                       {0x0006, 0, 8}, {0x2007, 0, 33}, {0x6008, 0, 1}, {0x1009, 0, 1}, {0x600A, 0, 9}};
    std::vector<qw::Column> cols;
    const unsigned C = 1 + rng() % 12;
    for (unsigned c = 0; c < C; ++c) cols.push_back(kMenu[rng() % 10]);
    qw::Table t = qw::MakeTable(cols, R, extra);
    // Bytes after the last column belong to no field: decoded as 0xFF.
    for (uint32_t r = 0; r < R; ++r) std::memset(t.data.data() + uint64_t(r + 1) * t.recordSize - extra, 0xFF, extra);
    const unsigned absent = 2 + rng() % 8;
    for (uint32_t r = 0; r < R; ++r)
        for (unsigned c = 0; c < C; ++c) {
            uint8_t* f = t.Field(r, c);
            const unsigned w = cols[c].width;
            if (r > 0 && rng() % 3) std::memcpy(f, t.Field(r - 1, c), w);
            if ((cols[c].id & 0x7000) == 0x1000) {
                for (unsigned k = w - std::min<unsigned>(w, 1 + rng() % 3); k < w; ++k)
                    f[k] = uint8_t('0' + rng() % 10);
            } else {
                uint32_t v = 0;
                std::memcpy(&v, f, std::min(4u, w));
                v += uint32_t(rng() % 201) - 100;
                if (rng() % 50 == 0) v = uint32_t(rng());
                std::memcpy(f, &v, std::min(4u, w));
            }
            if (rng() % absent == 0) std::memset(f, 0xFF, w);
        }
    return t;
}

// Decodes `block` with both readings, from a heap buffer of exactly `avail`
// bytes so a read past it shows under the address sanitizer.
// Returns the records decoded (empty when refused).
Bytes ExpectSame(uint32_t kind, const Bytes& block, int64_t avail, const qw::Table& t, const std::string& what,
                 int* ok) {
    const Bytes in(block.begin(), block.begin() + avail);
    const QfWorkTable w = WorkTable(t);
    const uint64_t area = uint64_t(t.records) * t.recordSize;
    Bytes want(area + 16, 0xEE), got(area + 16, 0xEE);
    const int prc = PlainDecode(kind, in.data(), avail, w, want.data(), area);
    const int rc = QF_DecodeBlock(kind, in.data(), avail, w, got.data(), area);
    EXPECT_EQ(rc, prc) << what;
    EXPECT_EQ(got, want) << what;
    if (rc < 0) return {};
    ++*ok;
    got.resize(area);
    return got;
}

// A few damaged copies of a valid block: bytes changed, set to 0, 0x7F, 0x80
// or 0xFF, or the block cut short (for kind 2 also with its length mended).
const uint8_t kSpecial[] = {0x00, 0x7F, 0x80, 0xFF};

void ExpectSameDamaged(uint32_t kind, const Bytes& block, const qw::Table& t, std::mt19937& rng,
                       const std::string& what, int* ok) {
    for (int i = 0; i < 12; ++i) {
        Bytes b = block;
        int64_t avail = int64_t(b.size());
        const size_t at = rng() % b.size();
        switch (i % 6) {
        case 0:
            b[at] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            b[at] = kSpecial[rng() % 4];
            break;
        case 2:
            avail = int64_t(rng() % b.size());
            break;
        case 3:
            for (int k = 0; k < 3; ++k) b[rng() % b.size()] ^= uint8_t(rng());
            break;
        case 4:
            avail = int64_t(rng() % b.size());
            if (kind == QF_BLOCK_RLE_TRANSPOSE && avail > 4) StoreN(b.data(), uint64_t(avail - 4), 4);
            break;
        default:
            // A damaged byte far in, where long blocks carry their fields.
            b[b.size() - 1 - rng() % std::min<size_t>(b.size(), 64)] ^= uint8_t(1 + rng() % 255);
            break;
        }
        if (avail == 0) continue;
        ExpectSame(kind, b, avail, t, what + " damage " + std::to_string(i), ok);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

const uint32_t kRecordCounts[] = {1,   2,   3,   4,   5,   6,   7,   8,   9,   10,   11,  12,
                                  13,  14,  15,  16,  17,  63,  64,  65,  127, 128,  129, 130,
                                  255, 256, 257, 383, 384, 385, 511, 512, 513, 1000, 1025};
const uint32_t kRecordSizes[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 33, 64, 70};

// ---- Tests -------------------------------------------------------------------

TEST(QfDecodePlain, RunLengthStreamsMatch) {
    std::mt19937 rng(5);
    int same = 0;
    for (int iter = 0; iter < 400; ++iter) {
        Bytes raw;
        const size_t want = 1 + rng() % (iter < 200 ? 64 : 5000);
        while (raw.size() < want) {
            const unsigned kind = rng() % 5;
            const size_t n = kind == 4 ? 1 + rng() % 70000 : 1 + rng() % 30;
            raw.insert(raw.end(), n, kind == 0 ? uint8_t(rng()) : kind == 1 || kind == 4 ? uint8_t(0) : uint8_t(0xFF));
            if (kind == 0) {
                for (size_t k = raw.size() - n; k < raw.size(); ++k) raw[k] = uint8_t(rng());
            }
        }
        const Bytes enc = qw::EncodeRle(raw);
        for (int d = 0; d < 8; ++d) {
            Bytes b = enc;
            size_t len = b.size();
            if (d == 1) len = 4 + rng() % (b.size() - 3);
            if (d == 2 || d == 3) b[4 + rng() % (b.size() - 4)] ^= uint8_t(1u << (rng() % 8));
            if (d == 4) b[4 + rng() % (b.size() - 4)] = 0xFF;
            if (d == 5) len = b.size() - 1 - rng() % std::min<size_t>(b.size() - 4, 4);
            if (d == 6) b[3] = uint8_t(b[3] + 1 + rng() % 3);  // more output than the stream makes
            if (d == 7) b[rng() % 4] ^= uint8_t(rng());
            const Bytes in(b.begin(), b.begin() + int64_t(len));
            Bytes plain, out;
            const int prc = PlainRle(in.data(), in.size(), 1 << 22, &plain);
            const int rc = QF_RleDecode(in.data(), in.size(), 1 << 22, &out);
            ASSERT_EQ(rc, prc) << iter << "/" << d;
            if (rc == 0) {
                ++same;
                ASSERT_EQ(out, plain) << iter << "/" << d;
            }
            if (d == 0) {
                ASSERT_EQ(out, raw) << iter;
            }
        }
    }
    EXPECT_GT(same, 800);
}

TEST(QfDecodePlain, UntransposeMatchesForEveryShape) {
    std::mt19937 rng(11);
    for (uint32_t R : kRecordCounts)
        for (uint32_t s : kRecordSizes) {
            qw::Table t = RawTable(R, s, rng);
            Bytes src(t.data.size());
            for (auto& x : src) x = uint8_t(rng());
            Bytes want(src.size() + 8, 0xEE);
            PlainUntranspose(src.data(), R, s, want.data());
            // Squares side by side as wide as each processor offers (wider than it
            // has are done narrower).
            for (unsigned lanes : {1u, 2u, 4u, 8u}) {
                Bytes got(src.size() + 8, 0xEE);
                const unsigned was = QF_LimitTransposeLanes(lanes);
                QF_Untranspose(src.data(), R, s, got.data());
                QF_LimitTransposeLanes(was);
                ASSERT_EQ(got, want) << R << " records of " << s << ", " << lanes << " lanes";
            }
        }
}

TEST(QfDecodePlain, TransposedBlocksMatch) {
    std::mt19937 rng(21);
    int ok = 0;
    for (uint32_t R : kRecordCounts)
        for (uint32_t s : kRecordSizes) {
            if (uint64_t(R) * s > 40000) continue;
            const qw::Table t = RawTable(R, s, rng);
            const std::string what = std::to_string(R) + " records of " + std::to_string(s);
            const Bytes k1 = qw::EncodeTranspose(t);
            ASSERT_EQ(ExpectSame(QF_BLOCK_TRANSPOSE, k1, int64_t(k1.size()), t, what + " kind 1", &ok), t.data);
            ExpectSameDamaged(QF_BLOCK_TRANSPOSE, k1, t, rng, what + " kind 1", &ok);
            const Bytes k2 = qw::EncodeKind2(t);
            ASSERT_EQ(ExpectSame(QF_BLOCK_RLE_TRANSPOSE, k2, int64_t(k2.size()), t, what + " kind 2", &ok), t.data);
            ExpectSameDamaged(QF_BLOCK_RLE_TRANSPOSE, k2, t, rng, what + " kind 2", &ok);
            if (HasFatalFailure()) return;
        }
    EXPECT_GT(ok, 500);
}

TEST(QfDecodePlain, DeltaBlocksMatch) {
    std::mt19937 rng(31);
    int ok = 0;
    for (uint32_t R : kRecordCounts)
        for (uint32_t extra : {0u, 1u, 6u}) {
            for (int rep = 0; rep < 2; ++rep) {
                const qw::Table t = DeltaTable(R, extra, rng);
                const std::string what = std::to_string(R) + " records of " + std::to_string(t.recordSize);
                for (bool packed : {true, false}) {
                    const uint32_t kind = packed ? QF_BLOCK_DELTA7 : QF_BLOCK_DELTA;
                    const Bytes blk = qw::EncodeDelta(t, packed);
                    ASSERT_EQ(
                        ExpectSame(kind, blk, int64_t(blk.size()), t, what + " kind " + std::to_string(kind), &ok),
                        t.data);
                    ExpectSameDamaged(kind, blk, t, rng, what + " kind " + std::to_string(kind), &ok);
                    if (HasFatalFailure()) return;
                }
            }
        }
    EXPECT_GT(ok, 300);
}

// Blocks of noise: mostly refused, in the same way by both readings.
TEST(QfDecodePlain, NoiseBlocksMatch) {
    std::mt19937 rng(41);
    int ok = 0;
    for (uint32_t kind : {QF_BLOCK_TRANSPOSE, QF_BLOCK_RLE_TRANSPOSE, QF_BLOCK_DELTA7, QF_BLOCK_DELTA}) {
        for (int i = 0; i < 600; ++i) {
            const qw::Table t =
                i % 2 ? RawTable(1 + rng() % 20, 1 + rng() % 9, rng) : DeltaTable(1 + rng() % 20, rng() % 3, rng);
            Bytes b(1 + rng() % 300);
            for (auto& x : b) x = uint8_t(rng() % 3 ? rng() : 0x80 | rng());
            if (kind == QF_BLOCK_RLE_TRANSPOSE && b.size() > 8 && i % 2) {
                StoreN(b.data(), b.size() - 4, 4);
                const uint64_t area = uint64_t(t.records) * t.recordSize;
                b[4] = 0, b[5] = 0, b[6] = uint8_t(area >> 8), b[7] = uint8_t(area);
            }
            if ((kind == QF_BLOCK_DELTA7 || kind == QF_BLOCK_DELTA) && i % 2) {
                b[0] = uint8_t(0x80 | std::min<size_t>(b.size() - 3, 0x3F));
            }
            ExpectSame(kind, b, int64_t(b.size()), t, "kind " + std::to_string(kind) + " noise " + std::to_string(i),
                       &ok);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(ok, 10);
}

}  // namespace
