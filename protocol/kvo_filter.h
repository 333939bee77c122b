// The gateway stream's packet filter: received bytes go into a growable ring,
// whole frames come out, one per call, header included. The filter looks only
// at the magic and the total length of each header; a stream that is out of
// step is resynchronised on the next magic.
//
// A filter belongs to one connection and is called from one thread at a time
// (the link's receive lock serialises it); it has no lock of its own.
#pragma once

#include <cstdint>

#include "framework/net/tl_packfilter.h"
#include "framework/tl_buffer.h"
#include "protocol/kvo_packet.h"

// The filter's byte ring (its log lines call it CMCastBuffer). Indices are
// pointers into the ring memory. The ring is empty when the read index equals
// the write index; the bytes held are always fewer than the size, so a full
// ring is never taken for an empty one.
class CKVOBuffer {
public:
    static constexpr uint32_t INITIAL_SIZE = 0x100000;  // 1 MiB
    static constexpr uint32_t MAX_SIZE = 0xF00000;      // 15 MiB
    static constexpr uint32_t GROW_STEP = 0x100000;
    static constexpr uint32_t MARKER_LENGTH = 4;  // the magic

    // Sizes of a ring: the memory it starts with, the step it grows by and the
    // most it may take. Connections use the defaults above; tests and fuzzing
    // use small rings, so wrap, growth and overflow happen on short streams.
    struct Geometry {
        uint32_t initial = INITIAL_SIZE;
        uint32_t step = GROW_STEP;
        uint32_t max = MAX_SIZE;
    };

    CKVOBuffer() : CKVOBuffer(Geometry{}) {}
    // Steps of 0 become 1; a maximum below the initial size becomes it.
    explicit CKVOBuffer(const Geometry& geometry);
    virtual ~CKVOBuffer();
    CKVOBuffer(const CKVOBuffer&) = delete;
    CKVOBuffer& operator=(const CKVOBuffer&) = delete;

    // 1 when the bytes were appended, 0 when refused (no memory, or more than
    // the ring may ever hold: the ring is then emptied).
    int AppendData(const uint8_t* data, uint32_t len);
    // Advances an index by n with wrap. With check set, an index at the write
    // index, or one whose distance from the read index plus n reaches the
    // bytes held, gives the write index.
    uint8_t* AddBufferIndex(uint8_t* index, uint64_t n, bool check);
    // Distance of a held index from the read index, -1 for an invalid index.
    int64_t GetLengthFromDataIndex(const uint8_t* index);
    bool IsValidIndex(const uint8_t* index);
    // A held index becomes the read index; the write index empties the ring.
    void ResetDataBeginIndex(uint8_t* index);
    // Finds a frame start at or after the read index, dropping the bytes
    // before it. 1 found (at the read index), 0 not found.
    int LocatePackHead();
    // True when the 4 bytes from index (following the wrap) are the magic.
    bool IsPackHead(const uint8_t* index, uint64_t available);
    void DiscardData(int64_t n);
    void Reset();
    bool IsEmpty() const { return m_read == m_write; }
    bool IsLinear() const { return m_read <= m_write; }
    uint32_t GetDataLength() const;
    // Wrapped data: bytes from the read index to the end of the memory, and
    // from the start of the memory to the write index. Linear data is all
    // tail.
    uint32_t GetTailLength() const;
    uint32_t GetHeadLength() const;

    uint32_t GetSize() const { return m_size; }
    const Geometry& GetGeometry() const { return m_geometry; }
    uint8_t* GetReadIndex() const { return m_read; }
    uint8_t* GetWriteIndex() const { return m_write; }
    // Copies n held bytes from index (following the wrap) to out.
    void CopyOut(const uint8_t* index, uint32_t n, uint8_t* out) const;

private:
    Geometry m_geometry;
    uint8_t* m_read = nullptr;
    uint8_t* m_write = nullptr;
    uint32_t m_size = 0;
    uint8_t* m_mem = nullptr;
};

// The filter a gateway connection attaches to its event sink. Outgoing data
// passes unchanged: the session builds whole frames itself.
class CKvoFilter : public corvane::CTLPackFilter {
public:
    // Results of FeedData (and of Unpack).
    static constexpr int FEED_ERROR = -1;
    static constexpr int FEED_FRAME = corvane::TL_UNPACK_PACKETS;
    static constexpr int FEED_MORE = corvane::TL_UNPACK_NEED_MORE;

    CKvoFilter() = default;
    // A filter whose ring has this geometry (its clones have it too).
    explicit CKvoFilter(const CKVOBuffer::Geometry& geometry) : m_buffer(geometry) {}
    ~CKvoFilter() override = default;
    CKvoFilter(const CKvoFilter&) = delete;
    CKvoFilter& operator=(const CKvoFilter&) = delete;

    // Cuts a frame as FeedData does and hands it on as one block of `out`,
    // copied from the ring straight into the block.
    int Unpack(int reserved, corvane::ITLConnection* connection, const void* data, uint32_t length,
               corvane::CTLNetBufferList& out) override;
    // Appends the data unchanged as one block; 0, or the block's error code.
    int Pack(const void* data, uint32_t length, uint32_t flags, corvane::CTLSendBuffer& sendBuf) override;
    // A new filter with an empty ring; null when memory is short.
    corvane::CTLPackFilter* Clone() override;

    // Appends the bytes (when given) and cuts at most one frame into `out`:
    // 1 a whole frame was appended to out, 2 more bytes are needed, -1 the
    // stream was out of step and unreadable bytes were dropped. Call again
    // with no bytes after every 1: several frames may be held.
    int FeedData(const void* data, uint32_t len, corvane::CTLSmartBuffer& out);

    // Forgets every byte held: a new connection starts a new stream, and
    // bytes of an earlier one must not be glued to its first frame.
    CKvoFilter* Reset() override;

    CKVOBuffer& Buffer() { return m_buffer; }

private:
    // Appends the bytes (when given) and looks for a whole frame at the read
    // index: FEED_FRAME with its total length and the index behind it, the
    // frame still held; otherwise FeedData's FEED_MORE or FEED_ERROR.
    int FindFrame(const void* data, uint32_t len, uint32_t& total, uint8_t*& next);
    // Looks at the frame start at the read index, resynchronising as often
    // as needed; FindFrame's results.
    int ProcessMcastData(uint32_t& total, uint8_t*& next);
    // One look: FindFrame's results, or kResynchronised when a bad frame
    // start was dropped and another one now stands at the read index.
    int LookAtHead(uint32_t& total, uint8_t*& next);
    // Drops the bad frame start and locates the next one: kResynchronised,
    // FEED_MORE (none, fewer than 4 bytes left) or FEED_ERROR (none, the
    // unreadable bytes dropped).
    int Resynchronise(uint32_t held);
    static constexpr int kResynchronised = 100;
    // Copies the frame FindFrame found to dest and drops it from the ring.
    void TakeFrame(uint32_t total, uint8_t* next, uint8_t* dest);

    CKVOBuffer m_buffer;
};
