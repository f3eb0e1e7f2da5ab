#include "Ostrel/IdMap/IdMapper.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/GalFileMapper.h"
#include "Ostrel/IdMap/IdMapPaths.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

constexpr wchar_t kReservedFolderNameClass[] = L"IPM.Ostrel.Reserved.Folder.Name";

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

}  // namespace

IdMapper::IdMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, _IdMapperType type) : m_type(type) {
    m_tags = GetIdMapperTags(pStore);
    if (type == IdMapperTypeItem || type == IdMapperTypeGal)
        m_pImpl = std::make_unique<FileMapper>(pPrimaryStore, pStore, type == IdMapperTypeGal, this);
    else if (type == IdMapperTypeGalRefs)
        m_pImpl = std::make_unique<GalFileMapper>(pPrimaryStore, pStore, this);
}

IdMapper::~IdMapper() {
    m_pImpl.reset();
}

HRESULT IdMapper::LoadCache() {
    return m_pImpl ? m_pImpl->LoadCache() : MAPI_E_NOT_INITIALIZED;
}
HRESULT IdMapper::LoadAndVerifyIfNec() {
    return m_pImpl ? m_pImpl->LoadAndVerifyIfNec() : MAPI_E_NOT_INITIALIZED;
}
void IdMapper::UnInitIdMapper() {
    if (m_pImpl)
        m_pImpl->UnInitIdMapper();
}
ULONG IdMapper::GetTentativeCount() {
    return m_pImpl ? m_pImpl->GetTentativeCount() : 0;
}
BOOL IdMapper::IsFirstRun() {
    return m_pImpl ? m_pImpl->IsFirstRun() : FALSE;
}
size_t IdMapper::Size() {
    return m_pImpl ? m_pImpl->Size() : 0;
}
void IdMapper::RemoveAll() {
    if (m_pImpl)
        m_pImpl->RemoveAll();
}
void IdMapper::SetBufferModel(int bBuffered) {
    if (m_pImpl)
        m_pImpl->SetBufferModel(bBuffered);
}
void IdMapper::Flush(int bForce) {
    if (m_pImpl)
        m_pImpl->Flush(bForce);
}
void IdMapper::Flush() {
    if (m_pImpl)
        m_pImpl->Flush();
}
BOOL IdMapper::DumpMappings(const wchar_t* pwszPath) {
    return m_pImpl ? m_pImpl->DumpMappings(pwszPath) : FALSE;
}
void IdMapper::UnitTestGetStats(ULONG& a, ULONG& b, ULONG& c, ULONG& d) {
    if (m_pImpl)
        m_pImpl->UnitTestGetStats(a, b, c, d);
}

void IdMapper::Put(LONG lOstId, ULONG cb, BYTE* pEid, int bCheckStamp) {
    if (m_pImpl)
        m_pImpl->Put(lOstId, cb, pEid, bCheckStamp);
}
void IdMapper::Put(LONG lOstId, SBinary* pEid, int bCheckStamp) {
    if (pEid)
        Put(lOstId, pEid->cb, pEid->lpb, bCheckStamp);
}
void IdMapper::Put(LONG lOstId, IMAPIProp* pObj, int bCheckStamp) {
    LPSPropValue pRaw = nullptr;
    if (!pObj || FAILED(HrGetOneProp(pObj, PR_ENTRYID, &pRaw)))
        return;
    std::unique_ptr<SPropValue, MapiFree> pProp(pRaw);
    Put(lOstId, pProp->Value.bin.cb, pProp->Value.bin.lpb, bCheckStamp);
}
void IdMapper::Put(const std::wstring& wsRef, LONG lOstId, ULONG cb, BYTE* pEid) {
    if (m_pImpl)
        m_pImpl->Put(wsRef, lOstId, cb, pEid);
}
void IdMapper::Put(const std::wstring& wsRef, LONG lOstId, SBinary* pEid) {
    if (pEid)
        Put(wsRef, lOstId, pEid->cb, pEid->lpb);
}
void IdMapper::Put(const std::wstring& wsRef, LONG lOstId, IMAPIProp* pObj) {
    LPSPropValue pRaw = nullptr;
    if (!pObj || FAILED(HrGetOneProp(pObj, PR_ENTRYID, &pRaw)))
        return;
    std::unique_ptr<SPropValue, MapiFree> pProp(pRaw);
    Put(wsRef, lOstId, pProp->Value.bin.cb, pProp->Value.bin.lpb);
}

