// A process-wide value that tests may replace while other threads read it
// (an authenticator, a factory, a probe): read and exchanged under a mutex,
// handed out as copies.
#pragma once

#include <mutex>
#include <utility>

namespace pl {

template <class T>
class ReplaceableSlot {
public:
    explicit ReplaceableSlot(T initial) : m_value(std::move(initial)) {}
    ReplaceableSlot(const ReplaceableSlot&) = delete;
    ReplaceableSlot& operator=(const ReplaceableSlot&) = delete;

    T Get() const {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_value;
    }
    // Puts value in force and returns the previous one.
    T Exchange(T value) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        std::swap(m_value, value);
        return value;
    }

private:
    mutable std::recursive_mutex m_mutex;
    T m_value;
};

}  // namespace pl
