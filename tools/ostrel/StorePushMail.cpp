// Outgoing mail: messages in the Outbox are sent (SendMsg, which keeps no copy), filed in the
// server's Sent folder (AddMsg) and moved to Sent Items as that copy; new and edited drafts are
// saved on the server (SaveDraft). An edited draft the server changed too since the pull is not
// saved over it: the local version goes to "Sync Issues/Conflicts" and the next pull brings the
// server's down.
//
// Each message gets a Message-ID and a pending mark, saved, before anything goes out. A send
// carries a send id from the mark: the server answers a repeated send id as before and sends
// nothing again. Filing a sent message and saving a new draft cannot be repeated that way, so a
// run that finds such a mark first looks for the message in the server's folder by its
// Message-ID and adopts what it finds.
#include "StorePush.h"

#include "ArchiveReader.h"

#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/Download.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"
#include "Util/Text/XmlUtil.h"

#include <charconv>
#include <random>

namespace OstrelCli {

using Platform::ComPtr;

namespace {

constexpr std::wstring_view kSendMark = L"send:";
constexpr std::wstring_view kFiledMark = L"filed:";
constexpr std::wstring_view kDraftMark = L"draft:";

bool IsMark(const std::wstring& wsMark, std::wstring_view kind) {
    return wsMark.compare(0, kind.size(), kind) == 0;
}

// The id the server gave the message it kept, 0 when the answer names none.
LONG MessageIdOf(Ostrel::Rpc::Response& response) {
    wchar_t* pwszId = nullptr;
    LONG lId = 0;
    if (Ostrel::Util::XmlUtil::FindNodeAttributeValue(response.GetDocument(), L"//mail:m", L"id", &pwszId) && pwszId) {
        const std::string sId = Platform::ToUtf8(pwszId);
        int32_t i = 0;
        auto [ptr, ec] = std::from_chars(sId.data(), sId.data() + sId.size(), i);
        if (ec == std::errc() && ptr == sId.data() + sId.size() && i > 0)
            lId = i;
    }
    Ostrel::Util::XmlUtil::Free(pwszId);
    return lId;
}

// The send id of a "send:N:<Message-ID>" mark; 0 for any other mark.
ULONG SendIdOf(const std::wstring& wsMark) {
    if (!IsMark(wsMark, kSendMark))
        return 0;
    const std::string s = Platform::ToUtf8(wsMark.substr(kSendMark.size()));
    uint32_t ul = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), ul);
    return ec == std::errc() && ptr != s.data() + s.size() && *ptr == ':' ? ul : 0;
}

ULONG NewSendId() {
    static std::mt19937 s_engine{std::random_device{}()};
    ULONG ul = 0;
    while (!ul)
        ul = static_cast<ULONG>(s_engine());
    return ul;
}

// The message's Message-ID, a new one set (not saved) when it has none.
std::wstring EnsureMessageId(IMessage* pMessage) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pMessage, PR_INTERNET_MESSAGE_ID_W, &pValue)) && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    if (!ws.empty() && ws.find_first_of(L"\r\n") == std::wstring::npos)
        return ws;
    ws = L"<" + Ostrel::Util::Guid::NewGuid().ToStringNoBraces() + L"@ostrel.local>";
    SPropValue value{};
    value.ulPropTag = PR_INTERNET_MESSAGE_ID_W;
    value.Value.lpszW = ws.data();
    HrSetOneProp(pMessage, &value);
    return ws;
}

// The Message-ID header of a MIME text (the header block only), without surrounding blanks.
std::string MessageIdHeader(const std::string& mime) {
    size_t at = 0;
    while (at < mime.size()) {
        size_t end = mime.find('\n', at);
        if (end == std::string::npos)
            end = mime.size();
        std::string_view line(mime.data() + at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            break;
        constexpr std::string_view kName = "message-id:";
        if (line.size() > kName.size() &&
            Ostrel::Mapi::EqualsNoCase(Platform::FromUtf8(std::string(line.substr(0, kName.size()))), L"message-id:")) {
            std::string_view value = line.substr(kName.size());
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            return std::string(value);
        }
        at = end + 1;
    }
    return std::string();
}

HRESULT MarkSent(IMessage* pMessage) {
    LPSPropValue pFlags = nullptr;
    ULONG ulFlags = 0;
    if (SUCCEEDED(HrGetOneProp(pMessage, PR_MESSAGE_FLAGS, &pFlags)))
        ulFlags = pFlags->Value.ul;
    MAPIFreeBuffer(pFlags);
    SPropValue value{};
    value.ulPropTag = PR_MESSAGE_FLAGS;
    value.Value.ul = (ulFlags | MSGFLAG_READ) & ~static_cast<ULONG>(MSGFLAG_UNSENT | MSGFLAG_SUBMIT);
    return HrSetOneProp(pMessage, &value);
}

}  // namespace

