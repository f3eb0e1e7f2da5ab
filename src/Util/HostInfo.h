// The utility library's view of the host client. The facts themselves are kept by the host
// stand-in (Platform/Host), which the host process sets; these are the names the library's
// callers use for them.
#pragma once

#include "Platform/Host/Host.h"

namespace Ostrel::Util {

// The client's major and minor version (for instance 16 and 0).
inline void GetOutlookVersion(int* piMajor, int* piMinor) {
    const Platform::Host::Version version = Platform::Host::GetClientVersion();
    if (piMajor)
        *piMajor = version.iMajor;
    if (piMinor)
        *piMinor = version.iMinor;
}

inline int GetApplicationType() {
    return Platform::Host::GetApplicationType();
}
inline bool IsTesting(std::wstring_view wsName) {
    return Platform::Host::IsTesting(wsName);
}
inline void TestModeTerminate(std::wstring_view wsName, int iExitCode) {
    Platform::Host::TestModeTerminate(wsName, iExitCode);
}
inline HWND FindClientWindow() {
    return Platform::Host::GetClientWindow();
}

// Whether the client works offline.
inline bool IsOutlookOfflineExport() {
    return Platform::Host::IsOffline();
}
// Asks the client to work offline through its own command (the way clients of version 15 and
// later offer it); S_OK once asked, a failure when the client refused.
inline HRESULT SetOutlookOfflineExport() {
    return Platform::Host::SwitchToOffline(false);
}

}  // namespace Ostrel::Util
