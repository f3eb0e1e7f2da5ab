#include "Platform/Com/ComApi.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>

namespace {

bool FillRandom(void* pv, size_t cb) {
    auto* p = static_cast<unsigned char*>(pv);
    while (cb > 0) {
        ssize_t n = ::getrandom(p, cb, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

int HexValue(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9')
        return ch - L'0';
    if (ch >= L'a' && ch <= L'f')
        return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F')
        return ch - L'A' + 10;
    return -1;
}

// Reads cDigits hex digits; false on anything else.
bool ReadHex(const wchar_t*& p, int cDigits, uint32_t& value) {
    value = 0;
    for (int i = 0; i < cDigits; ++i) {
        int n = HexValue(p[i]);
        if (n < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(n);
    }
    p += cDigits;
    return true;
}

bool ParseRegistryForm(LPCOLESTR psz, GUID* pguid) {
    if (!psz || !pguid || psz[0] != L'{' || std::wcslen(psz) != 38 || psz[37] != L'}')
        return false;
    const wchar_t* p = psz + 1;
    uint32_t value = 0;
    GUID guid{};
    if (!ReadHex(p, 8, value) || *p++ != L'-')
        return false;
    guid.Data1 = value;
    if (!ReadHex(p, 4, value) || *p++ != L'-')
        return false;
    guid.Data2 = static_cast<WORD>(value);
    if (!ReadHex(p, 4, value) || *p++ != L'-')
        return false;
    guid.Data3 = static_cast<WORD>(value);
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && *p++ != L'-')
            return false;
        if (!ReadHex(p, 2, value))
            return false;
        guid.Data4[i] = static_cast<BYTE>(value);
    }
    *pguid = guid;
    return true;
}

}  // namespace

void* CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb ? cb : 1);
}

void* CoTaskMemRealloc(void* pv, SIZE_T cb) {
    return std::realloc(pv, cb ? cb : 1);
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}

HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid)
        return E_INVALIDARG;
    GUID guid{};
    if (!FillRandom(&guid, sizeof guid))
        return E_FAIL;
    guid.Data3 = static_cast<WORD>((guid.Data3 & 0x0FFF) | 0x4000);
    guid.Data4[0] = static_cast<BYTE>((guid.Data4[0] & 0x3F) | 0x80);
    *pguid = guid;
    return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < 39)
        return 0;
    std::swprintf(lpsz, static_cast<size_t>(cchMax), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rguid.Data1,
                  rguid.Data2, rguid.Data3, rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3],
                  rguid.Data4[4], rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    return 39;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (!lplpsz)
        return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (!*lplpsz)
        return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, *lplpsz, 39);
    return S_OK;
}

HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) {
    return StringFromCLSID(rclsid, lplpsz);
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
    if (!pclsid)
        return E_INVALIDARG;
    return ParseRegistryForm(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (!lpiid)
        return E_INVALIDARG;
    return ParseRegistryForm(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
