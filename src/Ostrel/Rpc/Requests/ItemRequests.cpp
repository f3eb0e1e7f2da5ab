#include "Ostrel/Rpc/Requests/ItemRequests.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Settings/RegistryConfig.h"

namespace Ostrel::Rpc {

namespace {

std::wstring_view Text(const wchar_t* pwsz) {
    return pwsz ? std::wstring_view(pwsz) : std::wstring_view();
}

}  // namespace

GetItemRequest::GetItemRequest(LONG id) : ItemRequestBase(L"GetItemRequest") {
    CreateBody(L"GetItemRequest", Soap::kNsMail);
    SetAttr(AddChild(Body(), L"item").Get(), L"id", std::to_wstring(id));
}

CreateTagRequest::CreateTagRequest(const wchar_t* pwszName, ULONG color) : ItemRequestBase(L"CreateTagRequest") {
    CreateBody(L"CreateTagRequest", Soap::kNsMail);
    auto tag = AddChild(Body(), L"tag");
    SetAttr(tag.Get(), L"name", Text(pwszName));
    if (color != kNoColor)
        SetAttr(tag.Get(), L"rgb", ColorToRgb(color));
}

SendMsgRequest::SendMsgRequest(const wchar_t* pwszUploadId, ULONG suid, int needCalendarSentByFixup,
                               int isCalendarForward)
    : ItemRequestBase(L"SendMsgRequest") {
    CreateBody(L"SendMsgRequest", Soap::kNsMail);
    SetAttr(Body(), L"noSave", L"1");
    if (isCalendarForward)
        SetAttr(Body(), L"isCalendarForward", L"1");
    if (needCalendarSentByFixup)
        SetAttr(Body(), L"needCalendarSentByFixup", L"1");
    SetAttr(Body(), L"suid", std::to_wstring(suid));
    SetAttr(AddChild(Body(), L"m").Get(), L"aid", Text(pwszUploadId));
}

SaveDraftRequest::SaveDraftRequest(const wchar_t* pwszUploadId, LONG id, int tagIdRestriction,
                                   const Mail::TagIdList& tagIds, const Mail::TagNameList& tagNames)
    : ItemRequestBase(L"SaveDraftRequest") {
    CreateBody(L"SaveDraftRequest", Soap::kNsMail);
    auto m = AddChild(Body(), L"m");
    SetAttr(m.Get(), L"aid", Text(pwszUploadId));
    SetAttr(m.Get(), L"id", std::to_wstring(id));
    SetTagAttribute(m.Get(), &tagIds, &tagNames, !tagIdRestriction || Mapi::IsBESOSN());
}

AddMsgRequest::AddMsgRequest(const wchar_t* pwszUploadId, const wchar_t* pwszDate, LONG folderId,
                             const Mail::TagIdList* pTagIds, const Mail::TagNameList* pTagNames,
                             Mail::MessageFlags& flags, int tagIdRestriction, int noFilterSent)
    : ItemRequestBase(L"AddMsgRequest") {
    constexpr LONG kSentFolder = 5;
    CreateBody(L"AddMsgRequest", Soap::kNsMail);
    auto m = AddChild(Body(), L"m");
    SetAttr(m.Get(), L"aid", Text(pwszUploadId));
    SetAttr(m.Get(), L"l", std::to_wstring(folderId));
    SetTagAttribute(m.Get(), pTagIds, pTagNames, !tagIdRestriction);
    if (pwszDate && *pwszDate)
        SetAttr(m.Get(), L"d", pwszDate);
    if (!noFilterSent && !flags.IsPost() && folderId == kSentFolder)
        SetAttr(Body(), L"filterSent", L"1");
    if (const wchar_t* pwszFlags = flags.AsString(); *pwszFlags)
        SetAttr(m.Get(), L"f", pwszFlags);
    SetAttr(m.Get(), L"noICal", L"1");
}

GetContactsRequest::GetContactsRequest(const LONG* pIds, unsigned idCount, const wchar_t* const* ppAttrs,
                                       unsigned attrCount, int minusNoQualify)
    : ItemRequestBase(L"GetContactsRequest", minusNoQualify) {
    CreateBody(L"GetContactsRequest", Soap::kNsMail);
    SetAttr(Body(), L"sync", L"1");
    AddAttrs(ppAttrs, attrCount);
    for (unsigned i = 0; pIds && i < idCount; ++i)
        SetAttr(AddChild(Body(), L"cn").Get(), L"id", std::to_wstring(pIds[i]));
}

GetContactsRequest::GetContactsRequest(const wchar_t* const* ppIds, unsigned idCount, const wchar_t* const* ppAttrs,
                                       unsigned attrCount, LONG, int minusNoQualify)
    : ItemRequestBase(L"GetContactsRequest", minusNoQualify, minusNoQualify != 0) {
    CreateBody(L"GetContactsRequest", Soap::kNsMail);
    SetAttr(Body(), L"sync", L"1");
    SetAttr(Body(), L"returnHiddenAttrs", L"1");
    SetAttr(Body(), L"maxMembers", L"100");
    AddAttrs(ppAttrs, attrCount);
    for (unsigned i = 0; ppIds && i < idCount; ++i)
        SetAttr(AddChild(Body(), L"cn").Get(), L"id", Text(ppIds[i]));
}

void GetContactsRequest::AddAttrs(const wchar_t* const* ppAttrs, unsigned attrCount) {
    for (unsigned i = 0; ppAttrs && i < attrCount; ++i)
        SetAttr(AddChild(Body(), L"a").Get(), L"n", Text(ppAttrs[i]));
}

SearchGalRequest::SearchGalRequest(const wchar_t* pwszName) : ItemRequestBase(L"SearchGalRequest") {
    CreateBody(L"SearchGalRequest", Soap::kNsAccount);
    SetText(AddChild(Body(), L"name").Get(), Text(pwszName));
}

SyncGalRequest::SyncGalRequest(const wchar_t* pwszToken) : ItemRequestBase(L"SyncGalRequest") {
    CreateBody(L"SyncGalRequest", Soap::kNsAccount);
    if (pwszToken && *pwszToken)
        SetAttr(Body(), L"token", pwszToken);
    SetAttr(Body(), L"idOnly", L"true");
}

GetDistributionListMembersRequest::GetDistributionListMembersRequest(const wchar_t* pwszList, ULONG limit, ULONG offset)
    : ItemRequestBase(L"GetDistributionListMembersRequest") {
    CreateBody(L"GetDistributionListMembersRequest", Soap::kNsAccount);
    SetAttr(Body(), L"limit", std::to_wstring(limit));
    SetAttr(Body(), L"offset", std::to_wstring(offset));
    SetText(AddChild(Body(), L"dl").Get(), Text(pwszList));
}

}  // namespace Ostrel::Rpc
