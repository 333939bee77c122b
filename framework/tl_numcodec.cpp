#include "framework/tl_numcodec.h"

#include <cstring>

namespace {

template <typename T>
T LoadLE(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename U>
int DecodeVar(const uint8_t* p, int64_t avail, int maxBytes, bool isSigned, U* out) {
    if (p == nullptr || avail <= 0) return -1;
    U v = (isSigned && (p[0] & 0x40)) ? static_cast<U>(~U(0)) : U(0);
    for (int i = 0; i < maxBytes; ++i) {
        if (i >= avail) return -1;
        uint8_t b = p[i];
        v = static_cast<U>((v << 7) | U(b & 0x7F));
        if (b & 0x80) {
            *out = v;
            return i + 1;
        }
    }
    return -1;
}

}  // namespace

double TL_UnpackDouble32(const void* packed) { return TL_PackedToDouble32(LoadLE<uint32_t>(packed)); }

double TL_UnpackDouble64(const void* packed) { return TL_PackedToDouble64(LoadLE<uint64_t>(packed)); }

int64_t TL_UnpackInt64(const void* packed) { return TL_PackedToInt64(LoadLE<uint64_t>(packed)); }

int TL_DecodeVarInt32(const void* in, int64_t avail, int32_t* out) {
    uint32_t u = 0;
    int n = DecodeVar<uint32_t>(static_cast<const uint8_t*>(in), avail, 5, true, &u);
    if (n > 0 && out) *out = static_cast<int32_t>(u);
    return n;
}

int TL_DecodeVarUInt32(const void* in, int64_t avail, uint32_t* out) {
    uint32_t u = 0;
    int n = DecodeVar<uint32_t>(static_cast<const uint8_t*>(in), avail, 5, false, &u);
    if (n > 0 && out) *out = u;
    return n;
}

int TL_DecodeVarInt64(const void* in, int64_t avail, int64_t* out) {
    uint64_t u = 0;
    int n = DecodeVar<uint64_t>(static_cast<const uint8_t*>(in), avail, 10, true, &u);
    if (n > 0 && out) *out = static_cast<int64_t>(u);
    return n;
}

int TL_DecodeVarUInt64(const void* in, int64_t avail, uint64_t* out) {
    uint64_t u = 0;
    int n = DecodeVar<uint64_t>(static_cast<const uint8_t*>(in), avail, 10, false, &u);
    if (n > 0 && out) *out = u;
    return n;
}

int TL_Unpack7Bit(void* out, int outSize, const void* in, int inSize, int* outLen) {
    uint8_t* o = static_cast<uint8_t*>(out);
    const uint8_t* p = static_cast<const uint8_t*>(in);
    if (outSize < 0) outSize = 0;
    int used = 0;
    int pos = 0;
    uint32_t acc = 0;
    int bits = 0;
    while (used < inSize) {
        uint8_t b = p[used++];
        if (pos < outSize) {
            acc |= static_cast<uint32_t>(b & 0x7F) << bits;
            bits += 7;
            while (bits >= 8 && pos < outSize) {
                o[pos++] = static_cast<uint8_t>(acc & 0xFF);
                acc >>= 8;
                bits -= 8;
            }
        }
        if (b & 0x80) break;
    }
    if (bits > 0 && pos < outSize) o[pos++] = static_cast<uint8_t>(acc & 0xFF);
    while (pos > 1 && o[pos - 1] == 0) --pos;
    if (pos == 0 && outSize > 0) {
        o[0] = 0;
        pos = 1;
    }
    if (outLen) *outLen = pos;
    return used;
}
