#include "MailboxSync.h"

#include "ArchiveReader.h"
#include "StoreMigrate.h"
#include "StoreSync.h"
#include "SyncChanges.h"

#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Transport/StreamResponse.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <algorithm>
#include <charconv>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;

constexpr int kDefaultBatch = 100;

uint64_t NowMs() {
    return Ostrel::Util::CurrentClock().GetTickCount64();
}

// "257.meta" gives 257; nothing for a name that is not "<id>.<extension>".
std::optional<int32_t> EntryId(const std::string& name) {
    const size_t dot = name.find('.');
    int32_t id = 0;
    auto [ptr, ec] = std::from_chars(name.data(), name.data() + dot, id);
    if (dot == std::string::npos || dot == 0 || ec != std::errc() || ptr != name.data() + dot)
        return std::nullopt;
    return id;
}

std::wstring JoinIds(const std::vector<int32_t>& ids) {
    std::wstring text;
    for (int32_t id : ids)
        text += (text.empty() ? L"" : L",") + std::to_wstring(id);
    return text;
}

}  // namespace

MailboxSync::MailboxSync(const ProfileSettings& profile, UserSession& session, StoreMailbox& mailbox)
    : m_session(session), m_mailbox(mailbox), m_local(mailbox.State()), m_pStore(std::make_unique<StoreSync>(mailbox)) {
    const LogonParams params = LogonParamsOf(profile, std::wstring());
    m_pConnection = std::make_unique<OstrelConnection>(L"ostrel sync", params.wsServer.c_str(), params.dwPort,
                                                       params.useSSL, params.dwProxySelection, params.wsProxy.c_str(),
                                                       0, Platform::FromUtf8(profile.sName).c_str());
    m_pStore->SetAttachmentSource(m_pConnection.get());
}

MailboxSync::~MailboxSync() = default;

void MailboxSync::CheckInterrupt() const {
    if (m_interrupted && m_interrupted())
        throw SyncInterrupted();
}

SyncReport MailboxSync::Run(bool bFull) {
    const uint64_t ullStart = NowMs();
    SyncReport report;
    m_local.RemoveLeftovers();
    if (m_local.HasLegacyCopy())
        report.cMigrated = MigrateLegacyCopy(m_mailbox, *m_pStore);

    if (bFull) {
        m_local.DropPending();  // a full listing covers whatever it promised
    } else if (std::optional<PendingSync> pending = m_local.Pending()) {
        OSTLOG_INFO(1, L"Finishing the interrupted synchronisation to token %hs (%d messages to fetch)",
                    pending->sToken.c_str(), static_cast<int>(pending->toFetch.size()));
        report.bResumed = true;
        // The interrupted run may have written messages it could not record: find them by stamp.
        m_pStore->IndexStore();
        Fetch(*pending, report);
        FetchItems(*pending);
        Finish(*pending, report);
    }

    std::optional<std::string> token = bFull ? std::nullopt : m_local.Token();
    Platform::ComPtr<IStream> reply;
    try {
        reply = RequestChanges(token);
    } catch (const MailServiceException_MUST_RESYNC&) {
        OSTLOG_WARN(L"The server no longer knows the sync token %hs; listing the whole mailbox", token->c_str());
        token.reset();
        reply = RequestChanges(token);
    }
    report.bFull = !token;
    const SyncChanges listing = Apply(reply.Get(), report.bFull, report);
    reply = nullptr;
    const uint64_t ullGalStart = NowMs();
    SyncGal(bFull);
    const uint64_t ullCountStart = NowMs();

    const StoreSyncCounts& counts = m_pStore->Counts();
    report.cFetched = counts.cFetched - report.cMigrated;
    report.cUpdated = counts.cUpdated;
    report.cItems = counts.cItems;
    report.cDeleted = counts.cDeleted;
    report.cFailed += counts.cFailed + listing.skipped.size();
    report.cConflicts = counts.cConflicts;
    report.cGal = counts.cGal;
    report.cGalDeleted = counts.cGalDeleted;
    m_pStore->CountStore(report.cMessages, report.cFolders);
    report.ullMs = NowMs() - ullStart;
    OSTLOG_INFO(1, L"Synchronised in %llu ms: mailbox %llu ms, address list %llu ms, counts %llu ms",
                static_cast<unsigned long long>(report.ullMs), static_cast<unsigned long long>(ullGalStart - ullStart),
                static_cast<unsigned long long>(ullCountStart - ullGalStart),
                static_cast<unsigned long long>(NowMs() - ullCountStart));
    return report;
}

