#include "Ostrel/IdMap/MsgMapper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/ProgressDlg.h"
#include "Util/Text/Localized.h"

namespace Ostrel::Mapi {

namespace {

// {D71B028E-5C1F-4D4F-8505-D1C6C4885BF9}
constexpr GUID kMsgMapperPropSet = {0xD71B028E, 0x5C1F, 0x4D4F, {0x85, 0x05, 0xD1, 0xC6, 0xC4, 0x88, 0x5B, 0xF9}};
constexpr wchar_t kTypeName[] = L"MsgMapper";

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
struct RowsFree {
    void operator()(SRowSet* p) const { FreeProws(p); }
};

std::string BinOf(const SPropValue& v) {
    return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
}

HRESULT OpenChild(IMAPIFolder* pParent, const wchar_t* pwszName, bool bCreate, IMAPIFolder** ppFolder,
                  BOOL* pbCreated = nullptr) {
    // Opening an existing folder by creating it with OPEN_IF_EXISTS tells a new one apart by
    // asking first.
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pParent->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
    bool bExists = false;
    if (SUCCEEDED(hr)) {
        SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_W}};
        LPSRowSet pRaw = nullptr;
        if (SUCCEEDED(
                HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRaw))) {
            std::unique_ptr<SRowSet, RowsFree> pRows(pRaw);
            for (ULONG i = 0; i < pRows->cRows && !bExists; ++i)
                bExists = pRows->aRow[i].lpProps[0].ulPropTag == PR_DISPLAY_NAME_W &&
                          std::wstring(pRows->aRow[i].lpProps[0].Value.lpszW) == pwszName;
        }
    }
    if (!bExists && !bCreate)
        return MAPI_E_NOT_FOUND;
    if (pbCreated)
        *pbCreated = !bExists;
    return pParent->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(pwszName), nullptr, nullptr,
                                 MAPI_UNICODE | OPEN_IF_EXISTS, ppFolder);
}

}  // namespace

MsgMapper::MsgMapper(IMsgStore* pStore, IdMapper* pOwner) : IIdMapperImpl(pStore, pOwner) {
    if (FAILED(Init()))
        m_pBase = nullptr;
}