void StorePush::PushOutbox(PushReport& report) {
    ComPtr<IMAPIFolder> pOutbox = SpecialFolder(PR_IPM_OUTBOX_ENTRYID);
    if (!pOutbox)
        return;
    for (const std::vector<BYTE>& entryId : Contents(pOutbox.Get())) {
        ComPtr<IMessage> pMessage = OpenMessage(entryId);
        if (pMessage && SendOne(pMessage.Get()))
            ++report.cSent;
        else
            ++report.cFailed;
    }
}

bool StorePush::SendOne(IMessage* pMessage) {
    Ostrel::Mapi::OstrelMailItemBase item(pMessage);
    LONG lId = ServerIdOf(pMessage);
    std::wstring wsMark = PendingMark(pMessage);
    // Stamped with the id of its copy in Sent (its last mark a filing one): only the move is left.
    // Any other stamp is that of the draft it was.
    const bool bFiled = lId && wsMark.empty() && IsMark(item.LastServerReplicationId(), kFiledMark);
    if (!bFiled) {
        // "send:<send id>:<Message-ID>" until the server took it, then "filed:<Message-ID>" until
        // its copy is in the server's Sent folder.
        if (!IsMark(wsMark, kSendMark) && !IsMark(wsMark, kFiledMark)) {
            wsMark = std::wstring(kSendMark) + std::to_wstring(NewSendId()) + L":" + EnsureMessageId(pMessage);
            if (FAILED(item.ReplicationId(wsMark.c_str())) ||
                FAILED(Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0)))
                return false;
        }
        const bool bResumedFiling = IsMark(wsMark, kFiledMark);
        const std::wstring wsMessageId = wsMark.substr(wsMark.find(L':', bResumedFiling ? 0 : kSendMark.size()) + 1);
        if (!bResumedFiling) {
            const ULONG ulSendId = SendIdOf(wsMark);
            std::wstring wsUploadId;
            if (!Upload(pMessage, wsMessageId, wsUploadId))
                return false;
            try {
                Ostrel::Rpc::SendMsgRequest request(wsUploadId.c_str(), ulSendId, 0, 0);
                Send(request);
            } catch (const Ostrel::Rpc::RpcException& e) {
                OSTLOG_ERROR(L"Sending the Outbox message %ls failed: %ls", wsMessageId.c_str(),
                             e.ExcepText() ? e.ExcepText() : L"");
                return false;
            } catch (const std::exception& e) {
                OSTLOG_ERROR(L"Sending the Outbox message %ls failed: %hs", wsMessageId.c_str(), e.what());
                return false;
            }
            wsMark = std::wstring(kFiledMark) + wsMessageId;
            if (FAILED(MarkSent(pMessage)) || FAILED(item.ReplicationId(wsMark.c_str())) ||
                FAILED(Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0))) {
                OSTLOG_ERROR(L"Message %ls was sent but the store cannot record it", wsMessageId.c_str());
                return false;
            }
        }
        // Sent, it is no draft any more: the server's draft goes.
        if (lId && !DropServerDraft(pMessage, lId))
            return false;
        lId = 0;
        // Without an answer to the look-up the copy waits: filing it blind could file it twice.
        if (bResumedFiling && !FindServerMessage(kServerSent, wsMessageId, lId))
            return false;
        if (!lId && !AddToSent(pMessage, wsMessageId, lId))
            return false;
        if (!AdoptServerCopy(pMessage, lId, kServerSent, PR_IPM_OUTBOX_ENTRYID))
            return true;  // a pulled copy of it is the one kept; this one is gone
    }
    // Stamped and recorded: what is left is to file it with the sent mail.
    ComPtr<IMAPIFolder> pOutbox = SpecialFolder(PR_IPM_OUTBOX_ENTRYID);
    ComPtr<IMAPIFolder> pSent = SpecialFolder(PR_IPM_SENTMAIL_ENTRYID);
    std::vector<BYTE> own = EntryIdOf(pMessage);
    SBinary eid{static_cast<ULONG>(own.size()), own.data()};
    ENTRYLIST list{1, &eid};
    if (!pOutbox || !pSent || FAILED(pOutbox->CopyMessages(&list, nullptr, pSent.Get(), 0, nullptr, MESSAGE_MOVE))) {
        OSTLOG_ERROR(L"Sent message %d cannot be moved to Sent Items", lId);
        return false;
    }
    return true;
}

