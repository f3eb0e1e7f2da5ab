// Requests that read and change the account's settings: preferences, the white and black sender
// lists, signatures and identities (urn:ostrelAccount). What is sent comes from provider objects
// the caller implements; the answers go to the consumers of AccountResponses.h.
//
// Constructors without an `hr` argument throw Util::C_Exception when the document refuses;
// those with one report the failure there (S_OK otherwise) and leave the request incomplete.
#pragma once

#include <map>
#include <string>

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

enum class WhiteBlackListOp { Add, Remove };

class WhiteBlackListProvider {
public:
    virtual ~WhiteBlackListProvider() = default;
    virtual ULONG GetCount() = 0;
    virtual void GetEntry(ULONG index, std::wstring& wsAddress, WhiteBlackListOp& op) = 0;
    // Otherwise the black list.
    virtual bool IsWhiteList() = 0;
};

class SignatureProvider {
public:
    virtual ~SignatureProvider() = default;
    virtual ULONG GetCount() = 0;
    // "text/plain" or "text/html"; an item of any other type is sent with its type and no text.
    virtual std::wstring GetContentType(ULONG index) = 0;
    virtual std::wstring GetPlainText(ULONG index) = 0;
    virtual std::wstring GetHtmlText(ULONG index) = 0;
};

class IdentityProvider {
public:
    virtual ~IdentityProvider() = default;
    virtual ULONG GetCount() = 0;
    virtual std::wstring GetAttributeName(ULONG index) = 0;
    virtual std::wstring GetAttributeValue(ULONG index) = 0;
};

// Without a name, the preferences the connector works with (three more on a version 8 server).
class GetPrefsRequest : public ItemRequestBase {
public:
    explicit GetPrefsRequest(const wchar_t* pwszName = nullptr);
};

class ModifyPrefsRequest : public ItemRequestBase {
public:
    // One `pref` per value, all named `pwszName` (a multi-valued preference).
    ModifyPrefsRequest(const wchar_t* pwszName, wchar_t** ppwszValues, unsigned count, int& hr);
    // One `pref` per entry. A server before version 8 does not know the read-receipt request
    // preference: it is left out, and a request left with nothing has no body (IsEmpty).
    ModifyPrefsRequest(std::map<std::wstring, std::wstring>& prefs, int& hr);
    // The out-of-office settings: `pEnabled` (null leaves the flag alone), the first and last day
    // as YYYYMMDD or YYYYMMDDHH (null leaves the date alone) and the reply text (null leaves it).
    // A version 8 server also gets the reply for external senders, enabled, for all of them.
    // A date of any other form is E_INVALIDARG in `hr`.
    ModifyPrefsRequest(int* pEnabled, wchar_t* pwszFromDate, wchar_t* pwszUntilDate, wchar_t* pwszReply, int& hr);

    bool IsEmpty() const { return Body() == nullptr; }

    // A day as the preference's date text (YYYYMMDDHH0000Z); empty when it is not a valid day.
    static std::wstring OutOfOfficeDate(const wchar_t* pwszDate);

private:
    void AddPref(const std::wstring& wsName, const std::wstring& wsValue);
};

class GetWhiteBlackListRequest : public ItemRequestBase {
public:
    GetWhiteBlackListRequest();
};

// Removals first, then additions, each in the provider's order.
class ModifyWhiteBlackListRequest : public ItemRequestBase {
public:
    explicit ModifyWhiteBlackListRequest(WhiteBlackListProvider* pProvider);
};

// A request on one signature or identity, keyed by "name" (byName) or "id".
class AccountKeyedRequest : public ItemRequestBase {
protected:
    AccountKeyedRequest(const wchar_t* pwszCallName, const wchar_t* pwszElement, const wchar_t* pwszKey, int byName);
    // A `content` per item, with the plain or HTML text that its type names.
    void AddSignatureContents(SignatureProvider* pProvider);
    // An `a` per attribute.
    void AddIdentityAttributes(IdentityProvider* pProvider);

private:
    Platform::ComPtr<IXMLDOMElement> m_pElement;
};

class GetSignaturesRequest : public ItemRequestBase {
public:
    GetSignaturesRequest();
};

class CreateSignatureRequest : public AccountKeyedRequest {
public:
    CreateSignatureRequest(SignatureProvider* pProvider, const wchar_t* pwszName);
};

class ModifySignatureRequest : public AccountKeyedRequest {
public:
    ModifySignatureRequest(SignatureProvider* pProvider, const wchar_t* pwszName);
};

// By name when `byName`, else by id.
class DeleteSignatureRequest : public AccountKeyedRequest {
public:
    DeleteSignatureRequest(const wchar_t* pwszKey, int byName);
};

class GetIdentitiesRequest : public ItemRequestBase {
public:
    GetIdentitiesRequest();
};

class CreateIdentityRequest : public AccountKeyedRequest {
public:
    CreateIdentityRequest(IdentityProvider* pProvider, const wchar_t* pwszName);
};

class ModifyIdentityRequest : public AccountKeyedRequest {
public:
    ModifyIdentityRequest(IdentityProvider* pProvider, const wchar_t* pwszKey, int byName);
};

class DeleteIdentityRequest : public AccountKeyedRequest {
public:
    DeleteIdentityRequest(const wchar_t* pwszKey, int byName);
};

}  // namespace Ostrel::Rpc
