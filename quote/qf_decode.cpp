#include "quote/qf_decode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "framework/tl_crc16.h"
#include "framework/tl_numcodec.h"
#include "framework/tl_snappy.h"

namespace {

// What the processor offers, read once.
struct CpuFeatures {
    bool avx2 = false;
    bool avx512 = false;
    bool bmi = false;  // BMI1, BMI2 and POPCNT
};

const CpuFeatures& Cpu() {
    static const CpuFeatures features = [] {
        CpuFeatures f;
#if defined(__GNUC__) && defined(__x86_64__)
        f.avx2 = __builtin_cpu_supports("avx2");
        f.avx512 = __builtin_cpu_supports("avx512f");
        f.bmi = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#endif
        return f;
    }();
    return features;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint64_t LoadN(const uint8_t* p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

void StoreN(uint8_t* p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Records are little-endian; so is every host this library is built for.
static_assert(std::endian::native == std::endian::little);
void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// The system's variable-length integers read inline from a bounded buffer
// (one-byte values, the common case, take the short path).
struct VarReader {
    const uint8_t* p;
    uint64_t len;
    uint64_t pos;

    template <typename U>
    bool Read(int maxBytes, U* out) {
        // With eight bytes at hand, integers of up to five bytes are read from
        // one load, the end bit of each byte tested in turn (lengths repeat from
        // value to value, so these branches predict well).
        if (len - pos >= 8) {
            uint64_t w;
            std::memcpy(&w, p + pos, 8);
            const uint64_t neg = 0 - ((w >> 6) & 1);  // bit 6 of the first byte
            uint64_t y = w & 0x7F;
            if (w & 0x80) return Done(out, y | (neg << 7), 1);
            y = (y << 7) | ((w >> 8) & 0x7F);
            if (w & 0x8000) return Done(out, y | (neg << 14), 2);
            y = (y << 7) | ((w >> 16) & 0x7F);
            if (w & 0x800000) return Done(out, y | (neg << 21), 3);
            y = (y << 7) | ((w >> 24) & 0x7F);
            if (w & 0x80000000) return Done(out, y | (neg << 28), 4);
            y = (y << 7) | ((w >> 32) & 0x7F);
            if (w & 0x8000000000) return Done(out, y | (neg << 35), 5);
            if (maxBytes <= 5) return false;
        }
        if (pos >= len) return false;
        uint8_t b = p[pos];
        U v = (b & 0x40) ? static_cast<U>(~U(0)) : U(0);
        if (b & 0x80) {
            *out = static_cast<U>((v << 7) | U(b & 0x7F));
            ++pos;
            return true;
        }
        const uint64_t end = std::min<uint64_t>(len, pos + uint64_t(maxBytes));
        for (uint64_t i = pos; i < end; ++i) {
            b = p[i];
            v = static_cast<U>((v << 7) | U(b & 0x7F));
            if (b & 0x80) {
                *out = v;
                pos = i + 1;
                return true;
            }
        }
        return false;
    }
    template <typename U>
    bool Done(U* out, uint64_t v, unsigned n) {
        *out = static_cast<U>(v);
        pos += n;
        return true;
    }
    bool S32(int32_t* v) {
        uint32_t u;
        if (!Read(5, &u)) return false;
        *v = static_cast<int32_t>(u);
        return true;
    }
    bool S64(int64_t* v) {
        uint64_t u;
        if (!Read(10, &u)) return false;
        *v = static_cast<int64_t>(u);
        return true;
    }
};

// Reads the flag bits and data bytes of a run-length stream. The next flag
// byte is due as soon as the eighth bit of the current one has been taken; it
// is fetched before the next bit or data byte, so a stream that ends right
// after its last flag bit is not read past.
class RleReader {
public:
    RleReader(const uint8_t* p, uint64_t len) : p_(p), len_(len) {}
    bool Bit(unsigned* bit) {
        if (left_ == 0 && !Refill()) return false;
        *bit = (flag_ >> 7) & 1;
        flag_ = uint8_t(flag_ << 1);
        --left_;
        return true;
    }
    bool Byte(uint8_t* b) {
        if (left_ == 0 && !Refill()) return false;
        if (pos_ >= len_) return false;
        *b = p_[pos_++];
        return true;
    }
    bool MoreData() {
        if (left_ == 0) return pos_ + 1 < len_;
        return pos_ < len_;
    }

    // Unchecked decoding of whole tokens into o from w on, while a token's
    // worth of stream bytes and output room surely remain: a token reads at
    // most 17 stream bytes (24 are asked for) and writes at most 18 output
    // bytes (a literal and a 16-byte fill whose excess the next tokens
    // overwrite). Stops there, or after a run with extension counts (*ext set,
    // *fill its byte), which the checked members read. Returns the new w.
    //
    // It may take the next flag byte as soon as the current one is used up,
    // where the checked members wait until a bit or byte is wanted: with bytes
    // to spare, both read the same. The state is kept in locals (registers)
    // throughout.
    uint64_t Fast(uint8_t* o, uint64_t w, uint64_t N, uint8_t* fill, bool* ext);

private:
    bool Refill() {
        if (pos_ >= len_) return false;
        flag_ = p_[pos_++];
        left_ = 8;
        return true;
    }
    const uint8_t* p_;
    uint64_t len_;
    uint64_t pos_ = 0;
    uint8_t flag_ = 0;
    unsigned left_ = 0;
};

// A run's length after its fill bit, from the next flag bits, each taken by
// next(&bit) (false when the stream has no more): 1 to 12, and 12 is
// followed by extension counts.
template <typename Next>
constexpr bool RunCodeLength(Next next, unsigned* run) {
    unsigned b[6];
    if (!next(&b[0])) return false;
    if (!b[0]) return *run = 1, true;
    if (!next(&b[1])) return false;
    if (!b[1]) {
        if (!next(&b[2])) return false;
        return *run = 2 + b[2], true;
    }
    if (!next(&b[2])) return false;
    if (!b[2]) return *run = 4, true;
    if (!next(&b[3]) || !next(&b[4])) return false;
    if (!b[3]) {
        if (!next(&b[5])) return false;
        return *run = (b[4] ? 7 : 5) + b[5], true;
    }
    if (!b[4]) {
        if (!next(&b[5])) return false;
        return *run = 9 + b[5], true;
    }
    if (!next(&b[5])) return false;
    return *run = b[5] ? 12 : 11, true;
}

// The checked reading, for the tokens the fast loop leaves.
[[gnu::noinline]] bool RunLength(RleReader& r, uint64_t* run, bool* extended) {
    unsigned n = 0;
    if (!RunCodeLength([&r](unsigned* bit) { return r.Bit(bit); }, &n)) return false;
    *run = n;
    *extended = n == 12;
    return true;
}

// The run lengths after a run's fill bit, by the next six flag bits (most
// significant first): the length and how many of the six bits its code
// takes.
struct RunCode {
    uint8_t run;
    uint8_t bits;
};
constexpr std::array<RunCode, 64> MakeRunCodes() {
    std::array<RunCode, 64> t{};
    for (unsigned i = 0; i < 64; ++i) {
        unsigned taken = 0, run = 0;
        RunCodeLength(
            [i, &taken](unsigned* bit) {
                *bit = (i >> (5 - taken++)) & 1;
                return true;
            },
            &run);
        t[i] = {uint8_t(run), uint8_t(taken)};
    }
    return t;
}
constexpr std::array<RunCode, 64> kRunCodes = MakeRunCodes();

uint64_t RleReader::Fast(uint8_t* o, uint64_t w, uint64_t N, uint8_t* fill, bool* ext) {
    const uint8_t* const p = p_;
    uint64_t pos = pos_;
    unsigned flag = flag_, left = left_;  // unused flag bits at the top of the byte, zeros below
    // The current flag byte, fetched if due.
    auto flags = [&] {
        if (left == 0) flag = p[pos++], left = 8;
    };
    // The unused flag bits followed by the next stream byte (the next flag
    // byte while no data byte comes between), from bit 15 down.
    auto window = [&] { return (flag << 8) | (unsigned(p[pos]) << (8 - left)); };
    // Takes n <= left + 8 bits of the window.
    auto skip = [&](unsigned n) {
        if (n < left) {
            flag = (flag << n) & 0xFF;
            left -= n;
        } else {
            n -= left;
            flag = (unsigned(p[pos++]) << n) & 0xFF;
            left = 8 - n;
        }
    };
    while (len_ - pos >= 24 && N - w >= 18) {
        flags();
        if (!(flag & 0x80)) {
            // Zero bits: each is two literals. The pairs of all but the flag
            // byte's last bit lie back to back in the stream; the last bit's pair
            // comes after the next flag byte.
            const unsigned z = std::min(unsigned(std::countl_zero(uint8_t(flag))), left - 1);
            if (z == 0) {
                skip(1);
                std::memcpy(o + w, p + pos, 2);
                pos += 2;
                w += 2;
            } else {
                std::memcpy(o + w, p + pos, 16);
                pos += 2 * z;
                skip(z);
                w += 2 * z;
            }
            continue;
        }
        unsigned code;
        if (window() & 0x4000) {
            // 1 1 c run: nine bits or fewer, no data byte between.
            code = (window() >> 7) & 0x7F;
            skip(3 + kRunCodes[code & 0x3F].bits);
        } else {
            // 1 0 literal c run.
            skip(2);
            flags();
            o[w++] = p[pos++];
            flags();
            code = (window() >> 9) & 0x7F;
            skip(1 + kRunCodes[code & 0x3F].bits);
        }
        const uint8_t f = (code & 0x40) ? 0xFF : 0x00;
        const unsigned run = kRunCodes[code & 0x3F].run;
        std::memset(o + w, f, 16);
        w += run;
        if (run == 12) {
            *fill = f;
            *ext = true;
            break;
        }
    }
    pos_ = pos;
    flag_ = uint8_t(flag);
    left_ = left;
    return w;
}

// Checks the stated output length of a run-length stream. No token yields
// more than 32767 bytes per two stream bytes: a length the stream cannot
// produce is refused before the output exists.
int RleLength(const uint8_t* in, uint64_t len, uint64_t maxOut, uint64_t* N) {
    if (in == nullptr || len < 4) return -5;
    *N = (uint64_t(in[0]) << 24) | (uint64_t(in[1]) << 16) | (uint64_t(in[2]) << 8) | in[3];
    if (*N > maxOut || *N > (len - 4) * 16384 + 64) return -5;
    return 0;
}

// Decodes the token stream after the length into exactly N bytes at o. Every
// write is clipped at N. Returns 0 or -5; on -5 the bytes not yet decoded are
// zero.
int RleTokens(const uint8_t* in, uint64_t len, uint64_t N, uint8_t* o) {
    uint64_t w = 0;
    RleReader r(in, len);
    auto fill = [&](uint8_t b, uint64_t n) {
        const uint64_t k = std::min(n, N - w);
        std::memset(o + w, b, k);
        w += k;
    };
    auto fail = [&] {
        std::memset(o + w, 0, N - w);
        return -5;
    };
    while (w < N) {
        uint8_t f = 0;
        bool ext = false;
        const uint64_t was = w;
        w = r.Fast(o, w, N, &f, &ext);
        if (w == was) {
            // Near the end of the stream or the output: token by token, checked.
            unsigned a, b, c;
            if (!r.Bit(&a)) return fail();
            if (a == 0) {
                uint8_t x, y;
                if (!r.Byte(&x) || !r.Byte(&y)) return fail();
                if (w < N) o[w++] = x;
                if (w < N) o[w++] = y;
                continue;
            }
            if (!r.Bit(&b)) return fail();
            if (b == 0) {
                uint8_t x;
                if (!r.Byte(&x)) return fail();
                o[w++] = x;
            }
            if (!r.Bit(&c)) return fail();
            f = c ? 0xFF : 0x00;
            uint64_t run = 0;
            if (!RunLength(r, &run, &ext)) return fail();
            fill(f, run);
        }
        if (!ext) continue;
        // Extension counts: one or two bytes each; 0x7FFF asks for another if
        // the stream has more.
        for (bool first = true;; first = false) {
            if (!first && !r.MoreData()) break;
            uint8_t x;
            if (!r.Byte(&x)) {
                if (first) return fail();
                break;
            }
            uint64_t cnt = x;
            if (x >= 0x80) {
                uint8_t y;
                if (!r.Byte(&y)) return fail();
                cnt = (uint64_t(x - 0x80) << 8) | y;
            }
            fill(f, cnt);
            if (cnt != 0x7FFF) break;
        }
    }
    return 0;
}

int Transpose(const uint8_t* src, int64_t avail, const QfWorkTable& t, uint8_t* dst) {
    uint64_t area = uint64_t(t.records) * t.recordSize;
    if (uint64_t(avail) < area) return -5;
    // Converted in place, the source may overlap the destination.
    std::vector<uint8_t> copy;
    if (src < dst + area && dst < src + area) {
        copy.assign(src, src + area);
        src = copy.data();
    }
    QF_Untranspose(src, t.records, t.recordSize, dst);
    return static_cast<int>(std::min<uint64_t>(area, 0x7FFFFFFF));
}

// Kind 2's stream length L and run-length output N, which must be the
// record area exactly.
int Kind2Shape(const uint8_t* in, int64_t avail, uint64_t area, int32_t* L, uint64_t* N) {
    if (avail < 4) return -5;
    *L = static_cast<int32_t>(Le32(in));
    if (*L < 1 || int64_t(*L) + 4 > avail) return -5;
    if (RleLength(in + 4, uint64_t(*L), area, N) != 0 || *N != area) return -5;
    return 0;
}

int Kind2(const uint8_t* in, int64_t avail, const QfWorkTable& t, uint8_t* dst) {
    // The run-length output is the transposed records, exactly.
    int32_t L = 0;
    uint64_t N = 0;
    if (Kind2Shape(in, avail, uint64_t(t.records) * t.recordSize, &L, &N) != 0) return -5;
    std::unique_ptr<uint8_t[]> planes(new uint8_t[N]);
    if (RleTokens(in + 8, uint64_t(L) - 4, N, planes.get()) != 0) return -5;
    QF_Untranspose(planes.get(), t.records, t.recordSize, dst);
    return static_cast<int>(std::min<int64_t>(int64_t(L) + 4, 0x7FFFFFFF));
}

bool ColumnOffsets(const QfWorkTable& t, std::vector<uint64_t>* offs) {
    uint64_t off = 0;
    offs->resize(t.columns.size());
    for (size_t i = 0; i < t.columns.size(); ++i) {
        (*offs)[i] = off;
        off += t.columns[i].width;
    }
    return off <= t.recordSize;
}

// One variable-length integer of at most MaxBytes bytes, as the delta-coded
// and snappy-coded columns hold them, read from eight bytes at *pos and
// sign-extended to 64 bits (the 32-bit columns keep the low half, as when the
// bytes are shifted in one by one). The caller has made sure MaxBytes + 8
// bytes lie at *pos.
template <unsigned MaxBytes>
inline bool ReadOne(const uint8_t* p, uint64_t* pos, int64_t* out) {
    uint64_t w;
    std::memcpy(&w, p + *pos, 8);
    const uint64_t neg = 0 - ((w >> 6) & 1);  // bit 6 of the first byte
    uint64_t y = w & 0x7F;
    if (w & 0x80) {
        *out = int64_t(y | (neg << 7));
        *pos += 1;
        return true;
    }
    y = (y << 7) | ((w >> 8) & 0x7F);
    if (w & 0x8000) {
        *out = int64_t(y | (neg << 14));
        *pos += 2;
        return true;
    }
    y = (y << 7) | ((w >> 16) & 0x7F);
    if (w & 0x800000) {
        *out = int64_t(y | (neg << 21));
        *pos += 3;
        return true;
    }
    uint64_t v = y | (neg << 21);
    for (unsigned i = 3; i < MaxBytes; ++i) {
        const uint8_t b = p[*pos + i];
        v = (v << 7) | (b & 0x7F);
        if (b & 0x80) {
            *out = int64_t(v);
            *pos += i + 1;
            return true;
        }
    }
    return false;
}

// Copies n bytes between fields of different records (they never overlap),
// inline for the widths fields have: two overlapping loads cover any length
// from half a word to a word.
inline void CopyField(uint8_t* d, const uint8_t* s, uint64_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(d, &a, 8);
        std::memcpy(d + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        const uint8_t a = s[0], m = s[n / 2], z = s[n - 1];
        d[0] = a;
        d[n / 2] = m;
        d[n - 1] = z;
    } else if (n > 16) {
        std::memcpy(d, s, n);
    }
}

// A signed integer of at most five bytes of the payload: read from one load
// while thirteen bytes remain (ReadOne's margin), else byte by byte.
inline bool DeltaInt(const uint8_t* pay, uint64_t plen, uint64_t* pos, uint32_t* v) {
    if (plen - *pos >= 13) {
        int64_t x;
        if (!ReadOne<5>(pay, pos, &x)) return false;
        *v = uint32_t(x);
        return true;
    }
    VarReader vr{pay, plen, *pos};
    int32_t d;
    if (!vr.S32(&d)) return false;
    *pos = vr.pos;
    *v = uint32_t(d);
    return true;
}

// The presence bitmaps of kinds 5 and 6 (B bytes per record) into bits.
// False when the payload ends or an integer is malformed; the bitmaps read
// so far are kept.
bool DeltaPresence(const uint8_t* pay, uint64_t plen, uint64_t* pos, uint64_t R, uint64_t B, uint8_t* bits) {
    if (R == 1) {
        std::memcpy(bits, pay, B);
        *pos += B;
        return true;
    }
    // Groups of four bytes and a last group of B mod 4 (possibly none): the
    // first record's bytes raw, each later record's as a delta to the record
    // before, kept to the group's width.
    const uint64_t groups = B / 4 + 1;
    for (uint64_t g = 0; g < groups; ++g) {
        const unsigned gs = g + 1 < groups ? 4 : unsigned(B % 4);
        const uint64_t at = g * 4;
        if (*pos + gs > plen) return false;
        std::memcpy(bits + at, pay + *pos, gs);
        *pos += gs;
        const uint32_t keep = gs == 4 ? ~0u : (1u << (8 * gs)) - 1;
        uint32_t v = uint32_t(LoadN(bits + at, gs));
        for (uint64_t r = 1; r < R; ++r) {
            uint32_t d;
            if (!DeltaInt(pay, plen, pos, &d)) return false;
            v = (v + d) & keep;
            if (gs == 4)
                Store32(bits + r * B + at, v);
            else
                StoreN(bits + r * B + at, v, gs);
        }
    }
    return true;
}

// The fields of column c of every record holding it, into rec. False when
// the payload ends or holds a malformed integer or tail; the fields read so
// far are kept.
bool DeltaColumn(bool packedTails, const uint8_t* pay, uint64_t plen, uint64_t* pos, const QfWorkTable& t, uint64_t c,
                 uint64_t off, const uint8_t* bits, uint64_t B, uint8_t* rec) {
    const uint64_t R = t.records, s = t.recordSize;
    const unsigned w = t.columns[c].width;
    const uint16_t kind = t.columns[c].kind;
    const bool integer = (kind == QF_KIND_INT32 || kind == QF_KIND_PACKED32) && w == 4;
    const bool code = kind == QF_KIND_CODE;
    const uint8_t* bp = bits + c / 8;
    const unsigned bit = unsigned(c % 8);
    auto present = [&](uint64_t r) { return (bp[r * B] >> bit) & 1; };
    uint64_t r = 0;
    // Fields stored whole: the first present one of every column, and every
    // one of the kinds not delta coded.
    for (; r < R; ++r) {
        if (!present(r)) continue;
        if (*pos + w > plen) return false;
        CopyField(rec + r * s + off, pay + *pos, w);
        *pos += w;
        if (integer || code) break;
    }
    if (r >= R || !(integer || code)) return true;
    if (integer) {
        // The previous present value plus a delta of at most five bytes.
        uint32_t v = Le32(rec + r * s + off);
        for (++r; r < R; ++r) {
            if (!present(r)) continue;
            uint32_t d;
            if (!DeltaInt(pay, plen, pos, &d)) return false;
            v += d;
            Store32(rec + r * s + off, v);
        }
        return true;
    }
    const uint8_t* prev = rec + r * s + off;
    for (++r; r < R; ++r) {
        if (!present(r)) continue;
        uint8_t* f = rec + r * s + off;
        // Code text: the previous code's head and a new tail. A tail of one
        // byte (the common case) reads as its seven bits; longer ones are
        // unpacked in full.
        uint8_t tail[128];
        uint64_t tl;
        const uint8_t* src;
        if (*pos < plen && (pay[*pos] & 0x80)) {
            tail[0] = pay[*pos] & 0x7F;
            ++*pos;
            tl = packedTails ? 1 : tail[0];
        } else {
            int t7 = 0;
            const int used = TL_Unpack7Bit(tail, packedTails ? 128 : 4, pay + *pos,
                                           int(std::min<uint64_t>(plen - *pos, 0x7FFFFFFF)), &t7);
            if (used < 1 || !(pay[*pos + uint64_t(used) - 1] & 0x80)) return false;
            *pos += uint64_t(used);
            tl = packedTails ? uint64_t(t7) : LoadN(tail, unsigned(t7));
        }
        if (packedTails) {
            if (tl < 1 || tl > w) return false;
            src = tail;
        } else {
            if (tl > w || *pos + tl > plen) return false;
            src = pay + *pos;
            *pos += tl;
        }
        CopyField(f, prev, w - tl);
        CopyField(f + (w - tl), src, tl);
        prev = f;
    }
    return true;
}

// Kinds 5 and 6: the payload length P behind its n integer bytes. Every
// record's presence bitmap is stored (one integer per group for the later
// records): a record count the payload cannot carry is refused before the
// record area exists.
int DeltaShape(const uint8_t* in, int64_t avail, uint64_t R, uint64_t C, int* n, int32_t* P) {
    *n = TL_DecodeVarInt32(in, avail, P);
    if (*n < 1 || *P < 1 || int64_t(*n) + *P + 2 > avail) return -5;
    const uint64_t plen = uint64_t(*P), B = (C + 7) / 8;
    if ((R == 1 && B > plen) || (R > 1 && (R - 1) * (B / 4 + 1) > plen)) return -5;
    return 0;
}

// Kinds 5 and 6: delta-coded columns behind presence bitmaps, guarded by a
// CRC-16 over the decoded records. Decoding stops at the first fault; the
// records stay as far as they got (the rest 0xFF) and the CRC decides.
int DeltaColumns(bool packedTails, const uint8_t* in, int64_t avail, const QfWorkTable& t, uint8_t* dst) {
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    const uint64_t B = (C + 7) / 8;
    int n = 0;
    int32_t P = 0;
    if (DeltaShape(in, avail, R, C, &n, &P) != 0) return -5;
    std::vector<uint64_t> offs;
    if (!ColumnOffsets(t, &offs)) return -5;
    const uint8_t* pay = in + n;
    const uint64_t plen = uint64_t(P);
    uint64_t pos = 0;
    std::vector<uint8_t> rec(R * s, 0xFF);
    std::vector<uint8_t> bits(R * B, 0);
    if (R == 0 || DeltaPresence(pay, plen, &pos, R, B, bits.data())) {
        for (uint64_t c = 0; c < C; ++c)
            if (!DeltaColumn(packedTails, pay, plen, &pos, t, c, offs[c], bits.data(), B, rec.data())) break;
    }
    const uint8_t* crcAt = pay + plen;
    uint16_t stored = uint16_t(crcAt[0] | (crcAt[1] << 8));
    if (TL_Crc16(0, rec.data(), rec.size()) != stored) return -5;
    if (!rec.empty()) std::memcpy(dst, rec.data(), rec.size());
    return static_cast<int>(std::min<int64_t>(int64_t(n) + P + 2, 0x7FFFFFFF));
}

// Sixty-four bits of an LSB-first bitmap of `bytes` bytes from bit `at`;
// bits past its end read as zero.
inline uint64_t PresenceWord(const uint8_t* bits, uint64_t bytes, uint64_t at) {
    const uint64_t i = at >> 3;
    const unsigned sh = unsigned(at & 7);
    if (i + 9 <= bytes) {
        uint64_t lo;
        std::memcpy(&lo, bits + i, 8);
        return sh ? (lo >> sh) | (uint64_t(bits[i + 8]) << (64 - sh)) : lo;
    }
    uint64_t v = 0;
    for (unsigned k = 0; k < 64 && ((at + k) >> 3) < bytes; ++k)
        v |= uint64_t((bits[(at + k) >> 3] >> ((at + k) & 7)) & 1) << k;
    return v;
}

template <typename T>
inline void StoreField(uint8_t* p, T v) {
    if constexpr (sizeof(T) == 8)
        Store64(p, v);
    else
        Store32(p, v);
}

#if defined(__SSE2__)
// Bit i set when byte p[i] ends an integer (bit 7 set), for 64 bytes.
inline uint64_t EndMask64(const uint8_t* p) {
    uint64_t m = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        m |= uint64_t(uint32_t(_mm_movemask_epi8(x)) & 0xFFFFu) << (16 * i);
    }
    return m;
}
#endif

// Functions with a popcnt clone chosen at load time. ThreadSanitizer builds
// keep one version: the clone resolver runs while the program is being
// relocated, before the sanitizer's runtime is up, and its instrumented
// code would crash the program before main.
#if defined(__SANITIZE_THREAD__)
#define QF_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QF_THREAD_SANITIZER 1
#endif
#endif
#if defined(__GNUC__) && defined(__x86_64__) && !defined(QF_THREAD_SANITIZER)
#define QF_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define QF_POPCNT_CLONES
#endif

// Moves *pos past k integers of the stream, found by their end bytes alone;
// whether each is of a length its column allows is checked when it is read.
// False when fewer than k integers remain.
QF_POPCNT_CLONES
bool SkipInts(const uint8_t* p, uint64_t len, uint64_t* pos, uint64_t k) {
    uint64_t q = *pos;
#if defined(__SSE2__)
    while (k && len - q >= 64) {
        uint64_t m = EndMask64(p + q);
        const uint64_t c = uint64_t(std::popcount(m));
        if (c < k) {
            k -= c;
            q += 64;
            continue;
        }
        while (--k) m &= m - 1;
        *pos = q + uint64_t(std::countr_zero(m)) + 1;
        return true;
    }
#endif
    for (; k; ++q) {
        if (q >= len) return false;
        if (p[q] & 0x80) --k;
    }
    *pos = q;
    return true;
}

#if defined(__GNUC__) && defined(__x86_64__)
#define QF_QUAD_INTS 1
#define QF_SIMD __attribute__((target("avx2,popcnt,bmi,bmi2")))

// Four integers of one to three bytes each within the next twelve bytes
// are read at once: the end bits of those bytes pick one of 81 shapes
// (the four lengths), whose byte shuffle puts each integer's groups into a
// 32-bit lane, least significant group first.
struct QuadShape {
    uint8_t shuffle[16];
    uint32_t half[4];  // per lane: the sign bit of its length, 1 << (7 x length - 1)
    uint32_t bytes;
};

constexpr unsigned QuadCode(const unsigned len[4]) {
    return (len[0] - 1) + 3 * (len[1] - 1) + 9 * (len[2] - 1) + 27 * (len[3] - 1);
}

constexpr std::array<QuadShape, 81> MakeQuadShapes() {
    std::array<QuadShape, 81> t{};
    for (unsigned code = 0; code < 81; ++code) {
        unsigned len[4] = {code % 3 + 1, code / 3 % 3 + 1, code / 9 % 3 + 1, code / 27 + 1};
        QuadShape& q = t[code];
        unsigned start = 0;
        for (unsigned j = 0; j < 4; ++j) {
            for (unsigned b = 0; b < 4; ++b) q.shuffle[4 * j + b] = uint8_t(b < len[j] ? start + len[j] - 1 - b : 0x80);
            q.half[j] = uint32_t(1) << (7 * len[j] - 1);
            start += len[j];
        }
        q.bytes = start;
    }
    return t;
}

// Shape of each pattern of end bits in twelve bytes; 0xFF when they do not
// start with four integers of at most three bytes.
constexpr std::array<uint8_t, 4096> MakeQuadCodes() {
    std::array<uint8_t, 4096> t{};
    for (unsigned m = 0; m < 4096; ++m) {
        unsigned len[4] = {0, 0, 0, 0};
        unsigned at = 0;
        bool ok = true;
        for (unsigned j = 0; j < 4 && ok; ++j) {
            unsigned e = at;
            while (e < 12 && !((m >> e) & 1)) ++e;
            if (e >= 12 || e - at + 1 > 3)
                ok = false;
            else
                len[j] = e - at + 1, at = e + 1;
        }
        t[m] = ok ? uint8_t(QuadCode(len)) : uint8_t(0xFF);
    }
    return t;
}

alignas(64) constexpr std::array<QuadShape, 81> kQuadShapes = MakeQuadShapes();
constexpr std::array<uint8_t, 4096> kQuadCodes = MakeQuadCodes();

// Bit i set when byte p[i] ends an integer, for 32 and for 64 bytes.
QF_SIMD __attribute__((always_inline)) inline uint32_t EndBits32(const uint8_t* p) {
    return uint32_t(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
}
QF_SIMD __attribute__((always_inline)) inline uint64_t EndBits64(const uint8_t* p) {
    return uint64_t(EndBits32(p)) | (uint64_t(EndBits32(p + 32)) << 32);
}

// Reads an integer stream four integers at a time. The end bits of the next
// 64 bytes are kept as a mask, moved on 32 bytes at a time, so that finding
// where the next four integers start waits only for a few bit operations,
// not for a load and a table. Needs 64 bytes past the furthest integer read.
struct QuadCursor {
    const uint8_t* p;
    uint64_t q;
    uint64_t base;
    uint64_t ends;

    QF_SIMD QuadCursor(const uint8_t* bytes, uint64_t at) : p(bytes), q(at), base(at), ends(EndBits64(bytes + at)) {}

    // Moves the window on, in steps of 32 bytes (its loads do not wait for
    // q), until q is at most 32 bytes into it.
    QF_SIMD __attribute__((always_inline)) void Slide() {
        while (q - base > 32) {
            base += 32;
            ends = (ends >> 32) | (uint64_t(EndBits32(p + base + 32)) << 32);
        }
    }

    // The next four integers as 32-bit lanes; false, with nothing read, when
    // they are not all of one to three bytes. q must be at most 52 bytes into
    // the window: one Slide serves two reads.
    QF_SIMD __attribute__((always_inline)) bool Quad(__m128i* out) {
        const uint64_t e = ends >> (q - base);
        const unsigned code = kQuadCodes[e & 0xFFF];
        if (code == 0xFF) return false;
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + q));
        uint64_t e4 = e & (e - 1);
        e4 &= e4 - 1;
        e4 &= e4 - 1;
        q += uint64_t(__builtin_ctzll(e4)) + 1;  // past the fourth end byte
        const QuadShape& sh = kQuadShapes[code];
        // Pairs of groups into 14 bits, then pairs of those into 28. An
        // integer's last byte, which the shuffle puts lowest in its lane, always
        // has bit 7 set: taken as a signed byte it is its group less 128, which
        // is added back once per lane.
        const __m128i y = _mm_shuffle_epi8(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sh.shuffle)));
        const __m128i w = _mm_maddubs_epi16(_mm_set1_epi16(0x8001), y);  // bytes: x 1 and x 128
        const __m128i v = _mm_add_epi32(_mm_madd_epi16(w, _mm_set1_epi32(0x40000001)), _mm_set1_epi32(128));
        // Sign-extended from the top group's bit 6: (v ^ half) - half.
        const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sh.half));
        *out = _mm_sub_epi32(_mm_xor_si128(v, half), half);
        return true;
    }
};

