// TLVariant clears of every kind, shared objects and their blocks in the
// small-object allocator, the setters, and the process-wide value at exit.
#include "framework/tl_variant.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/tl_alloc.h"

namespace {

bool AllZero(const TLVariant& v) {
    static const unsigned char zero[sizeof(TLVariant)] = {};
    return std::memcmp(&v, zero, sizeof v) == 0;
}

TLVariant Raw(uint16_t type, void* data, uint64_t length) {
    TLVariant v;
    v.m_nType = type;
    v.m_pData = data;
    v.m_nLength = length;
    return v;
}

struct Released {
    int calls = 0;
};
void CountRelease(void* context) { ++static_cast<Released*>(context)->calls; }

uint32_t SizeWordOf(const TLSharedObject* obj) {
    uint32_t w;
    std::memcpy(&w, reinterpret_cast<const uint8_t*>(obj) - 4, 4);
    return w;
}
void SetSizeWord(TLSharedObject* obj, uint32_t w) { std::memcpy(reinterpret_cast<uint8_t*>(obj) - 4, &w, 4); }

TEST(Variant, ClearReleasesEachKindAndLeavesZero) {
    TLVariant v;
    std::memset(&v, 0xCD, sizeof v);
    EXPECT_EQ(&v, TL_VariantInit(&v));
    EXPECT_TRUE(AllZero(v));
    TL_VariantClear(&v);  // empty: nothing to release
    EXPECT_TRUE(AllZero(v));
    TL_VariantClear(nullptr);

    // 0x2ABC is of kind 0x2000; a null pointer frees nothing.
    v = Raw(0x2ABC, nullptr, 12);
    EXPECT_EQ(TL_VT_BUFFER, TL_VariantKind(&v));
    TL_VariantClear(&v);
    EXPECT_TRUE(AllZero(v));

    // Hand-made payloads of the owning kinds: a wrong release would be a bad
    // free under AddressSanitizer, a missing one a leak at exit.
    v = Raw(0x2ABC, TL_Allocate(40), 0xFFFFFFFF00000028ull);
    EXPECT_EQ(40u, TL_VariantLength(&v));  // kind 0x2000 counts the low 32 bits
    TL_VariantClear(&v);
    EXPECT_TRUE(AllZero(v));
    TL_VariantClear(&v);  // twice: nothing the second time
    auto* block = static_cast<uint8_t*>(TL_Allocate(8 + 100));
    v = Raw(0x6001, block + 8, 100);
    TL_VariantClear(&v);
    EXPECT_TRUE(AllZero(v));
    v = Raw(0x6000, nullptr, 5);
    TL_VariantClear(&v);
    EXPECT_TRUE(AllZero(v));

    // Kinds that own nothing leave their pointer alone, however bogus.
    for (uint16_t type : {0x1000, 0x3000, 0x4123, 0x5000, 0x7000, 0x8000, 0xB000, 0xFFFF}) {
        v = Raw(type, reinterpret_cast<void*>(uintptr_t(0x10)), 7);
        TL_VariantClear(&v);
        EXPECT_TRUE(AllZero(v)) << std::hex << type;
    }
    v = Raw(0x9000, nullptr, 0);
    TL_VariantClear(&v);
    EXPECT_TRUE(AllZero(v));
}

TEST(Variant, SettersMakeOwnedPayloadsAndKeepTheTag) {
    TLVariant v;
    TL_VariantInit(&v);
    ASSERT_TRUE(TL_VariantSetBuffer(&v, "payload", 7, 0xF123));
    EXPECT_EQ(0x2123, v.m_nType);
    // From its own bytes: the new buffer is made before the old one goes.
    ASSERT_TRUE(TL_VariantSetBuffer(&v, static_cast<char*>(TL_VariantData(&v)) + 3, 4));
    EXPECT_EQ(0, std::memcmp(TL_VariantData(&v), "load", 4));

    // A block's own head holds the length; a copy owns a block of its own.
    ASSERT_TRUE(TL_VariantSetBlock(&v, "payload", 7, 0x00A));
    EXPECT_EQ(0x600A, v.m_nType);
    uint64_t head;
    std::memcpy(&head, static_cast<uint8_t*>(TL_VariantData(&v)) - 8, 8);
    EXPECT_EQ(7u, head);
    EXPECT_FALSE(TL_VariantSetBlock(&v, nullptr, uint64_t(1) << 32));
    EXPECT_EQ(TL_VT_BLOCK, TL_VariantKind(&v));  // unchanged after a refusal
    TLVariant copy;
    ASSERT_TRUE(TL_VariantCopy(TL_VariantInit(&copy), &v));
    EXPECT_NE(TL_VariantData(&copy), TL_VariantData(&v));
    EXPECT_EQ(0, std::memcmp(TL_VariantData(&copy), "payload", 7));

    TL_VariantSetInteger(&v, -5, 0x7);
    EXPECT_EQ(0x1007, v.m_nType);
    EXPECT_EQ(uint64_t(-5), TL_VariantLength(&v));
    TL_VariantClear(&copy);
    TL_VariantClear(&v);
}

TEST(Variant, SharedObjectGoesWithTheLastReference) {
    Released r;
    TLSharedObject* obj = TL_SharedObjectCreate(&r, CountRelease);
    ASSERT_NE(nullptr, obj);
    EXPECT_EQ(24u, TL_SharedObjectSize(obj));
    EXPECT_EQ(24u, SizeWordOf(obj));
    EXPECT_EQ(&r, TL_SharedObjectContext(obj));

    // Two variants hold it (count 2); the creator's reference is given up.
    TLVariant a;
    TLVariant b;
    TL_VariantInit(&a);
    TL_VariantInit(&b);
    ASSERT_TRUE(TL_VariantSetShared(&a, obj));
    ASSERT_TRUE(TL_VariantCopy(&b, &a));
    EXPECT_EQ(2u, TL_SharedObjectRelease(obj));
    EXPECT_EQ(TL_VT_SHARED, TL_VariantKind(&b));
    // Setting a value to what it holds keeps the object.
    ASSERT_TRUE(TL_VariantSetShared(&b, obj, TL_VT_SHARED_B, 0x55));
    EXPECT_EQ(0xA055, b.m_nType);
    EXPECT_EQ(2u, TL_SharedObjectRefCount(obj));

    TL_VariantClear(&a);
    EXPECT_TRUE(AllZero(a));
    EXPECT_EQ(1u, TL_SharedObjectRefCount(obj));
    EXPECT_EQ(0, r.calls);
    TL_VariantClear(&b);  // kind 0xA000 goes like 0x9000
    EXPECT_TRUE(AllZero(b));
    EXPECT_EQ(1, r.calls);

    // The block went back to the pool: the next object takes it again.
    TLSharedObject* next = TL_SharedObjectCreate(nullptr, nullptr);
    EXPECT_EQ(obj, next);
    EXPECT_EQ(1u, TL_SharedObjectRefCount(next));
    EXPECT_EQ(nullptr, TL_SharedObjectContext(next));
    EXPECT_EQ(0u, TL_SharedObjectRelease(next));  // no callback: released all the same
    EXPECT_EQ(0u, TL_SharedObjectRelease(nullptr));
    EXPECT_FALSE(TL_VariantSetShared(&a, obj, 0x2000));
}

TEST(Variant, SizeWordDecidesHowTheBlockGoesBack) {
    Released r;
    // A size word of 0: the callback runs, the block stays.
    TLSharedObject* obj = TL_SharedObjectCreate(&r, CountRelease);
    ASSERT_NE(nullptr, obj);
    SetSizeWord(obj, 0);
    TLVariant v;
    ASSERT_TRUE(TL_VariantSetShared(TL_VariantInit(&v), obj));
    TL_SharedObjectRelease(obj);
    TL_VariantClear(&v);
    EXPECT_EQ(1, r.calls);
    TLSharedObject* other = TL_SharedObjectCreate(nullptr, nullptr);
    EXPECT_NE(obj, other);  // still taken
    TL_SharedObjectRelease(other);

    // The kept block is whole: revive it with the bit-31 form of its size
    // (bits 0-19) and release it properly, back into the pool.
    SetSizeWord(obj, 0x80000000u | 0x7FF00000u | 24u);
    EXPECT_EQ(24u, TL_SharedObjectSize(obj));
    const uint32_t one = 1;
    std::memcpy(reinterpret_cast<uint8_t*>(obj) + offsetof(TLSharedObject, m_nRefCount), &one, 4);
    EXPECT_EQ(0u, TL_SharedObjectRelease(obj));
    EXPECT_EQ(2, r.calls);
    TLSharedObject* again = TL_SharedObjectCreate(nullptr, nullptr);
    EXPECT_EQ(obj, again);
    TL_SharedObjectRelease(again);

    // Objects past 24 bytes (counts past 29) live on the heap, where a
    // wrong count on the way back would be caught; their extra bytes start
    // zero and are the caller's.
    for (uint32_t size : {25u, 26u, 64u, 4096u, TL_SHARED_MAX_SIZE}) {
        TLSharedObject* big = TL_SharedObjectCreate(&r, CountRelease, size);
        ASSERT_NE(nullptr, big) << size;
        EXPECT_EQ(size, TL_SharedObjectSize(big));
        auto* extra = static_cast<uint8_t*>(TL_SharedObjectExtra(big));
        const std::vector<uint8_t> zero(size - sizeof(TLSharedObject), 0);
        EXPECT_EQ(0, std::memcmp(extra, zero.data(), zero.size()));
        std::memset(extra, 0x5A, zero.size());
        TL_SharedObjectRelease(big);
    }
    EXPECT_EQ(7, r.calls);
    EXPECT_EQ(nullptr, TL_SharedObjectCreate(nullptr, nullptr, 23));
    EXPECT_EQ(nullptr, TL_SharedObjectCreate(nullptr, nullptr, TL_SHARED_MAX_SIZE + 1));
}

// Writes to stderr from the exit, where the test's own checks are over.
void SayReleased(void* context) { std::fprintf(stderr, "released %s\n", static_cast<const char*>(context)); }

TEST(Variant, ProcessValueIsClearedAtExit) {
    TLVariant* pv = TL_GetProcessVariant();
    ASSERT_NE(nullptr, pv);
    EXPECT_EQ(pv, TL_GetProcessVariant());
    EXPECT_TRUE(AllZero(*pv));
    // The process value holds the last reference when the process ends: it
    // is cleared while the allocator (created after it) still holds the
    // block, calls back, and the process ends normally.
    EXPECT_EXIT(
        {
            TLSharedObject* obj = TL_SharedObjectCreate(const_cast<char*>("at exit"), SayReleased);
            TL_VariantSetShared(TL_GetProcessVariant(), obj);
            TL_SharedObjectRelease(obj);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "released at exit");
    EXPECT_TRUE(AllZero(*pv));
}

}  // namespace
