// Changes of items the server knows: read and flag changes, tags (the item's categories), moves
// between folders, and deletions. Each item's current state is compared with the baseline the
// pull stamped on it; what differs is sent as item actions and the baseline is rewritten to the
// state the server now has. The server's state is read first: a field it changed too since the
// pull is not sent (StorePushConflicts.cpp).
//
// A deleted item leaves nothing in the store to compare, so the push keeps the list of server ids
// the store held after its last run (beside the store, "NAME.pushed"): an id on that list that the
// mapper still knows but no store object carries any more was deleted locally. The pull removes
// the mapper's record of what the server deleted, so those are never sent back.
#include "StorePush.h"

#include "LocalFiles.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <charconv>
#include <sstream>

namespace OstrelCli {

using Ostrel::Mail::MailItemType;
using Platform::ComPtr;

namespace {

constexpr size_t kMaxPushedBytes = 64 * 1024 * 1024;

}  // namespace

std::filesystem::path StorePush::PushedListPath() const {
    std::filesystem::path path = m_mailbox.Path();
    path.replace_extension(".pushed");
    return path;
}

std::map<int32_t, MailItemType> StorePush::ReadPushedList() const {
    std::map<int32_t, MailItemType> known;
    std::string why;
    const std::optional<std::string> text = ReadSmallFile(PushedListPath(), kMaxPushedBytes, why);
    if (!text) {
        if (!why.empty())
            OSTLOG_WARN(L"The list of pushed ids cannot be read (%hs): local deletions wait", why.c_str());
        return known;
    }
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
        int32_t iId = 0;
        int iKind = 0;
        const char* p = line.data();
        const char* end = line.data() + line.size();
        auto [afterId, ec] = std::from_chars(p, end, iId);
        if (ec != std::errc() || afterId == end || *afterId != ' ')
            continue;
        auto [afterKind, ec2] = std::from_chars(afterId + 1, end, iKind);
        if (ec2 != std::errc() || afterKind != end || iId <= 0)
            continue;
        known.emplace(iId, static_cast<MailItemType>(iKind));
    }
    return known;
}

void StorePush::WritePushedList(const std::map<int32_t, MailItemType>& held) const {
    std::string text;
    for (const auto& [iId, kind] : held)
        text += std::to_string(iId) + " " + std::to_string(static_cast<int>(kind)) + "\n";
    std::string why;
    if (!WriteFileAtomically(PushedListPath(), text, true, why))
        OSTLOG_ERROR(L"The list of pushed ids cannot be written: %hs", why.c_str());
}

