// corvane::EnableRefPtr: the reference-count mix-in of objects shared by
// several owners (an event sink held by its session and reached by the
// socket engine), and CTLRefPtr, the owner's handle on one reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace corvane {

// The object starts with no reference; the first owner takes one with
// AddRef. Release deletes the object (through its virtual destructor, so a
// class that mixes this in with another base is deleted whole) when the last
// reference goes.
class EnableRefPtr {
public:
    EnableRefPtr(const EnableRefPtr&) = delete;
    EnableRefPtr& operator=(const EnableRefPtr&) = delete;

    // The count after the change.
    int32_t AddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    int32_t Release() {
        const int32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    int32_t RefCount() const { return m_refs.load(std::memory_order_acquire); }

protected:
    EnableRefPtr() = default;
    virtual ~EnableRefPtr() = default;

private:
    std::atomic<int32_t> m_refs{0};
};

// Holds one reference of a T (a class that mixes in EnableRefPtr).
template <class T>
class CTLRefPtr {
public:
    CTLRefPtr() = default;
    explicit CTLRefPtr(T* object) : m_object(object) {
        if (m_object) m_object->AddRef();
    }
    CTLRefPtr(const CTLRefPtr& other) : CTLRefPtr(other.m_object) {}
    CTLRefPtr(CTLRefPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    CTLRefPtr& operator=(CTLRefPtr other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~CTLRefPtr() { Reset(); }

    void Reset() {
        if (T* object = std::exchange(m_object, nullptr)) object->Release();
    }
    T* Get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

}  // namespace corvane
