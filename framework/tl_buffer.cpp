#include "framework/tl_buffer.h"

#include <cstring>

#include "framework/tl_alloc.h"

namespace corvane {

namespace {

constexpr uint64_t kStep = 1024;
constexpr uint64_t kMaxCapacity = 0xFFFFFC00u;  // largest multiple of 1024 in 32 bits

}  // namespace

CTLSmartBuffer::~CTLSmartBuffer() { ReleaseBlock(); }

void CTLSmartBuffer::ReleaseBlock() {
    if (!m_bBorrowed) TL_Free(m_pData);
    m_bBorrowed = false;
}

void CTLSmartBuffer::Free() {
    ReleaseBlock();
    m_pData = nullptr;
    m_nCapacity = 0;
    m_nUsed = 0;
}

void CTLSmartBuffer::Borrow(char* data, uint32_t len) {
    ReleaseBlock();
    m_pData = data;
    m_nCapacity = data ? len : 0;
    m_nUsed = m_nCapacity;
    m_bBorrowed = data != nullptr;
}

void CTLSmartBuffer::DropBorrowed() {
    if (!m_bBorrowed) return;
    m_bBorrowed = false;
    m_pData = nullptr;
    m_nCapacity = 0;
    m_nUsed = 0;
}

bool CTLSmartBuffer::Reserve(uint64_t need, bool doubling) {
    if (need <= m_nCapacity) return true;
    uint64_t want = need;
    if (doubling && 2 * static_cast<uint64_t>(m_nUsed) > want) want = 2 * static_cast<uint64_t>(m_nUsed);
    uint64_t capacity = ((want - 1) / kStep + 1) * kStep;
    if (capacity > kMaxCapacity) {
        // Doubling may overshoot the 32-bit range where the need itself fits.
        if (need > kMaxCapacity) return false;
        capacity = kMaxCapacity;
    }
    char* block = static_cast<char*>(TL_Allocate(static_cast<uint32_t>(capacity)));
    if (block == nullptr) return false;
    std::memset(block, 0, static_cast<size_t>(capacity));
    if (m_pData != nullptr) {
        if (m_nUsed != 0) std::memcpy(block, m_pData, m_nUsed);
        ReleaseBlock();
    }
    m_pData = block;
    m_nCapacity = static_cast<uint32_t>(capacity);
    return true;
}

char* CTLSmartBuffer::Put(const void* data, uint32_t len, bool terminate, bool doubling) {
    const uint64_t need = static_cast<uint64_t>(m_nUsed) + len + (terminate ? 1 : 0);
    const int64_t inside = OffsetInside(data);
    if (!Reserve(need, doubling)) return nullptr;
    if (inside >= 0) data = m_pData + inside;
    char* at = m_pData + m_nUsed;
    if (data != nullptr) {
        if (len != 0) std::memmove(at, data, len);
        m_nUsed += len;
        if (terminate) m_pData[m_nUsed] = '\0';
    }
    return at;
}

char* CTLSmartBuffer::Append(const void* data, uint32_t len) { return Put(data, len, false, true); }

char* CTLSmartBuffer::AppendEx(const void* data, uint32_t len, int terminate) {
    return Put(data, len, terminate != 0, terminate != 0);
}

char* CTLSmartBuffer::Extend(uint32_t n) {
    if (!Reserve(static_cast<uint64_t>(m_nUsed) + n, true)) return nullptr;
    char* at = m_pData + m_nUsed;
    m_nUsed += n;
    return at;
}

char* CTLSmartBuffer::SetLength(int n) {
    if (n < 0) return m_pData;
    if (!Reserve(static_cast<uint64_t>(n), true)) return nullptr;
    m_nUsed = static_cast<uint32_t>(n);
    return m_pData;
}

}  // namespace corvane
