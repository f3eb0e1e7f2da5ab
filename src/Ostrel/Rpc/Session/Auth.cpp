#include "Ostrel/Rpc/Session/Auth.h"

#include <stdexcept>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

namespace {

[[noreturn]] void ThrowBuildFailure(const wchar_t* pwszWhat, HRESULT hr) {
    OSTLOG_ERROR(L"cannot build %s: hr(%x)", pwszWhat, hr);
    throw std::runtime_error("the request could not be built");
}

const wchar_t* Safe(const wchar_t* p) {
    return p ? p : L"";
}

}  // namespace

// ---- AccountRequestBase ----

AccountRequestBase::AccountRequestBase(const wchar_t* pwszCallName, const wchar_t* pwszNamespace,
                                       const wchar_t* pwszBodyName)
    : Request(pwszCallName, 0) {
    const wchar_t* pwszBody = pwszBodyName ? pwszBodyName : pwszCallName;
    ComPtr<IXMLDOMElement> body;
    HRESULT hr = GetDocument()->createElement(pwszBody, body.AddressOf());
    if (SUCCEEDED(hr))
        hr = body->setAttribute(Soap::kXmlns, pwszNamespace);
    if (SUCCEEDED(hr))
        hr = AppendToSoapBody(body.Get());
    if (FAILED(hr))
        ThrowBuildFailure(pwszBody, hr);
    m_pBody = body.Detach();
}

AccountRequestBase::~AccountRequestBase() {
    Util::SafeRelease(m_pBody);
}

void AccountRequestBase::AddChild(const wchar_t* pwszName, const std::wstring& wsText) {
    ComPtr<IXMLDOMElement> child;
    HRESULT hr = GetDocument()->createElement(pwszName, child.AddressOf());
    if (SUCCEEDED(hr) && !wsText.empty())
        hr = child->put_text(wsText);
    if (SUCCEEDED(hr))
        hr = m_pBody->appendChild(child.Get(), nullptr);
    if (FAILED(hr))
        ThrowBuildFailure(pwszName, hr);
}

void AccountRequestBase::AddChildBy(const wchar_t* pwszName, const wchar_t* pwszBy, const std::wstring& wsText) {
    ComPtr<IXMLDOMElement> child;
    HRESULT hr = GetDocument()->createElement(pwszName, child.AddressOf());
    if (SUCCEEDED(hr))
        hr = child->setAttribute(Soap::kBy, pwszBy);
    if (SUCCEEDED(hr) && !wsText.empty())
        hr = child->put_text(wsText);
    if (SUCCEEDED(hr))
        hr = m_pBody->appendChild(child.Get(), nullptr);
    if (FAILED(hr))
        ThrowBuildFailure(pwszName, hr);
}

void AccountRequestBase::SetBodyAttribute(const wchar_t* pwszName, const wchar_t* pwszValue) {
    HRESULT hr = m_pBody->setAttribute(pwszName, pwszValue);
    if (FAILED(hr))
        ThrowBuildFailure(pwszName, hr);
}

// ---- The requests ----

AuthRequest::AuthRequest(const wchar_t* pwszAccount, const wchar_t* pwszPassword, const wchar_t* pwszVirtualHost,
                         const wchar_t* pwszTwoFactorCode, int trustDevice, const wchar_t* pwszTrustedToken)
    : AccountRequestBase(L"AuthRequest", Soap::kNsAccount) {
    AddChildBy(Soap::kAccount, Soap::kName, Safe(pwszAccount));
    AddChild(L"password", Safe(pwszPassword));
    AddChild(L"virtualHost", Safe(pwszVirtualHost));
    bool bSendDeviceId = false;
    if (pwszTrustedToken && *pwszTrustedToken) {
        AddChild(L"trustedToken", pwszTrustedToken);
        bSendDeviceId = true;
    } else if (pwszTwoFactorCode && *pwszTwoFactorCode) {
        AddChild(L"twoFactorCode", pwszTwoFactorCode);
        if (trustDevice) {
            SetBodyAttribute(L"deviceTrusted", L"1");
            bSendDeviceId = true;
        }
    }
    std::wstring wsDeviceId;
    if (bSendDeviceId && GetDeviceId(wsDeviceId))
        AddChild(L"deviceId", wsDeviceId);
}

SSOAuthRequest::SSOAuthRequest(const wchar_t* pwszToken) : AccountRequestBase(L"AuthRequest", Soap::kNsAccount) {
    AddChild(Soap::kAuthToken, Safe(pwszToken));
}

AdminAuthRequest::AdminAuthRequest(const wchar_t* pwszName, const wchar_t* pwszPassword, const wchar_t* pwszVirtualHost)
    : AccountRequestBase(L"AuthRequest", Soap::kNsAdmin) {
    AddChild(Soap::kName, Safe(pwszName));
    AddChild(L"password", Safe(pwszPassword));
    AddChild(L"virtualHost", Safe(pwszVirtualHost));
}

GetServerRequest::GetServerRequest(const wchar_t* pwszServer)
    : AccountRequestBase(L"GetServerRequest", Soap::kNsAdmin) {
    AddChildBy(L"server", Soap::kName, Safe(pwszServer));
}

ChangePasswordRequest::ChangePasswordRequest(const wchar_t* pwszAccount, const wchar_t* pwszOldPassword,
                                             const wchar_t* pwszNewPassword)
    : AccountRequestBase(L"ChangePasswordRequest", Soap::kNsAccount) {
    AddChildBy(Soap::kAccount, Soap::kName, Safe(pwszAccount));
    AddChild(L"oldPassword", Safe(pwszOldPassword));
    AddChild(L"password", Safe(pwszNewPassword));
}

GetInfoRequest::GetInfoRequest(const wchar_t* pwszSections) : AccountRequestBase(L"GetInfoRequest", Soap::kNsAccount) {
    if (pwszSections && *pwszSections)
        SetBodyAttribute(L"sections", pwszSections);
}

GetAccountInfoRequest::GetAccountInfoRequest(const wchar_t* pwszAccount, int byName)
    : AccountRequestBase(L"GetAccountInfoRequest", Soap::kNsAccount) {
    AddChildBy(Soap::kAccount, byName ? Soap::kName : L"id", Safe(pwszAccount));
}

NoOpRequest::NoOpRequest() : AccountRequestBase(L"NoOpRequest", Soap::kNsMail) {}

}  // namespace Ostrel::Rpc
