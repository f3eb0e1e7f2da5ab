#include "Ostrel/Store/ChangeKey.h"

#include <atomic>
#include <cstring>
#include <string>

#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr size_t kGuidSize = 16;
constexpr size_t kCounterSize = 8;
constexpr size_t kXidSize = kGuidSize + kCounterSize;

std::atomic<ULONGLONG> g_ullLastCounter{0};

// The next counter: the clock in 100 ns units, or one more than the last when the clock has not
// moved (or went back).
ULONGLONG NextCounter() {
    const FILETIME ft = Util::CurrentClock().GetSystemTimeAsFileTime();
    const ULONGLONG ullNow = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    ULONGLONG ullLast = g_ullLastCounter.load();
    ULONGLONG ullNext;
    do {
        ullNext = ullNow > ullLast ? ullNow : ullLast + 1;
    } while (!g_ullLastCounter.compare_exchange_weak(ullLast, ullNext));
    return ullNext;
}

bool ReadSignature(IMAPIProp* pProp, BYTE* pSignature) {
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(pProp, PR_MAPPING_SIGNATURE, &pValue);
    bool bOk = SUCCEEDED(hr) && pValue->Value.bin.cb == kGuidSize;
    if (bOk)
        memcpy(pSignature, pValue->Value.bin.lpb, kGuidSize);
    else
        OSTLOG_ERROR(L"could not read the mapping signature, hr: %x", hr);
    MAPIFreeBuffer(pValue);
    return bOk;
}

}  // namespace

BOOL GenerateChangeKey(IMAPIProp* pProp, SBinary& bin) {
    bin = {0, nullptr};
    if (!pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return FALSE;
    }
    BYTE xid[kXidSize];
    if (!ReadSignature(pProp, xid))
        return FALSE;
    ULONGLONG ullCounter = NextCounter();
    for (size_t i = 0; i < kCounterSize; ++i)
        xid[kXidSize - 1 - i] = static_cast<BYTE>(ullCounter >> (8 * i));
    void* p = nullptr;
    if (FAILED(MAPIAllocateBuffer(kXidSize, &p)))
        return FALSE;
    memcpy(p, xid, kXidSize);
    bin = {static_cast<ULONG>(kXidSize), static_cast<LPBYTE>(p)};
    return TRUE;
}

BOOL UpdateChangeKey(IMAPIProp* pProp) {
    SBinary key{0, nullptr};
    if (!GenerateChangeKey(pProp, key))
        return FALSE;
    // The new list: the new key, then every well-formed entry of another signature. A damaged
    // list is replaced rather than carried on.
    std::string list(1, static_cast<char>(key.cb));
    list.append(reinterpret_cast<const char*>(key.lpb), key.cb);
    LPSPropValue pOld = nullptr;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_PREDECESSOR_CHANGE_LIST, &pOld))) {
        const BYTE* pb = pOld->Value.bin.lpb;
        const size_t cb = pOld->Value.bin.cb;
        std::string kept;
        size_t i = 0;
        while (i < cb) {
            const size_t cbEntry = pb[i];
            if (cbEntry <= kGuidSize || cbEntry > kXidSize || i + 1 + cbEntry > cb)
                break;
            if (memcmp(pb + i + 1, key.lpb, kGuidSize) != 0)
                kept.append(reinterpret_cast<const char*>(pb + i), 1 + cbEntry);
            i += 1 + cbEntry;
        }
        if (i == cb)
            list += kept;
    }
    MAPIFreeBuffer(pOld);
    SPropValue values[2]{};
    values[0].ulPropTag = PR_CHANGE_KEY;
    values[0].Value.bin = key;
    values[1].ulPropTag = PR_PREDECESSOR_CHANGE_LIST;
    values[1].Value.bin = {static_cast<ULONG>(list.size()), reinterpret_cast<LPBYTE>(list.data())};
    HRESULT hr = pProp->SetProps(2, values, nullptr);
    MAPIFreeBuffer(key.lpb);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not set the change key, hr: %x", hr);
        return FALSE;
    }
    return TRUE;
}

BOOL UpdateFolderModificationTime(IMAPIProp* pProp, NamedProps* pNamedProps) {
    if (!pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return FALSE;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME, pNamedProps);
    value.Value.ft = Util::CurrentClock().GetSystemTimeAsFileTime();
    HRESULT hr = pProp->SetProps(1, &value, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not set the modification time, hr: %x", hr);
        return FALSE;
    }
    return TRUE;
}

}  // namespace Ostrel::Mapi
