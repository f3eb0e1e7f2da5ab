#include "Ostrel/Rpc/Soap/Response.h"

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Text.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

namespace {

using Platform::EqualsNoCase;

std::optional<std::wstring> TakeValue(int found, wchar_t* pwszValue) {
    std::optional<std::wstring> value;
    if (found && pwszValue)
        value = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return value;
}

using Factory = Response* (*)(IXMLDOMDocument2*);

template <class T>
Response* Make(IXMLDOMDocument2* pDocument) {
    return new T(pDocument);
}

struct Entry {
    const wchar_t* pwszName;
    Factory pfnMake;
};

constexpr Entry kResponses[] = {
    {L"AuthResponse", Make<AuthResponse>},
    {L"CreateFolderResponse", Make<CreateFolderResponse>},
    {L"CreateContactResponse", Make<CreateContactResponse>},
    {L"ContactActionResponse", Make<ActionResponse>},
    {L"FolderActionResponse", Make<ActionResponse>},
    {L"MsgActionResponse", Make<ActionResponse>},
    {L"ItemActionResponse", Make<ActionResponse>},
    {L"GetContactsResponse", Make<GetContactsResponse>},
    {L"SyncResponse", Make<SyncResponse>},
    {L"SyncGalResponse", Make<SyncGalResponse>},
    {L"SearchGalResponse", Make<SearchGalResponse>},
    {L"ModifyContactResponse", Make<ModifyContactResponse>},
    {L"SendMsgResponse", Make<SendMsgResponse>},
    {L"AddMsgResponse", Make<AddMsgResponse>},
    {L"SaveDraftResponse", Make<SaveDraftResponse>},
    {L"CreateTagResponse", Make<CreateTagResponse>},
    {L"SetAppointmentResponse", Make<SetAppointmentResponse>},
    {L"SetTaskResponse", Make<SetAppointmentResponse>},
    {L"GetAppointmentResponse", Make<GetAppointmentResponse>},
    {L"GetTaskResponse", Make<GetAppointmentResponse>},
    {L"GetInfoResponse", Make<GetInfoResponse>},
    {L"GetPrefsResponse", Make<GetPrefsResponse>},
    {L"GetAccountInfoResponse", Make<GetAccountInfoResponse>},
    {L"CreateIdentityResponse", Make<CreateIdentityResponse>},
    {L"GetIdentitiesResponse", Make<GetIdentitiesResponse>},
    {L"GetWhiteBlackListResponse", Make<GetWhiteBlackListResponse>},
    {L"ModifyWhiteBlackListResponse", Make<ModifyWhiteBlackListResponse>},
    {L"GetSignaturesResponse", Make<GetSignaturesResponse>},
    {L"CreateSignatureResponse", Make<CreateSignatureResponse>},
    {L"SaveDocumentResponse", Make<SaveDocumentResponse>},
    {L"GetItemResponse", Make<GetItemResponse>},
    {L"GetRightsResponse", Make<GetRightsResponse>},
    {L"GrantRightsResponse", Make<GrantRightsResponse>},
    {L"RevokeRightsResponse", Make<RevokeRightsResponse>},
    {L"DiscoverRightsResponse", Make<DiscoverRightsResponse>},
    {L"SetMailboxMetadataResponse", Make<SetMailboxMetadataResponse>},
    {L"CreateMountpointResponse", Make<CreateMountpointResponse>},
    {L"GetShareInfoResponse", Make<GetShareInfoResponse>},
};

constexpr Entry kFaults[] = {
    {AccountServiceException::AUTH_FAILED, Make<AccountServiceException_AUTH_FAILED>},
    {AccountServiceException::CHANGE_PASSWORD, Make<AccountServiceException_CHANGE_PASSWORD>},
    {AccountServiceException::MAINTENANCE_MODE, Make<AccountServiceException_MAINTENANCE_MODE>},
    {AccountServiceException::ACCOUNT_INACTIVE, Make<AccountServiceException_MAINTENANCE_MODE>},
    {ServiceException::TEMPORARILY_UNAVAILABLE, Make<AccountServiceException_MAINTENANCE_MODE>},
    {AccountServiceException::TWO_FACTOR_AUTH_FAILED, Make<AccountServiceException_TWO_FACTOR_AUTH_FAILED>},
    {AccountServiceException::TWO_FACTOR_SETUP_REQUIRED, Make<AccountServiceException_TWO_FACTOR_SETUP_REQUIRED>},
    {ServiceException::UNKNOWN_DOCUMENT, Make<ServiceException_UNKNOWN_DOCUMENT>},
    {ServiceException::AUTH_REQUIRED, Make<ServiceException_AUTH_REQUIRED>},
    {ServiceException::AUTH_EXPIRED, Make<ServiceException_AUTH_EXPIRED>},
    {ServiceException::INVALID_REQUEST, Make<ServiceException_INVALID_REQUEST>},
    {ServiceException::PERM_DENIED, Make<ServiceException_PERM_DENIED>},
    {MailServiceException::MAINTENANCE, Make<MailServiceException_MAINTENANCE>},
    {MailServiceException::MUST_BE_ORGANIZER, Make<MailServiceException_MUST_BE_ORGANIZER>},
    {MailServiceException::ICALENDAR_PARSE_ERROR, Make<MailServiceException_ICALENDAR_PARSE_ERROR>},
    {MailServiceException::UPLOAD_REJECTED, Make<MailServiceException_UPLOAD_REJECTED>},
    {MailServiceException::ALREADY_EXISTS, Make<MailServiceException_ALREADY_EXISTS>},
    {MailServiceException::MUST_RESYNC, Make<MailServiceException_MUST_RESYNC>},
};

template <size_t N>
Factory Lookup(const Entry (&table)[N], std::wstring_view wsName, Factory pfnDefault) {
    for (const Entry& entry : table)
        if (EqualsNoCase(entry.pwszName, wsName))
            return entry.pfnMake;
    return pfnDefault;
}

void SetSelection(IXMLDOMDocument2* pDocument) {
    pDocument->setProperty(L"SelectionLanguage", L"XPath");
    pDocument->setProperty(L"SelectionNamespaces", Soap::kSelectionNamespaces);
}

}  // namespace

