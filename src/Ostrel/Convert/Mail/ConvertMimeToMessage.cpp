#include "Ostrel/Convert/Mail/ConvertMimeToMessage.h"

#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"

namespace {

HRESULT Fail(HRESULT hr, int& bFailed, std::wstring& wsReport) {
    bFailed = 1;
    wsReport = Ostrel::Util::FormatW(L"ConvertMimeToMessage() - failed mime to mapi conversion. hr = 0x%08x", hr);
    return hr;
}

}  // namespace

HRESULT ConvertMimeToMessage(IMessage* pMsg, IAddrBook* pAddrBook, const char* pMime, unsigned int cbLength,
                             IStream* pStream, int& bPartial, int& bFailed, std::wstring& wsReport) {
    bPartial = 0;
    bFailed = 0;
    wsReport.clear();
    if (!pMsg || (!pStream && !pMime && cbLength > 0))
        return Fail(E_INVALIDARG, bFailed, wsReport);
    Platform::ComPtr<IConverterSession> pSession;
    HRESULT hr = CreateConverterSession(pSession.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to create converter session: %x", hr);
        return Fail(hr, bFailed, wsReport);
    }
    pSession->SetAdrBook(pAddrBook);
    pSession->SetSaveFormat(SAVE_RFC1521);

    Platform::ComPtr<IStream> pInput(pStream);
    if (pInput) {
        LARGE_INTEGER zero{};
        if (FAILED(hr = pInput->Seek(zero, STREAM_SEEK_SET, nullptr))) {
            OSTLOG_ERROR(L"failed to Seek in IStream: %x", hr);
            return Fail(hr, bFailed, wsReport);
        }
    } else {
        OSTLOG_INFO(4, L"The input mime stream has %d (%#x) bytes", cbLength, cbLength);
        Platform::ComPtr<Platform::MemStream> pMemory =
            Platform::MemStream::Create(std::string_view(pMime ? pMime : "", pMime ? cbLength : 0));
        if (!pMemory) {
            OSTLOG_ERROR(L"could not create the stream on the global handle");
            return Fail(E_OUTOFMEMORY, bFailed, wsReport);
        }
        pInput = Platform::ComPtr<IStream>(pMemory.Get());
    }

    try {
        hr = pSession->MIMEToMAPI(pInput.Get(), pMsg, nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    } catch (...) {
        hr = E_FAIL;
    }
    if (hr == MAPI_W_PARTIAL_COMPLETION) {
        bPartial = 1;
        wsReport = L"ConvertMimeToMessage() - mime to mapi conversion returned partial completion";
        OSTLOG_WARN(L"%s", wsReport.c_str());
        return hr;
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: %x", hr);
        return Fail(hr, bFailed, wsReport);
    }
    return hr;
}
