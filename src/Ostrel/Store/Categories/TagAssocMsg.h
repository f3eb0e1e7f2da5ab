// The hidden message that stands for one server tag in the connector's tag folder: its name, server
// id, colour and the GUID of the category it is shown as, and a rename that has yet to be carried
// through to the category list and the items.
#pragma once

#include <string>

#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

inline constexpr wchar_t kTagMessageClass[] = L"IPM.Ostrel.Tag";

class TagAssocMsg {
public:
    TagAssocMsg(IMessage* pMessage, IMsgStore* pStore);
    TagAssocMsg(const SBinary* pEntryId, IMsgStore* pStore);

    bool IsValid() const { return m_pMessage && m_pNamedProps; }
    IMessage* GetMessage() const { return m_pMessage.Get(); }
    std::wstring TagNameW();
    LONG TagId();

    // The colour as COLORREF: from the server colour id when it names one, else the stored
    // COLORREF, else 0xFFFFFFFF.
    ULONG GetTagColorRGB();
    HRESULT SetTagColorRGB(ULONG rgb);
    HRESULT SetTagColorID(unsigned id);
    // A MAPI buffer the caller frees; MAPI_E_NOT_FOUND when the tag has no category yet.
    HRESULT GetUidOfAssociatedOlkCat(MAPIUID** ppUid);
    HRESULT SetUidOfAssociatedOlkCat(const MAPIUID* pUid);
    HRESULT SetUidOfAssociatedOlkCat(const std::wstring& wsGuid);
    HRESULT GetNameInt(ULONG ulTag, SPropValue** ppValue);

    HRESULT SetPendingNewName(const wchar_t* pwszName);
    bool IsPendingNewName();
    // Moves the pending name into the display name and saves.
    HRESULT CommitPendingNewName();

    // Takes colour and GUID from the list's category of the same GUID, or of the same name.
    HRESULT SetPropsFromOL2007MCL();
    // Brings the list's category of this tag's GUID in line with the tag (adding it when missing);
    // when its name differs, records a pending rename of the items and commits a pending new name.
    HRESULT UpdateOL2007MCLAndDoPendingRenameIfReqd(int bSave);
    // The server renamed the tag: the new name is kept as pending first, so that a run cut short
    // is finished by the next one, then carried into the list and the items.
    HRESULT UpdateTagAssocMsgAndMCLAndDependentMsgs(const wchar_t* pwszNewName, int bSave);
    // The server deleted the tag: its category leaves both lists and the tag message is deleted.
    HRESULT UpdateMCLFollowingOSVTagDelete();

    static HRESULT CreateTagAssocMsgAndUpdateMCL(LONG lTagId, const wchar_t* pwszName, ULONG colour,
                                                 const MAPIUID* pUid, IMsgStore* pStore);
    // The older client's list of names in the registry ("MasterList").
    static HRESULT UpdateOL2003MCLAdd(const wchar_t* pwszName);
    static HRESULT UpdateOL2003MCLAdd(const char* pszName);
    static HRESULT UpdateOL2003MCLMod(const wchar_t* pwszOldName, const wchar_t* pwszNewName);
    static HRESULT UpdateOL2003MCLDel(const wchar_t* pwszName);

private:
    HRESULT SetOne(SPropValue& value);
    ULONG Tag(NamedProps::PropIdx idx, ULONG ulType) const { return NAMED_PROP(idx, ulType, m_pNamedProps); }

    Platform::ComPtr<IMessage> m_pMessage;
    Platform::ComPtr<IMsgStore> m_pStore;
    NamedProps* m_pNamedProps = nullptr;
};

}  // namespace Ostrel::Mapi
