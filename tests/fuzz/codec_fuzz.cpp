// Fuzzes the decoders of numbers and codes that quote data and host texts
// carry: packed numbers, the variable-length integers (32 and 64 bits),
// 7-bit packed texts and the run-length decoder on their own, and the
// code-list helpers (market ids and texts, index codes, code lists).
//
// Whatever the bytes, no decoder reads past what it was given; a value
// without a value reads as the no-value marker; a decoded integer written
// again in its shortest form reads back the same; a run-length output is as
// long as its stream says and never longer than allowed; public index codes
// of 000001 to 009999 survive their way to the gateway's codes and back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/tl_numcodec.h"
#include "quote/market.h"
#include "quote/qf_decode.h"
#include "quote/records_indexcode.h"
#include "session/dataclass.h"
#include "simulator/quote_writer.h"

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "codec: %s\n", what);
    std::abort();
}

bool IsNoValueMarker(double v) { return v == 0.0 && std::signbit(v); }

// Packed numbers at every offset.
void PackedNumbers(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 4 <= n; ++i) {
        uint32_t raw;
        std::memcpy(&raw, p + i, 4);
        const double d = TL_UnpackDouble32(p + i);
        if ((raw == 0x80000000u || raw == 0xFFFFFFFFu) && !IsNoValueMarker(d)) Fault("32-bit no value");
    }
    for (size_t i = 0; i + 8 <= n; ++i) {
        uint64_t raw;
        std::memcpy(&raw, p + i, 8);
        const double d = TL_UnpackDouble64(p + i);
        const int64_t v = TL_UnpackInt64(p + i);
        const bool none = raw == 0x8000000000000000ull || raw == ~0ull;
        if (none && (!IsNoValueMarker(d) || v != INT64_MIN)) Fault("64-bit no value");
    }
}

template <class T, class Decode>
void CheckVar(const uint8_t* p, size_t avail, int maxBytes, Decode decode, bool isSigned) {
    T v{};
    const int used = decode(p, int64_t(avail), &v);
    if (used < 0) return;
    if (used < 1 || used > maxBytes || size_t(used) > avail) Fault("variable-length integer length");
    static qw::Bytes again;  // kept, so that no input allocates it
    again.clear();
    if (isSigned)
        qw::PutSVar(again, int64_t(v));
    else
        qw::PutUVar(again, uint64_t(v));
    T back{};
    if (decode(again.data(), int64_t(again.size()), &back) != int(again.size()) || back != v)
        Fault("variable-length integer written again");
}

void VarIntegers(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const size_t avail = n - i;
        CheckVar<int32_t>(
            p + i, avail, 5, [](const void* in, int64_t a, int32_t* o) { return TL_DecodeVarInt32(in, a, o); }, true);
        CheckVar<uint32_t>(
            p + i, avail, 5, [](const void* in, int64_t a, uint32_t* o) { return TL_DecodeVarUInt32(in, a, o); },
            false);
        CheckVar<int64_t>(
            p + i, avail, 10, [](const void* in, int64_t a, int64_t* o) { return TL_DecodeVarInt64(in, a, o); }, true);
        CheckVar<uint64_t>(
            p + i, avail, 10, [](const void* in, int64_t a, uint64_t* o) { return TL_DecodeVarUInt64(in, a, o); },
            false);
    }
}

void Packed7Bit(const uint8_t* p, size_t n) {
    if (n < 1) return;
    const int outSize = p[0] % 40;
    std::vector<uint8_t> out(size_t(outSize) + 1, 0xEE);
    int outLen = -1;
    const int used = TL_Unpack7Bit(out.data(), outSize, p + 1, int(n - 1), &outLen);
    if (used < 0 || size_t(used) > n - 1) Fault("7-bit input used");
    if (outLen < 0 || outLen > outSize) Fault("7-bit output length");
    if (out[size_t(outSize)] != 0xEE) Fault("7-bit output past its size");
}

void RunLength(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    const uint64_t maxOut = 1u << 16;
    if (QF_RleDecode(p, n, maxOut, &out) != 0) return;
    if (n < 4) Fault("run-length stream without its length");
    const uint64_t stated = (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3];
    if (out.size() != stated || out.size() > maxOut) Fault("run-length output length");
}

// Market and code texts: the text before the first zero byte and the one
// after it.
void CodeTexts(const uint8_t* p, size_t n) {
    const std::string all(reinterpret_cast<const char*>(p), n);
    const size_t zero = all.find('\0');
    const std::string market = all.substr(0, zero);
    const std::string codes = zero == std::string::npos ? std::string() : all.substr(zero + 1);
    const std::string codesText(codes.c_str());  // as far as a C text reaches

    const uint32_t id = MarketIdFromText(market.c_str());
    char text[16];
    MarketIdToText(id, text);
    if (std::strlen(text) > 10) Fault("market id text");
    (void)MarketIdToByte(id, 0);
    (void)MarketIdToCode(id, n & 1);
    const uint32_t byteId = MarketTextToByteId(market.c_str());
    const std::string code = MarketCodeText(market.c_str(), codesText.c_str());
    if (code.compare(0, std::to_string(byteId).size(), std::to_string(byteId)) != 0) Fault("market code text");
    uint32_t wire = 0xFFFFFFFFu;
    const bool mapped = MapDataClass(n % 8, market.c_str(), (n & 8) != 0, &wire);
    if (mapped != IsValidDataClass(n % 8) || (!mapped && wire != 0xFFFFFFFFu)) Fault("data class");

    const std::string list = PublicCodeListToIndexCodes(codes);
    if (!codes.empty() && list.empty()) Fault("code list");
    const std::string pub = IndexCodeToPublicCode(codes);
    (void)pub;
    const std::string internal = PublicCodeToIndexCode(codes);
    const uint64_t n6 = LeadingDecimalValue(codes.data(), codes.size());
    if (codes.size() == 6 && n6 >= 1 && n6 <= 9999 && codes.find_first_not_of("0123456789") == std::string::npos &&
        IndexCodeToPublicCode(internal) != codes)
        Fault("index code round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly sized copies, so that a read past the input shows.
    std::vector<uint8_t> bytes(data, data + size);
    PackedNumbers(bytes.data(), bytes.size());
    VarIntegers(bytes.data(), bytes.size());
    Packed7Bit(bytes.data(), bytes.size());
    RunLength(bytes.data(), bytes.size());
    CodeTexts(bytes.data(), bytes.size());
    return 0;
}
