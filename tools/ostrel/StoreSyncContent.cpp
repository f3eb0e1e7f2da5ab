// StoreSync: contacts, groups, appointments and tasks, whose content the server sends apart from
// the listing.
#include "StoreSync.h"

#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

#include <algorithm>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

// Entries deleted with one call on the folder, under one hold of the GAL lock.
constexpr size_t kGalDeleteBatch = 200;

uint64_t Ticks(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::string EntryIdOf(IMAPIProp* pObject) {
    LPSPropValue pValue = nullptr;
    if (FAILED(HrGetOneProp(pObject, PR_ENTRYID, &pValue)))
        return std::string();
    std::string eid(reinterpret_cast<const char*>(pValue->Value.bin.lpb), pValue->Value.bin.cb);
    MAPIFreeBuffer(pValue);
    return eid;
}

}  // namespace

bool StoreSync::HasContentEdit(IMessage* pMessage) {
    ItemBaseline baseline;
    LPSPropValue pModified = nullptr;
    if (!m_mailbox.Baseline().Read(pMessage, baseline) ||
        FAILED(HrGetOneProp(pMessage, PR_LAST_MODIFICATION_TIME, &pModified)))
        return false;
    const bool bEdited = Ticks(pModified->Value.ft) > Ticks(baseline.ftStamp);
    MAPIFreeBuffer(pModified);
    return bEdited;
}

HRESULT StoreSync::StampItem(IMessage* pMessage, int32_t iId, const ItemBaseline& listed) {
    SPropValue stamp{m_mailbox.OstrelIdTag(), 0, {}};
    stamp.Value.l = iId;
    ItemBaseline baseline = listed;
    baseline.ftStamp = FILETIME{};  // now
    HRESULT hr = pMessage->SetProps(1, &stamp, nullptr);
    if (SUCCEEDED(hr))
        hr = m_mailbox.Baseline().Stamp(pMessage, baseline);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    return hr;
}

void StoreSync::WriteContact(const Ostrel::Mail::Contact& contact, const ItemBaseline& listed) {
    const int32_t iId = contact.GetContId();
    const int32_t iFolder = listed.iFolder;
    Located located = Locate(iId);
    if (located.pMessage && HasContentEdit(located.pMessage.Get()))
        KeepConflictCopy(located.pMessage.Get(), iId);
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = OpenFolder(iFolder, pFolder.AddressOf());
    std::string eid;
    if (SUCCEEDED(hr)) {
        Ostrel::Mapi::ContactStoreWriter writer(m_mailbox.Store(), pFolder.Get(), &m_mailbox.Items(), &m_mailbox.Gal(),
                                                false);
        writer.SetConnection(m_pAttachmentSource);
        hr = writer.Put(contact, nullptr, &eid);
    }
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    if (SUCCEEDED(hr))
        hr = m_mailbox.Store()->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                          &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf());
    ComPtr<IMessage> pMessage(static_cast<IMessage*>(pUnk.Get()));
    // The writer updates a contact where it is: a move on the server is followed here.
    if (SUCCEEDED(hr) && CurrentFolderOf(pMessage.Get()) != iFolder) {
        hr = MoveMessage(pMessage.Get(), iFolder);
        pUnk.Reset();
        if (SUCCEEDED(hr))
            hr = m_mailbox.Store()->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                              &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf());
        pMessage = ComPtr<IMessage>(static_cast<IMessage*>(pUnk.Get()));
    }
    if (SUCCEEDED(hr))
        hr = StampItem(pMessage.Get(), iId, listed);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Contact %d could not be written: 0x%08x", iId, hr);
        ++m_counts.cFailed;
        return;
    }
    ++m_counts.cItems;
}

HRESULT StoreSync::OpenGalFolder(bool bCreate) {
    if (m_pGalFolder)
        return S_OK;
    if (!bCreate)
        return Ostrel::Mapi::OpenGalFolder(m_mailbox.Store(), m_pGalFolder.AddressOf());
    // Below the root, beside the IPM subtree: the address list is the server's, not the mailbox's.
    ComPtr<IMAPIFolder> pRoot;
    HRESULT hr = Ostrel::Mapi::OpenRootFolder(m_mailbox.Store(), pRoot.AddressOf());
    if (SUCCEEDED(hr))
        hr = pRoot->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(kGalFolder), nullptr, nullptr,
                                 MAPI_UNICODE | OPEN_IF_EXISTS, m_pGalFolder.AddressOf());
    SPropValue cls{PR_CONTAINER_CLASS_W, 0, {}};
    cls.Value.lpszW = const_cast<wchar_t*>(L"IPF.Contact");
    if (SUCCEEDED(hr))
        hr = m_pGalFolder->SetProps(1, &cls, nullptr);
    if (SUCCEEDED(hr))
        hr = m_pGalFolder->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        m_pGalFolder.Reset();
    return hr;
}