bool StorePush::DropServerDraft(IMessage* pMessage, LONG lDraftId) {
    try {
        Ostrel::Rpc::ActionRequest request(Ostrel::Mail::MIT_MESSAGE, lDraftId, Ostrel::Rpc::ActionRequest::OP_DELETE);
        Send(request);
    } catch (const Ostrel::Rpc::RpcException& e) {
        if (!IsGoneOnServer(e)) {
            OSTLOG_ERROR(L"The draft %d of a sent message was not deleted on the server: %ls", lDraftId,
                         e.ExcepText() ? e.ExcepText() : L"");
            return false;
        }
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"The draft %d of a sent message was not deleted on the server: %hs", lDraftId, e.what());
        return false;
    }
    m_items.Remove(lDraftId);
    Ostrel::Mapi::OstrelMailItemBase item(pMessage);
    return SUCCEEDED(item.OstrelId(0)) && SUCCEEDED(Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0));
}

bool StorePush::AddToSent(IMessage* pMessage, const std::wstring& wsMessageId, LONG& lId) {
    std::wstring wsUploadId;
    if (!Upload(pMessage, wsMessageId, wsUploadId))
        return false;
    try {
        Ostrel::Mapi::OstrelMailItem item(pMessage, m_pStore);
        Ostrel::Mail::MessageFlags flags = item.OstrelMessageFlags(Ostrel::Mail::MIT_MESSAGE);
        Ostrel::Rpc::AddMsgRequest request(wsUploadId.c_str(), nullptr, kServerSent, nullptr, nullptr, flags, 0, 0);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        lId = MessageIdOf(*pResponse);
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Filing the sent message %ls failed: %ls", wsMessageId.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
        return false;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Filing the sent message %ls failed: %hs", wsMessageId.c_str(), e.what());
        return false;
    }
    if (lId <= 0)
        OSTLOG_ERROR(L"The server filed the sent message %ls but named no id for it", wsMessageId.c_str());
    return lId > 0;
}

bool StorePush::AdoptServerCopy(IMessage* pMessage, LONG lId, int32_t iFolder, ULONG ulFolderTag) {
    // A copy of this message that a pull brought in meanwhile is the same message: one of the two
    // goes. A draft keeps the local one (it may have been edited since); a sent message the pulled one.
    const std::vector<BYTE> own = EntryIdOf(pMessage);
    ULONG cb = 0;
    BYTE* pb = nullptr;
    if (m_items.Get(lId, &cb, &pb) && std::vector<BYTE>(pb, pb + cb) != own) {
        const std::vector<BYTE> other(pb, pb + cb);
        MAPIFreeBuffer(pb);
        const bool bKeepOwn = ulFolderTag == PR_IPM_DRAFTS_ENTRYID;
        ComPtr<IMessage> pOther = OpenMessage(other);
        if (pOther) {
            ComPtr<IMAPIFolder> pParent;
            Ostrel::Mapi::OstrelMailItem loser(bKeepOwn ? pOther.Get() : pMessage, m_pStore);
            pParent.Attach(loser.ParentMapiFolder());
            SBinary eid{static_cast<ULONG>(bKeepOwn ? other.size() : own.size()),
                        const_cast<BYTE*>(bKeepOwn ? other.data() : own.data())};
            ENTRYLIST list{1, &eid};
            if (pParent && FAILED(pParent->DeleteMessages(&list, 0, nullptr, 0)))
                OSTLOG_WARN(L"A second copy of item %d stays in the store", lId);
            if (!bKeepOwn)
                return false;
        }
    } else {
        MAPIFreeBuffer(pb);
    }
    return SUCCEEDED(Complete(pMessage, lId, iFolder));
}

