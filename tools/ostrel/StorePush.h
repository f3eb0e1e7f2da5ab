// Sends what was changed in the profile's store to the server, after the pull of the same run:
// new folders, renames and moves of folders, mail in the Outbox (sent and filed in Sent), new and
// edited drafts, read, flag, tag and folder changes of items, deletions, and new and edited
// contacts, appointments and tasks (StorePush*.cpp, one per area).
//
// Every send that creates something on the server is made safe against interruption first: the
// item gets a pending mark, saved, before the request goes. A run that finds a mark left by an
// interrupted run asks the server what came of it before sending again (a repeated send id, a
// Message-ID looked up in the server's folder, a contact's attributes, a calendar item's UID, a
// folder created only if it does not exist), so the server never gets a second copy. Only after
// the server's answer is the item stamped with its server id, its baseline and its mapper record.
//
// One item's failure (the server refuses it, the connection drops) is logged with the item and
// counted; the run goes on with the others, and the next run tries the item again.
//
// An item the server changed after the pull is never overwritten: what both sides changed is held
// back for the next pull to settle (StorePushConflicts.cpp).
#pragma once

#include "StoreMailbox.h"

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Rpc/Requests/AttachmentDetails.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Ostrel::Rpc {
class Request;
class Response;
class RpcException;
}  // namespace Ostrel::Rpc
namespace Ostrel::Mapi {
class TagCache;
}
namespace Ostrel::Mail {
class Contact;
}

namespace OstrelCli {

struct PushReport {
    size_t cSent = 0;       // Outbox messages sent
    size_t cDrafts = 0;     // drafts saved on the server
    size_t cFolders = 0;    // folders created or renamed
    size_t cChanged = 0;    // items whose read state, flag or tags went up (moves are counted apart)
    size_t cMoved = 0;      // items and folders moved
    size_t cDeleted = 0;    // items and folders deleted on the server
    size_t cContacts = 0;   // contacts created or changed
    size_t cCalendar = 0;   // appointments and tasks created or changed
    size_t cFailed = 0;     // items that could not be sent this time (logged; tried again next run)
    size_t cConflicts = 0;  // local changes held back: the server changed the item since the pull

    size_t Total() const { return cSent + cDrafts + cFolders + cChanged + cMoved + cDeleted + cContacts + cCalendar; }
};

// "; sent N local changes (...)" for the summary line of `ostrel sync`, empty when nothing was
// sent or failed; and the same figures as a JSON object.
std::string PushSummary(const PushReport& report);
std::string PushJson(const PushReport& report);

class StorePush {
public:
    // The owner's name and address go into appointments the user organises.
    // The mailbox is open and locked; pAddrBook (may be null) resolves recipients.
    StorePush(StoreMailbox& mailbox, IAddrBook* pAddrBook, Ostrel::Rpc::OstrelConnection& oc, std::wstring wsOwnerName,
              std::wstring wsOwnerEmail);
    ~StorePush();

    // Never throws for one item's failure; throws std::runtime_error only when the store cannot be
    // read at all.
    PushReport Run();

    // The pending mark of an interrupted send (the item's replication id), empty when none.
    static std::wstring PendingMark(IMAPIProp* pItem);

private:
    // ---- StorePushFolders.cpp ----
    void PushFolders(IMAPIFolder* pParent, LONG lParentId, PushReport& report);
    bool CreateFolder(LONG lParentId, IMAPIFolder* pFolder, PushReport& report);
    // The store's special folders by entry id, with the ids of the server's system folders they
    // stand for, whatever their names and stamps.
    std::map<std::vector<BYTE>, int32_t> SpecialFolderIds();
    // A rename or move of a server folder; false when it was refused.
    bool PushFolderChange(IMAPIFolder* pFolder, LONG lId, LONG lParentId, PushReport& report);

