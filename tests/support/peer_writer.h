// Writer of cascade frames and message bodies for tests, written from the
// protocol's description: a 12-byte header (u32 magic 0xAA, u32 frame type,
// u32 body length, little-endian), the body and one terminating byte; data
// and answer bodies are a text of key:value fields each ended by ",", the
// marker "|||" and a binary part.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvotest {

inline constexpr uint32_t kPeerMagic = 0xAA;

// A header with every field chosen by the caller (for broken frames too).
std::string PeerHeaderBytes(uint32_t magic, uint32_t type, uint32_t bodyLength);

// A well-formed frame around the body; the terminator may be chosen.
std::string PeerFrameBytes(uint32_t type, std::string_view body, char terminator = '\0');

// The 24-byte timing block of three little-endian u64 values.
std::string PeerTimingBytes(uint64_t produce, uint64_t send, uint64_t receive);

// "ReqType:r,TickCount:n,|||" + records + timing.
std::string PeerDataBody(int reqType, uint32_t count, std::string_view records, std::string_view timing);
// "ReqType:3,strTextLength:len,TickCount:1,|||" + record + timing.
std::string PeerOrderQueueBody(std::string_view record, std::string_view timing);
// "strTextLength:len,id:id,ReqType:r,TickCount:n,|||" + payload.
std::string PeerAnswerBody(int reqType, std::string_view id, uint32_t count, std::string_view payload);

// Bytes of `n` records of `size` bytes, record i filled with the byte 'A'+i%26
// and its first 5 bytes "USHA" and a zero, the next 16 its code text.
std::string PeerRecords(uint32_t n, uint32_t size, const std::string& codePrefix = "6000");

}  // namespace kvotest
