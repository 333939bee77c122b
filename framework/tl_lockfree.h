// Lock-free FIFO of pointer-sized items (murek::CQueue) and its bounded
// form with a drop counter (CRingLockFreeList).
//
// Producers take turns through a write ticket and consumers through a read
// ticket: a thread that wins the compare-and-swap of its ticket is alone on
// its end of the queue until it publishes the new count (write or read) with
// a release store. A consumer only takes ticket r + 1 after it has seen
// write > r with an acquire load, so it never sees a half-written node.
//
// Nodes come 1024 to a block; ticket t lives in node (t - 1) mod 1024 of its
// block. A new block is linked by the producer of the first ticket of that
// block, and the previous block is freed by the consumer that takes that
// ticket (its old head was the last node of the previous block).
//
// Counters are 64-bit: at any realistic rate they never wrap.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>
#include <type_traits>

#include "framework/tl_sync.h"

namespace murek {

// Where the queue's blocks come from. The default is malloc/free; tests
// inject their own to count blocks or to make an allocation fail.
struct CQueueBlockAllocator {
    void* (*alloc)(void* context, std::size_t bytes);
    void (*release)(void* context, void* block);
    void* context;
};

template <class T, unsigned BlockSize = 1024>
class CQueue {
    static_assert(BlockSize >= 2 && (BlockSize & (BlockSize - 1)) == 0, "block size must be a power of two");
    static_assert(std::is_trivially_copyable_v<T>, "queue items are pointer-sized values");

public:
    // start: first ticket minus one (a multiple of the block size); only
    // tests set it, to run the counters across a chosen boundary.
    explicit CQueue(const CQueueBlockAllocator* allocator = nullptr, std::uint64_t start = 0)
        : m_start(start - start % BlockSize) {
        if (allocator != nullptr) m_allocator = *allocator;
        m_read.store(m_start, std::memory_order_relaxed);
        m_write.store(m_start, std::memory_order_relaxed);
        m_readTicket.store(m_start, std::memory_order_relaxed);
        m_writeTicket.store(m_start, std::memory_order_relaxed);
        Node* first = AllocBlock();
        if (first == nullptr) throw std::bad_alloc();
        m_sentinel = new Node();
        m_sentinel->index = m_start;
        m_sentinel->next = first;
        m_head = m_sentinel;
        m_tail = m_sentinel;
    }

    CQueue(const CQueue&) = delete;
    CQueue& operator=(const CQueue&) = delete;

    // Frees the sentinel and every live block. Items still queued are
    // dropped; their owner (the pool) takes them out first.
    virtual ~CQueue() {
        T item;
        while (Pop(item)) {
        }
        Node* block = nullptr;
        if (m_head == m_sentinel) {
            block = m_sentinel->next;
        } else {
            block = m_head - (m_head->index - 1 - m_start) % BlockSize;
        }
        ReleaseBlock(block);
        delete m_sentinel;
    }

    // Appends item. False only when a new block cannot be allocated; the
    // ticket is then handed back and the queue stays usable.
    bool Push(const T& item) {
        unsigned failures = 0;
        for (;;) {
            std::uint64_t w = m_write.load(std::memory_order_acquire);
            std::uint64_t expected = w;
            if (m_writeTicket.compare_exchange_strong(expected, w + 1, std::memory_order_acq_rel,
                                                      std::memory_order_relaxed)) {
                const std::uint64_t t = w + 1;
                // The previous producer published before releasing the ticket.
                assert(m_tail->index == w);
                Node* node = nullptr;
                if (IsBlockStart(t)) {
                    node = AllocBlock();
                    if (node == nullptr) {
                        // Only the ticket holder may move the ticket.
                        m_writeTicket.store(w, std::memory_order_release);
                        return false;
                    }
                    m_tail->next = node;
                } else {
                    node = m_tail->next;
                }
                node->value = item;
                node->index = t;
                m_tail = node;
                m_write.store(t, std::memory_order_release);
                return true;
            }
            if (++failures >= 3) std::this_thread::yield();
        }
    }