bool StorePush::PushItemChanges(std::map<int32_t, MailItemType>& held, PushReport& report) {
    bool bComplete = true;
    const SyncBaseline& baseline = m_mailbox.Baseline();
    const std::map<std::vector<BYTE>, int32_t> special = SpecialFolderIds();
    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore);
    const ULONG ulKeywords = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE, pNamed);
    // The current state and the baseline straight from the contents table: a run that finds
    // nothing changed opens no message.
    enum {
        kEid,
        kId,
        kClass,
        kMsgFlags,
        kFlagStatus,
        kKeywords,
        kModified,
        kBaseFolder,
        kBaseFlags,
        kBaseTags,
        kBaseStamp,
        kColumns
    };
    SizedSPropTagArray(kColumns, columns) = {
        kColumns,
        {PR_ENTRYID, m_mailbox.OstrelIdTag(), PR_MESSAGE_CLASS_W, PR_MESSAGE_FLAGS, PR_FLAG_STATUS, ulKeywords,
         PR_LAST_MODIFICATION_TIME, baseline.FolderTag(), baseline.FlagsTag(), baseline.TagsTag(),
         baseline.StampTag()}};
    const HRESULT hr = m_mailbox.ForEachFolder([&](IMAPIFolder* pFolder, int32_t iFolderId) {
        if (auto it = special.find(EntryIdOf(pFolder)); !iFolderId && it != special.end())
            iFolderId = it->second;
        // An item moved into a local folder (or a folder made local) stays on the server: its id
        // counts as held, nothing else is compared.
        const bool bLocal = !iFolderId;
        if (!bLocal)
            held.emplace(iFolderId, Ostrel::Mail::MIT_FOLDER);
        auto compare = [&](const SRow& row) {
            const SPropValue* pCol = row.lpProps;
            if (pCol[kId].ulPropTag != m_mailbox.OstrelIdTag() || !pCol[kId].Value.l ||
                PROP_TYPE(pCol[kEid].ulPropTag) != PT_BINARY)
                return;
            const LONG lId = pCol[kId].Value.l;
            const MailItemType kind = Ostrel::Mapi::MsgClassToItemType(
                pCol[kClass].ulPropTag == PR_MESSAGE_CLASS_W ? pCol[kClass].Value.lpszW : nullptr);
            held.emplace(lId, kind);
            if (bLocal || pCol[kBaseFolder].ulPropTag != baseline.FolderTag())
                return;  // never written by a sync: nothing to compare with
            auto text = [&](int i) {
                return pCol[i].ulPropTag == columns.aulPropTag[i] && pCol[i].Value.lpszW
                           ? Platform::ToUtf8(pCol[i].Value.lpszW)
                           : std::string();
            };
            ItemState now;
            if (kind == Ostrel::Mail::MIT_MESSAGE) {
                if (pCol[kFlagStatus].ulPropTag == PR_FLAG_STATUS && pCol[kFlagStatus].Value.l == 2)
                    now.sFlags += 'f';
                if (pCol[kMsgFlags].ulPropTag == PR_MESSAGE_FLAGS && !(pCol[kMsgFlags].Value.l & MSGFLAG_READ))
                    now.sFlags += 'u';
            } else {
                // Read and flag states belong to mail; other items carry only tags and a folder.
                now.sFlags = text(kBaseFlags);
            }
            bool bNewCategory = false;
            if (pCol[kKeywords].ulPropTag == ulKeywords) {
                std::string ids;
                for (ULONG i = 0; i < pCol[kKeywords].Value.MVszW.cValues; ++i) {
                    long lTag = 0;
                    if (m_pTags->TagId(pCol[kKeywords].Value.MVszW.lppszW[i], lTag, nullptr))
                        ids += (ids.empty() ? "" : ",") + std::to_string(lTag);
                    else
                        bNewCategory = true;
                }
                now.sTags = NormalTagIds(ids);
            }
            // A category the server has no tag for yet, set since the sync wrote the item, is a
            // change too: sent by name, it becomes a tag there, and the next pull brings its id.
            // (Categories an item came with, from its MIME headers, stay local.)
            auto ticks = [&](int i) {
                return pCol[i].ulPropTag == columns.aulPropTag[i]
                           ? (static_cast<ULONGLONG>(pCol[i].Value.ft.dwHighDateTime) << 32) |
                                 pCol[i].Value.ft.dwLowDateTime
                           : 0;
            };
            const bool bTagsChanged =
                now.sTags != text(kBaseTags) || (bNewCategory && ticks(kModified) > ticks(kBaseStamp));
            if (now.sFlags == text(kBaseFlags) && !bTagsChanged && iFolderId == pCol[kBaseFolder].Value.l)
                return;
            const SBinary& eid = pCol[kEid].Value.bin;
            ComPtr<IMessage> pMessage = OpenMessage(std::vector<BYTE>(eid.lpb, eid.lpb + eid.cb));
            ItemBaseline before;
            if (!pMessage || !baseline.Read(pMessage.Get(), before))
                ++report.cFailed;
            else
                PushItemState(pMessage.Get(), lId, kind, iFolderId, before, now, bTagsChanged, report);
        };
        ComPtr<IMAPITable> pTable;
        if (FAILED(pFolder->GetContentsTable(MAPI_UNICODE, pTable.AddressOf())) ||
            FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)) ||
            FAILED(ForEachRow(pTable.Get(), compare))) {
            OSTLOG_ERROR(L"The items of folder %d cannot be listed", iFolderId);
            // Nothing is known of what it holds: no deletion may be concluded this run.
            bComplete = false;
            ++report.cFailed;
        }
    });
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The store's folders cannot be listed, hr: %x", static_cast<unsigned>(hr));
        bComplete = false;
    }
    return bComplete;
}

