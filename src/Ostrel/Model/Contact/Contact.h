// The in-memory form of a server contact: its attribute bag, group members and image attachment.
//
// A contact comes from a `cn` element of a reply, either through the DOM (CreateContactList) or
// from the attributes of a `cn` start tag met by an event-driven reader (ContactReader.h), where
// the child elements reach the contact through SetAttribute and GroupMembers().put.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Ostrel/Model/ItemTypes.h"
#include "Platform/Base/WinTypes.h"
#include "Platform/Xml/Dom.h"
#include "Util/Locks/InternalFreeList.h"

struct ISAXAttributes;

namespace Ostrel::Mail {

// Orders texts by their UTF-16 code units (case-sensitive), the order in which the server and
// the requests built from a bag list attribute names.
struct Utf16Less {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const;
};

// The attribute bag: name to value, ordered by name; one name may occur several times, and its
// entries keep the order in which they were put.
class ContactAttributes {
public:
    using Map = std::multimap<std::wstring, std::wstring, Utf16Less>;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;

    // Adds an entry; an existing entry of the name is never replaced.
    void put(std::wstring_view name, std::wstring_view value);
    // The value of the first entry of the name; null when there is none. Valid while the entry lives.
    const wchar_t* get(std::wstring_view name) const;
    // 0 when the name is absent; 1 when present and requireValue is 0; with requireValue,
    // 1 only when the first entry's value is not empty.
    int contains(std::wstring_view name, int requireValue = 0) const;

    iterator find(std::wstring_view name) { return m_map.find(name); }
    const_iterator find(std::wstring_view name) const { return m_map.find(name); }
    std::pair<iterator, iterator> equal_range(std::wstring_view name) { return m_map.equal_range(name); }
    std::pair<const_iterator, const_iterator> equal_range(std::wstring_view name) const {
        return m_map.equal_range(name);
    }
    iterator begin() { return m_map.begin(); }
    iterator end() { return m_map.end(); }
    const_iterator begin() const { return m_map.begin(); }
    const_iterator end() const { return m_map.end(); }
    size_t size() const { return m_map.size(); }

private:
    Map m_map;
};

// The members of a contact group, in the order they were added.
class ContactGroupMembers {
public:
    struct Member {
        // 'C' a contact of the mailbox (value: its id), 'G' a global address list entry (value: its
        // reference), 'I' an inline address (value: the address).
        wchar_t type;
        std::wstring value;
    };
    using const_iterator = std::vector<Member>::const_iterator;

    // Appends a member; nothing for the zero character or a null value.
    void put(wchar_t type, const wchar_t* value);
    void put(wchar_t type, std::wstring_view value);

    const_iterator begin() const { return m_members.begin(); }
    const_iterator end() const { return m_members.end(); }
    size_t size() const { return m_members.size(); }

private:
    std::vector<Member> m_members;
};

class Contact {
public:
    // The contact's image as the server announces it.
    class AttachmentInfo {
    public:
        AttachmentInfo() = default;
        AttachmentInfo(const AttachmentInfo& other);
        AttachmentInfo& operator=(const AttachmentInfo& other);
        ~AttachmentInfo();

        // The server's part number minus one; -1 when there is no image.
        int32_t GetPartIndex() const { return m_iPartIndex; }
        void SetPartIndex(int32_t iPartIndex) { m_iPartIndex = iPartIndex; }
        // Bytes; 0 when unknown.
        int64_t GetSize() const { return m_llSize; }
        void SetSize(int64_t llSize) { m_llSize = llSize; }
        // Owned copies; null when unknown. The content type has no parameters.
        const wchar_t* GetFileName() const { return m_pwszFileName; }
        void SetFileName(const wchar_t* pwszFileName);
        const wchar_t* GetContentType() const { return m_pwszContentType; }
        void SetContentType(const wchar_t* pwszContentType);

    private:
        int32_t m_iPartIndex = -1;
        int64_t m_llSize = 0;
        wchar_t* m_pwszFileName = nullptr;
        wchar_t* m_pwszContentType = nullptr;
    };

    using List = Util::InternalFreeList<Contact>;

    // An empty contact: ids -1, no flags, no image, modified now.
    Contact();
    // From the attributes of a `cn` start tag (see the file comment); derived names are not filled.
    Contact(int newStyleGalIdMapper, ISAXAttributes* pAttributes);
    Contact(const Contact&) = default;
    Contact& operator=(const Contact&) = default;
    virtual ~Contact() = default;

