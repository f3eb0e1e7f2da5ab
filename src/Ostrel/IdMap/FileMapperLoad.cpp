// Loading the cache from the file, the check that notices other processes' changes, the
// verification of tentative records after a crash and the rebuild of a damaged file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/FileMapperMgr.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/Stopwatch.h"

namespace Ostrel::Mapi {

namespace {

bool WriteAllAt(int fd, const void* pv, size_t cb, off_t off) {
    const auto* p = static_cast<const BYTE*>(pv);
    while (cb > 0) {
        const ssize_t n = ::pwrite(fd, p, cb, off);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += n, cb -= size_t(n), off += n;
    }
    return true;
}

bool ReadWholeFile(int fd, std::vector<BYTE>* pBytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    pBytes->resize(static_cast<size_t>(st.st_size));
    size_t cbDone = 0;
    while (cbDone < pBytes->size()) {
        const ssize_t n = ::pread(fd, pBytes->data() + cbDone, pBytes->size() - cbDone, off_t(cbDone));
        if (n <= 0)
            break;
        cbDone += size_t(n);
    }
    pBytes->resize(cbDone);
    return true;
}

}  // namespace

bool FileMapper::LockExclusive(Util::AutoCrossProcessLock& xp, std::unique_lock<std::shared_mutex>& rw) {
    if (!xp.IsLocked())
        return false;
    const bool bAbandoned = m_lock.WasAbandoned();
    rw = std::unique_lock<std::shared_mutex>(m_rwCache);
    if (bAbandoned) {
        // A process died inside a change: the file may hold a record it left half written, and
        // the stamp may not tell. Read everything again and check what is tentative.
        OSTLOG_WARN(L"IDM lock of '%s' was abandoned by a process that died; reloading and verifying", GetNameSz());
        m_bReloadNeeded = true;
        m_bVerifyOnLoad = true;
    }
    return true;
}

HRESULT FileMapper::CheckCache() {
    if (m_bCacheLoaded && !m_bReloadNeeded && m_view.IsOpen()) {
        struct stat st {};
        // A view larger than the file would fault on its tail; a smaller one misses records.
        if (::fstat(m_fd, &st) == 0 && static_cast<size_t>(st.st_size) == m_view.Size() &&
            SameStamp(ReadIdmStamp(FileData()), m_ftCacheStamp))
            return S_OK;
    }
    if (m_bCacheLoaded && !m_bReloadNeeded)
        OSTLOG_WARN(L"Detected external modification of mapper data. Reloading cache.");
    const HRESULT hr = LoadCacheLocked();
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to load cache - %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT FileMapper::LoadCache() {
    if (!m_bInitialized)
        return MAPI_E_NOT_INITIALIZED;
    OSTLOG_INFO(4, L"Loading IDM '%s'...", m_wsIdmPath.c_str());
    Util::CStopwatch stopwatch;
    HRESULT hr = S_OK;
    {
        Util::AutoCrossProcessLock xp(m_lock);
        std::unique_lock<std::shared_mutex> rw;
        if (!LockExclusive(xp, rw))
            return MAPI_E_NOT_INITIALIZED;
        hr = LoadCacheLocked();
    }
    if (FAILED(hr))
        return hr;
    if (!FileMapperMgr::Instance().StartSolidifierThread())
        OSTLOG_ERROR(L"Critical error - can't start solidifier");
    OSTLOG_INFO(4, L"... IDM loaded in %dms", stopwatch.GetElapsedMillisecs());
    return S_OK;
}

HRESULT FileMapper::LoadAndVerifyIfNec() {
    if (!m_bInitialized)
        return MAPI_E_NOT_INITIALIZED;
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw))
        return MAPI_E_NOT_INITIALIZED;
    rw.unlock();
    if (GetIdmVerified() == 1)
        return S_OK;
    // The count in the header is written after the records it counts: a process killed in
    // between leaves it short. The first process therefore always reads the records themselves.
    if (GetTentativeCount() != 0)
        OSTLOG_WARN(L"%d tentative records detected in IDM - preloading IDM for verification", GetTentativeCount());
    const HRESULT hr = LoadCache();
    if (FAILED(hr))
        OSTLOG_ERROR(L"LoadCache() failed. %08X", static_cast<unsigned>(hr));
    return hr;
}