HRESULT MsgMapper::Init() {
    MAPINAMEID names[3] = {};
    LPMAPINAMEID pNames[3] = {&names[0], &names[1], &names[2]};
    const wchar_t* const kNames[3] = {L"TargetOstrelId", L"ItemEntryId", L"MappingEntryId"};
    for (int i = 0; i < 3; ++i) {
        names[i].lpguid = const_cast<GUID*>(&kMsgMapperPropSet);
        names[i].ulKind = MNID_STRING;
        names[i].Kind.lpwstrName = const_cast<wchar_t*>(kNames[i]);
    }
    LPSPropTagArray pRaw = nullptr;
    HRESULT hr = m_pStore ? m_pStore->GetIDsFromNames(3, pNames, MAPI_CREATE, &pRaw) : E_INVALIDARG;
    std::unique_ptr<SPropTagArray, MapiFree> pTags(pRaw);
    if (FAILED(hr) || !pTags || pTags->cValues != 3) {
        OSTLOG_ERROR(L"Unable to get namedProps for MsgMapper: (%x)", static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_FAIL;
    }
    for (int i = 0; i < 3; ++i)
        OSTLOG_INFO(64, L"Named Prop %d: (%x)", i, pTags->aulPropTag[i]);
    m_ulTargetIdTag = CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_LONG);
    m_ulItemEidTag = CHANGE_PROP_TYPE(pTags->aulPropTag[1], PT_BINARY);
    m_ulMappingEidTag = CHANGE_PROP_TYPE(pTags->aulPropTag[2], PT_BINARY);
    Platform::ComPtr<IMAPIFolder> pRoot;
    if (FAILED(hr = OpenRootFolder(m_pStore, pRoot.AddressOf())) ||
        FAILED(hr = OpenChild(pRoot.Get(), L"~IdMapper", true, m_pBase.AddressOf(), &m_bCreatedBase))) {
        OSTLOG_ERROR(L"Unable to create MsgMapper base folder named %s (%x)", L"~IdMapper", static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

HRESULT MsgMapper::GetMappingFolder(LONG lOstId, bool bCreate, IMAPIFolder** ppFolder) {
    if (!m_pBase)
        return MAPI_E_NOT_INITIALIZED;
    const std::wstring wsName = std::to_wstring(lOstId / kIdsPerFolder);
    OSTLOG_INFO(64, L"folder name for id(%x) = %s", lOstId, wsName.c_str());
    return OpenChild(m_pBase.Get(), wsName.c_str(), bCreate, ppFolder);
}

HRESULT MsgMapper::LoadCache() {
    if (!m_pBase)
        return MAPI_E_NOT_INITIALIZED;
    m_mapMappings.clear();
    Platform::ComPtr<IMAPITable> pFolders;
    HRESULT hr = m_pBase->GetHierarchyTable(MAPI_UNICODE, pFolders.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(1, folderCols) = {1, {PR_ENTRYID}};
    LPSRowSet pRaw = nullptr;
    if (FAILED(hr = HrQueryAllRows(pFolders.Get(), reinterpret_cast<LPSPropTagArray>(&folderCols), nullptr, nullptr, 0,
                                   &pRaw)))
        return hr;
    std::unique_ptr<SRowSet, RowsFree> pFolderRows(pRaw);
    for (ULONG f = 0; f < pFolderRows->cRows; ++f) {
        const SBinary& eid = pFolderRows->aRow[f].lpProps[0].Value.bin;
        ULONG ulType = 0;
        Platform::ComPtr<IMAPIFolder> pFolder;
        if (FAILED(m_pStore->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMAPIFolder, 0, &ulType,
                                       reinterpret_cast<IUnknown**>(pFolder.AddressOf()))))
            continue;
        Platform::ComPtr<IMAPITable> pTable;
        if (FAILED(pFolder->GetContentsTable(MAPI_ASSOCIATED, pTable.AddressOf())))
            continue;
        SizedSPropTagArray(3, cols) = {3, {m_ulTargetIdTag, m_ulItemEidTag, PR_ENTRYID}};
        LPSRowSet pRowsRaw = nullptr;
        if (FAILED(
                HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRowsRaw)))
            continue;
        std::unique_ptr<SRowSet, RowsFree> pRows(pRowsRaw);
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SPropValue* p = pRows->aRow[i].lpProps;
            if (p[0].ulPropTag != m_ulTargetIdTag || p[1].ulPropTag != m_ulItemEidTag || p[2].ulPropTag != PR_ENTRYID)
                continue;
            m_mapMappings[p[0].Value.l] = Mapping{BinOf(p[1]), BinOf(p[2])};
        }
    }
    return S_OK;
}

BOOL MsgMapper::Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) {
    OSTLOG_INFO(64, L"id(%x)", lOstId);
    auto it = m_mapMappings.find(lOstId);
    if (it == m_mapMappings.end() || !pcb || !ppEid) {
        OSTLOG_INFO(16, L"id(%x) not in hash", lOstId);
        Util::TraceIdMapperGetMessage(4, lOstId, nullptr, 0, kTypeName, FALSE);
        return FALSE;
    }
    const std::string& eid = it->second.sItemEid;
    if (MAPIAllocateBuffer(ULONG(eid.size()), reinterpret_cast<LPVOID*>(ppEid)) != S_OK)
        return FALSE;
    std::memcpy(*ppEid, eid.data(), eid.size());
    *pcb = ULONG(eid.size());
    OSTLOG_INFO(64, L"%hs: id(%x) found.", "MsgMapper::Get", lOstId);
    Util::TraceIdMapperGetMessage(4, lOstId, *ppEid, *pcb, kTypeName, TRUE);
    return TRUE;
}

HRESULT MsgMapper::DeleteMappingMessage(LONG lOstId, const Mapping& mapping) {
    Platform::ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = GetMappingFolder(lOstId, false, pFolder.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"unable to open mapping folder for id(%x)", lOstId);
        return hr;
    }
    SBinary bin{ULONG(mapping.sMappingEid.size()),
                reinterpret_cast<LPBYTE>(const_cast<char*>(mapping.sMappingEid.data()))};
    ENTRYLIST list{1, &bin};
    if (FAILED(hr = pFolder->DeleteMessages(&list, 0, nullptr, 0)))
        OSTLOG_ERROR(L"unable to DeleteMessage of mapping message for id(%x) %x", lOstId, static_cast<unsigned>(hr));
    return hr;
}

