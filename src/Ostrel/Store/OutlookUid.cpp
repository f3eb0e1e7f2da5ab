#include "Ostrel/Store/OutlookUid.h"

#include <cstring>
#include <string>
#include <vector>

#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr BYTE kClassId[16] = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00,
                               0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
constexpr char kVCalMarker[8] = {'v', 'C', 'a', 'l', '-', 'U', 'i', 'd'};
constexpr ULONG kDataSizeOffset = 36;
constexpr ULONG kCreationTimeOffset = 20;
// Marker, version and the UID's terminating zero.
constexpr ULONG kVCalOverhead = 13;

void PutLE32(BYTE* pb, ULONG ul) {
    for (int i = 0; i < 4; ++i)
        pb[i] = static_cast<BYTE>(ul >> (8 * i));
}

HRESULT Build(const BYTE* pData, ULONG cbData, bool bTime, ULONG* pcb, BYTE** ppb) {
    *pcb = 0;
    *ppb = nullptr;
    if (cbData > 0xFFFFFFFFu - kGlobalObjectIdHeaderSize)
        return MAPI_E_INVALID_PARAMETER;
    const ULONG cb = kGlobalObjectIdHeaderSize + cbData;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(cb, &p);
    if (FAILED(hr))
        return hr;
    BYTE* pb = static_cast<BYTE*>(p);
    memset(pb, 0, kGlobalObjectIdHeaderSize);
    memcpy(pb, kClassId, sizeof kClassId);
    if (bTime) {
        const FILETIME ft = Util::CurrentClock().GetSystemTimeAsFileTime();
        PutLE32(pb + kCreationTimeOffset, ft.dwLowDateTime);
        PutLE32(pb + kCreationTimeOffset + 4, ft.dwHighDateTime);
    }
    PutLE32(pb + kDataSizeOffset, cbData);
    if (cbData)
        memcpy(pb + kGlobalObjectIdHeaderSize, pData, cbData);
    *pcb = cb;
    *ppb = pb;
    return S_OK;
}

}  // namespace

HRESULT CreateOutlookUid(ULONG* pcb, BYTE** ppb, const SBinary& data, int bNoTime) {
    if (!pcb || !ppb || (data.cb && !data.lpb))
        return MAPI_E_INVALID_PARAMETER;
    return Build(data.lpb, data.cb, !bNoTime, pcb, ppb);
}

char* OlkUidToICalUid(const SBinary& goid) {
    if (!goid.cb || !goid.lpb)
        return nullptr;
    std::string sUid;
    if (goid.cb > 48 && memcmp(goid.lpb + 40, kVCalMarker, sizeof kVCalMarker) == 0) {
        // The carried UID runs from byte 52 to its zero (or the end of the id).
        const char* psz = reinterpret_cast<const char*>(goid.lpb + 52);
        const size_t cbMax = goid.cb > 52 ? goid.cb - 52 : 0;
        sUid.assign(psz, strnlen(psz, cbMax));
    } else {
        std::wstring wsHex = Util::HexEncode(goid.lpb, goid.cb);
        sUid.assign(wsHex.begin(), wsHex.end());
    }
    void* p = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sUid.size() + 1), &p)))
        return nullptr;
    memcpy(p, sUid.c_str(), sUid.size() + 1);
    return static_cast<char*>(p);
}

BOOL ICalUidToOlkUid(const char* pszUid, SBinary& out) {
    out = {0, nullptr};
    if (!pszUid)
        return FALSE;
    const size_t cchUid = strlen(pszUid);
    std::vector<BYTE> bytes;
    if (cchUid >= 2 * sizeof kClassId && Util::HexDecode(std::string_view(pszUid, cchUid), bytes) &&
        memcmp(bytes.data(), kClassId, sizeof kClassId) == 0 && bytes.size() <= 0xFFFFFFFFu) {
        void* p = nullptr;
        if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &p)))
            return FALSE;
        memcpy(p, bytes.data(), bytes.size());
        out = {static_cast<ULONG>(bytes.size()), static_cast<LPBYTE>(p)};
        return TRUE;
    }
    if (cchUid > 0xFFFFFFFFu - kGlobalObjectIdHeaderSize - kVCalOverhead)
        return FALSE;
    std::vector<BYTE> data(cchUid + kVCalOverhead, 0);
    memcpy(data.data(), kVCalMarker, sizeof kVCalMarker);
    PutLE32(data.data() + 8, 1);
    memcpy(data.data() + 12, pszUid, cchUid);
    ULONG cb = 0;
    BYTE* pb = nullptr;
    if (FAILED(Build(data.data(), static_cast<ULONG>(data.size()), false, &cb, &pb)))
        return FALSE;
    out = {cb, pb};
    return TRUE;
}

BOOL ICalUidToOlkUid(const char* pszUid, SBinary& out, USHORT usYear, ULONG ulMonth, USHORT usDay) {
    if (!ICalUidToOlkUid(pszUid, out))
        return FALSE;
    if (out.cb >= 21) {
        out.lpb[16] = static_cast<BYTE>(usYear >> 8);
        out.lpb[17] = static_cast<BYTE>(usYear);
        out.lpb[18] = static_cast<BYTE>(ulMonth);
        out.lpb[19] = static_cast<BYTE>(usDay);
    } else {
        OSTLOG_ERROR(L"Error. Bad UID buffer length : %d", out.cb);
    }
    return TRUE;
}

}  // namespace Ostrel::Mapi