Response::Response(IXMLDOMDocument2* pDocument) : m_pDocument(pDocument) {
    if (!m_pDocument)
        return;
    m_pDocument->AddRef();
    SetSelection(m_pDocument);
    wchar_t* pwszToken = nullptr;
    int found = Util::XmlUtil::FindNodeAttributeValue(m_pDocument, Soap::kXPathChangeToken, L"token", &pwszToken);
    m_owsChangeToken = TakeValue(found, pwszToken);
}

Response::Response(const Response& other) : m_pDocument(other.m_pDocument), m_owsChangeToken(other.m_owsChangeToken) {
    if (m_pDocument)
        m_pDocument->AddRef();
}

Response::~Response() {
    if (m_pDocument)
        m_pDocument->Release();
}

const wchar_t* Response::GetChangeToken() {
    return m_owsChangeToken ? m_owsChangeToken->c_str() : nullptr;
}

Response* Response::Manager::NewResponse(IXMLDOMDocument2* pDocument) {
    if (!pDocument) {
        OSTLOG_ERROR(L"NULL response. Throwing ERROR_WINHTTP_UNRECOGNIZED_SCHEME");
        throw WinHttpException(12006, 0);
    }
    SetSelection(pDocument);
    Platform::ComPtr<IXMLDOMNode> body;
    if (pDocument->selectSingleNode(Soap::kXPathBodyElement, body.AddressOf()) != S_OK) {
        OSTLOG_ERROR(L"No SOAP body in response. Throwing ERROR_WINHTTP_UNRECOGNIZED_SCHEME");
        throw WinHttpException(12006, 0);
    }
    std::wstring wsName;
    body->get_baseName(wsName);
    if (!EqualsNoCase(wsName, L"Fault"))
        return Lookup(kResponses, wsName, Make<Response>)(pDocument);

    // A fault without an error code is an unknown fault.
    wchar_t* pwszCode = nullptr;
    int found = Util::XmlUtil::FindNodeValue(pDocument, Soap::kXPathFaultCode, &pwszCode);
    std::optional<std::wstring> owsCode = TakeValue(found, pwszCode);
    return Lookup(kFaults, owsCode.value_or(L""), Make<SoapFaultResponse>)(pDocument);
}

void Response::Manager::DeleteResponse(Response* pResponse) {
    delete pResponse;
}

BatchResponse::BatchResponse(IXMLDOMDocument2* pDocument) : m_pDocument(pDocument) {
    if (m_pDocument)
        m_pDocument->AddRef();
}

BatchResponse::~BatchResponse() {
    if (m_pDocument)
        m_pDocument->Release();
}

}  // namespace Ostrel::Rpc