Platform::ComPtr<IStream> MailboxSync::RequestChanges(const std::optional<std::string>& token) {
    const std::wstring wsToken = token ? Platform::FromUtf8(*token) : std::wstring();
    SyncRequest request(token ? wsToken.c_str() : nullptr, 0, 0);
    return SendRequestForStreamOC(*m_pConnection, &request, __func__, __LINE__);
}

namespace {

std::optional<FetchKind> FetchKindOf(SyncItemKind kind) {
    switch (kind) {
        case SyncItemKind::Message:
            return FetchKind::Message;
        case SyncItemKind::Contact:
            return FetchKind::Contact;
        case SyncItemKind::Appointment:
            return FetchKind::Appointment;
        case SyncItemKind::Task:
            return FetchKind::Task;
        case SyncItemKind::Other:
            break;
    }
    return std::nullopt;
}

std::vector<int32_t>& ListOf(PendingSync& pending, FetchKind kind) {
    switch (kind) {
        case FetchKind::Contact:
            return pending.contacts;
        case FetchKind::Appointment:
            return pending.appointments;
        case FetchKind::Task:
            return pending.tasks;
        case FetchKind::Message:
            break;
    }
    return pending.toFetch;
}

const wchar_t* KindName(FetchKind kind) {
    switch (kind) {
        case FetchKind::Contact:
            return L"Contact";
        case FetchKind::Appointment:
            return L"Appointment";
        case FetchKind::Task:
            return L"Task";
        case FetchKind::Message:
            break;
    }
    return L"Message";
}

}  // namespace

SyncChanges MailboxSync::Apply(IStream* pReply, bool bFull, SyncReport& report) {
    PendingSync pending;
    // Every id the listing names, for a full listing to find what the store holds beyond it.
    std::vector<int32_t> listed;
    const SyncChanges listing = ReadSyncChanges(
        pReply,
        [&](const SyncChanges& changes) {
            m_pStore->ApplyTags(changes.tags);
            m_pStore->ApplyFolders(changes.folders);
            if (bFull)
                m_pStore->IndexStore();
        },
        [&](const SyncItem& item) {
            if (bFull)
                listed.push_back(item.iId);
            const std::optional<FetchKind> kind = FetchKindOf(item.kind);
            if (!kind || !m_pStore->ApplyItem(item, bFull))
                return;
            ListOf(pending, *kind).push_back(item.iId);
            if (*kind == FetchKind::Message)
                return;  // a message's archive entry carries its metadata
            ItemBaseline& baseline = m_listed[item.iId];
            baseline.iFolder = item.iFolder;
            baseline.iSeq = item.iSeq;
            baseline.sFlags = item.sFlags;
            baseline.sTags = item.sTagIds;
        });
    pending.sToken = listing.sToken;
    pending.toDelete = listing.deleted;
    if (bFull) {
        listed.insert(listed.end(), listing.skipped.begin(), listing.skipped.end());
        for (const auto& [id, folder] : listing.folders)
            listed.push_back(id);
        std::sort(listed.begin(), listed.end());
        for (int32_t id : m_pStore->HeldIds()) {
            if (!std::binary_search(listed.begin(), listed.end(), id))
                pending.toDelete.push_back(id);
        }
    }
    std::vector<RetryItem> skipped;
    for (const auto& [id, kind] : listing.skippedItems) {
        if (const std::optional<FetchKind> fetchKind = FetchKindOf(kind))
            skipped.push_back(RetryItem{id, *fetchKind, 0});
    }
    // A full listing names every item there is: what earlier runs left out is in it again.
    if (!bFull)
        AddRetries(pending, skipped);
    pending.retry = std::move(skipped);
    m_mailbox.Flush();
    m_local.SetPending(pending);
    m_local.SetRetries({});  // the plan holds them now
    OSTLOG_INFO(1, L"Synchronising to token %hs: %d messages to fetch, %d items to delete", pending.sToken.c_str(),
                static_cast<int>(pending.toFetch.size()), static_cast<int>(pending.toDelete.size()));
    Fetch(pending, report);
    FetchItems(pending);
    Finish(pending, report);
    return listing;
}

