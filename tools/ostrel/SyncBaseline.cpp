#include "SyncBaseline.h"

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <set>

namespace OstrelCli {

namespace {

// The property set of the baseline: sync's own, apart from the connector's names.
GUID kBaselineSet = {0x6f5b1c2e, 0x8d43, 0x4a71, {0x9e, 0x0b, 0x52, 0x3c, 0x7a, 0x11, 0xd4, 0x68}};

constexpr ULONG kFlagStatusFlagged = 2;
constexpr wchar_t kFlagBitsName[] = L"SyncFlagBits";

struct Buffer {
    LPSPropValue p = nullptr;
    ~Buffer() { MAPIFreeBuffer(p); }
};

std::string NarrowOf(const SPropValue& value) {
    return PROP_TYPE(value.ulPropTag) == PT_UNICODE ? Platform::ToUtf8(value.Value.lpszW) : std::string();
}

}  // namespace

SyncBaseline::SyncBaseline(IMsgStore* pStore) {
    static const wchar_t* const kNames[] = {L"SyncFolder", L"SyncFlags", L"SyncTags", L"SyncSeq",
                                            L"SyncStamp",  L"SyncName",  L"SyncSize", kFlagBitsName};
    static const ULONG kTypes[] = {PT_LONG, PT_UNICODE, PT_UNICODE, PT_LONG, PT_SYSTIME, PT_UNICODE, PT_LONG, PT_LONG};
    constexpr size_t kCount = std::size(kNames);
    MAPINAMEID names[kCount];
    LPMAPINAMEID pNames[kCount];
    for (size_t i = 0; i < kCount; ++i) {
        names[i].lpguid = &kBaselineSet;
        names[i].ulKind = MNID_STRING;
        names[i].Kind.lpwstrName = const_cast<wchar_t*>(kNames[i]);
        pNames[i] = &names[i];
    }
    LPSPropTagArray pTags = nullptr;
    const HRESULT hr = pStore ? pStore->GetIDsFromNames(kCount, pNames, MAPI_CREATE, &pTags) : MAPI_E_INVALID_PARAMETER;
    if (FAILED(hr) || hr == MAPI_W_ERRORS_RETURNED || !pTags || pTags->cValues != kCount) {
        OSTLOG_ERROR(L"Cannot look up the sync baseline's property names: 0x%08x", hr);
        MAPIFreeBuffer(pTags);
        return;
    }
    ULONG* const pulTags[] = {&m_ulFolder, &m_ulFlags, &m_ulTags, &m_ulSeq,
                              &m_ulStamp,  &m_ulName,  &m_ulSize, &m_ulFlagBits};
    for (size_t i = 0; i < kCount; ++i)
        *pulTags[i] = CHANGE_PROP_TYPE(pTags->aulPropTag[i], kTypes[i]);
    MAPIFreeBuffer(pTags);
    m_bValid = true;
}

ULONG SyncBaseline::FindFlagBitsTag(IMsgStore* pStore) {
    MAPINAMEID name{&kBaselineSet, MNID_STRING, {}};
    name.Kind.lpwstrName = const_cast<wchar_t*>(kFlagBitsName);
    LPMAPINAMEID pName = &name;
    LPSPropTagArray pTags = nullptr;
    ULONG ulTag = PR_NULL;
    if (pStore && pStore->GetIDsFromNames(1, &pName, 0, &pTags) == S_OK && pTags && pTags->cValues == 1 &&
        PROP_TYPE(pTags->aulPropTag[0]) != PT_ERROR && PROP_ID(pTags->aulPropTag[0]) != 0)
        ulTag = CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_LONG);
    MAPIFreeBuffer(pTags);
    return ulTag;
}

HRESULT SyncBaseline::Set(IMAPIProp* pObject, int32_t iFolder, const std::string& sFlags, const std::string& sTags,
                          const std::string* pName, int32_t iSeq, FILETIME ftStamp, int32_t iSize,
                          int32_t iFlagBits) const {
    if (!m_bValid)
        return MAPI_E_CALL_FAILED;
    if (ftStamp.dwLowDateTime == 0 && ftStamp.dwHighDateTime == 0)
        ftStamp = Ostrel::Util::CurrentClock().GetSystemTimeAsFileTime();
    const std::wstring wsFlags = Platform::FromUtf8(sFlags);
    const std::wstring wsTags = Platform::FromUtf8(sTags);
    const std::wstring wsName = pName ? Platform::FromUtf8(*pName) : std::wstring();
    SPropValue values[9] = {};
    ULONG c = 0;
    values[c].ulPropTag = m_ulFolder;
    values[c++].Value.l = iFolder;
    values[c].ulPropTag = m_ulSeq;
    values[c++].Value.l = iSeq;
    values[c].ulPropTag = m_ulStamp;
    values[c++].Value.ft = ftStamp;
    values[c].ulPropTag = PR_LAST_MODIFICATION_TIME;
    values[c++].Value.ft = ftStamp;
    if (pName) {
        values[c].ulPropTag = m_ulName;
        values[c++].Value.lpszW = const_cast<wchar_t*>(wsName.c_str());
    } else {
        values[c].ulPropTag = m_ulFlags;
        values[c++].Value.lpszW = const_cast<wchar_t*>(wsFlags.c_str());
        values[c].ulPropTag = m_ulTags;
        values[c++].Value.lpszW = const_cast<wchar_t*>(wsTags.c_str());
    }
    if (iSize >= 0) {
        values[c].ulPropTag = m_ulSize;
        values[c++].Value.l = iSize;
    }
    if (iFlagBits >= 0) {
        values[c].ulPropTag = m_ulFlagBits;
        values[c++].Value.l = iFlagBits;
    }
    return pObject->SetProps(c, values, nullptr);
}