void FileMapper::ClearCache() {
    m_mapOstIdToPstId.Clear();
    m_mapPstIdToOstId.Clear();
    m_emptyIdCache.clear();
    Util::AutoCriticalSection cs(m_csTentativeList);
    m_lstTentative.clear();
}

HRESULT FileMapper::LoadCacheLocked() {
    m_bReloadNeeded = false;
    std::wstring wsProblem;
    HRESULT hr = ReadRecords(&wsProblem);
    if (hr == MAPI_E_CORRUPT_DATA)
        hr = Repair(wsProblem, m_bRecordChecks);
    else if (SUCCEEDED(hr) && m_bScanOnLoad)
        hr = Repair(L"new file", false);
    m_bScanOnLoad = false;
    if (FAILED(hr)) {
        m_bCacheLoaded = false;
        return hr;
    }
    m_bCacheLoaded = true;
    OSTLOG_INFO(4, L"%d mappings, %d tentative", static_cast<int>(m_mapOstIdToPstId.Size()),
                static_cast<int>(m_lstTentative.size()));
    OSTLOG_INFO(4, L"%d empty mappings", static_cast<int>(m_emptyIdCache.size()));
    const bool bFirst = GetIdmVerified() == 0;
    // With no other process alive every tentative record is an orphan of a crash. After a crash
    // of one process among several, only the record it left half written is; the others belong
    // to live processes (or are whole) and are solidified as usual.
    bool bRescan = false;
    if ((bFirst || m_bVerifyOnLoad) && !m_lstTentative.empty())
        bRescan = VerifyTentative(!bFirst);
    m_bVerifyOnLoad = false;
    if (bRescan && bFirst && FAILED(Repair(L"a record left half written could not be confirmed", false)))
        OSTLOG_ERROR(L"Failed to rebuild IDM");
    if (bFirst)
        SetIdmVerified(1);
    return S_OK;
}

