// Frames of the cascade protocol between instances.
//
// Every exchange between a master and its children is one frame: a 12-byte
// PeerFrameHeader (u32 magic 0xAA, u32 frame type, u32 body length, all
// little-endian), the body, and one terminating byte that is sent but not
// counted in the body length: body length + 13 bytes on the wire. Frame type
// 2 carries requests and answers, type 4 data and the disconnect notice; a
// receiver accepts every type whose low three bits are not all zero, since a
// message's meaning is its ReqType (peer_message.h).
//
// PeerFrameReader cuts frames out of received bytes without touching a
// socket: the connection code feeds it what recv returned and takes whole
// frames out, so a frame may arrive in any number of pieces and several
// frames in one piece. It refuses bad magic, a type without low bits and a
// body above its cap; after such an error the stream cannot be resynchronised
// and the connection is to be dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string_view>

inline constexpr uint32_t kPeerFrameMagic = 0xAAu;
inline constexpr uint32_t kPeerFrameRequest = 2;  // requests and answers
inline constexpr uint32_t kPeerFrameData = 4;     // data and the disconnect notice
inline constexpr size_t kPeerFrameHeaderSize = 12;
inline constexpr size_t kPeerFrameOverhead = kPeerFrameHeaderSize + 1;  // header and terminator
// Largest body this library sends or accepts: far above any batch or
// snapshot answer, low enough that a broken or hostile length cannot make a
// receiver allocate without bound.
inline constexpr uint32_t kPeerMaxBody = 64u << 20;
// Largest body read from a connection before its login was accepted: a
// login (its fixed text is under 100 bytes; the user name, the password and
// two address lists of 16 bytes an adapter come on top) or a disconnect
// notice. A larger header drops the connection before any body is read.
inline constexpr uint32_t kPeerLoginMaxBody = 8u << 10;
// A length that means "up to the text's first zero byte" (BuildPeerFrame).
inline constexpr uint32_t kPeerTextLength = 0xFFFFFFFFu;

// Results of the cascade protocol: 0, or one of these.
inline constexpr uint32_t kPeerOk = 0;
inline constexpr uint32_t kPeerErrBadMagic = 0x800C0001u;      // the bytes do not start a frame
inline constexpr uint32_t kPeerErrBadType = 0x800C0002u;       // frame type with (type & 7) == 0
inline constexpr uint32_t kPeerErrTooLarge = 0x800C0003u;      // body length above the cap
inline constexpr uint32_t kPeerErrNoMemory = 0x800C0004u;      // a body block could not be allocated
inline constexpr uint32_t kPeerErrNoMarker = 0x800C0010u;      // no "|||" where a binary part belongs
inline constexpr uint32_t kPeerErrBadReqType = 0x800C0011u;    // ReqType unknown or not of the kind asked
inline constexpr uint32_t kPeerErrNoId = 0x800C0012u;          // empty id where one is required
inline constexpr uint32_t kPeerErrBadCount = 0x800C0013u;      // TickCount or strTextLength out of range
inline constexpr uint32_t kPeerErrTruncated = 0x800C0014u;     // binary part longer than what arrived
inline constexpr uint32_t kPeerErrBadRecord = 0x800C0015u;     // order-queue length and count disagree
inline constexpr uint32_t kPeerErrMissingField = 0x800C0016u;  // a required field is empty
inline constexpr uint32_t kPeerErrArgument = 0x800C0017u;      // a builder was given unusable values

#pragma pack(push, 1)
struct PeerFrameHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t length;  // body bytes, without the terminator
};
#pragma pack(pop)
static_assert(sizeof(PeerFrameHeader) == kPeerFrameHeaderSize, "PeerFrameHeader is 12 bytes");

// True when the frame type is one a receiver accepts.
constexpr bool IsAcceptedPeerFrameType(uint32_t type) { return (type & 7u) != 0; }

// Frames `*length` bytes of text as `type`: a malloc block of length + 13
// zeroed bytes holding the header, the text and the terminator; *length
// becomes the number of bytes to send. A length of kPeerTextLength means the
// text's length up to its first zero byte. Null (length unchanged) when the
// text is null or empty (its first byte is zero) whatever the length, when
// the length is above kPeerMaxBody, or when no memory is left. The caller
// frees the block with free().
char* BuildPeerFrame(const char* text, uint32_t* length, uint32_t type);

// An owned malloc block of Size() bytes followed by one zero byte, so that
// its text part can be read as a C string. Release() hands the block to an
// owner that frees it with free() (a task item).
class PeerBlock {
public:
    PeerBlock() = default;
    // A block of size zeroed bytes (and the zero after them); empty when no
    // memory is left.
    static PeerBlock Allocate(size_t size);

    char* Data() { return m_data.get(); }
    const char* Data() const { return m_data.get(); }
    size_t Size() const { return m_size; }
    bool Empty() const { return m_data == nullptr; }
    std::string_view View() const { return {m_data.get(), m_size}; }
    // The block, now the caller's; this becomes empty.
    char* Release();

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> m_data;
    size_t m_size = 0;
};

// One received frame: its type and its body (followed by a zero byte).
struct PeerFrame {
    uint32_t type = 0;
    PeerBlock body;
};

class PeerFrameReader {
public:
    explicit PeerFrameReader(uint32_t maxBody = kPeerMaxBody) : m_maxBody(maxBody) {}
    PeerFrameReader(const PeerFrameReader&) = delete;
    PeerFrameReader& operator=(const PeerFrameReader&) = delete;

    // Takes received bytes. Complete frames queue for Next(); a frame with an
    // empty body carries no message and is passed over. Returns 0, or the
    // error that stopped the stream: the bytes after it are not read, every
    // later call returns the same error, and frames completed before it stay
    // available.
    uint32_t Feed(const void* data, size_t size);

    // Moves the oldest complete frame into *out; false when none is waiting.
    bool Next(PeerFrame* out);

    uint32_t Error() const { return m_error; }
    // The cap of bodies whose header arrives from now on.
    void SetMaxBody(uint32_t maxBody) { m_maxBody = maxBody; }
    // Complete frames waiting.
    size_t Ready() const { return m_frames.size(); }
    // True while part of a frame has arrived and the rest is awaited (the
    // connection code times such a frame out).
    bool InFrame() const { return m_have > 0; }
    // Bytes still missing to complete the frame under way (to complete the
    // header when it has not arrived yet).
    uint64_t Missing() const;
    // Frames with an empty body that were passed over.
    uint64_t EmptyFrames() const { return m_emptyFrames; }

    // Forgets the frame under way, the waiting frames and any error.
    void Reset();

private:
    uint32_t CheckHeader();

    uint32_t m_maxBody;
    uint32_t m_error = kPeerOk;
    unsigned char m_header[kPeerFrameHeaderSize] = {};
    PeerFrameHeader m_current = {};
    PeerBlock m_body;
    size_t m_have = 0;  // bytes of the frame under way (header included)
    uint64_t m_emptyFrames = 0;
    std::deque<PeerFrame> m_frames;
};
