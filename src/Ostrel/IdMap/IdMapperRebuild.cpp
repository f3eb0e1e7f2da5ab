// Rebuilding a map by scanning the store for stamped objects.
#include <memory>

#include "Ostrel/IdMap/IdMapper.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr ULONG kRowsPerQuery = 100;

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
struct RowsFree {
    void operator()(SRowSet* p) const { FreeProws(p); }
};

}  // namespace

HRESULT IdMapper::ProcessTableContents(IMAPITable* pTable, Util::GenericProgressDlg* pProgress) {
    if (!pTable)
        return E_INVALIDARG;
    const bool bGal = m_type == IdMapperTypeGalRefs;
    return ForEachStampedRow(pTable, m_tags, bGal, [&](const SRow& row) {
        if (row.cValues >= 2 && row.lpProps[0].ulPropTag == PR_ENTRYID &&
            row.lpProps[1].ulPropTag == m_tags.ulOstIdTag) {
            const LONG lOstId = row.lpProps[1].Value.l;
            if (!bGal)
                Put(lOstId, &row.lpProps[0].Value.bin, TRUE);
            else if (row.cValues > 2 && row.lpProps[2].ulPropTag == m_tags.ulUniqueIdTag && row.lpProps[2].Value.lpszW)
                Put(std::wstring(row.lpProps[2].Value.lpszW), lOstId, &row.lpProps[0].Value.bin);
            else
                OSTLOG_ERROR(L"No unique id!");
        }
        if (++m_ulProcessed % kRowsPerQuery == 0 && pProgress)
            pProgress->StepIt();
    });
}

HRESULT IdMapper::ProcessFolder(IMAPIFolder* pFolder, int bRecurse, Util::GenericProgressDlg* pProgress) {
    if (!pFolder)
        return E_INVALIDARG;
    SizedSPropTagArray(6, props) = {
        6, {PR_CONTENT_COUNT, PR_DISPLAY_NAME_W, PR_SUBFOLDERS, PR_ENTRYID, m_tags.ulOstIdTag, m_tags.ulUniqueIdTag}};
    ULONG cValues = 0;
    LPSPropValue pRaw = nullptr;
    HRESULT hr = pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&props), MAPI_UNICODE, &cValues, &pRaw);
    std::unique_ptr<SPropValue, MapiFree> pProps(pRaw);
    if (FAILED(hr) || cValues != 6)
        return FAILED(hr) ? hr : E_FAIL;
    const wchar_t* pwszName =
        pRaw[1].ulPropTag == PR_DISPLAY_NAME_W && pRaw[1].Value.lpszW ? pRaw[1].Value.lpszW : L"Unknown";
    OSTLOG_INFO(4, L"Processing folder '%s'.", pwszName);
    if (m_type != IdMapperTypeGalRefs && pRaw[4].ulPropTag == m_tags.ulOstIdTag && pRaw[3].ulPropTag == PR_ENTRYID) {
        Put(pRaw[4].Value.l, &pRaw[3].Value.bin, TRUE);
        if (++m_ulProcessed % kRowsPerQuery == 0 && pProgress)
            pProgress->StepIt();
    }
    if (pRaw[0].ulPropTag == PR_CONTENT_COUNT && pRaw[0].Value.l != 0) {
        Platform::ComPtr<IMAPITable> pTable;
        if (FAILED(hr = pFolder->GetContentsTable(MAPI_UNICODE, pTable.AddressOf())) ||
            FAILED(hr = ProcessTableContents(pTable.Get(), pProgress))) {
            OSTLOG_ERROR(L"Failed processing folder content for folder '%s'.", pwszName);
            return hr;
        }
        if (FAILED(hr = pFolder->GetContentsTable(MAPI_UNICODE | MAPI_ASSOCIATED, pTable.AddressOf())) ||
            FAILED(hr = ProcessTableContents(pTable.Get(), pProgress))) {
            OSTLOG_ERROR(L"Failed processing folder associated content for folder '%s'.", pwszName);
            return hr;
        }
    }
    if (!bRecurse || pRaw[2].ulPropTag != PR_SUBFOLDERS || !pRaw[2].Value.b)
        return S_OK;
    Platform::ComPtr<IMAPITable> pHierarchy;
    if (FAILED(hr = pFolder->GetHierarchyTable(0, pHierarchy.AddressOf())))
        return hr;
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    if (FAILED(hr = pHierarchy->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)))
        return hr;
    for (;;) {
        LPSRowSet pRowsRaw = nullptr;
        if (FAILED(hr = pHierarchy->QueryRows(kRowsPerQuery, 0, &pRowsRaw)))
            return hr;
        std::unique_ptr<SRowSet, RowsFree> pRows(pRowsRaw);
        if (!pRows || pRows->cRows == 0)
            return S_OK;
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            SBinary& eid = pRows->aRow[i].lpProps[0].Value.bin;
            ULONG ulType = 0;
            Platform::ComPtr<IUnknown> pUnk;
            IMsgStore* pStore = m_pImpl ? m_pImpl->GetStore() : nullptr;
            if (!pStore ||
                FAILED(pStore->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, MAPI_BEST_ACCESS,
                                         &ulType, pUnk.AddressOf())) ||
                ulType != MAPI_FOLDER)
                continue;
            if (FAILED(hr = ProcessFolder(static_cast<IMAPIFolder*>(pUnk.Get()), bRecurse, pProgress))) {
                OSTLOG_ERROR(L"Failed processing subfolder of folder '%s'", pwszName);
                return hr;
            }
        }
    }
}

HRESULT IdMapper::RebuildFromPstObjects(IMsgStore* pStore) {
    if (!m_pImpl || !pStore)
        return E_FAIL;
    SetRebuildingIDM(TRUE);
    Platform::ComPtr<IMAPIFolder> pGal;
    HRESULT hr = OpenGalFolder(pStore, pGal.AddressOf());
    if (SUCCEEDED(hr)) {
        RemoveAll();
        LPSPropValue pRaw = nullptr;
        ULONG ulCount = 0;
        if (SUCCEEDED(HrGetOneProp(pGal.Get(), PR_CONTENT_COUNT, &pRaw)))
            ulCount = static_cast<ULONG>(pRaw->Value.l);
        MAPIFreeBuffer(pRaw);
        Util::GenericProgressDlg progress(kProgressCaption,
                                          L"Reconstructing GAL mapping data.  Do not shutdown outlook.");
        progress.SetRange(0, ulCount ? ulCount : 50000);
        progress.SetStep(kRowsPerQuery);
        Util::CurrentClock().Sleep(500);
        hr = ProcessFolder(pGal.Get(), 1, &progress);
    }
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to process GAL folder for store. Error 0x%x", static_cast<unsigned>(hr));
    SetRebuildingIDM(FALSE);
    return hr;
}

}  // namespace Ostrel::Mapi