// Reads every record into the cache. MAPI_E_CORRUPT_DATA (with the reason) when the file must be
// rebuilt; other failures when it cannot be read at all.
HRESULT FileMapper::ReadRecords(std::wstring* pwsProblem) {
    if (!RemapToFileSize()) {
        struct stat st {};
        if (::fstat(m_fd, &st) == 0 && st.st_size < static_cast<off_t>(kIdmHeaderSize)) {
            *pwsProblem = L"file shorter than its header";
            return MAPI_E_CORRUPT_DATA;
        }
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    const BYTE* pFile = FileData();
    const IdmLayoutCheck layout = CheckIdmLayout(pFile, m_view.Size());
    if (layout.layout == IdmLayout::Damaged) {
        *pwsProblem = layout.wsProblem;
        return MAPI_E_CORRUPT_DATA;
    }
    if (layout.layout == IdmLayout::SlotCountShort) {
        OSTLOG_WARN(L"IDM counts %u slots but holds %u; counting the rest in", layout.header.ulSlotCount,
                    layout.ulSlotsInFile);
        WriteIdmSlotCount(FileData(), layout.ulSlotsInFile);
    }
    // Entries that survive a reload keep their age, so that a busy neighbour does not keep
    // postponing this process's solidification.
    std::map<std::pair<ULONG, BYTE>, ULONGLONG> ages;
    {
        Util::AutoCriticalSection cs(m_csTentativeList);
        for (const TentativeEntry& entry : m_lstTentative)
            ages.emplace(std::make_pair(entry.ulSlot, entry.bKind), entry.ullCreated);
    }
    ClearCache();
    m_bRecordChecks = layout.header.ulFlags == kIdmFlagRecordChecks;
    if (!m_bRecordChecks) {
        // Records without checks cannot show damage; the store's stamps decide once, and the
        // file is written again with checks.
        for (ULONG slot = 0; slot < layout.ulSlotsInFile; ++slot)
            if (ClassifyIdmRecord(ReadIdmRecord(pFile, slot), false) != IdmRecordState::Free) {
                *pwsProblem = L"records without checks";
                return MAPI_E_CORRUPT_DATA;
            }
    }
    m_mapOstIdToPstId.Reserve(layout.ulSlotsInFile);
    m_mapPstIdToOstId.Reserve(layout.ulSlotsInFile);
    const ULONGLONG ullNow = Util::CurrentClock().GetTickCount64();
    auto addEntry = [&](const IdmRecord& r, BYTE bKind, ULONG slot, bool bTorn) {
        auto it = ages.find(std::make_pair(slot, bKind));
        m_lstTentative.push_back(
            TentativeEntry{r.ulOstId, r.ulPstId, bKind, it == ages.end() ? ullNow : it->second, slot, bTorn});
    };
    ULONG cTentative = 0;
    for (ULONG slot = 0; slot < layout.ulSlotsInFile; ++slot) {
        const IdmRecord r = ReadIdmRecord(pFile, slot);
        const IdmRecordState state = ClassifyIdmRecord(r, m_bRecordChecks);
        if (state == IdmRecordState::Free) {
            m_emptyIdCache.push_back(slot);
            continue;
        }
        if (state == IdmRecordState::Bad) {
            *pwsProblem = L"damaged record in slot " + std::to_wstring(slot);
            return MAPI_E_CORRUPT_DATA;
        }
        ++cTentative;
        if (state == IdmRecordState::Torn) {
            OSTLOG_WARN(L"%4d IDM record %04d: %6d->%08X contains tentative bits (%s)", cTentative, slot, r.ulOstId,
                        r.ulPstId, Util::TentFlags(r.bTentative));
            addEntry(r, kTentativeAdd, slot, true);
            continue;
        }
        if (r.bTentative == 0)
            --cTentative;
        else
            OSTLOG_WARN(L"%4d IDM record %04d: %6d->%08X contains tentative bits (%s)", cTentative, slot, r.ulOstId,
                        r.ulPstId, Util::TentFlags(r.bTentative));
        if (r.bTentative & kTentativeDel) {
            // Removed, waiting to be solidified: out of the maps, slot kept.
            addEntry(r, kTentativeDel, slot, false);
            continue;
        }
        if (const Mapping* p = m_mapOstIdToPstId.Find(r.ulOstId)) {
            OSTLOG_ERROR(L"IDM: OSTID UNIQUENESS VIOLATION while adding %d->%08X. (Exising mapping is %d->%08X)",
                         r.ulOstId, r.ulPstId, r.ulOstId, p->ulPstId);
            if (p->ulPstId != r.ulPstId)
                OSTLOG_ERROR(L"IDM: MULTIPLE PSTID FOR ONE OSTID");
            *pwsProblem = L"two records for OstID " + std::to_wstring(static_cast<LONG>(r.ulOstId));
            return MAPI_E_CORRUPT_DATA;
        }
        if (const ULONG* p = m_mapPstIdToOstId.Find(r.ulPstId)) {
            OSTLOG_ERROR(L"IDM: PSTID UNIQUENESS VIOLATION while adding %d->%08X. (Existing mapping is %d->%08X)",
                         r.ulOstId, r.ulPstId, *p, r.ulPstId);
            OSTLOG_ERROR(
                L"IDM: MULTIPLE OSTID FOR ONE PSTID. OstIDs %d and %d both point to PstID %08X. OstID %d "
                L"retained",
                *p, r.ulOstId, r.ulPstId, r.ulOstId);
            *pwsProblem = L"two records for PstID " + std::to_wstring(r.ulPstId);
            return MAPI_E_CORRUPT_DATA;
        }
        m_mapOstIdToPstId.Set(r.ulOstId, Mapping{r.ulPstId, slot});
        m_mapPstIdToOstId.Set(r.ulPstId, r.ulOstId);
        if (r.bTentative & kTentativeAdd)
            addEntry(r, kTentativeAdd, slot, false);
    }
    m_ulFileTentative = cTentative;
    if (layout.header.ulTentativeCount != cTentative)
        WriteIdmTentativeCount(FileData(), cTentative);
    m_ulTentativeCount = cTentative;
    m_ftCacheStamp = ReadIdmStamp(pFile);
    return S_OK;
}

FileMapper::PairCheck FileMapper::CheckPair(LONG lOstId, ULONG ulPstId) {
    return m_pOwner && m_pOwner->CheckMappedObject(lOstId, ulPstId) ? PairCheck::Valid : PairCheck::Invalid;
}

bool FileMapper::VerifyTentative(bool bTornOnly) {
    Util::AutoCriticalSection cs(m_csTentativeList);
    std::vector<TentativeEntry> entries;
    if (bTornOnly) {
        auto it = std::stable_partition(m_lstTentative.begin(), m_lstTentative.end(),
                                        [](const TentativeEntry& e) { return !e.bTorn; });
        entries.assign(it, m_lstTentative.end());
        m_lstTentative.erase(it, m_lstTentative.end());
    } else {
        entries.swap(m_lstTentative);
    }
    if (entries.empty())
        return false;
    if (m_pOwner)
        m_pOwner->SetVerifyingTentative(TRUE);
    bool bRescan = false;
    // Additions first: a removal of the same id or object gives way to an addition that holds.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TentativeEntry& a, const TentativeEntry& b) { return a.bKind < b.bKind; });
    const BYTE* pFile = FileData();
    for (const TentativeEntry& e : entries) {
        const LONG lOstId = static_cast<LONG>(e.ulOstId);
        const bool bAdd = e.bKind == kTentativeAdd;
        OSTLOG_WARN(L"Processing tentative %s for %d->%08X ...", bAdd ? L"ADD" : L"DEL", lOstId, e.ulPstId);
        const IdmRecord r = ReadIdmRecord(pFile, e.ulSlot);
        const BYTE bBits = e.bTorn ? BYTE(kTentativeAdd | kTentativeDel) : e.bKind;
        if (r.ulOstId != e.ulOstId || r.ulPstId != e.ulPstId || (r.bTentative & bBits) == 0)
            continue;  // settled already, by this pass or another process
        const bool bValid = CheckPair(lOstId, e.ulPstId) == PairCheck::Valid;
        const Mapping* pMapped = m_mapOstIdToPstId.Find(e.ulOstId);
        const ULONG* pReverse = m_mapPstIdToOstId.Find(e.ulPstId);
        const bool bThisRecordMapped = pMapped && pMapped->ulSlot == e.ulSlot;
        const bool bTaken = (pMapped && !bThisRecordMapped) || (pReverse && *pReverse != e.ulOstId);
        if (bValid && bAdd && bTaken) {
            // A record left half written may name an id or object another record holds; the
            // stamp has just confirmed this one, so the other gives way.
            if (pMapped && !bThisRecordMapped) {
                const Mapping other = *pMapped;
                DropFromMaps(e.ulOstId, other.ulPstId);
                FreeRecord(other.ulSlot, ReadIdmRecord(pFile, other.ulSlot).bTentative);
            }
            if (const ULONG* p = m_mapPstIdToOstId.Find(e.ulPstId); p && *p != e.ulOstId) {
                const ULONG ulOther = *p;
                const Mapping other = *m_mapOstIdToPstId.Find(ulOther);
                DropFromMaps(ulOther, e.ulPstId);
                FreeRecord(other.ulSlot, ReadIdmRecord(pFile, other.ulSlot).bTentative);
            }
        }
        if (!bValid || (bTaken && !bAdd)) {
            if (bAdd)
                OSTLOG_WARN(L"    ... MAPI obj for %d->%08X not found -> remove orphan IDM record", lOstId, e.ulPstId);
            else
                OSTLOG_WARN(L"    ... MAPI obj for %d->%08X not found -> Solidify Remove() of IDM record", lOstId,
                            e.ulPstId);
            if (bThisRecordMapped)
                DropFromMaps(e.ulOstId, e.ulPstId);
            FreeRecord(e.ulSlot, r.bTentative);
            bRescan |= e.bTorn;
            continue;
        }
        OSTLOG_WARN(L"    ... record valid -> solidify IDM record");
        if (e.bTorn)
            WriteIdmRecord(FileData(), e.ulSlot, e.ulOstId, e.ulPstId, 0, m_bRecordChecks);
        else
            WriteIdmRecordBits(FileData(), e.ulSlot, 0);
        --m_ulFileTentative;
        if (!bThisRecordMapped) {
            m_mapOstIdToPstId.Set(e.ulOstId, Mapping{e.ulPstId, e.ulSlot});
            m_mapPstIdToOstId.Set(e.ulPstId, e.ulOstId);
        }
    }
    StampAndFlush();
    if (!m_view.Flush())
        OSTLOG_ERROR(L"Failed to FlushViewOfFile %d", errno);
    if (m_pOwner)
        m_pOwner->SetVerifyingTentative(FALSE);
    return bRescan;
}

HRESULT FileMapper::Repair(const std::wstring& wsProblem, bool bDamaged) {
    std::vector<BYTE> old;
    ReadWholeFile(m_fd, &old);
    if (bDamaged) {
        OSTLOG_ERROR(L"Corrupted file %s: %s. Rebuilding it from the store's stamps.", m_wsIdmPath.c_str(),
                     wsProblem.c_str());
        // The damaged bytes are kept beside the file for inspection. O_NONBLOCK: a FIFO under the
        // copy's name fails the copy instead of holding up the rebuild until someone reads it.
        const std::string sBackup = Platform::ToUtf8(m_wsIdmPath) + ".damaged";
        const int fdBackup =
            ::open(sBackup.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fdBackup < 0 || !WriteAllAt(fdBackup, old.data(), old.size(), 0))
            OSTLOG_ERROR(L"Failed to keep a copy of the damaged IDM - %d", errno);
        if (fdBackup >= 0)
            ::close(fdBackup);
    } else {
        OSTLOG_WARN(L"Rebuilding %s from the store's stamps: %s", m_wsIdmPath.c_str(), wsProblem.c_str());
    }

    // Records that still read well settle which object an id keeps when several carry its stamp.
    // While other processes live, an id whose removal is pending stays removed: its process may be
    // about to delete the object.
    std::map<ULONG, ULONG> salvaged;
    std::set<ULONG> removing;
    const bool bOthersAlive = GetIdmVerified() != 0;
    const bool bChecks = old.size() >= kIdmHeaderSize && old[20] == kIdmFlagRecordChecks;
    for (size_t off = kIdmHeaderSize; off + kIdmRecordSize <= old.size(); off += kIdmRecordSize) {
        const IdmRecord r = ReadIdmRecord(old.data(), ULONG((off - kIdmHeaderSize) / kIdmRecordSize));
        if (ClassifyIdmRecord(r, bChecks) != IdmRecordState::Valid)
            continue;
        if (!(r.bTentative & kTentativeDel))
            salvaged[r.ulOstId] = r.ulPstId;
        else if (bOthersAlive)
            removing.insert(r.ulOstId);
    }
    std::map<ULONG, std::vector<ULONG>> candidates;
    const IdMapperTags tags = m_pOwner ? m_pOwner->GetTags() : GetIdMapperTags(m_pStore);
    Platform::ComPtr<IMAPIFolder> pGal;
    OpenGalFolder(m_pStore, pGal.AddressOf());
    ULONG ulGalNid = 0;
    if (pGal) {
        LPSPropValue pEid = nullptr;
        if (SUCCEEDED(HrGetOneProp(pGal.Get(), PR_ENTRYID, &pEid)) && pEid->Value.bin.cb == kPstEntryIdSize)
            std::memcpy(&ulGalNid, pEid->Value.bin.lpb + 20, sizeof ulGalNid);
        MAPIFreeBuffer(pEid);
    }
    auto collect = [&candidates](const StampedObject& o) {
        candidates[static_cast<ULONG>(o.lOstId)].push_back(o.ulPstId);
    };
    HRESULT hr = S_OK;
    if (m_bIsGal) {
        if (pGal)
            hr = WalkStampedObjects(m_pStore, pGal.Get(), tags, false, 0, collect);
    } else {
        Platform::ComPtr<IMAPIFolder> pRoot;
        hr = OpenRootFolder(m_pStore, pRoot.AddressOf());
        if (SUCCEEDED(hr))
            hr = WalkStampedObjects(m_pStore, pRoot.Get(), tags, false, ulGalNid, collect);
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to rebuild IDM from the store - %08X", static_cast<unsigned>(hr));
        return hr;
    }
    std::vector<std::pair<ULONG, ULONG>> mappings;
    for (auto& [ulOstId, vecPst] : candidates) {
        if (removing.count(ulOstId) && !salvaged.count(ulOstId))
            continue;
        auto it = salvaged.find(ulOstId);
        if (it != salvaged.end() && std::find(vecPst.begin(), vecPst.end(), it->second) != vecPst.end())
            mappings.emplace_back(ulOstId, it->second);
        else  // node ids only grow: the newest object is the one a later put meant
            mappings.emplace_back(ulOstId, *std::max_element(vecPst.begin(), vecPst.end()));
    }
    const ULONG cSlots =
        mappings.empty() ? 1 : ULONG((mappings.size() + kIdmGrowSlots - 1) / kIdmGrowSlots) * kIdmGrowSlots;
    std::vector<BYTE> bytes(kIdmHeaderSize + size_t(cSlots) * kIdmRecordSize, 0);
    IdmHeader header;
    header.ulSignature = 0;  // made valid last: a rebuild cut short is found damaged again
    header.ulSlotCount = cSlots;
    header.ftStamp = Util::CurrentClock().GetSystemTimeAsFileTime();
    if (old.size() >= kIdmHeaderSize) {
        // Past the damaged file's stamp, so that no process mistakes the new file for the one it knew.
        const FILETIME ftOld = ReadIdmStamp(old.data());
        if (std::make_pair(ftOld.dwHighDateTime, ftOld.dwLowDateTime) >=
            std::make_pair(header.ftStamp.dwHighDateTime, header.ftStamp.dwLowDateTime)) {
            const ULONGLONG ull = (ULONGLONG(ftOld.dwHighDateTime) << 32 | ftOld.dwLowDateTime) + 1;
            header.ftStamp = FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
        }
    }
    WriteIdmHeader(bytes.data(), header);
    for (size_t i = 0; i < mappings.size(); ++i)
        WriteIdmRecord(bytes.data(), ULONG(i), mappings[i].first, mappings[i].second, 0, true);
    const ULONG ulSignature = kIdmSignature;
    BYTE abSignature[4];
    std::memcpy(abSignature, &ulSignature, 4);
    if (!WriteAllAt(m_fd, bytes.data(), bytes.size(), 0) || ::ftruncate(m_fd, off_t(bytes.size())) != 0 ||
        ::fdatasync(m_fd) != 0 || !WriteAllAt(m_fd, abSignature, 4, 0)) {
        OSTLOG_ERROR(L"Failed to write the rebuilt IDM - %d", errno);
        return E_FAIL;
    }
    OSTLOG_INFO(1, L"Map rebuilt successfully");
    OSTLOG_INFO(4, L"%d mappings", static_cast<int>(mappings.size()));
    std::wstring wsAgain;
    hr = ReadRecords(&wsAgain);
    if (FAILED(hr))
        return hr == MAPI_E_CORRUPT_DATA ? E_FAIL : hr;
    // Every other process must reload: the stamp moves on.
    StampAndFlush();
    return S_OK;
}

}  // namespace Ostrel::Mapi
