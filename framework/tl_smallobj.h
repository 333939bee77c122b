// The process-wide small-object allocator of the framework's shared objects:
// Loki's AllocatorSingleton with class-level locking, 4096-byte chunks and
// one pool of 29-byte blocks (counts of up to 29 bytes; larger counts go to
// the C++ heap through the same calls), created on first use and destroyed
// at process exit.
#pragma once

#include <cstddef>

// The allocator's class-level lock: one process-wide lock, held by every
// allocation and deallocation. Not taken again by the thread that holds it.
class TLSmallObjLock {
public:
    TLSmallObjLock();
    ~TLSmallObjLock();
    TLSmallObjLock(const TLSmallObjLock&) = delete;
    TLSmallObjLock& operator=(const TLSmallObjLock&) = delete;

private:
    alignas(8) unsigned char m_lock[8];  // Loki's scoped lock object
};

// Both with the lock held. A block goes back with the count it was taken
// with. Allocation gives null when memory is short.
void* TL_SmallObjAllocate(std::size_t count);
void TL_SmallObjDeallocate(void* block, std::size_t count);

// True once the allocator has been destroyed at process exit: nothing may
// be allocated, given back or locked any more.
bool TL_SmallObjGone();

// Has fn run at process exit while the allocator still stands (just before
// it is destroyed, last added first): for holders of blocks that live until
// the end, such as static objects, whose own destructors come too late.
// Takes the lock itself. False when the hooks (8) are all taken.
bool TL_SmallObjAtExit(void (*fn)());
