#include "Ostrel/Rpc/Requests/ModifyContact.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

// Multi-valued attributes: outside replace mode they are cleared and each value is added again.
const wchar_t* const kCertificateNames[] = {Mail::Contact::A_userCertificate, Mail::Contact::A_userSMIMECertificate};

int CertificateIndex(const std::wstring& wsName) {
    for (int i = 0; i < 2; ++i)
        if (wsName == kCertificateNames[i])
            return i;
    return -1;
}

}  // namespace

ModifyContactRequest::ModifyContactRequest(int replace, int force, LONG id, const Mail::ContactAttributes& attrs,
                                           const Mail::ContactGroupMembers& members, const AttachmentDetails* pImage,
                                           const Mail::TagNameList& tagNames)
    : ContactRequestBase(L"ModifyContactRequest") {
    CreateBody(L"ModifyContactRequest", Soap::kNsMail);
    if (replace)
        SetAttr(Body(), L"replace", L"1");
    if (force)
        SetAttr(Body(), L"force", L"1");
    auto cn = AddChild(Body(), L"cn");
    SetAttr(cn.Get(), L"id", std::to_wstring(id));
    if (std::shared_ptr<IItemRequestSession> pSession = CurrentItemSession();
        pSession && pSession->SetSupportTagNames())
        SetAttr(cn.Get(), L"tn", tagNames.ToString());

    bool bCleared[2] = {false, false};
    for (const auto& [wsName, wsValue] : attrs) {
        int cert = replace ? -1 : CertificateIndex(wsName);
        if (cert < 0) {
            AddAttribute(cn.Get(), wsName, &wsValue);
            continue;
        }
        if (!bCleared[cert]) {
            AddAttribute(cn.Get(), wsName, nullptr);
            bCleared[cert] = true;
        }
        AddAttribute(cn.Get(), wsName, &wsValue, L"+");
    }
    if (!replace) {
        for (int cert = 0; cert < 2; ++cert)
            if (!bCleared[cert])
                AddAttribute(cn.Get(), kCertificateNames[cert], nullptr);
    }

    if (MembersSupported()) {
        if (replace) {
            OSTLOG_INFO(4, L"Replace mode. <m> nodes not persisted");
        } else if (members.size()) {
            SetAttr(AddChild(cn.Get(), L"m").Get(), L"op", L"reset");
            for (const auto& member : members) {
                auto m = AddChild(cn.Get(), L"m");
                SetAttr(m.Get(), L"op", L"+");
                SetAttr(m.Get(), L"type", std::wstring(1, member.type));
                SetAttr(m.Get(), L"value", member.value);
            }
        }
    }
    AddImage(cn.Get(), pImage);
}

}  // namespace Ostrel::Rpc
