#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"

#include <string>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MapiToMimeConverter.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Convert/Mail/MimeConfig.h"
#include "Ostrel/Convert/Mail/SpillStream.h"
#include "Ostrel/Store/Attachments.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/TempMessage.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;

namespace {

// What the conversion reads of the message itself, read in one call.
struct SourceProps {
    std::wstring wsClass;
    std::wstring wsSender;
    std::wstring wsOrganizer;
    std::wstring wsTopic;
    std::wstring wsSubject;
    bool bSubject = false;
    // False only when the store says the message has no attachments.
    bool bMayHaveAttachments = true;
};

SourceProps ReadSourceProps(IMessage* pMessage) {
    SourceProps props;
    SizedSPropTagArray(6, tags) = {6,
                                   {PR_MESSAGE_CLASS_W, PR_SENDER_EMAIL_ADDRESS_W, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W,
                                    PR_CONVERSATION_TOPIC_W, PR_SUBJECT_W, PR_HASATTACH}};
    std::wstring* const targets[] = {&props.wsClass, &props.wsSender, &props.wsOrganizer, &props.wsTopic,
                                     &props.wsSubject};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (!pMessage ||
        FAILED(pMessage->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues)) ||
        !pValues) {
        MAPIFreeBuffer(pValues);
        return props;
    }
    for (ULONG i = 0; i < cValues && i < 5; ++i) {
        if (pValues[i].ulPropTag == tags.aulPropTag[i] && pValues[i].Value.lpszW)
            *targets[i] = pValues[i].Value.lpszW;
    }
    props.bSubject = cValues == 6 && pValues[4].ulPropTag == PR_SUBJECT_W;
    props.bMayHaveAttachments = cValues != 6 || pValues[5].ulPropTag != PR_HASATTACH || pValues[5].Value.b;
    MAPIFreeBuffer(pValues);
    return props;
}

HRESULT OwnConverter(IMessage* pMessage, IAddrBook* pAddrBook, Platform::ComPtr<IStream>& pStream) {
    AddrBookConvertSupport support(pAddrBook);
    std::string mime;
    HRESULT hr = MapiToMimeText(pMessage, &support, mime);
    if (SUCCEEDED(hr))
        hr = NewStreamWithText(mime, pStream.AddressOf());
    if (FAILED(hr))
        OSTLOG_ERROR(L"MapiToMimeConverter failed: %x", hr);
    return hr;
}

// Whether the message embeds other messages (contacts among them, which are replaced by vCards).
bool HasEmbeddedMessages(IMessage* pMessage) {
    std::vector<ULONG> nums;
    return SUCCEEDED(Ostrel::Mapi::FindEmbeddedMsgAttachments(pMessage, nums)) && !nums.empty();
}

HRESULT SessionConverter(IMessage* pMessage, IAddrBook* pAddrBook, const wchar_t* pwszTempDir, const SourceProps& props,
                         Platform::ComPtr<IStream>& pStream) {
    Platform::ComPtr<IConverterSession> pSession;
    HRESULT hr = Platform::Mapi::CreateConverterSession(pSession.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to CreateConverterSession call: %x", hr);
        return hr;
    }
    OSTLOG_INFO(16, L"calling SetAddrBook");
    pSession->SetAdrBook(pAddrBook);
    OSTLOG_INFO(16, L"SetAddrBook complete");
    pSession->SetSaveFormat(SAVE_RFC1521);
    OSTLOG_INFO(16, L"pConvSess->SetSaveFormat complete");

    // In memory while small; a large text moves into a temporary file in pwszTempDir.
    hr = Ostrel::Convert::SpillStream::Create(pwszTempDir, pStream.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to OpenStreamOnFile call: %x", hr);
        return hr;
    }
    if (!props.bSubject)
        OSTLOG_INFO(16, L"Failed to get message props: %x", MAPI_E_NOT_FOUND);
    if (Ostrel::Util::g_logger.GetLogDetailCmntMsgInfo())
        OSTLOG_INFO(16, L"pConvSess->MAPIToMime to convert message with subject: %s", props.wsSubject.c_str());

    hr = pSession->MAPIToMIMEStm(pMessage, pStream.Get(), CCSF_INCLUDE_BCC | CCSF_NO_MSGID);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to pConvSess->MAPIToMime call: %x", hr);
        return hr;
    }
    OSTLOG_INFO(16, L"pConvSess->MAPIToMime call returned successfully");
    return S_OK;
}

