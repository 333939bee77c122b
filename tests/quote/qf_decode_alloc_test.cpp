// Snappy-coded blocks that state a huge uncompressed length are refused
// before anything is allocated. Under AddressSanitizer the allocator reports
// every request to a hook here, so the largest one can be checked.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quote/qf_decode.h"
#include "simulator/quote_writer.h"

// g++ tells of AddressSanitizer with __SANITIZE_ADDRESS__, clang with
// __has_feature(address_sanitizer).
#if defined(__SANITIZE_ADDRESS__)
#define KVO_ASAN 1
#elif defined(__clang__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVO_ASAN 1
#endif
#endif

#if defined(KVO_ASAN)
// The sanitizer runtime's allocation hooks (its public interface).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace {

size_t g_largest = 0;
[[maybe_unused]] void OnMalloc(const volatile void*, size_t n) {
    if (n > g_largest) g_largest = n;
}
[[maybe_unused]] void OnFree(const volatile void*) {}

TEST(QfDecodeAlloc, StatedSnappyLengthBeyondTheStreamIsRefusedUnallocated) {
#if !defined(KVO_ASAN)
    GTEST_SKIP() << "allocation hooks need AddressSanitizer";
#else
    static const int hooked = __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
    ASSERT_NE(hooked, 0);
    QfWorkTable w;
    w.records = 1;
    w.recordSize = 4;
    w.columns.push_back({0x3000, 4});
    // M (the bitmap length) claims 2 GB, and so does snappy's own length
    // prefix (LEB128), followed by one literal byte.
    const uint32_t M = 0x7FFFFFF0u;
    qw::Bytes blk;
    qw::PutSVar(blk, int64_t(M));
    uint32_t v = M;
    for (; v >= 0x80; v >>= 7) blk.push_back(uint8_t(v | 0x80));
    blk.push_back(uint8_t(v));
    blk.push_back(0x00);  // literal of one byte
    blk.push_back(0x01);
    std::vector<uint8_t> out(4, 0xEE);
    // The hook must see requests at all, or the bound below proves nothing.
    g_largest = 0;
    void* volatile probe = std::malloc(size_t(1) << 20);
    std::free(probe);
    ASSERT_GE(g_largest, size_t(1) << 20);
    g_largest = 0;
    EXPECT_EQ(QF_DecodeBlock(QF_BLOCK_SNAPPY, blk.data(), int64_t(blk.size()), w, out.data(), out.size()), -5);
    EXPECT_LT(g_largest, size_t(1) << 20);
    EXPECT_EQ(out, std::vector<uint8_t>(4, 0xEE));
#endif
}

}  // namespace