void StorePush::PushItemState(IMessage* pMessage, LONG lId, MailItemType kind, int32_t iFolderId,
                              const ItemBaseline& before, const ItemState& now, bool bTagsChanged, PushReport& report) {
    using Ostrel::Rpc::ActionRequest;
    // Appointments and tasks are acted on as generic items.
    const MailItemType actionKind = kind == Ostrel::Mail::MIT_NOTE ? Ostrel::Mail::MIT_MESSAGE : kind;
    ServerItem server;
    switch (ReadServerItem(lId, server)) {
        case ServerRead::Failed:
            ++report.cFailed;
            return;
        case ServerRead::Gone:
            // The next pull deletes it here, keeping what changed here as a copy.
            OSTLOG_INFO(1, L"Item %d was deleted on the server since the pull: its changes are not sent", lId);
            ++report.cConflicts;
            return;
        case ServerRead::Read:
            break;
    }
    // Field by field: what only this side changed goes up; what the server changed too, to
    // another value, keeps its baseline for the next pull to settle.
    auto has = [](const std::string& sFlags, char c) { return sFlags.find(c) != std::string::npos; };
    bool bHeld = false;
    bool bSent = false;
    std::string sAfterFlags;
    bool bSendLetter[2] = {false, false};
    const char letters[2] = {'f', 'u'};
    for (int i = 0; i < 2; ++i) {
        const char c = letters[i];
        const bool bHere = has(before.sFlags, c) != has(now.sFlags, c);
        const bool bThere = has(before.sFlags, c) != has(server.sFlags, c);
        const bool bHold = bHere && bThere && has(server.sFlags, c) != has(now.sFlags, c);
        bSendLetter[i] = bHere && !bThere;
        bHeld |= bHold;
        if (has(bHold ? before.sFlags : now.sFlags, c))
            sAfterFlags += c;
    }
    const bool bTagsThere = server.sTags != before.sTags;
    const bool bHoldTags = bTagsChanged && bTagsThere && server.sTags != now.sTags;
    const bool bSendTags = bTagsChanged && !bHoldTags;
    const bool bMovedThere = server.iFolder != before.iFolder;
    const bool bHoldMove = iFolderId != before.iFolder && bMovedThere && server.iFolder != iFolderId;
    const bool bSendMove = iFolderId != before.iFolder && !bMovedThere;
    bHeld = bHeld || bHoldTags || bHoldMove;
    try {
        if (bSendLetter[1]) {
            ActionRequest request(actionKind, lId,
                                  has(now.sFlags, 'u') ? ActionRequest::OP_UNREAD : ActionRequest::OP_READ);
            Send(request);
            bSent = true;
        }
        if (bSendLetter[0]) {
            ActionRequest request(actionKind, lId,
                                  has(now.sFlags, 'f') ? ActionRequest::OP_FLAG : ActionRequest::OP_UNFLAG);
            Send(request);
            bSent = true;
        }
        if (bSendTags) {
            // The categories by name: one the server does not know yet becomes a new tag there.
            Ostrel::Mapi::OstrelMailItem item(pMessage, m_pStore);
            Ostrel::Mail::TagNameList* pNames = item.OstrelTagNames();
            Ostrel::Mail::TagNameList empty;
            ActionRequest request(actionKind, lId, ActionRequest::OP_UPDATE, nullptr, pNames ? pNames : &empty, 0);
            Ostrel::Mapi::OstrelMailItem::FreeTagNames(pNames);
            Send(request);
            bSent = true;
        }
        if (bSendMove) {
            ActionRequest request(actionKind, lId, ActionRequest::OP_MOVE, iFolderId, nullptr);
            Send(request);
            ++report.cMoved;
        }
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Changes of item %d were not sent: %ls", lId, e.ExcepText() ? e.ExcepText() : L"");
        ++report.cFailed;
        return;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Changes of item %d were not sent: %hs", lId, e.what());
        ++report.cFailed;
        return;
    }
    if (bSent)
        ++report.cChanged;
    if (bHeld) {
        OSTLOG_INFO(1, L"Item %d was changed on the server too since the pull: those changes wait for the next sync",
                    lId);
        ++report.cConflicts;
    }
    ItemBaseline after = before;
    after.iFolder = bHoldMove ? before.iFolder : iFolderId;
    after.sFlags = sAfterFlags;
    after.sTags = bHoldTags ? before.sTags : now.sTags;
    after.ftStamp = FILETIME{};
    HRESULT hr = m_mailbox.Baseline().Stamp(pMessage, after);
    if (SUCCEEDED(hr))
        hr = Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 1);
    if (FAILED(hr))
        OSTLOG_WARN(L"Item %d was sent but its baseline cannot be rewritten, hr: %x", lId, static_cast<unsigned>(hr));
}

bool StorePush::StillInStore(LONG lId) {
    // Looked up without the checked open, which would drop the mapping a failed deletion keeps
    // for its retry.
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    if (!m_items.Get(lId, &cb, &pEid))
        return false;
    // A message or a folder.
    ULONG ulType = 0;
    ComPtr<IMAPIProp> pObject;
    const HRESULT hr = m_pStore->OpenEntry(cb, reinterpret_cast<LPENTRYID>(pEid), nullptr, 0, &ulType,
                                           reinterpret_cast<LPUNKNOWN*>(pObject.AddressOf()));
    MAPIFreeBuffer(pEid);
    return SUCCEEDED(hr) && ServerIdOf(pObject.Get()) == lId;
}

void StorePush::PushDeletions(const std::map<int32_t, MailItemType>& known, std::map<int32_t, MailItemType>& held,
                              PushReport& report) {
    for (const auto& [iId, kind] : known) {
        if (held.count(iId) || !m_items.Contains(iId))
            continue;
        // Not in the listings is not yet deleted: an item filed outside the folders the push walks,
        // or moved by another program from a folder not yet listed into one already listed, is
        // still in the store. Only an object the mapper can no longer open is gone.
        if (StillInStore(iId)) {
            held.emplace(iId, kind);
            continue;
        }
        bool bGone = false;
        try {
            Ostrel::Rpc::ActionRequest request(kind == Ostrel::Mail::MIT_NOTE ? Ostrel::Mail::MIT_MESSAGE : kind, iId,
                                               Ostrel::Rpc::ActionRequest::OP_DELETE);
            Send(request);
            bGone = true;
        } catch (const Ostrel::Rpc::RpcException& e) {
            bGone = IsGoneOnServer(e);
            if (!bGone)
                OSTLOG_ERROR(L"Item %d deleted in the store was not deleted on the server: %ls", iId,
                             e.ExcepText() ? e.ExcepText() : L"");
        } catch (const std::exception& e) {
            OSTLOG_ERROR(L"Item %d deleted in the store was not deleted on the server: %hs", iId, e.what());
        }
        if (bGone) {
            m_items.Remove(iId);
            ++report.cDeleted;
        } else {
            // Still known: the next run tries again.
            held.emplace(iId, kind);
            ++report.cFailed;
        }
    }
}

}  // namespace OstrelCli
