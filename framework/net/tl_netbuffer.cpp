#include "framework/net/tl_netbuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/net/tl_netcodes.h"
#include "framework/net/tl_netengine.h"
#include "framework/tl_alloc.h"
#include "framework/tl_buffer.h"
#include "framework/tl_log.h"

namespace corvane {

// ---- blocks ----------------------------------------------------------------

TLNetBlock* TLNetBlock::Create(uint32_t capacity) {
    const uint64_t total = uint64_t(sizeof(TLNetBlock)) + capacity;
    if (total > 0xFFFFFFF0u) return nullptr;
    void* mem = TL_Allocate(static_cast<uint32_t>(total));
    if (!mem) return nullptr;
    auto* b = new (mem) TLNetBlock;
    b->length = 0;
    b->capacity = capacity;
    b->references.store(1, std::memory_order_relaxed);
    return b;
}

void TLNetBlock::Release() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~TLNetBlock();
        TL_Free(this);
    }
}

// ---- CTLNetBufferList -------------------------------------------------------

CTLNetBufferList::CTLNetBufferList(const CTLNetBufferList& other) : CTLObject() {
    for (TLNetBlock* b : other.m_blocks) {
        b->AddRef();
        m_blocks.push_back(b);
    }
}

CTLNetBufferList& CTLNetBufferList::operator=(const CTLNetBufferList& other) {
    if (this == &other) return *this;
    std::list<TLNetBlock*> copy;
    for (TLNetBlock* b : other.m_blocks) {
        b->AddRef();
        copy.push_back(b);
    }
    // Release through the plain list so a derived offset is left alone here.
    for (TLNetBlock* b : m_blocks) b->Release();
    m_blocks.swap(copy);
    return *this;
}

CTLNetBufferList::~CTLNetBufferList() {
    for (TLNetBlock* b : m_blocks) b->Release();
    m_blocks.clear();
}

void CTLNetBufferList::PopFront(TLNetBlock*& block) {
    block = nullptr;
    if (m_blocks.empty()) return;
    block = m_blocks.front();  // the list's reference passes to the caller
    m_blocks.pop_front();
}

void CTLNetBufferList::Clear() {
    for (TLNetBlock* b : m_blocks) b->Release();
    m_blocks.clear();
}

int CTLNetBufferList::AppendBlock(const void* data, uint32_t length) {
    TLNetBlock* b = TLNetBlock::Create(length);
    if (!b) return TL_NET_E_NOMEM;
    if (data && length) {
        std::memcpy(b->Data(), data, length);
        b->length = length;
    }
    try {
        m_blocks.push_back(b);
    } catch (...) {
        b->Release();
        return TL_NET_E_NOMEM;
    }
    return 0;
}

int CTLNetBufferList::AppendRef(TLNetBlock* block) {
    if (!block) return TL_NET_E_FAIL;
    block->AddRef();
    m_blocks.push_back(block);
    return 0;
}

void CTLNetBufferList::Front(TLNetBlock*& block) const {
    block = nullptr;
    if (m_blocks.empty()) return;
    block = m_blocks.front();
    block->AddRef();
}

uint64_t CTLNetBufferList::GetTotalLength() const {
    uint64_t n = 0;
    for (const TLNetBlock* b : m_blocks) n += b->length;
    return n;
}

// ---- CTLSendBuffer ----------------------------------------------------------

void CTLSendBuffer::PopFront(TLNetBlock*& block) {
    CTLNetBufferList::PopFront(block);
    m_offset = 0;
}

void CTLSendBuffer::Clear() {
    CTLNetBufferList::Clear();
    m_offset = 0;
}

uint32_t CTLSendBuffer::ReadBlocks(CTLSmartBuffer& out, int firstBlock) {
    uint32_t appended = 0;
    bool first = firstBlock != 0;
    while (!m_blocks.empty()) {
        TLNetBlock* b = m_blocks.front();
        const uint32_t off = std::min(m_offset, b->length);
        const uint32_t n = b->length - off;
        const uint32_t room = out.GetCapacity() - out.GetLength();
        if (!first && n > room) break;
        if (n && !out.Append(b->Data() + off, n)) break;
        appended += n;
        first = false;
        TLNetBlock* popped;
        PopFront(popped);
        popped->Release();
    }
    return appended;
}

uint32_t CTLSendBuffer::Read(void* dest, int32_t max) {
    if (!dest || max < 1) return 0;
    auto* d = static_cast<uint8_t*>(dest);
    uint32_t copied = 0;
    const uint32_t want = static_cast<uint32_t>(max);
    while (copied < want && !m_blocks.empty()) {
        TLNetBlock* b = m_blocks.front();
        const uint32_t off = std::min(m_offset, b->length);
        const uint32_t left = b->length - off;
        const uint32_t n = std::min(left, want - copied);
        if (n) std::memcpy(d + copied, b->Data() + off, n);
        copied += n;
        if (n == left) {
            TLNetBlock* popped;
            PopFront(popped);
            popped->Release();
        } else {
            m_offset = off + n;
        }
    }
    return copied;
}

