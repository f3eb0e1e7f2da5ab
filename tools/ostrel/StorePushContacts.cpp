// Contacts and distribution lists made or edited in the store's contact folders go to the server
// (CreateContact, ModifyContact), read back from the store by the contact converter, with the
// contact's photo uploaded beside. A contact is edited when its modification time is later than
// the baseline's stamp; one the server changed since the pull is held back for the next pull,
// which keeps the local version as a conflict copy. An edited list's members (contacts, address
// list entries, addresses) replace the server's.
//
// A creation is not repeatable on the server, so the contact gets a pending mark, saved, first. A
// run that finds the mark looks among the server's contacts of that folder that no store object
// stands for yet for one with all of this contact's attributes, and adopts it.
#include "StorePush.h"

#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/CreateContact.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/ModifyContact.h"
#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"

#include <stdexcept>

namespace OstrelCli {

using Platform::ComPtr;

namespace {

constexpr std::wstring_view kContactMark = L"contact:new";

// Whether every attribute entry of `ours` is among the server's.
bool HasAllAttributes(const Ostrel::Mail::ContactAttributes& theirs, const Ostrel::Mail::ContactAttributes& ours) {
    for (const auto& [name, value] : ours) {
        bool bFound = false;
        for (auto [it, end] = theirs.equal_range(name); it != end && !bFound; ++it)
            bFound = it->second == value;
        if (!bFound)
            return false;
    }
    return true;
}

// The type of a photo by its file name's extension, as the server files images.
const char* PhotoType(const std::wstring& wsName) {
    const size_t dot = wsName.rfind(L'.');
    const std::wstring wsExt = dot == std::wstring::npos ? std::wstring() : wsName.substr(dot + 1);
    if (Ostrel::Mapi::EqualsNoCase(wsExt, L"png"))
        return "image/png";
    if (Ostrel::Mapi::EqualsNoCase(wsExt, L"gif"))
        return "image/gif";
    if (Ostrel::Mapi::EqualsNoCase(wsExt, L"tif") || Ostrel::Mapi::EqualsNoCase(wsExt, L"tiff"))
        return "image/tiff";
    return "image/jpeg";
}

}  // namespace

std::unique_ptr<Ostrel::Rpc::AttachmentDetails> StorePush::UploadPhoto(const std::string& photo,
                                                                       const std::wstring& wsFileName) {
    if (photo.empty())
        return nullptr;
    const std::string sName = wsFileName.empty() ? std::string("photo.jpg") : Platform::ToUtf8(wsFileName);
    const char* pszType = PhotoType(wsFileName);
    std::string preamble;
    if (!Ostrel::Rpc::Rfc1876Helper::BuildFilePreamble("krlib32", sName, pszType, preamble))
        throw std::runtime_error("the photo's file part cannot be written");
    ComPtr<IStream> pStream(Platform::MemStream::Create(photo).Get());
    std::wstring wsUploadId;
    if (!Ostrel::Rpc::DoPutSynchronousOC(m_oc, pStream.Get(), photo.size(), L"/service/upload?fmt=raw", wsUploadId,
                                         preamble.c_str(), __func__, __LINE__))
        throw std::runtime_error("the photo could not be uploaded");
    auto pDetails = std::make_unique<Ostrel::Rpc::AttachmentDetails>();
    pDetails->SetUploadToken(wsUploadId.c_str());
    pDetails->SetFileName(sName.c_str());
    pDetails->SetContentType(pszType);
    return pDetails;
}

void StorePush::PushContactFolder(IMAPIFolder* pFolder, int32_t iFolderId, PushReport& report) {
    for (const PushCandidate& candidate : Candidates(pFolder)) {
        if (candidate.kind != Ostrel::Mail::MIT_CONTACT)
            continue;
        ComPtr<IMessage> pMessage = OpenMessage(candidate.entryId);
        if (!pMessage) {
            ++report.cFailed;
            continue;
        }
        ItemBaseline before;
        if (candidate.lId && m_mailbox.Baseline().Read(pMessage.Get(), before)) {
            const ServerSide server = ServerChangeSince(candidate.lId, before);
            if (server == ServerSide::Changed) {
                ++report.cConflicts;
                continue;
            }
            if (server == ServerSide::Unknown) {
                ++report.cFailed;
                continue;
            }
        }
        if (PushContact(pMessage.Get(), candidate.lId, iFolderId))
            ++report.cContacts;
        else
            ++report.cFailed;
    }
}

void StorePush::ModifyContact(LONG lId, const Ostrel::Mail::Contact& contact,
                              const Ostrel::Rpc::AttachmentDetails* pPhoto, bool bList) {
    Ostrel::Rpc::ModifyContactRequest request(1, 1, lId, contact.Attributes(), contact.GroupMembers(), pPhoto,
                                              contact.TagNames());
    Send(request);
    if (!bList)
        return;
    // Replace mode leaves a list's members as they were; outside it the members given become
    // the whole list, and no attribute is named but the certificates (which a list has none of).
    if (!contact.GroupMembers().size()) {
        OSTLOG_WARN(L"List %d has no members left in the store: the server keeps its last ones", lId);
        return;
    }
    Ostrel::Rpc::ModifyContactRequest members(0, 1, lId, Ostrel::Mail::ContactAttributes(), contact.GroupMembers(),
                                              nullptr, contact.TagNames());
    Send(members);
}

bool StorePush::PushContact(IMessage* pMessage, LONG lId, int32_t iFolderId) {
    Ostrel::Mapi::M2LContactConverter converter(pMessage, m_pStore);
    std::unique_ptr<Ostrel::Mail::Contact> pContact = converter.Convert();
    if (!pContact) {
        OSTLOG_ERROR(L"Contact %d cannot be read from the store", lId);
        return false;
    }
    Ostrel::Mapi::OstrelMailItemBase item(pMessage);
    try {
        // Each request consumes its upload: the photo goes up once per request that carries it.
        auto photo = [&] { return UploadPhoto(converter.Photo(), converter.PhotoFileName()); };
        const bool bList = Ostrel::Mapi::EqualsNoCase(MessageClassOf(pMessage), L"IPM.DistList");
        if (lId) {
            ModifyContact(lId, *pContact, photo().get(), bList);
            return SUCCEEDED(Complete(pMessage, lId, iFolderId));
        }
        if (PendingMark(pMessage) == kContactMark) {
            LONG lFound = 0;
            if (!FindServerContact(iFolderId, *pContact, lFound))
                return false;
            if (lFound) {
                // The interrupted creation reached the server: bring it up to date and adopt it.
                ModifyContact(lFound, *pContact, photo().get(), bList);
                return SUCCEEDED(Complete(pMessage, lFound, iFolderId));
            }
        } else if (FAILED(item.ReplicationId(std::wstring(kContactMark).c_str())) ||
                   FAILED(Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0))) {
            return false;
        }
        Ostrel::Mail::TagIdList tagIds;
        const auto pPhoto = photo();
        Ostrel::Rpc::CreateContactRequest request(iFolderId, pContact->Attributes(), pContact->GroupMembers(),
                                                  pPhoto.get(), tagIds, pContact->TagNames(), 0);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        auto* pCreated = dynamic_cast<Ostrel::Rpc::CreateContactResponse*>(pResponse.get());
        if (!pCreated || pCreated->Id() <= 0) {
            OSTLOG_ERROR(L"The server created a contact in folder %d but named no id for it", iFolderId);
            return false;
        }
        return SUCCEEDED(Complete(pMessage, pCreated->Id(), iFolderId));
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Contact %d of folder %d was not sent: %ls", lId, iFolderId, e.ExcepText() ? e.ExcepText() : L"");
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Contact %d of folder %d was not sent: %hs", lId, iFolderId, e.what());
    }
    return false;
}

bool StorePush::FindServerContact(int32_t iFolderId, const Ostrel::Mail::Contact& contact, LONG& lFound) {
    lFound = 0;
    Ostrel::Rpc::SyncRequest sync(nullptr, iFolderId, 0);
    std::unique_ptr<Ostrel::Rpc::Response> pListed = Send(sync);
    std::vector<LONG> ids;
    for (LONG lId : ItemsListedIn(*pListed, L"cn", iFolderId)) {
        if (!m_items.Contains(lId))
            ids.push_back(lId);
    }
    if (ids.empty())
        return true;
    Ostrel::Rpc::GetContactsRequest request(ids.data(), static_cast<unsigned>(ids.size()), nullptr, 0, 0);
    std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
    auto pContacts = Ostrel::Mail::Contact::CreateContactList(pResponse->GetDocument(), true);
    for (const auto& pTheirs : *pContacts) {
        if (pTheirs && HasAllAttributes(pTheirs->Attributes(), contact.Attributes())) {
            lFound = pTheirs->GetContId();
            return lFound > 0;
        }
    }
    return true;
}

}  // namespace OstrelCli
