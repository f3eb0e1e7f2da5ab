// The Windows time zone database of the registry, for turning model time zones and Outlook's
// legacy time zone structures into Windows zone key names.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Ostrel::Mapi {

class RegTZMapper {
public:
    struct Record {
        std::wstring wsKeyName;
        std::wstring wsDisplayName;
        Mail::TimeZone::_TZI tzi;
    };

    // The process-wide mapper.
    static RegTZMapper& Instance();
    RegTZMapper() = default;
    RegTZMapper(const RegTZMapper&) = delete;
    RegTZMapper& operator=(const RegTZMapper&) = delete;

    // Replaces the zone's id with the key name of the registry zone that has the same rules,
    // preferring one whose display name names the zone's city. A zone whose id is already a
    // display name is left as it is. MAPI_E_NOT_FOUND when no zone has the same rules.
    HRESULT ConvertToWinTZ(Mail::TimeZone& tz);
    // The key name of the first zone with the rules of Outlook's legacy structure.
    HRESULT GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(const Mail::TimeZone::OlkTimeZone& olk, std::wstring& wsKeyName);
    // By display name (case-insensitive, with or without its "(UTC" prefix).
    HRESULT LookupByDisplayName(const std::wstring& wsName, Record& record);
    // By key name (case-insensitive).
    HRESULT LookupByKeyName(const std::wstring& wsName, Record& record);

private:
    // Once: the registry's zones (the database is generated first where there is none).
    HRESULT Load();
    HRESULT LoadFromRegistry();

    std::mutex m_mutex;
    bool m_bLoaded = false;
    HRESULT m_hrLoad = S_OK;
    std::vector<Record> m_vecRecords;
    std::multimap<LONG, size_t> m_byBias;
    std::map<std::wstring, size_t> m_byDisplayName;
    std::map<std::wstring, size_t> m_byKeyName;
};

}  // namespace Ostrel::Mapi
