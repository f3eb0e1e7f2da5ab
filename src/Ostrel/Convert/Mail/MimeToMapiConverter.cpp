#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"

#include <cwchar>
#include <exception>
#include <iterator>

#include "Ostrel/Convert/Mail/MimeToMapiDeferredSave.h"
#include "Ostrel/Convert/Mail/MimeToMapiPropSet.h"
#include "Ostrel/Store/HostClient.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mime/Mime.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"

using Ostrel::Mapi::NamedProps;
using Ostrel::Mapi::NamedPropsManager;

namespace {

constexpr ULONG kConvertFlags = CCSF_SMTP | CCSF_INCLUDE_BCC;

int OutlookMajorVersion() {
    int iMajor = 0;
    Ostrel::Util::GetOutlookVersion(&iMajor, nullptr);
    return iMajor;
}

// The top-level media type of the text ("type/subtype", lower case), read from its header block
// alone.
std::string TopLevelContentType(const std::string& sMime) {
    size_t end = sMime.find("\r\n\r\n");
    if (end == std::string::npos)
        end = sMime.find("\n\n");
    mimepp::Message headerOnly(mimepp::String(sMime.substr(0, end == std::string::npos ? sMime.size() : end + 2)));
    headerOnly.parse();
    if (!headerOnly.headers().hasField("Content-Type"))
        return "text/plain";
    mimepp::MediaType& type = headerOnly.headers().contentType();
    mimepp::String text = type.type();
    text += "/";
    text += type.subtype();
    text.convertToLowerCase();
    return text.c_str();
}

}  // namespace

HRESULT CreateConverterSession(IConverterSession** ppSession) {
    return Platform::Mapi::CreateConverterSession(ppSession);
}

MimeToMapiConverter::MimeToMapiConverter(IStream* pMime, IMimeConvertSupport* pSupport,
                                         std::map<LONG, std::wstring>& tagMap, IMsgStore* pStore,
                                         int bCalendarPartialOk, NamedProps* pNamedProps)
    : m_pSupport(pSupport),
      m_tagMap(tagMap),
      m_pStore(pStore),
      m_pNamedProps(pNamedProps),
      m_bHasStream(pMime != nullptr),
      m_pStream(pMime),
      m_bCalendarPartialOk(bCalendarPartialOk) {
    if (pMime) {
        LARGE_INTEGER zero{};
        HRESULT hr = pMime->Seek(zero, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"failed to Seek in IStream: %x", hr);
        } else {
            char buffer[65536];
            for (;;) {
                ULONG cbRead = 0;
                hr = pMime->Read(buffer, sizeof buffer, &cbRead);
                if (FAILED(hr)) {
                    OSTLOG_ERROR(L"failed to read from istream: %x", hr);
                    m_sMime.clear();
                    break;
                }
                if (cbRead == 0)
                    break;
                m_sMime.append(buffer, cbRead);
            }
        }
    }
    if (pStore && !m_pNamedProps)
        m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!m_pNamedProps)
        OSTLOG_ERROR(L"MimeToMapiConverter - could not init name props...");
}

MimeToMapiConverter::MimeToMapiConverter(const void* pMime, int cbLength, IMimeConvertSupport* pSupport,
                                         std::map<LONG, std::wstring>& tagMap, IMsgStore* pStore,
                                         int bCalendarPartialOk, NamedProps* pNamedProps)
    : m_pSupport(pSupport),
      m_tagMap(tagMap),
      m_pStore(pStore),
      m_pNamedProps(pNamedProps),
      m_bCalendarPartialOk(bCalendarPartialOk) {
    if (pMime && cbLength > 0)
        m_sMime.assign(static_cast<const char*>(pMime), static_cast<size_t>(cbLength));
    if (pStore && !m_pNamedProps)
        m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!m_pNamedProps)
        OSTLOG_ERROR(L"MimeToMapiConverter - could not init name props...");
}

MimeToMapiConverter::~MimeToMapiConverter() = default;

void MimeToMapiConverter::ReportConversionFailure(HRESULT hr, const wchar_t* pwszText) {
    m_wsLocalFailureText = std::wstring(pwszText) + L" hr = " + std::to_wstring(static_cast<LONG>(hr));
    m_sFailedMimeBody = m_sMime;
    m_bLocalFailure = true;
}

HRESULT MimeToMapiConverter::OpenInputStream(IStream** ppStream) {
    if (m_bHasStream) {
        LARGE_INTEGER zero{};
        const HRESULT hr = m_pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"failed to Seek in IStream: %x", hr);
            return hr;
        }
        *ppStream = m_pStream.Get();
        m_pStream->AddRef();
        return S_OK;
    }
    Platform::ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(m_sMime);
    if (!pStream) {
        OSTLOG_ERROR(L"could not create the stream on the global handle");
        return E_OUTOFMEMORY;
    }
    *ppStream = pStream.Detach();
    return S_OK;
}

