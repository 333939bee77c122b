#include "protocol/kvo_filter.h"

#include <cstring>
#include <iterator>
#include <new>

#include "framework/tl_log.h"

namespace {
// "CMCastBuffer::GetLengthFromDataIndex， nowIndex is invalid." with the
// full-width comma in GBK, as every text of the log.
constexpr char kInvalidIndexText[] = "CMCastBuffer::GetLengthFromDataIndex\xA3\xAC nowIndex is invalid.";
}  // namespace

CKVOBuffer::CKVOBuffer(const Geometry& geometry) : m_geometry(geometry) {
    if (m_geometry.initial == 0) m_geometry.initial = 1;
    if (m_geometry.step == 0) m_geometry.step = 1;
    if (m_geometry.max < m_geometry.initial) m_geometry.max = m_geometry.initial;
    m_mem = new (std::nothrow) uint8_t[m_geometry.initial];
    if (m_mem) m_size = m_geometry.initial;
    m_read = m_write = m_mem;
}

CKVOBuffer::~CKVOBuffer() { delete[] m_mem; }

uint32_t CKVOBuffer::GetDataLength() const {
    if (m_write >= m_read) return static_cast<uint32_t>(m_write - m_read);
    return m_size - static_cast<uint32_t>(m_read - m_write);
}

uint32_t CKVOBuffer::GetTailLength() const {
    if (IsLinear()) return GetDataLength();
    return static_cast<uint32_t>(m_mem + m_size - m_read);
}

uint32_t CKVOBuffer::GetHeadLength() const {
    if (IsLinear()) return 0;
    return static_cast<uint32_t>(m_write - m_mem);
}

void CKVOBuffer::Reset() { m_read = m_write = m_mem; }

void CKVOBuffer::CopyOut(const uint8_t* index, uint32_t n, uint8_t* out) const {
    uint32_t toEnd = static_cast<uint32_t>(m_mem + m_size - index);
    if (n <= toEnd) {
        std::memcpy(out, index, n);
    } else {
        std::memcpy(out, index, toEnd);
        std::memcpy(out + toEnd, m_mem, n - toEnd);
    }
}

int CKVOBuffer::AppendData(const uint8_t* data, uint32_t len) {
    if (!m_mem) {
        TL_WriteLog(1, "CMCastBuffer::AppendData, mcastBuffer is NULL.");
        return 0;
    }
    uint32_t held = GetDataLength();
    uint64_t newUsed = uint64_t(held) + len;
    if (newUsed < m_size) {
        uint32_t room = static_cast<uint32_t>(m_mem + m_size - m_write);
        if (IsLinear() && room < len) {
            std::memcpy(m_write, data, room);
            std::memcpy(m_mem, data + room, len - room);
        } else {
            std::memcpy(m_write, data, len);
        }
        m_write = m_mem + (uint64_t(m_write - m_mem) + len) % m_size;
        return 1;
    }
    // The ring never holds its maximum: its bytes held stay below its size,
    // which is at most the maximum.
    const uint32_t maxSize = m_geometry.max;
    if (newUsed >= maxSize) {
        TL_WriteLog(3, "CMCastBuffer::AppendData: SumDataLen=%d, MaxBufferSize=%d, bufflen:%d, datalen:%d",
                    static_cast<int>(newUsed > 0x7FFFFFFF ? 0x7FFFFFFF : newUsed), static_cast<int>(maxSize),
                    static_cast<int>(held), static_cast<int>(len));
        Reset();
        return 0;
    }
    TL_WriteLog(4, "CMCastBuffer::AppendData, reInit mcast buffer: SumDataLen=%d, BufferSize=%d",
                static_cast<int>(newUsed), static_cast<int>(m_size));
    const uint64_t step = m_geometry.step;
    uint64_t newSize = m_size + ((newUsed - m_size) / step + 1) * step;
    if (newSize > maxSize) newSize = maxSize;
    uint8_t* mem = new (std::nothrow) uint8_t[newSize];
    if (!mem) {
        // No room for the new bytes: they and the held ones are dropped, as for
        // an overflow, and the stream resynchronises on the next magic.
        TL_WriteLog(1, "CMCastBuffer::AppendData, reInit mcast buffer failed: SumDataLen=%d, BufferSize=%d",
                    static_cast<int>(newUsed), static_cast<int>(newSize));
        Reset();
        return 0;
    }
    CopyOut(m_read, held, mem);
    std::memcpy(mem + held, data, len);
    delete[] m_mem;
    m_mem = mem;
    m_size = static_cast<uint32_t>(newSize);
    m_read = m_mem;
    m_write = m_mem + newUsed;
    return 1;
}

