#include "Ostrel/Rpc/Requests/CreateFolder.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Util/Exception.h"

namespace Ostrel::Rpc {

const wchar_t* CreateFolderRequest::ViewOf(Mail::MailItemType kind) {
    switch (kind) {
        case Mail::MIT_CONTACT:
            return L"contact";
        case Mail::MIT_APPOINTMENT:
            return L"appointment";
        case Mail::MIT_TASK:
            return L"task";
        case Mail::MIT_DOCUMENT: {
            std::shared_ptr<IItemRequestSession> pSession = CurrentItemSession();
            return pSession && pSession->SetSupportOSV8() ? L"document" : nullptr;
        }
        default:
            return nullptr;
    }
}

CreateFolderRequest::CreateFolderRequest(const wchar_t* pwszName, LONG parentId, Mail::MailItemType kind,
                                         const ACL* pAcl, int fetchIfExists, int syncFlag)
    : ItemRequestBase(L"CreateFolderRequest") {
    CreateBody(L"CreateFolderRequest", Soap::kNsMail);
    auto folder = AddChild(Body(), L"folder");
    SetAttr(folder.Get(), L"name", pwszName ? pwszName : L"");
    SetAttr(folder.Get(), L"l", std::to_wstring(parentId));
    if (const wchar_t* pwszView = ViewOf(kind))
        SetAttr(folder.Get(), L"view", pwszView);
    if (fetchIfExists)
        SetAttr(folder.Get(), L"fie", L"1");
    if (syncFlag)
        SetAttr(folder.Get(), L"f", L"#");
    if (pAcl && !pAcl->empty()) {
        auto acl = AddChild(folder.Get(), L"acl");
        // A folder must not be created with only part of its grants.
        if (!SetFolderAcl(acl.Get(), pAcl))
            OST_THROW_C_EXCEPTION(E_FAIL, L"the folder's access-control list could not be written");
    }
}

}  // namespace Ostrel::Rpc