int MimeToMapiConverter::RunConverter(IMessage* pMsg, bool bAllowCalendarPartial) {
    Platform::ComPtr<IConverterSession> pSession;
    HRESULT hr = CreateConverterSession(pSession.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to create converter session: %x", hr);
        ReportConversionFailure(hr, L"Convert() - failed to create converter session.");
        return 0;
    }
    Platform::ComPtr<IAddrBook> pAddrBook;
    if (m_pSupport)
        m_pSupport->GetAddrBook(pAddrBook.AddressOf());
    pSession->SetAdrBook(pAddrBook.Get());
    pSession->SetSaveFormat(SAVE_RFC1521);

    Platform::ComPtr<IStream> pInput;
    if (FAILED(hr = OpenInputStream(pInput.AddressOf()))) {
        ReportConversionFailure(hr, L"Convert() - failed mime to mapi conversion.");
        return 0;
    }

    // The host's converter wants its own message object, not one wrapped for the client.
    Platform::ComPtr<IMessage> pTarget(pMsg);
    const Ostrel::Mapi::DDLWrapper& ddl = Ostrel::Mapi::get_ddlWrapper();
    if (ddl.IsWrappedObject(pMsg)) {
        Platform::ComPtr<IUnknown> pInner;
        if (SUCCEEDED(ddl.UnwrapObject(pMsg, pInner.AddressOf())) && pInner)
            pTarget.Attach(static_cast<IMessage*>(pInner.Detach()));
    }

    // The converter's own save waits for the final one (SaveProps).
    Platform::ComPtr<IMessage> pDeferred = CreateDeferredSaveMessage(pTarget.Get());
    try {
        hr = pSession->MIMEToMAPI(pInput.Get(), pDeferred.Get(), nullptr, kConvertFlags);
    } catch (...) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: converter threw an exception");
        ReportConversionFailure(E_FAIL, L"Convert() - failed mime to mapi conversion. Converter threw an exception.");
        return 0;
    }
    if (hr == MAPI_W_PARTIAL_COMPLETION) {
        if (bAllowCalendarPartial && m_bCalendarPartialOk && TopLevelContentType(m_sMime) == "text/calendar")
            return 1;
        OSTLOG_WARN(L"mime to mapi conversion returned partial completion: %x", hr);
        ReportConversionFailure(hr, L"Convert() - mime to mapi conversion returned partial completion.");
        m_bLocalWarning = true;
        return 1;
    }
    if (FAILED(hr)) {
        ReportConversionFailure(hr, L"Convert() - failed mime to mapi conversion.");
        OSTLOG_ERROR(L"failed mime to mapi conversion: %x", hr);
        return 0;
    }
    return 1;
}

int MimeToMapiConverter::ConvertViaIConvSess(IMessage* pMsg, LONG lItemId, const std::string& sTagIds,
                                             const std::string& sTagNames, const std::string& sConvId,
                                             const std::string& sReceived, const std::string& sFlags,
                                             int bExtractShare) {
    // Entry and exit per message are detailed tracing; the stamp line names each message.
    OSTLOG_BLOCK(16, Ostrel::Util::kLogCategoryInfo);
    if (!pMsg) {
        ReportConversionFailure(E_INVALIDARG, L"Convert() - no target message.");
        return 0;
    }
    try {
        const int iMajor = OutlookMajorVersion();
        if (iMajor >= 15)
            CleanUpHTML();
        if (!RunConverter(pMsg, true))
            return 0;
        const Converted converted = ReadConverted(pMsg);
        RepairSubject(pMsg, converted);
        DeleteKeywords(pMsg);
        if (bExtractShare)
            ExtractShareXML(pMsg);

        PropSet props;
        SetCommonProps(props, converted.bReceipt, lItemId, iMajor < 12);
        SetKeywordsFromStr(props, sTagIds, sTagNames);
        SetConvIdFromStr(props, sConvId);
        SetDeliveryTimeFromStr(props, sReceived);
        SetMessageFlagsFromStr(props, sFlags);
        if (sFlags.find('d') != std::string::npos && converted.bHasSubmitTime)
            RemoveDraftSubmitTime(pMsg);
        return SaveProps(pMsg, props);
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: %hs", e.what());
    } catch (...) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: unknown exception");
    }
    ReportConversionFailure(E_FAIL, L"Convert() - failed mime to mapi conversion. Converter threw an exception.");
    return 0;
}

int MimeToMapiConverter::ConvertViaMimePP(IMessage* pMsg, LONG lItemId) {
    OSTLOG_BLOCK(16, Ostrel::Util::kLogCategoryInfo);
    if (!pMsg) {
        ReportConversionFailure(E_INVALIDARG, L"Convert() - no target message.");
        return 0;
    }
    try {
        mimepp::Message message;
        message.setString(mimepp::String(m_sMime));
        message.parse();
        return ConvertMimePP(message, pMsg, lItemId);
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: %hs", e.what());
    } catch (...) {
        OSTLOG_ERROR(L"failed mime to mapi conversion: unknown exception");
    }
    ReportConversionFailure(E_FAIL, L"Convert() - failed mime to mapi conversion. Converter threw an exception.");
    return 0;
}

