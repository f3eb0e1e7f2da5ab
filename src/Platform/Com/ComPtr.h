// An owning smart pointer for reference-counted interfaces.
#pragma once

#include <cstddef>
#include <utility>

#include "Platform/Com/Unknown.h"

namespace Platform {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Shares the object: adds a reference (use Attach to take over a reference instead).
    explicit ComPtr(T* p) noexcept : m_p(p) { AddRefIfSet(); }
    ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) { AddRefIfSet(); }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        if (other.m_p != m_p) {
            T* pOld = std::exchange(m_p, other.m_p);
            AddRefIfSet();
            if (pOld)
                pOld->Release();
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Takes over a reference the caller owns; the previous object is released.
    void Attach(T* p) noexcept {
        if (m_p)
            m_p->Release();
        m_p = p;
    }
    // Gives up ownership without releasing.
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void Reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }

    // For out parameters: releases the current object and returns where a new one is written.
    T** AddressOf() noexcept {
        Reset();
        return &m_p;
    }
    // The address of the stored pointer, keeping the current object (for in/out use).
    T* const* GetAddressOf() const noexcept { return &m_p; }

    // Hands out another reference: *pp receives the object with one reference added.
    HRESULT CopyTo(T** pp) const noexcept {
        if (!pp)
            return E_POINTER;
        *pp = m_p;
        if (m_p)
            m_p->AddRef();
        return S_OK;
    }

    // QueryInterface for U into another ComPtr.
    template <typename U>
    HRESULT As(ComPtr<U>* pOther) const noexcept {
        if (!pOther)
            return E_POINTER;
        if (!m_p) {
            pOther->Reset();
            return E_POINTER;
        }
        return m_p->QueryInterface(InterfaceId<U>::Get(), reinterpret_cast<void**>(pOther->AddressOf()));
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }

private:
    void AddRefIfSet() noexcept {
        if (m_p)
            m_p->AddRef();
    }

    T* m_p = nullptr;
};

}  // namespace Platform