BOOL IdMapper::Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) {
    return m_pImpl && m_pImpl->Get(lOstId, pcb, ppEid);
}
BOOL IdMapper::Get(const std::wstring& wsRef, ULONG* pcb, BYTE** ppEid) {
    return m_pImpl && m_pImpl->Get(wsRef, pcb, ppEid);
}
BOOL IdMapper::Contains(LONG lOstId) {
    return m_pImpl && m_pImpl->Contains(lOstId);
}
BOOL IdMapper::Contains(const std::wstring& wsRef) {
    return m_pImpl && m_pImpl->Contains(wsRef);
}
BOOL IdMapper::Remove(LONG lOstId) {
    return m_pImpl && m_pImpl->Remove(lOstId);
}
BOOL IdMapper::Remove(const std::wstring& wsRef) {
    return m_pImpl && m_pImpl->Remove(wsRef);
}
BOOL IdMapper::RemoveOstID2PstIDMapping(LONG lOstId) {
    return m_pImpl && m_pImpl->RemoveOstID2PstIDMapping(lOstId);
}
void IdMapper::SetRebuildingIDM(int bRebuilding) {
    if (m_pImpl)
        m_pImpl->SetRebuilding(bRebuilding);
}

HRESULT IdMapper::OpenByEntryId(ULONG cb, BYTE* pEid, ULONG* pulObjType, IUnknown** ppObj) {
    IMsgStore* pStore = m_pImpl ? m_pImpl->GetStore() : nullptr;
    if (!pStore)
        return MAPI_E_NOT_INITIALIZED;
    return pStore->OpenEntry(cb, reinterpret_cast<LPENTRYID>(pEid), nullptr, MAPI_BEST_ACCESS, pulObjType, ppObj);
}

IdMapper::Access IdMapper::CheckObject(LONG lOstId, IUnknown* pObj, ULONG ulObjType, ULONG ulPstId) {
    IMAPIProp* pProp = static_cast<IMAPIProp*>(pObj);
    LPSPropValue pRaw = nullptr;
    HRESULT hr = HrGetOneProp(pProp, m_tags.ulOstIdTag, &pRaw);
    std::unique_ptr<SPropValue, MapiFree> pStamp(pRaw);
    const bool bVerifying = IsVerifyingTentative();
    auto deny = [bVerifying](const wchar_t* pwszFormat, auto... args) {
        if (bVerifying)
            OSTLOG_WARN(pwszFormat, args...);
        else
            OSTLOG_ERROR(pwszFormat, args...);
        return Access::Denied;
    };
    if (SUCCEEDED(hr)) {
        if (pStamp->Value.l == lOstId)
            return Access::Allowed;
        return deny(
            L"IDM: OBTAINING OBJECT DENIED DUE TO INCORRECT PR_OSTREL_ID: MAPI obj found but PR_OSTREL_ID is "
            L"%d when it should be %d (PstID: %08X). Denying access.",
            pStamp->Value.l, lOstId, ulPstId);
    }
    if (hr != MAPI_E_NOT_FOUND) {
        OSTLOG_ERROR(
            L"IDM: FAILED TO CHECK IF RIGHT OBJ OPENED: MAPI obj found but failed to read PR_OSTREL_ID when "
            L"it should be %d (PstID: %08X). Allowing access.",
            lOstId, ulPstId);
        return Access::Allowed;
    }
    if (ulObjType == MAPI_MESSAGE) {
        LPSPropValue pClassRaw = nullptr;
        if (SUCCEEDED(HrGetOneProp(pProp, PR_MESSAGE_CLASS_W, &pClassRaw))) {
            std::unique_ptr<SPropValue, MapiFree> pClass(pClassRaw);
            if (pClass->Value.lpszW && ::wcsncasecmp(pClass->Value.lpszW, kReservedFolderNameClass, 31) == 0) {
                OSTLOG_WARN(L"Fixing missing PR_OSTREL_ID on reserved name assoc msg");
                SPropValue value{};
                value.ulPropTag = m_tags.ulOstIdTag;
                value.Value.l = lOstId;
                if (FAILED(hr = HrSetOneProp(pProp, &value))) {
                    OSTLOG_ERROR(L"Failed to correct OstrelID %08X", static_cast<unsigned>(hr));
                    return Access::Denied;
                }
                if (FAILED(hr = pProp->SaveChanges(KEEP_OPEN_READWRITE))) {
                    OSTLOG_ERROR(L"Failed to SaveChanges");
                    return Access::Denied;
                }
                return Access::Allowed;
            }
        }
    }
    return deny(
        L"IDM: OBTAINING OBJECT DENIED DUE TO MISSING PR_OSTREL_ID: MAPI obj found but PR_OSTREL_ID is missing "
        L"when it should be %d (PstID: %08X). Denying access.",
        lOstId, ulPstId);
}