    // Takes the oldest item. False at once when the queue is empty.
    bool Pop(T& out) {
        unsigned failures = 0;
        for (;;) {
            std::uint64_t r = m_read.load(std::memory_order_acquire);
            if (r >= m_write.load(std::memory_order_acquire)) return false;
            std::uint64_t expected = r;
            if (m_readTicket.compare_exchange_strong(expected, r + 1, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
                const std::uint64_t t = r + 1;
                Node* oldHead = m_head;
                Node* node = oldHead->next;
                assert(node != nullptr && node->index == t);
                out = node->value;
                m_head = node;
                m_read.store(t, std::memory_order_release);
                if (IsBlockStart(t)) {
                    // The old head was the last node of the previous block.
                    ReleaseBlock(oldHead - (BlockSize - 1));
                }
                return true;
            }
            if (++failures > 3) std::this_thread::yield();
        }
    }

    // Items published and not yet taken (a snapshot).
    std::uint32_t Size() const {
        const std::uint64_t r = m_read.load(std::memory_order_acquire);
        const std::uint64_t w = m_write.load(std::memory_order_acquire);
        if (w <= r) return 0;
        const std::uint64_t n = w - r;
        return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
    }

    bool IsEmpty() const { return Size() == 0; }

protected:
    struct Node {
        T value{};
        std::uint64_t index = 0;  // the item's ticket, 0 while unused
        Node* next = nullptr;
    };

    // One allocation of BlockSize nodes, linked in order; null on failure.
    Node* AllocBlock() {
        void* raw = m_allocator.alloc(m_allocator.context, sizeof(Node) * BlockSize);
        if (raw == nullptr) return nullptr;
        Node* nodes = static_cast<Node*>(raw);
        for (unsigned i = 0; i < BlockSize; ++i) {
            Node* n = new (&nodes[i]) Node();
            n->next = (i + 1 < BlockSize) ? &nodes[i + 1] : nullptr;
        }
        return nodes;
    }

private:
    bool IsBlockStart(std::uint64_t t) const { return t > m_start + 1 && (t - m_start) % BlockSize == 1; }

    void ReleaseBlock(Node* block) {
        for (unsigned i = 0; i < BlockSize; ++i) block[i].~Node();
        m_allocator.release(m_allocator.context, block);
    }

    static void* DefaultAlloc(void*, std::size_t bytes) { return std::malloc(bytes); }
    static void DefaultRelease(void*, void* block) { std::free(block); }

    CQueueBlockAllocator m_allocator{&DefaultAlloc, &DefaultRelease, nullptr};
    const std::uint64_t m_start;
    // The consumer side and the producer side are kept on separate cache
    // lines by padding (not alignas: queues live inside objects from
    // allocators that only guarantee 8-byte alignment).
    char m_pad0[64];
    std::atomic<std::uint64_t> m_read{0};
    std::atomic<std::uint64_t> m_readTicket{0};
    Node* m_head = nullptr;  // node of the last item taken
    char m_pad1[64];
    std::atomic<std::uint64_t> m_write{0};
    std::atomic<std::uint64_t> m_writeTicket{0};
    Node* m_tail = nullptr;  // node of the last item published
    char m_pad2[64];
    Node* m_sentinel = nullptr;
};

}  // namespace murek

// The pools' queue: an optional capacity (0 = unbounded), a counter of
// refused pushes, and an auto-reset event (initially not signalled) for
// owners that want to wait on the list; the pools use their own event.
template <class T, unsigned Capacity = 0>
class CRingLockFreeList : public murek::CQueue<T, 1024> {
public:
    explicit CRingLockFreeList(std::uint64_t capacity = Capacity,
                               const murek::CQueueBlockAllocator* allocator = nullptr)
        : murek::CQueue<T, 1024>(allocator), m_capacity(capacity) {}
    ~CRingLockFreeList() override = default;

    // False (and one more drop) when the list is full or the enqueue fails.
    // With several producers the capacity check may overshoot by up to the
    // number of producers minus one.
    bool Push(const T& item) {
        if ((m_capacity != 0 && this->Size() >= m_capacity) || !murek::CQueue<T, 1024>::Push(item)) {
            m_drops.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        return true;
    }

    std::int32_t GetDropCount() const { return static_cast<std::int32_t>(m_drops.load(std::memory_order_relaxed)); }
    std::uint64_t GetCapacity() const { return m_capacity; }
    corvane::CEvent& GetEvent() { return m_event; }

private:
    std::atomic<std::uint32_t> m_drops{0};
    std::uint64_t m_capacity;
    corvane::CEvent m_event;
};
