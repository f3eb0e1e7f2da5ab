// The text of one log line, built as UTF-8 straight into a buffer:
//   "2024-01-01 10:00:00.123 [pid:tid NAME] TAG Function: message (File.cpp:42)"
// Kept cheap because every line pays for it: the local time of a second and the process and
// thread ids are worked out once per thread, not per line.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

// Appends the time, the ids, the thread name (when there is one) and the tag, with a blank after it.
void AppendLineHead(std::string& sLine, DWORD dwLevel, DWORD dwCategory, bool bError, std::string_view sThreadName);

// Appends " (File.cpp:42)".
void AppendLineLocation(std::string& sLine, std::string_view sFile, int nLine);

}  // namespace Ostrel::Util
