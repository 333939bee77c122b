// Lists of reference-counted byte blocks, the send buffer read from the front,
// and the per-link send queue.
//
// A block can sit in several lists at once: copying a list copies references,
// never bytes. References are atomic, so a block may be released on any
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>

#include "framework/tl_object.h"
#include "framework/tl_sync.h"

namespace corvane {

class CTLSmartBuffer;

// One block: header and `capacity` bytes right behind it, from TL_Allocate.
struct TLNetBlock {
    uint32_t length;    // bytes used
    uint32_t capacity;  // bytes of room
    std::atomic<uint32_t> references;

    uint8_t* Data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }

    // A new block with one reference, or null when memory is short.
    static TLNetBlock* Create(uint32_t capacity);
    void AddRef() { references.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; the block is freed with the last.
    void Release();
};

class CTLNetBufferList : public CTLObject {
public:
    CTLNetBufferList() = default;
    CTLNetBufferList(const CTLNetBufferList& other);
    CTLNetBufferList& operator=(const CTLNetBufferList& other);
    ~CTLNetBufferList() override;

    // The first block with a reference for the caller, its entry removed;
    // null when empty.
    virtual void PopFront(TLNetBlock*& block);
    virtual void Clear();

    // A new block of `length` capacity; with data the bytes are copied and
    // the length set, without data the block is empty. 0, or 0x80070003 when
    // no block can be made.
    int AppendBlock(const void* data, uint32_t length);
    // Appends another reference to an existing block. 0, or 0x80070001 for
    // a null block.
    int AppendRef(TLNetBlock* block);
    // The first block with a reference for the caller, or null.
    void Front(TLNetBlock*& block) const;

    bool IsEmpty() const { return m_blocks.empty(); }
    size_t GetCount() const { return m_blocks.size(); }
    // Used lengths of all blocks.
    uint64_t GetTotalLength() const;

    using const_iterator = std::list<TLNetBlock*>::const_iterator;
    const_iterator begin() const { return m_blocks.begin(); }
    const_iterator end() const { return m_blocks.end(); }

protected:
    std::list<TLNetBlock*> m_blocks;
};

class CTLSendBuffer : public CTLNetBufferList {
public:
    CTLSendBuffer() = default;
    CTLSendBuffer(const CTLSendBuffer& other) = default;
    CTLSendBuffer& operator=(const CTLSendBuffer& other) = default;
    ~CTLSendBuffer() override = default;

    void PopFront(TLNetBlock*& block) override;
    void Clear() override;
    // Appends the unread bytes of whole blocks while each fits into the
    // buffer's free capacity (the first always when firstBlock is set),
    // popping each. Returns the bytes appended.
    virtual uint32_t ReadBlocks(CTLSmartBuffer& out, int firstBlock);
    // Copies up to max bytes from the front across blocks; a block read to
    // its end is popped, a block read partly keeps the offset. 0 for a null
    // destination or max < 1.
    virtual uint32_t Read(void* dest, int32_t max);

    uint32_t GetOffset() const { return m_offset; }
    void SetOffset(uint32_t offset) { m_offset = offset; }

protected:
    uint32_t m_offset = 0;
};

// The queued copy of a send buffer: stamped with the engine clock when
// queued; its destructor reports the queueing delay to the engine.
class _CTLSendBuffer : public CTLSendBuffer {
public:
    _CTLSendBuffer() = default;
    ~_CTLSendBuffer() override;

    // Also adds the used length of each popped block to m_popped, so the
    // queue learns what a read took without walking the blocks left.
    void PopFront(TLNetBlock*& block) override;

    int32_t m_flags = 0;
    uint32_t m_queuedAt = 0;
    uint64_t m_popped = 0;
};

// The send queue of one link.
class SendQueue {
public:
    SendQueue() = default;
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Queues a copy of buf (references and offset). Returns the used length
    // of its blocks, or 0x80070003 (as int) when memory is short.
    int32_t Push(const CTLSendBuffer& buf, int32_t flags);
    // Fills dest with up to room bytes from the ready buffers. bytes and
    // taken (buffers finished and released) may be null.
    uint32_t Fill(uint8_t* dest, uint32_t room, uint32_t* bytes, uint32_t* taken);
    // Moves whole waiting buffers to the ready queue until the budget is
    // reached (the last may overshoot). Returns the bytes moved.
    uint32_t MoveBudget();

    bool IsEmpty();
    bool IsReadyEmpty();
    // Used lengths of the blocks of every queued buffer (a read offset
    // counts until its block is popped). Kept as a running count.
    uint64_t QueuedBytes();
    // The same sum, recounted by walking every queued buffer; for checks.
    uint64_t RecountBytes();
    uint32_t QueuedCount();
    void Clear();

    // A positive value becomes the budget; 0 or less: no budget.
    void SetBudget(int32_t budget);
    int32_t GetBudget();

private:
    CMutex m_lock;
    std::deque<_CTLSendBuffer*> m_ready;
    std::deque<_CTLSendBuffer*> m_waiting;
    uint64_t m_bytes = 0;  // QueuedBytes, changed under m_lock
    int32_t m_budget = 0;
};

}  // namespace corvane
