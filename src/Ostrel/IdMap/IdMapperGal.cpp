// The checked open of a GAL entry by its reference.
#include <cstring>
#include <memory>

#include "Ostrel/IdMap/IdMapper.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

}  // namespace

BOOL IdMapper::Get(const std::wstring& wsRef, LONG lId, ULONG* pulObjType, IUnknown** ppObj, int /*bReserved*/) {
    if (!pulObjType || !ppObj)
        return FALSE;
    *ppObj = nullptr;
    ULONG cb = 0;
    BYTE* pRawEid = nullptr;
    if (!Get(wsRef, &cb, &pRawEid)) {
        OSTLOG_INFO(16, L"NOT found item with Ref='%s'", wsRef.c_str());
        return FALSE;
    }
    std::unique_ptr<BYTE, MapiFree> pEid(pRawEid);
    ULONG ulPstId = 0;
    std::memcpy(&ulPstId, pEid.get() + 20, sizeof ulPstId);
    Platform::ComPtr<IUnknown> pObj;
    if (FAILED(OpenByEntryId(cb, pEid.get(), pulObjType, pObj.AddressOf()))) {
        OSTLOG_WARN(L"Present in mapper but not in PST for ref='%s', id=%d -> removing from mapper", wsRef.c_str(),
                    lId);
        Remove(wsRef);
        OSTLOG_INFO(16, L"NOT found item with Ref='%s'", wsRef.c_str());
        return FALSE;
    }
    auto* pProp = static_cast<IMAPIProp*>(pObj.Get());
    bool bChanged = false;
    LPSPropValue pRaw = nullptr;
    HRESULT hr = HrGetOneProp(pProp, m_tags.ulUniqueIdTag, &pRaw);
    std::unique_ptr<SPropValue, MapiFree> pUnique(pRaw);
    if (FAILED(hr) || !pUnique->Value.lpszW || wsRef != pUnique->Value.lpszW) {
        if (FAILED(hr))
            OSTLOG_WARN(L"Mapi Object has no UniqueId '%s', OUT PSTId=%d). . Correcting...", wsRef.c_str(), ulPstId);
        else
            OSTLOG_WARN(
                L"Mapi object has incorrect UniqueId (IN Ref = '%s', OUT UniqueId='%s', OUT PSTId=%d). "
                L"Correcting...",
                wsRef.c_str(), pUnique->Value.lpszW ? pUnique->Value.lpszW : L"", ulPstId);
        SPropValue value{};
        value.ulPropTag = m_tags.ulUniqueIdTag;
        value.Value.lpszW = const_cast<wchar_t*>(wsRef.c_str());
        if (FAILED(hr = HrSetOneProp(pProp, &value)))
            OSTLOG_ERROR(L"Failed to correct UniqueId %08X", static_cast<unsigned>(hr));
        bChanged = SUCCEEDED(hr);
    }
    pRaw = nullptr;
    hr = HrGetOneProp(pProp, m_tags.ulOstIdTag, &pRaw);
    std::unique_ptr<SPropValue, MapiFree> pStamp(pRaw);
    if (FAILED(hr) && lId != 0) {
        OSTLOG_WARN(L"Mapi Object has no OstrelID %d, OUT PSTId=%d). . Correcting...", lId, ulPstId);
        SPropValue value{};
        value.ulPropTag = m_tags.ulOstIdTag;
        value.Value.l = lId;
        if (SUCCEEDED(HrSetOneProp(pProp, &value)))
            bChanged = true;
    } else if (SUCCEEDED(hr) && lId != 0 && pStamp->Value.l != lId) {
        OSTLOG_ERROR(
            L"Found mapi object with UniqueId '%s', but it has OstrelId %d whereas caller is expecting it to "
            L"be %d. (PstId:%d)",
            wsRef.c_str(), pStamp->Value.l, lId, ulPstId);
    }
    if (bChanged && FAILED(pProp->SaveChanges(KEEP_OPEN_READWRITE)))
        OSTLOG_ERROR(L"Failed to SaveChanges");
    OSTLOG_INFO(16, L"Found item with Ref='%s'", wsRef.c_str());
    *ppObj = pObj.Detach();
    return TRUE;
}

}  // namespace Ostrel::Mapi
