// CTLCallback: the framework's callable value, two words {object, function}.
//
// The function word is a plain function that takes the object word first,
// so a callback can be stored, copied and compared like a pair of pointers
// and owns nothing. The template argument is the signature seen by the
// caller; the stored function has the object pointer prepended, so every
// call goes through a function pointer of exactly the type it was built
// with. Member functions are bound through a static trampoline (Bind).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

template <class Sig>
class CTLCallback;

template <class R, class... A>
class CTLCallback<R(A...)> {
public:
    using Function = R (*)(void*, A...);

    CTLCallback() noexcept = default;
    CTLCallback(void* object, Function function) noexcept : m_object(object), m_function(function) {}
    CTLCallback(const CTLCallback&) noexcept = default;
    CTLCallback& operator=(const CTLCallback&) noexcept = default;

    void Assign(const CTLCallback& other) noexcept { *this = other; }

    // The object word becomes value; the function is kept only for a
    // non-null value, so Set(anything, nullptr) clears the callback.
    void Set(Function function, void* value) noexcept {
        m_object = value;
        m_function = value != nullptr ? function : nullptr;
    }

    void Clear() noexcept {
        m_object = nullptr;
        m_function = nullptr;
    }

    bool IsEmpty() const noexcept { return m_function == nullptr; }
    bool IsNull() const noexcept { return m_object == nullptr && m_function == nullptr; }
    bool IsBoundTo(std::nullptr_t) const noexcept { return IsNull(); }
    bool IsBoundTo(const void* object) const noexcept { return m_function != nullptr && m_object == object; }

    void* GetObject() const noexcept { return m_object; }
    Function GetFunction() const noexcept { return m_function; }

    // Calling an empty callback is a caller error; callers test IsEmpty first.
    R Invoke(A... args) const { return m_function(m_object, std::forward<A>(args)...); }
    R operator()(A... args) const { return m_function(m_object, std::forward<A>(args)...); }

    template <class X = void, std::enable_if_t<sizeof...(A) == 3 && std::is_void_v<X>, int> = 0>
    R Invoke3(A... args) const {
        return m_function(m_object, std::forward<A>(args)...);
    }

    friend bool operator==(const CTLCallback& a, const CTLCallback& b) noexcept {
        return a.m_object == b.m_object && a.m_function == b.m_function;
    }
    friend bool operator!=(const CTLCallback& a, const CTLCallback& b) noexcept { return !(a == b); }

    // Bind<&C::Method>(obj): a callback that calls obj->Method(args...).
    template <auto Method, class C>
    static CTLCallback Bind(C* object) noexcept {
        return CTLCallback(const_cast<void*>(static_cast<const void*>(object)), &MemberTrampoline<Method, C>);
    }

    // Bind<&Function>(obj) for a free function taking the object first:
    // R Function(C*, A...).
    template <auto Fn, class C>
    static CTLCallback BindFree(C* object) noexcept {
        return CTLCallback(const_cast<void*>(static_cast<const void*>(object)), &FreeTrampoline<Fn, C>);
    }

private:
    template <auto Method, class C>
    static R MemberTrampoline(void* object, A... args) {
        return (static_cast<C*>(object)->*Method)(std::forward<A>(args)...);
    }
    template <auto Fn, class C>
    static R FreeTrampoline(void* object, A... args) {
        return Fn(static_cast<C*>(object), std::forward<A>(args)...);
    }

    void* m_object = nullptr;
    Function m_function = nullptr;
};

namespace corvane {
using ::CTLCallback;
}
