#include "Ostrel/Rpc/Requests/ActionRequest.h"

#include <cwchar>
#include <cwctype>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Text.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

namespace {

constexpr const wchar_t* kOpTexts[] = {L"delete", L"read", L"!read", L"flag",   L"!flag",
                                       L"move",   L"tag",  L"!tag",  L"update", L"rename"};

// The folder whose id keeps an action from asking for the document view.
constexpr LONG kNoDocumentViewId = 12;
// The longest name FixUpDocumentName extends, before the period.
constexpr size_t kMaxFixedUpName = 258;

const wchar_t* BodyName(Mail::MailItemType kind) {
    switch (kind) {
        case Mail::MIT_FOLDER:
            return L"FolderActionRequest";
        case Mail::MIT_MESSAGE:
            return L"MsgActionRequest";
        case Mail::MIT_CONTACT:
            return L"ContactActionRequest";
        case Mail::MIT_NOTE:
        case Mail::MIT_APPOINTMENT:
        case Mail::MIT_TASK:
        case Mail::MIT_DOCUMENT:
            return L"ItemActionRequest";
        default:
            return nullptr;
    }
}

using Platform::EqualsNoCase;

// Attribute failures are traced and building goes on, as for every DOM failure of an action.
void SetTraced(IXMLDOMElement* pElement, const wchar_t* pwszName, std::wstring_view value) {
    HRESULT hr = pElement->setAttribute(pwszName, value);
    if (FAILED(hr))
        OSTLOG_ERROR(L"setAttribute(%s, %s) hr(%x)", pwszName,
                     std::wcscmp(pwszName, L"pw") == 0 ? L"****" : std::wstring(value).c_str(), hr);  // guest password
}

}  // namespace

const wchar_t* ActionRequest::OpText(int op) {
    return op >= 0 && op < static_cast<int>(std::size(kOpTexts)) ? kOpTexts[op] : L"";
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op) : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, std::nullopt, std::nullopt, std::nullopt, nullptr, nullptr, nullptr, kNoColor, 0);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, const wchar_t* pwszName)
    : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, std::nullopt, std::nullopt, std::nullopt, pwszName, nullptr, nullptr, kNoColor, 0);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, const wchar_t* pwszName, ULONG color)
    : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, std::nullopt, std::nullopt, std::nullopt, pwszName, nullptr, nullptr, color, 0);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, LONG folderId, const wchar_t* pwszNewName)
    : ItemRequestBase(BodyName(kind)) {
    if (pwszNewName)
        m_owsNewName = pwszNewName;
    Create(kind, op, id, std::nullopt, std::nullopt, std::to_wstring(folderId), nullptr, nullptr, nullptr, kNoColor, 0);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, LONG folderId, const wchar_t* pwszName,
                             const wchar_t* pwszFlags, const ACL& acl, int isDocument)
    : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, std::nullopt, std::nullopt, std::to_wstring(folderId), pwszName, pwszFlags, &acl, kNoColor,
           isDocument);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, const Mail::TagIdList* pTagIds,
                             const Mail::TagNameList* pTagNames, int tagIdRestriction)
    : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, AllowedTagIds(pTagIds, tagIdRestriction), TagNameListToString(pTagNames), std::nullopt,
           nullptr, nullptr, nullptr, kNoColor, 0);
}

ActionRequest::ActionRequest(Mail::MailItemType kind, LONG id, OP op, const Mail::TagIdList* pTagIds,
                             const Mail::TagNameList* pTagNames, Mail::MessageFlags& flags, int tagIdRestriction)
    : ItemRequestBase(BodyName(kind)) {
    Create(kind, op, id, AllowedTagIds(pTagIds, tagIdRestriction), TagNameListToString(pTagNames), std::nullopt,
           nullptr, flags.AsString(), nullptr, kNoColor, 0);
}

std::optional<std::wstring> ActionRequest::TagListToString(const Mail::TagIdList* pTagIds) {
    return pTagIds ? std::optional<std::wstring>(pTagIds->ToString()) : std::nullopt;
}

std::optional<std::wstring> ActionRequest::TagNameListToString(const Mail::TagNameList* pTagNames) {
    return pTagNames ? std::optional<std::wstring>(pTagNames->ToString()) : std::nullopt;
}

