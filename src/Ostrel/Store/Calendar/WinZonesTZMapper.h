// IANA ("Olson") zone identifiers to Windows zone names and back, from the CLDR file
// "windowsZones.xml".
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct IXMLDOMDocument2;

namespace Ostrel::Mapi {

class WinZonesTZMapper {
public:
    // The process-wide mapper, reading DefaultPath() on first use.
    static WinZonesTZMapper& Instance();
    // "windowsZones.xml" beside the running module, else the copy installed with CLDR.
    static std::filesystem::path DefaultPath();

    // One mapZone element of the file.
    struct MapZone {
        std::wstring wsOther;      // Windows zone name
        std::wstring wsTerritory;  // "001" for the zone's main identifier
        std::wstring wsType;       // IANA identifiers separated by blanks
    };
    // Every mapZone of the file in file order (for building the Windows zone database).
    static HRESULT ReadMapZones(const std::filesystem::path& path, std::vector<MapZone>& vecZones);

    explicit WinZonesTZMapper(std::filesystem::path path);
    WinZonesTZMapper(const WinZonesTZMapper&) = delete;
    WinZonesTZMapper& operator=(const WinZonesTZMapper&) = delete;

    // Case-insensitive look-ups; MAPI_E_NOT_FOUND when the name is not mapped, the load's
    // failure when the file cannot be read.
    HRESULT OlsonToWin(const std::wstring& wsOlson, std::wstring& wsWindows);
    HRESULT WinToOlson(const std::wstring& wsWindows, std::wstring& wsOlson);

private:
    HRESULT LoadFromWindowsZonesXML();

    const std::filesystem::path m_path;
    std::mutex m_mutex;  // guards the load
    bool m_bLoaded = false;
    HRESULT m_hrLoad = S_OK;
    std::unordered_map<std::wstring, std::wstring> m_mapWinToOlson;
    std::unordered_map<std::wstring, std::wstring> m_mapOlsonToWin;
};

// Lower case as the mappers compare names (ASCII letters; zone names are ASCII).
std::wstring LowerZoneName(std::wstring ws);

}  // namespace Ostrel::Mapi
