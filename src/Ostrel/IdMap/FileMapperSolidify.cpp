// Making tentative records solid: by age on the solidifier's timer, or all at once when a
// mapper is shut down.
#include <cerrno>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

void FileMapper::SolidifyMature(bool bForce) {
    if (!m_bInitialized)
        return;
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || !m_bCacheLoaded || FAILED(CheckCache()))
        return;
    Util::AutoCriticalSection cs(m_csTentativeList);
    if (m_lstTentative.empty()) {
        if (bForce)
            OSTLOG_INFO(4, L"No IDM records to solidify at shutdown");
        return;
    }
    if (bForce)
        OSTLOG_INFO(4, L"Forcing solidify due to shutdown");
    const ULONGLONG ullNow = Util::CurrentClock().GetTickCount64();
    size_t cDone = 0, cSolidified = 0;
    for (; cDone < m_lstTentative.size(); ++cDone) {
        const TentativeEntry entry = m_lstTentative[cDone];
        const ULONGLONG ullAge = ullNow - entry.ullCreated;
        if (!bForce && ullAge < kMatureMs)
            break;
        OSTLOG_INFO(16, L"Solidifying %s in %d->%08X (aged %d secs)", entry.bKind == kTentativeAdd ? L"ADD" : L"DEL",
                    static_cast<LONG>(entry.ulOstId), entry.ulPstId, static_cast<int>(ullAge / 1000));
        if (SolidifyEntry(entry))
            ++cSolidified;
        if (cSolidified == 1 && Util::IsTesting(L"TermDuringIDMSolidify"))
            Util::TestModeTerminate(L"TermDuringIDMSolidify", 1);
    }
    m_lstTentative.erase(m_lstTentative.begin(), m_lstTentative.begin() + static_cast<ptrdiff_t>(cDone));
    if (cSolidified == 0) {
        OSTLOG_INFO(16, L"No IDM records solidified. %d tentative remain. (%s)",
                    static_cast<int>(m_lstTentative.size()), GetNameSz());
        return;
    }
    StampAndFlush();
    // Solid records are what a crash must not lose: they go to disk now.
    if (!m_view.Flush())
        OSTLOG_ERROR(L"Failed to FlushViewOfFile %d", errno);
    OSTLOG_INFO(4, L"Solidified %d IDM record(s). %d tentative remain. (%s)", static_cast<int>(cSolidified),
                static_cast<int>(m_lstTentative.size()), GetNameSz());
}

BOOL FileMapper::SolidifySingleRecord(LONG lOstId, BYTE bKind) {
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || FAILED(CheckCache()))
        return FALSE;
    Util::AutoCriticalSection cs(m_csTentativeList);
    for (size_t i = 0; i < m_lstTentative.size(); ++i) {
        const TentativeEntry entry = m_lstTentative[i];
        if (entry.ulOstId != static_cast<ULONG>(lOstId) || !(entry.bKind & bKind))
            continue;
        m_lstTentative.erase(m_lstTentative.begin() + static_cast<ptrdiff_t>(i));
        const bool bDone = SolidifyEntry(entry);
        StampAndFlush();
        return bDone;
    }
    OSTLOG_ERROR(L"IDM record OstID %d not found in cache", lOstId);
    return FALSE;
}

// Settles one tentative record, unless the record in its slot is no longer the one the entry
// describes (another process settled or reused it since).
bool FileMapper::SolidifyEntry(const TentativeEntry& entry) {
    const IdmRecord r = ReadIdmRecord(FileData(), entry.ulSlot);
    const BYTE bBits = entry.bTorn ? BYTE(kTentativeAdd | kTentativeDel) : entry.bKind;
    if (r.ulOstId != entry.ulOstId || r.ulPstId != entry.ulPstId || !(r.bTentative & bBits))
        return false;
    const LONG lOstId = static_cast<LONG>(entry.ulOstId);
    if (entry.bTorn) {
        // Its fields were never confirmed; only the object's stamp can.
        if (CheckPair(lOstId, entry.ulPstId) == PairCheck::Valid && !m_mapOstIdToPstId.Contains(entry.ulOstId) &&
            !m_mapPstIdToOstId.Contains(entry.ulPstId)) {
            WriteIdmRecord(FileData(), entry.ulSlot, entry.ulOstId, entry.ulPstId, 0, m_bRecordChecks);
            --m_ulFileTentative;
            m_mapOstIdToPstId.Set(entry.ulOstId, Mapping{entry.ulPstId, entry.ulSlot});
            m_mapPstIdToOstId.Set(entry.ulPstId, entry.ulOstId);
        } else {
            FreeRecord(entry.ulSlot, r.bTentative);
        }
    } else if (entry.bKind == kTentativeAdd) {
        SetRecordBits(entry.ulSlot, r.bTentative, static_cast<BYTE>(r.bTentative & ~kTentativeAdd));
    } else if (m_pOwner && m_pOwner->IsVerifyingTentative()) {
        SetRecordBits(entry.ulSlot, r.bTentative, static_cast<BYTE>(r.bTentative & ~kTentativeDel));
    } else {
        FreeRecord(entry.ulSlot, r.bTentative);
    }
    OSTLOG_INFO(16, L"OstrelID %d (%s) solidified successfully", lOstId,
                entry.bKind == kTentativeAdd ? L"ADD" : L"DEL");
    return true;
}

}  // namespace Ostrel::Mapi
