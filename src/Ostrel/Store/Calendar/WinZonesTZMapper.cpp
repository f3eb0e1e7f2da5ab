// The CLDR Windows zone map.
#include "Ostrel/Store/Calendar/WinZonesTZMapper.h"

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Xml/Dom.h"
#include "Util/Log/Log.h"

#include <dlfcn.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace Ostrel::Mapi {

namespace {

constexpr const char* kInstalledCldrFile = "/usr/share/unicode/cldr/common/supplemental/windowsZones.xml";

// The XML layer refuses document type declarations. The CLDR file's only names its DTD, which
// nothing here needs, so it is dropped; one with an internal subset is left for the parser to
// refuse.
void DropExternalDoctype(std::string& sXml) {
    const size_t iStart = sXml.find("<!DOCTYPE");
    if (iStart == std::string::npos)
        return;
    const size_t iEnd = sXml.find('>', iStart);
    if (iEnd == std::string::npos || sXml.find('[', iStart) < iEnd)
        return;
    sXml.erase(iStart, iEnd + 1 - iStart);
}

HRESULT SelectMapZones(IXMLDOMDocument2* pDoc, const wchar_t* pwszXPath, IXMLDOMNodeList** ppList, long& cNodes) {
    HRESULT hr = pDoc->selectNodes(pwszXPath, ppList);
    if (FAILED(hr))
        return hr;
    return (*ppList)->get_length(&cNodes);
}

// Reads and parses the file
// Reads and parses the file, logging what fails.
HRESULT LoadDocument(const std::filesystem::path& path, Platform::ComPtr<IXMLDOMDocument2>& pDoc) {
    const std::wstring wsPath = Platform::FromUtf8(path.string());
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const HRESULT hr = HRESULT_FROM_WIN32(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        OSTLOG_ERROR(L"Cannot open '%s' : 0x%x", wsPath.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        const HRESULT hr = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
        OSTLOG_ERROR(L"Failed to read '%s' : 0x%x", wsPath.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    std::string sXml = text.str();
    DropExternalDoctype(sXml);

    HRESULT hr = Platform::Xml::CreateDocument(pDoc.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"CoCreateInstance failed : 0x%x", static_cast<unsigned>(hr));
        return hr;
    }
    hr = pDoc->loadXMLBytes(sXml);
    if (hr != S_OK) {
        hr = FAILED(hr) ? hr : E_FAIL;
        OSTLOG_ERROR(L"Failed to load timezone maps: 0x%x", static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

}  // namespace

std::wstring LowerZoneName(std::wstring ws) {
    for (wchar_t& c : ws)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return ws;
}

WinZonesTZMapper& WinZonesTZMapper::Instance() {
    static WinZonesTZMapper s_mapper(DefaultPath());
    return s_mapper;
}

std::filesystem::path WinZonesTZMapper::DefaultPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&WinZonesTZMapper::DefaultPath), &info) && info.dli_fname) {
        std::error_code ec;
        const std::filesystem::path beside = std::filesystem::path(info.dli_fname).parent_path() / "windowsZones.xml";
        if (std::filesystem::exists(beside, ec))
            return beside;
    }
    return kInstalledCldrFile;
}

WinZonesTZMapper::WinZonesTZMapper(std::filesystem::path path) : m_path(std::move(path)) {
    // Both maps start small and grow as Windows' hash maps of the same shape do.
    m_mapWinToOlson.max_load_factor(1.0f);
    m_mapWinToOlson.rehash(8);
    m_mapOlsonToWin.max_load_factor(1.0f);
    m_mapOlsonToWin.rehash(8);
}

HRESULT WinZonesTZMapper::ReadMapZones(const std::filesystem::path& path, std::vector<MapZone>& vecZones) {
    vecZones.clear();
    Platform::ComPtr<IXMLDOMDocument2> pDoc;
    HRESULT hr = LoadDocument(path, pDoc);
    if (FAILED(hr))
        return hr;
    Platform::ComPtr<IXMLDOMNodeList> pList;
    long cNodes = 0;
    if (FAILED(hr = SelectMapZones(pDoc.Get(), L"/supplementalData/windowsZones/mapTimezones/mapZone",
                                   pList.AddressOf(), cNodes)))
        return hr;
    for (long i = 0; i < cNodes; ++i) {
        Platform::ComPtr<IXMLDOMNode> pNode;
        Platform::ComPtr<IXMLDOMElement> pElement;
        if (FAILED(pList->get_item(i, pNode.AddressOf())) || !pNode || FAILED(pNode.As(&pElement)))
            continue;
        MapZone zone;
        if (pElement->getAttribute(L"other", zone.wsOther) == S_OK &&
            pElement->getAttribute(L"type", zone.wsType) == S_OK) {
            pElement->getAttribute(L"territory", zone.wsTerritory);
            vecZones.push_back(std::move(zone));
        }
    }
    return S_OK;
}

HRESULT WinZonesTZMapper::LoadFromWindowsZonesXML() {
    Platform::ComPtr<IXMLDOMDocument2> pDoc;
    HRESULT hr = LoadDocument(m_path, pDoc);
    if (FAILED(hr))
        return hr;

    Platform::ComPtr<IXMLDOMNodeList> pList;
    long cNodes = 0;
    hr = SelectMapZones(pDoc.Get(),
                        L"/supplementalData/windowsZones/mapTimezones/mapZone[@territory='001' or "
                        L"@territory='Z-LEGACY']",
                        pList.AddressOf(), cNodes);
    if (FAILED(hr))
        return hr;
    OSTLOG_INFO(16, L"Populating m_mapWinToOlson - %d nodes", static_cast<int>(cNodes));
    auto ForEachZone = [&](auto&& take) {
        for (long i = 0; i < cNodes; ++i) {
            Platform::ComPtr<IXMLDOMNode> pNode;
            Platform::ComPtr<IXMLDOMElement> pElement;
            if (FAILED(pList->get_item(i, pNode.AddressOf())) || !pNode || FAILED(pNode.As(&pElement)))
                continue;
            std::wstring wsOther, wsType;
            if (pElement->getAttribute(L"other", wsOther) != S_OK || pElement->getAttribute(L"type", wsType) != S_OK)
                continue;
            take(wsOther, wsType);
        }
    };
    // The first value inserted for a key stays.
    ForEachZone([&](const std::wstring& wsOther, const std::wstring& wsType) {
        OSTLOG_INFO(64, L"  %-30s >> %s", wsOther.c_str(), wsType.c_str());
        m_mapWinToOlson.emplace(LowerZoneName(wsOther), wsType);
    });

    pList.Reset();
    hr = SelectMapZones(pDoc.Get(), L"/supplementalData/windowsZones/mapTimezones/mapZone[@territory!='Z-LEGACY']",
                        pList.AddressOf(), cNodes);
    if (FAILED(hr))
        return hr;
    OSTLOG_INFO(16, L"Populating m_mapOlsonToWin - %d nodes", static_cast<int>(cNodes));
    // A type attribute that lists several identifiers is one key, as the file's readers of old
    // took it; only identifiers that stand alone are found.
    ForEachZone([&](const std::wstring& wsOther, const std::wstring& wsType) {
        m_mapOlsonToWin.emplace(LowerZoneName(wsType), wsOther);
    });
    return S_OK;
}

HRESULT WinZonesTZMapper::OlsonToWin(const std::wstring& wsOlson, std::wstring& wsWindows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bLoaded) {
        m_hrLoad = LoadFromWindowsZonesXML();
        m_bLoaded = true;
    }
    if (FAILED(m_hrLoad))
        return m_hrLoad;
    auto it = m_mapOlsonToWin.find(LowerZoneName(wsOlson));
    if (it == m_mapOlsonToWin.end())
        return MAPI_E_NOT_FOUND;
    wsWindows = it->second;
    return S_OK;
}

HRESULT WinZonesTZMapper::WinToOlson(const std::wstring& wsWindows, std::wstring& wsOlson) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bLoaded) {
        m_hrLoad = LoadFromWindowsZonesXML();
        m_bLoaded = true;
    }
    if (FAILED(m_hrLoad))
        return m_hrLoad;
    auto it = m_mapWinToOlson.find(LowerZoneName(wsWindows));
    if (it == m_mapWinToOlson.end())
        return MAPI_E_NOT_FOUND;
    wsOlson = it->second;
    return S_OK;
}

}  // namespace Ostrel::Mapi
