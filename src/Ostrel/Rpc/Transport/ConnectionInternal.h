// Shared by the connection's source files only: which calls are sign-ons, and the calling
// thread's flag that keeps their secrets out of the logged bodies.
#pragma once

namespace Ostrel::Rpc::ConnectionInternal {

// AuthRequest, AdminAuthRequest or ChangePasswordRequest: no token is stamped, secrets are masked.
bool IsAuthenticationCall(const wchar_t* pwszCallName);

// Whether bodies logged on this thread now have their secrets masked.
bool IsHidingSecrets();

// Sets the flag for its scope (restored on exit, also through an exception).
class HideSecretsScope {
public:
    explicit HideSecretsScope(bool bHide);
    ~HideSecretsScope();
    HideSecretsScope(const HideSecretsScope&) = delete;
    HideSecretsScope& operator=(const HideSecretsScope&) = delete;

private:
    bool m_bPrevious;
};

}  // namespace Ostrel::Rpc::ConnectionInternal
