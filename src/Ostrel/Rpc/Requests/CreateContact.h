// Creating a contact in a folder from its attribute bag, group members, image and tags.
#pragma once

#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/AttachmentDetails.h"
#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// What the contact requests share: the `a`, `m` and image elements of a `cn`.
class ContactRequestBase : public ItemRequestBase {
protected:
    using ItemRequestBase::ItemRequestBase;

    // <a n="name">value</a>; op is set when given.
    void AddAttribute(IXMLDOMElement* pCn, const std::wstring& wsName, const std::wstring* pwsValue,
                      const wchar_t* pwszOp = nullptr);
    // Members are written only for servers of version 8 or later; false (traced) otherwise.
    static bool MembersSupported();
    // <a n="image" aid="..." filename="..." ct="..."/> when the image was uploaded.
    void AddImage(IXMLDOMElement* pCn, const AttachmentDetails* pImage);
};

class CreateContactRequest : public ContactRequestBase {
public:
    // With a non-zero tagIdRestriction tag ids go only in the handheld-server edition.
    CreateContactRequest(LONG folderId, const Mail::ContactAttributes& attrs, const Mail::ContactGroupMembers& members,
                         const AttachmentDetails* pImage, const Mail::TagIdList& tagIds,
                         const Mail::TagNameList& tagNames, int tagIdRestriction);
};

}  // namespace Ostrel::Rpc
