// TLVariant, a tagged value whose payload is nothing, an owned buffer or a
// reference-counted TLSharedObject, and the shared objects themselves.
//
// A value is 18 bytes, byte-packed: the type word (the kind in bits 12-15,
// bits 0-11 a tag of the owner's that nothing here reads), the payload
// pointer, and the length word. All zero is the empty value. Clearing a value
// releases its payload by kind and leaves it all zero:
//   0x2000  a buffer from TL_Allocate (length: the low 32 bits) -> TL_Free
//   0x6000  a TL_Allocate block that starts with an 8-byte head of its own
//           (the data's 64-bit length); the pointer addresses the data
//           behind the head -> TL_Free(pointer - 8)
//   0x9000, 0xA000  a TLSharedObject -> one reference released
//   other   nothing is owned (0x1000: an integer in the length word,
//           0x3000: bytes the value only points at)
//
// A value carries no lock: one value is not cleared or set from two threads
// at once. Shared objects may be released from any thread.
#pragma once

#include <cstdint>

constexpr uint16_t TL_VT_KIND_MASK = 0xF000;
constexpr uint16_t TL_VT_TAG_MASK = 0x0FFF;
constexpr uint16_t TL_VT_EMPTY = 0x0000;
constexpr uint16_t TL_VT_INTEGER = 0x1000;   // an i64 in the length word; owns nothing
constexpr uint16_t TL_VT_BUFFER = 0x2000;    // owned TL_Allocate buffer, 32-bit length
constexpr uint16_t TL_VT_POINTER = 0x3000;   // bytes elsewhere, 64-bit length; owns nothing
constexpr uint16_t TL_VT_BLOCK = 0x6000;     // owned TL_Allocate block behind an 8-byte head, 64-bit length
constexpr uint16_t TL_VT_SHARED = 0x9000;    // a TLSharedObject, one reference held
constexpr uint16_t TL_VT_SHARED_B = 0xA000;  // the same, released alike; the owner tells the two apart

#pragma pack(push, 1)
struct TLVariant {
    uint16_t m_nType;    // kind (bits 12-15) and tag (bits 0-11)
    void* m_pData;       // payload (unaligned: read and write it by value only)
    uint64_t m_nLength;  // 0x2000: low 32 bits; 0x6000 and the others: all 64
};
#pragma pack(pop)
static_assert(sizeof(TLVariant) == 18, "TLVariant is byte-packed");

// Called with the context pointer when the last reference to a shared object
// goes, before its block is given back.
using TLSharedRelease = void (*)(void* context);

// A reference-counted object. It lives in a block of the process-wide small
// object allocator, behind a 32-bit size word (its size in bytes; with bit 31
// set only bits 0-19 count), so it is not aligned: handle it through the
// functions below, never through its fields.
struct TLSharedObject {
    void* m_pContext;              // handed to the release callback
    uint32_t m_nRefCount;          // changed only by atomic operations
    TLSharedRelease m_pfnRelease;  // or null
};

// Sets the whole value to zero (empty) and returns it.
TLVariant* TL_VariantInit(TLVariant* v);
// Releases the payload by kind, then sets the whole value to zero. Null
// payload pointers are skipped. Safe on an empty value.
void TL_VariantClear(TLVariant* v);

uint16_t TL_VariantKind(const TLVariant* v);
void* TL_VariantData(const TLVariant* v);
// The payload's length: the low 32 bits for kind 0x2000, all 64 otherwise.
uint64_t TL_VariantLength(const TLVariant* v);

// The setters replace what v held (released after the new payload is made,
// so the new one may come from v itself) and keep the low 12 bits of tag.
// They return false, with v left as it was, when memory is short or the
// length does not fit the kind.
//   Buffer: a copy of length bytes (data null: zeros) in a TL_Allocate buffer.
//   Block: the same behind an 8-byte head holding the length.
//   Shared: takes one new reference to obj (kind TL_VT_SHARED or
//   TL_VT_SHARED_B; a null obj gives an empty value of that kind).
bool TL_VariantSetBuffer(TLVariant* v, const void* data, uint32_t length, uint16_t tag = 0);
bool TL_VariantSetBlock(TLVariant* v, const void* data, uint64_t length, uint16_t tag = 0);
bool TL_VariantSetShared(TLVariant* v, TLSharedObject* obj, uint16_t kind = TL_VT_SHARED, uint16_t tag = 0);
void TL_VariantSetInteger(TLVariant* v, int64_t value, uint16_t tag = 0);
void TL_VariantSetPointer(TLVariant* v, const void* data, uint64_t length, uint16_t tag = 0);
// dst becomes a copy of src: owned buffers are copied, shared objects gain a
// reference. False (dst unchanged) when memory is short.
bool TL_VariantCopy(TLVariant* dst, const TLVariant* src);

// The process-wide value: empty when the library loads, cleared when it
// unloads.
TLVariant* TL_GetProcessVariant();

// Largest object size TL_SharedObjectCreate takes.
constexpr uint32_t TL_SHARED_MAX_SIZE = 0x000FFFFF;

// A new shared object of size bytes (at least sizeof(TLSharedObject); the
// bytes after the object's fields are the caller's, zero-filled) with one
// reference. Null when size is out of range or memory is short. Objects of
// up to 24 bytes come from the small-object pool, larger ones from the heap
// through the same allocator.
TLSharedObject* TL_SharedObjectCreate(void* context, TLSharedRelease release, uint32_t size = sizeof(TLSharedObject));
// Adds a reference; returns the new count.
uint32_t TL_SharedObjectAddRef(TLSharedObject* obj);
// Drops a reference; the last one calls the release callback (outside any
// lock) and gives the block back. Returns the new count. Null is ignored.
uint32_t TL_SharedObjectRelease(TLSharedObject* obj);
uint32_t TL_SharedObjectRefCount(const TLSharedObject* obj);
void* TL_SharedObjectContext(const TLSharedObject* obj);
// The object's size from its size word.
uint32_t TL_SharedObjectSize(const TLSharedObject* obj);
// The caller's bytes behind the object's fields (size - sizeof(TLSharedObject)
// of them; not aligned).
void* TL_SharedObjectExtra(TLSharedObject* obj);
