// The framework's allocation pair. Every block carries an 8-byte header with
// the requested size in front of the address handed out. Blocks from
// TL_Allocate go back only through TL_Free (or its aliases), never through
// free() or delete.
#pragma once

#include <cstdint>

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
