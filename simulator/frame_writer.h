// Writes gateway frames for the gateway simulator and the tests: an 11-byte header
// (u32 magic 0x9E8DA711, u32 total length = body + 11, u16 packet type,
// u8 flags, all little-endian) followed by the body. Written from the frame
// layout alone, so it can check the library's frame reader and builder.
// Frames are returned as byte strings.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace google::protobuf {
class MessageLite;
}

namespace kvotest {

inline constexpr uint32_t kGatewayMagic = 0x9E8DA711u;
inline constexpr size_t kGatewayHeaderSize = 11;

// A header with every field chosen by the caller (for broken frames too).
std::string GatewayHeader(uint32_t magic, uint32_t totalLength, uint16_t type, uint8_t flags);

// A well-formed frame around `body`.
std::string GatewayFrame(uint16_t type, std::string_view body, uint8_t flags = 0);

// A frame whose body is `message` serialised by the protobuf runtime.
std::string GatewayMessageFrame(uint16_t type, const google::protobuf::MessageLite& message, uint8_t flags = 0);

// A frame whose header claims `totalLength` whatever the body holds.
std::string GatewayFrameWithLength(uint16_t type, std::string_view body, uint32_t totalLength);

// A body of `size` bytes that never contains the magic's first byte 0x11,
// filled from `seed`, so a misplaced cut always shows.
std::string PatternBody(size_t size, uint32_t seed);

// A byte string from byte values (expected wire bytes written out by hand).
std::string Bytes(std::initializer_list<int> bytes);

// Bytes as lower-case hex digits, two per byte (for comparing wire and GBK
// bytes with expectations written out by hand).
std::string HexOf(std::string_view bytes);

// Concatenates frames (and anything else) into one byte stream.
std::string JoinStream(const std::vector<std::string>& pieces);

// Reads the fields of a header written as above (for the test gateway's
// reading side). Returns false when fewer than 11 bytes are given.
struct GatewayHeaderFields {
    uint32_t magic = 0;
    uint32_t totalLength = 0;
    uint16_t type = 0;
    uint8_t flags = 0;
};
bool ReadGatewayHeader(std::string_view bytes, GatewayHeaderFields* out);

// Splits a stream of well-formed frames. Stops at the first broken or
// incomplete frame and leaves its bytes in *rest (when given).
std::vector<std::string> SplitGatewayStream(std::string_view stream, std::string* rest = nullptr);

}  // namespace kvotest
