// corvane::CTLSmartBuffer: a growable byte buffer on the framework heap. The
// capacity is always a multiple of 1024 and every new block is zero-filled
// before the old bytes are copied in, so spare capacity reads as zeros.
#pragma once

#include <cstdint>

#include "framework/tl_object.h"

namespace corvane {

class CTLSmartBuffer : public CTLObject {
public:
    CTLSmartBuffer() = default;
    ~CTLSmartBuffer() override;
    CTLSmartBuffer(const CTLSmartBuffer&) = delete;
    CTLSmartBuffer& operator=(const CTLSmartBuffer&) = delete;

    // Releases the block; capacity and used length become 0.
    void Free();

    // Copies len bytes to the end and counts them; returns where they were
    // written. Null data only makes room for len bytes (nothing is counted) and
    // returns where they would go. Null when the buffer cannot grow (it is then
    // unchanged).
    char* Append(const void* data, uint32_t len);

    // As Append; with terminate set, a zero byte is also written after the data
    // (not counted). Without terminate the buffer grows to the need alone.
    char* AppendEx(const void* data, uint32_t len, int terminate);

    // Makes room for n bytes, counts them and returns a pointer to them.
    char* Extend(uint32_t n);

    // The block and, when len is not null, the used length.
    char* GetData(uint32_t* len) const {
        if (len != nullptr) *len = m_nUsed;
        return m_pData;
    }
    char* GetData() const { return m_pData; }
    uint32_t GetLength() const { return m_nUsed; }
    uint32_t GetCapacity() const { return m_nCapacity; }

    // Sets the used length to n, growing first when n exceeds the capacity.
    // n < 0 is ignored. Returns the block, or null when it cannot grow.
    char* SetLength(int n);

protected:
    // Grows to hold need bytes: the larger of need and double the used length
    // when doubling is set, rounded up to 1024. False when that is impossible.
    bool Reserve(uint64_t need, bool doubling);

    // Copies len bytes (and a zero byte after them when terminate is set) to
    // the end; the body of Append and AppendEx.
    char* Put(const void* data, uint32_t len, bool terminate, bool doubling);

    // Offset of data inside the used bytes, -1 when it lies elsewhere. Data
    // taken from the buffer itself must be found again after a growth, which
    // frees the old block.
    int64_t OffsetInside(const void* data) const {
        const char* p = static_cast<const char*>(data);
        if (p == nullptr || m_pData == nullptr || p < m_pData || p >= m_pData + m_nUsed) return -1;
        return p - m_pData;
    }

    // Makes the buffer show len bytes that belong to someone else: they are
    // never freed here, and a growth copies them into a block of its own.
    void Borrow(char* data, uint32_t len);
    // Forgets borrowed bytes without freeing them; the buffer is then empty.
    void DropBorrowed();
    // Frees the block unless it is borrowed.
    void ReleaseBlock();

    char* m_pData = nullptr;
    uint32_t m_nCapacity = 0;
    uint32_t m_nUsed = 0;
    bool m_bBorrowed = false;
};

}  // namespace corvane
