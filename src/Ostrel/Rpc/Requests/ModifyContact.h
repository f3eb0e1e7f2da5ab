// Changing a contact: its attributes (replacing the whole set, or changing the given ones), its
// group members, image and tag names.
#pragma once

#include "Ostrel/Rpc/Requests/CreateContact.h"

namespace Ostrel::Rpc {

class ModifyContactRequest : public ContactRequestBase {
public:
    // replace: the given attributes become the whole set. Otherwise only the given attributes
    // change, and the two certificate attributes are always cleared and re-added from the given
    // entries. force: apply even when the contact changed on the server meanwhile. Tag names are
    // always sent (an empty list clears them) when the server takes them; members are written only
    // outside replace mode and replace the whole list.
    ModifyContactRequest(int replace, int force, LONG id, const Mail::ContactAttributes& attrs,
                         const Mail::ContactGroupMembers& members, const AttachmentDetails* pImage,
                         const Mail::TagNameList& tagNames);
};

}  // namespace Ostrel::Rpc
