// The item id mapper: a memory-mapped file per store (IdMapperFile.h) that maps server ids
// (OstIDs) to store node ids (PstIDs) and back, shared by every process that opens the store.
//
// Changes are written tentative and made solid at least 30 seconds later by the solidifier of
// FileMapperMgr. After a process died, tentative records are checked against the stamps of their
// store objects before they are trusted. A file found damaged is rebuilt from those stamps.
//
// Locking: every change and every reload holds the per-store cross-process lock, then the cache
// exclusively, then the tentative list. Lookups read the cache shared and only compare the file's
// stamp with the cache's; when they differ they take the lock and reload.
#pragma once

#include <deque>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Ostrel/IdMap/IIdMapperImpl.h"
#include "Ostrel/IdMap/IdHashMap.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Platform/Ipc/MappedFile.h"
#include "Util/Locks/Locks.h"
#include "Util/Locks/OstObj.h"

namespace Ostrel::Mapi {

class FileMapper : public IIdMapperImpl, public Util::OstObj {
public:
    FileMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, BOOL bIsGal, IdMapper* pOwner);
    ~FileMapper() override;

    using IIdMapperImpl::Contains;
    using IIdMapperImpl::Get;
    using IIdMapperImpl::Put;
    using IIdMapperImpl::Remove;

    void UnInitIdMapper() override;
    HRESULT LoadCache() override;
    HRESULT LoadAndVerifyIfNec() override;
    ULONG GetTentativeCount() override { return m_ulTentativeCount; }
    BOOL Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) override;
    void Put(LONG lOstId, ULONG cb, BYTE* pEid, BOOL bCheckStamp) override;
    BOOL Remove(LONG lOstId) override;
    void RemoveAll() override;
    BOOL Contains(LONG lOstId) override;
    size_t Size() override;
    BOOL IsFirstRun() override { return m_bNewFile; }
    BOOL DumpMappings(const wchar_t* pwszPath) override;

    // Solidifies the tentative records older than 30 seconds, or all of them when forced.
    virtual void SolidifyMature(bool bForce);
    virtual BOOL SolidifySingleRecord(LONG lOstId, BYTE bKind);
    virtual HRESULT ObtainMappingCountTag(IMsgStore* pStore, BOOL bSkip);

    bool IsInitialized() const { return m_bInitialized; }
    const std::wstring& GetPath() const { return m_wsIdmPath; }
    // The PstID an OstID maps to (0 when none), and the OstID of a PstID; for checks and tests.
    ULONG LookupPstId(LONG lOstId);
    BOOL LookupOstId(ULONG ulPstId, LONG* plOstId);
    // Entries waiting in this process's tentative list; bytes held by the maps.
    size_t TentativeListSize();
    size_t CacheMemoryBytes();

    static constexpr ULONGLONG kMatureMs = 30000;

private:
    struct Mapping {
        ULONG ulPstId = 0;
        ULONG ulSlot = 0;
    };
    struct TentativeEntry {
        ULONG ulOstId;
        ULONG ulPstId;
        BYTE bKind;  // kTentativeAdd or kTentativeDel
        ULONGLONG ullCreated;
        ULONG ulSlot;
        bool bTorn;  // read back from a record a writer left half done: must be verified
    };
    enum class PairCheck { Valid, Invalid };

    // Construction.
    bool OpenLocked(const std::wstring& wsPath0, const std::wstring& wsPath1);
    bool OpenAndReadHeader(const std::wstring& wsPath, const std::wstring& wsUpgradePath, bool* pbUpgraded);
    HRESULT MigrateIDMToVerifiableIDM(const std::wstring& wsOldPath, const std::wstring& wsNewPath);

    // Runs read() on the cache, shared, after making sure it is current.
    template <typename F>
    auto ReadCache(F read) -> decltype(read());

    // Locking and loading (FileMapperLoad.cpp).
    bool LockExclusive(Util::AutoCrossProcessLock& xp, std::unique_lock<std::shared_mutex>& rw);
    HRESULT CheckCache();
    HRESULT LoadCacheLocked();
    HRESULT ReadRecords(std::wstring* pwsProblem);
    // Rewrites the file from the store's stamps (salvaging what still reads well); bDamaged keeps a
    // copy of the old bytes and logs the damage.
    HRESULT Repair(const std::wstring& wsProblem, bool bDamaged);
    // Checks tentative records against their objects' stamps; only the torn ones when other
    // processes may still be working on theirs.
    // True when a torn record could not be confirmed: its id may be stamped on another object.
    bool VerifyTentative(bool bTornOnly);
    PairCheck CheckPair(LONG lOstId, ULONG ulPstId);
    bool RemapToFileSize();
    void ClearCache();

    // Record changes (FileMapper.cpp, FileMapperSolidify.cpp).
    BYTE* FileData() const { return static_cast<BYTE*>(m_view.Data()); }
    bool GrowFile(LONG lOstId, ULONG ulPstId);
    bool ExtendFile(size_t cbMore);
    void SetRecordBits(ULONG ulSlot, BYTE bOld, BYTE bNew);
    void FreeRecord(ULONG ulSlot, BYTE bOld);
    void AddTentative(ULONG ulOstId, ULONG ulPstId, BYTE bKind, ULONG ulSlot, bool bTorn = false);
    void StampAndFlush();
    bool SolidifyEntry(const TentativeEntry& entry);
    void CheckAndFixStamp(LONG lOstId, ULONG ulPstId);
    void DropFromMaps(ULONG ulOstId, ULONG ulPstId);
    void WriteMappingCount();

    Util::CrossProcessLock m_lock{L"cplFileMapperLock", 600, -1};
    BOOL m_bIsGal;
    BOOL m_bNewFile = FALSE;
    bool m_bInitialized = false;
    ULONG m_ulTentativeCount = 0;

    std::shared_mutex m_rwCache;
    bool m_bCacheLoaded = false;
    bool m_bReloadNeeded = false;  // a process died holding the lock: reload and verify
    bool m_bVerifyOnLoad = false;
    bool m_bScanOnLoad = false;            // a new or emptied file: map whatever the store has stamped
    IdHashMap<Mapping> m_mapOstIdToPstId;  // "O2P"
    IdHashMap<ULONG> m_mapPstIdToOstId;    // "P2O"
    std::deque<ULONG> m_emptyIdCache;
    std::vector<TentativeEntry> m_lstTentative;
    Util::CriticalSection m_csTentativeList{L"m_csTentativeList", 500};
    FILETIME m_ftCacheStamp{};
    ULONG m_ulFileTentative = 0;  // records in the file with tentative bits
    bool m_bRecordChecks = true;

    std::wstring m_wsIdmPath;
    int m_fd = -1;
    Platform::MappedFile m_view;
    RecordKey m_recordKey{};
    ULONG m_ulMappingCountTag = 0;
};

}  // namespace Ostrel::Mapi
