#include "framework/tl_numcodec.h"

#include <cmath>
#include <cstring>

namespace {

// Powers of ten for every value the 4-bit power field of the 64-bit form can
// hold; the formats define only 10^0..10^7, the rest merely must not fault.
constexpr uint64_t kPow10[16] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
    100000000ull, 1000000000ull, 10000000000ull, 100000000000ull,
    1000000000000ull, 10000000000000ull, 100000000000000ull, 1000000000000000ull};

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

double TL_UnpackDouble32(const void* packed) {
  uint32_t v = LoadLE<uint32_t>(packed);
  if (v == 0x80000000u || v == 0xFFFFFFFFu) return -0.0;
  double mag = static_cast<double>(v & 0x07FFFFFFu);
  double p = static_cast<double>(kPow10[(v >> 28) & 7]);
  double d = (v & 0x80000000u) ? mag / p : mag * p;
  return (v & 0x08000000u) ? -d : d;
}

double TL_UnpackDouble64(const void* packed) {
  uint64_t v = LoadLE<uint64_t>(packed);
  if (v == 0x8000000000000000ull || v == ~0ull) return -0.0;
  double mag = static_cast<double>(v & 0x03FFFFFFFFFFFFFFull);
  double p = static_cast<double>(kPow10[(v >> 59) & 15]);
  double d = (v >> 63) ? mag / p : mag * p;
  return ((v >> 58) & 1) ? -d : d;
}

int64_t TL_UnpackInt64(const void* packed) {
  constexpr int64_t kNoValue = INT64_MIN;
  uint64_t v = LoadLE<uint64_t>(packed);
  if (v == 0x8000000000000000ull || v == ~0ull) return kNoValue;
  uint64_t mag = v & 0x03FFFFFFFFFFFFFFull;
  uint64_t p = kPow10[(v >> 59) & 15];
  uint64_t r;
  if (v >> 63) {
    r = (mag + p / 2) / p;  // mag < 2^58 and p/2 < 2^49: no wrap
  } else {
    if (mag != 0 && p > static_cast<uint64_t>(INT64_MAX) / mag) return kNoValue;
    r = mag * p;
  }
  int64_t s = static_cast<int64_t>(r);
  return ((v >> 58) & 1) ? -s : s;
}

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
