#include "Ostrel/Rpc/Requests/AccountSharing.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"

namespace Ostrel::Rpc {

namespace {

bool IsSet(const wchar_t* pwsz) {
    return pwsz && *pwsz;
}

}  // namespace

RightsRequestBase::RightsRequestBase(const wchar_t* pwszCallName, const wchar_t* const* ppwszGranteeTypes,
                                     const wchar_t* const* ppwszGrantees, unsigned count, int byName)
    : ItemRequestBase(pwszCallName) {
    CreateBody(pwszCallName, Soap::kNsAccount);
    if (!ppwszGranteeTypes || !ppwszGrantees)
        return;
    for (unsigned i = 0; i < count; ++i) {
        if (!IsSet(ppwszGranteeTypes[i]) || !IsSet(ppwszGrantees[i]))
            continue;
        auto ace = AddChild(Body(), L"ace");
        SetAttr(ace.Get(), L"right", L"sendOnBehalfOf");
        SetAttr(ace.Get(), L"gt", ppwszGranteeTypes[i]);
        SetAttr(ace.Get(), byName ? L"d" : L"oid", ppwszGrantees[i]);
    }
}

GrantRightsRequest::GrantRightsRequest(const wchar_t* const* ppwszGranteeTypes, const wchar_t* const* ppwszGrantees,
                                       unsigned count, int byName)
    : RightsRequestBase(L"GrantRightsRequest", ppwszGranteeTypes, ppwszGrantees, count, byName) {}

RevokeRightsRequest::RevokeRightsRequest(const wchar_t* const* ppwszGranteeTypes, const wchar_t* const* ppwszGrantees,
                                         unsigned count, int byName)
    : RightsRequestBase(L"RevokeRightsRequest", ppwszGranteeTypes, ppwszGrantees, count, byName) {}

GetRightsRequest::GetRightsRequest() : ItemRequestBase(L"GetRightsRequest") {
    CreateBody(L"GetRightsRequest", Soap::kNsAccount);
}

DiscoverRightsRequest::DiscoverRightsRequest(const wchar_t* const* ppwszRights, unsigned count)
    : ItemRequestBase(L"DiscoverRightsRequest") {
    CreateBody(L"DiscoverRightsRequest", Soap::kNsAccount);
    for (unsigned i = 0; ppwszRights && i < count; ++i)
        if (IsSet(ppwszRights[i]))
            SetText(AddChild(Body(), L"right").Get(), ppwszRights[i]);
}

GetShareInfoRequest::GetShareInfoRequest(const wchar_t* pwszOwner) : ItemRequestBase(L"GetShareInfoRequest") {
    CreateBody(L"GetShareInfoRequest", Soap::kNsAccount);
    auto owner = AddChild(Body(), L"owner");
    SetAttr(owner.Get(), L"by", L"name");
    SetText(owner.Get(), pwszOwner ? pwszOwner : L"");
}

CreateMountpointRequest::CreateMountpointRequest(const wchar_t* pwszName, const wchar_t* pwszOwner, LONG remoteId,
                                                 const wchar_t* pwszView)
    : ItemRequestBase(L"CreateMountpointRequest") {
    CreateBody(L"CreateMountpointRequest", Soap::kNsMail);
    auto link = AddChild(Body(), L"link");
    SetAttr(link.Get(), L"l", L"1");
    SetAttr(link.Get(), L"name", pwszName ? pwszName : L"");
    SetAttr(link.Get(), L"owner", pwszOwner ? pwszOwner : L"");
    SetAttr(link.Get(), L"rid", std::to_wstring(remoteId));
    SetAttr(link.Get(), L"view", pwszView ? pwszView : L"");
    SetAttr(link.Get(), L"color", L"0");
}

}  // namespace Ostrel::Rpc
