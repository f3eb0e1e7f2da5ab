// Attachment operations: finding embedded messages, dropping recurrence exceptions, and the
// non-delivery reports built in a folder.
#pragma once

#include <vector>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// The numbers of the message's attachments that hold embedded messages, in table order.
HRESULT FindEmbeddedMsgAttachments(IMessage* pMessage, std::vector<ULONG>& nums);
// Deletes the attachments that hold a recurring item's exceptions (PR_ATTACHMENT_FLAGS with
// afException) and saves the message.
HRESULT RemoveExceptionAttachments(IMessage* pMessage);

// A non-delivery report for pOriginal in pFolder: class "REPORT.<original class>.NDR", subject
// "Undeliverable: <subject>", the original's subject, class and submit time, the failed
// recipients, and the original as an embedded message. Saved; *ppReport is the caller's.
HRESULT HrCreateNonDeliveryReport(IMAPIFolder* pFolder, IMessage* pOriginal, ADRLIST* pFailed, IMessage** ppReport);
// Sets the report's body: pwszText, or when null a text naming the report's recipients. Saved.
HRESULT HrAddNDRBody(IMessage* pReport, const wchar_t* pwszText);

}  // namespace Ostrel::Mapi