void StoreSync::BeginGalListing() {
    if (FAILED(OpenGalFolder(true)))
        return;  // each entry reports it
    m_pGalWriter = std::make_unique<Ostrel::Mapi::ContactStoreWriter>(m_mailbox.Store(), m_pGalFolder.Get(),
                                                                      &m_mailbox.Items(), &m_mailbox.Gal(), true);
    if (FAILED(m_pGalWriter->BeginBatch()))
        m_pGalWriter.reset();  // saved one by one
}

HRESULT StoreSync::CommitGalBatch() {
    const HRESULT hr = m_pGalWriter ? m_pGalWriter->Commit() : S_OK;
    // A failed commit fails the rest of its batch.
    if (FAILED(hr))
        m_pGalWriter.reset();
    return hr;
}

bool StoreSync::CommitGalEntries() {
    const HRESULT hr = CommitGalBatch();
    if (SUCCEEDED(hr))
        return true;
    OSTLOG_ERROR(L"The address list entries of this page could not be saved: 0x%08x", hr);
    ++m_counts.cFailed;
    return false;
}

void StoreSync::EndGalListing() {
    m_pGalWriter.reset();
}

void StoreSync::WriteGalEntry(const Ostrel::Mail::Contact& entry) {
    HRESULT hr = OpenGalFolder(true);
    if (SUCCEEDED(hr) && m_pGalWriter) {
        hr = m_pGalWriter->Put(entry);
    } else if (SUCCEEDED(hr)) {
        Ostrel::Mapi::ContactStoreWriter writer(m_mailbox.Store(), m_pGalFolder.Get(), &m_mailbox.Items(),
                                                &m_mailbox.Gal(), true);
        hr = writer.Put(entry);
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Address list entry %s could not be written: 0x%08x",
                     Ostrel::Mapi::ContactStoreWriter::GalKey(entry).c_str(), hr);
        ++m_counts.cFailed;
        return;
    }
    ++m_counts.cGal;
}

void StoreSync::DeleteGalWhere(const std::function<bool(const std::wstring&)>& gone, std::set<std::wstring>& done) {
    HRESULT hr = OpenGalFolder(false);
    if (hr == MAPI_E_NOT_FOUND)
        return;  // nothing was ever written
    const Ostrel::Mapi::IdMapperTags& tags = m_mailbox.Gal().GetTags();
    std::vector<std::pair<std::wstring, std::string>> doomed;  // key, entry id
    ComPtr<IMAPITable> pTable;
    if (SUCCEEDED(hr))
        hr = m_pGalFolder->GetContentsTable(MAPI_UNICODE, pTable.AddressOf());
    if (SUCCEEDED(hr))
        hr = Ostrel::Mapi::ForEachStampedRow(pTable.Get(), tags, true, [&](const SRow& row) {
            const SPropValue& eid = row.lpProps[0];
            const SPropValue& key = row.lpProps[2];
            if (eid.ulPropTag == PR_ENTRYID && key.ulPropTag == tags.ulUniqueIdTag && gone(key.Value.lpszW))
                doomed.emplace_back(key.Value.lpszW,
                                    std::string(reinterpret_cast<const char*>(eid.Value.bin.lpb), eid.Value.bin.cb));
        });
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The address list's folder could not be read for deletions: 0x%08x", hr);
        ++m_counts.cFailed;
        return;
    }
    for (size_t first = 0; first < doomed.size(); first += kGalDeleteBatch) {
        const size_t last = std::min(doomed.size(), first + kGalDeleteBatch);
        std::vector<SBinary> eids;
        for (size_t i = first; i < last; ++i)
            eids.push_back(
                {static_cast<ULONG>(doomed[i].second.size()), reinterpret_cast<BYTE*>(doomed[i].second.data())});
        ENTRYLIST list{static_cast<ULONG>(eids.size()), eids.data()};
        // The object before its mapping: a mapping left without its object is dropped when the
        // mapper next meets it, while an object left without a mapping would be written twice.
        Ostrel::Util::AutoCrossProcessLock lock(m_mailbox.Gal().GetLock());
        hr = m_pGalFolder->DeleteMessages(&list, 0, nullptr, 0);
        // During a listing the deletion joins its batch: it must be in the file before the
        // mappings go.
        if (SUCCEEDED(hr))
            hr = CommitGalBatch();
        for (size_t i = first; i < last; ++i) {
            const std::wstring& wsKey = doomed[i].first;
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"Address list entry %s could not be deleted: 0x%08x", wsKey.c_str(), hr);
                ++m_counts.cFailed;
                continue;
            }
            m_mailbox.Gal().Remove(wsKey);
            OSTLOG_INFO(1, L"Address list entry %s deleted", wsKey.c_str());
            ++m_counts.cGalDeleted;
            done.insert(wsKey);
        }
    }
}

