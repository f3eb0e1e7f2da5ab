// StoreSync: messages: metadata of those held, the conflict rule, downloaded ones.
#include "StoreSync.h"

#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

constexpr LONG kFlagStatusFlagged = 2;
constexpr LONG kFlagIconRed = 6;
constexpr LONG kTodoItemFlagged = 1;

struct PropBuffer {
    LPSPropValue p = nullptr;
    ~PropBuffer() { MAPIFreeBuffer(p); }
};

std::string EntryIdOf(IMAPIProp* pObject, ULONG ulTag) {
    PropBuffer value;
    if (FAILED(HrGetOneProp(pObject, ulTag, &value.p)) || PROP_TYPE(value.p->ulPropTag) != PT_BINARY)
        return std::string();
    return std::string(reinterpret_cast<const char*>(value.p->Value.bin.lpb), value.p->Value.bin.cb);
}

// The number of attribute `name` of the first element of the metadata text; nothing when it is
// absent or not a 32-bit number. The server escapes quotes inside values, so a match is an
// attribute.
std::optional<int32_t> NumberAttribute(std::string_view xml, std::string_view name) {
    const size_t end = xml.find('>');
    const std::string key = " " + std::string(name) + "=\"";
    const size_t pos = xml.substr(0, end).find(key);
    if (pos == std::string_view::npos)
        return std::nullopt;
    const size_t start = pos + key.size();
    const size_t close = xml.find('"', start);
    if (close == std::string_view::npos || close > end)
        return std::nullopt;
    int32_t value = 0;
    auto [ptr, ec] = std::from_chars(xml.data() + start, xml.data() + close, value);
    if (start == close || ec != std::errc() || ptr != xml.data() + close)
        return std::nullopt;
    return value;
}

// The baseline stamp of a new message: the conversion sets its modification time to its received
// time, which must not look like a later local edit even when it lies in the future.
FILETIME WrittenAt(const std::string& sReceivedMs) {
    const FILETIME ftNow = Ostrel::Util::CurrentClock().GetSystemTimeAsFileTime();
    int64_t llMs = 0;
    auto [ptr, ec] = std::from_chars(sReceivedMs.data(), sReceivedMs.data() + sReceivedMs.size(), llMs);
    constexpr int64_t kEpochDelta = 116444736000000000LL;  // 1601 to 1970 in 100 ns
    if (ec != std::errc() || ptr != sReceivedMs.data() + sReceivedMs.size() || llMs <= 0 ||
        llMs > (INT64_MAX - kEpochDelta) / 10000)
        return ftNow;
    const uint64_t ullReceived = static_cast<uint64_t>(llMs * 10000 + kEpochDelta);
    const uint64_t ullNow = (static_cast<uint64_t>(ftNow.dwHighDateTime) << 32) | ftNow.dwLowDateTime;
    const uint64_t ullStamp = std::max(ullNow, ullReceived);
    return FILETIME{static_cast<DWORD>(ullStamp), static_cast<DWORD>(ullStamp >> 32)};
}

bool Has(const std::string& flags, char letter) {
    return flags.find(letter) != std::string::npos;
}

}  // namespace

// A download into one folder whose new messages carry their baseline from the start: it is saved
// by the conversion's own SaveChanges.
class StampingBatch : public Ostrel::Convert::IncomingBatch {
public:
    StampingBatch(StoreMailbox& mailbox, IMAPIFolder* pFolder, std::map<LONG, std::wstring>& tagMap)
        : IncomingBatch(mailbox.Store(), pFolder, nullptr, tagMap, &mailbox.Items()),
          m_mailbox(mailbox),
          m_pFolder(pFolder) {}

    void SetBaseline(const ItemBaseline& baseline) { m_baseline = baseline; }

protected:
    HRESULT CreateTarget(IMessage** ppMessage) override {
        ComPtr<IMessage> pMessage;
        HRESULT hr = m_pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf());
        if (SUCCEEDED(hr))
            hr = m_mailbox.Baseline().Stamp(pMessage.Get(), m_baseline);
        if (SUCCEEDED(hr))
            *ppMessage = pMessage.Detach();
        return hr;
    }

