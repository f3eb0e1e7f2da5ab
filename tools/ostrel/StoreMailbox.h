// The profile's MAPI store as `ostrel sync` keeps it, and what pull, push, verify and export share:
//
//   ProfileDir(NAME)/NAME.osd       the store: the server's folder tree below the IPM subtree, every
//                                   folder and item stamped with its server id (PR_OSTREL_ID)
//   beside it, NAME.idmv and NAME_GAL2.idm
//                                   the item mapper (server id to entry id) and the GAL mapper
//   ProfileDataDir(NAME)/           the synchronisation's own state (see LocalMailbox.h): the lock,
//                                   the token the store is complete for, the pending work
//
// The server's system folders are the store's special folders: the root is the IPM subtree, the
// Inbox the receive folder, Trash "Deleted Items", Junk "Junk E-mail", Sent "Sent Items", and the
// Drafts, Contacts, Calendar and Tasks folders the store names as such. Every other server folder is
// a folder of its own, created with the connector's collision rules.
//
// Objects are found by server id through the item mapper; when the mapper lost a record (a crash
// between the save and the record, a deleted mapper file) the stamp finds the object and the record
// is put back, so nothing is ever written twice.
#pragma once

#include "LocalMailbox.h"
#include "SyncBaseline.h"

#include "Ostrel/IdMap/IdMapper.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace OstrelCli {

// The server ids of the folders that are the store's special folders.
inline constexpr int32_t kServerInbox = 2;
inline constexpr int32_t kServerTrash = 3;
inline constexpr int32_t kServerJunk = 4;
inline constexpr int32_t kServerSent = 5;
inline constexpr int32_t kServerDrafts = 6;
inline constexpr int32_t kServerContacts = 7;
inline constexpr int32_t kServerCalendar = 10;
inline constexpr int32_t kServerTasks = 15;
// Server ids below this are the server's system folders: never renamed, moved or deleted locally.
inline constexpr int32_t kFirstUserFolderId = 256;

// The local folder below the IPM subtree where the local side of a conflict is kept.
inline constexpr wchar_t kSyncIssuesFolder[] = L"Sync Issues";
inline constexpr wchar_t kConflictsFolder[] = L"Conflicts";
// The folder of the global address list's entries, below the store's root beside the IPM subtree.
inline constexpr wchar_t kGalFolder[] = L"Global Address List";

// A folder below the IPM subtree, as ReadFolders lists it.
struct StoreFolder {
    std::string entryId;
    std::string parentId;   // the entry id of its parent folder
    int32_t iServerId = 0;  // 0 for a local folder
    std::wstring wsClass;   // PR_CONTAINER_CLASS_W; empty when it has none
    size_t cContent = 0;    // the messages it holds
};

class StoreMailbox {
public:
    static std::filesystem::path StorePath(const std::string& profile);

    // Nothing is opened yet. Throws std::runtime_error when the state directory cannot be made.
    explicit StoreMailbox(const std::string& profile);
    ~StoreMailbox();
    StoreMailbox(const StoreMailbox&) = delete;
    StoreMailbox& operator=(const StoreMailbox&) = delete;

    // Takes the profile for this process (released when the object goes or the process ends):
    // false when another `ostrel sync` (or push, or watch) holds it.
    bool Lock();

    // Opens the store, creating it with the special folders when missing, then its named
    // properties, the baseline tags and the mappers (checked against the store after a crash).
    // With bWritable false nothing is created or changed (verify, export): a missing store is
    // MAPI_E_NOT_FOUND. Returns the failure otherwise; `why` says it in one line.
    HRESULT Open(bool bWritable, std::string& why);

    const std::string& Profile() const { return m_profile; }
    const std::filesystem::path& Path() const { return m_path; }
    IMsgStore* Store() const { return m_pStore.Get(); }
    LocalMailbox& State() { return *m_pState; }
    Ostrel::Mapi::IdMapper& Items() { return *m_pItems; }
    Ostrel::Mapi::IdMapper& Gal() { return *m_pGal; }
    const SyncBaseline& Baseline() const { return *m_pBaseline; }
    // PR_OSTREL_ID on this store (PT_LONG).
    ULONG OstrelIdTag() const { return m_ulOstrelId; }

    // The IPM subtree, the server's root folder (the caller's reference in *ppFolder).
    HRESULT OpenSubtree(IMAPIFolder** ppFolder);
    // The store folder of a server folder: the mapper, else the special folder of a system id, else
    // a folder below the subtree stamped with the id. MAPI_E_NOT_FOUND when there is none.
    HRESULT OpenFolder(int32_t iServerId, IMAPIFolder** ppFolder);
    // The store object of a server item (message, contact, appointment, task): the mapper, else a
    // search for the stamp in the folder of server id iFolderHint (in every folder when 0), the
    // record then put back. MAPI_E_NOT_FOUND when there is none, or when the mapper's record names
    // an object deleted in the store (the record stays: it tells push about the deletion).
    HRESULT OpenItem(int32_t iServerId, int32_t iFolderHint, IMessage** ppMessage);
    // The folder of that path of local names below the subtree ("Sync Issues/Conflicts"), created
    // when missing; never stamped, so that sync and push leave it alone.
    HRESULT OpenLocalFolder(const std::wstring& wsPath, IMAPIFolder** ppFolder);

    // Calls f for every folder below the subtree with its server id (0 for a local folder), depth
    // first, parents before children. The folders kept by ReadFolders when there are any.
    HRESULT ForEachFolder(const std::function<void(IMAPIFolder* pFolder, int32_t iServerId)>& f);
    // Lists the folders below the subtree, depth first, parents before children, and keeps the
    // list for Folders and ForEachFolder until ForgetFolders. A store table reads every message of
    // the folder it lists, so a run lists the tree once, after its own changes to it. Server ids
    // stamped later are seen: ForEachFolder reads them again.
    HRESULT ReadFolders();
    // The kept folders; read first when none are kept.
    const std::vector<StoreFolder>& Folders();
    void ForgetFolders() { m_folders.reset(); }

    // Makes the mappers' records durable (the store's saves are durable on their own).
    void Flush();

private:
    HRESULT OpenSpecialFolder(int32_t iServerId, IMAPIFolder** ppFolder);
    // The entry id of the message (or, with bFolders, the subfolder) stamped iServerId in the
    // folder, or with bRecurse in its whole tree; empty when there is none.
    std::string FindStamped(IMAPIFolder* pFolder, int32_t iServerId, bool bFolders, bool bRecurse);
    // Appends the folders below the parent, each followed by its own subfolders.
    HRESULT ListFolders(const std::string& parentId, int iDepth, std::set<std::string>& listed,
                        std::vector<StoreFolder>& folders);

    std::string m_profile;
    std::filesystem::path m_path;
    std::unique_ptr<LocalMailbox> m_pState;
    Platform::ComPtr<IMsgStore> m_pStore;
    std::unique_ptr<Ostrel::Mapi::IdMapper> m_pItems;
    std::unique_ptr<Ostrel::Mapi::IdMapper> m_pGal;
    std::unique_ptr<SyncBaseline> m_pBaseline;
    ULONG m_ulOstrelId = PR_NULL;
    std::optional<std::vector<StoreFolder>> m_folders;
};

}  // namespace OstrelCli
