// Keeps the client's safe and blocked senders (the junk-mail lists of Platform/Host) equal to the
// server's white and black lists. A run sends the changes the user made in the client since the
// last run (found against the snapshots, the lists as they stood after that run), then makes the
// server's lists the client's lists and the new snapshots. Without a snapshot a list is merged:
// each side gets what the other has, nothing is removed.
//
// The account may limit the entries of each list on the server. Additions beyond that are not
// sent; they stay in the client's list (and out of the snapshots), so each run tries them again
// and the run's report counts them.
//
// Nothing is lost on a failure: snapshots are written only after the server took the changes, so
// unsent changes are found again next time; a damaged lists file stops the run before anything
// is sent or written; a lists file that has gone missing is merged rather than read as "the user
// deleted everything".
//
// Runs are serialised in the process (a critical section) and across processes (the lists file's
// lock), so a list edited by another process during a run waits for it instead of being lost.
#pragma once

#include "Ostrel/SenderLists/SenderList.h"
#include "Ostrel/SenderLists/WhiteBlackListServer.h"
#include "Platform/Base/HResult.h"

#include <filesystem>
#include <optional>
#include <string>

namespace Ostrel::Mapi {

struct WhiteBlackListSyncReport {
    bool bMerged = false;  // at least one list had no snapshot and was merged
    size_t cChangesSent = 0;
    bool bClientChanged = false;  // the run changed the client's lists
    size_t cSafeSenders = 0;      // the client's lists afterwards
    size_t cBlockedSenders = 0;
    // The account's limits (0: none) and the client's entries they left no room for.
    DWORD dwSafeMax = 0;
    DWORD dwBlockedMax = 0;
    size_t cSafeHeldBack = 0;
    size_t cBlockedHeldBack = 0;
};

class CWhiteBlackListSync {
public:
    // `snapshotPath`: the file that keeps the snapshots (a lists file of its own).
    CWhiteBlackListSync(std::wstring wsProfile, IWhiteBlackListServer* pServer, std::filesystem::path snapshotPath);

    // S_OK after a run, S_FALSE when runs are off here (outside the client, offline, handheld
    // server), a failure HRESULT otherwise (then GetLastProblem says what went wrong). Never throws.
    HRESULT SyncWhiteBlackLists(WhiteBlackListSyncReport* pReport = nullptr);
    const std::wstring& GetLastProblem() const { return m_wsLastProblem; }

private:
    struct Lists {
        SenderList black;
        SenderList white;
    };
    struct Snapshots {
        std::optional<SenderList> black;
        std::optional<SenderList> white;
    };

    void Run(WhiteBlackListSyncReport& report);
    // The client's lists, with its invalid blocked domains moved to the blocked list first. False
    // when the profile has no lists file yet.
    bool ReadOLLists(Lists& lists);
    Snapshots ReadSnapshots();
    Lists ReadServerLists();
    void PersistChangesToOSV(bool bWhiteList, const std::vector<SenderChange>& changes);
    void PersistListsToOL(const Lists& lists);
    void WriteSnapshots(const Lists& lists);

    const std::wstring m_wsProfile;
    IWhiteBlackListServer* const m_pServer;
    const std::filesystem::path m_snapshotPath;
    std::wstring m_wsLastProblem;
};

}  // namespace Ostrel::Mapi
