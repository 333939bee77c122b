// A variable-length image may state large counts and lengths in a few bytes:
// converting it must not allocate in proportion to what it states, only to
// what it holds. Every operator new of this program is measured.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "quote/qf_format.h"
#include "simulator/quote_writer.h"

// clang links its ThreadSanitizer runtime into the program, and that runtime
// defines operator new itself: there the runtime's allocation hooks (its
// public interface) measure every request instead.
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVO_MEASURE_BY_HOOKS 1
#endif
#endif

namespace {
std::atomic<size_t> g_largest{0};

void Measure(size_t n) {
    size_t seen = g_largest.load();
    while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
    }
}
}  // namespace

#ifdef KVO_MEASURE_BY_HOOKS
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));
namespace {
void OnMalloc(const volatile void*, size_t n) { Measure(n); }
void OnFree(const volatile void*) {}
const int g_hooked = __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
}  // namespace
#else
// Kept out of line: g++ would otherwise inline the free() below into code
// whose pointer it saw come from operator new, and warn of a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n) {
    Measure(n);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using qw::Bytes;

// An "hq6." image of one 4-byte column and no records whose index section
// states `total` bytes and `count` entries of 28 bytes but holds no entry,
// or whose column count is `columns` with 252-byte entries and no entry.
Bytes Hostile(uint32_t total, uint32_t count, uint16_t columns, uint64_t* nativeSize) {
    const bool manyColumns = columns > 1;
    const uint32_t entry = manyColumns ? 252 : 8;
    const uint32_t H = 32 + entry * columns;
    Bytes cols;
    qw::PutUVar(cols, H);
    cols.push_back(8);
    for (uint32_t w : {0x2E317168u, 0x30u, total, 0u, 0u, 4u, 0u, 32u | (entry << 8) | (uint32_t(columns) << 16)})
        qw::PutUVar(cols, w);
    qw::PutUVar(cols, 0x3001);
    qw::PutUVar(cols, 4u << 16);
    Bytes idx;
    if (total) {
        idx.push_back(4);
        for (uint32_t w : {total, count, count, 16u | (28u << 8) | (16u << 16)}) qw::PutUVar(idx, w);
    }
    *nativeSize = uint64_t(H) + total;
    Bytes b = {'h', 'q', '6', '.', '0', 0, 0, 0, 5};
    for (uint64_t v : {*nativeSize, uint64_t(cols.size()), uint64_t(idx.size()), uint64_t(0), uint64_t(0)})
        qw::PutUVar(b, v);
    b.insert(b.end(), cols.begin(), cols.end());
    b.insert(b.end(), idx.begin(), idx.end());
    return b;
}

uint32_t Convert(const Bytes& img, uint64_t nativeSize, size_t* largest) {
    QfConvertPlan plan;
    uint32_t rc = QF_PlanConversion(img.data(), img.size(), &plan);
    if (rc) return rc;
    EXPECT_EQ(plan.nativeSize, nativeSize);
    std::vector<uint8_t> buf(nativeSize);
    std::copy(img.begin(), img.end(), buf.begin());
    uint64_t len = 0;
    g_largest = 0;
    rc = QF_ConvertVarLen(buf.data(), img.size(), buf.size(), plan, &len);
    *largest = g_largest;
    return rc;
}

TEST(QfVarLenAllocations, StatedCountsBeyondTheSectionAreRefusedFirst) {
#ifdef KVO_MEASURE_BY_HOOKS
    ASSERT_NE(g_hooked, 0);
#endif
    // The measure must see requests at all, or the bounds below prove nothing.
    g_largest = 0;
    void* volatile probe = ::operator new(size_t(1) << 20);
    ::operator delete(probe);
    ASSERT_GE(g_largest, size_t(1) << 20);
    const uint32_t total = 8u << 20;
    uint64_t native = 0;
    size_t largest = 0;
    // Index entries that the section does not hold.
    Bytes img = Hostile(total, (total - 16) / 28, 1, &native);
    EXPECT_EQ(Convert(img, native, &largest), QF_E_INDEX);
    EXPECT_LT(largest, size_t(64) << 10);
    // No entries and a long stated index: the head is built, not the length.
    img = Hostile(total, 0, 1, &native);
    EXPECT_EQ(Convert(img, native, &largest), 0u);
    EXPECT_LT(largest, size_t(64) << 10);
    // Column entries that the section does not hold.
    img = Hostile(0, 0, 65535, &native);
    EXPECT_EQ(Convert(img, native, &largest), QF_E_OUTPUT);
    EXPECT_LT(largest, size_t(64) << 10);
}

}  // namespace