private:
    StoreMailbox& m_mailbox;
    ComPtr<IMAPIFolder> m_pFolder;
    ItemBaseline m_baseline;
};

StoreSync::Located StoreSync::Locate(int32_t iId) {
    Located located;
    std::string eid;
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    const bool bMapped = m_mailbox.Items().Get(iId, &cb, &pEid);
    if (bMapped) {
        eid.assign(reinterpret_cast<const char*>(pEid), cb);
        MAPIFreeBuffer(pEid);
    } else if (auto it = m_index.find(iId); it != m_index.end()) {
        eid = it->second;
    } else {
        return located;
    }
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    const HRESULT hr =
        m_mailbox.Store()->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                     &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf());
    if (FAILED(hr) || ulType != MAPI_MESSAGE) {
        located.bDeletedLocally = bMapped;
        return located;
    }
    located.pMessage.Attach(static_cast<IMessage*>(pUnk.Detach()));
    PropBuffer stamp;
    if (FAILED(HrGetOneProp(located.pMessage.Get(), m_mailbox.OstrelIdTag(), &stamp.p)) || stamp.p->Value.l != iId) {
        // The record names another object: it is worth nothing.
        located.pMessage.Reset();
        m_mailbox.Items().Remove(iId);
        return located;
    }
    if (!bMapped)
        m_mailbox.Items().Put(iId, static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data()), FALSE);
    return located;
}

bool StoreSync::ApplyItem(const SyncItem& item, bool bFull) {
    if (item.kind == SyncItemKind::Other)
        return false;
    Located located = Locate(item.iId);
    if (located.pMessage && item.kind != SyncItemKind::Message) {
        // Read again unless the store holds the server's version.
        ItemBaseline baseline;
        return !m_mailbox.Baseline().Read(located.pMessage.Get(), baseline) || baseline.iSeq != item.iSeq ||
               item.iSeq == 0 || baseline.iFolder != item.iFolder;
    }
    if (located.pMessage) {
        const HRESULT hr = UpdateMessage(located.pMessage.Get(), item);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"Message %d could not be updated: 0x%08x", item.iId, hr);
            ++m_counts.cFailed;
        }
        return false;
    }
    if (located.bDeletedLocally) {
        // Deleted here: a change on the server brings the server's version back; a full listing
        // says nothing about changes, so the deletion stands for push to carry over.
        if (bFull)
            return false;
        m_mailbox.Items().Remove(item.iId);
    }
    return true;
}

int32_t StoreSync::CurrentFolderOf(IMessage* pMessage) {
    const std::string parent = EntryIdOf(pMessage, PR_PARENT_ENTRYID);
    for (const auto& [id, pFolder] : m_folders) {
        if (EntryIdOf(pFolder.Get(), PR_ENTRYID) == parent)
            return id;
    }
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    if (parent.empty() ||
        FAILED(m_mailbox.Store()->OpenEntry(static_cast<ULONG>(parent.size()),
                                            reinterpret_cast<LPENTRYID>(const_cast<char*>(parent.data())),
                                            &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf())))
        return 0;
    PropBuffer stamp;
    if (FAILED(HrGetOneProp(static_cast<IMAPIFolder*>(pUnk.Get()), m_mailbox.OstrelIdTag(), &stamp.p)))
        return 0;
    m_folders[stamp.p->Value.l] = ComPtr<IMAPIFolder>(static_cast<IMAPIFolder*>(pUnk.Get()));
    return stamp.p->Value.l;
}

bool StoreSync::HasLocalChanges(IMessage* pMessage) {
    ItemBaseline baseline;
    if (!m_mailbox.Baseline().Read(pMessage, baseline))
        return false;
    if (!m_bTagCacheRead) {
        m_tagCache.Initialize();
        m_bTagCacheRead = true;
    }
    const ItemState state = CurrentItemState(m_mailbox.Store(), pMessage, m_tagCache);
    return state.sFlags != baseline.sFlags || state.sTags != baseline.sTags ||
           CurrentFolderOf(pMessage) != baseline.iFolder;
}

