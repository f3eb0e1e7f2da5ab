// The implementation behind an IdMapper: the item file mapper, the GAL file mapper or the
// message mapper. Operations a kind of mapper does not keep do nothing and return 0 / FALSE.
#pragma once

#include <string>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Util {
class CrossProcessLock;
}

namespace Ostrel::Mapi {

class IdMapper;

class IIdMapperImpl {
public:
    IIdMapperImpl(IMsgStore* pStore, IdMapper* pOwner) : m_pStore(pStore), m_pOwner(pOwner) {
        if (m_pStore)
            m_pStore->AddRef();
    }
    virtual ~IIdMapperImpl() {
        if (m_pStore)
            m_pStore->Release();
    }
    IIdMapperImpl(const IIdMapperImpl&) = delete;
    IIdMapperImpl& operator=(const IIdMapperImpl&) = delete;

    virtual void UnInitIdMapper() {}
    virtual HRESULT LoadCache() = 0;
    virtual HRESULT LoadAndVerifyIfNec() { return S_OK; }
    virtual ULONG GetTentativeCount() { return 0; }
    virtual BOOL Get(const std::wstring& /*wsRef*/, ULONG* /*pcb*/, BYTE** /*ppEid*/) { return FALSE; }
    virtual BOOL Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) = 0;
    virtual void Put(const std::wstring& /*wsRef*/, LONG /*lOstId*/, ULONG /*cb*/, BYTE* /*pEid*/) {}
    virtual void Put(LONG /*lOstId*/, ULONG /*cb*/, BYTE* /*pEid*/, BOOL /*bCheckStamp*/) {}
    virtual BOOL Remove(const std::wstring& /*wsRef*/) { return FALSE; }
    virtual BOOL Remove(LONG lOstId) = 0;
    virtual BOOL RemoveOstID2PstIDMapping(LONG /*lOstId*/) { return FALSE; }
    virtual void RemoveAll() {}
    virtual BOOL Contains(const std::wstring& /*wsRef*/) { return FALSE; }
    virtual BOOL Contains(LONG lOstId) = 0;
    virtual size_t Size() = 0;
    virtual void SetBufferModel(BOOL /*bBuffered*/) {}
    virtual void Flush(BOOL /*bForce*/) {}
    virtual void Flush() {}
    virtual BOOL IsFirstRun() { return FALSE; }
    virtual void UnitTestGetStats(ULONG& /*a*/, ULONG& /*b*/, ULONG& /*c*/, ULONG& /*d*/) {}
    // Writes a text dump of the mappings to the file; FALSE when this kind keeps none or it fails.
    virtual BOOL DumpMappings(const wchar_t* /*pwszPath*/) { return FALSE; }
    // The cross-process lock every operation takes; null when this kind keeps none.
    virtual Util::CrossProcessLock* GetLock() { return nullptr; }

    IMsgStore* GetStore() const { return m_pStore; }
    IdMapper* GetOwner() const { return m_pOwner; }
    void SetRebuilding(BOOL bRebuilding) { m_bRebuilding = bRebuilding; }
    BOOL IsRebuilding() const { return m_bRebuilding; }

protected:
    IMsgStore* m_pStore;
    IdMapper* m_pOwner;
    BOOL m_bRebuilding = FALSE;
};

}  // namespace Ostrel::Mapi
