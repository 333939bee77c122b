#include "framework/tl_variant.h"

#include <cstddef>
#include <cstring>

#include "framework/tl_alloc.h"
#include "framework/tl_smallobj.h"
#include "framework/tl_sync.h"

namespace {

// A block holds the 32-bit size word, the object, and one byte more: it is
// allocated and given back with a count of size + 5.
constexpr size_t kSizeWord = 4;
constexpr size_t kBlockExtra = 5;

uint8_t* Bytes(const TLSharedObject* obj) { return reinterpret_cast<uint8_t*>(const_cast<TLSharedObject*>(obj)); }

// The reference count in place, for the atomic operations. x86 performs
// locked operations on any address, and the 29-byte blocks leave it aligned
// only now and then.
int32_t* RefCount(const TLSharedObject* obj) {
    return reinterpret_cast<int32_t*>(Bytes(obj) + offsetof(TLSharedObject, m_nRefCount));
}

template <typename T>
T Field(const TLSharedObject* obj, size_t offset) {
    T v;
    std::memcpy(&v, Bytes(obj) + offset, sizeof v);
    return v;
}

uint32_t SizeWord(const TLSharedObject* obj) {
    uint32_t word;
    std::memcpy(&word, Bytes(obj) - kSizeWord, sizeof word);
    return word;
}

// The size a size word gives: bits 0-19 when bit 31 is set, else the word.
uint32_t SizeOf(uint32_t word) { return (word & 0x80000000u) ? (word & 0x000FFFFFu) : word; }

// Gives the block of an object whose last reference went back to the
// allocator; a size of 0 gives back nothing, and once the allocator is gone
// (late in the process exit) blocks stay where they are.
void GiveBack(TLSharedObject* obj) {
    if (TL_SmallObjGone()) return;
    TLSmallObjLock lock;
    const uint32_t size = SizeOf(SizeWord(obj));
    if (size == 0) return;
    TL_SmallObjDeallocate(Bytes(obj) - kSizeWord, size_t(size) + kBlockExtra);
}

uint16_t Kind(uint16_t type) { return uint16_t(type & TL_VT_KIND_MASK); }
uint16_t TypeWord(uint16_t kind, uint16_t tag) { return uint16_t(kind | (tag & TL_VT_TAG_MASK)); }

// Puts a finished value into v, releasing what v held before.
void Replace(TLVariant* v, const TLVariant& made) {
    TL_VariantClear(v);
    std::memcpy(v, &made, sizeof made);
}

bool MakeBuffer(TLVariant* out, const void* data, uint32_t length, uint16_t type) {
    void* p = nullptr;
    if (length > 0) {
        if ((p = TL_Allocate(length)) == nullptr) return false;
        if (data)
            std::memcpy(p, data, length);
        else
            std::memset(p, 0, length);
    }
    out->m_nType = type;
    out->m_pData = p;
    out->m_nLength = length;
    return true;
}

bool MakeBlock(TLVariant* out, const void* data, uint64_t length, uint16_t type) {
    if (length > uint64_t(UINT32_MAX) - 8) return false;
    auto* block = static_cast<uint8_t*>(TL_Allocate(uint32_t(length + 8)));
    if (block == nullptr) return false;
    std::memcpy(block, &length, 8);
    if (data)
        std::memcpy(block + 8, data, size_t(length));
    else
        std::memset(block + 8, 0, size_t(length));
    out->m_nType = type;
    out->m_pData = block + 8;
    out->m_nLength = length;
    return true;
}

// The process-wide value, zero from the start (constant initialisation, so
// no static initialiser elsewhere can see it before it is empty), cleared
// when the library unloads. A shared object it holds at the process exit
// must go before the allocator that holds its block, which is destroyed
// before static objects are: the value is also cleared just ahead of that.
struct ProcessVariant {
    TLVariant value{};
    constexpr ProcessVariant() = default;
    ~ProcessVariant() { TL_VariantClear(&value); }
};
constinit ProcessVariant g_processVariant;

void ClearProcessVariant() { TL_VariantClear(&g_processVariant.value); }

}  // namespace

TLVariant* TL_VariantInit(TLVariant* v) {
    if (v) std::memset(v, 0, sizeof *v);
    return v;
}

void TL_VariantClear(TLVariant* v) {
    if (v == nullptr) return;
    void* p = v->m_pData;
    switch (Kind(v->m_nType)) {
    case TL_VT_BUFFER:
        if (p) TL_Free(p);
        break;
    case TL_VT_BLOCK:
        if (p) TL_Free(static_cast<uint8_t*>(p) - 8);
        break;
    case TL_VT_SHARED:
    case TL_VT_SHARED_B:
        if (p) TL_SharedObjectRelease(static_cast<TLSharedObject*>(p));
        break;
    default:
        break;
    }
    std::memset(v, 0, sizeof *v);
}

uint16_t TL_VariantKind(const TLVariant* v) { return v ? Kind(v->m_nType) : TL_VT_EMPTY; }

void* TL_VariantData(const TLVariant* v) { return v ? v->m_pData : nullptr; }

uint64_t TL_VariantLength(const TLVariant* v) {
    if (v == nullptr) return 0;
    const uint64_t n = v->m_nLength;
    return Kind(v->m_nType) == TL_VT_BUFFER ? (n & 0xFFFFFFFFu) : n;
}

