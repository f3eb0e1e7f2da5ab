// Wait sets: the server's change notification. A wait set watches accounts (each with the change
// types of interest and the sync token the client has); a WaitSetRequest returns the accounts
// that changed since, blocking until one does when asked to. The admin forms (urn:ostrelAdmin)
// watch other accounts in the handheld-server edition.
#pragma once

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// What the account entries of the wait set requests share.
class WaitSetRequestBase : public ItemRequestBase {
protected:
    WaitSetRequestBase(const wchar_t* pwszBodyName, int admin);

    // Adds <a id types? token?/> to the body's child named `kind` ("add", "update" or "remove"),
    // creating that child when needed. E_INVALIDARG without an account id.
    HRESULT InsertNode(const wchar_t* pwszAccountId, const wchar_t* pwszKind, const wchar_t* pwszTypes,
                       const wchar_t* pwszToken);

private:
    std::wstring m_wsBodyName;
};

class CreateWaitSetRequest : public WaitSetRequestBase {
public:
    // defTypes: the change types watched for accounts that name none ("all", or letters such as "m,c").
    CreateWaitSetRequest(const wchar_t* pwszDefTypes, int admin);

    // Watches an account from the start, from its sync token when given.
    HRESULT AddWaitAccount1(const wchar_t* pwszAccountId, const wchar_t* pwszTypes, const wchar_t* pwszToken);
};

class WaitSetRequest : public WaitSetRequestBase {
public:
    // seq: the sequence number of the last answer; block: "1" to wait for a change.
    WaitSetRequest(const wchar_t* pwszWaitSet, const wchar_t* pwszSeq, const wchar_t* pwszDefTypes, int admin,
                   const wchar_t* pwszBlock);

    HRESULT InsertAddNode(const wchar_t* pwszAccountId, const wchar_t* pwszTypes, const wchar_t* pwszToken);
    // Needs the account's new token as well.
    HRESULT InsertUpdateNode(const wchar_t* pwszAccountId, const wchar_t* pwszTypes, const wchar_t* pwszToken);
    HRESULT InsertRemoveNode(const wchar_t* pwszAccountId);
};

class DestroyWaitSetRequest : public ItemRequestBase {
public:
    DestroyWaitSetRequest(const wchar_t* pwszWaitSet, int admin);
};

}  // namespace Ostrel::Rpc