// Adds the column's base to four values and stores them in the next four
// records of `m` (present records, lowest first).
template <typename T>
QF_SIMD __attribute__((always_inline)) inline void StoreQuad(__m128i v, T v0, uint64_t* m, uint8_t* f, uint64_t s) {
    uint64_t w = *m;
    const uint64_t r0 = uint64_t(__builtin_ctzll(w));
    w &= w - 1;
    const uint64_t r1 = uint64_t(__builtin_ctzll(w));
    w &= w - 1;
    const uint64_t r2 = uint64_t(__builtin_ctzll(w));
    w &= w - 1;
    const uint64_t r3 = uint64_t(__builtin_ctzll(w));
    *m = w & (w - 1);
    if constexpr (sizeof(T) == 4) {
        const __m128i x = _mm_add_epi32(v, _mm_set1_epi32(int32_t(v0)));
        Store32(f + r0 * s, uint32_t(_mm_cvtsi128_si32(x)));
        Store32(f + r1 * s, uint32_t(_mm_extract_epi32(x, 1)));
        Store32(f + r2 * s, uint32_t(_mm_extract_epi32(x, 2)));
        Store32(f + r3 * s, uint32_t(_mm_extract_epi32(x, 3)));
    } else {
        const __m128i sign = _mm_srai_epi32(v, 31);
        const __m128i b = _mm_set1_epi64x(int64_t(v0));
        const __m128i lo = _mm_add_epi64(_mm_unpacklo_epi32(v, sign), b);
        const __m128i hi = _mm_add_epi64(_mm_unpackhi_epi32(v, sign), b);
        Store64(f + r0 * s, uint64_t(_mm_cvtsi128_si64(lo)));
        Store64(f + r1 * s, uint64_t(_mm_extract_epi64(lo, 1)));
        Store64(f + r2 * s, uint64_t(_mm_extract_epi64(hi, 0)));
        Store64(f + r3 * s, uint64_t(_mm_extract_epi64(hi, 1)));
    }
}