void MailboxSync::AddRetries(PendingSync& pending, std::vector<RetryItem>& skipped) {
    std::vector<int32_t> planned(pending.toDelete);
    for (FetchKind kind : {FetchKind::Message, FetchKind::Contact, FetchKind::Appointment, FetchKind::Task})
        planned.insert(planned.end(), ListOf(pending, kind).begin(), ListOf(pending, kind).end());
    std::sort(planned.begin(), planned.end());
    for (RetryItem item : m_local.Retries()) {
        ++item.iAttempts;
        // Left out by the listing again: it counts as one more attempt.
        auto again =
            std::find_if(skipped.begin(), skipped.end(), [&](const RetryItem& s) { return s.iId == item.iId; });
        if (again != skipped.end()) {
            again->iAttempts = item.iAttempts;
            continue;
        }
        if (std::binary_search(planned.begin(), planned.end(), item.iId))
            continue;  // listed again, or deleted meanwhile
        OSTLOG_INFO(1, L"%s %d: asking for it again (attempt %d of %d)", KindName(item.kind), item.iId, item.iAttempts,
                    kMaxRetries);
        ListOf(pending, item.kind).push_back(item.iId);
        pending.retried.push_back(item);
    }
}

void MailboxSync::MarkDone(PendingSync& pending, const std::vector<int32_t>& batch, const std::vector<int32_t>& failed,
                           FetchKind kind) {
    std::vector<RetryItem> retry;
    for (int32_t id : failed) {
        auto it = std::find_if(pending.retried.begin(), pending.retried.end(),
                               [id](const RetryItem& item) { return item.iId == id; });
        retry.push_back(RetryItem{id, kind, it == pending.retried.end() ? 0 : it->iAttempts});
    }
    m_local.MarkDone(batch, retry);
    pending.retry.insert(pending.retry.end(), retry.begin(), retry.end());
}

void MailboxSync::Fetch(PendingSync& pending, SyncReport& report) {
    if (pending.toFetch.empty())
        return;
    int batchSize = m_session.SetZipListSize();
    if (batchSize <= 0)
        batchSize = kDefaultBatch;
    if (m_pProgress)
        m_pProgress->Start("downloading", pending.toFetch.size());
    const uint64_t ullStart = NowMs();
    for (size_t next = 0; next < pending.toFetch.size();) {
        CheckInterrupt();
        const size_t count = std::min<size_t>(static_cast<size_t>(batchSize), pending.toFetch.size() - next);
        const std::vector<int32_t> batch(pending.toFetch.begin() + static_cast<ptrdiff_t>(next),
                                         pending.toFetch.begin() + static_cast<ptrdiff_t>(next + count));
        const std::vector<int32_t> failed = DownloadBatch(batch, report);
        // The batch is in the store and its records in the mapper before the pending record
        // marks it done.
        m_mailbox.Flush();
        MarkDone(pending, batch, failed, FetchKind::Message);
        next += count;
        ++report.cBatches;
    }
    pending.toFetch.clear();
    report.ullDownloadMs += NowMs() - ullStart;
    if (m_pProgress)
        m_pProgress->Clear();
}