HRESULT StoreSync::KeepConflictCopy(IMessage* pMessage, int32_t iId) {
    ComPtr<IMAPIFolder> pConflicts;
    HRESULT hr =
        m_mailbox.OpenLocalFolder(std::wstring(kSyncIssuesFolder) + L"/" + kConflictsFolder, pConflicts.AddressOf());
    ComPtr<IMessage> pCopy;
    if (SUCCEEDED(hr))
        hr = pConflicts->CreateMessage(nullptr, 0, pCopy.AddressOf());
    // The copy is the local version only: without the server id and baseline it is never taken for
    // the item by sync, push or the mapper.
    const SyncBaseline& baseline = m_mailbox.Baseline();
    SizedSPropTagArray(11, excluded) = {11,
                                        {m_mailbox.OstrelIdTag(), baseline.FolderTag(), baseline.FlagsTag(),
                                         baseline.TagsTag(), baseline.SeqTag(), baseline.StampTag(), baseline.SizeTag(),
                                         baseline.FlagBitsTag(), PR_ENTRYID, PR_PARENT_ENTRYID, PR_RECORD_KEY}};
    if (SUCCEEDED(hr))
        hr = pMessage->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&excluded), 0, nullptr, &IID_IMessage,
                              pCopy.Get(), 0, nullptr);
    if (SUCCEEDED(hr))
        hr = pCopy->SaveChanges(0);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The local version of item %d could not be kept: 0x%08x", iId, hr);
        return hr;
    }
    OSTLOG_WARN(
        L"Item %d was changed here and on the server: the server's version is kept in place, the local one "
        L"in %s/%s",
        iId, kSyncIssuesFolder, kConflictsFolder);
    ++m_counts.cConflicts;
    return S_OK;
}

HRESULT StoreSync::SetFlagsAndTags(IMessage* pMessage, const std::string& sFlags, const std::string& sTagNames,
                                   bool bFlags, bool bTags) {
    HRESULT hr = S_OK;
    if (bFlags) {
        PropBuffer flags;
        LONG lFlags = SUCCEEDED(HrGetOneProp(pMessage, PR_MESSAGE_FLAGS, &flags.p)) ? flags.p->Value.l : 0;
        lFlags = Has(sFlags, 'u') ? (lFlags & ~static_cast<LONG>(MSGFLAG_READ)) : (lFlags | MSGFLAG_READ);
        SPropValue values[4] = {};
        values[0].ulPropTag = PR_MESSAGE_FLAGS;
        values[0].Value.l = lFlags;
        if (Has(sFlags, 'f')) {
            values[1].ulPropTag = PR_FLAG_STATUS;
            values[1].Value.l = kFlagStatusFlagged;
            values[2].ulPropTag = PR_FLAG_ICON;
            values[2].Value.l = kFlagIconRed;
            values[3].ulPropTag = PR_TODO_ITEM_FLAGS;
            values[3].Value.l = kTodoItemFlagged;
            hr = pMessage->SetProps(4, values, nullptr);
        } else {
            hr = pMessage->SetProps(1, values, nullptr);
            SizedSPropTagArray(3, gone) = {3, {PR_FLAG_STATUS, PR_FLAG_ICON, PR_TODO_ITEM_FLAGS}};
            if (SUCCEEDED(hr))
                hr = pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&gone), nullptr);
        }
    }
    if (SUCCEEDED(hr) && bTags) {
        std::vector<std::wstring> names = Ostrel::Util::TagNameStrToTagNameList(Platform::FromUtf8(sTagNames));
        SPropValue value{PR_NULL, 0, {}};
        void* pBuffer =
            names.empty() ? nullptr : Ostrel::Mapi::MapTagNamesToKeywordsProp(value, names, m_mailbox.Store());
        if (value.ulPropTag != PR_NULL) {
            hr = pMessage->SetProps(1, &value, nullptr);
        } else {
            SizedSPropTagArray(1, gone) = {
                1,
                {Ostrel::Mapi::NAMED_PROP(
                    Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE,
                    Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_mailbox.Store()))}};
            hr = pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&gone), nullptr);
        }
        MAPIFreeBuffer(pBuffer);
    }
    return hr;
}

