#include "Ostrel/Rpc/Requests/CreateContact.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

void ContactRequestBase::AddAttribute(IXMLDOMElement* pCn, const std::wstring& wsName, const std::wstring* pwsValue,
                                      const wchar_t* pwszOp) {
    auto a = AddChild(pCn, L"a");
    SetAttr(a.Get(), L"n", wsName);
    if (pwszOp)
        SetAttr(a.Get(), L"op", pwszOp);
    if (pwsValue)
        SetText(a.Get(), *pwsValue);
}

bool ContactRequestBase::MembersSupported() {
    std::shared_ptr<IItemRequestSession> pSession = CurrentItemSession();
    if (pSession && pSession->SetSupportOSV8())
        return true;
    OSTLOG_INFO(4, L"Suppressing saving <m> nodes due to OSV version");
    return false;
}

void ContactRequestBase::AddImage(IXMLDOMElement* pCn, const AttachmentDetails* pImage) {
    if (!pImage || !pImage->GetUploadToken() || !*pImage->GetUploadToken())
        return;
    auto a = AddChild(pCn, L"a");
    SetAttr(a.Get(), L"n", L"image");
    SetAttr(a.Get(), L"aid", pImage->GetUploadToken());
    if (pImage->GetFileName())
        SetAttr(a.Get(), L"filename", Platform::FromUtf8(pImage->GetFileName()));
    if (pImage->GetContentType())
        SetAttr(a.Get(), L"ct", Platform::FromUtf8(pImage->GetContentType()));
}

CreateContactRequest::CreateContactRequest(LONG folderId, const Mail::ContactAttributes& attrs,
                                           const Mail::ContactGroupMembers& members, const AttachmentDetails* pImage,
                                           const Mail::TagIdList& tagIds, const Mail::TagNameList& tagNames,
                                           int tagIdRestriction)
    : ContactRequestBase(L"CreateContactRequest") {
    CreateBody(L"CreateContactRequest", Soap::kNsMail);
    auto cn = AddChild(Body(), L"cn");
    SetAttr(cn.Get(), L"l", std::to_wstring(folderId));
    SetTagAttribute(cn.Get(), &tagIds, &tagNames, !tagIdRestriction || Mapi::IsBESOSN());
    for (const auto& [wsName, wsValue] : attrs)
        AddAttribute(cn.Get(), wsName, &wsValue);
    if (MembersSupported()) {
        for (const auto& member : members) {
            auto m = AddChild(cn.Get(), L"m");
            SetAttr(m.Get(), L"type", std::wstring(1, member.type));
            SetAttr(m.Get(), L"value", member.value);
        }
    }
    AddImage(cn.Get(), pImage);
}

}  // namespace Ostrel::Rpc
