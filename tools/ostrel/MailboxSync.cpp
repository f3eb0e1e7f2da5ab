#include "MailboxSync.h"

#include "ArchiveReader.h"
#include "StoreMigrate.h"
#include "StoreSync.h"
#include "SyncChanges.h"

#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

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
    std::unique_ptr<Response> response;
    try {
        response = RequestChanges(token);
    } catch (const MailServiceException_MUST_RESYNC&) {
        OSTLOG_WARN(L"The server no longer knows the sync token %hs; listing the whole mailbox", token->c_str());
        token.reset();
        response = RequestChanges(token);
    }
    report.bFull = !token;
    const SyncChanges changes = ReadSyncChanges(response->GetDocument());
    response.reset();
    Apply(changes, report.bFull, report);
    const uint64_t ullGalStart = NowMs();
    SyncGal();
    const uint64_t ullCountStart = NowMs();

    const StoreSyncCounts& counts = m_pStore->Counts();
    report.cFetched = counts.cFetched - report.cMigrated;
    report.cUpdated = counts.cUpdated;
    report.cItems = counts.cItems;
    report.cDeleted = counts.cDeleted;
    report.cFailed += counts.cFailed + changes.skipped.size();
    report.cConflicts = counts.cConflicts;
    report.cGal = counts.cGal;
    m_pStore->CountStore(report.cMessages, report.cFolders);
    report.ullMs = NowMs() - ullStart;
    OSTLOG_INFO(1, L"Synchronised in %llu ms: mailbox %llu ms, address list %llu ms, counts %llu ms",
                static_cast<unsigned long long>(report.ullMs), static_cast<unsigned long long>(ullGalStart - ullStart),
                static_cast<unsigned long long>(ullCountStart - ullGalStart),
                static_cast<unsigned long long>(NowMs() - ullCountStart));
    return report;
}

std::unique_ptr<Response> MailboxSync::RequestChanges(const std::optional<std::string>& token) {
    const std::wstring wsToken = token ? Platform::FromUtf8(*token) : std::wstring();
    SyncRequest request(token ? wsToken.c_str() : nullptr, 0, 0);
    Response* pResponse = nullptr;
    m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    std::unique_ptr<Response> response(pResponse);
    if (!dynamic_cast<SyncResponse*>(response.get()))
        throw std::runtime_error("the server did not answer the synchronisation with a SyncResponse");
    return response;
}

void MailboxSync::Apply(const SyncChanges& changes, bool bFull, SyncReport& report) {
    m_pStore->ApplyTags(changes.tags);
    m_pStore->ApplyFolders(changes.folders);
    if (bFull)
        m_pStore->IndexStore();

    PendingSync pending;
    pending.sToken = changes.sToken;
    std::set<int32_t> listed(changes.skipped.begin(), changes.skipped.end());
    for (const auto& [id, folder] : changes.folders)
        listed.insert(id);
    for (const SyncItem& item : changes.items) {
        listed.insert(item.iId);
        if (!m_pStore->ApplyItem(item, bFull))
            continue;
        switch (item.kind) {
            case SyncItemKind::Message:
                pending.toFetch.push_back(item.iId);
                break;
            case SyncItemKind::Contact:
                pending.contacts.push_back(item.iId);
                break;
            case SyncItemKind::Appointment:
                pending.appointments.push_back(item.iId);
                break;
            case SyncItemKind::Task:
                pending.tasks.push_back(item.iId);
                break;
            case SyncItemKind::Other:
                break;
        }
        ItemBaseline& listed = m_listed[item.iId];
        listed.iFolder = item.iFolder;
        listed.iSeq = item.iSeq;
        listed.sFlags = item.sFlags;
        listed.sTags = item.sTagIds;
    }
    pending.toDelete = changes.deleted;
    if (bFull) {
        for (int32_t id : m_pStore->HeldIds()) {
            if (!listed.count(id))
                pending.toDelete.push_back(id);
        }
    }
    m_mailbox.Flush();
    m_local.SetPending(pending);
    OSTLOG_INFO(1, L"Synchronising to token %hs: %d messages to fetch, %d items to delete", pending.sToken.c_str(),
                static_cast<int>(pending.toFetch.size()), static_cast<int>(pending.toDelete.size()));
    Fetch(pending, report);
    FetchItems(pending);
    Finish(pending, report);
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
    while (!pending.toFetch.empty()) {
        CheckInterrupt();
        const size_t count = std::min<size_t>(static_cast<size_t>(batchSize), pending.toFetch.size());
        const std::vector<int32_t> batch(pending.toFetch.begin(), pending.toFetch.begin() + count);
        std::set<int32_t> done;
        DownloadBatch(batch, done, report);
        // The batch is in the store and its records in the mapper before the pending record
        // forgets it.
        m_mailbox.Flush();
        pending.toFetch.erase(pending.toFetch.begin(), pending.toFetch.begin() + count);
        m_local.SetPending(pending);
        ++report.cBatches;
    }
    report.ullDownloadMs += NowMs() - ullStart;
    if (m_pProgress)
        m_pProgress->Clear();
}

void MailboxSync::DownloadBatch(const std::vector<int32_t>& ids, std::set<int32_t>& done, SyncReport& report) {
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
    ArchiveReader reader(source.Get());
    ArchiveEntry entry;
    std::optional<std::pair<int32_t, std::string>> meta;
    auto skip = [&](int32_t id, const char* pszWhy) {
        OSTLOG_ERROR(L"Message %d skipped: %hs", id, pszWhy);
        ++report.cFailed;
        done.insert(id);
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
        m_pStore->WriteMessage(*id, meta->second, entry.sData, entry.pStream.Get());
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
}

void MailboxSync::Finish(const PendingSync& pending, SyncReport&) {
    for (const bool bFolders : {false, true}) {
        for (int32_t id : pending.toDelete)
            m_pStore->Delete(id, bFolders);
    }
    m_mailbox.Flush();
    m_local.Commit(pending.sToken);
}

}  // namespace OstrelCli
