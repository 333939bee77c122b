#include "framework/tl_object.h"

#include "framework/tl_alloc.h"

namespace {

TLRuntimeClass* g_first_class = nullptr;

}  // namespace

void TL_RegisterRuntimeClass(TLRuntimeClass* record) {
    if (record == nullptr) return;
    // A record registered twice would link to itself and make the list
    // endless; the second registration is ignored.
    for (const TLRuntimeClass* c = g_first_class; c != nullptr; c = c->m_pNextClass)
        if (c == record) return;
    record->m_pNextClass = g_first_class;
    g_first_class = record;
}

TLRuntimeClass* TL_GetFirstRuntimeClass() { return g_first_class; }

corvane::CTLObject* TL_CreateObject(const TLRuntimeClass* record) {
    if (record == nullptr || record->m_pfnCreateObject == nullptr) return nullptr;
    return record->m_pfnCreateObject();
}

void TL_CallSerialize(corvane::CTLObject* object, HugeDataArchive* archive) {
    if (object != nullptr && archive != nullptr) object->Serialize(*archive);
}

namespace corvane {

TLRuntimeClass CTLObject::classCTLObject = {"CTLObject", 8, nullptr, nullptr, nullptr, nullptr};

TLRuntimeClass* CTLObject::GetRuntimeClass() const { return &classCTLObject; }

void CTLObject::Serialize(HugeDataArchive&) {}

namespace {

void* AllocateObject(std::size_t size) {
    if (size > UINT32_MAX) return nullptr;
    return TL_Allocate(static_cast<uint32_t>(size));
}

}  // namespace

void* CTLObject::operator new(std::size_t size) {
    void* p = AllocateObject(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* CTLObject::operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateObject(size); }

void* CTLObject::operator new[](std::size_t size) {
    void* p = AllocateObject(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void CTLObject::operator delete(void* p) noexcept { TL_Delete(p); }

void CTLObject::operator delete(void* p, const std::nothrow_t&) noexcept { TL_Delete(p); }

void CTLObject::operator delete[](void* p) noexcept { TL_Delete(p); }

}  // namespace corvane
