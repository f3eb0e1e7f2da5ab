// What a MIME conversion needs from its caller: the address book that resolves addresses. The
// store provider and the transport hand in their own; tests and tools use AddrBookConvertSupport.
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"

class IMimeConvertSupport {
public:
    virtual ~IMimeConvertSupport() = default;
    // The address book with a reference added for the caller; MAPI_E_NOT_FOUND when there is none.
    virtual HRESULT GetAddrBook(IAddrBook** ppAddrBook) = 0;
};

// Support over a given address book (which may be null: then addresses stay as they are).
class AddrBookConvertSupport : public IMimeConvertSupport {
public:
    explicit AddrBookConvertSupport(IAddrBook* pAddrBook) : m_pAddrBook(pAddrBook) {}
    HRESULT GetAddrBook(IAddrBook** ppAddrBook) override {
        if (!ppAddrBook)
            return E_POINTER;
        *ppAddrBook = nullptr;
        if (!m_pAddrBook)
            return MAPI_E_NOT_FOUND;
        m_pAddrBook->AddRef();
        *ppAddrBook = m_pAddrBook.Get();
        return S_OK;
    }

private:
    Platform::ComPtr<IAddrBook> m_pAddrBook;
};