HRESULT SyncBaseline::Stamp(IMAPIProp* pObject, const ItemBaseline& baseline) const {
    return Set(pObject, baseline.iFolder, ChangeableFlags(baseline.sFlags), NormalTagIds(baseline.sTags), nullptr,
               baseline.iSeq, baseline.ftStamp, baseline.iSize, baseline.iFlagBits);
}

HRESULT SyncBaseline::Stamp(IMAPIFolder* pFolder, const FolderBaseline& baseline) const {
    return Set(pFolder, baseline.iParent, std::string(), std::string(), &baseline.sName, baseline.iSeq,
               baseline.ftStamp, -1, -1);
}

bool SyncBaseline::Read(IMAPIProp* pObject, ItemBaseline& baseline) const {
    if (!m_bValid)
        return false;
    SizedSPropTagArray(7, tags) = {7, {m_ulFolder, m_ulFlags, m_ulTags, m_ulSeq, m_ulStamp, m_ulSize, m_ulFlagBits}};
    ULONG c = 0;
    Buffer values;
    if (FAILED(pObject->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &c, &values.p)) || c != 7 ||
        values.p[0].ulPropTag != m_ulFolder || values.p[4].ulPropTag != m_ulStamp)
        return false;
    baseline.iFolder = values.p[0].Value.l;
    baseline.sFlags = NarrowOf(values.p[1]);
    baseline.sTags = NarrowOf(values.p[2]);
    baseline.iSeq = values.p[3].ulPropTag == m_ulSeq ? values.p[3].Value.l : 0;
    baseline.ftStamp = values.p[4].Value.ft;
    baseline.iSize = values.p[5].ulPropTag == m_ulSize ? values.p[5].Value.l : -1;
    baseline.iFlagBits = values.p[6].ulPropTag == m_ulFlagBits ? values.p[6].Value.l : -1;
    return true;
}

bool SyncBaseline::Read(IMAPIFolder* pFolder, FolderBaseline& baseline) const {
    if (!m_bValid)
        return false;
    SizedSPropTagArray(4, tags) = {4, {m_ulFolder, m_ulName, m_ulSeq, m_ulStamp}};
    ULONG c = 0;
    Buffer values;
    if (FAILED(pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &c, &values.p)) || c != 4 ||
        values.p[0].ulPropTag != m_ulFolder || values.p[3].ulPropTag != m_ulStamp)
        return false;
    baseline.iParent = values.p[0].Value.l;
    baseline.sName = NarrowOf(values.p[1]);
    baseline.iSeq = values.p[2].ulPropTag == m_ulSeq ? values.p[2].Value.l : 0;
    baseline.ftStamp = values.p[3].Value.ft;
    return true;
}

std::string ChangeableFlags(const std::string& sFlags) {
    std::string out;
    for (char letter : {'f', 'u'})
        if (sFlags.find(letter) != std::string::npos)
            out += letter;
    return out;
}

int32_t FlagBits(const std::string& sFlags) {
    Ostrel::Mail::MessageFlags flags;
    flags.FromString(sFlags.c_str());
    return static_cast<int32_t>(flags.Mask());
}

bool HasFlagBit(int32_t iFlagBits, char letter) {
    const char* const pTable = Ostrel::Mail::MessageFlags::m_pcszFlag;
    const char* const pFound = letter ? std::strchr(pTable, letter) : nullptr;
    return iFlagBits >= 0 && pFound && (iFlagBits & (1 << (pFound - pTable))) != 0;
}

std::string NormalTagIds(const std::string& sTags) {
    std::set<int32_t> ids;
    size_t pos = 0;
    while (pos < sTags.size()) {
        size_t end = sTags.find(',', pos);
        if (end == std::string::npos)
            end = sTags.size();
        int32_t id = 0;
        auto [ptr, ec] = std::from_chars(sTags.data() + pos, sTags.data() + end, id);
        if (ec == std::errc() && ptr == sTags.data() + end)
            ids.insert(id);
        pos = end + 1;
    }
    std::string out;
    for (int32_t id : ids)
        out += (out.empty() ? "" : ",") + std::to_string(id);
    return out;
}

ItemState CurrentItemState(IMsgStore* pStore, IMAPIProp* pObject, const Ostrel::Mapi::TagCache& tagList) {
    ItemState state;
    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    const ULONG ulKeywords = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE, pNamed);
    SizedSPropTagArray(3, tags) = {3, {PR_MESSAGE_FLAGS, PR_FLAG_STATUS, ulKeywords}};
    ULONG c = 0;
    Buffer values;
    if (FAILED(pObject->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &c, &values.p)) || c != 3)
        return state;
    std::string flags;
    if (values.p[1].ulPropTag == PR_FLAG_STATUS && values.p[1].Value.l == static_cast<LONG>(kFlagStatusFlagged))
        flags += 'f';
    if (values.p[0].ulPropTag == PR_MESSAGE_FLAGS && !(values.p[0].Value.l & MSGFLAG_READ))
        flags += 'u';
    state.sFlags = flags;
    if (values.p[2].ulPropTag == ulKeywords && values.p[2].Value.MVszW.cValues) {
        std::string ids;
        for (ULONG i = 0; i < values.p[2].Value.MVszW.cValues; ++i) {
            long lId = 0;
            if (tagList.TagId(values.p[2].Value.MVszW.lppszW[i], lId, nullptr))
                ids += (ids.empty() ? "" : ",") + std::to_string(lId);
        }
        state.sTags = NormalTagIds(ids);
    }
    return state;
}

}  // namespace OstrelCli