// The present records of `m` among the 64 records from f: their integers are
// read four at a time where they allow it. Needs MaxBytes x 64 + 64 bytes at
// *pos.
template <typename T, unsigned MaxBytes>
QF_SIMD bool PresentRunQuad(const uint8_t* p, uint64_t* pos, uint64_t m, T v0, uint8_t* f, uint64_t s) {
    unsigned left = unsigned(__builtin_popcountll(m));
    QuadCursor c(p, *pos);
    while (left >= 4) {
        __m128i v;
        c.Slide();
        if (c.Quad(&v)) {
            StoreQuad<T>(v, v0, &m, f, s);
            left -= 4;
            if (left >= 4 && c.Quad(&v)) {
                StoreQuad<T>(v, v0, &m, f, s);
                left -= 4;
            }
            continue;
        }
        int64_t x;
        if (!ReadOne<MaxBytes>(p, &c.q, &x)) return false;
        StoreField<T>(f + uint64_t(__builtin_ctzll(m)) * s, T(v0 + T(x)));
        m &= m - 1;
        --left;
    }
    for (; m; m &= m - 1) {
        int64_t x;
        if (!ReadOne<MaxBytes>(p, &c.q, &x)) return false;
        StoreField<T>(f + uint64_t(__builtin_ctzll(m)) * s, T(v0 + T(x)));
    }
    *pos = c.q;
    return true;
}

