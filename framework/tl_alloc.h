// The framework's allocation pair. Every block carries an 8-byte header with
// the requested size in front of the address handed out. Blocks from
// TL_Allocate go back only through TL_Free (or its aliases), never through
// free() or delete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Requests above this size are reported in the default log before they are
// served (500 MiB). Only read.
extern const uint32_t g_TLLargeBlockLimit;

// size usable bytes, or null when the heap refuses.
void* TL_Allocate(uint32_t size);

// Releases a block; null is accepted. The size is not used.
void TL_Free(void* p, uint32_t size = 0);

// Resizes a block, header included; the header keeps its old value. Null when
// the heap refuses, the old block then stays valid. A null p allocates.
void* TL_Reallocate(void* p, uint32_t new_size);

// The same as TL_Free, for framework objects.
void TL_Delete(void* p);

// The same as TL_Free, in the form framework containers use.
void TL_Deallocate(void* allocator, void* p, uint32_t count);

// Blocks handed out unzeroed, to callers that write every byte before
// anything reads it, are filled with this pattern in the builds that tests
// run (Debug and sanitizer builds define KVO_FILL_UNZEROED): a byte such a
// caller leaves unwritten then reads as 0xA5 in every test, rather than as
// the zeros a fresh heap block usually holds. Other builds leave the block
// as the heap gives it.
constexpr uint8_t kTLUnzeroedPattern = 0xA5;
inline void TL_FillUnzeroed(void* p, size_t n) {
#if defined(KVO_FILL_UNZEROED)
    if (p != nullptr && n != 0) std::memset(p, kTLUnzeroedPattern, n);
#else
    (void)p;
    (void)n;
#endif
}