HRESULT StoreSync::MoveMessage(IMessage* pMessage, int32_t iFolder) {
    const int32_t iCurrent = CurrentFolderOf(pMessage);
    if (iCurrent == iFolder)
        return S_OK;
    ComPtr<IMAPIFolder> pTarget;
    HRESULT hr = OpenFolder(iFolder, pTarget.AddressOf());
    if (FAILED(hr))
        return hr;
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    const std::string parent = EntryIdOf(pMessage, PR_PARENT_ENTRYID);
    std::string eid = EntryIdOf(pMessage, PR_ENTRYID);
    hr = m_mailbox.Store()->OpenEntry(static_cast<ULONG>(parent.size()),
                                      reinterpret_cast<LPENTRYID>(const_cast<char*>(parent.data())), &IID_IMAPIFolder,
                                      MAPI_MODIFY, &ulType, pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    SBinary bin{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data())};
    ENTRYLIST list{1, &bin};
    // A move keeps the message's entry id: the mapper's record stays right.
    return static_cast<IMAPIFolder*>(pUnk.Get())->CopyMessages(&list, nullptr, pTarget.Get(), 0, nullptr, MESSAGE_MOVE);
}

HRESULT StoreSync::UpdateMessage(IMessage* pMessage, const SyncItem& item) {
    ItemBaseline baseline;
    const bool bHasBaseline = m_mailbox.Baseline().Read(pMessage, baseline);
    if (bHasBaseline && baseline.iSeq == item.iSeq && item.iSeq != 0 && baseline.iFolder == item.iFolder)
        return S_OK;  // nothing changed on the server since it was written
    if (!m_bTagCacheRead) {
        m_tagCache.Initialize();
        m_bTagCacheRead = true;
    }
    const ItemState local = CurrentItemState(m_mailbox.Store(), pMessage, m_tagCache);
    const int32_t iLocalFolder = CurrentFolderOf(pMessage);
    if (!bHasBaseline) {
        // Never written by sync (a converter or an older version did): nothing here is a change.
        baseline.sFlags = local.sFlags;
        baseline.sTags = local.sTags;
        baseline.iFolder = iLocalFolder;
    }
    const std::string serverFlags = ChangeableFlags(item.sFlags);
    const std::string serverTags = NormalTagIds(item.sTagIds);

    // Field by field: the side that changed it wins; both changed it: the server does.
    std::string merged;
    for (char letter : {'f', 'u'}) {
        const bool bServerChanged = Has(serverFlags, letter) != Has(baseline.sFlags, letter);
        if (bServerChanged ? Has(serverFlags, letter) : Has(local.sFlags, letter))
            merged += letter;
    }
    const bool bTagsThere = serverTags != baseline.sTags;
    const bool bTagsHere = local.sTags != baseline.sTags;
    const bool bMovedThere = item.iFolder != baseline.iFolder;
    const bool bMovedHere = iLocalFolder != baseline.iFolder;
    if ((bTagsThere && bTagsHere && local.sTags != serverTags) ||
        (bMovedThere && bMovedHere && iLocalFolder != item.iFolder))
        KeepConflictCopy(pMessage, item.iId);

    HRESULT hr = S_OK;
    ComPtr<IMessage> pMoved;
    if ((bMovedThere || !bHasBaseline) && iLocalFolder != item.iFolder) {
        // The open object is stale after the move: the rest is written through a fresh one.
        std::string eid = EntryIdOf(pMessage, PR_ENTRYID);
        hr = MoveMessage(pMessage, item.iFolder);
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (SUCCEEDED(hr))
            hr = m_mailbox.Store()->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                              &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf());
        if (SUCCEEDED(hr)) {
            pMoved.Attach(static_cast<IMessage*>(pUnk.Detach()));
            pMessage = pMoved.Get();
        }
    }
    if (SUCCEEDED(hr))
        hr = SetFlagsAndTags(pMessage, merged, item.sTagNames, merged != local.sFlags, bTagsThere || !bHasBaseline);
    ItemBaseline written;
    written.iFolder = item.iFolder;
    written.sFlags = item.sFlags;
    written.sTags = item.sTagIds;
    written.iSeq = item.iSeq;
    // The size stays that of the text the message was converted from: a changed size on the server
    // means the store holds other content, which verify is to show. A message the push uploaded
    // (its baseline has no sequence yet) takes the size the server gives the text it was sent.
    if (bHasBaseline && baseline.iSeq == 0 && baseline.iSize < 0)
        written.iSize = item.iSize;
    written.iFlagBits = FlagBits(item.sFlags);
    if (SUCCEEDED(hr))
        hr = m_mailbox.Baseline().Stamp(pMessage, written);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (SUCCEEDED(hr))
        ++m_counts.cUpdated;
    return hr;
}

