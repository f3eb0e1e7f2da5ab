#include "Ostrel/Store/HostClient.h"

#include <dlfcn.h>
#include <zlib.h>

#include <cwchar>
#include <mutex>

#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"

namespace Ostrel::Mapi {

namespace {

struct GlobalSession {
    std::mutex mutex;
    Platform::ComPtr<IMAPISession> pSession;
    bool bInitialized = false;
};

GlobalSession& TheSession() {
    static GlobalSession* pSession = new GlobalSession;
    return *pSession;
}

}  // namespace

HRESULT GetGlobalMAPISession(Platform::ComPtr<IMAPISession>& pSession) {
    GlobalSession& global = TheSession();
    std::lock_guard<std::mutex> lock(global.mutex);
    if (!global.pSession) {
        if (!global.bInitialized) {
            HRESULT hr = MAPIInitialize(nullptr);
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"MAPIInitialize() failed, hr: %x", hr);
                return hr;
            }
            global.bInitialized = true;
        }
        HRESULT hr = MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE | MAPI_NEW_SESSION,
                                 global.pSession.AddressOf());
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"MAPILogonEx() failed, hr: %x", hr);
            return hr;
        }
    }
    pSession = global.pSession;
    return S_OK;
}

void ReleaseGlobalMAPISession() {
    GlobalSession& global = TheSession();
    std::lock_guard<std::mutex> lock(global.mutex);
    global.pSession.Reset();
    if (global.bInitialized) {
        MAPIUninitialize();
        global.bInitialized = false;
    }
}

HMODULE OurGetModuleHandle(const wchar_t* pwszModule) {
    if (!pwszModule)
        return nullptr;
    return dlopen(Platform::ToUtf8(pwszModule).c_str(), RTLD_LAZY | RTLD_NOLOAD);
}

bool InitializeMessageId(wchar_t* pwszBuffer, ULONG cch) {
    if (!pwszBuffer || cch == 0)
        return false;
    const std::wstring wsId = L"<" + Util::Guid::NewGuid().ToStringNoBraces() + L"@ostrel>";
    std::wstring wsCompact;
    for (wchar_t wc : wsId)
        if (wc != L'-')
            wsCompact += wc;
    if (wsCompact.size() >= cch) {
        pwszBuffer[0] = L'\0';
        return false;
    }
    wmemcpy(pwszBuffer, wsCompact.c_str(), wsCompact.size() + 1);
    return true;
}

LONG CRC32(LONG lSeed, const BYTE* pb, ULONG cb) {
    if (!pb)
        return lSeed;
    return static_cast<LONG>(crc32(static_cast<uLong>(static_cast<ULONG>(lSeed)), pb, cb));
}

DDLWrapper::DDLWrapper() {
    Initialize();
}

void DDLWrapper::Initialize() {
    if (m_bSupported)
        return;
    const int iMajor = Platform::Host::GetClientVersion().iMajor;
    if (iMajor < 11)
        return;
    HMODULE hModule = OurGetModuleHandle(iMajor == 11 ? L"msmapi32.dll" : L"olmapi32.dll");
    if (!hModule)
        return;
    m_pfnCreate = reinterpret_cast<PfnCreate>(dlsym(hModule, "HrCreateNewWrappedObject"));
    m_pfnIsWrapped = reinterpret_cast<PfnIsWrapped>(dlsym(hModule, "FDDLIsDDLWrappedObj"));
    m_pfnUnwrap = reinterpret_cast<PfnUnwrap>(dlsym(hModule, "UnwrapObjectAll"));
    // The handle from RTLD_NOLOAD holds a reference of its own; the module stays loaded by its owner.
    dlclose(hModule);
    m_bSupported = m_pfnCreate && m_pfnIsWrapped && m_pfnUnwrap;
}

int DDLWrapper::IsWrappedObject(IUnknown* pObject) const {
    return m_bSupported && pObject ? (m_pfnIsWrapped(pObject) ? 1 : 0) : 0;
}

HRESULT DDLWrapper::UnwrapObject(IUnknown* pObject, IUnknown** ppInner) const {
    if (!m_bSupported)
        return MAPI_E_NO_SUPPORT;
    return m_pfnUnwrap(pObject, ppInner);
}

HRESULT DDLWrapper::CreateNewWrappedObject(IUnknown* pObject, const GUID* pIid, IUnknown** ppOut) const {
    if (!pObject || !ppOut)
        return E_INVALIDARG;
    if (!m_bSupported) {
        pObject->AddRef();
        *ppOut = pObject;
        return S_OK;
    }
    return m_pfnCreate(pObject, 2, 1, pIid, nullptr, 1, ppOut);
}

HRESULT DDLWrapper::CreateNewWrappedFolder(IMAPIFolder* pFolder, IMAPIFolder** ppOut) const {
    return CreateNewWrappedObject(pFolder, &IID_IMAPIFolder, reinterpret_cast<IUnknown**>(ppOut));
}

HRESULT DDLWrapper::CreateNewWrappedMessage(IMessage* pMessage, IMessage** ppOut) const {
    return CreateNewWrappedObject(pMessage, &IID_IMessage, reinterpret_cast<IUnknown**>(ppOut));
}

DDLWrapper& get_ddlWrapper() {
    static DDLWrapper wrapper;
    return wrapper;
}

}  // namespace Ostrel::Mapi
