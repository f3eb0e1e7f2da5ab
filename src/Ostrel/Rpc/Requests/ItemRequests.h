// The item requests with simple bodies: reading a document, creating a tag, sending, storing and
// drafting uploaded messages, reading contacts, and the global address list. Each constructor
// builds the whole request; a document that refuses a node throws Util::C_Exception.
#pragma once

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// <GetItemRequest><item id/></GetItemRequest>
class GetItemRequest : public ItemRequestBase {
public:
    explicit GetItemRequest(LONG id);
};

// A tag with a name and, unless it is kNoColor, a colour (red in the low byte).
class CreateTagRequest : public ItemRequestBase {
public:
    CreateTagRequest(const wchar_t* pwszName, ULONG color);
};

// Sends an uploaded message without keeping a copy; suid identifies the send to the server.
class SendMsgRequest : public ItemRequestBase {
public:
    SendMsgRequest(const wchar_t* pwszUploadId, ULONG suid, int needCalendarSentByFixup, int isCalendarForward);
};

// Replaces draft `id` with an uploaded message. With a non-zero tagIdRestriction tag ids go only
// in the handheld-server edition.
class SaveDraftRequest : public ItemRequestBase {
public:
    SaveDraftRequest(const wchar_t* pwszUploadId, LONG id, int tagIdRestriction, const Mail::TagIdList& tagIds,
                     const Mail::TagNameList& tagNames);
};

// Stores an uploaded message in a folder. With a non-zero tagIdRestriction tag ids are never
// sent. A message put into the Sent folder (5) is filtered as sent unless noFilterSent is set or
// it is a post.
class AddMsgRequest : public ItemRequestBase {
public:
    AddMsgRequest(const wchar_t* pwszUploadId, const wchar_t* pwszDate, LONG folderId, const Mail::TagIdList* pTagIds,
                  const Mail::TagNameList* pTagNames, Mail::MessageFlags& flags, int tagIdRestriction,
                  int noFilterSent);
};

class GetContactsRequest : public ItemRequestBase {
public:
    // Mailbox contacts by number, with the named attributes (all when none are named).
    GetContactsRequest(const LONG* pIds, unsigned idCount, const wchar_t* const* ppAttrs, unsigned attrCount,
                       int minusNoQualify);
    // Contacts by textual id, hidden attributes included and at most 100 members each. The call
    // name is set only when minusNoQualify is non-zero; the number is not sent.
    GetContactsRequest(const wchar_t* const* ppIds, unsigned idCount, const wchar_t* const* ppAttrs, unsigned attrCount,
                       LONG unused, int minusNoQualify);

private:
    void AddAttrs(const wchar_t* const* ppAttrs, unsigned attrCount);
};

// Global address list entries matching a name.
class SearchGalRequest : public ItemRequestBase {
public:
    explicit SearchGalRequest(const wchar_t* pwszName);
};

// The ids of the global address list entries changed since the token (all without one).
class SyncGalRequest : public ItemRequestBase {
public:
    explicit SyncGalRequest(const wchar_t* pwszToken);
};

// One page of a distribution list's members.
class GetDistributionListMembersRequest : public ItemRequestBase {
public:
    GetDistributionListMembersRequest(const wchar_t* pwszList, ULONG limit, ULONG offset);
};

}  // namespace Ostrel::Rpc
