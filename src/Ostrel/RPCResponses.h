// The typed responses the factory creates. Each keeps its reply document; the areas that send the
// matching requests add what their callers read from it.
#pragma once

#include <string>

#include "Ostrel/RPC.h"

namespace Ostrel::Rpc {

#define OSTREL_RESPONSE_CLASS(name)  \
    class name : public Response {   \
    public:                          \
        using Response::Response;    \
    };

OSTREL_RESPONSE_CLASS(CreateFolderResponse)
OSTREL_RESPONSE_CLASS(CreateContactResponse)
OSTREL_RESPONSE_CLASS(ActionResponse)
OSTREL_RESPONSE_CLASS(GetContactsResponse)
OSTREL_RESPONSE_CLASS(SyncResponse)
OSTREL_RESPONSE_CLASS(SyncGalResponse)
OSTREL_RESPONSE_CLASS(SearchGalResponse)
OSTREL_RESPONSE_CLASS(ModifyContactResponse)
OSTREL_RESPONSE_CLASS(SendMsgResponse)
OSTREL_RESPONSE_CLASS(AddMsgResponse)
OSTREL_RESPONSE_CLASS(SaveDraftResponse)
OSTREL_RESPONSE_CLASS(CreateTagResponse)
OSTREL_RESPONSE_CLASS(SetAppointmentResponse)
OSTREL_RESPONSE_CLASS(GetAppointmentResponse)
OSTREL_RESPONSE_CLASS(GetInfoResponse)
OSTREL_RESPONSE_CLASS(GetPrefsResponse)
OSTREL_RESPONSE_CLASS(GetAccountInfoResponse)
OSTREL_RESPONSE_CLASS(CreateIdentityResponse)
OSTREL_RESPONSE_CLASS(GetIdentitiesResponse)
OSTREL_RESPONSE_CLASS(GetWhiteBlackListResponse)
OSTREL_RESPONSE_CLASS(ModifyWhiteBlackListResponse)
OSTREL_RESPONSE_CLASS(GetSignaturesResponse)
OSTREL_RESPONSE_CLASS(SaveDocumentResponse)
OSTREL_RESPONSE_CLASS(GetItemResponse)
OSTREL_RESPONSE_CLASS(GetRightsResponse)
OSTREL_RESPONSE_CLASS(GrantRightsResponse)
OSTREL_RESPONSE_CLASS(RevokeRightsResponse)
OSTREL_RESPONSE_CLASS(DiscoverRightsResponse)
OSTREL_RESPONSE_CLASS(SetMailboxMetadataResponse)
OSTREL_RESPONSE_CLASS(CreateMountpointResponse)
OSTREL_RESPONSE_CLASS(GetShareInfoResponse)

#undef OSTREL_RESPONSE_CLASS

// The answer to a sign-on (Auth.cpp): the texts of //account:authToken, lifetime and sessionId
// (empty when absent), and whether the server asks for a two-factor code ("TRUE").
class AuthResponse : public Response {
public:
    explicit AuthResponse(IXMLDOMDocument2* pDocument);

    const wchar_t* AuthToken() const { return m_wsAuthToken.c_str(); }
    const wchar_t* LifeTime() const { return m_wsLifeTime.c_str(); }
    const wchar_t* SessionId() const { return m_wsSessionId.c_str(); }
    bool TwoFactorAuthRequired() const { return m_bTwoFactorAuthRequired; }

private:
    std::wstring m_wsAuthToken;
    std::wstring m_wsLifeTime;
    std::wstring m_wsSessionId;
    bool m_bTwoFactorAuthRequired = false;
};

}  // namespace Ostrel::Rpc