#endif

std::atomic<bool> g_forceScalar{false};

// Up to 64 records of an integer column from f: present ones (bits of pw)
// get the base v0 plus their integer, absent ones all ones.
template <typename T, unsigned MaxBytes>
inline bool IntegerRun(VarReader& vr, bool quad, uint64_t pw, unsigned n, T v0, uint8_t* f, uint64_t s) {
    const uint64_t live = n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
    pw &= live;
    for (uint64_t a = ~pw & live; a; a &= a - 1) StoreField<T>(f + uint64_t(std::countr_zero(a)) * s, T(~T(0)));
    if (vr.len - vr.pos >= 64 * MaxBytes + 64) {
#if defined(QF_QUAD_INTS)
        if (quad) return PresentRunQuad<T, MaxBytes>(vr.p, &vr.pos, pw, v0, f, s);
#else
        (void)quad;
#endif
        for (; pw; pw &= pw - 1) {
            int64_t x;
            if (!ReadOne<MaxBytes>(vr.p, &vr.pos, &x)) return false;
            StoreField<T>(f + uint64_t(std::countr_zero(pw)) * s, T(v0 + T(x)));
        }
        return true;
    }
    // Near the end of the stream every integer is read with its own checks.
    for (; pw; pw &= pw - 1) {
        using S = std::make_signed_t<T>;
        S d = 0;
        bool ok;
        if constexpr (sizeof(T) == 8)
            ok = vr.S64(&d);
        else
            ok = vr.S32(&d);
        if (!ok) return false;
        StoreField<T>(f + uint64_t(std::countr_zero(pw)) * s, T(v0 + T(d)));
    }
    return true;
}

