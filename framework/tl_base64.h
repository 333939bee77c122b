// Base64 codecs (RFC 4648 alphabet, "=" padding, no line breaks).
//
// Two front ends share one coder and its tables:
// - CBase64 follows the size-query convention of the other coders: a null
//   output asks for the size needed, a capacity below that is refused with
//   0xFFFFFFFF.
// - corvane::CTLBase64 is the framework's class: the same conventions with
//   signed results (-1 for a refusal) and forms that append to a
//   CTLSmartBuffer.
// Decoding reads a blank as "+" (a form-encoded "+" arrives as a blank) and
// skips characters outside the alphabet (line breaks of wrapped text, say).
// A pad right after the first character of a group makes the input
// malformed: the output is zeroed and 0 bytes are reported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/tl_object.h"

class CBase64 {
public:
    static constexpr std::uint32_t kError = 0xFFFFFFFFu;

    virtual ~CBase64() = default;

    // Decodes up to length characters (stopping at a zero byte or at "=")
    // into out, followed by a terminating zero. A null out returns length + 1;
    // a capacity below length + 1 returns kError. Returns the byte count.
    virtual std::uint32_t Decode(const char* text, std::uint32_t length, std::uint8_t* out, std::int32_t capacity);

    // Encodes length bytes into out without a terminating zero. A null out
    // returns (length + 2) / 3 * 4; a smaller capacity (or a negative
    // length) returns kError. Returns the number of characters written.
    virtual std::uint32_t Encode(const std::uint8_t* in, std::int32_t length, char* out, std::int32_t capacity);

    virtual char CharOf(unsigned index) const;             // alphabet[index & 63]
    virtual std::uint8_t ValueOf(unsigned char ch) const;  // 0..63, or 0xFF outside the alphabet
    virtual char PadChar() const { return '='; }
};

// Binary-safe conveniences; a failure (allocation, size) gives an empty text.
std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);

namespace corvane {

class CTLSmartBuffer;

// The framework's Base64 class; it has no data and no class record of its
// own (GetRuntimeClass answers the root's).
class CTLBase64 : public CTLObject {
public:
    CTLBase64() = default;
    ~CTLBase64() override = default;

    // Decodes up to length characters (stopping at a zero byte or "=") into
    // out and writes a zero byte after them. A null out returns length + 1;
    // a size below length + 1 (or a negative length) returns -1. Returns
    // the number of decoded bytes.
    virtual int32_t Decode(const char* text, int32_t length, void* out, int32_t size);
    // Decodes after the used bytes of buffer and counts what was decoded
    // (the zero byte after it is not counted). Returns the decoded length,
    // or -1 when the arguments are refused or the buffer cannot grow.
    virtual int32_t DecodeToBuffer(const char* text, int32_t length, CTLSmartBuffer& buffer);
    // Encodes length bytes into out, without a terminating zero. A null out
    // returns 4 * ((length + 2) / 3); a size below that, a negative length or
    // a text longer than the largest int32_t returns -1. Returns the number
    // of characters written.
    virtual int32_t Encode(const void* in, int32_t length, char* out, int32_t size);
    // Encodes after the used bytes of buffer and counts the text. Returns its
    // length, or -1 as Encode does or when the buffer cannot grow.
    virtual int32_t EncodeToBuffer(const void* in, int32_t length, CTLSmartBuffer& buffer);

    virtual char EncodeChar(uint32_t value) const;  // alphabet[value & 63]
    virtual uint8_t DecodeChar(char ch) const;      // 0..63, or 0xFF outside the alphabet
    virtual char PadChar() const { return '='; }
};

}  // namespace corvane
