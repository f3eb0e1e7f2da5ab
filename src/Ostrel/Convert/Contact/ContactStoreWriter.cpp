#include "Ostrel/Convert/Contact/ContactStoreWriter.h"

#include <new>

#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/Rpc/Requests/ContactImage.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

ContactStoreWriter::ContactStoreWriter(IMsgStore* pStore, IMAPIFolder* pFolder, IdMapper* pItemMapper,
                                       IdMapper* pGalMapper, bool bGal)
    : m_pStore(pStore), m_pFolder(pFolder), m_pItemMapper(pItemMapper), m_pGalMapper(pGalMapper), m_bGal(bGal) {}

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
    if (m_bGal && m_pGalMapper)
        m_pGalMapper->Put(wsKey, 0, pMsg.Get());
    else if (!m_bGal && m_pItemMapper && lId > 0)
        m_pItemMapper->Put(lId, pMsg.Get(), 0);
    if (psEntryId) {
        LPSPropValue pEid = nullptr;
        if (SUCCEEDED(HrGetOneProp(pMsg.Get(), PR_ENTRYID, &pEid)))
            psEntryId->assign(reinterpret_cast<const char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
        MAPIFreeBuffer(pEid);
    }
    return S_OK;
}

}  // namespace Ostrel::Mapi