    // A contact for every "//mail:cn" (or "//account:cn") of a reply, in document order; the
    // document's selection namespaces bind the prefix. Never null: empty when nothing matches or
    // the selection fails.
    static std::unique_ptr<List> CreateContactList(IXMLDOMDocument2* pDoc, bool mailNamespace);

    // The number that stands for a textual id: djb2 over the UTF-16 code units, top bit cleared.
    static int32_t HashId(std::wstring_view wsId);

    ContactAttributes& Attributes() { return m_attributes; }
    const ContactAttributes& Attributes() const { return m_attributes; }
    ContactGroupMembers& GroupMembers() { return m_groupMembers; }
    const ContactGroupMembers& GroupMembers() const { return m_groupMembers; }

    int32_t GetContId() const { return _contactId; }
    void SetContId(int32_t contactId) { _contactId = contactId; }
    int32_t ParentFolderId() const { return m_iParentFolderId; }
    const FILETIME& Modified() const { return m_ftModified; }
    BOOL HasAttachments() const { return m_bHasAttachments; }
    const AttachmentInfo& GetImageAttachmentInfo() const { return m_imageAttachment; }
    AttachmentInfo& GetImageAttachmentInfo() { return m_imageAttachment; }
    BOOL TooManyMembers() const { return m_bTooManyMembers; }
    BOOL IsNewStyleGalIdMapper() const { return m_bNewStyleGalIdMapper; }
    const std::wstring& GetUniqueId() const { return _sUniqueId; }
    void SetUniqueId(std::wstring_view wsUniqueId) { _sUniqueId = wsUniqueId; }
    const TagIdList& TagIds() const { return m_tagIds; }
    const TagNameList& TagNames() const { return m_tagNames; }
    // Tags by name, as a contact read from the store carries its categories to the server.
    TagNameList& TagNames() { return m_tagNames; }
    const std::wstring& GalRef() const { return m_wsGalRef; }
    void GalRef(std::wstring_view wsGalRef) { m_wsGalRef = wsGalRef; }
    // The "id" the server sent, as text: a number for a mailbox contact, any string for an
    // address list entry (which the contact id may only stand in for).
    const std::wstring& TextId() const { return m_wsTextId; }

    // Adds an attribute entry (never replaces one).
    void SetAttribute(std::wstring_view name, std::wstring_view value) { m_attributes.put(name, value); }

    // Adds "outlookFileAs" from the "fileAs" code and the names, unless it is there already.
    void SetDefaultFileAs();
    // Adds "fullName" from the first and last name, unless it is there already or would be empty.
    void SetDefaultFullName();
    // Takes the GAL reference from the "dn" attribute (and, with the new-style GAL id mapper,
    // the unique id from it).
    void SetGalRef();

