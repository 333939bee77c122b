// What a quote-file image makes the reader reserve. A push or a query answer
// is never appended to, so an opened image holds its header, index and
// records plus at most a bounded spare, and the counts an image states are
// checked against the bytes it carries before anything is reserved for them.
//
// Every reservation of this program is measured: blocks above the file
// layer's mapping threshold through mmap, which this program provides in
// place of the C library's, and heap blocks through AddressSanitizer's
// allocation hooks when the program is built with it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "framework/tl_fileobj.h"
#include "quote/qf_quotefile.h"
#include "simulator/quote_writer.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace {

std::atomic<size_t> g_largest{0};

void Note(size_t n) {
    size_t seen = g_largest.load();
    while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
    }
}

[[maybe_unused]] void OnMalloc(const volatile void*, size_t n) { Note(n); }
[[maybe_unused]] void OnFree(const volatile void*) {}

}  // namespace

extern "C" void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    Note(len);
    return reinterpret_cast<void*>(syscall(SYS_mmap, addr, len, prot, flags, fd, off));
}

namespace {

using qw::Bytes;

class Reservations : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#if defined(__SANITIZE_ADDRESS__)
        static const int hooked = __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
        (void)hooked;
#endif
    }
    // Opens the image and returns the result; *largest is the largest block
    // reserved meanwhile.
    static uint32_t Open(const Bytes& img, size_t* largest) {
        g_largest = 0;
        CHQuoteFile f;
        uint32_t rc = f.OpenMemory(img.data(), uint32_t(img.size()), 0);
        *largest = g_largest;
        return rc;
    }
};

// One record of one 4-byte column, raw: an "hq6." image of a few dozen bytes
// whose stated native size is what it needs plus `spare`.
Bytes Tiny(int64_t spare) {
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}}, 1);
    qw::SetU32(t, 0, 0, 7);
    qw::Hq6Options o;
    o.nativeSizeAdjust = spare;
    return qw::Hq6Image(t, 0, o);
}

TEST_F(Reservations, TheProbeSeesTheFileLayersBlocks) {
    // A block past the mapping threshold is mapped, and the probe sees it.
    g_largest = 0;
    corvane::CTLFileObj f;
    ASSERT_EQ(f.OpenMemory("x", 1, 0), 0u);
    ASSERT_EQ(f.SetLength64(int64_t(64) << 20), 0u);
    EXPECT_TRUE(f.IsMapped());
    EXPECT_GE(g_largest.load(), size_t(64) << 20);
}

TEST_F(Reservations, TinyVariableLengthImageReservesItsNeedAndBoundedSpare) {
    size_t largest = 0;
    const Bytes exact = Tiny(0);
    ASSERT_LT(exact.size(), 100u);
    EXPECT_EQ(Open(exact, &largest), 0u);
    EXPECT_LT(largest, size_t(64) << 10);

    // The whole spare is granted; one byte more is refused unreserved.
    const Bytes spare = Tiny(int64_t(QF_MAX_SPARE));
    ASSERT_LT(spare.size(), 100u);
    EXPECT_EQ(Open(spare, &largest), 0u);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_GE(largest, size_t(QF_MAX_SPARE));  // the heap hook sees the block
#endif
    EXPECT_LE(largest, size_t(QF_MAX_SPARE) + (64u << 10));
    EXPECT_EQ(Open(Tiny(int64_t(QF_MAX_SPARE) + 1), &largest), QF_E_NOMEM);
    EXPECT_LT(largest, size_t(64) << 10);

    // About 2 GiB stated by a few dozen bytes.
    const Bytes hostile = Tiny(0x7FFF0000);
    ASSERT_LT(hostile.size(), 100u);
    EXPECT_EQ(Open(hostile, &largest), QF_E_NOMEM);
    EXPECT_LT(largest, size_t(64) << 10);
}

TEST_F(Reservations, StatedRecordsBeyondTheStoredDataAreRefusedUnreserved) {
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}, {0x7002, 0, 4}, {0x1003, 0, 12}}, 4);
    for (uint32_t r = 0; r < 4; ++r) {
        qw::SetU32(t, r, 0, r);
        qw::SetU32(t, r, 1, 0x10000000u + r);
        qw::SetText(t, r, 2, "600000");
    }
    size_t largest = 0;
    // Compact kinds whose blocks state their lengths: 8M records of 20 bytes
    // claimed in the header, a block that holds four.
    for (const char* v : {"hd3.1", "hd5.0", "hd5.1"}) {
        qw::CompactOptions o;
        o.version = v;
        Bytes img = qw::CompactImage(t, o);
        EXPECT_EQ(Open(img, &largest), 0u) << v;
        img[6] = img[7] = 0xFF;
        img[8] = 0x7F;
        EXPECT_EQ(Open(img, &largest), QF_E_OUTPUT) << v;
        EXPECT_LT(largest, size_t(64) << 10) << v;
    }
    // Variable-length images: the same claim in the column section, sized for
    // in the stated native size, over data that holds four records.
    for (uint32_t compression : {0u, 0x10u}) {
        EXPECT_EQ(Open(qw::Hq6Image(t, compression), &largest), 0u) << compression;
        qw::Hq6Options o;
        o.statedRecords = 8u << 20;
        EXPECT_EQ(Open(qw::Hq6Image(t, compression, o), &largest), compression ? QF_E_OUTPUT : QF_E_NOTQUOTE)
            << compression;
        EXPECT_LT(largest, size_t(64) << 10) << compression;
    }
    // Snappy columns stating more records than even a native size of about
    // 2 GiB holds: the decoder's answer (destination too small), unreserved.
    qw::Hq6Options o;
    o.statedRecords = 0x7FFF0000 / 20 + 1000;
    o.nativeSizeAdjust = -40000;
    EXPECT_EQ(Open(qw::Hq6Image(t, 0x10, o), &largest), QF_E_DEC_SIZE);
    EXPECT_LT(largest, size_t(64) << 10);
}

}  // namespace
