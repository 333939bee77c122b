// Base64 codec (RFC 4648 alphabet, "=" padding, no line breaks).
//
// CBase64 follows the size-query convention of the other coders: a null
// output asks for the size needed, a capacity below that is refused with
// 0xFFFFFFFF. Decoding reads a blank as "+" (a form-encoded "+" arrives as a
// blank) and skips characters outside the alphabet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CBase64 {
public:
    static constexpr std::uint32_t kError = 0xFFFFFFFFu;

    virtual ~CBase64() = default;

    // Decodes up to length characters (stopping at a zero byte or at "=")
    // into out, followed by a terminating zero. A null out returns length + 1;
    // a capacity below length + 1 returns kError. Returns the byte count;
    // a pad right after the first character of a group gives 0 bytes.
    virtual std::uint32_t Decode(const char* text, std::uint32_t length, std::uint8_t* out, std::int32_t capacity);

    // Encodes length bytes into out without a terminating zero. A null out
    // returns (length + 2) / 3 * 4; a smaller capacity (or a negative
    // length) returns kError. Returns the number of characters written.
    virtual std::uint32_t Encode(const std::uint8_t* in, std::int32_t length, char* out, std::int32_t capacity);

    virtual char CharOf(unsigned index) const;              // alphabet[index & 63]
    virtual std::uint8_t ValueOf(unsigned char ch) const;   // 0..63, or 0xFF outside the alphabet
    virtual char PadChar() const { return '='; }
};

// Binary-safe conveniences; a failure (allocation, size) gives an empty text.
std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);
