// The answers of the account settings calls (preferences, sender lists, signatures, identities,
// rights, shares) and the consumer interfaces their callers implement to receive them. Consume
// with a null consumer does nothing; an element without an attribute the reader looks for gives
// an empty text, never a failure.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Ostrel/Rpc/Soap/Response.h"

namespace Ostrel::Rpc {

class PrefsConsumer {
public:
    virtual ~PrefsConsumer() = default;
    // Once per `pref` element, in document order (a multi-valued preference comes several times).
    virtual void ConsumePref(const std::wstring& wsName, const std::wstring& wsValue) = 0;
};

class WhiteBlackListConsumer {
public:
    virtual ~WhiteBlackListConsumer() = default;
    // Every black list address first, then every white list address, each in document order.
    virtual void ConsumeAddress(bool bWhiteList, const std::wstring& wsAddress) = 0;
};

struct SignatureContent {
    std::wstring wsType;  // "text/plain" or "text/html"
    std::wstring wsText;
};

class SignatureConsumer {
public:
    virtual ~SignatureConsumer() = default;
    virtual void ConsumeSignature(const std::wstring& wsName, const std::wstring& wsId,
                                  const std::vector<SignatureContent>& contents) = 0;
};

// An identity attribute: its name and value.
using IdentityAttribute = std::pair<std::wstring, std::wstring>;

class IdentityConsumer {
public:
    virtual ~IdentityConsumer() = default;
    virtual void ConsumeIdentity(const std::wstring& wsName, const std::wstring& wsId,
                                 const std::vector<IdentityAttribute>& attributes) = 0;
};

// One access-control entry of the "sendOnBehalfOf" right.
struct RightsAce {
    std::wstring wsRight;
    std::wstring wsGranteeType;  // "gt"
    std::wstring wsGranteeName;  // "d"
    std::wstring wsGranteeId;    // "oid"
};

class RightsConsumer {
public:
    virtual ~RightsConsumer() = default;
    virtual void ConsumeAce(const RightsAce& ace) = 0;
};

class RightConsumer {
public:
    virtual ~RightConsumer() = default;
    // The address of each target that holds a discovered right.
    virtual void ConsumeTarget(const std::wstring& wsAddress) = 0;
};

// A folder shared with the user, as one `share` element describes it.
struct ShareInfo {
    std::wstring wsOwnerId;
    std::wstring wsOwnerEmail;
    std::wstring wsOwnerName;
    std::wstring wsFolderId;
    std::wstring wsFolderPath;
    std::wstring wsView;
    std::wstring wsRights;
    std::wstring wsGranteeType;
    std::wstring wsGranteeName;
    std::wstring wsMountpointId;  // "mid": set when the user has mounted the folder
};

class ShareInfoConsumer {
public:
    virtual ~ShareInfoConsumer() = default;
    virtual void ConsumeShare(const ShareInfo& share) = 0;
};

class GetPrefsResponse : public Response {
public:
    using Response::Response;
    virtual void Consume(PrefsConsumer* pConsumer);
};

// The sender lists of a Get or Modify answer, read under the answer's own element.
class WhiteBlackListResponseBase : public Response {
public:
    virtual void Consume(WhiteBlackListConsumer* pConsumer);

protected:
    WhiteBlackListResponseBase(IXMLDOMDocument2* pDocument, const wchar_t* pwszElement)
        : Response(pDocument), m_pwszElement(pwszElement) {}

private:
    const wchar_t* m_pwszElement;
};

class GetWhiteBlackListResponse : public WhiteBlackListResponseBase {
public:
    explicit GetWhiteBlackListResponse(IXMLDOMDocument2* pDocument)
        : WhiteBlackListResponseBase(pDocument, L"GetWhiteBlackListResponse") {}
};

class ModifyWhiteBlackListResponse : public WhiteBlackListResponseBase {
public:
    explicit ModifyWhiteBlackListResponse(IXMLDOMDocument2* pDocument)
        : WhiteBlackListResponseBase(pDocument, L"ModifyWhiteBlackListResponse") {}
};

class SignatureResponseBase : public Response {
public:
    virtual void Consume(SignatureConsumer* pConsumer);

protected:
    SignatureResponseBase(IXMLDOMDocument2* pDocument, const wchar_t* pwszElement)
        : Response(pDocument), m_pwszElement(pwszElement) {}

private:
    const wchar_t* m_pwszElement;
};

class GetSignaturesResponse : public SignatureResponseBase {
public:
    explicit GetSignaturesResponse(IXMLDOMDocument2* pDocument)
        : SignatureResponseBase(pDocument, L"GetSignaturesResponse") {}
};

class CreateSignatureResponse : public SignatureResponseBase {
public:
    explicit CreateSignatureResponse(IXMLDOMDocument2* pDocument)
        : SignatureResponseBase(pDocument, L"CreateSignatureResponse") {}
};

class IdentityResponseBase : public Response {
public:
    virtual void Consume(IdentityConsumer* pConsumer);

protected:
    IdentityResponseBase(IXMLDOMDocument2* pDocument, const wchar_t* pwszElement)
        : Response(pDocument), m_pwszElement(pwszElement) {}

private:
    const wchar_t* m_pwszElement;
};

class GetIdentitiesResponse : public IdentityResponseBase {
public:
    explicit GetIdentitiesResponse(IXMLDOMDocument2* pDocument)
        : IdentityResponseBase(pDocument, L"GetIdentitiesResponse") {}
};

class CreateIdentityResponse : public IdentityResponseBase {
public:
    explicit CreateIdentityResponse(IXMLDOMDocument2* pDocument)
        : IdentityResponseBase(pDocument, L"CreateIdentityResponse") {}
};

// The "sendOnBehalfOf" entries of a Get, Grant or Revoke answer; entries of other rights are
// skipped.
class RightsResponseBase : public Response {
public:
    virtual void Consume(RightsConsumer* pConsumer);

protected:
    RightsResponseBase(IXMLDOMDocument2* pDocument, const wchar_t* pwszElement)
        : Response(pDocument), m_pwszElement(pwszElement) {}

private:
    const wchar_t* m_pwszElement;
};

class GetRightsResponse : public RightsResponseBase {
public:
    explicit GetRightsResponse(IXMLDOMDocument2* pDocument) : RightsResponseBase(pDocument, L"GetRightsResponse") {}
};

class GrantRightsResponse : public RightsResponseBase {
public:
    explicit GrantRightsResponse(IXMLDOMDocument2* pDocument) : RightsResponseBase(pDocument, L"GrantRightsResponse") {}
};

class RevokeRightsResponse : public RightsResponseBase {
public:
    explicit RevokeRightsResponse(IXMLDOMDocument2* pDocument)
        : RightsResponseBase(pDocument, L"RevokeRightsResponse") {}
};

class DiscoverRightsResponse : public Response {
public:
    using Response::Response;
    virtual void Consume(RightConsumer* pConsumer);
};

class GetShareInfoResponse : public Response {
public:
    using Response::Response;
    virtual void Consume(ShareInfoConsumer* pConsumer);
};

}  // namespace Ostrel::Rpc
