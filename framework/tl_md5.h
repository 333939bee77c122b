// MD5 digest (RFC 1321) and its lower-case hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class CTLMD5 {
public:
    CTLMD5() { Reset(); }

    void Reset();
    void Update(const void* data, std::size_t length);
    // Writes the 16-byte digest; the object must be Reset before reuse.
    void Final(std::uint8_t digest[16]);

private:
    void Transform(const std::uint8_t block[64]);

    std::uint32_t m_state[4];
    std::uint64_t m_bytes;  // message length so far
    std::uint8_t m_buffer[64];
};

}  // namespace corvane

// The MD5 of the bytes of text as 32 lower-case hex digits, high nibble first.
std::string GetMD5Hex(std::string_view text);
