#include "framework/tl_base64.h"

#include <algorithm>

#include "framework/tl_buffer.h"

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

constexpr std::uint64_t EncodedSize(std::uint64_t length) { return (length + 2) / 3 * 4; }

// The coder behind both front ends. charOf maps a 6-bit value to its
// character; the caller has checked that out holds EncodedSize(length)
// characters. Returns the number written.
template <typename CharOf>
std::uint64_t EncodeCore(const std::uint8_t* in, std::uint64_t length, char* out, CharOf charOf, char pad) {
    std::uint64_t o = 0;
    std::uint64_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        out[o++] = charOf((v >> 18) & 63);
        out[o++] = charOf((v >> 12) & 63);
        out[o++] = charOf((v >> 6) & 63);
        out[o++] = charOf(v & 63);
    }
    const std::uint64_t rest = length - i;
    if (rest == 0) return o;
    std::uint32_t v = std::uint32_t{in[i]} << 16;
    if (rest == 2) v |= std::uint32_t{in[i + 1]} << 8;
    out[o++] = charOf((v >> 18) & 63);
    out[o++] = charOf((v >> 12) & 63);
    out[o++] = rest == 2 ? charOf((v >> 6) & 63) : pad;
    out[o++] = pad;
    return o;
}

// valueOf maps a character to its 6-bit value (above 63 outside the
// alphabet); the caller has checked that out holds length + 1 bytes. Returns
// the number of bytes decoded; a zero byte follows them.
template <typename ValueOf>
std::uint64_t DecodeCore(const char* text, std::uint64_t length, std::uint8_t* out, ValueOf valueOf, char pad) {
    if (text == nullptr) length = 0;
    std::uint64_t o = 0;
    std::uint32_t group = 0;  // bits gathered so far
    unsigned count = 0;       // characters in the current group
    bool malformed = false;
    for (std::uint64_t i = 0; i < length; ++i) {
        char ch = text[i];
        if (ch == '\0') break;
        if (ch == pad) {
            malformed = count == 1;
            break;
        }
        if (ch == ' ') ch = '+';
        const std::uint8_t v = valueOf(ch);
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
        // Nothing of a malformed text is left behind in the output.
        for (std::uint64_t k = 0; k < o; ++k) out[k] = 0;
        o = 0;
    } else if (count == 2) {
        out[o++] = static_cast<std::uint8_t>(group >> 4);
    } else if (count == 3) {
        out[o++] = static_cast<std::uint8_t>(group >> 10);
        out[o++] = static_cast<std::uint8_t>(group >> 2);
    }
    out[o] = 0;
    return o;
}

}  // namespace

char CBase64::CharOf(unsigned index) const { return kAlphabet[index & 63]; }

std::uint8_t CBase64::ValueOf(unsigned char ch) const { return kReverse.value[ch]; }

std::uint32_t CBase64::Encode(const std::uint8_t* in, std::int32_t length, char* out, std::int32_t capacity) {
    if (length < 0 || (in == nullptr && length != 0)) return kError;
    const std::uint64_t needed = EncodedSize(static_cast<std::uint64_t>(length));
    if (out == nullptr) return static_cast<std::uint32_t>(needed);
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) < needed) return kError;
    const auto charOf = [this](unsigned v) { return CharOf(v); };
    return static_cast<std::uint32_t>(EncodeCore(in, static_cast<std::uint64_t>(length), out, charOf, PadChar()));
}

std::uint32_t CBase64::Decode(const char* text, std::uint32_t length, std::uint8_t* out, std::int32_t capacity) {
    const std::uint64_t needed = std::uint64_t{length} + 1;
    if (out == nullptr) return needed > 0xFFFFFFFEull ? kError : static_cast<std::uint32_t>(needed);
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) < needed) return kError;
    const auto valueOf = [this](char ch) { return ValueOf(static_cast<unsigned char>(ch)); };
    return static_cast<std::uint32_t>(DecodeCore(text, length, out, valueOf, PadChar()));
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

namespace corvane {

char CTLBase64::EncodeChar(uint32_t value) const { return kAlphabet[value & 63]; }

uint8_t CTLBase64::DecodeChar(char ch) const { return kReverse.value[static_cast<unsigned char>(ch)]; }

int32_t CTLBase64::Encode(const void* in, int32_t length, char* out, int32_t size) {
    if (length < 0 || (in == nullptr && length != 0)) return -1;
    // Computed in 64 bits: lengths above about 1.6 GB give texts that no
    // int32_t can count.
    const uint64_t needed = EncodedSize(static_cast<uint64_t>(length));
    if (needed > INT32_MAX) return -1;
    if (out == nullptr) return static_cast<int32_t>(needed);
    if (size < 0 || static_cast<uint64_t>(size) < needed) return -1;
    const auto charOf = [this](uint32_t v) { return EncodeChar(v); };
    return static_cast<int32_t>(
        EncodeCore(static_cast<const uint8_t*>(in), static_cast<uint64_t>(length), out, charOf, PadChar()));
}

int32_t CTLBase64::Decode(const char* text, int32_t length, void* out, int32_t size) {
    if (length < 0 || length == INT32_MAX) return -1;
    const int32_t needed = length + 1;
    if (out == nullptr) return needed;
    if (size < needed) return -1;
    const auto valueOf = [this](char ch) { return DecodeChar(ch); };
    return static_cast<int32_t>(
        DecodeCore(text, static_cast<uint64_t>(length), static_cast<uint8_t*>(out), valueOf, PadChar()));
}

namespace {

// Asks the size with a null destination, converts into room made after the
// buffer's used bytes and counts what was produced. A source inside the
// buffer is copied first (making room may move the block), and never past
// the end of the block.
template <typename Convert>
int32_t ConvertToBuffer(CTLSmartBuffer& buffer, const void* source, int32_t length, Convert convert) {
    const char* block = buffer.GetData();
    const auto* from = static_cast<const char*>(source);
    std::string copy;
    if (from != nullptr && block != nullptr && from >= block && from < block + buffer.GetCapacity() && length > 0) {
        const auto room = static_cast<size_t>(block + buffer.GetCapacity() - from);
        copy.assign(from, std::min(room, static_cast<size_t>(length)));
        from = copy.data();
        length = static_cast<int32_t>(copy.size());
    }
    const int32_t size = convert(from, length, nullptr, 0);
    if (size <= 0) return size;
    char* room = buffer.Append(nullptr, static_cast<uint32_t>(size));
    if (room == nullptr) return -1;
    const int32_t produced = convert(from, length, room, size);
    // The bytes are already in the room made above: counting them never
    // moves the block.
    if (produced > 0) buffer.Extend(static_cast<uint32_t>(produced));
    return produced;
}

}  // namespace

int32_t CTLBase64::DecodeToBuffer(const char* text, int32_t length, CTLSmartBuffer& buffer) {
    return ConvertToBuffer(buffer, text, length, [this](const char* from, int32_t n, char* out, int32_t size) {
        return Decode(from, n, out, size);
    });
}

int32_t CTLBase64::EncodeToBuffer(const void* in, int32_t length, CTLSmartBuffer& buffer) {
    return ConvertToBuffer(buffer, in, length, [this](const char* from, int32_t n, char* out, int32_t size) {
        return Encode(from, n, out, size);
    });
}

}  // namespace corvane
