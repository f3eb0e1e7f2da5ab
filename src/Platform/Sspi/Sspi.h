// Single sign-on with the Negotiate package, as the Windows security support provider offers it:
// find out whether the user is signed on to a Kerberos realm, enumerate the packages, acquire
// the user's credentials and build the SPNEGO token for a service principal.
//
// The process-wide provider is the GSSAPI one (GssapiProvider.h); tests install their own.
// Handles are opaque numbers owned by the provider that gave them out; every handle that was
// handed out must be given back (DeleteSecurityContext, FreeCredentialsHandle).
#pragma once

#include "Platform/Base/WinTypes.h"

#include <memory>
#include <string>
#include <vector>

namespace Platform::Sspi {

typedef LONG SECURITY_STATUS;

// Status values with their Windows numbers.
constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<SECURITY_STATUS>(0x80090301);
constexpr SECURITY_STATUS SEC_E_TARGET_UNKNOWN = static_cast<SECURITY_STATUS>(0x80090303);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<SECURITY_STATUS>(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<SECURITY_STATUS>(0x80090305);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<SECURITY_STATUS>(0x8009030E);
constexpr SECURITY_STATUS SEC_E_NO_AUTHENTICATING_AUTHORITY = static_cast<SECURITY_STATUS>(0x80090311);

// The package that negotiates Kerberos through SPNEGO.
constexpr const wchar_t* kNegotiatePackage = L"Negotiate";

struct CredHandle {
    ULONGLONG ullId = 0;
};
struct CtxtHandle {
    ULONGLONG ullId = 0;
};

class ISecurityProvider {
public:
    virtual ~ISecurityProvider() = default;

    // The signed-on user's principal ("user@REALM") and its realm. False when the machine is in
    // no realm or the user holds no usable credentials (the Windows machine is "not on a domain").
    virtual bool GetDomainUser(std::wstring& wsPrincipal, std::wstring& wsRealm) = 0;
    // The names of the available packages ("Negotiate", "Kerberos").
    virtual SECURITY_STATUS EnumerateSecurityPackages(std::vector<std::wstring>& packages) = 0;
    // The current user's outbound credentials for the package.
    virtual SECURITY_STATUS AcquireCredentialsHandle(const std::wstring& wsPackage, CredHandle* phCredential) = 0;
    // Starts a context with the service principal `wsTarget` ("HTTP/host@REALM") and gives the
    // first token: SEC_E_OK or SEC_I_CONTINUE_NEEDED with a token, or a failure.
    virtual SECURITY_STATUS InitializeSecurityContext(const CredHandle& hCredential, const std::wstring& wsTarget,
                                                      CtxtHandle* phContext, std::vector<BYTE>& token) = 0;
    virtual SECURITY_STATUS DeleteSecurityContext(CtxtHandle* phContext) = 0;
    virtual SECURITY_STATUS FreeCredentialsHandle(CredHandle* phCredential) = 0;
    // What the underlying library said about the last failure on this thread, for the log.
    virtual std::wstring LastErrorText() = 0;
};

// The provider in use (the GSSAPI one until SetCurrent installs another).
std::shared_ptr<ISecurityProvider> Current();
// Installs a provider; null restores the GSSAPI one.
void SetCurrent(std::shared_ptr<ISecurityProvider> provider);

}  // namespace Platform::Sspi