Ostrel::Convert::IncomingBatch& StoreSync::BatchFor(int32_t iFolder, IMAPIFolder* pFolder) {
    auto& pBatch = m_batches[iFolder];
    if (!pBatch)
        pBatch = std::make_unique<StampingBatch>(m_mailbox, pFolder, m_tagMap);
    return *pBatch;
}

void StoreSync::WriteMessage(int32_t iId, std::string_view meta, std::string_view mime, IStream* pMime) {
    Ostrel::Convert::IncomingMeta incoming;
    std::wstring wsError;
    const std::optional<int32_t> folder = NumberAttribute(meta, "l");
    if (!Ostrel::Convert::ParseIncomingMeta(meta, incoming, wsError) || incoming.lId != iId || !folder) {
        OSTLOG_ERROR(L"Message %d skipped: its metadata in the archive breaks the rules (%s)", iId,
                     wsError.empty() ? L"no folder or another id" : wsError.c_str());
        ++m_counts.cFailed;
        return;
    }
    SyncItem item;
    item.iId = iId;
    item.iFolder = *folder;
    item.iSeq = NumberAttribute(meta, "ms").value_or(0);
    item.sFlags = incoming.sFlags;
    item.sTagIds = incoming.sTagIds;
    item.sTagNames = incoming.sTagNames;

    // Written already by a run that stopped before it could say so: its metadata is all that may
    // have changed.
    Located located = Locate(iId);
    if (located.pMessage) {
        const HRESULT hr = UpdateMessage(located.pMessage.Get(), item);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"Message %d could not be updated: 0x%08x", iId, hr);
            ++m_counts.cFailed;
        }
        return;
    }
    ComPtr<IMAPIFolder> pFolder;
    const HRESULT hrFolder = OpenFolder(item.iFolder, pFolder.AddressOf());
    if (FAILED(hrFolder)) {
        OSTLOG_ERROR(L"Message %d skipped: its folder %d is not in the store (0x%08x)", iId, item.iFolder, hrFolder);
        ++m_counts.cFailed;
        return;
    }
    auto& batch = static_cast<StampingBatch&>(BatchFor(item.iFolder, pFolder.Get()));
    ItemBaseline baseline;
    baseline.iFolder = item.iFolder;
    baseline.sFlags = item.sFlags;
    baseline.sTags = item.sTagIds;
    baseline.iSeq = item.iSeq;
    baseline.ftStamp = WrittenAt(incoming.sReceived);
    baseline.iSize = std::max(NumberAttribute(meta, "s").value_or(-1), -1);
    baseline.iFlagBits = FlagBits(item.sFlags);
    batch.SetBaseline(baseline);
    if (!m_pBatchReport)
        m_pBatchReport = std::make_unique<Ostrel::Convert::IncomingBatchReport>();
    const HRESULT hr = pMime ? batch.ConvertMessage(incoming, pMime, *m_pBatchReport)
                             : batch.ConvertMessage(incoming, mime, *m_pBatchReport);
    if (SUCCEEDED(hr))
        ++m_counts.cFetched;
    else
        ++m_counts.cFailed;  // logged by the batch, which keeps a failure notice in its place
    m_pBatchReport->failedIds.clear();
}

}  // namespace OstrelCli