void StoreSync::DeleteGalEntries(const std::set<std::wstring>& keys) {
    if (keys.empty())
        return;
    std::set<std::wstring> done;
    DeleteGalWhere([&keys](const std::wstring& wsKey) { return keys.count(wsKey) > 0; }, done);
    for (const std::wstring& wsKey : keys) {
        Ostrel::Util::AutoCrossProcessLock lock(m_mailbox.Gal().GetLock());
        if (!done.count(wsKey) && m_mailbox.Gal().Contains(wsKey)) {
            m_mailbox.Gal().Remove(wsKey);
            OSTLOG_INFO(1, L"Address list entry %s was gone from the store; its mapping is dropped", wsKey.c_str());
        }
    }
}

void StoreSync::DeleteUnlistedGalEntries(const std::unordered_set<size_t>& listed) {
    std::set<std::wstring> done;
    DeleteGalWhere([&listed](const std::wstring& wsKey) { return !listed.count(GalKeyHash(wsKey)); }, done);
}

void StoreSync::WriteCalendarItem(int32_t iId, Ostrel::Mail::Appointment& item, bool bTask,
                                  const ItemBaseline& listed) {
    const int32_t iFolder = listed.iFolder;
    Located located = Locate(iId);
    ComPtr<IMessage> pTarget = located.pMessage;
    HRESULT hr = S_OK;
    if (pTarget && HasContentEdit(pTarget.Get()))
        KeepConflictCopy(pTarget.Get(), iId);
    if (pTarget && CurrentFolderOf(pTarget.Get()) != iFolder) {
        std::string eid = EntryIdOf(pTarget.Get());
        hr = MoveMessage(pTarget.Get(), iFolder);
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (SUCCEEDED(hr))
            hr = m_mailbox.Store()->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                              &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf());
        pTarget = ComPtr<IMessage>(static_cast<IMessage*>(pUnk.Get()));
    }
    ComPtr<IMAPIFolder> pFolder;
    const bool bNew = !pTarget;
    if (SUCCEEDED(hr) && bNew) {
        hr = OpenFolder(iFolder, pFolder.AddressOf());
        if (SUCCEEDED(hr))
            hr = pFolder->CreateMessage(nullptr, 0, pTarget.AddressOf());
        // Stamped before the conversion saves it, so that a run cut short finds it again.
        SPropValue stamp{m_mailbox.OstrelIdTag(), 0, {}};
        stamp.Value.l = iId;
        if (SUCCEEDED(hr))
            hr = pTarget->SetProps(1, &stamp, nullptr);
    }
    bool bLogged = false;
    wchar_t* pwszError = nullptr;
    wchar_t* pwszWarning = nullptr;
    if (SUCCEEDED(hr) && !m_pAddrBook)
        hr = Platform::Mapi::CreateAddrBook(m_pAddrBook.AddressOf());
    if (SUCCEEDED(hr)) {
        int iConverted = 0;
        if (bTask) {
            Ostrel::Mail::OstrelToOLTask converter;
            converter.SetAttachmentSource(m_pAttachmentSource);
            iConverted = converter.ConvertTask(m_mailbox.Store(), item, pTarget.Get(), m_pAddrBook.Get(), L"", 0,
                                               &pwszError, &pwszWarning);
        } else {
            Ostrel::Mail::OstrelToOLAppt converter;
            converter.SetAttachmentSource(m_pAttachmentSource);
            iConverted = converter.ConvertAppt(m_mailbox.Store(), item, pTarget.Get(), m_pAddrBook.Get(), L"", {}, 0,
                                               &pwszError, &pwszWarning);
        }
        if (!iConverted) {
            OSTLOG_ERROR(L"%s %d could not be written: %s", bTask ? L"Task" : L"Appointment", iId,
                         pwszError ? pwszError : L"");
            if (bNew && pFolder) {
                // Nothing half-written stays.
                std::string eid = EntryIdOf(pTarget.Get());
                SBinary bin{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data())};
                ENTRYLIST list{1, &bin};
                if (!eid.empty())
                    pFolder->DeleteMessages(&list, 0, nullptr, 0);
            }
            hr = E_FAIL;
            bLogged = true;
        }
    }
    Ostrel::Util::SafeDelete(pwszError);
    Ostrel::Util::SafeDelete(pwszWarning);
    if (SUCCEEDED(hr))
        hr = StampItem(pTarget.Get(), iId, listed);
    if (FAILED(hr)) {
        if (!bLogged)
            OSTLOG_ERROR(L"Item %d could not be written: 0x%08x", iId, hr);
        ++m_counts.cFailed;
        return;
    }
    m_mailbox.Items().Put(iId, pTarget.Get(), FALSE);
    ++m_counts.cItems;
}

}  // namespace OstrelCli
