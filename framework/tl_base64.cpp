#include "framework/tl_base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct ReverseTable {
    std::uint8_t value[256];
    constexpr ReverseTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = 0xFF;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
};

constexpr ReverseTable kReverse;

}  // namespace

char CBase64::CharOf(unsigned index) const { return kAlphabet[index & 63]; }

std::uint8_t CBase64::ValueOf(unsigned char ch) const { return kReverse.value[ch]; }

std::uint32_t CBase64::Encode(const std::uint8_t* in, std::int32_t length, char* out, std::int32_t capacity) {
    if (length < 0 || (in == nullptr && length != 0)) return kError;
    const std::uint64_t needed = (static_cast<std::uint64_t>(length) + 2) / 3 * 4;
    if (out == nullptr) return static_cast<std::uint32_t>(needed);
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) < needed) return kError;

    const char pad = PadChar();
    std::uint64_t o = 0;
    std::int32_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        out[o++] = CharOf(v >> 18);
        out[o++] = CharOf(v >> 12);
        out[o++] = CharOf(v >> 6);
        out[o++] = CharOf(v);
    }
    const std::int32_t rest = length - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16;
        out[o++] = CharOf(v >> 18);
        out[o++] = CharOf(v >> 12);
        out[o++] = pad;
        out[o++] = pad;
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
        out[o++] = CharOf(v >> 18);
        out[o++] = CharOf(v >> 12);
        out[o++] = CharOf(v >> 6);
        out[o++] = pad;
    }
    return static_cast<std::uint32_t>(o);
}

std::uint32_t CBase64::Decode(const char* text, std::uint32_t length, std::uint8_t* out, std::int32_t capacity) {
    const std::uint64_t needed = std::uint64_t{length} + 1;
    if (out == nullptr) return needed > 0xFFFFFFFEull ? kError : static_cast<std::uint32_t>(needed);
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) < needed) return kError;
    if (text == nullptr) length = 0;

    const char pad = PadChar();
    std::uint64_t o = 0;
    std::uint32_t group = 0;  // bits gathered so far
    unsigned count = 0;       // characters in the current group
    bool malformed = false;
    for (std::uint32_t i = 0; i < length; ++i) {
        char ch = text[i];
        if (ch == '\0') break;
        if (ch == pad) {
            malformed = count == 1;
            break;
        }
        if (ch == ' ') ch = '+';
        const std::uint8_t v = ValueOf(static_cast<unsigned char>(ch));
        if (v > 63) continue;  // outside the alphabet
        group = (group << 6) | v;
        if (++count == 4) {
            out[o++] = static_cast<std::uint8_t>(group >> 16);
            out[o++] = static_cast<std::uint8_t>(group >> 8);
            out[o++] = static_cast<std::uint8_t>(group);
            group = 0;
            count = 0;
        }
    }
    if (malformed) {
        o = 0;
    } else if (count == 2) {
        out[o++] = static_cast<std::uint8_t>(group >> 4);
    } else if (count == 3) {
        out[o++] = static_cast<std::uint8_t>(group >> 10);
        out[o++] = static_cast<std::uint8_t>(group >> 2);
    }
    out[o] = 0;
    return static_cast<std::uint32_t>(o);
}

std::string Base64Encode(std::string_view bytes) {
    if (bytes.size() > 0x5FFFFFFFu) return std::string();  // the text would not fit 32 bits
    CBase64 coder;
    const auto length = static_cast<std::int32_t>(bytes.size());
    const auto* in = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::uint32_t size = coder.Encode(in, length, nullptr, 0);
    if (size == CBase64::kError || size > 0x7FFFFFFFu) return std::string();
    std::string result(size, '\0');
    const std::uint32_t written = coder.Encode(in, length, result.data(), static_cast<std::int32_t>(size));
    if (written == CBase64::kError) return std::string();
    result.resize(written);
    return result;
}

std::string Base64Decode(std::string_view text) {
    if (text.size() >= 0x7FFFFFFFu) return std::string();
    CBase64 coder;
    const auto length = static_cast<std::uint32_t>(text.size());
    const std::uint32_t size = coder.Decode(text.data(), length, nullptr, 0);
    if (size == CBase64::kError) return std::string();
    // The decoder also writes a closing zero byte, counted in size.
    std::string result(size, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(result.data());
    const std::uint32_t written = coder.Decode(text.data(), length, out, static_cast<std::int32_t>(size));
    if (written == CBase64::kError) return std::string();
    result.resize(written);
    return result;
}
