// The authentication and account requests: password, two-factor and trusted-device sign-on
// (AuthRequest), single sign-on (SSOAuthRequest), the administrator's sign-on of the
// handheld-server edition (AdminAuthRequest) and its server look-up (GetServerRequest), password
// change, account information, other accounts, and the token check (NoOpRequest). AuthResponse
// is declared with the other typed responses (RPCResponses.h).
//
// Each constructor builds the whole request and throws std::runtime_error when its document
// cannot be made.
#pragma once

#include <string>

#include "Ostrel/Rpc/Soap/Request.h"

namespace Ostrel::Rpc {

// A request whose body element is named after the call (or given) in one of the namespaces.
class AccountRequestBase : public Request {
public:
    ~AccountRequestBase() override;

protected:
    AccountRequestBase(const wchar_t* pwszCallName, const wchar_t* pwszNamespace,
                       const wchar_t* pwszBodyName = nullptr);

    IXMLDOMElement* Body() const { return m_pBody; }
    // Appends <name>text</name> to the body element.
    void AddChild(const wchar_t* pwszName, const std::wstring& wsText);
    // Appends <name by="...">text</name> to the body element.
    void AddChildBy(const wchar_t* pwszName, const wchar_t* pwszBy, const std::wstring& wsText);
    void SetBodyAttribute(const wchar_t* pwszName, const wchar_t* pwszValue);

private:
    IXMLDOMElement* m_pBody = nullptr;
};

// Sign-on with a password. A trusted-device token wins over a two-factor code; with a code and
// `trustDevice` the server is asked to trust this device. The device id goes with a trusted
// token or a trust request (left out when none can be had).
class AuthRequest : public AccountRequestBase {
public:
    AuthRequest(const wchar_t* pwszAccount, const wchar_t* pwszPassword, const wchar_t* pwszVirtualHost,
                const wchar_t* pwszTwoFactorCode, int trustDevice, const wchar_t* pwszTrustedToken);
};

// Exchanges the token of a single sign-on for a session token.
class SSOAuthRequest : public AccountRequestBase {
public:
    explicit SSOAuthRequest(const wchar_t* pwszToken);
};

// The administrator's sign-on of the handheld-server edition: an AuthRequest (call name and body
// element) in urn:ostrelAdmin, posted to the admin SOAP path.
class AdminAuthRequest : public AccountRequestBase {
public:
    AdminAuthRequest(const wchar_t* pwszName, const wchar_t* pwszPassword, const wchar_t* pwszVirtualHost);
};

// A server's settings, asked by the administrator (urn:ostrelAdmin); by name.
class GetServerRequest : public AccountRequestBase {
public:
    explicit GetServerRequest(const wchar_t* pwszServer);
};

class ChangePasswordRequest : public AccountRequestBase {
public:
    ChangePasswordRequest(const wchar_t* pwszAccount, const wchar_t* pwszOldPassword, const wchar_t* pwszNewPassword);
};

// The signed-on account; `sections` (e.g. "props,attrs,mbox,prefs") limits the answer.
class GetInfoRequest : public AccountRequestBase {
public:
    explicit GetInfoRequest(const wchar_t* pwszSections = nullptr);
};

// Another account, by name (byName non-zero) or by id.
class GetAccountInfoRequest : public AccountRequestBase {
public:
    GetAccountInfoRequest(const wchar_t* pwszAccount, int byName);
};

class NoOpRequest : public AccountRequestBase {
public:
    NoOpRequest();
};

// This device's id, kept protected in HKCU\Software\Ostrel "EID" and made on first use. False
// (logged) when none can be had.
bool GetDeviceId(std::wstring& wsDeviceId);

}  // namespace Ostrel::Rpc
