// Store objects seen as images of server items: the connector's bookkeeping properties on a
// message, folder, attachment or embedded message.
#pragma once

#include <string>

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Store/EntryId.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Mapi {

class Folder;

// The setters write into the object's pending changes; the caller saves them.
class OstrelMailItemBase {
public:
    OstrelMailItemBase() = default;
    explicit OstrelMailItemBase(IMAPIProp* pProp);
    virtual ~OstrelMailItemBase();
    OstrelMailItemBase(const OstrelMailItemBase&) = default;
    OstrelMailItemBase& operator=(const OstrelMailItemBase&) = default;

    IMAPIProp* Prop() const { return m_pProp.Get(); }
    NamedProps* Props() const { return m_pNamedProps; }

    // The server item id; 0 when the object carries none.
    virtual LONG OstrelId();
    virtual HRESULT OstrelId(LONG lId);
    // Logs "Stamping PR_OSTREL_ID %d" and sets the id.
    HRESULT StampOstrelId(LONG lId);

    // Empty when not set.
    std::wstring ReplicationId();
    HRESULT ReplicationId(const wchar_t* pwszId);
    std::wstring LastServerReplicationId();
    HRESULT LastServerReplicationId(const wchar_t* pwszId);
    // Zero when not set.
    FILETIME OstrelLastModified();
    HRESULT OstrelLastModified(const FILETIME& ft);
    ULONG DocVersion();
    HRESULT DocVersion(ULONG ulVersion);
    std::wstring DocName();
    HRESULT DocName(const wchar_t* pwszName);

    bool IgnoreLocalChanges();
    // Sets or clears the flag; with bSave the object is saved (KEEP_OPEN_READWRITE) as well.
    HRESULT IgnoreLocalChanges(int bIgnore, int bSave);

    // PR_SENSITIVITY; 0 (normal) when not set.
    LONG Sensitivity();
    // PR_MESSAGE_DELIVERY_TIME as decimal milliseconds since 1970, the form the server takes.
    HRESULT GetDeliveryTime(std::wstring& wsMillis);
    // Copies into a MAPI buffer the caller frees with MAPIFreeBuffer(pEntryId->lpb).
    HRESULT EntryId(SBinary* pEntryId);
    HRESULT ParentEntryId(SBinary* pEntryId);
    // Whether the object is still there (its entry id can be read).
    bool Exists();
    // The item kind: folders and stores by their object type, messages by their class.
    Mail::MailItemType OstrelMailItemType();

protected:
    HRESULT GetOne(ULONG ulTag, LPSPropValue* ppValue);
    HRESULT SetOne(const SPropValue& value);
    ULONG Tag(NamedProps::PropIdx idx, ULONG ulType) const { return NAMED_PROP(idx, ulType, m_pNamedProps); }
    std::wstring GetString(NamedProps::PropIdx idx);
    HRESULT SetString(NamedProps::PropIdx idx, const wchar_t* pwsz);

    Platform::ComPtr<IMAPIProp> m_pProp;
    NamedProps* m_pNamedProps = nullptr;
};

class OstrelMailItem : public OstrelMailItemBase {
public:
    OstrelMailItem(IMAPIProp* pProp, IMsgStore* pStore);
    // Opens the object with read-write access; an object that cannot be opened leaves the item
    // empty (Exists() is false).
    OstrelMailItem(const SBinary* pEntryId, IMsgStore* pStore);

    IMsgStore* Store() const { return m_pStore.Get(); }

    // Tag ids of the item's categories that are server tags (looked up in the tag folder).
    Mail::TagIdList* OstrelTagIds();
    // The item's categories ("Keywords").
    Mail::TagNameList* OstrelTagNames();
    static void FreeTagIds(Mail::TagIdList*& pIds);
    static void FreeTagNames(Mail::TagNameList*& pNames);
    // The server's flags of the item from its message flags, last verb and follow-up flag.
    Mail::MessageFlags OstrelMessageFlags(Mail::MailItemType type);
    // The folder holding the item; ParentMapiFolder's result is the caller's reference.
    Folder ParentFolder();
    IMAPIFolder* ParentMapiFolder();

private:
    Platform::ComPtr<IMsgStore> m_pStore;
};

class OstrelFolderMailItem : public OstrelMailItemBase {
public:
    OstrelFolderMailItem(IMAPIProp* pProp, IMAPIFolder* pParent);
    OstrelFolderMailItem(const SBinary* pEntryId, IMAPIFolder* pParent);

    // The caller's reference (null when there is no parent).
    IMAPIFolder* ParentMapiFolder();

private:
    Platform::ComPtr<IMAPIFolder> m_pParent;
};

// The item kind of a message class (IPM.Contact..., IPM.Appointment..., IPM.Task..., IPM.StickyNote
// ...); anything else is a message.
Mail::MailItemType MsgClassToItemType(const wchar_t* pwszClass);

}  // namespace Ostrel::Mapi
