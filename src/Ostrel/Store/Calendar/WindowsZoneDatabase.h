// The Windows time zone database that the registry holds on Windows, built here from ICU's zone
// rules and the CLDR map of Windows zone names: one key per Windows zone under
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Time Zones with its "TZI"
// (the rules in force now) and "Display" ("(UTC+01:00) Amsterdam, Berlin, ...").
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"

#include <filesystem>
#include <string>

namespace Ostrel::Mapi {

inline constexpr const wchar_t* kTimeZonesKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";

// The registry form of an IANA zone's rules near the current time (the injectable clock's), as
// Windows writes it: no seconds, transition times as wall time before each transition. False for
// a zone ICU does not know.
bool WindowsTziForZone(const std::wstring& wsIanaId, Mail::TimeZone::_TZI& tzi);

// Writes every Windows zone the CLDR file names into the registry.
HRESULT GenerateWindowsZoneDatabase(const std::filesystem::path& windowsZonesXml);

}  // namespace Ostrel::Mapi
