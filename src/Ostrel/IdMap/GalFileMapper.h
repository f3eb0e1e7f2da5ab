// The GAL mapper with references: maps the textual reference of a global address list entry (and
// its server id, when it has one) to the store node id of its contact, in a memory-mapped file of
// variable-length blocks with best-fit reuse of free blocks (GalMapperFile.h). Shared by every
// process of the store; every operation holds the per-store GAL lock and reloads when another
// process's stamp is found in the file.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "Ostrel/IdMap/GalRefIndex.h"
#include "Ostrel/IdMap/IIdMapperImpl.h"
#include "Ostrel/IdMap/IdHashMap.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Platform/Ipc/MappedFile.h"
#include "Util/Locks/Locks.h"
#include "Util/Locks/OstObj.h"

namespace Ostrel::Mapi {

class GalFileMapper : public IIdMapperImpl, public Util::OstObj {
public:
    GalFileMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, IdMapper* pOwner);
    ~GalFileMapper() override;

    using IIdMapperImpl::Put;

    HRESULT LoadCache() override;
    BOOL Get(const std::wstring& wsRef, ULONG* pcb, BYTE** ppEid) override;
    BOOL Get(LONG lId, ULONG* pcb, BYTE** ppEid) override;
    void Put(const std::wstring& wsRef, LONG lId, ULONG cb, BYTE* pEid) override;
    BOOL Remove(const std::wstring& wsRef) override;
    BOOL Remove(LONG lId) override;
    BOOL RemoveOstID2PstIDMapping(LONG lId) override;
    void RemoveAll() override;
    BOOL Contains(const std::wstring& wsRef) override;
    BOOL Contains(LONG lId) override;
    size_t Size() override;
    BOOL IsFirstRun() override { return m_bNewFile; }
    // File size, mappings, free blocks, total size of the free blocks.
    void UnitTestGetStats(ULONG& ulFileSize, ULONG& ulMappings, ULONG& ulFreeBlocks, ULONG& ulFreeBytes) override;
    BOOL DumpMappings(const wchar_t* pwszPath) override;
    Util::CrossProcessLock* GetLock() override { return m_bInitialized ? &m_lock : nullptr; }

    bool IsInitialized() const { return m_bInitialized; }
    const std::wstring& GetPath() const { return m_wsPath; }

private:
    bool CreateMemMappedFile();
    bool ExtendMemMappedFile(ULONG cbMore);
    bool FlushMemMappedFile();
    void DestroyMemMappedFile();

    BYTE* Data() const { return static_cast<BYTE*>(m_view.Data()); }
    bool Lock(Util::AutoCrossProcessLock& xp);
    HRESULT CheckCache();
    HRESULT LoadLocked();
    void ClearTables();
    void Stamp();
    void SetFreeTotal(ULONG ulBytes);
    ULONG FreeTotal() const;
    void AddFreeBlock(ULONG ulOffset, ULONG ulSize);
    BOOL RemoveLocked(const std::string& sRef);
    // The offset of sRef's block; 0 when it is not mapped.
    ULONG OffsetOf(std::string_view sRef) const { return m_refs.Find(sRef, Data(), m_view.Size()); }
    std::string_view RefAt(ULONG ulOffset) const { return GalRefIndex::RefAt(Data(), m_view.Size(), ulOffset); }
    BOOL BuildEntryId(ULONG ulPstId, ULONG* pcb, BYTE** ppEid);

    Util::CrossProcessLock m_lock{L"cplGalFileMapperLock", 600, -1};
    bool m_bInitialized = false;
    BOOL m_bNewFile = FALSE;
    bool m_bLoaded = false;
    std::wstring m_wsPath;
    int m_fd = -1;
    Platform::MappedFile m_view;  // m_SharedData: the whole file
    ULONG m_ulSize = 0;
    FILETIME m_ftStamp{};
    RecordKey m_recordKey{};

    // The mappings, kept lean for lists of many thousand entries: the references and PstIDs are
    // read from the blocks, which the indexes point to by offset.
    GalRefIndex m_refs;                           // reference -> block offset
    IdHashMap<ULONG> m_mapOstrelIdToPstId;        // server id -> PstID
    IdHashMap<ULONG> m_mapPstIdToOffset;          // PstID -> block offset
    std::multimap<ULONG, ULONG> m_mapFreeBlocks;  // size -> offset
};

}  // namespace Ostrel::Mapi
