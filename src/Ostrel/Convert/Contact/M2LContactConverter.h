// Reads a store contact or distribution list back into a server contact for the contact
// requests: the mapped properties, SMTP e-mail slots, notes, dates, certificates, list members
// and user-defined fields, the categories as tags, and the photo for the caller to upload.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class M2LContactConverter {
public:
    // pStore opens the contacts that distribution-list members point at.
    M2LContactConverter(IMessage* pMsg, IMsgStore* pStore);

    // A new contact (null when the message cannot be read at all). Its id is the message's server
    // id, -1 when it has none.
    std::unique_ptr<Mail::Contact> Convert();

    // The photo found by the last Convert (empty when there is none) and its file name.
    const std::string& Photo() const { return m_sPhoto; }
    const std::wstring& PhotoFileName() const { return m_wsPhotoName; }

    // The attribute name of entry `index` of the array the properties are read with; null past
    // its end.
    static const wchar_t* GetContactAttr(size_t index);

private:
    std::unique_ptr<Mail::Contact> DoConvert();
    // The rows read back, in table order (the ones written only into the store left out).
    static const std::vector<const ContactAttrRow*>& ReadRows();

    void AddContactAttrs(Mail::Contact& contact);
    void AddContactEmail(Mail::Contact& contact);
    void AddContactNotes(Mail::Contact& contact);
    void AddContactNotesHtml(Mail::Contact& contact);
    void AddDates(Mail::Contact& contact);
    void AddContactCertificates(Mail::Contact& contact);
    void AddGroupMembers(Mail::Contact& contact);
    void AddContactUDFs(Mail::Contact& contact);
    // The attributes only the server knows, unless the contact has that name already.
    void AddServerOnlyAttributes(Mail::Contact& contact);
    void AddTags(Mail::Contact& contact);
    HRESULT ReadPhoto();

    // A member entry as (type, value); false when it gives none.
    bool MemberOf(const SBinary& member, const SBinary* pOneOff, wchar_t& type, std::wstring& wsValue);
    ULONG Named(NamedProps::PropIdx idx, ULONG ulType) const;
    LPSPropValue GetOne(ULONG ulTag);

    IMessage* m_pMsg;
    IMsgStore* m_pStore;
    NamedProps* m_pProps = nullptr;
    std::string m_sPhoto;
    std::wstring m_wsPhotoName;
};

}  // namespace Ostrel::Mapi
