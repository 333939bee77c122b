#include "simulator/frame_writer.h"

#include <google/protobuf/message_lite.h>

namespace kvotest {
namespace {

void PutLE(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLE(std::string_view in, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<uint8_t>(in[at + i])) << (8 * i);
    return v;
}

}  // namespace

std::string GatewayHeader(uint32_t magic, uint32_t totalLength, uint16_t type, uint8_t flags) {
    std::string h;
    PutLE(h, magic, 4);
    PutLE(h, totalLength, 4);
    PutLE(h, type, 2);
    PutLE(h, flags, 1);
    return h;
}

std::string GatewayFrame(uint16_t type, std::string_view body, uint8_t flags) {
    std::string f = GatewayHeader(kGatewayMagic, static_cast<uint32_t>(body.size() + kGatewayHeaderSize), type, flags);
    f.append(body);
    return f;
}

std::string GatewayMessageFrame(uint16_t type, const google::protobuf::MessageLite& message, uint8_t flags) {
    std::string body;
    message.SerializeToString(&body);
    return GatewayFrame(type, body, flags);
}

std::string GatewayFrameWithLength(uint16_t type, std::string_view body, uint32_t totalLength) {
    std::string f = GatewayHeader(kGatewayMagic, totalLength, type, 0);
    f.append(body);
    return f;
}

std::string PatternBody(size_t size, uint32_t seed) {
    std::string b(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        uint8_t c = static_cast<uint8_t>(x >> 16);
        if (c == 0x11) c = 0x12;
        b[i] = static_cast<char>(c);
    }
    return b;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int c : bytes) s.push_back(static_cast<char>(c));
    return s;
}

std::string JoinStream(const std::vector<std::string>& pieces) {
    std::string s;
    for (const auto& p : pieces) s += p;
    return s;
}

bool ReadGatewayHeader(std::string_view bytes, GatewayHeaderFields* out) {
    if (bytes.size() < kGatewayHeaderSize) return false;
    out->magic = static_cast<uint32_t>(GetLE(bytes, 0, 4));
    out->totalLength = static_cast<uint32_t>(GetLE(bytes, 4, 4));
    out->type = static_cast<uint16_t>(GetLE(bytes, 8, 2));
    out->flags = static_cast<uint8_t>(GetLE(bytes, 10, 1));
    return true;
}

std::vector<std::string> SplitGatewayStream(std::string_view stream, std::string* rest) {
    std::vector<std::string> frames;
    size_t at = 0;
    GatewayHeaderFields h;
    while (ReadGatewayHeader(stream.substr(at), &h) && h.magic == kGatewayMagic &&
           h.totalLength >= kGatewayHeaderSize && h.totalLength <= stream.size() - at) {
        frames.emplace_back(stream.substr(at, h.totalLength));
        at += h.totalLength;
    }
    if (rest) rest->assign(stream.substr(at));
    return frames;
}

std::string HexOf(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace kvotest