void StorePush::PushDrafts(PushReport& report) {
    ComPtr<IMAPIFolder> pDrafts = SpecialFolder(PR_IPM_DRAFTS_ENTRYID);
    if (!pDrafts)
        return;
    for (const std::vector<BYTE>& entryId : Contents(pDrafts.Get())) {
        ComPtr<IMessage> pMessage = OpenMessage(entryId);
        if (!pMessage)
            continue;
        if (const LONG lId = ServerIdOf(pMessage.Get())) {
            // A draft the server has, edited since: saving it again under its id replaces it,
            // unless the server's changed too.
            ItemBaseline before;
            if (!m_mailbox.Baseline().Read(pMessage.Get(), before) || !IsEditedSince(pMessage.Get(), before))
                continue;
            const ServerSide server = ServerChangeSince(lId, before);
            if (server == ServerSide::Changed) {
                if (KeepDraftAsConflict(pDrafts.Get(), pMessage.Get(), lId))
                    ++report.cConflicts;
                else
                    ++report.cFailed;
                continue;
            }
            if (server == ServerSide::Unknown) {
                ++report.cFailed;
                continue;
            }
            if (SaveDraft(pMessage.Get(), EnsureMessageId(pMessage.Get()), lId))
                ++report.cDrafts;
            else
                ++report.cFailed;
            continue;
        }
        Ostrel::Mapi::OstrelMailItemBase item(pMessage.Get());
        std::wstring wsMark = PendingMark(pMessage.Get());
        LONG lDraftId = 0;
        if (IsMark(wsMark, kDraftMark)) {
            // Without an answer to the look-up the draft waits: saving it blind could copy it.
            if (!FindServerMessage(kServerDrafts, wsMark.substr(kDraftMark.size()), lDraftId)) {
                ++report.cFailed;
                continue;
            }
        } else {
            wsMark = std::wstring(kDraftMark) + EnsureMessageId(pMessage.Get());
            if (FAILED(item.ReplicationId(wsMark.c_str())) ||
                FAILED(Ostrel::Mapi::WrapSaveChanges(pMessage.Get(), KEEP_OPEN_READWRITE, 0))) {
                ++report.cFailed;
                continue;
            }
        }
        if (SaveDraft(pMessage.Get(), wsMark.substr(kDraftMark.size()), lDraftId))
            ++report.cDrafts;
        else
            ++report.cFailed;
    }
}

bool StorePush::KeepDraftAsConflict(IMAPIFolder* pDrafts, IMessage* pMessage, LONG lId) {
    // Unstamped first: a run that stops before the move finds a new draft, which it saves beside
    // the server's, and the pull finds the record naming another object and drops it. Without its
    // server id and baseline the copy is never taken for the server's draft.
    const SyncBaseline& baseline = m_mailbox.Baseline();
    SizedSPropTagArray(6, stamp) = {6,
                                    {m_mailbox.OstrelIdTag(), baseline.FolderTag(), baseline.FlagsTag(),
                                     baseline.TagsTag(), baseline.SeqTag(), baseline.StampTag()}};
    ComPtr<IMAPIFolder> pConflicts;
    HRESULT hr =
        m_mailbox.OpenLocalFolder(std::wstring(kSyncIssuesFolder) + L"/" + kConflictsFolder, pConflicts.AddressOf());
    if (SUCCEEDED(hr))
        hr = pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&stamp), nullptr);
    if (SUCCEEDED(hr))
        hr = Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0);
    if (SUCCEEDED(hr)) {
        std::vector<BYTE> entryId = EntryIdOf(pMessage);
        SBinary eid{static_cast<ULONG>(entryId.size()), entryId.data()};
        ENTRYLIST list{1, &eid};
        hr = pDrafts->CopyMessages(&list, nullptr, pConflicts.Get(), 0, nullptr, MESSAGE_MOVE);
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Draft %d, changed on the server too, cannot be kept in %ls/%ls, hr: %x", lId, kSyncIssuesFolder,
                     kConflictsFolder, static_cast<unsigned>(hr));
        return false;
    }
    // Unknown to the mapper, the server's draft is neither deleted by this push nor taken for
    // this message by the next pull, which brings it down anew.
    m_items.Remove(lId);
    OSTLOG_INFO(1, L"Draft %d was changed on the server too: the local version is kept in %ls/%ls", lId,
                kSyncIssuesFolder, kConflictsFolder);
    return true;
}

bool StorePush::SaveDraft(IMessage* pMessage, const std::wstring& wsMessageId, LONG lDraftId) {
    std::wstring wsUploadId;
    if (!Upload(pMessage, wsMessageId, wsUploadId))
        return false;
    LONG lId = 0;
    try {
        Ostrel::Mail::TagIdList tagIds;
        Ostrel::Mail::TagNameList tagNames;
        Ostrel::Rpc::SaveDraftRequest request(wsUploadId.c_str(), lDraftId, 0, tagIds, tagNames);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        auto* pSaved = dynamic_cast<Ostrel::Rpc::SaveDraftResponse*>(pResponse.get());
        lId = pSaved ? pSaved->Id() : 0;
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Saving the draft %ls on the server failed: %ls", wsMessageId.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
        return false;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Saving the draft %ls on the server failed: %hs", wsMessageId.c_str(), e.what());
        return false;
    }
    if (lId <= 0) {
        OSTLOG_ERROR(L"The server saved the draft %ls but named no id for it", wsMessageId.c_str());
        return false;
    }
    return AdoptServerCopy(pMessage, lId, kServerDrafts, PR_IPM_DRAFTS_ENTRYID);
}