bool TL_VariantSetBuffer(TLVariant* v, const void* data, uint32_t length, uint16_t tag) {
    TLVariant made{};
    if (v == nullptr || !MakeBuffer(&made, data, length, TypeWord(TL_VT_BUFFER, tag))) return false;
    Replace(v, made);
    return true;
}

bool TL_VariantSetBlock(TLVariant* v, const void* data, uint64_t length, uint16_t tag) {
    TLVariant made{};
    if (v == nullptr || !MakeBlock(&made, data, length, TypeWord(TL_VT_BLOCK, tag))) return false;
    Replace(v, made);
    return true;
}

bool TL_VariantSetShared(TLVariant* v, TLSharedObject* obj, uint16_t kind, uint16_t tag) {
    if (v == nullptr || (kind != TL_VT_SHARED && kind != TL_VT_SHARED_B)) return false;
    // The new reference first: obj may be what v holds now.
    if (obj) TL_SharedObjectAddRef(obj);
    TLVariant made{};
    made.m_nType = TypeWord(kind, tag);
    made.m_pData = obj;
    Replace(v, made);
    return true;
}

void TL_VariantSetInteger(TLVariant* v, int64_t value, uint16_t tag) {
    if (v == nullptr) return;
    TLVariant made{};
    made.m_nType = TypeWord(TL_VT_INTEGER, tag);
    made.m_nLength = uint64_t(value);
    Replace(v, made);
}

void TL_VariantSetPointer(TLVariant* v, const void* data, uint64_t length, uint16_t tag) {
    if (v == nullptr) return;
    TLVariant made{};
    made.m_nType = TypeWord(TL_VT_POINTER, tag);
    made.m_pData = const_cast<void*>(data);
    made.m_nLength = length;
    Replace(v, made);
}

bool TL_VariantCopy(TLVariant* dst, const TLVariant* src) {
    if (dst == nullptr || src == nullptr) return false;
    if (dst == src) return true;
    TLVariant made;
    std::memcpy(&made, src, sizeof made);
    void* p = src->m_pData;
    switch (Kind(src->m_nType)) {
    case TL_VT_BUFFER:
        if (p && !MakeBuffer(&made, p, uint32_t(src->m_nLength), src->m_nType)) return false;
        break;
    case TL_VT_BLOCK:
        if (p && !MakeBlock(&made, p, src->m_nLength, src->m_nType)) return false;
        break;
    case TL_VT_SHARED:
    case TL_VT_SHARED_B:
        if (p) TL_SharedObjectAddRef(static_cast<TLSharedObject*>(p));
        break;
    default:
        break;
    }
    Replace(dst, made);
    return true;
}

TLVariant* TL_GetProcessVariant() {
    // Whoever may fill the value asks for it first.
    static const bool hooked = TL_SmallObjAtExit(ClearProcessVariant);
    (void)hooked;
    return &g_processVariant.value;
}

TLSharedObject* TL_SharedObjectCreate(void* context, TLSharedRelease release, uint32_t size) {
    if (size < sizeof(TLSharedObject) || size > TL_SHARED_MAX_SIZE) return nullptr;
    const size_t count = size_t(size) + kBlockExtra;
    void* block;
    {
        if (TL_SmallObjGone()) return nullptr;
        TLSmallObjLock lock;
        block = TL_SmallObjAllocate(count);
    }
    if (block == nullptr) return nullptr;
    auto* b = static_cast<uint8_t*>(block);
    std::memset(b, 0, count);
    std::memcpy(b, &size, kSizeWord);
    uint8_t* o = b + kSizeWord;
    const uint32_t one = 1;
    std::memcpy(o + offsetof(TLSharedObject, m_pContext), &context, sizeof context);
    std::memcpy(o + offsetof(TLSharedObject, m_nRefCount), &one, sizeof one);
    std::memcpy(o + offsetof(TLSharedObject, m_pfnRelease), &release, sizeof release);
    return reinterpret_cast<TLSharedObject*>(o);
}

uint32_t TL_SharedObjectAddRef(TLSharedObject* obj) {
    return obj ? uint32_t(TL_InterlockedIncrement(RefCount(obj))) : 0;
}

uint32_t TL_SharedObjectRelease(TLSharedObject* obj) {
    if (obj == nullptr) return 0;
    const int32_t left = TL_InterlockedDecrement(RefCount(obj));
    if (left != 0) return uint32_t(left);
    // Only this thread saw the count reach 0: the object is its own now.
    const auto release = Field<TLSharedRelease>(obj, offsetof(TLSharedObject, m_pfnRelease));
    if (release) release(Field<void*>(obj, offsetof(TLSharedObject, m_pContext)));
    GiveBack(obj);
    return 0;
}

uint32_t TL_SharedObjectRefCount(const TLSharedObject* obj) {
    return obj ? uint32_t(__atomic_load_n(RefCount(obj), __ATOMIC_SEQ_CST)) : 0;
}

void* TL_SharedObjectContext(const TLSharedObject* obj) {
    return obj ? Field<void*>(obj, offsetof(TLSharedObject, m_pContext)) : nullptr;
}

uint32_t TL_SharedObjectSize(const TLSharedObject* obj) { return obj ? SizeOf(SizeWord(obj)) : 0; }

void* TL_SharedObjectExtra(TLSharedObject* obj) { return obj ? Bytes(obj) + sizeof(TLSharedObject) : nullptr; }
