#include "framework/tl_alloc.h"

#include <cstdlib>
#include <cstring>

#include "framework/tl_log.h"

const uint32_t g_TLLargeBlockLimit = 0x1F400000u;

namespace {

constexpr uint64_t kHeader = 8;

}  // namespace

void* TL_Allocate(uint32_t size) {
    if (size > g_TLLargeBlockLimit) {
        // Unsigned, so that sizes of 2 GiB and more do not print as negative.
        TL_WriteLogRaw("TL_Allocate %u\n", size);
    }
    // Computed in 64 bits: size + 8 must not wrap for sizes near 4 GiB.
    const uint64_t total = static_cast<uint64_t>(size) + kHeader;
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(total)));
    if (block == nullptr) return nullptr;
    const uint64_t header = size;
    std::memcpy(block, &header, sizeof(header));
    return block + kHeader;
}

void TL_Free(void* p, uint32_t) {
    if (p == nullptr) return;
    std::free(static_cast<unsigned char*>(p) - kHeader);
}

void* TL_Reallocate(void* p, uint32_t new_size) {
    if (p == nullptr) return TL_Allocate(new_size);
    const uint64_t total = static_cast<uint64_t>(new_size) + kHeader;
    void* block = std::realloc(static_cast<unsigned char*>(p) - kHeader, static_cast<size_t>(total));
    if (block == nullptr) return nullptr;
    return static_cast<unsigned char*>(block) + kHeader;
}

void TL_Delete(void* p) { TL_Free(p, 0); }

void TL_Deallocate(void*, void* p, uint32_t) { TL_Free(p, 0); }
