#include "Util/Text/Guid.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <random>

#include "Platform/Base/Text.h"
#include "Platform/Com/ComApi.h"

namespace Ostrel::Util {

namespace {

// Parses the 36-character dashed form.
bool ParsePlain(std::wstring_view ws, GUID* pGuid) {
    static constexpr size_t kDashes[] = {8, 13, 18, 23};
    if (ws.size() != 36)
        return false;
    BYTE bytes[16];
    size_t iByte = 0;
    for (size_t i = 0; i < ws.size();) {
        if (std::find(std::begin(kDashes), std::end(kDashes), i) != std::end(kDashes)) {
            if (ws[i] != L'-')
                return false;
            ++i;
            continue;
        }
        int hi = Platform::HexDigitValue(ws[i]);
        int lo = Platform::HexDigitValue(ws[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[iByte++] = static_cast<BYTE>((hi << 4) | lo);
        i += 2;
    }
    pGuid->Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
    pGuid->Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    pGuid->Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    std::memcpy(pGuid->Data4, bytes + 8, 8);
    return true;
}

std::wstring Format(const GUID& guid, bool bBraces, bool bLower) {
    wchar_t wsz[40];
    const wchar_t* pwszFormat = bLower ? L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x"
                                       : L"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X";
    std::swprintf(wsz, 40, pwszFormat, guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return bBraces ? L"{" + std::wstring(wsz) + L"}" : std::wstring(wsz);
}

}  // namespace

Guid Guid::NewGuid() {
    Guid guid;
    if (FAILED(CoCreateGuid(&guid.m_guid))) {
        // The kernel's generator failed: fall back to the library's random device.
        std::random_device device;
        uint32_t words[4];
        for (uint32_t& word : words)
            word = device();
        std::memcpy(&guid.m_guid, words, sizeof words);
        guid.m_guid.Data3 = static_cast<WORD>((guid.m_guid.Data3 & 0x0FFF) | 0x4000);
        guid.m_guid.Data4[0] = static_cast<BYTE>((guid.m_guid.Data4[0] & 0x3F) | 0x80);
    }
    return guid;
}

bool Guid::TryParse(std::wstring_view wsText, Guid* pGuid) {
    if (!pGuid)
        return false;
    if (wsText.size() == 38) {
        if (wsText.front() != L'{' || wsText.back() != L'}')
            return false;
        wsText = wsText.substr(1, 36);
    }
    GUID guid{};
    if (!ParsePlain(wsText, &guid))
        return false;
    pGuid->m_guid = guid;
    return true;
}

bool Guid::TryParse(std::string_view sText, Guid* pGuid) {
    if (sText.size() > 38)
        return false;
    std::wstring ws(sText.begin(), sText.end());  // every valid character is ASCII
    return TryParse(std::wstring_view(ws), pGuid);
}

std::wstring Guid::ToString() const {
    return Format(m_guid, true, false);
}

std::wstring Guid::ToStringNoBraces() const {
    return Format(m_guid, false, false);
}

std::wstring Guid::ToIdString() const {
    return Format(m_guid, false, true);
}

bool Guid::IsNull() const {
    return m_guid == GUID{};
}

bool operator<(const Guid& a, const Guid& b) {
    return std::memcmp(&a.m_guid, &b.m_guid, sizeof(GUID)) < 0;
}

std::wstring GuidToString(const GUID& guid) {
    return Guid(guid).ToString();
}

std::wstring GuidToIdString(const GUID& guid) {
    return Guid(guid).ToIdString();
}

}  // namespace Ostrel::Util