#if defined(__SSE2__)
// Bit i set when p[i] is zero, for 32 bytes.
inline uint32_t ZeroMask32(const uint8_t* p) {
    const __m128i z = _mm_setzero_si128();
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    return uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, z))) |
           (uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(b, z))) << 16);
}

// Row n: n bytes of all ones, then zeros.
constexpr std::array<std::array<uint8_t, 16>, 17> MakeLeadBytes() {
    std::array<std::array<uint8_t, 16>, 17> t{};
    for (unsigned n = 0; n <= 16; ++n)
        for (unsigned i = 0; i < 16; ++i) t[n][i] = i < n ? 0xFF : 0;
    return t;
}
alignas(16) constexpr std::array<std::array<uint8_t, 16>, 17> kLeadBytesTable = MakeLeadBytes();

// Stores the first `take` of the 16 bytes x (the rest of the field zero)
// into a field of width w <= 16.
inline void StoreTextField(uint8_t* f, unsigned w, __m128i x, unsigned take) {
    const __m128i y = _mm_and_si128(x, _mm_load_si128(reinterpret_cast<const __m128i*>(kLeadBytesTable[take].data())));
    if (w == 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(f), y);
    } else if (w == 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(f), y);
    } else {
        alignas(16) uint8_t tmp[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(tmp), y);
        std::memcpy(f, tmp, w);
    }
}
#endif

