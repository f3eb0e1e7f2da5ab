// The older message mapper: each mapping is a hidden (folder-associated) message in a folder below
// "~IdMapper" at the store's root, one folder per 10000 server ids, named by id / 10000. Kept so
// that stores mapped this way can be moved into an item mapper file.
#pragma once

#include <string>
#include <unordered_map>

#include "Ostrel/IdMap/IIdMapperImpl.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Mapi {

class MsgMapper : public IIdMapperImpl {
public:
    MsgMapper(IMsgStore* pStore, IdMapper* pOwner);

    using IIdMapperImpl::Contains;
    using IIdMapperImpl::Get;
    using IIdMapperImpl::Put;
    using IIdMapperImpl::Remove;

    HRESULT LoadCache() override;
    BOOL Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) override;
    void Put(LONG lOstId, ULONG cb, BYTE* pEid, BOOL bCheckStamp) override;
    BOOL Remove(LONG lOstId) override;
    BOOL Contains(LONG lOstId) override { return m_mapMappings.count(lOstId) != 0; }
    size_t Size() override { return m_mapMappings.size(); }
    BOOL IsFirstRun() override { return m_bCreatedBase; }
    BOOL DumpMappings(const wchar_t* pwszPath) override;

    // Every mapping, for the move into a file mapper.
    template <typename F>
    void ForEach(F f) const {
        for (const auto& [lOstId, mapping] : m_mapMappings)
            f(lOstId, mapping.sItemEid);
    }

    static constexpr LONG kIdsPerFolder = 10000;

private:
    struct Mapping {
        std::string sItemEid;     // "ItemEntryId"
        std::string sMappingEid;  // "MappingEntryId": the mapping message itself
    };

    HRESULT Init();
    HRESULT GetMappingFolder(LONG lOstId, bool bCreate, IMAPIFolder** ppFolder);
    HRESULT UpdateMapping(LONG lOstId, const std::string& sItemEid);
    HRESULT DeleteMappingMessage(LONG lOstId, const Mapping& mapping);

    Platform::ComPtr<IMAPIFolder> m_pBase;
    BOOL m_bCreatedBase = FALSE;
    ULONG m_ulTargetIdTag = 0;    // "TargetOstrelId", PT_LONG
    ULONG m_ulItemEidTag = 0;     // "ItemEntryId", PT_BINARY
    ULONG m_ulMappingEidTag = 0;  // "MappingEntryId", PT_BINARY
    std::unordered_map<LONG, Mapping> m_mapMappings;
};

// Moves every mapping of the store's message mapper into its item mapper file. 0.
HRESULT MigrateMsgMapperToFileMapper(IMsgStore* pStore);

}  // namespace Ostrel::Mapi
