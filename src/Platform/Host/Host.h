// Facts about the host client the library runs in, set by the host (the CLI, a test, a desktop
// front end) and read by the library: the client's version, whether it is online, whether it is
// embedded in another program, which application it is, and the test options that let tests make
// the library stop at chosen points. All functions are thread-safe.
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

#include <functional>
#include <string_view>

namespace Platform::Host {

// GetApplicationType() of the mail client itself; other values are the connector's own
// processes (tools, services) in which client-only actions are suppressed.
constexpr int kApplicationClient = 1;
constexpr int kApplicationOther = 0;

struct Version {
    int iMajor = 16;
    int iMinor = 0;
};

Version GetClientVersion();
void SetClientVersion(int iMajor, int iMinor);

// Whether the client works offline. Every SetOffline (changed or not) is reported to the online
// observers, on the calling thread and outside the host's lock.
bool IsOffline();
void SetOffline(bool bOffline);

// Observers of the client's online state (the connection manager keeps its flag in step with
// it). They stay registered across ResetToDefaults, which reports the online default to them.
int AddOnlineObserver(std::function<void(bool bOnline)> observer);
void RemoveOnlineObserver(int iHandle);

// Switching the client to offline mode is the host's business: it installs a switcher. Without
// one, SwitchToOffline just records the offline state (as SetOffline does). `bWait` asks to return only when done.
void SetOfflineSwitcher(std::function<HRESULT(bool bWait)> switcher);
HRESULT SwitchToOffline(bool bWait);

// Embedded: the client runs inside another program and must not show dialogs of its own.
bool IsEmbedded();
void SetEmbedded(bool bEmbedded);

int GetApplicationType();
void SetApplicationType(int iType);

// Set by the host when the calling agent is the handheld server's own agent (its single-user
// configuration is honoured only then).
bool IsHandheldServerAgent();
void SetHandheldServerAgent(bool bAgent);

// The client's main window (null when there is none) and how to ask it to close.
HWND GetClientWindow();
void SetClientWindow(HWND hwnd);
void SetCloseRequestHandler(std::function<void(HWND hwnd)> handler);
// Asks the host to close `hwnd` (the client window when null); false when no handler is installed.
bool RequestClose(HWND hwnd);

// Test options: named switches that are off unless a test turns them on, programmatically or
// through the environment variable OSTREL_TEST_OPTIONS (names separated by commas or blanks).
bool IsTesting(std::wstring_view wsName);
void SetTestOption(std::wstring_view wsName, bool bOn);
// Ends the process at once with `iExitCode`, as a crash would (no clean-up), when the test
// option `wsName` is on; otherwise does nothing.
void TestModeTerminate(std::wstring_view wsName, int iExitCode);

// Back to the defaults above (version 16.0, online, not embedded, client application, no agent,
// no window, no handlers, test options from the environment only); online observers are kept and
// told that the client is online.
void ResetToDefaults();

}  // namespace Platform::Host
