// A store folder with the connector's view of it: its server ids, its access-control list, the
// local-folder flag and the messages that reserve subfolder names for server folders.
#pragma once

#include <string>
#include <vector>

#include "Ostrel/Model/Acl.h"
#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Store/EntryId.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Mapi {

// The class of the messages that reserve a subfolder name for a server folder.
inline constexpr wchar_t kReservedFolderNameClass[] = L"IPM.Ostrel.Reserved.Folder.Name";

class Folder {
public:
    Folder(IMAPIFolder* pFolder, IMsgStore* pStore);
    // Opens the folder read-write; one that cannot be opened leaves the wrapper empty (IsValid false).
    Folder(const SBinary* pEntryId, IMsgStore* pStore);
    virtual ~Folder();
    Folder(const Folder&) = default;
    Folder& operator=(const Folder&) = default;

    bool IsValid() const { return m_pFolder != nullptr; }
    IMAPIFolder* MapiFolder() const { return m_pFolder.Get(); }
    IMsgStore* Store() const { return m_pStore.Get(); }

    // *ppwszName is a MAPI buffer the caller frees.
    HRESULT FolderName(wchar_t** ppwszName);
    // Renames the folder and saves it; MAPI_E_COLLISION when a sibling has that name (any case).
    // The change key moves only when the name really changes.
    HRESULT Update(const wchar_t* pwszNewName);

    // Server ids of the folder's messages (normal contents; Private: the associated ones). The
    // vector is the caller's, released with FreeIds.
    HRESULT MessageIds(std::vector<LONG>** ppIds);
    HRESULT PrivateMessageIds(std::vector<LONG>** ppIds);
    // Server ids of the subfolders, of the whole subtree with recurse.
    HRESULT SubFolderIds(std::vector<LONG>** ppIds, int recurse);
    static void FreeIds(std::vector<LONG>*& pIds);
    // The entry id of the subfolder of that name (any case) into a MAPI buffer the caller frees
    // (pEntryId->lpb); MAPI_E_NOT_FOUND when there is none.
    HRESULT GetSubFolderByName(const wchar_t* pwszName, SBinary* pEntryId);

    Mail::MailItemType GetContainerClass();
    HRESULT SetContainerClass(const wchar_t* pwszClass);
    HRESULT IsHiddenFolder(int* pbHidden);
    HRESULT IsSearchFolder(int* pbSearch);
    bool IsRootFolder();
    bool IsIpmRootFolder();
    bool IsIPMSubtreeFolderDescendent();
    bool IsTrashFolder();
    bool IsDraftsFolder();

    bool IsLocalFolder();
    // Marks or unmarks the folder as local; with recurse every folder below it too.
    HRESULT SetLocalFolder(int bLocal, int recurse);

    // The folder's access rights; 0 when not set.
    ULONG Ace();
    HRESULT Ace(ULONG ulRights);
    ACL Acl();
    void Acl(const ACL& acl);

    HRESULT DeleteMessage(ULONG cb, ENTRYID* pEntryId);
    HRESULT DeleteFolder(ULONG cb, ENTRYID* pEntryId);
    HRESULT MoveMessage(ULONG cb, ENTRYID* pEntryId, Folder& to);
    HRESULT MoveFolder(ULONG cb, ENTRYID* pEntryId, Folder& to);
    // Copies a message of this folder into this folder.
    HRESULT CopyMessage(ULONG cb, ENTRYID* pEntryId);
    // Renames a folder that a collision renamed ("Name1") back to its own name when that is free.
    HRESULT RestoreOriginalName();

    // Whether a message reserves the subfolder name (any case) for a server folder.
    bool ExistsReservedSubFoldNameAssocMsg(const wchar_t* pwszName);
    HRESULT CreateReservedSubFoldNameAssocMsg(const wchar_t* pwszName, LONG lOstId, IMessage** ppMessage);

protected:
    HRESULT SubFolderIdsInternal(IMAPIFolder* pFolder, std::vector<LONG>& ids, bool bRecurse, int iDepth);
    HRESULT ContentIds(ULONG ulFlags, std::vector<LONG>** ppIds);
    bool HasEntryId(ULONG ulStoreTag);

    Platform::ComPtr<IMAPIFolder> m_pFolder;
    Platform::ComPtr<IMsgStore> m_pStore;
    NamedProps* m_pNamedProps = nullptr;
};

}  // namespace Ostrel::Mapi
