// The security provider over MIT GSSAPI: Negotiate is SPNEGO (OID 1.3.6.1.5.5.2) carrying
// Kerberos, the credentials are those of the user's default credential cache, and a service
// principal "HTTP/host@REALM" is imported as a Kerberos principal name.
#pragma once

#include "Platform/Sspi/Sspi.h"

#include <map>
#include <mutex>

namespace Platform::Sspi {

class GssapiProvider : public ISecurityProvider {
public:
    GssapiProvider() = default;
    ~GssapiProvider() override;

    bool GetDomainUser(std::wstring& wsPrincipal, std::wstring& wsRealm) override;
    SECURITY_STATUS EnumerateSecurityPackages(std::vector<std::wstring>& packages) override;
    SECURITY_STATUS AcquireCredentialsHandle(const std::wstring& wsPackage, CredHandle* phCredential) override;
    SECURITY_STATUS InitializeSecurityContext(const CredHandle& hCredential, const std::wstring& wsTarget,
                                              CtxtHandle* phContext, std::vector<BYTE>& token) override;
    SECURITY_STATUS DeleteSecurityContext(CtxtHandle* phContext) override;
    SECURITY_STATUS FreeCredentialsHandle(CredHandle* phCredential) override;
    std::wstring LastErrorText() override;

private:
    // GSSAPI handles by the ids handed out (gss_cred_id_t and gss_ctx_id_t are pointers).
    std::mutex m_mutex;
    ULONGLONG m_ullNextId = 1;
    std::map<ULONGLONG, void*> m_credentials;
    std::map<ULONGLONG, void*> m_contexts;
};

}  // namespace Platform::Sspi
