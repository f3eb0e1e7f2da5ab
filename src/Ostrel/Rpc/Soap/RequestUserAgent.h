// The user-agent text that every request carries in its header (userAgent version) and, with the
// product prefix, as its HTTP user agent, e.g. "8.7.1.1661 (6.1.0  en-US) P1f4 T9a0 R12".
#pragma once

#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Rpc {

// "Ostrel-OSN", or "Ostrel-OSB" in the handheld-server edition.
const wchar_t* UserAgentProduct();

// The version text for one request: the process part, " T" and the thread id in hex, and " R" and
// the request number when it is positive.
std::wstring UserAgentVersion(DWORD dwThreadId, LONG requestNumber);
// The same for the calling thread.
std::wstring UserAgentVersion(LONG requestNumber);

// The process part, computed once: product version, the system's version numbers from the kernel
// release (no service pack here), language and country from the locale, and " P" with the process id.
const std::wstring& UserAgentProcessPart();

// How the process part is made, from the kernel release (e.g. "6.1.0-18-amd64"), the locale name
// (e.g. "de_DE.UTF-8"; empty, "C" or "POSIX" mean en-US) and the process id.
std::wstring FormatUserAgentProcessPart(std::string_view sKernelRelease, std::string_view sLocale, DWORD dwProcessId);

}  // namespace Ostrel::Rpc