HRESULT MsgMapper::UpdateMapping(LONG lOstId, const std::string& sItemEid) {
    Platform::ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = GetMappingFolder(lOstId, true, pFolder.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"unable to open mapping folder for id(%x)", lOstId);
        return hr;
    }
    Platform::ComPtr<IMessage> pMsg;
    if (FAILED(hr = pFolder->CreateMessage(nullptr, MAPI_ASSOCIATED, pMsg.AddressOf()))) {
        OSTLOG_ERROR(L"unable to create mapping message for id(%x)", lOstId);
        return hr;
    }
    SPropValue values[2] = {};
    values[0].ulPropTag = m_ulTargetIdTag;
    values[0].Value.l = lOstId;
    values[1].ulPropTag = m_ulItemEidTag;
    values[1].Value.bin = SBinary{ULONG(sItemEid.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(sItemEid.data()))};
    if (FAILED(hr = pMsg->SetProps(2, values, nullptr)) || FAILED(hr = pMsg->SaveChanges(KEEP_OPEN_READWRITE)))
        return hr;
    LPSPropValue pRaw = nullptr;
    if (FAILED(hr = HrGetOneProp(pMsg.Get(), PR_ENTRYID, &pRaw))) {
        OSTLOG_ERROR(L"unable to get entry-id of mapping message (%x)", static_cast<unsigned>(hr));
        return hr;
    }
    std::unique_ptr<SPropValue, MapiFree> pEid(pRaw);
    // A second message for the same id would make the next load pick either one: the old goes.
    if (auto it = m_mapMappings.find(lOstId); it != m_mapMappings.end())
        DeleteMappingMessage(lOstId, it->second);
    m_mapMappings[lOstId] = Mapping{sItemEid, BinOf(*pEid)};
    return S_OK;
}

void MsgMapper::Put(LONG lOstId, ULONG cb, BYTE* pEid, BOOL) {
    OSTLOG_INFO(16, L"adding entry for id(%x)", lOstId);
    const bool bOk = pEid && SUCCEEDED(UpdateMapping(lOstId, std::string(reinterpret_cast<char*>(pEid), cb)));
    if (bOk)
        OSTLOG_INFO(16, L"mapping added successfully for id(%x)", lOstId);
    Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, bOk);
}

BOOL MsgMapper::Remove(LONG lOstId) {
    auto it = m_mapMappings.find(lOstId);
    if (it == m_mapMappings.end()) {
        OSTLOG_INFO(16, L"entry not found for id(%x)", lOstId);
        return FALSE;
    }
    if (FAILED(DeleteMappingMessage(lOstId, it->second)))
        return FALSE;
    m_mapMappings.erase(it);
    OSTLOG_INFO(16, L"mapping removed successfully for id(%x)", lOstId);
    return TRUE;
}

BOOL MsgMapper::DumpMappings(const wchar_t* pwszPath) {
    if (!pwszPath)
        return FALSE;
    std::string sText;
    for (const auto& [lOstId, mapping] : m_mapMappings) {
        sText += std::to_string(lOstId) + " ";
        for (unsigned char c : mapping.sItemEid) {
            char sz[3];
            std::snprintf(sz, sizeof sz, "%02X", c);
            sText += sz;
        }
        sText += "\n";
    }
    const int fd =
        ::open(Platform::ToUtf8(pwszPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return FALSE;
    const bool bOk = ::write(fd, sText.data(), sText.size()) == static_cast<ssize_t>(sText.size());
    return ::close(fd) == 0 && bOk;
}

HRESULT MigrateMsgMapperToFileMapper(IMsgStore* pStore) {
    Util::GenericProgressDlg progress(kProgressCaption, Util::GetLocalizedString("IDMAP_LOADING"));
    progress.SetMarquee(true);
    OSTLOG_INFO(4, L"Migrating id mapper: loading old data");
    MsgMapper old(pStore, nullptr);
    old.LoadCache();
    IdMapper mapper(nullptr, pStore, IdMapperTypeItem);
    mapper.LoadCache();
    OSTLOG_INFO(1, L"Migrating id mapper: %d items", static_cast<int>(old.Size()));
    progress.SetText(Util::GetLocalizedString("IDMAP_APPLY_PERF"));
    progress.SetMarquee(false);
    progress.SetRange(0, static_cast<ULONG>(old.Size()));
    progress.SetStep(100);
    size_t cDone = 0;
    old.ForEach([&](LONG lOstId, const std::string& sEid) {
        mapper.Put(lOstId, ULONG(sEid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(sEid.data())), TRUE);
        if (++cDone % 100 == 0)
            progress.StepIt();
    });
    return S_OK;
}

}  // namespace Ostrel::Mapi