bool CKVOBuffer::IsValidIndex(const uint8_t* index) {
    if (!index) {
        TL_WriteLog(1, "CMCastBuffer::IsValidIndex, dataIndex is NULL.");
        return false;
    }
    if (IsEmpty()) {
        TL_WriteLog(1, "CMCastBuffer::IsValidIndex, mcast buffer is empty.");
        return false;
    }
    if (index < m_mem || index >= m_mem + m_size) {
        TL_WriteLog(1, "CMCastBuffer::IsValidIndex, pDataTail is illegal, dataLen:%d >= bufferSize:%d",
                    static_cast<int>(index - m_mem), static_cast<int>(m_size));
        return false;
    }
    if (IsLinear()) return index >= m_read && index < m_write;
    return index >= m_read || index < m_write;
}

int64_t CKVOBuffer::GetLengthFromDataIndex(const uint8_t* index) {
    if (!IsValidIndex(index)) {
        TL_WriteLog(1, "%s", kInvalidIndexText);
        return -1;
    }
    if (index >= m_read) return index - m_read;
    return int64_t(m_size) - (m_read - index);
}

uint8_t* CKVOBuffer::AddBufferIndex(uint8_t* index, uint64_t n, bool check) {
    if (!index || !m_mem) {
        TL_WriteLog(1, "CMCastBuffer::AddBufferIndex, nowIndex or mcastBuffer is NULL.");
        return nullptr;
    }
    if (check) {
        if (index == m_write) return m_write;
        int64_t dist = GetLengthFromDataIndex(index);
        if (dist < 0 || uint64_t(dist) + n >= GetDataLength()) return m_write;
    }
    return m_mem + (uint64_t(index - m_mem) + n) % m_size;
}

void CKVOBuffer::ResetDataBeginIndex(uint8_t* index) {
    if (index == m_write) {
        Reset();
    } else if (IsValidIndex(index)) {
        m_read = index;
    } else {
        TL_WriteLog(1, "CMCastBuffer::ResetDataBeginIndex, data is invalid, dataLen:%d.",
                    static_cast<int>(GetDataLength()));
    }
}

bool CKVOBuffer::IsPackHead(const uint8_t* index, uint64_t available) {
    if (!index || available == 0 || !IsValidIndex(index) || available < MARKER_LENGTH) return false;
    uint8_t marker[MARKER_LENGTH];
    CopyOut(index, MARKER_LENGTH, marker);
    return KvoReadU32(marker) == KVO_PACK_MAGIC;
}

int CKVOBuffer::LocatePackHead() {
    uint32_t held = GetDataLength();
    if (IsEmpty() || held < MARKER_LENGTH) return 0;
    if (IsPackHead(m_read, held)) return 1;
    uint8_t* index = m_read;
    int64_t left = held;
    for (;;) {
        index = m_mem + (uint64_t(index - m_mem) + 1) % m_size;
        --left;
        if (left < 1 || index == m_write) break;
        // Fewer than 4 bytes left can hold no magic.
        if (left < MARKER_LENGTH) {
            left = 0;
            break;
        }
        // Only a byte that can begin the magic is looked at further.
        if (*index == KVO_PACK_MAGIC_FIRST_BYTE && IsPackHead(index, uint64_t(left))) {
            m_read = index;
            return 1;
        }
    }
    // A debugger trace where the system has one; a debug line here.
    TL_WriteLog(5, "mcast wrong %d lost", static_cast<int>(left));
    return 0;
}

void CKVOBuffer::DiscardData(int64_t n) {
    if (n < 1) return;
    if (uint64_t(n) < GetDataLength()) {
        m_read = m_mem + (uint64_t(m_read - m_mem) + uint64_t(n)) % m_size;
    } else {
        Reset();
    }
}

int CKvoFilter::Unpack(int reserved, corvane::ITLConnection* connection, const void* data, uint32_t length,
                       corvane::CTLNetBufferList& out) {
    uint32_t total = 0;
    uint8_t* next = nullptr;
    int rc = FindFrame(data, length, total, next);
    if (rc != FEED_FRAME) return rc;
    // The frame goes from the ring straight into its block.
    if (out.AppendBlock(nullptr, total) != 0) {
        // The frame stays held; the next call tries again.
        TL_WriteLog(1, "CKvoFilter::Unpack, no memory for a frame of %u bytes", total);
        return FEED_ERROR;
    }
    corvane::TLNetBlock* block = *std::prev(out.end());
    TakeFrame(total, next, block->Data());
    block->length = total;
    return FEED_FRAME;
}

int CKvoFilter::Pack(const void* data, uint32_t length, uint32_t flags, corvane::CTLSendBuffer& sendBuf) {
    return sendBuf.AppendBlock(data, length);
}

