// The store's special folders for the connector, and creating and renaming the folders of server
// folders when their names collide with other folders.
#pragma once

#include <string>

#include "Ostrel/Store/NamedProps.h"

namespace Ostrel::Mapi {

// Names of the connector's hidden folders below the root.
inline constexpr wchar_t kConversationFolderName[] = L"~OstrelConversations";
inline constexpr wchar_t kTagFolderName[] = L"~OstrelTags";

// The results are the caller's references; null (logged) on failure.
IMAPIFolder* GetRootFolder(IMsgStore* pStore);
// A folder of that name (any case) directly below the root; null when there is none.
IMAPIFolder* GetOstrelFolder(IMsgStore* pStore, const wchar_t* pwszName);
// The connector's conversation and tag folders, created below the root on first use.
IMAPIFolder* GetConversationFolder(IMsgStore* pStore);
IMAPIFolder* GetTagFolder(IMsgStore* pStore);

// The primary connector store of the profile `pwszProfile` (the default profile when null): the
// store that carries the primary-store marker. MAPI_E_NOT_FOUND when no store of it does.
HRESULT GetPrimaryStore(IMsgStore** ppStore, const wchar_t* pwszProfile);
bool IsPrimaryOstrelStore(IMsgStore* pStore);
bool IsBESConfigInitialized(IMsgStore* pStore);

// Stamps a folder with its server id and saves it. The long form also renames it to
// pwszNewName when that differs from pwszOldName, reporting the name it got in wsFinalName.
HRESULT AddOstrelFolderId(IMAPIFolder* pFolder, LONG lOstId);
HRESULT AddOstrelFolderId(IMAPIFolder* pFolder, LONG lOstId, const wchar_t* pwszNewName, const wchar_t* pwszOldName,
                          std::wstring& wsFinalName);

// The folder of server folder lOstId named pwszName below pParent: created, or found when it is
// there already. A local folder holding the name is renamed out of the way; a folder of another
// server id holding it makes this folder take the name with the smallest free number appended
// (bNameChanged set). Stamped with the server id and saved. The caller's reference, or null.
IMAPIFolder* CreateOrOpenFolderWithCollisionRename(IMsgStore* pStore, IMAPIFolder* pParent, const wchar_t* pwszName,
                                                   LONG lOstId, int& bNameChanged);
// Resolves a collision of pwszName below pParent (see above): S_OK with *ppFolder set, or
// MAPI_E_COLLISION (bNameChanged set) when a folder of another server id holds the name.
HRESULT CreateNonlocalFolder(IMsgStore* pStore, IMAPIFolder* pParent, const wchar_t* pwszName, LONG lOstId,
                             int& bNameChanged, IMAPIFolder** ppFolder);
// Renames the folder with the same collision rule; *ppFolder is the renamed folder.
HRESULT RenameFolder(IMsgStore* pStore, IMAPIFolder* pFolder, const wchar_t* pwszName, int& bNameChanged,
                     IMAPIFolder** ppFolder);

}  // namespace Ostrel::Mapi