bool StorePush::FindServerMessage(int32_t iFolder, const std::wstring& wsMessageId, LONG& lFound) {
    lFound = 0;
    const std::string sWanted = Platform::ToUtf8(wsMessageId);
    try {
        Ostrel::Rpc::SyncRequest request(nullptr, iFolder, 0);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        for (LONG lListed : ItemsListedIn(*pResponse, L"m", iFolder)) {
            const std::wstring wsUrl = L"/service/content/get?id=" + std::to_wstring(lListed);
            std::string body;
            IStream* pStream = nullptr;
            bool bIsStream = false;
            Ostrel::Rpc::DoGetSynchronousUsingSessAuthTokOC(m_oc, wsUrl.c_str(), L"", body, pStream, bIsStream, false,
                                                            __func__, __LINE__);
            ComPtr<IStream> spooled;
            spooled.Attach(pStream);
            if (bIsStream && spooled) {
                // A large message came spooled: its header block is near the start.
                body.resize(64 * 1024);
                ULONG cbRead = 0;
                LARGE_INTEGER zero{};
                if (FAILED(spooled->Seek(zero, STREAM_SEEK_SET, nullptr)) ||
                    FAILED(spooled->Read(body.data(), static_cast<ULONG>(body.size()), &cbRead)))
                    cbRead = 0;
                body.resize(cbRead);
            }
            if (MessageIdHeader(body) == sWanted) {
                lFound = lListed;
                return true;
            }
        }
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Looking for the message %ls on the server failed: %ls", wsMessageId.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
        return false;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Looking for the message %ls on the server failed: %hs", wsMessageId.c_str(), e.what());
        return false;
    }
    return true;
}

bool StorePush::Upload(IMessage* pMessage, const std::wstring& wsMessageId, std::wstring& wsUploadId) {
    ComPtr<IStream> pMime;
    unsigned int cbMime = 0;
    HRESULT hr = ConvertMessageToMime(pMessage, m_pAddrBook, pMime.AddressOf(), cbMime, nullptr);
    std::string mime;
    if (FAILED(hr) || !ReadWholeStream(pMime.Get(), mime)) {
        OSTLOG_ERROR(L"The message %ls cannot be written as MIME, hr: %x", wsMessageId.c_str(),
                     static_cast<unsigned>(hr));
        return false;
    }
    // The writer leaves the Message-ID to the server; this one is how the push finds its message
    // there again.
    if (MessageIdHeader(mime).empty()) {
        const size_t eol = mime.find('\n');
        const char* pszEnd = eol != std::string::npos && eol > 0 && mime[eol - 1] == '\r' ? "\r\n" : "\n";
        mime.insert(0, "Message-ID: " + Platform::ToUtf8(wsMessageId) + pszEnd);
    }
    ComPtr<IStream> pUpload(Platform::MemStream::Create(mime).Get());
    try {
        return Ostrel::Rpc::DoPutSynchronousOC(m_oc, pUpload.Get(), mime.size(), L"/service/upload?fmt=raw", wsUploadId,
                                               nullptr, __func__, __LINE__) != 0;
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Uploading the message %ls failed: %ls", wsMessageId.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Uploading the message %ls failed: %hs", wsMessageId.c_str(), e.what());
    }
    return false;
}

HRESULT StorePush::Complete(IMessage* pMessage, LONG lId, int32_t iFolder) {
    Ostrel::Mapi::OstrelMailItemBase item(pMessage);
    HRESULT hr = item.StampOstrelId(lId);
    if (SUCCEEDED(hr))
        hr = item.LastServerReplicationId(item.ReplicationId().c_str());
    if (SUCCEEDED(hr)) {
        const ItemState now = CurrentItemState(m_pStore, pMessage, *m_pTags);
        ItemBaseline baseline;
        baseline.iFolder = iFolder;
        baseline.sFlags = now.sFlags;
        baseline.sTags = now.sTags;
        hr = m_mailbox.Baseline().Stamp(pMessage, baseline);
    }
    if (SUCCEEDED(hr))
        hr = Ostrel::Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0);
    if (SUCCEEDED(hr))
        m_items.Put(lId, pMessage, 0);
    else
        OSTLOG_ERROR(L"Item %d is on the server but cannot be stamped, hr: %x", lId, static_cast<unsigned>(hr));
    return hr;
}

}  // namespace OstrelCli
