// The mail client around the library: its process-wide MAPI session, the modules it has loaded,
// and the wrapping functions of its own MAPI module.
#pragma once

#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

typedef void* HMODULE;

// One MAPI session on the default profile for the whole process, opened on first use.
HRESULT GetGlobalMAPISession(Platform::ComPtr<IMAPISession>& pSession);
void ReleaseGlobalMAPISession();

// The handle of a module already loaded into the process, or null; never loads one.
HMODULE OurGetModuleHandle(const wchar_t* pwszModule);

// A new Message-ID ("<32 hex digits@ostrel>") into a buffer of cch characters; false when it
// does not fit (the buffer then holds an empty string).
bool InitializeMessageId(wchar_t* pwszBuffer, ULONG cch);
// The CRC-32 of the bytes, continuing from seed.
LONG CRC32(LONG lSeed, const BYTE* pb, ULONG cb);

// The client's own MAPI wrapping of store objects, reached when the client's MAPI module is loaded.
class DDLWrapper {
public:
    DDLWrapper();
    // Looks the three functions up once the client's MAPI module is loaded (nothing once on).
    void Initialize();
    bool IsSupported() const { return m_bSupported; }
    int IsWrappedObject(IUnknown* pObject) const;
    HRESULT UnwrapObject(IUnknown* pObject, IUnknown** ppInner) const;
    HRESULT CreateNewWrappedObject(IUnknown* pObject, const GUID* pIid, IUnknown** ppOut) const;
    HRESULT CreateNewWrappedFolder(IMAPIFolder* pFolder, IMAPIFolder** ppOut) const;
    HRESULT CreateNewWrappedMessage(IMessage* pMessage, IMessage** ppOut) const;

private:
    typedef HRESULT (*PfnCreate)(IUnknown*, ULONG, ULONG, const GUID*, void*, ULONG, IUnknown**);
    typedef BOOL (*PfnIsWrapped)(IUnknown*);
    typedef HRESULT (*PfnUnwrap)(IUnknown*, IUnknown**);

    bool m_bSupported = false;
    PfnCreate m_pfnCreate = nullptr;
    PfnIsWrapped m_pfnIsWrapped = nullptr;
    PfnUnwrap m_pfnUnwrap = nullptr;
};

// The process-wide instance.
DDLWrapper& get_ddlWrapper();

}  // namespace Ostrel::Mapi