// A text column: each present record's text runs up to and including a zero
// within the width (the rest of the field stays zero), or fills the width.
bool TextColumn(VarReader& vr, const uint8_t* bits, uint64_t bit, uint64_t R, unsigned w, uint8_t* col, uint64_t s) {
#if defined(__SSE2__)
    bool win = false;
    uint64_t zbase = 0, zeros = 0;
#endif
    for (uint64_t r = 0; r < R; ++r, ++bit) {
        uint8_t* f = col + r * s;
        if (!((bits[bit >> 3] >> (bit & 7)) & 1)) {
            std::memset(f, 0xFF, w);
            continue;
        }
#if defined(__SSE2__)
        if (w <= 16) {
            // The zero bytes of the next 64 bytes are kept as a bit mask, moved on
            // 32 bytes at a time, so that where the next text starts waits only for
            // a few bit operations, not for a load.
            while (win && vr.pos - zbase > 32) {
                if (vr.len - zbase < 96) {
                    win = false;
                    break;
                }
                zbase += 32;
                zeros = (zeros >> 32) | (uint64_t(ZeroMask32(vr.p + zbase + 32)) << 32);
            }
            if (!win && vr.len - vr.pos >= 64) {
                win = true;
                zbase = vr.pos;
                zeros = uint64_t(ZeroMask32(vr.p + zbase)) | (uint64_t(ZeroMask32(vr.p + zbase + 32)) << 32);
            }
            if (win) {
                // vr.pos - zbase is at most 32: the 16 bytes at vr.pos lie in the window.
                const unsigned z = unsigned(zeros >> (vr.pos - zbase)) & ((1u << w) - 1);
                const unsigned take = z ? unsigned(std::countr_zero(z)) + 1 : w;
                StoreTextField(f, w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(vr.p + vr.pos)), take);
                vr.pos += take;
                continue;
            }
            if (vr.len - vr.pos >= 16) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(vr.p + vr.pos));
                const unsigned z =
                    unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128()))) & ((1u << w) - 1);
                const unsigned take = z ? unsigned(std::countr_zero(z)) + 1 : w;
                StoreTextField(f, w, x, take);
                vr.pos += take;
                continue;
            }
        }
#endif
        const uint64_t room = std::min<uint64_t>(w, vr.len - vr.pos);
        const void* z = std::memchr(vr.p + vr.pos, 0, room);
        const uint64_t take = z ? uint64_t(static_cast<const uint8_t*>(z) - (vr.p + vr.pos)) + 1 : room;
        if (z == nullptr && room < w) return false;
        std::memcpy(f, vr.p + vr.pos, take);
        if (take < w) std::memset(f + take, 0, w - take);
        vr.pos += take;
    }
    return true;
}

// The number of set bits among `count` bits of the bitmap from bit `at`.
QF_POPCNT_CLONES
uint64_t CountPresent(const uint8_t* bits, uint64_t bytes, uint64_t at, uint64_t count) {
    uint64_t k = 0;
    for (; count >= 64; count -= 64, at += 64) k += uint64_t(std::popcount(PresenceWord(bits, bytes, at)));
    if (count) k += uint64_t(std::popcount(PresenceWord(bits, bytes, at) & ((uint64_t(1) << count) - 1)));
    return k;
}

// An integer column whose records after the first are read tile by tile.
struct IntColumn {
    uint8_t* col;  // the field in record 0
    uint64_t bit;  // record 0's presence bit
    uint64_t pos;  // its integers after record 0's
    uint64_t v0;   // record 0's value, the base of the others
    bool wide;     // 64-bit
};

// Records per tile: each integer column's presence bits of a tile are one
// word, and a tile of records stays in the first-level cache while all its
// columns are written.
constexpr uint64_t kTileRecords = 64;

// Kind 0x10: the bitmap length M behind its n integer bytes and the
// uncompressed length of the snappy stream after it, checked against the
// records before anything is allocated.
int SnappyShape(const uint8_t* in, int64_t avail, uint64_t R, uint64_t s, uint64_t C, int* n, int32_t* M,
                size_t* ulen) {
    *n = TL_DecodeVarInt32(in, avail, M);
    if (*n < 1 || *M < 0) return -5;
    // One presence bit per field.
    if (uint64_t(*M) < (C * R + 7) / 8) return -5;
    const size_t zlen = size_t(avail - *n);
    if (TL_SnappyGetUncompressedLength(in + *n, zlen, ulen) != 0) return -5;
    // Nothing legitimate decompresses to more than the bitmap, ten bytes per
    // value and the raw records.
    if (*ulen < uint64_t(*M) || *ulen > uint64_t(*M) + 11 * C * R + R * s) return -5;
    // M is the block's own word, so that bound alone still lets a few bytes
    // ask for gigabytes. No snappy element yields more than 64 bytes from 3.
    if (*ulen > uint64_t(zlen) * 22 + 64) return -5;
    return 0;
}

