// Requests about what the account lets others do and what others share with it: the
// "sendOnBehalfOf" right (grant, revoke, list, discover), share information and mount points.
// Constructors throw Util::C_Exception when the document refuses.
#pragma once

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// One `ace` per position where both the grantee type and the grantee are non-empty; the grantee
// goes into "d" when `byName`, else into "oid".
class RightsRequestBase : public ItemRequestBase {
protected:
    RightsRequestBase(const wchar_t* pwszCallName, const wchar_t* const* ppwszGranteeTypes,
                      const wchar_t* const* ppwszGrantees, unsigned count, int byName);
};

class GrantRightsRequest : public RightsRequestBase {
public:
    GrantRightsRequest(const wchar_t* const* ppwszGranteeTypes, const wchar_t* const* ppwszGrantees, unsigned count,
                       int byName);
};

class RevokeRightsRequest : public RightsRequestBase {
public:
    RevokeRightsRequest(const wchar_t* const* ppwszGranteeTypes, const wchar_t* const* ppwszGrantees, unsigned count,
                        int byName);
};

class GetRightsRequest : public ItemRequestBase {
public:
    GetRightsRequest();
};

// Which accounts granted the user each of the rights named.
class DiscoverRightsRequest : public ItemRequestBase {
public:
    DiscoverRightsRequest(const wchar_t* const* ppwszRights, unsigned count);
};

// The folders `pwszOwner` (an address) shares with the user.
class GetShareInfoRequest : public ItemRequestBase {
public:
    explicit GetShareInfoRequest(const wchar_t* pwszOwner);
};

// Mounts another account's folder under the user's top folder (urn:ostrelMail).
class CreateMountpointRequest : public ItemRequestBase {
public:
    CreateMountpointRequest(const wchar_t* pwszName, const wchar_t* pwszOwner, LONG remoteId, const wchar_t* pwszView);
};

}  // namespace Ostrel::Rpc
