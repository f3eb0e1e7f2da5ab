// The id mapper callers hold: maps server ids (and, for the GAL, references) to store entry ids
// and opens the mapped objects after checking their stamps.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Ostrel/IdMap/IIdMapperImpl.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Util/ProgressDlg.h"

namespace Ostrel::Mapi {

// The caption of the progress windows of rebuilding and migrating a map.
inline constexpr wchar_t kProgressCaption[] = L"Ostrel";

enum _IdMapperType : LONG {
    IdMapperTypeItem = 0,     // FileMapper with item names
    IdMapperTypeGal = 1,      // FileMapper with GAL names
    IdMapperTypeGalRefs = 2,  // GalFileMapper
};

class IdMapper {
public:
    IdMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, _IdMapperType type);
    ~IdMapper();
    IdMapper(const IdMapper&) = delete;
    IdMapper& operator=(const IdMapper&) = delete;

    _IdMapperType GetType() const { return m_type; }
    IIdMapperImpl* GetImpl() const { return m_pImpl.get(); }

    HRESULT LoadCache();
    HRESULT LoadAndVerifyIfNec();
    void UnInitIdMapper();
    ULONG GetTentativeCount();
    BOOL IsFirstRun();
    size_t Size();
    void RemoveAll();
    void SetBufferModel(int bBuffered);
    void Flush(int bForce);
    void Flush();
    BOOL DumpMappings(const wchar_t* pwszPath);
    void UnitTestGetStats(ULONG& a, ULONG& b, ULONG& c, ULONG& d);
    // The lock the mapper's operations take (null when its kind has none). A caller that holds it
    // (Util::AutoCrossProcessLock) over several operations of one thread spares each of them the
    // system calls of taking it; other processes wait meanwhile, so hold it briefly.
    Util::CrossProcessLock* GetLock() { return m_pImpl ? m_pImpl->GetLock() : nullptr; }

    void Put(LONG lOstId, ULONG cb, BYTE* pEid, int bCheckStamp);
    void Put(LONG lOstId, SBinary* pEid, int bCheckStamp);
    void Put(LONG lOstId, IMAPIProp* pObj, int bCheckStamp);
    void Put(const std::wstring& wsRef, LONG lOstId, ULONG cb, BYTE* pEid);
    void Put(const std::wstring& wsRef, LONG lOstId, SBinary* pEid);
    void Put(const std::wstring& wsRef, LONG lOstId, IMAPIProp* pObj);

    // The entry id alone (a MAPI buffer the caller frees).
    BOOL Get(LONG lOstId, ULONG* pcb, BYTE** ppEid);
    BOOL Get(const std::wstring& wsRef, ULONG* pcb, BYTE** ppEid);
    // Opens the mapped object and checks its stamp: an object that cannot be opened loses its
    // mapping, one whose stamp is missing or different is not handed out.
    BOOL Get(LONG lOstId, ULONG* pulObjType, IUnknown** ppObj, ULONG* pcb, BYTE** ppEid);
    BOOL Get(LONG lOstId, ULONG* pulObjType, IUnknown** ppObj);
    // The checked open of a GAL entry by reference: corrects a missing or wrong unique id or stamp.
    BOOL Get(const std::wstring& wsRef, LONG lId, ULONG* pulObjType, IUnknown** ppObj, int bReserved);

    BOOL Contains(LONG lOstId);
    BOOL Contains(const std::wstring& wsRef);
    BOOL Remove(LONG lOstId);
    BOOL Remove(const std::wstring& wsRef);
    BOOL RemoveOstID2PstIDMapping(LONG lOstId);

    void SetRebuildingIDM(int bRebuilding);
    HRESULT RebuildFromPstObjects(IMsgStore* pStore);
    HRESULT ProcessFolder(IMAPIFolder* pFolder, int bRecurse, Util::GenericProgressDlg* pProgress);
    HRESULT ProcessTableContents(IMAPITable* pTable, Util::GenericProgressDlg* pProgress);

    ULONG GetOstIdTag() const { return m_tags.ulOstIdTag; }
    ULONG GetUniqueIdTag() const { return m_tags.ulUniqueIdTag; }
    const IdMapperTags& GetTags() const { return m_tags; }
    BOOL IsVerifyingTentative() const { return m_bVerifyingTentative.load(); }
    void SetVerifyingTentative(BOOL b) { m_bVerifyingTentative = b ? 1 : 0; }
    ULONG GetProcessedCount() const { return m_ulProcessed; }

    // Whether node ulPstId opens and carries stamp lOstId (a reserved-name message without a
    // stamp gets one). What the checked open and the verification after a crash both ask.
    BOOL CheckMappedObject(LONG lOstId, ULONG ulPstId);

private:
    enum class Access { Allowed, Denied, Gone };
    Access CheckObject(LONG lOstId, IUnknown* pObj, ULONG ulObjType, ULONG ulPstId);
    HRESULT OpenByEntryId(ULONG cb, BYTE* pEid, ULONG* pulObjType, IUnknown** ppObj);

    std::unique_ptr<IIdMapperImpl> m_pImpl;
    IdMapperTags m_tags;
    _IdMapperType m_type;
    std::atomic<BYTE> m_bVerifyingTentative{0};
    ULONG m_ulProcessed = 0;
};

// Deletes the verifiable item (or GAL) mapper file of the store. 0, or the system error.
int RemoveMapperData(IMsgStore* pStore, int bIsGal);

}  // namespace Ostrel::Mapi
