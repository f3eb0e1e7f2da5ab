#include "Ostrel/Convert/Contact/ContactStoreWriter.h"

#include <new>

#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Ostrel/Rpc/Requests/ContactImage.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

ContactStoreWriter::ContactStoreWriter(IMsgStore* pStore, IMAPIFolder* pFolder, IdMapper* pItemMapper,
                                       IdMapper* pGalMapper, bool bGal)
    : m_pStore(pStore), m_pFolder(pFolder), m_pItemMapper(pItemMapper), m_pGalMapper(pGalMapper), m_bGal(bGal) {}

ContactStoreWriter::~ContactStoreWriter() {
    if (m_pBatch && !m_pending.empty())
        OSTLOG_ERROR(L"%zu contacts were not committed and are not in the store", m_pending.size());
    // The rollback before the mapper's lock goes, so that no other process waits for the store
    // while holding it.
    m_pBatch.reset();
    m_mapperHold.reset();
}

HRESULT ContactStoreWriter::BeginBatch() {
    if (!m_pStore || !m_pFolder)
        return E_INVALIDARG;
    if (m_pBatch)
        return S_OK;
    HRESULT hr = ListUnmapped();
    if (FAILED(hr))
        return hr;
    auto pBatch = std::make_unique<Platform::Mapi::StoreBatch>(m_pStore);
    if (FAILED(pBatch->Begun())) {
        OSTLOG_INFO(4, L"Contacts are saved one by one: the store cannot batch them (%08x)", pBatch->Begun());
        return S_OK;
    }
    m_pBatch = std::move(pBatch);
    m_cBatchPuts = 0;
    return S_OK;
}

HRESULT ContactStoreWriter::EndBatch() {
    if (!m_pBatch)
        return S_OK;
    const HRESULT hr = m_pBatch->End();
    if (SUCCEEDED(hr)) {
        for (const Pending& pending : m_pending)
            Record(pending.wsKey, pending.lId, pending.sEid);
    } else if (!m_pending.empty()) {
        OSTLOG_ERROR(L"The commit of %zu contacts failed: %08x", m_pending.size(), hr);
    }
    m_pending.clear();
    m_pBatch.reset();
    m_mapperHold.reset();
    m_unmappedGal.clear();
    m_unmappedItems.clear();
    return hr;
}

HRESULT ContactStoreWriter::ListUnmapped() {
    m_unmappedGal.clear();
    m_unmappedItems.clear();
    IdMapper* pMapper = Mapper();
    if (!pMapper)
        return S_OK;
    const IdMapperTags tags = pMapper->GetTags();
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = m_pFolder->GetContentsTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    Util::AutoCrossProcessLock lock(pMapper->GetLock());
    return ForEachStampedRow(pTable.Get(), tags, m_bGal, [&](const SRow& row) {
        if (row.cValues < 2 || row.lpProps[0].ulPropTag != PR_ENTRYID || row.lpProps[1].ulPropTag != tags.ulOstIdTag)
            return;
        const SBinary& eid = row.lpProps[0].Value.bin;
        std::string sEid(reinterpret_cast<const char*>(eid.lpb), eid.cb);
        if (m_bGal) {
            if (row.cValues > 2 && row.lpProps[2].ulPropTag == tags.ulUniqueIdTag && row.lpProps[2].Value.lpszW &&
                *row.lpProps[2].Value.lpszW && !pMapper->Contains(std::wstring(row.lpProps[2].Value.lpszW)))
                m_unmappedGal.emplace(row.lpProps[2].Value.lpszW, std::move(sEid));
        } else if (const LONG lId = row.lpProps[1].Value.l; lId > 0 && !pMapper->Contains(lId)) {
            m_unmappedItems.emplace(lId, std::move(sEid));
        }
    });
}

void ContactStoreWriter::Record(const std::wstring& wsKey, LONG lId, const std::string& sEid) {
    auto* pEid = reinterpret_cast<BYTE*>(const_cast<char*>(sEid.data()));
    if (m_bGal && m_pGalMapper)
        m_pGalMapper->Put(wsKey, 0, static_cast<ULONG>(sEid.size()), pEid);
    else if (!m_bGal && m_pItemMapper && lId > 0)
        m_pItemMapper->Put(lId, static_cast<ULONG>(sEid.size()), pEid, 0);
}

