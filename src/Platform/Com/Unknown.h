// IUnknown and the reference-counting base that every COM-style object of the system builds on.
#pragma once

#include <atomic>

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

namespace Platform {

// The interface id of an interface type, for ComPtr::As and QueryInterfaceAmong. Each interface
// header specialises it next to the interface; using an interface without one does not compile.
template <typename T>
struct InterfaceId;
template <>
struct InterfaceId<IUnknown> {
    static const IID& Get() { return IID_IUnknown; }
};

// A thread-safe intrusive reference count for an object implementing Interface (and through it
// the interfaces Interface derives from). Objects start with one reference, owned by their creator,
// and delete themselves when the last one is released.
template <typename Interface>
class ComObject : public Interface {
public:
    ULONG AddRef() override { return m_ulRefs.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override {
        ULONG ulRefs = m_ulRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (ulRefs == 0)
            delete this;
        return ulRefs;
    }

protected:
    ComObject() = default;
    ~ComObject() override = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Answers QueryInterface for the listed interfaces (each a base of this object).
    template <typename... Supported>
    HRESULT QueryInterfaceAmong(REFIID riid, void** ppvObject) {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        bool bFound =
            ((IsEqualIID(riid, InterfaceId<Supported>::Get()) && (*ppvObject = static_cast<Supported*>(this), true)) ||
             ...);
        if (!bFound)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_ulRefs{1};
};

}  // namespace Platform