namespace {

// The trimmed text of the first field of that name, or empty.
std::string HeaderText(mimepp::Headers& headers, const char* pszName) {
    mimepp::Field* pField = headers.findField(pszName);
    if (!pField)
        return {};
    std::string text = pField->fieldBody().getString().c_str();
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

int MimeToMapiConverter::ConvertMimePP(mimepp::Message& message, IMessage* pMsg, LONG lItemId) {
    if (!RunConverter(pMsg, false))
        return 0;
    DeleteKeywords(pMsg);

    mimepp::Headers& headers = message.headers();
    PropSet props;
    SetCommonProps(props, ReadConverted(pMsg).bReceipt, lItemId, false);

    std::wstring wsTagNames;
    if (mimepp::Field* pNames = headers.findField("x-ostrel-tag-names"))
        wsTagNames = Platform::FromUtf8(static_cast<mimepp::Text&>(pNames->fieldBody()).textUtf8().c_str());
    SetKeywords(props, wsTagNames, HeaderText(headers, "x-ostrel-tags"));
    SetConvIdFromStr(props, HeaderText(headers, "x-ostrel-conv"));

    const std::string sReceived = HeaderText(headers, "X-Ostrel-Received");
    if (!sReceived.empty()) {
        SetDeliveryTimeFromStr(props, sReceived);
    } else if (headers.hasField("received") && headers.received().date().isValid()) {
        SetDeliveryTime(props, headers.received().date().asUnixTime());
    } else if (headers.hasField("date") && headers.date().isValid()) {
        SetDeliveryTime(props, headers.date().asUnixTime());
    }
    SetMessageFlagsFromStr(props, HeaderText(headers, "x-ostrel-flags"));
    return SaveProps(pMsg, props);
}

MimeToMapiConverter::Converted MimeToMapiConverter::ReadConverted(IMessage* pMsg) {
    static constexpr wchar_t kReceiptPrefix[] = L"Report.IPM.Note.";
    Converted converted;
    SizedSPropTagArray(3, tags) = {3, {PR_SUBJECT_W, PR_MESSAGE_CLASS_W, PR_CLIENT_SUBMIT_TIME}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (FAILED(pMsg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues)) ||
        cValues != 3) {
        MAPIFreeBuffer(pValues);
        return converted;
    }
    if (pValues[0].ulPropTag == PR_SUBJECT_W) {
        converted.bHasSubject = true;
        converted.wsSubject = pValues[0].Value.lpszW;
    }
    converted.bReceipt = pValues[1].ulPropTag == PR_MESSAGE_CLASS_W &&
                         wcsncmp(pValues[1].Value.lpszW, kReceiptPrefix, std::size(kReceiptPrefix) - 1) == 0;
    if (converted.bReceipt)
        OSTLOG_INFO(4, L"This is a receipt");
    converted.bHasSubmitTime = pValues[2].ulPropTag == PR_CLIENT_SUBMIT_TIME;
    MAPIFreeBuffer(pValues);
    return converted;
}

void MimeToMapiConverter::RepairSubject(IMessage* pMsg, const Converted& converted) {
    if (!converted.bHasSubject || converted.wsSubject.find(L"\r\n ") == std::wstring::npos)
        return;
    std::wstring wsSubject = converted.wsSubject;
    for (size_t pos; (pos = wsSubject.find(L"\r\n ")) != std::wstring::npos;)
        wsSubject.erase(pos, 3);
    SPropValue value{PR_SUBJECT_W, 0, {}};
    value.Value.lpszW = wsSubject.data();
    const HRESULT hr = HrSetOneProp(pMsg, &value);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to write the repaired subject: %x", hr);
        return;
    }
    OSTLOG_INFO(4, L"Bogus line break removed from Subject '%s'", wsSubject.c_str());
}

void MimeToMapiConverter::DeleteKeywords(IMessage* pMsg) {
    if (!m_pNamedProps)
        return;
    SizedSPropTagArray(1, tags) = {1, {m_pNamedProps->GetPropTag(NamedProps::KEYWORDS, PT_MV_UNICODE)}};
    pMsg->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
}

void MimeToMapiConverter::RemoveDraftSubmitTime(IMessage* pMsg) {
    SizedSPropTagArray(1, tags) = {1, {PR_CLIENT_SUBMIT_TIME}};
    const HRESULT hr = pMsg->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to delete draft's  PR_CLIENT_SUBMIT_TIME: %x", hr);
}

int MimeToMapiConverter::SaveProps(IMessage* pMsg, PropSet& props) {
    HRESULT hr = Ostrel::Mapi::WrapSetProps(pMsg, props.Count(), props.Values(), nullptr, m_pNamedProps);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to set delivery time props: %x", hr);
        ReportConversionFailure(hr, L"Convert() - failed to set the message's properties.");
        return 0;
    }
    hr = pMsg->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to save mapimsg after mime conversion: %x", hr);
        ReportConversionFailure(hr, L"Convert() - failed to save the message.");
        return 0;
    }
    return 1;
}
