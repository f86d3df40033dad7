// Process-wide state that is never destroyed. The libraries are unloaded in an order that is not
// ours: process detach and late runtime callbacks may run after static destructors, so any global
// they can touch must outlive them. Both types here are trivially destructible.
#pragma once

#include <new>
#include <utility>

// Holds a T constructed in place and never destroyed. Meant for function-local statics, which are
// constructed on first use (thread-safe) and so are alive whenever a caller reaches them.
template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(m_Storage)) T(std::forward<Args>(args)...);
    }

    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& operator*() noexcept { return *Get(); }
    T* operator->() noexcept { return Get(); }
    T* Get() noexcept { return std::launder(reinterpret_cast<T*>(m_Storage)); }

private:
    alignas(T) unsigned char m_Storage[sizeof(T)];
};
