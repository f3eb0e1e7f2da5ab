#include "Ostrel/SenderLists/WhiteBlackListSync.h"

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/SenderLists/WhiteBlackListSyncException.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Paths.h"
#include "Platform/Host/Host.h"
#include "Platform/Host/JunkMail.h"
#include "Platform/Ipc/FileLock.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <mutex>

namespace Ostrel::Mapi {

namespace {

const char* const kBlackSnapshot = "blocked senders snapshot";
const char* const kWhiteSnapshot = "safe senders snapshot";
// Another process's run or edit holds the lists lock for a moment; a longer wait means it hangs.
constexpr DWORD kListsLockWaitMs = 30000;

std::mutex& ProcessLock() {
    static std::mutex mutex;
    return mutex;
}

SenderList SplitLines(const std::vector<std::wstring>& lines) {
    SenderList list;
    for (const std::wstring& wsLine : lines)
        for (std::wstring& wsEntry : SplitSenderList(wsLine))
            list.push_back(std::move(wsEntry));
    return list;
}

// The server's entries that the client's lists can hold; the others are logged and left out.
SenderList KeepableOnly(const SenderList& list, const wchar_t* pwszName) {
    SenderList keep;
    keep.reserve(list.size());
    for (const std::wstring& wsEntry : list) {
        if (IsKeepableSender(wsEntry))
            keep.push_back(wsEntry);
        else
            OSTLOG_WARN(L"WBSYNC: %s entry '%s' from the server cannot be kept; left out", pwszName, wsEntry.c_str());
    }
    return keep;
}

void LogHeldBack(const wchar_t* pwszList, const SenderList& held, DWORD dwMax) {
    if (held.empty())
        return;
    OSTLOG_WARN(L"WBSYNC: %s limit of %u entries reached; %d entr(ies) kept in OL only:", pwszList,
                static_cast<unsigned>(dwMax), static_cast<int>(held.size()));
    int i = 0;
    for (const std::wstring& wsEntry : held)
        OSTLOG_INFO(4, L"WBSYNC: %3d %s", ++i, wsEntry.c_str());
}

void LogChanges(const wchar_t* pwszList, const std::vector<SenderChange>& changes) {
    OSTLOG_INFO(1, L"WBSYNC: %d %s change(s):", static_cast<int>(changes.size()), pwszList);
    int i = 0;
    for (const SenderChange& change : changes)
        OSTLOG_INFO(4, L"WBSYNC: %3d %s\t\t\t\t\t%s", ++i, change.wsEntry.c_str(),
                    change.op == SenderChangeOp::Add ? L"ADD" : L"DEL");
}

}  // namespace

CWhiteBlackListSync::CWhiteBlackListSync(std::wstring wsProfile, IWhiteBlackListServer* pServer,
                                         std::filesystem::path snapshotPath)
    : m_wsProfile(std::move(wsProfile)), m_pServer(pServer), m_snapshotPath(std::move(snapshotPath)) {}

HRESULT CWhiteBlackListSync::SyncWhiteBlackLists(WhiteBlackListSyncReport* pReport) {
    m_wsLastProblem.clear();
    if (Platform::Host::GetApplicationType() != Platform::Host::kApplicationClient) {
        OSTLOG_INFO(1, L"WBSYNC: disabled outside Outlook");
        return S_FALSE;
    }
    WhiteBlackListSyncReport report;
    try {
        if (!m_pServer)
            WBSYNC_THROW(L"NULL m_pUserSession", E_POINTER);
        if (m_snapshotPath.empty())
            WBSYNC_THROW(L"NULL m_pMAPISup", E_POINTER);
        if (m_wsProfile.empty())
            WBSYNC_THROW(L"NULL m_pUIDOfProfsectWhereOLWhiteBlackListsStored", E_POINTER);
        if (Platform::Host::IsOffline()) {
            OSTLOG_INFO(1, L"WhiteBlacklists sync suppressed because OL offline");
            return S_FALSE;
        }
        if (IsBESOSN()) {
            OSTLOG_INFO(1, L"WBSYNC: no sender list synchronisation on a handheld server");
            return S_FALSE;
        }
        Run(report);
    } catch (const WhiteBlackListSyncException& e) {
        OSTLOG_ERROR(L"%s", e.GetText().c_str());
        m_wsLastProblem = e.GetMessage();
        return e.GetHResult();
    } catch (const Rpc::RpcException& e) {
        const wchar_t* pwszText = e.ExcepText() ? e.ExcepText() : L"";
        OSTLOG_ERROR(L"Caught '%s: %s'", e.ExcepType(), pwszText);
        m_wsLastProblem = std::wstring(e.ExcepType()) + L": " + pwszText;
        return E_FAIL;
    } catch (...) {
        OSTLOG_ERROR(L"WBSYNC: ERROR: Unknown fault");
        m_wsLastProblem = L"unknown fault";
        return E_UNEXPECTED;
    }
    if (pReport)
        *pReport = report;
    return S_OK;
}

void CWhiteBlackListSync::Run(WhiteBlackListSyncReport& report) {
    std::lock_guard<std::mutex> processLock(ProcessLock());
    const std::filesystem::path lockPath = Platform::Host::JunkMailListsLockPath(m_wsProfile);
    Platform::FileLock listsLock(lockPath);
    if (!Platform::EnsurePrivateDirectory(lockPath.parent_path()) || !listsLock.Lock(kListsLockWaitMs))
        WBSYNC_THROW(L"Failed to lock the OL junk-mail lists", E_ACCESSDENIED);

    Snapshots snapshots = ReadSnapshots();
    Lists ol;
    const bool bHaveOLLists = ReadOLLists(ol);
    if (!bHaveOLLists && (snapshots.black || snapshots.white)) {
        // Taken against the snapshots, a vanished file would remove every entry from the server.
        OSTLOG_WARN(L"WBSYNC: the OL junk-mail lists are missing; merging them with the server's lists");
        snapshots = Snapshots();
    }
    if (!snapshots.black && !snapshots.white)
        OSTLOG_INFO(1, L"WBSYNC: No snapshots...first time whitelist and blacklist sync");
    else
        OSTLOG_INFO(1, L"WBSYNC: Found snapshots");
    report.bMerged = !snapshots.black || !snapshots.white;

    std::optional<Lists> server;
    if (report.bMerged)
        server = ReadServerLists();
    // Against its snapshot a list gives adds and deletes; without one only adds (a merge).
    auto changesOf = [](const SenderList& olList, const std::optional<SenderList>& snapshot,
                        const SenderList* pServerList) {
        if (snapshot)
            return CalcSenderChanges(olList, *snapshot);
        std::vector<SenderChange> adds;
        for (std::wstring& wsEntry : MissingFrom(olList, *pServerList))
            adds.push_back({std::move(wsEntry), SenderChangeOp::Add});
        return adds;
    };
    std::vector<SenderChange> blackChanges = changesOf(ol.black, snapshots.black, server ? &server->black : nullptr);
    std::vector<SenderChange> whiteChanges = changesOf(ol.white, snapshots.white, server ? &server->white : nullptr);

    // What the account's limits leave no room for stays in the client's list only; being in no
    // snapshot, it is found again and sent once there is room.
    m_pServer->GetLimits(report.dwBlockedMax, report.dwSafeMax);
    auto hasAdds = [](const std::vector<SenderChange>& changes) {
        return std::any_of(changes.begin(), changes.end(),
                           [](const SenderChange& change) { return change.op == SenderChangeOp::Add; });
    };
    if (!server && ((report.dwBlockedMax && hasAdds(blackChanges)) || (report.dwSafeMax && hasAdds(whiteChanges))))
        server = ReadServerLists();
    Lists held;
    if (server) {
        held.black = HoldBackOverLimit(blackChanges, server->black, report.dwBlockedMax);
        held.white = HoldBackOverLimit(whiteChanges, server->white, report.dwSafeMax);
        LogHeldBack(L"blacklist", held.black, report.dwBlockedMax);
        LogHeldBack(L"whitelist", held.white, report.dwSafeMax);
    }
    report.cBlockedHeldBack = held.black.size();
    report.cSafeHeldBack = held.white.size();

    LogChanges(L"blacklist", blackChanges);
    LogChanges(L"whitelist", whiteChanges);
    report.cChangesSent = blackChanges.size() + whiteChanges.size();
    OSTLOG_INFO(1, L"WBSYNC: Total changes: %d", static_cast<int>(report.cChangesSent));
    if (!blackChanges.empty())
        PersistChangesToOSV(false, blackChanges);
    if (!whiteChanges.empty())
        PersistChangesToOSV(true, whiteChanges);

    if (!server || report.cChangesSent)
        server = ReadServerLists();
    const Lists snapshot{KeepableOnly(server->black, L"Blacklist"), KeepableOnly(server->white, L"Whitelist")};
    Lists client = snapshot;
    client.black.insert(client.black.end(), held.black.begin(), held.black.end());
    client.white.insert(client.white.end(), held.white.begin(), held.white.end());
    report.bClientChanged = client.black != ol.black || client.white != ol.white;
    if (!bHaveOLLists || report.bClientChanged)
        PersistListsToOL(client);
    WriteSnapshots(snapshot);
    report.cBlockedSenders = client.black.size();
    report.cSafeSenders = client.white.size();
}

bool CWhiteBlackListSync::ReadOLLists(Lists& lists) {
    Platform::Host::JunkMailLists junkMail;
    std::wstring wsProblem;
    const HRESULT hr = Platform::Host::ReadJunkMailLists(m_wsProfile, junkMail, &wsProblem);
    if (FAILED(hr))
        WBSYNC_THROW(wsProblem, hr);
    lists.black = SplitLines(junkMail.blockedSenders);
    lists.white = SplitLines(junkMail.safeSenders);

    const SenderList invalid = SplitLines(junkMail.invalidDomains);
    if (!invalid.empty()) {
        OSTLOG_INFO(1, L"WBSYNC: Found invalid blocked domain(s): %s", JoinSenderList(invalid).c_str());
        for (const std::wstring& wsEntry : MissingFrom(invalid, lists.black))
            lists.black.push_back(wsEntry);
        junkMail.blockedSenders = lists.black;
        junkMail.invalidDomains.clear();
        const HRESULT hrWrite = Platform::Host::WriteJunkMailLists(m_wsProfile, junkMail);
        if (FAILED(hrWrite))
            WBSYNC_THROW(L"Failed to write fixed OL blacklist", hrWrite);
    }
    return hr == S_OK;
}

CWhiteBlackListSync::Snapshots CWhiteBlackListSync::ReadSnapshots() {
    Platform::Host::NamedLists named;
    std::wstring wsProblem;
    const HRESULT hr =
        Platform::Host::ReadListsFile(m_snapshotPath, {kBlackSnapshot, kWhiteSnapshot}, named, &wsProblem);
    Snapshots snapshots;
    if (FAILED(hr)) {
        // Merging instead loses nothing; deletions made meanwhile simply come back once.
        OSTLOG_WARN(L"WBSYNC: the snapshots cannot be used (%s); merging the lists instead", wsProblem.c_str());
        return snapshots;
    }
    if (auto it = named.find(kBlackSnapshot); it != named.end())
        snapshots.black = std::move(it->second);
    if (auto it = named.find(kWhiteSnapshot); it != named.end())
        snapshots.white = std::move(it->second);
    return snapshots;
}

CWhiteBlackListSync::Lists CWhiteBlackListSync::ReadServerLists() {
    Lists lists;
    m_pServer->GetLists(lists.black, lists.white);
    return lists;
}

void CWhiteBlackListSync::PersistChangesToOSV(bool bWhiteList, const std::vector<SenderChange>& changes) {
    try {
        m_pServer->SendChanges(bWhiteList, changes);
    } catch (...) {
        OSTLOG_ERROR(L"CWhiteBlackListSync::PersistChangesToOSV Failed to send changes to svr.");
        throw;
    }
}

void CWhiteBlackListSync::PersistListsToOL(const Lists& lists) {
    Platform::Host::JunkMailLists junkMail;
    junkMail.blockedSenders = lists.black;
    junkMail.safeSenders = lists.white;
    const HRESULT hr = Platform::Host::WriteJunkMailLists(m_wsProfile, junkMail);
    if (FAILED(hr))
        WBSYNC_THROW(L"Failed to write the OL junk-mail lists", hr);
}

void CWhiteBlackListSync::WriteSnapshots(const Lists& lists) {
    const HRESULT hr = Platform::Host::WriteListsFile(
        m_snapshotPath, "Sender lists after the last synchronisation with the server; kept by the connector.",
        {{kBlackSnapshot, lists.black}, {kWhiteSnapshot, lists.white}});
    if (FAILED(hr))
        WBSYNC_THROW(L"Failed to write the snapshots", hr);
}

}  // namespace Ostrel::Mapi