HRESULT ConvertWith(bool bOwnConverter, IMessage* pMessage, const SourceProps& props, IAddrBook* pAddrBook,
                    IStream** ppStream, unsigned int& size, const wchar_t* pwszTempDir) {
    OSTLOG_BLOCK(16, 8192);
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    size = 0;
    const std::wstring& wsClass = props.wsClass;

    // Appointments and tasks go without their exception attachments, and for the converter session
    // contacts become vCard attachments first; both changes are made on a copy so that the user's
    // item keeps what it has.
    Platform::ComPtr<IMessage> pSource(pMessage);
    const Ostrel::Mail::MailItemType type = Ostrel::Mapi::MsgClassToItemType(wsClass.c_str());
    const bool bCalendarItem = type == Ostrel::Mail::MIT_APPOINTMENT || type == Ostrel::Mail::MIT_TASK;
    if (bCalendarItem || (!bOwnConverter && props.bMayHaveAttachments && HasEmbeddedMessages(pMessage))) {
        Platform::ComPtr<IMessage> pClone;
        HRESULT hr = Ostrel::Mapi::CloneMessage(pMessage, pClone.AddressOf(), nullptr, nullptr);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"failed to clone the message: %x", hr);
            return hr;
        }
        if (bCalendarItem) {
            hr = Ostrel::Mapi::RemoveExceptionAttachments(pClone.Get());
            if (FAILED(hr))
                OSTLOG_WARN(L"failed to remove the exception attachments: %x", hr);
        }
        // The own writer turns embedded contacts into vCards itself.
        if (!bOwnConverter) {
            hr = Ostrel::Mapi::ReplaceContactAttachments(pClone.Get(), nullptr);
            if (FAILED(hr))
                OSTLOG_INFO(16, L"contact attachments not replaced: %x", hr);
        }
        pSource = pClone;
    }

    Platform::ComPtr<IStream> pStream;
    HRESULT hr = bOwnConverter ? OwnConverter(pSource.Get(), pAddrBook, pStream)
                               : SessionConverter(pSource.Get(), pAddrBook, pwszTempDir, props, pStream);
    if (FAILED(hr))
        return hr;

    WorkaroundBCC(pSource.Get(), pStream.Get());
    LARGE_INTEGER zero{};
    hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to pStream->Seek call: %x", hr);
        return hr;
    }
    STATSTG stat{};
    hr = pStream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to pStream->Stat call: %x", hr);
        return hr;
    }
    if (stat.cbSize.QuadPart > 0xFFFFFFFFull) {
        OSTLOG_ERROR(L"MIME text too large: %I64u bytes", stat.cbSize.QuadPart);
        return MAPI_E_TOO_BIG;
    }
    size = static_cast<unsigned int>(stat.cbSize.QuadPart);

    // The fix-ups keep the text they were given when they fail; the conversion goes on with it.
    IStream* pRaw = pStream.Detach();
    MtgRequestFixForClass(pSource.Get(), wsClass, &pRaw, size,
                          props.wsSender.empty() ? nullptr : props.wsSender.c_str(),
                          props.wsOrganizer.empty() ? nullptr : props.wsOrganizer.c_str());
    SetThreadTopicWithTopic(&pRaw, size, props.wsTopic);
    pRaw->Seek(zero, STREAM_SEEK_SET, nullptr);
    *ppStream = pRaw;
    return S_OK;
}

}  // namespace

HRESULT ConvertMessageToMime(IMessage* pMessage, IAddrBook* pAddrBook, IStream** ppStream, unsigned int& size,
                             const wchar_t* pwszTempDir) {
    const SourceProps props = ReadSourceProps(pMessage);
    const bool bOwn = pMessage && MimeConfig::GetInstance().UseOstrelMapiToMimeConverter(props.wsClass.c_str());
    return ConvertWith(bOwn, pMessage, props, pAddrBook, ppStream, size, pwszTempDir);
}

HRESULT ConvertMessageToMimeWith(bool bOwnConverter, IMessage* pMessage, IAddrBook* pAddrBook, IStream** ppStream,
                                 unsigned int& size, const wchar_t* pwszTempDir) {
    return ConvertWith(bOwnConverter, pMessage, ReadSourceProps(pMessage), pAddrBook, ppStream, size, pwszTempDir);
}