_CTLSendBuffer::~_CTLSendBuffer() { TL_NetReportSendDelay(m_queuedAt, m_flags); }

void _CTLSendBuffer::PopFront(TLNetBlock*& block) {
    CTLSendBuffer::PopFront(block);
    if (block) m_popped += block->length;
}

// ---- SendQueue --------------------------------------------------------------

SendQueue::~SendQueue() { Clear(); }

int32_t SendQueue::Push(const CTLSendBuffer& buf, int32_t flags) {
    auto* q = new (std::nothrow) _CTLSendBuffer;
    if (!q) return TL_NET_E_NOMEM;
    try {
        static_cast<CTLSendBuffer&>(*q) = buf;
    } catch (...) {
        delete q;
        return TL_NET_E_NOMEM;
    }
    q->m_flags = 0;  // the flag word is kept clear; see the engine's delay counters
    (void)flags;
    q->m_queuedAt = TL_NetGetClock();
    const uint64_t bytes = q->GetTotalLength();
    CTLSingleLock lock(&m_lock, 1);
    try {
        if (m_budget > 0) {
            m_waiting.push_back(q);
        } else {
            m_ready.push_back(q);
        }
    } catch (...) {
        lock.Unlock();
        delete q;
        return TL_NET_E_NOMEM;
    }
    m_bytes += bytes;
    return static_cast<int32_t>(std::min<uint64_t>(bytes, 0x7FFFFFFF));
}

uint32_t SendQueue::Fill(uint8_t* dest, uint32_t room, uint32_t* bytes, uint32_t* taken) {
    uint32_t copied = 0;
    uint32_t done = 0;
    {
        CTLSingleLock lock(&m_lock, 1);
        while (!m_ready.empty()) {
            _CTLSendBuffer* front = m_ready.front();
            if (front->IsEmpty()) {
                m_ready.pop_front();
                delete front;
                continue;
            }
            // Block lengths never change once queued, so the popped ones
            // are all that leaves the count; an offset inside a block does not.
            front->m_popped = 0;
            const uint32_t n =
                front->Read(dest + copied, static_cast<int32_t>(std::min<uint32_t>(room - copied, 0x7FFFFFFF)));
            m_bytes -= front->m_popped;
            if (front->IsEmpty()) {
                copied += n;
                m_ready.pop_front();
                delete front;
                ++done;
                continue;
            }
            // Bytes left in this buffer: it stays at the front.
            if (n == 0 && copied == 0) {
                TL_WriteLog(1, "Error!!! The send data is bigger than send buffer (size:%d)!!!",
                            static_cast<int>(room - copied));
            }
            copied += n;
            break;
        }
    }
    if (bytes) *bytes = copied;
    if (taken) *taken = done;
    return copied;
}

uint32_t SendQueue::MoveBudget() {
    CTLSingleLock lock(&m_lock, 1);
    if (m_budget < 1) return 0;
    uint64_t moved = 0;
    while (!m_waiting.empty() && moved < static_cast<uint64_t>(m_budget)) {
        _CTLSendBuffer* b = m_waiting.front();
        m_waiting.pop_front();
        moved += b->GetTotalLength();
        m_ready.push_back(b);
    }
    return static_cast<uint32_t>(std::min<uint64_t>(moved, 0xFFFFFFFF));
}

bool SendQueue::IsEmpty() {
    CTLSingleLock lock(&m_lock, 1);
    return m_ready.empty() && m_waiting.empty();
}

bool SendQueue::IsReadyEmpty() {
    CTLSingleLock lock(&m_lock, 1);
    return m_ready.empty();
}

uint64_t SendQueue::QueuedBytes() {
    CTLSingleLock lock(&m_lock, 1);
    return m_bytes;
}

uint64_t SendQueue::RecountBytes() {
    CTLSingleLock lock(&m_lock, 1);
    uint64_t n = 0;
    for (auto* b : m_ready) n += b->GetTotalLength();
    for (auto* b : m_waiting) n += b->GetTotalLength();
    return n;
}

uint32_t SendQueue::QueuedCount() {
    CTLSingleLock lock(&m_lock, 1);
    return static_cast<uint32_t>(m_ready.size() + m_waiting.size());
}

void SendQueue::Clear() {
    std::deque<_CTLSendBuffer*> ready, waiting;
    {
        CTLSingleLock lock(&m_lock, 1);
        ready.swap(m_ready);
        waiting.swap(m_waiting);
        m_bytes = 0;
    }
    for (auto* b : ready) delete b;
    for (auto* b : waiting) delete b;
}

void SendQueue::SetBudget(int32_t budget) {
    CTLSingleLock lock(&m_lock, 1);
    m_budget = budget > 0 ? budget : 0;
}

int32_t SendQueue::GetBudget() {
    CTLSingleLock lock(&m_lock, 1);
    return m_budget;
}

}  // namespace corvane