    // Attribute names the system refers to.
    static inline const wchar_t* const A_callbackPhone = L"callbackPhone";
    static inline const wchar_t* const A_carPhone = L"carPhone";
    static inline const wchar_t* const A_company = L"company";
    static inline const wchar_t* const A_companyPhone = L"companyPhone";
    static inline const wchar_t* const A_department = L"department";
    static inline const wchar_t* const A_email = L"email";
    static inline const wchar_t* const A_email2 = L"email2";
    static inline const wchar_t* const A_email3 = L"email3";
    static inline const wchar_t* const A_fileAs = L"fileAs";
    static inline const wchar_t* const A_firstName = L"firstName";
    static inline const wchar_t* const A_fullName = L"fullName";
    static inline const wchar_t* const A_homeCity = L"homeCity";
    static inline const wchar_t* const A_homeCountry = L"homeCountry";
    static inline const wchar_t* const A_homeFax = L"homeFax";
    static inline const wchar_t* const A_homePhone = L"homePhone";
    static inline const wchar_t* const A_homePhone2 = L"homePhone2";
    static inline const wchar_t* const A_homePostalCode = L"homePostalCode";
    static inline const wchar_t* const A_homeState = L"homeState";
    static inline const wchar_t* const A_homeStreet = L"homeStreet";
    static inline const wchar_t* const A_homeURL = L"homeURL";
    static inline const wchar_t* const A_image = L"image";
    static inline const wchar_t* const A_jobTitle = L"jobTitle";
    static inline const wchar_t* const A_lastName = L"lastName";
    static inline const wchar_t* const A_middleName = L"middleName";
    static inline const wchar_t* const A_mobilePhone = L"mobilePhone";
    static inline const wchar_t* const A_namePrefix = L"namePrefix";
    static inline const wchar_t* const A_nameSuffix = L"nameSuffix";
    static inline const wchar_t* const A_notes = L"notes";
    static inline const wchar_t* const A_notesHtml = L"notesHtml";
    static inline const wchar_t* const A_office = L"office";
    static inline const wchar_t* const A_otherCity = L"otherCity";
    static inline const wchar_t* const A_otherCountry = L"otherCountry";
    static inline const wchar_t* const A_otherFax = L"otherFax";
    static inline const wchar_t* const A_otherPhone = L"otherPhone";
    static inline const wchar_t* const A_otherPostalCode = L"otherPostalCode";
    static inline const wchar_t* const A_otherState = L"otherState";
    static inline const wchar_t* const A_otherStreet = L"otherStreet";
    static inline const wchar_t* const A_otherURL = L"otherURL";
    static inline const wchar_t* const A_outlookFileAs = L"outlookFileAs";
    static inline const wchar_t* const A_pager = L"pager";
    static inline const wchar_t* const A_workCity = L"workCity";
    static inline const wchar_t* const A_workCountry = L"workCountry";
    static inline const wchar_t* const A_workFax = L"workFax";
    static inline const wchar_t* const A_workPhone = L"workPhone";
    static inline const wchar_t* const A_workPhone2 = L"workPhone2";
    static inline const wchar_t* const A_workPostalCode = L"workPostalCode";
    static inline const wchar_t* const A_workState = L"workState";
    static inline const wchar_t* const A_workStreet = L"workStreet";
    static inline const wchar_t* const A_workURL = L"workURL";
    static inline const wchar_t* const A_imAddress1 = L"imAddress1";
    static inline const wchar_t* const A_birthday = L"birthday";
    static inline const wchar_t* const A_anniversary = L"anniversary";
    static inline const wchar_t* const A_nickname = L"nickname";
    static inline const wchar_t* const A_radio = L"Radio";
    static inline const wchar_t* const A_assistantPhone = L"assistantPhone";
    static inline const wchar_t* const A_blackberryPIN = L"PIN";
    static inline const wchar_t* const A_outlookUserField1 = L"outlookUserField1";
    static inline const wchar_t* const A_outlookUserField2 = L"outlookUserField2";
    static inline const wchar_t* const A_outlookUserField3 = L"outlookUserField3";
    static inline const wchar_t* const A_outlookUserField4 = L"outlookUserField4";
    static inline const wchar_t* const A_userCertificate = L"userCertificate";
    static inline const wchar_t* const A_userSMIMECertificate = L"userSMIMECertificate";
    // Global address list entries only.
    static inline const wchar_t* const A_objectClass = L"objectClass";
    static inline const wchar_t* const A_ostrelId = L"ostrelId";
    static inline const wchar_t* const A_ostrelMailForwardingAddress = L"ostrelMailForwardingAddress";
    static inline const wchar_t* const A_member = L"member";
    static inline const wchar_t* const A_uid = L"uid";
    static inline const wchar_t* const A_resType = L"ostrelCalResType";
    static inline const wchar_t* const A_dn = L"dn";

protected:
    // Parses one `cn` element of a reply; mailNamespace picks "mail:a"/"mail:m" or
    // "account:a"/"account:m" for the children.
    Contact(int newStyleGalIdMapper, IXMLDOMNode* pCn, bool mailNamespace);

private:
    friend class ContactSaxHandler;

    // "id": a number, or a textual id (letter first) kept as an "id" attribute and zeroed or hashed.
    void SetId(std::wstring_view wsId, const wchar_t* pwszHashTrace);
    void SetTagIds(std::wstring_view wsValue);
    void SetTagNames(std::wstring_view wsValue);
    void SetFlag(std::wstring_view wsValue);
    void SetModified(std::wstring_view wsValue);
    // The image announced by an `a` element named "image", from that element's attributes.
    void SetImage(const std::optional<std::wstring>& part, const std::optional<std::wstring>& size,
                  const std::optional<std::wstring>& fileName, const std::optional<std::wstring>& contentType);

    ContactAttributes m_attributes;
    ContactGroupMembers m_groupMembers;
    int32_t _contactId = -1;
    int32_t m_iParentFolderId = -1;
    FILETIME m_ftModified{};
    BOOL m_bHasAttachments = 0;
    AttachmentInfo m_imageAttachment;
    BOOL m_bTooManyMembers = 0;
    BOOL m_bNewStyleGalIdMapper = 0;
    std::wstring _sUniqueId;
    TagIdList m_tagIds;
    TagNameList m_tagNames;
    std::wstring m_wsGalRef;
    std::wstring m_wsTextId;
};

}  // namespace Ostrel::Mail
