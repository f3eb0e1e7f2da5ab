// The readers of the item and folder replies declared in RPCResponses.h.
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Util/Log/Log.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

namespace {

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601
constexpr int64_t kFileTimeTicksPerSecond = 10000000LL;

std::optional<std::wstring> Attribute(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath, const wchar_t* pwszName) {
    std::optional<std::wstring> value;
    wchar_t* pwszValue = nullptr;
    if (pDocument && Util::XmlUtil::FindNodeAttributeValue(pDocument, pwszXPath, pwszName, &pwszValue) && pwszValue)
        value = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return value;
}

// A decimal 32-bit number; anything else is logged and gives `fallback`.
LONG Number(const std::optional<std::wstring>& value, const wchar_t* pwszWhat, LONG fallback = 0) {
    if (!value)
        return fallback;
    const wchar_t* pwsz = value->c_str();
    wchar_t* pwszEnd = nullptr;
    errno = 0;
    long long ll = std::wcstoll(pwsz, &pwszEnd, 10);
    if (value->empty() || *pwszEnd || errno == ERANGE || ll < INT32_MIN || ll > INT32_MAX) {
        OSTLOG_WARN(L"the reply's %s '%s' is not a number", pwszWhat, pwsz);
        return fallback;
    }
    return static_cast<LONG>(ll);
}

LONG IdOf(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    return Number(Attribute(pDocument, pwszXPath, L"id"), L"id");
}

wchar_t* MapiCopy(const std::optional<std::wstring>& value) {
    if (!value)
        return nullptr;
    void* pBuffer = nullptr;
    ULONG cb = static_cast<ULONG>((value->size() + 1) * sizeof(wchar_t));
    if (FAILED(MAPIAllocateBuffer(cb, &pBuffer)) || !pBuffer) {
        OSTLOG_ERROR(L"MAPIAllocateBuffer(%u) failed for the sync token", cb);
        return nullptr;
    }
    std::memcpy(pBuffer, value->c_str(), cb);
    return static_cast<wchar_t*>(pBuffer);
}

}  // namespace

CreateFolderResponse::CreateFolderResponse(IXMLDOMDocument2* pDocument) : Response(pDocument) {
    const wchar_t* pwszFolder = L"/soap:Envelope/soap:Body/mail:CreateFolderResponse/mail:folder";
    m_lFolderId = Number(Attribute(pDocument, pwszFolder, L"id"), L"folder id");
    m_lParentFolderId = Number(Attribute(pDocument, pwszFolder, L"l"), L"parent folder id");
    m_owsFolderName = Attribute(pDocument, pwszFolder, L"name");
}

CreateTagResponse::CreateTagResponse(IXMLDOMDocument2* pDocument)
    : Response(pDocument), m_lId(IdOf(pDocument, L"/soap:Envelope/soap:Body/mail:CreateTagResponse/mail:tag")) {}

CreateContactResponse::CreateContactResponse(IXMLDOMDocument2* pDocument) : Response(pDocument) {
    m_owsModified = Attribute(pDocument, L"//mail:cn", L"id");
    m_lId = Number(m_owsModified, L"contact id");
}

SetAppointmentResponse::SetAppointmentResponse(IXMLDOMDocument2* pDocument) : Response(pDocument) {
    std::wstring wsFirst;
    Platform::ComPtr<IXMLDOMNode> first;
    if (pDocument && pDocument->selectSingleNode(L"/soap:Envelope/soap:Body/*", first.AddressOf()) == S_OK)
        first->get_baseName(wsFirst);
    if (wcscasecmp(wsFirst.c_str(), L"SetAppointmentResponse") == 0)
        m_lApptDefaultId =
            Number(Attribute(pDocument, L"/soap:Envelope/soap:Body/mail:SetAppointmentResponse", L"apptId"), L"apptId");
    else
        m_lApptDefaultId =
            Number(Attribute(pDocument, L"/soap:Envelope/soap:Body/mail:SetTaskResponse", L"calItemId"), L"calItemId");
}

AddMsgResponse::AddMsgResponse(IXMLDOMDocument2* pDocument)
    : Response(pDocument), m_lId(IdOf(pDocument, L"//mail:m")) {}

SaveDraftResponse::SaveDraftResponse(IXMLDOMDocument2* pDocument)
    : Response(pDocument), m_lId(IdOf(pDocument, L"//mail:m")) {}

GetItemResponse::GetItemResponse(IXMLDOMDocument2* pDocument) : Response(pDocument) {
    const wchar_t* pwszDoc = L"/soap:Envelope/soap:Body/mail:GetItemResponse/mail:doc";
    // Versions count from 1: zero or a negative number says nothing, as if the server left it out.
    const LONG lVersion = Number(Attribute(pDocument, pwszDoc, L"ver"), L"document version", 1);
    m_ulDocVersion = lVersion > 0 ? static_cast<ULONG>(lVersion) : 1;
    m_owsDocName = Attribute(pDocument, pwszDoc, L"name");
    m_owsDocFlags = Attribute(pDocument, pwszDoc, L"f");
    m_owsDocTagIds = Attribute(pDocument, pwszDoc, L"t");
    m_owsDocTagNames = Attribute(pDocument, pwszDoc, L"tn");

    std::optional<std::wstring> owsTime = Attribute(pDocument, pwszDoc, L"md");
    if (!owsTime)
        owsTime = Attribute(pDocument, pwszDoc, L"cd");
    int64_t llSeconds = 0;
    if (owsTime) {
        wchar_t* pwszEnd = nullptr;
        errno = 0;
        long long ll = std::wcstoll(owsTime->c_str(), &pwszEnd, 10);
        // Beyond these bounds the time has no FILETIME.
        constexpr long long kMin = -kFileTimeUnixEpoch / kFileTimeTicksPerSecond;
        constexpr long long kMax = (INT64_MAX - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond;
        if (owsTime->empty() || *pwszEnd || errno == ERANGE || ll < kMin || ll > kMax)
            OSTLOG_WARN(L"the document time '%s' is not a time", owsTime->c_str());
        else
            llSeconds = ll;
    }
    uint64_t ullTime = static_cast<uint64_t>(kFileTimeUnixEpoch + llSeconds * kFileTimeTicksPerSecond);
    m_ftDocTime.dwLowDateTime = static_cast<DWORD>(ullTime & 0xFFFFFFFF);
    m_ftDocTime.dwHighDateTime = static_cast<DWORD>(ullTime >> 32);
}

wchar_t* SyncResponse::SyncToken() {
    return MapiCopy(Attribute(GetDocument(), L"//mail:SyncResponse", L"token"));
}

wchar_t* SyncGalResponse::SyncToken() {
    return MapiCopy(Attribute(GetDocument(), L"//account:SyncGalResponse", L"token"));
}

}  // namespace Ostrel::Rpc