BOOL IdMapper::CheckMappedObject(LONG lOstId, ULONG ulPstId) {
    IMsgStore* pStore = m_pImpl ? m_pImpl->GetStore() : nullptr;
    RecordKey key{};
    if (!pStore || !ReadStoreRecordKey(pStore, &key))
        return FALSE;
    std::string eid = MakePstEntryId(key, ulPstId);
    ULONG ulObjType = 0;
    Platform::ComPtr<IUnknown> pObj;
    if (FAILED(OpenByEntryId(kPstEntryIdSize, reinterpret_cast<BYTE*>(eid.data()), &ulObjType, pObj.AddressOf())))
        return FALSE;
    return CheckObject(lOstId, pObj.Get(), ulObjType, ulPstId) == Access::Allowed;
}

BOOL IdMapper::Get(LONG lOstId, ULONG* pulObjType, IUnknown** ppObj, ULONG* pcb, BYTE** ppEid) {
    if (!pulObjType || !ppObj || !pcb || !ppEid)
        return FALSE;
    *ppObj = nullptr;
    *pulObjType = 0;
    if (!Get(lOstId, pcb, ppEid)) {
        OSTLOG_INFO(16, L"NOT found item with OstID %d", lOstId);
        return FALSE;
    }
    ULONG ulPstId = 0;
    std::memcpy(&ulPstId, *ppEid + 20, sizeof ulPstId);
    auto fail = [&]() {
        if (*ppObj)
            (*ppObj)->Release();
        *ppObj = nullptr;
        *pulObjType = 0;
        MAPIFreeBuffer(*ppEid);
        *ppEid = nullptr;
        *pcb = 0;
        Util::TraceIdMapperGetMessage(4, lOstId, nullptr, 0, L"IdMapper", FALSE);
        OSTLOG_INFO(16, L"NOT found item with OstID %d", lOstId);
        return FALSE;
    };
    if (FAILED(OpenByEntryId(*pcb, *ppEid, pulObjType, ppObj))) {
        *ppObj = nullptr;
        if (!IsVerifyingTentative()) {
            OSTLOG_WARN(L"Failed to open object with OstID %d.", lOstId);
            if (!Remove(lOstId))
                OSTLOG_ERROR(L"Failed to remove orphan record from IDM");
        }
        return fail();
    }
    if (CheckObject(lOstId, *ppObj, *pulObjType, ulPstId) != Access::Allowed)
        return fail();
    Util::TraceIdMapperGetMessage(4, lOstId, *ppEid, *pcb, L"IdMapper", TRUE);
    OSTLOG_INFO(16, L"Found item with OstID %d", lOstId);
    return TRUE;
}

BOOL IdMapper::Get(LONG lOstId, ULONG* pulObjType, IUnknown** ppObj) {
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    const BOOL bFound = Get(lOstId, pulObjType, ppObj, &cb, &pEid);
    MAPIFreeBuffer(pEid);
    return bFound;
}

int RemoveMapperData(IMsgStore* pStore, int bIsGal) {
    std::wstring wsPath;
    if (!GetIDMFilePath(nullptr, pStore, bIsGal ? IdmFileKind::Gal : IdmFileKind::Item, TRUE, &wsPath))
        return -1;
    if (::unlink(Platform::ToUtf8(wsPath).c_str()) != 0 && errno != ENOENT) {
        const int err = errno;
        OSTLOG_ERROR(L"Failed to delete file: %d", err);
        return err;
    }
    return 0;
}

}  // namespace Ostrel::Mapi
