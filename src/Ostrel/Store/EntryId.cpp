#include "Ostrel/Store/EntryId.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Ostrel/Store/Memory.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

CEntryID::CEntryID(ULONG cb, const ENTRYID* pEntryId) {
    InitEntry(cb, reinterpret_cast<const BYTE*>(pEntryId));
}

CEntryID::CEntryID(const SBinary& bin) {
    InitEntry(bin.cb, bin.lpb);
}

CEntryID::CEntryID(const CEntryID& other) {
    InitEntry(other.m_bin.cb, other.m_bin.lpb);
}

CEntryID::CEntryID(CEntryID&& other) noexcept : m_bin(std::exchange(other.m_bin, SBinary{0, nullptr})) {}

CEntryID::CEntryID(IMAPIProp* pProp, ULONG ulTag) {
    ExtractEntryID(pProp, ulTag);
}

CEntryID::~CEntryID() {
    Clear();
}

CEntryID& CEntryID::operator=(const CEntryID& other) {
    if (this != &other)
        InitEntry(other.m_bin.cb, other.m_bin.lpb);
    return *this;
}

CEntryID& CEntryID::operator=(CEntryID&& other) noexcept {
    if (this != &other) {
        Clear();
        m_bin = std::exchange(other.m_bin, SBinary{0, nullptr});
    }
    return *this;
}

CEntryID& CEntryID::operator=(const SBinary& bin) {
    if (bin.lpb != m_bin.lpb)
        InitEntry(bin.cb, bin.lpb);
    return *this;
}

bool CEntryID::operator==(const SBinary& bin) const {
    return m_bin.cb == bin.cb && (m_bin.cb == 0 || memcmp(m_bin.lpb, bin.lpb, m_bin.cb) == 0);
}

bool CEntryID::operator==(const CEntryID& other) const {
    return *this == other.m_bin;
}

bool CEntryID::operator<(const CEntryID& other) const {
    if (IsEmpty() || other.IsEmpty())
        return IsEmpty() && !other.IsEmpty();
    const int iCmp = memcmp(m_bin.lpb, other.m_bin.lpb, std::min(m_bin.cb, other.m_bin.cb));
    return iCmp < 0 || (iCmp == 0 && m_bin.cb < other.m_bin.cb);
}

void CEntryID::Clear() {
    Memory::FreeBuffer(m_bin.lpb);
    m_bin = {0, nullptr};
}

bool CEntryID::InitEntry(ULONG cb, const BYTE* pb) {
    SBinary bin{0, nullptr};
    if (cb && pb) {
        void* p = nullptr;
        if (FAILED(Memory::AllocateBuffer(cb, &p))) {
            OSTLOG_ERROR(L"could not allocate %u bytes", cb);
            Clear();
            return false;
        }
        memcpy(p, pb, cb);
        bin = {cb, static_cast<LPBYTE>(p)};
    }
    Clear();
    m_bin = bin;
    return true;
}

HRESULT CEntryID::ExtractEntryID(IMAPIProp* pProp, ULONG ulTag) {
    Clear();
    if (!pProp)
        return E_INVALIDARG;
    if (PROP_TYPE(ulTag) != PT_BINARY)
        return MAPI_E_INVALID_TYPE;
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(pProp, ulTag, &pValue);
    if (SUCCEEDED(hr) && !InitEntry(pValue->Value.bin.cb, pValue->Value.bin.lpb))
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    MAPIFreeBuffer(pValue);
    return hr;
}

bool CMAPIUID::operator==(const CMAPIUID& other) const {
    return memcmp(m_uid.ab, other.m_uid.ab, 16) == 0;
}

bool CMAPIUID::operator<(const CMAPIUID& other) const {
    return memcmp(m_uid.ab, other.m_uid.ab, 16) < 0;
}

}  // namespace Ostrel::Mapi