std::vector<int32_t> MailboxSync::DownloadBatch(const std::vector<int32_t>& ids, SyncReport& report) {
    const int level = std::max(0, m_session.SetZipLevel());
    const std::wstring wsUrl = L"/service/download?ids=" + JoinIds(ids) + L"&level=" + std::to_wstring(level);
    std::string body;
    Platform::ComPtr<IStream> spooled;
    for (int attempt = 0;; ++attempt) {
        const std::wstring wsHeaders = L"Cookie: OS_AUTH_TOKEN=" + m_session.AuthToken();
        IStream* pStream = nullptr;
        bool bIsStream = false;
        try {
            m_pConnection->DoGetSynchronousOC(wsUrl.c_str(), wsHeaders.c_str(), body, pStream, bIsStream, false,
                                              __func__, __LINE__);
            spooled.Attach(bIsStream ? pStream : nullptr);
            break;
        } catch (const FileDownloadFaultException& e) {
            // The token expired between the synchronisation and the download: sign on again once.
            if (e.StatusCode() != 401 || attempt > 0)
                throw;
            m_session.InvalidateAuthToken(1);
        }
    }
    Platform::ComPtr<IStream> source = spooled;
    if (!source) {
        source = Platform::ComPtr<IStream>(Platform::MemStream::Create(body).Get());
        body.clear();
    }

    const std::set<int32_t> requested(ids.begin(), ids.end());
    std::set<int32_t> done;
    std::vector<int32_t> failed;
    ArchiveReader reader(source.Get());
    ArchiveEntry entry;
    std::optional<std::pair<int32_t, std::string>> meta;
    auto skip = [&](int32_t id, const char* pszWhy) {
        OSTLOG_ERROR(L"Message %d skipped: %hs", id, pszWhy);
        ++report.cFailed;
        done.insert(id);
        failed.push_back(id);
    };
    while (reader.Next(entry)) {
        // An entry that breaks the rules costs its item only; damage to the archive itself throws.
        const std::optional<int32_t> id = EntryId(entry.sName);
        if (!id || !requested.count(*id) || done.count(*id)) {
            OSTLOG_ERROR(L"Archive entry '%hs' skipped: it names no message that was asked for", entry.sName.c_str());
            ++report.cFailed;
            continue;
        }
        if (entry.kind == ArchiveEntry::Kind::Meta) {
            if (meta)
                skip(meta->first, "the archive has its metadata but not the message");
            meta = {*id, std::move(entry.sData)};
            continue;
        }
        if (entry.kind == ArchiveEntry::Kind::Error) {
            OSTLOG_WARN(L"Message %d is no longer available: %hs", *id, entry.sData.c_str());
            ++report.cUnavailable;
            done.insert(*id);
            continue;
        }
        if (!meta || meta->first != *id) {
            skip(*id, "the archive has the message without its metadata");
            continue;
        }
        const uint64_t ullSize = entry.pStream ? entry.ullSize : entry.sData.size();
        const size_t cFailedBefore = m_pStore->Counts().cFailed;
        m_pStore->WriteMessage(*id, meta->second, entry.sData, entry.pStream.Get());
        if (m_pStore->Counts().cFailed != cFailedBefore)
            failed.push_back(*id);  // logged and counted by the store's writer
        meta.reset();
        done.insert(*id);
        report.ullBytes += ullSize;
        if (m_pProgress)
            m_pProgress->Advance(1, ullSize);
    }
    if (meta)
        skip(meta->first, "the archive has its metadata but not the message");
    for (int32_t id : ids) {
        if (!done.count(id))
            skip(id, "the archive does not hold it");
    }
    return failed;
}

void MailboxSync::Finish(const PendingSync& pending, SyncReport&) {
    for (const bool bFolders : {false, true}) {
        for (int32_t id : pending.toDelete)
            m_pStore->Delete(id, bFolders);
    }
    m_mailbox.Flush();
    // What was left out is asked for again by the next runs, each item a bounded number of times.
    std::vector<RetryItem> retries;
    std::set<int32_t> seen(pending.toDelete.begin(), pending.toDelete.end());
    for (const RetryItem& item : pending.retry) {
        if (!seen.insert(item.iId).second)
            continue;
        if (item.iAttempts >= kMaxRetries) {
            OSTLOG_WARN(L"%s %d is still missing after %d attempts; 'ostrel sync --full' asks for it again",
                        KindName(item.kind), item.iId, item.iAttempts + 1);
            continue;
        }
        retries.push_back(item);
    }
    m_local.SetRetries(retries);
    m_local.Commit(pending.sToken);
}

}  // namespace OstrelCli
