// A process-wide object that is never destroyed: built on first use (as a
// function-local static, thread-safely) and left alone at process exit, so
// that no exit handler is registered for it. Threads that go on while the
// process exits (a teardown the exit gave up waiting for, the threads of an
// instance never released) still find it whole.
//
//   Engine& TheEngine() {
//       static pl::NeverDestroyed<Engine> engine;
//       return *engine;
//   }
//
// Whatever such a thread can reach is kept this way; a plain static object
// would be destroyed under it.
#pragma once

#include <new>
#include <utility>

namespace pl {

template <class T>
class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    // Trivial on purpose: the object inside is never destroyed.
    ~NeverDestroyed() = default;

    T& operator*() { return *Get(); }
    const T& operator*() const { return *Get(); }
    T* operator->() { return Get(); }
    const T* operator->() const { return Get(); }
    T* Get() { return std::launder(reinterpret_cast<T*>(m_storage)); }
    const T* Get() const { return std::launder(reinterpret_cast<const T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace pl