    // ---- StorePushItems.cpp ----
    std::filesystem::path PushedListPath() const;
    // The server ids the store held after the last push, with their kinds.
    std::map<int32_t, Ostrel::Mail::MailItemType> ReadPushedList() const;
    void WritePushedList(const std::map<int32_t, Ostrel::Mail::MailItemType>& held) const;
    // Sends the read, flag, tag and folder changes of every item with a baseline; `held` receives
    // the server ids the store holds (in local folders too). False when some folder could not be
    // read: `held` may then lack ids the store has.
    bool PushItemChanges(std::map<int32_t, Ostrel::Mail::MailItemType>& held, PushReport& report);
    // Sends what changed of one item and counts it (changed, moved, held back or failed).
    void PushItemState(IMessage* pMessage, LONG lId, Ostrel::Mail::MailItemType kind, int32_t iFolderId,
                       const ItemBaseline& before, const ItemState& now, bool bTagsChanged, PushReport& report);
    // Whether the mapper's object (message or folder) of that server id is still in the store,
    // stamped with it.
    bool StillInStore(LONG lId);
    // Deletes on the server what `known` lists and the store no longer holds; what cannot be
    // deleted now stays in `held` for the next run.
    void PushDeletions(const std::map<int32_t, Ostrel::Mail::MailItemType>& known,
                       std::map<int32_t, Ostrel::Mail::MailItemType>& held, PushReport& report);

    // ---- StorePushMail.cpp ----
    void PushOutbox(PushReport& report);
    void PushDrafts(PushReport& report);
    bool SendOne(IMessage* pMessage);
    bool AddToSent(IMessage* pMessage, const std::wstring& wsMessageId, LONG& lId);
    // Deletes the server draft a sent message was and takes its stamp off the message, saved.
    bool DropServerDraft(IMessage* pMessage, LONG lDraftId);
    bool SaveDraft(IMessage* pMessage, const std::wstring& wsMessageId, LONG lDraftId);
    // Moves a draft whose server copy (lId) changed too into the conflicts folder, unstamped.
    bool KeepDraftAsConflict(IMAPIFolder* pDrafts, IMessage* pMessage, LONG lId);
    // The message with that Message-ID in a server folder (0 when there is none); false when the
    // server could not be asked.
    bool FindServerMessage(int32_t iFolder, const std::wstring& wsMessageId, LONG& lFound);
    // Uploads the message as MIME carrying the Message-ID; the upload id.
    bool Upload(IMessage* pMessage, const std::wstring& wsMessageId, std::wstring& wsUploadId);
    // Makes the message the store's image of server message lId (Complete), after settling a copy
    // a pull brought in meanwhile; false when that copy was kept and this message deleted.
    bool AdoptServerCopy(IMessage* pMessage, LONG lId, int32_t iFolder, ULONG ulFolderTag);
    // Stamps a message the server now holds as lId in server folder iFolder, with the baseline of
    // its current state, records it and clears its mark; saved.
    HRESULT Complete(IMessage* pMessage, LONG lId, int32_t iFolder);

    // ---- StorePushContacts.cpp ----
    // New contacts and contacts edited since the pull of one contact folder.
    void PushContactFolder(IMAPIFolder* pFolder, int32_t iFolderId, PushReport& report);
    bool PushContact(IMessage* pMessage, LONG lId, int32_t iFolderId);
    // Replaces server contact lId's attributes (and photo, when given) and, for a list, its members.
    // Throws what the requests throw.
    void ModifyContact(LONG lId, const Ostrel::Mail::Contact& contact, const Ostrel::Rpc::AttachmentDetails* pPhoto,
                       bool bList);
    // The photo uploaded, described for a contact request; null when there is none. Throws what
    // the upload throws, and std::runtime_error.
    std::unique_ptr<Ostrel::Rpc::AttachmentDetails> UploadPhoto(const std::string& photo,
                                                                const std::wstring& wsFileName);
    // A server contact of the folder that no store object stands for and that has all of the
    // contact's attributes (0 when there is none); throws what the requests throw.
    bool FindServerContact(int32_t iFolderId, const Ostrel::Mail::Contact& contact, LONG& lFound);

