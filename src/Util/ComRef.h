// A counted reference to a COM-style interface. Using it while null raises the invalid-pointer
// _com_error, so a missing host or runtime interface fails loudly at its first use.
#pragma once

#include <cstddef>
#include <utility>

#include "Platform/Com.h"
#include "Platform/Types.h"

// The operations shared by both kinds of reference; it never releases on destruction itself.
template <class T>
class ComRefBase {
public:
    T* operator->() const {
        if (m_p == nullptr) {
            throw _com_error(E_POINTER);
        }
        return m_p;
    }

    T& operator*() const {
        if (m_p == nullptr) {
            throw _com_error(E_POINTER);
        }
        return *m_p;
    }

    T* Get() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    void Reset() noexcept {
        if (T* pOld = std::exchange(m_p, nullptr)) {
            pOld->Release();
        }
    }

    // Takes over a reference the caller already owns (no AddRef).
    void Attach(T* p) noexcept {
        T* pOld = std::exchange(m_p, p);
        if (pOld != nullptr) {
            pOld->Release();
        }
    }

    // Gives the held reference to the caller, who must release it.
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    // For an out parameter that receives an owned reference: releases the held one first.
    T** ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &m_p;
    }

    // Asks pSource for the interface `iid`. No-such-interface, or a null source, leaves this
    // reference null; any other failure raises _com_error with the failure code.
    void QueryFrom(IUnknown* pSource, REFIID iid) {
        T* pResult = nullptr;
        HRESULT hr = E_NOINTERFACE;
        if (pSource != nullptr) {
            hr = pSource->QueryInterface(iid, reinterpret_cast<void**>(&pResult));
        }
        if (FAILED(hr)) {
            Reset();
            if (hr != E_NOINTERFACE) {
                throw _com_error(hr);
            }
            return;
        }
        Attach(pResult);
    }

    friend bool operator==(const ComRefBase& a, const T* b) noexcept { return a.m_p == b; }
    friend bool operator==(const ComRefBase& a, const ComRefBase& b) noexcept {
        return a.m_p == b.m_p;
    }
    friend bool operator==(const ComRefBase& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }

protected:
    constexpr ComRefBase() noexcept = default;
    explicit constexpr ComRefBase(T* p) noexcept : m_p(p) {}

    void Assign(T* p) noexcept {
        if (p != nullptr) {
            p->AddRef();
        }
        Attach(p);
    }

    T* m_p = nullptr;
};

template <class T>
class ComRef : public ComRefBase<T> {
    using Base = ComRefBase<T>;

public:
    constexpr ComRef() noexcept = default;
    constexpr ComRef(std::nullptr_t) noexcept {}

    // Takes a reference of its own on the interface.
    explicit ComRef(T* p) noexcept : Base(p) {
        if (p != nullptr) {
            p->AddRef();
        }
    }

    ComRef(const ComRef& other) noexcept : ComRef(other.m_p) {}
    ComRef(ComRef&& other) noexcept : Base(std::exchange(other.m_p, nullptr)) {}

    ~ComRef() { Base::Reset(); }

    ComRef& operator=(const ComRef& other) noexcept {
        Base::Assign(other.m_p);
        return *this;
    }

    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) {
            Base::Attach(std::exchange(other.m_p, nullptr));
        }
        return *this;
    }

    // Holds the given interface with a reference of its own; the old one is released afterwards,
    // so assigning the interface already held is safe.
    ComRef& operator=(T* p) noexcept {
        Base::Assign(p);
        return *this;
    }

    ComRef& operator=(std::nullptr_t) noexcept {
        Base::Reset();
        return *this;
    }
};

// A module-wide reference, constant-initialised to null and never released at process exit: the
// unload order is not ours, and detach or a late callback may still use it. Cleared explicitly.
template <class T>
class PermanentComRef : public ComRefBase<T> {
    using Base = ComRefBase<T>;

public:
    constexpr PermanentComRef() noexcept = default;
    PermanentComRef(const PermanentComRef&) = delete;
    PermanentComRef& operator=(const PermanentComRef&) = delete;

    PermanentComRef& operator=(T* p) noexcept {
        Base::Assign(p);
        return *this;
    }

    PermanentComRef& operator=(std::nullptr_t) noexcept {
        Base::Reset();
        return *this;
    }
};
