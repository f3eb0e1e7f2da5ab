#include "Ostrel/Store/TempMessage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "Ostrel/Store/Diagnostics.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

HRESULT SetClass(IMessage* pMessage, const wchar_t* pwszClass) {
    if (!pwszClass)
        return S_OK;
    SPropValue value{};
    value.ulPropTag = PR_MESSAGE_CLASS_W;
    value.Value.lpszW = const_cast<wchar_t*>(pwszClass);
    return HrSetOneProp(pMessage, &value);
}

// Writes the bytes to a new file at the path; removes what it wrote when anything fails.
HRESULT WriteFile(std::string_view bytes, const wchar_t* pwszPath) {
    if (!pwszPath || !*pwszPath)
        return E_INVALIDARG;
    const std::string sPath = Platform::ToUtf8(pwszPath);
    const int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        OSTLOG_ERROR(L"could not create '%ls': %hs", pwszPath, strerror(errno));
        return errno == ELOOP ? E_ACCESSDENIED : MAPI_E_DISK_ERROR;
    }
    size_t cbDone = 0;
    bool bOk = true;
    while (bOk && cbDone < bytes.size()) {
        const ssize_t cb = write(fd, bytes.data() + cbDone, bytes.size() - cbDone);
        if (cb < 0 && errno == EINTR)
            continue;
        bOk = cb > 0;
        if (bOk)
            cbDone += static_cast<size_t>(cb);
    }
    if (bOk && fsync(fd) != 0)
        bOk = false;
    if (close(fd) != 0)
        bOk = false;
    if (!bOk) {
        OSTLOG_ERROR(L"could not write '%ls': %hs", pwszPath, strerror(errno));
        unlink(sPath.c_str());
        return MAPI_E_DISK_ERROR;
    }
    return S_OK;
}

}  // namespace

HRESULT CreateTmpMsg(IMessage** ppMessage, const wchar_t* pwszClass) {
    if (!ppMessage)
        return E_INVALIDARG;
    *ppMessage = nullptr;
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr = Platform::CreateTemporaryMessage(pMessage.AddressOf());
    if (SUCCEEDED(hr))
        hr = SetClass(pMessage.Get(), pwszClass);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not create a temporary message, hr: %x", hr);
        return hr;
    }
    *ppMessage = pMessage.Detach();
    return S_OK;
}

HRESULT CloneMessage(IMessage* pSource, IMessage** ppClone, const wchar_t* pwszClass, IMsgStore* pStore) {
    if (!pSource || !ppClone)
        return E_INVALIDARG;
    *ppClone = nullptr;
    Platform::ComPtr<IMessage> pClone;
    HRESULT hr = Platform::CreateTemporaryMessage(pClone.AddressOf());
    if (SUCCEEDED(hr)) {
        LPSPropProblemArray pProblems = nullptr;
        hr = pSource->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, pClone.Get(), 0, &pProblems);
        for (ULONG i = 0; pProblems && i < pProblems->cProblem; ++i)
            OSTLOG_WARN(L"property 0x%08X not copied, error 0x%x", pProblems->aProblem[i].ulPropTag,
                        pProblems->aProblem[i].scode);
        MAPIFreeBuffer(pProblems);
    }
    if (SUCCEEDED(hr))
        hr = SetClass(pClone.Get(), pwszClass);
    if (SUCCEEDED(hr))
        hr = pClone->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not clone the message, hr: %x", hr);
        ProcessLastError(pSource, hr, L"CopyTo", __LINE__);
        if (pStore)
            DumpStoreInfo(pStore);
        return hr;
    }
    *ppClone = pClone.Detach();
    return S_OK;
}

HRESULT WriteMessageToFile(IMessage* pMessage, const wchar_t* pwszPath) {
    if (!pMessage || !pwszPath)
        return E_INVALIDARG;
    Platform::ComPtr<IConverterSession> pSession;
    HRESULT hr = Platform::Mapi::CreateConverterSession(pSession.AddressOf());
    auto pStream = Platform::MemStream::Create();
    if (SUCCEEDED(hr))
        hr = pSession->MAPIToMIMEStm(pMessage, pStream.Get(), CCSF_SMTP | CCSF_INCLUDE_BCC);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"MAPIToMIMEStm() failed, hr: %x", hr);
        return hr;
    }
    return WriteFile(pStream->CopyContent(), pwszPath);
}

HRESULT WriteMimeToFile(const char* pszMime, const wchar_t* pwszPath) {
    if (!pszMime)
        return E_INVALIDARG;
    return WriteFile(pszMime, pwszPath);
}

}  // namespace Ostrel::Mapi