std::optional<std::wstring> ActionRequest::AllowedTagIds(const Mail::TagIdList* pTagIds, int tagIdRestriction) {
    if (tagIdRestriction && !Mapi::IsBESOSN())
        return std::nullopt;
    return TagListToString(pTagIds);
}

void ActionRequest::Create(Mail::MailItemType kind, int op, LONG id, const std::optional<std::wstring>& owsTagIds,
                           const std::optional<std::wstring>& owsTagNames,
                           const std::optional<std::wstring>& owsFolderId, const wchar_t* pwszName,
                           const wchar_t* pwszFlags, const ACL* pAcl, ULONG color, int isDocument) {
    const wchar_t* pwszBody = BodyName(kind);
    if (!pwszBody) {
        OSTLOG_WARN(L"Received unsupported mail item type 0x%x", static_cast<unsigned>(kind));
        return;
    }
    CreateBody(pwszBody, Soap::kNsMail);
    ComPtr<IXMLDOMElement> action;
    HRESULT hr = GetDocument()->createElement(L"action", action.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"createElement(%s) hr(%x)", L"action", hr);
        return;
    }
    SetTraced(action.Get(), L"id", std::to_wstring(id));
    SetTraced(action.Get(), L"op", OpText(op));

    std::shared_ptr<IItemRequestSession> pSession =
        (owsTagIds || owsTagNames || isDocument) ? CurrentItemSession() : nullptr;
    if (pSession && owsTagNames && pSession->SetSupportTagNames())
        SetTraced(action.Get(), L"tn", *owsTagNames);
    else if (pSession && owsTagIds && pSession->SetSupportTagIds())
        SetTraced(action.Get(), L"t", *owsTagIds);

    if (owsFolderId)
        SetTraced(action.Get(), L"l", *owsFolderId);
    if (pwszName)
        SetTraced(action.Get(), L"name", pwszName);
    if (pwszFlags)
        SetTraced(action.Get(), L"f", pwszFlags);

    if (pAcl) {
        ComPtr<IXMLDOMElement> acl;
        hr = GetDocument()->createElement(L"acl", acl.AddressOf());
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"createElement(%s) hr(%x)", L"acl", hr);
        } else {
            if (!SetFolderAcl(acl.Get(), pAcl))
                OSTLOG_ERROR(L"SetFolderAcl() - failed");
            hr = action->appendChild(acl.Get(), nullptr);
            if (FAILED(hr))
                OSTLOG_ERROR(L"appendChild(aclElement) hr(%x)", hr);
        }
    }

    if (isDocument && id != kNoDocumentViewId && pSession && pSession->SetSupportOSV8())
        SetTraced(action.Get(), L"view", L"document");
    if (color != kNoColor)
        SetTraced(action.Get(), L"rgb", ColorToRgb(color));

    hr = Body()->appendChild(action.Get(), nullptr);
    if (FAILED(hr))
        OSTLOG_ERROR(L"appendChild(actionElement) hr(%x)", hr);
}

bool ActionRequest::FixUpDocumentName() {
    ComPtr<IXMLDOMNode> node;
    if (GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/ItemActionRequest/action", node.AddressOf()) != S_OK)
        return false;
    ComPtr<IXMLDOMElement> action;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(action.AddressOf()))))
        return false;
    std::wstring wsOp;
    action->getAttribute(L"op", wsOp);
    if (!EqualsNoCase(wsOp, L"Move") && !EqualsNoCase(wsOp, L"Update"))
        return false;

    std::wstring wsName;
    if (action->getAttribute(L"name", wsName) != S_OK || wsName.empty()) {
        // Without a name there is nothing to make unique; the conflict stands.
        if (!m_owsNewName || m_owsNewName->empty())
            return false;
        wsName = *m_owsNewName;
    }
    if (wsName.size() > kMaxFixedUpName)
        wsName.resize(kMaxFixedUpName);
    wsName += L'.';
    if (FAILED(action->setAttribute(L"op", L"Update")) || FAILED(action->setAttribute(L"name", wsName)))
        return false;
    OSTLOG_INFO(4, L"Added period to fix name conflict");
    return true;
}

}  // namespace Ostrel::Rpc