void ContactStoreWriter::RecordCommitted() {
    const uint64_t ullCommitted = m_pBatch->Committed();
    while (!m_pending.empty() && m_pending.front().ullSave <= ullCommitted) {
        const Pending& pending = m_pending.front();
        Record(pending.wsKey, pending.lId, pending.sEid);
        if (m_bGal)
            m_unmappedGal.erase(pending.wsKey);
        else
            m_unmappedItems.erase(pending.lId);
        m_pending.pop_front();
    }
    if (m_pending.empty() && m_pBatch->Saves() == ullCommitted)
        m_mapperHold.reset();
}

std::wstring ContactStoreWriter::GalKey(const Mail::Contact& contact) {
    return contact.GetUniqueId().empty() ? contact.GalRef() : contact.GetUniqueId();
}

HRESULT ContactStoreWriter::OpenOrCreate(const Mail::Contact& contact, IMessage** ppMsg, bool* pbNew) {
    *pbNew = false;
    ULONG ulType = 0;
    Platform::ComPtr<IUnknown> pObj;
    BOOL bFound = FALSE;
    if (m_bGal && m_pGalMapper && !GalKey(contact).empty())
        bFound = m_pGalMapper->Get(GalKey(contact), 0, &ulType, pObj.AddressOf(), 0);
    else if (!m_bGal && m_pItemMapper && contact.GetContId() > 0)
        bFound = m_pItemMapper->Get(contact.GetContId(), &ulType, pObj.AddressOf());
    if (bFound && pObj && ulType == MAPI_MESSAGE) {
        *ppMsg = static_cast<IMessage*>(pObj.Detach());
        return S_OK;
    }
    // A message a crashed run saved but did not map.
    std::string sEid;
    if (auto it = m_unmappedGal.find(GalKey(contact)); m_bGal && it != m_unmappedGal.end()) {
        sEid = std::move(it->second);
        m_unmappedGal.erase(it);
    } else if (auto itId = m_unmappedItems.find(contact.GetContId()); !m_bGal && itId != m_unmappedItems.end()) {
        sEid = std::move(itId->second);
        m_unmappedItems.erase(itId);
    }
    if (!sEid.empty() &&
        SUCCEEDED(m_pStore->OpenEntry(static_cast<ULONG>(sEid.size()), reinterpret_cast<LPENTRYID>(sEid.data()),
                                      &IID_IMessage, MAPI_MODIFY, &ulType, pObj.AddressOf())) &&
        ulType == MAPI_MESSAGE) {
        *ppMsg = static_cast<IMessage*>(pObj.Detach());
        return S_OK;
    }
    *pbNew = true;
    return m_pFolder->CreateMessage(nullptr, 0, ppMsg);
}

