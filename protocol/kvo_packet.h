// The gateway frame: an 11-byte header followed by one message body.
//
//   offset 0  u32 magic 0x9E8DA711 (wire bytes 11 A7 8D 9E)
//   offset 4  u32 total length, header included (body length + 11)
//   offset 8  u16 packet type (KvoPacketType)
//   offset 10 u8  flags (0 in every frame we build; bit 0 on a push asks
//                 for a feedback frame)
//   offset 11 body, total length - 11 bytes, no length, compression or
//             checksum of its own
//
// All fields are little-endian. A header is read straight out of received
// bytes, where it may sit at any alignment, so every field is assembled byte
// by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {
class CTLSmartBuffer;
}

// Packet types the client sends or handles. Types 5, 6, 11-13, 17-19, 28-49
// and 51-59 are not used.
enum KvoPacketType : uint16_t {
    KVO_PACKET_LOGIN_REQ = 1,
    KVO_PACKET_LOGIN_RSP = 2,
    KVO_PACKET_GET_CODELIST_REQ = 3,
    KVO_PACKET_GET_CODELIST_RSP = 4,
    KVO_PACKET_GET_QUOTA_REQ = 7,
    KVO_PACKET_GET_QUOTA_RSP = 8,
    KVO_PACKET_SUBSCRIBE_REQ = 9,
    KVO_PACKET_SUBSCRIBE_RSP = 10,
    KVO_PACKET_PUSH_FEEDBACK = 14,  // the received push body, echoed unchanged
    KVO_PACKET_ECHO = 15,           // opaque, sent back unchanged, never parsed
    KVO_PACKET_HEARTBEAT = 16,
    KVO_PACKET_PUSH_FIRST = 20,  // 20 to 27 all carry PushData
    KVO_PACKET_PUSH_LAST = 27,
    KVO_PACKET_ELK_MESSAGE_REQ = 50,
    KVO_PACKET_GATEWAY_NOTIFY = 60,
};

inline constexpr uint32_t KVO_PACK_MAGIC = 0x9E8DA711u;
inline constexpr uint32_t KVO_PACK_HEADER_SIZE = 11;
// Flag bit of a received push that asks for a feedback frame.
inline constexpr uint8_t KVO_PACK_FLAG_FEEDBACK = 0x01;
// The low byte of the magic: the quick test that a frame follows a frame.
inline constexpr uint8_t KVO_PACK_MAGIC_FIRST_BYTE = 0x11;
// Largest body a frame can describe (the total length is a u32).
inline constexpr uint64_t KVO_PACK_MAX_BODY = 0xFFFFFFFFull - KVO_PACK_HEADER_SIZE;

// Result codes of the frame and message helpers.
inline constexpr uint32_t KVO_FRAME_OK = 0;
inline constexpr uint32_t KVO_FRAME_E_TOO_LARGE = 0x800B0001u;   // body does not fit a frame
inline constexpr uint32_t KVO_FRAME_E_NO_MEMORY = 0x800B0002u;   // the buffer could not grow
inline constexpr uint32_t KVO_FRAME_E_TRUNCATED = 0x800B0003u;   // fewer bytes than the header says
inline constexpr uint32_t KVO_FRAME_E_BAD_MAGIC = 0x800B0004u;   // the bytes do not start a frame
inline constexpr uint32_t KVO_FRAME_E_BAD_LENGTH = 0x800B0005u;  // total length below the header's
inline constexpr uint32_t KVO_FRAME_E_PARSE = 0x800B0006u;       // the body is not the message
inline constexpr uint32_t KVO_FRAME_E_ARGUMENT = 0x800B0007u;    // null data with a length

inline uint32_t KvoReadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t KvoReadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void KvoWriteU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void KvoWriteU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// A view of a header in place. It is a plain byte array, so a pointer into
// received bytes can be taken as a header at any alignment. Only the
// accessors below read it; no field is read unless the caller holds at least
// KVO_PACK_HEADER_SIZE bytes at the address.
struct KvoPackHeader {
    uint8_t bytes[KVO_PACK_HEADER_SIZE];

    static const KvoPackHeader* At(const void* p) { return static_cast<const KvoPackHeader*>(p); }

    uint32_t GetMagic() const { return KvoReadU32(bytes); }
    bool HasMagic() const { return GetMagic() == KVO_PACK_MAGIC; }
    uint32_t GetTotalLength() const { return KvoReadU32(bytes + 4); }
    // A total length below the header's own size describes no frame.
    bool HasValidLength() const { return GetTotalLength() >= KVO_PACK_HEADER_SIZE; }
    // Total length - 11; 0 for a header whose total length is below 11, so
    // the difference can never wrap round.
    uint32_t GetBodyLength() const {
        uint32_t total = GetTotalLength();
        return total >= KVO_PACK_HEADER_SIZE ? total - KVO_PACK_HEADER_SIZE : 0;
    }
    // The byte after the header.
    const uint8_t* GetBody() const { return bytes + KVO_PACK_HEADER_SIZE; }
    uint16_t GetType() const { return KvoReadU16(bytes + 8); }
    uint8_t GetFlags() const { return bytes[10]; }
    uint8_t TestFlag(uint8_t mask) const { return uint8_t(bytes[10] & mask); }
    // True when `avail` bytes hold the whole frame: at least a header, and no
    // fewer than its total length. A header whose total length is below 11 is
    // never whole.
    bool IsComplete(uint64_t avail) const {
        return avail >= KVO_PACK_HEADER_SIZE && HasValidLength() && GetTotalLength() <= avail;
    }
};
static_assert(sizeof(KvoPackHeader) == KVO_PACK_HEADER_SIZE);
static_assert(alignof(KvoPackHeader) == 1);

inline bool KvoIsPushType(uint16_t type) { return type >= KVO_PACKET_PUSH_FIRST && type <= KVO_PACKET_PUSH_LAST; }

// Writes the 11 header bytes of a frame with a body of `bodyLen` bytes.
// The caller has checked bodyLen <= KVO_PACK_MAX_BODY.
void KvoWriteHeader(uint8_t* out, uint16_t type, uint32_t bodyLen, uint8_t flags = 0);

// Checks that `data`/`len` is one whole frame: the magic, a total length of
// at least 11 and exactly `len`. On success *header points at its header.
uint32_t KvoCheckFrame(const void* data, size_t len, const KvoPackHeader** header);

// Appends one frame to `out`: the magic, body length + 11, the type, a zero
// flags byte, then the body. The body may lie inside `out` itself (a saved
// body sent back). KVO_FRAME_E_TOO_LARGE when the frame cannot be described
// or held, KVO_FRAME_E_NO_MEMORY when `out` cannot grow (it is then
// unchanged).
uint32_t BuildKvoFrame(uint16_t type, const void* body, uint32_t len, corvane::CTLSmartBuffer& out);
