// Attachment operations: finding embedded messages, dropping recurrence exceptions, contacts
// carried as vCards, and the non-delivery reports built in a folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// The numbers of the message's attachments that hold embedded messages, in table order.
HRESULT FindEmbeddedMsgAttachments(IMessage* pMessage, std::vector<ULONG>& nums);
// Deletes the attachments that hold a recurring item's exceptions (PR_ATTACHMENT_FLAGS with
// afException) and saves the message.
HRESULT RemoveExceptionAttachments(IMessage* pMessage);

// Turns a contact (an embedded message) into vCard text. The contact converter lives above the
// store layer and installs itself; null removes it.
using ContactToVCard = std::function<HRESULT(IMessage* pContact, std::string& sVCard)>;
void SetContactAttachmentConverter(ContactToVCard converter);
// The installed converter (empty when none is), for writers that put vCards into MIME themselves.
ContactToVCard GetContactAttachmentConverter();
// Replaces every attachment that embeds a contact (class IPM.Contact...) by an attachment of its
// vCard text named "<contact name>.vcf" with the MIME type pwszContentType ("text/x-vcard" when
// null), at the same position, and saves the message. MAPI_E_NO_SUPPORT, with the message
// untouched, when no converter is installed; a contact that does not convert stays embedded.
HRESULT ReplaceContactAttachments(IMessage* pMessage, const wchar_t* pwszContentType);

// A non-delivery report for pOriginal in pFolder: class "REPORT.<original class>.NDR", subject
// "Undeliverable: <subject>", the original's subject, class and submit time, the failed
// recipients, and the original as an embedded message. Saved; *ppReport is the caller's.
HRESULT HrCreateNonDeliveryReport(IMAPIFolder* pFolder, IMessage* pOriginal, ADRLIST* pFailed, IMessage** ppReport);
// Sets the report's body: pwszText, or when null a text naming the report's recipients. Saved.
HRESULT HrAddNDRBody(IMessage* pReport, const wchar_t* pwszText);

}  // namespace Ostrel::Mapi