// Kind 0x10: a presence bitmap and values, snappy-compressed; later records
// are relative to the first record's value of their column. The stream holds
// one column after another; the records are written a tile at a time, each
// integer column read from where its own integers stand, so that every
// record is written while it is in the cache rather than once per column.
int SnappyColumns(const uint8_t* in, int64_t avail, const QfWorkTable& t, uint8_t* dst) {
    const uint64_t R = t.records, s = t.recordSize, C = t.columns.size();
    int n = 0;
    int32_t M = 0;
    size_t ulen = 0;
    if (SnappyShape(in, avail, R, s, C, &n, &M, &ulen) != 0) return -5;
    std::vector<uint64_t> offs;
    if (!ColumnOffsets(t, &offs)) return -5;
    const uint8_t* z = in + n;
    const size_t zlen = size_t(avail - n);
    std::unique_ptr<uint8_t[]> u(new (std::nothrow) uint8_t[ulen ? ulen : 1]);
    if (!u) return -5;
    size_t got = ulen;
    if (TL_SnappyUncompress(z, zlen, u.get(), &got) != 0 || got != ulen) return -5;
    // Bytes of the records that no column covers read as zero.
    const uint64_t covered = C ? offs[C - 1] + t.columns[C - 1].width : 0;
    if (covered < s)
        for (uint64_t r = 0; r < R; ++r) std::memset(dst + r * s + covered, 0, s - covered);
    if (R == 0) return 0;
    VarReader vr{u.get(), ulen, uint64_t(M)};
    const uint8_t* bits = u.get();
    const auto present = [bits](uint64_t b) { return ((bits[b >> 3] >> (b & 7)) & 1) != 0; };

    // First the stream column by column: text and raw columns are written
    // whole; integer columns get record 0 written and their other integers
    // only stepped over, to find where the next column starts.
    const bool quad = Cpu().avx2 && Cpu().bmi && !g_forceScalar.load(std::memory_order_relaxed);
    std::vector<IntColumn> ints;
    ints.reserve(C);
    for (uint64_t c = 0; c < C; ++c) {
        const unsigned w = t.columns[c].width;
        const uint16_t kind = t.columns[c].kind;
        uint8_t* col = dst + offs[c];
        const uint64_t bit = c * R;
        const bool wide = (kind == QF_KIND_PACKED64 || kind == 0x5000) && w == 8;
        if (wide || ((kind == QF_KIND_INT32 || kind == 0x4000 || kind == QF_KIND_PACKED32) && w == 4)) {
            uint64_t v0 = wide ? ~uint64_t(0) : ~uint32_t(0);
            if (present(bit)) {
                if (kind == QF_KIND_PACKED64) {
                    if (vr.pos >= vr.len) return -5;
                    const uint64_t top = vr.p[vr.pos++];
                    int64_t rest = 0;
                    if (!vr.S64(&rest)) return -5;
                    v0 = (top << 56) | (uint64_t(rest) & 0x00FFFFFFFFFFFFFFull);
                } else if (wide) {
                    int64_t d = 0;
                    if (!vr.S64(&d)) return -5;
                    v0 = uint64_t(d);
                } else {
                    int32_t d = 0;
                    if (!vr.S32(&d)) return -5;
                    v0 = uint32_t(d);
                }
            }
            if (wide)
                Store64(col, v0);
            else
                Store32(col, uint32_t(v0));
            ints.push_back({col, bit, vr.pos, v0, wide});
            // The integers of records 1 to R-1: one per present bit.
            const uint64_t k = CountPresent(bits, uint64_t(M), bit + 1, R - 1);
            if (!SkipInts(vr.p, vr.len, &vr.pos, k)) return -5;
        } else if (kind == QF_KIND_CODE || kind == QF_KIND_TEXT) {
            if (!TextColumn(vr, bits, bit, R, w, col, s)) return -5;
        } else {
            for (uint64_t r = 0; r < R; ++r) {
                uint8_t* f = col + r * s;
                if (!present(bit + r)) {
                    std::memset(f, 0xFF, w);
                    continue;
                }
                if (w > vr.len - vr.pos) return -5;
                std::memcpy(f, vr.p + vr.pos, w);
                vr.pos += w;
            }
        }
    }

    // Then records 1 to R-1 a tile at a time.
    for (uint64_t r = 1; r < R; r += kTileRecords) {
        const unsigned cnt = unsigned(std::min<uint64_t>(kTileRecords, R - r));
        for (IntColumn& ic : ints) {
            VarReader cr{vr.p, vr.len, ic.pos};
            const uint64_t pw = PresenceWord(bits, uint64_t(M), ic.bit + r);
            uint8_t* f = ic.col + r * s;
            const bool ok = ic.wide ? IntegerRun<uint64_t, 10>(cr, quad, pw, cnt, ic.v0, f, s)
                                    : IntegerRun<uint32_t, 5>(cr, quad, pw, cnt, uint32_t(ic.v0), f, s);
            if (!ok) return -5;
            ic.pos = cr.pos;
        }
    }
    return 0;
}

// The transposed form is a bit matrix of 8s planes by R records (plane p, the
// bit k of byte j with p = 8j + k, holds bit r at stream bit p x R + r); the
// records are the same matrix the other way round, record r holding bit p at
// bit p of its bytes. It is turned over in squares of 64 planes (eight record
// bytes) by 64 records: the 64 words of a square are loaded, transposed as a
// 64x64 bit matrix, and each record gets its eight bytes in one store. N
// squares side by side (N lanes of a vector: records r .. r + 64N - 1) share
// every instruction.
template <unsigned N>
struct Square {
    typedef uint64_t V __attribute__((vector_size(8 * N)));
    V w[64];

    // Stream bits [at, at + 64N) into lane words; bytes at or past `total`
    // are never read (a block whose last bits end the stream is read through a
    // copy).
    __attribute__((always_inline)) static void Load(V* out, const uint8_t* src, uint64_t total, uint64_t at) {
        const uint64_t i = at >> 3;
        const unsigned sh = unsigned(at & 7);
        V a, b;
        if (i + 8 * N + 1 <= total) {
            std::memcpy(&a, src + i, sizeof a);
            if (sh == 0) {
                *out = a;
                return;
            }
            std::memcpy(&b, src + i + 1, sizeof b);
        } else {
            uint8_t tmp[8 * N + 1] = {};
            std::memcpy(tmp, src + i, std::min<uint64_t>(total - i, 8 * N + 1));
            std::memcpy(&a, tmp, sizeof a);
            std::memcpy(&b, tmp + 1, sizeof b);
        }
        // Lane l is bytes i + 8l .. i + 8l + 8 shifted down by sh: the low bytes
        // from a, the ninth from b (the bits both hold are the same).
        *out = (a >> sh) | (b << (8 - sh));
    }

    // Swaps the off-diagonal h x h blocks of every 2h x 2h block: row k's high
    // half of each 2h-bit group with row k + h's low half.
    template <unsigned h>
    __attribute__((always_inline)) void Stage(uint64_t mask) {
        for (unsigned i = 0; i < 32; ++i) {
            const unsigned k = (i / h) * 2 * h + i % h;  // the rows without bit h
            const V t = ((w[k] >> h) ^ w[k + h]) & mask;
            w[k + h] ^= t;
            w[k] ^= t << h;
        }
    }

