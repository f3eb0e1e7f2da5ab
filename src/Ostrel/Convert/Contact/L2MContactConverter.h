// Writes a server contact onto a store message: a contact ("IPM.Contact") or a distribution list
// ("IPM.DistList"), with names, phones, addresses, e-mail slots, dates, notes, certificates,
// list members, user-defined fields and the photo.
#pragma once

#include <string>
#include <vector>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/PropBag.h"
#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class IdMapper;

class L2MContactConverter {
public:
    // pItemMapper finds the store contacts of group members ('C'), pGalMapper the store copies of
    // global address list entries ('G' members, GAL list members). Either may be null: such
    // members then cannot be resolved and are left out of the list properties.
    L2MContactConverter(const Mail::Contact* pContact, IMAPISupport* pSupport, IdMapper* pItemMapper = nullptr,
                        IdMapper* pGalMapper = nullptr);

    // The photo's bytes as the caller fetched them, and the server's file name of it.
    void SetPhoto(std::string sBytes, std::wstring wsFileName);
    // A message just created has nothing to compare with or to remove: fewer store calls.
    void SetNewMessage(bool bNew) { m_bNewMessage = bNew; }
    // The store, for the contact's tags as categories (no categories without it).
    void SetStore(IMsgStore* pStore) { m_pStore = pStore; }
    // The store's named properties, when the caller has looked them up already; otherwise they
    // are looked up from the message on each Convert.
    void SetNamedProps(NamedProps* pProps) { m_pKnownProps = pProps; }
    // Set for conversions whose second and third e-mail addresses are only wanted when the
    // global address list is searched by alias.
    void SetAliasSlotsCheck(bool bCheck) { m_bAliasSlotsCheck = bCheck; }

    // Writes the contact onto the message (not saved). Properties this converter owns that the
    // contact no longer has are deleted. FALSE when nothing could be written.
    BOOL Convert(IMessage* pMsg, bool bGalEntry, bool bNativeDistributionList);

private:
    enum class Kind { Standard, PersonalDL, NativeDL, AdGroupDL };

    // Convert without the guard that turns an allocation failure into FALSE.
    BOOL DoConvert(IMessage* pMsg, bool bGalEntry, bool bNativeDistributionList);

    void AddContactAttribute(const ContactAttrRow& row);
    // Attributes the table does not map, kept for the way back (see ContactProps.h).
    void AddServerOnlyAttributes();
    void SetupContactAddr();
    void AddDisplayName();
    void AddContactEmail();
    void AddBirthday(IMessage* pMsg);
    void AddWeddingAnniversary(IMessage* pMsg);
    void AddDate(IMessage* pMsg, const wchar_t* pwszAttr, NamedProps::PropIdx localIdx, ULONG ulUtcTag);
    void AddNotes();
    void AddContactCertificates();
    void AddKeywords();
    void AddListMembers();
    void AddPersContactGroupMembers_dlist(std::vector<std::string>& members, std::vector<std::string>& oneOffs);
    void AddPersContactGroupMembers(std::vector<std::string>& members, std::vector<std::string>& oneOffs);
    void AddGalContactDLMembers(std::vector<std::string>& members, std::vector<std::string>& oneOffs);
    void AddPersContactGroupMembersPersist_m_nodes();
    HRESULT WritePhoto(IMessage* pMsg);
    void DeleteStaleProps(IMessage* pMsg);

    std::string OneOff(const std::wstring& wsName, const std::wstring& wsAddress);
    // The store entry id and one-off of a mapped member; false when the mapper does not know it.
    bool ResolveMember(IdMapper* pMapper, const std::wstring& wsKey, bool bByRef, std::string& sEid,
                       std::string& sOneOff);
    const wchar_t* Attr(const wchar_t* pwszName) const;
    // The file-under text: "outlookFileAs", else the text of a custom "fileAs" (8:text); may be null.
    const wchar_t* FileUnderText() const;
    ULONG Named(NamedProps::PropIdx idx, ULONG ulType) const;

    const Mail::Contact* m_pContact;
    IMAPISupport* m_pSupport;
    IMsgStore* m_pStore = nullptr;
    IdMapper* m_pItemMapper;
    IdMapper* m_pGalMapper;
    NamedProps* m_pProps = nullptr;
    NamedProps* m_pKnownProps = nullptr;
    PropBag m_bag;
    std::vector<ULONG> m_keptTags;  // owned properties left as they are
    Kind m_kind = Kind::Standard;
    bool m_bGalEntry = false;
    bool m_bAliasSlotsCheck = false;
    std::string m_sPhoto;
    std::wstring m_wsPhotoName;
    bool m_bHasPhoto = false;
    bool m_bNewMessage = false;
};

}  // namespace Ostrel::Mapi