HRESULT ContactStoreWriter::Put(const Mail::Contact& contact, const std::string* pPhoto, std::string* psEntryId) {
    try {
        return DoPut(contact, pPhoto, psEntryId);
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT ContactStoreWriter::DoPut(const Mail::Contact& contact, const std::string* pPhoto, std::string* psEntryId) {
    if (!m_pStore || !m_pFolder)
        return E_INVALIDARG;
    if (m_bGal && GalKey(contact).empty()) {
        OSTLOG_ERROR(L"Global address list entry without a reference -- not written");
        return E_INVALIDARG;
    }
    // The lookup and the mapping of one entry under one hold of the GAL lock, which both would
    // otherwise take by themselves: half the lock's system calls per entry of a large list.
    Util::AutoCrossProcessLock galLock(m_bGal && m_pGalMapper ? m_pGalMapper->GetLock() : nullptr);
    // In a batch the mapper's lock is taken before the store's write lock and kept until the
    // contacts waiting for a commit are mapped: the order other writers take them in.
    if (m_pBatch && !m_mapperHold && Mapper())
        m_mapperHold.emplace(Mapper()->GetLock());
    Platform::ComPtr<IMessage> pMsg;
    bool bNew = false;
    HRESULT hr = OpenOrCreate(contact, pMsg.AddressOf(), &bNew);
    if (FAILED(hr))
        return hr;
    std::string sFetched;
    // A GAL entry's number is derived from its textual id, not an item the content service knows.
    if (!pPhoto && m_pConnection && !m_bGal) {
        try {
            if (Rpc::FetchContactImage(*m_pConnection, contact, sFetched))
                pPhoto = &sFetched;
        } catch (const Rpc::RpcException& e) {
            OSTLOG_ERROR(L"Failed to fetch the image of contact %d: %ls (%ls)", contact.GetContId(), e.ExcepType(),
                         e.ExcepText() ? e.ExcepText() : L"");
        }
    }
    // Looked up once for the writer: every contact goes into the same store.
    if (!m_pProps)
        m_pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore);
    L2MContactConverter converter(&contact, nullptr, m_pItemMapper, m_pGalMapper);
    converter.SetNamedProps(m_pProps);
    if (pPhoto) {
        const wchar_t* pwszName = contact.GetImageAttachmentInfo().GetFileName();
        converter.SetPhoto(*pPhoto, pwszName ? pwszName : L"");
    }
    converter.SetAliasSlotsCheck(m_bGal);
    converter.SetStore(m_pStore);
    converter.SetNewMessage(bNew);
    if (!converter.Convert(pMsg.Get(), m_bGal, false))
        return MAPI_E_CALL_FAILED;

    NamedProps* pProps = m_pProps;
    SPropValue stamps[2]{};
    ULONG cStamps = 0;
    // A GAL entry's number is only derived from its textual id (a hash, or the leading digits),
    // so two entries may share one: they are stamped 0 and mapped by reference alone.
    LONG lId = m_bGal ? 0 : contact.GetContId();
    if (pProps && (m_bGal || lId > 0)) {
        stamps[cStamps].ulPropTag = pProps->GetPropTag(NamedProps::OSTREL_ID, PT_LONG);
        stamps[cStamps++].Value.l = lId;
    }
    std::wstring wsKey = GalKey(contact);
    if (pProps && m_bGal) {
        stamps[cStamps].ulPropTag = pProps->GetPropTag(NamedProps::GAL_UNIQUE_ID, PT_UNICODE);
        stamps[cStamps++].Value.lpszW = wsKey.data();
    }
    if (cStamps && FAILED(hr = pMsg->SetProps(cStamps, stamps, nullptr)))
        return hr;
    if (FAILED(hr = pMsg->SaveChanges(KEEP_OPEN_READWRITE))) {
        OSTLOG_ERROR(L"SaveChanges of contact %d failed: %08x", contact.GetContId(), hr);
        return hr;
    }
    if (!m_pBatch) {
        if (m_bGal && m_pGalMapper)
            m_pGalMapper->Put(wsKey, 0, pMsg.Get());
        else if (!m_bGal && m_pItemMapper && lId > 0)
            m_pItemMapper->Put(lId, pMsg.Get(), 0);
    }
    std::string sEid;
    LPSPropValue pEid = nullptr;
    if (SUCCEEDED(hr = HrGetOneProp(pMsg.Get(), PR_ENTRYID, &pEid)))
        sEid.assign(reinterpret_cast<const char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
    MAPIFreeBuffer(pEid);
    if (psEntryId)
        *psEntryId = sEid;
    if (!m_pBatch)
        return S_OK;
    if (FAILED(hr))
        return hr;  // the mapping could not be recorded
    // Until its mapping is recorded, the mapper does not know the message: a second Put of the
    // same contact in this batch finds it here instead of making a second copy.
    if (m_bGal)
        m_unmappedGal[wsKey] = sEid;
    else if (lId > 0)
        m_unmappedItems[lId] = sEid;
    m_pending.push_back({m_pBatch->Saves(), m_bGal ? wsKey : std::wstring(), lId, std::move(sEid)});
    if (++m_cBatchPuts % kBatchContacts == 0)
        return Commit();
    RecordCommitted();
    return S_OK;
}

HRESULT ContactStoreWriter::Commit() {
    if (!m_pBatch)
        return S_OK;
    const HRESULT hr = m_pBatch->Commit();
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The commit of %zu contacts failed: %08x", m_pending.size(), hr);
        m_pending.clear();
        return hr;
    }
    RecordCommitted();
    return S_OK;
}

}  // namespace Ostrel::Mapi
