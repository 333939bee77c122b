// corvane::CTLObject, the root of the framework's classes, and the class
// records (TLRuntimeClass) of the classes that can be created from a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// The framework's typed archive (defined with the shared-memory helpers).
struct HugeDataArchive;

namespace corvane {
class CTLObject;
}

// Static record of a creatable class. Records are linked into one
// process-wide list by static initialisers while the library loads.
struct TLRuntimeClass {
    const char* m_lpszClassName;
    int32_t m_nObjectSize;
    // Makes a new default-constructed object (from TL_Allocate); null for the
    // root and for classes that cannot be created from their record.
    corvane::CTLObject* (*m_pfnCreateObject)();
    // Calls the third virtual operation (Serialize) of an object; may be null.
    void (*m_pfnCallHook)(corvane::CTLObject* object, HugeDataArchive* archive);
    TLRuntimeClass* m_pBaseClass;
    TLRuntimeClass* m_pNextClass;
};

// Puts a record at the head of the class list (a record already in the list
// stays where it is). Called at load time, before any thread exists, so it
// takes no lock.
void TL_RegisterRuntimeClass(TLRuntimeClass* record);

// Head of the class list (null when nothing is registered).
TLRuntimeClass* TL_GetFirstRuntimeClass();

// A new object from the record's create function; null when it has none.
corvane::CTLObject* TL_CreateObject(const TLRuntimeClass* record);

// Registers a record from a static initialiser:
//   static TLClassRegistrar s_reg(&CMyClass::classCMyClass);
struct TLClassRegistrar {
    explicit TLClassRegistrar(TLRuntimeClass* record) { TL_RegisterRuntimeClass(record); }
};

// Calls object->Serialize(*archive); the call hook of records that have one.
void TL_CallSerialize(corvane::CTLObject* object, HugeDataArchive* archive);

namespace corvane {

class CTLObject {
public:
    CTLObject() = default;
    virtual ~CTLObject() = default;

    // The class's record; the root's is "CTLObject" with object size 8.
    virtual TLRuntimeClass* GetRuntimeClass() const;
    // The common third operation: serialisation through the typed archive.
    // Nothing at the root.
    virtual void Serialize(HugeDataArchive& archive);

    // Framework objects live on the framework heap (TL_Allocate / TL_Free).
    // A failed allocation throws std::bad_alloc (the nothrow forms give null).
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void* operator new[](std::size_t size);
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, const std::nothrow_t&) noexcept;
    static void operator delete[](void* p) noexcept;
    static void operator delete(void*, void*) noexcept {}

    static TLRuntimeClass classCTLObject;
};

}  // namespace corvane