    // Records r .. r + count - 1 (count <= 64N), record bytes j .. j + bytes - 1
    // (bytes <= 8).
    __attribute__((always_inline)) void Run(const uint8_t* src, uint64_t R, uint64_t s, uint64_t r, unsigned count,
                                            uint64_t j, unsigned bytes, uint8_t* dst) {
        const uint64_t total = R * s;
        for (unsigned q = 0; q < 64; ++q) {
            if (q < 8 * bytes)
                Load(&w[q], src, total, (8 * j + q) * R + r);
            else
                w[q] = V{};
        }
        Stage<32>(0x00000000FFFFFFFFull);
        Stage<16>(0x0000FFFF0000FFFFull);
        Stage<8>(0x00FF00FF00FF00FFull);
        Stage<4>(0x0F0F0F0F0F0F0F0Full);
        Stage<2>(0x3333333333333333ull);
        Stage<1>(0x5555555555555555ull);
        // Word i of lane l now holds the bytes of record r + 64l + i.
        uint8_t* out = dst + r * s + j;
        for (unsigned l = 0; l < N; ++l)
            for (unsigned i = 0; i < 64 && 64 * l + i < count; ++i) {
                uint64_t v;
                std::memcpy(&v, reinterpret_cast<const uint8_t*>(&w[i]) + 8 * l, 8);
                if (bytes == 8)
                    std::memcpy(out + (64 * l + i) * s, &v, 8);
                else
                    std::memcpy(out + (64 * l + i) * s, &v, bytes);
            }
    }
};

// Records from r on, 64N at a time, while whole groups of 64N remain; every
// byte of a group's records is written before the next group (they stay in
// cache). Returns the first record not done.
template <unsigned N>
__attribute__((always_inline)) inline uint64_t UntransposeGroups(const uint8_t* src, uint64_t R, uint64_t s, uint64_t r,
                                                                 uint8_t* dst) {
    Square<N> sq;
    for (; R - r >= 64 * N; r += 64 * N) {
        for (uint64_t j = 0; j < s; j += 8)
            sq.Run(src, R, s, r, 64 * N, j, unsigned(std::min<uint64_t>(8, s - j)), dst);
    }
    return r;
}

uint64_t UntransposeBy2(const uint8_t* src, uint64_t R, uint64_t s, uint64_t r, uint8_t* dst) {
    return UntransposeGroups<2>(src, R, s, r, dst);
}

#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("avx2"))) uint64_t UntransposeBy4(const uint8_t* src, uint64_t R, uint64_t s, uint64_t r,
                                                        uint8_t* dst) {
    return UntransposeGroups<4>(src, R, s, r, dst);
}
__attribute__((target("avx512f"))) uint64_t UntransposeBy8(const uint8_t* src, uint64_t R, uint64_t s, uint64_t r,
                                                           uint8_t* dst) {
    return UntransposeGroups<8>(src, R, s, r, dst);
}
#else
uint64_t UntransposeBy4(const uint8_t*, uint64_t, uint64_t, uint64_t r, uint8_t*) { return r; }
uint64_t UntransposeBy8(const uint8_t*, uint64_t, uint64_t, uint64_t r, uint8_t*) { return r; }
#endif

std::atomic<unsigned> g_transposeLanes{8};

}  // namespace

unsigned QF_LimitTransposeLanes(unsigned lanes) { return g_transposeLanes.exchange(lanes); }

void QF_Untranspose(const uint8_t* src, uint32_t records, uint32_t size, uint8_t* dst) {
    const uint64_t R = records, s = size;
    if (R * s == 0) return;
    const unsigned lanes = g_transposeLanes.load(std::memory_order_relaxed);
    uint64_t r = 0;
    if (lanes >= 8 && Cpu().avx512) r = UntransposeBy8(src, R, s, r, dst);
    if (lanes >= 4 && Cpu().avx2) r = UntransposeBy4(src, R, s, r, dst);
    if (lanes >= 2) r = UntransposeBy2(src, R, s, r, dst);
    // The rest 64 records at a time, the last square only partly stored.
    Square<1> sq;
    for (; r < R; r += 64) {
        const unsigned count = unsigned(std::min<uint64_t>(64, R - r));
        for (uint64_t j = 0; j < s; j += 8) sq.Run(src, R, s, r, count, j, unsigned(std::min<uint64_t>(8, s - j)), dst);
    }
}

int QF_RleDecode(const uint8_t* in, uint64_t len, uint64_t maxOut, std::vector<uint8_t>* out) {
    uint64_t N = 0;
    if (RleLength(in, len, maxOut, &N) != 0) return -5;
    out->resize(N);
    return RleTokens(in + 4, len - 4, N, out->data());
}

int QF_CheckBlockShape(uint32_t kind, const uint8_t* block, int64_t avail, uint64_t records, uint64_t recordSize,
                       uint64_t columns) {
    const bool delta = kind == QF_BLOCK_DELTA7 || kind == QF_BLOCK_DELTA;
    if (kind != QF_BLOCK_RLE_TRANSPOSE && kind != QF_BLOCK_SNAPPY && !delta) return 0;
    // As QF_DecodeBlock answers an empty block.
    if (block == nullptr) return -1;
    if (avail <= 0) return delta ? -5 : -1;
    int n = 0;
    int32_t v = 0;
    switch (kind) {
    case QF_BLOCK_RLE_TRANSPOSE: {
        uint64_t N = 0;
        return Kind2Shape(block, avail, records * recordSize, &v, &N);
    }
    case QF_BLOCK_DELTA7:
    case QF_BLOCK_DELTA:
        return DeltaShape(block, avail, records, columns, &n, &v);
    case QF_BLOCK_SNAPPY: {
        size_t ulen = 0;
        return SnappyShape(block, avail, records, recordSize, columns, &n, &v, &ulen);
    }
    default:
        return 0;
    }
}

bool QF_ForceScalarIntegers(bool force) { return g_forceScalar.exchange(force); }

int QF_DecodeBlock(uint32_t kind, const uint8_t* block, int64_t avail, const QfWorkTable& t, uint8_t* dst,
                   uint64_t cap) {
    if (block == nullptr) return -1;
    if (avail <= 0 && kind != QF_BLOCK_DELTA7 && kind != QF_BLOCK_DELTA) return -1;
    if (avail <= 0) return -5;
    const uint64_t area = uint64_t(t.records) * t.recordSize;
    if (cap < area || (dst == nullptr && area)) return -2;
    switch (kind) {
    case QF_BLOCK_RAW:
        if (uint64_t(avail) < area) return -5;
        std::memmove(dst, block, area);
        return static_cast<int>(std::min<uint64_t>(area, 0x7FFFFFFF));
    case QF_BLOCK_TRANSPOSE:
        return Transpose(block, avail, t, dst);
    case QF_BLOCK_RLE_TRANSPOSE:
        return Kind2(block, avail, t, dst);
    case QF_BLOCK_DELTA7:
        return DeltaColumns(true, block, avail, t, dst);
    case QF_BLOCK_DELTA:
        return DeltaColumns(false, block, avail, t, dst);
    case QF_BLOCK_SNAPPY:
        return SnappyColumns(block, avail, t, dst);
    default:
        // Kind 3's per-field section has no defined layout; "hd4.1" files are
        // refused before their data is reached while no column hook is set.
        return -3;
    }
}
