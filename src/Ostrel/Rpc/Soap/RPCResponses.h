// The typed responses the factory creates. Each keeps its reply document; the areas that send the
// matching requests add what their callers read from it.
#pragma once

#include <optional>
#include <string>

#include "Ostrel/Rpc/Soap/AccountResponses.h"
#include "Ostrel/Rpc/Soap/Response.h"

namespace Ostrel::Rpc {

#define OSTREL_RESPONSE_CLASS(name) \
    class name : public Response {  \
    public:                         \
        using Response::Response;   \
    };

OSTREL_RESPONSE_CLASS(ActionResponse)
OSTREL_RESPONSE_CLASS(GetContactsResponse)
OSTREL_RESPONSE_CLASS(SearchGalResponse)
OSTREL_RESPONSE_CLASS(ModifyContactResponse)
OSTREL_RESPONSE_CLASS(SendMsgResponse)
OSTREL_RESPONSE_CLASS(GetAppointmentResponse)
OSTREL_RESPONSE_CLASS(GetInfoResponse)
OSTREL_RESPONSE_CLASS(GetAccountInfoResponse)
OSTREL_RESPONSE_CLASS(SaveDocumentResponse)
OSTREL_RESPONSE_CLASS(SetMailboxMetadataResponse)
OSTREL_RESPONSE_CLASS(CreateMountpointResponse)

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

// The id of a stored calendar item: "apptId" of SetAppointmentResponse, else "calItemId" of
// SetTaskResponse; 0 when absent.
class SetAppointmentResponse : public Response {
public:
    explicit SetAppointmentResponse(IXMLDOMDocument2* pDocument);
    LONG ApptDefaultId() const { return m_lApptDefaultId; }

private:
    LONG m_lApptDefaultId = 0;
};

// ---- Readers of the item and folder replies (ItemResponses.cpp) ----
// Ids are 0 and texts null when the reply lacks them (or an id is not a number, which is logged).

// The new folder: "id", "l" and "name" of the body's `folder`.
class CreateFolderResponse : public Response {
public:
    explicit CreateFolderResponse(IXMLDOMDocument2* pDocument);
    LONG FolderId() const { return m_lFolderId; }
    LONG ParentFolderId() const { return m_lParentFolderId; }
    const wchar_t* FolderName() const { return m_owsFolderName ? m_owsFolderName->c_str() : nullptr; }

private:
    LONG m_lFolderId = 0;
    LONG m_lParentFolderId = 0;
    std::optional<std::wstring> m_owsFolderName;
};

// The new tag's id.
class CreateTagResponse : public Response {
public:
    explicit CreateTagResponse(IXMLDOMDocument2* pDocument);
    LONG Id() const { return m_lId; }

private:
    LONG m_lId = 0;
};

// The new contact's id, as a number and as text (Modified holds the same "id" text; the
// modification time is left in the document).
class CreateContactResponse : public Response {
public:
    explicit CreateContactResponse(IXMLDOMDocument2* pDocument);
    LONG Id() const { return m_lId; }
    const wchar_t* Modified() const { return m_owsModified ? m_owsModified->c_str() : nullptr; }

private:
    LONG m_lId = 0;
    std::optional<std::wstring> m_owsModified;
};

// The id of the message the server stored ("id" of the first //mail:m).
class AddMsgResponse : public Response {
public:
    explicit AddMsgResponse(IXMLDOMDocument2* pDocument);
    LONG Id() const { return m_lId; }

private:
    LONG m_lId = 0;
};

class SaveDraftResponse : public Response {
public:
    explicit SaveDraftResponse(IXMLDOMDocument2* pDocument);
    LONG Id() const { return m_lId; }

private:
    LONG m_lId = 0;
};

// A document's version (1 when absent), name, flags, tag ids and names, and its modification
// time ("md", else "cd", seconds since 1970; 0 when neither is there).
class GetItemResponse : public Response {
public:
    explicit GetItemResponse(IXMLDOMDocument2* pDocument);
    ULONG DocVersion() const { return m_ulDocVersion; }
    const wchar_t* DocName() const { return Text(m_owsDocName); }
    const wchar_t* DocFlags() const { return Text(m_owsDocFlags); }
    const wchar_t* DocTagIds() const { return Text(m_owsDocTagIds); }
    const wchar_t* DocTagNames() const { return Text(m_owsDocTagNames); }
    const FILETIME& DocTime() const { return m_ftDocTime; }

private:
    static const wchar_t* Text(const std::optional<std::wstring>& ows) { return ows ? ows->c_str() : nullptr; }

    ULONG m_ulDocVersion = 1;
    std::optional<std::wstring> m_owsDocName;
    std::optional<std::wstring> m_owsDocFlags;
    std::optional<std::wstring> m_owsDocTagIds;
    std::optional<std::wstring> m_owsDocTagNames;
    FILETIME m_ftDocTime{};
};

// SyncToken(): a copy of the reply's "token" in a MAPI buffer (the caller frees it with
// MAPIFreeBuffer), or null when there is none.
class SyncResponse : public Response {
public:
    using Response::Response;
    wchar_t* SyncToken();
};

class SyncGalResponse : public Response {
public:
    using Response::Response;
    wchar_t* SyncToken();
};

}  // namespace Ostrel::Rpc