    // ---- StorePushConflicts.cpp ----
    // What the server holds of an item now, in the baseline's terms.
    struct ServerItem {
        int32_t iSeq = 0;
        int32_t iFolder = 0;
        std::string sFlags;  // the changeable letters, sorted
        std::string sTags;   // tag ids, ascending
    };
    enum class ServerRead { Read, Gone, Failed };
    // Asks the server (GetItem); Failed is logged.
    ServerRead ReadServerItem(LONG lId, ServerItem& item);
    enum class ServerSide { Unchanged, Changed, Unknown };
    // Whether the server changed the item (or deleted it) since the pull wrote `baseline`; Unknown
    // when the server could not be asked.
    ServerSide ServerChangeSince(LONG lId, const ItemBaseline& baseline);

    // ---- StorePushCalendar.cpp ----
    void PushCalendarFolder(IMAPIFolder* pFolder, int32_t iFolderId, PushReport& report);

    // ---- StorePush.cpp: what the areas share ----
    struct PushCandidate {
        std::vector<BYTE> entryId;
        LONG lId = 0;  // 0: new
        Ostrel::Mail::MailItemType kind = Ostrel::Mail::MIT_MESSAGE;
    };
    // The folder's items that may have to go up, read from its contents table: new ones (no
    // server id), ones modified after their baseline's stamp, and ones an interrupted push left
    // pending.
    std::vector<PushCandidate> Candidates(IMAPIFolder* pFolder);
    // Modified after the baseline's stamp.
    static bool IsEditedSince(IMAPIProp* pItem, const ItemBaseline& baseline);
    // New and edited contacts, appointments and tasks of every folder the server knows.
    void PushContent(PushReport& report);
    static std::wstring MessageClassOf(IMAPIProp* pProp);
    // The server's "no such item" faults: what an action wanted gone is gone already.
    static bool IsGoneOnServer(const Ostrel::Rpc::RpcException& e);
    static std::wstring ContainerClassOf(IMAPIProp* pProp);
    // Sends and returns the answer; RpcException and std::exception go to the caller.
    std::unique_ptr<Ostrel::Rpc::Response> Send(Ostrel::Rpc::Request& request);
    Platform::ComPtr<IMAPIFolder> OpenFolder(const std::vector<BYTE>& entryId);
    Platform::ComPtr<IMessage> OpenMessage(const std::vector<BYTE>& entryId);
    // A folder whose entry id the store (or the root folder) names in `ulTag`.
    Platform::ComPtr<IMAPIFolder> SpecialFolder(ULONG ulTag);
    // Entry ids of a folder's messages.
    static std::vector<std::vector<BYTE>> Contents(IMAPIFolder* pFolder);
    // The folders below pFolder, from the mailbox's listing of the tree.
    std::vector<std::vector<BYTE>> Subfolders(IMAPIFolder* pFolder);
    // The ids of the items (element `pwszElement`, e.g. L"m" or L"cn") a SyncResponse lists
    // directly in the server folder.
    static std::vector<LONG> ItemsListedIn(Ostrel::Rpc::Response& response, const wchar_t* pwszElement,
                                           int32_t iFolder);
    static std::vector<BYTE> EntryIdOf(IMAPIProp* pProp);
    static LONG ServerIdOf(IMAPIProp* pProp);

    StoreMailbox& m_mailbox;
    IMsgStore* m_pStore;
    IAddrBook* m_pAddrBook;
    Ostrel::Mapi::IdMapper& m_items;
    Ostrel::Rpc::OstrelConnection& m_oc;
    std::wstring m_wsOwnerName;
    std::wstring m_wsOwnerEmail;
    std::unique_ptr<Ostrel::Mapi::TagCache> m_pTags;  // the store's tags, read once per run
};

}  // namespace OstrelCli