corvane::CTLPackFilter* CKvoFilter::Clone() { return new (std::nothrow) CKvoFilter(m_buffer.GetGeometry()); }

CKvoFilter* CKvoFilter::Reset() {
    m_buffer.Reset();
    return this;
}

int CKvoFilter::FeedData(const void* data, uint32_t len, corvane::CTLSmartBuffer& out) {
    uint32_t total = 0;
    uint8_t* next = nullptr;
    int rc = FindFrame(data, len, total, next);
    if (rc != FEED_FRAME) return rc;
    char* dest = out.Extend(total);
    if (!dest) {
        // The frame stays held; the next call tries again.
        TL_WriteLog(1, "ProcessMcastData, no memory for a frame of %u bytes", total);
        return FEED_ERROR;
    }
    TakeFrame(total, next, reinterpret_cast<uint8_t*>(dest));
    return FEED_FRAME;
}

int CKvoFilter::FindFrame(const void* data, uint32_t len, uint32_t& total, uint8_t*& next) {
    if (data && len >= 1) m_buffer.AppendData(static_cast<const uint8_t*>(data), len);
    uint32_t held = m_buffer.GetDataLength();
    if (m_buffer.LocatePackHead()) {
        if (m_buffer.GetDataLength() == CKVOBuffer::MARKER_LENGTH) return FEED_MORE;
        return ProcessMcastData(total, next);
    }
    if (held >= CKVOBuffer::MARKER_LENGTH) {
        m_buffer.DiscardData(int64_t(held) - CKVOBuffer::MARKER_LENGTH + 1);
        TL_WriteLog(1, "tcp mcast filter locate header failed. len: %d", static_cast<int>(held));
        return FEED_ERROR;
    }
    return FEED_MORE;
}

void CKvoFilter::TakeFrame(uint32_t total, uint8_t* next, uint8_t* dest) {
    m_buffer.CopyOut(m_buffer.GetReadIndex(), total, dest);
    m_buffer.ResetDataBeginIndex(next);
}

int CKvoFilter::Resynchronise(uint32_t held) {
    TL_WriteLog(1, "tcp data lost, next pack header is illegal. buffer size:%d", static_cast<int>(held));
    m_buffer.DiscardData(CKVOBuffer::MARKER_LENGTH);
    if (!m_buffer.LocatePackHead()) {
        uint32_t left = m_buffer.GetDataLength();
        if (left >= CKVOBuffer::MARKER_LENGTH) {
            m_buffer.DiscardData(int64_t(left) - CKVOBuffer::MARKER_LENGTH + 1);
            TL_WriteLog(1, "ProcessMcastData, tcp mcast filter locate header failed., len: %d", static_cast<int>(left));
            return FEED_ERROR;
        }
        return FEED_MORE;
    }
    // A frame start was found: the caller looks at it at once. The event sink
    // calls again only while frames come out, so a frame already held would
    // otherwise wait for bytes a quiet connection may never send.
    return kResynchronised;
}

int CKvoFilter::ProcessMcastData(uint32_t& total, uint8_t*& next) {
    // Every resynchronisation drops at least the bad magic, so this ends.
    for (;;) {
        const int rc = LookAtHead(total, next);
        if (rc != kResynchronised) return rc;
    }
}

int CKvoFilter::LookAtHead(uint32_t& total, uint8_t*& next) {
    uint32_t held = m_buffer.GetDataLength();
    // No header field is read before a whole header is held.
    if (held < KVO_PACK_HEADER_SIZE) return FEED_MORE;
    uint8_t* read = m_buffer.GetReadIndex();
    // A header that straddles the end of the memory is copied together.
    uint8_t copy[KVO_PACK_HEADER_SIZE];
    const KvoPackHeader* header = KvoPackHeader::At(read);
    if (!m_buffer.IsLinear() && m_buffer.GetTailLength() < KVO_PACK_HEADER_SIZE) {
        m_buffer.CopyOut(read, KVO_PACK_HEADER_SIZE, copy);
        header = KvoPackHeader::At(copy);
    }
    total = header->GetTotalLength();
    // A total length below the header's size describes no frame, and one the
    // ring can never hold would be waited for in vain while good frames pile
    // up behind it: both mean the stream is out of step.
    if (total < KVO_PACK_HEADER_SIZE || total >= m_buffer.GetGeometry().max) return Resynchronise(held);
    if (!header->IsComplete(held)) return FEED_MORE;

    // The checked advance gives the write index or an index of a held byte.
    next = m_buffer.AddBufferIndex(read, total, true);
    if (next != m_buffer.GetWriteIndex() && *next != KVO_PACK_MAGIC_FIRST_BYTE) return Resynchronise(held);
    return FEED_FRAME;
}
