#include "Platform/Mapi/Store/StoreBatch.h"

#include "Platform/Mapi/Store/Objects.h"
#include "Platform/Mapi/Store/StoreDb.h"

namespace Platform::Mapi {

StoreBatch::StoreBatch(IMsgStore* pStore) : StoreBatch(pStore, Limits{}) {}

StoreBatch::StoreBatch(IMsgStore* pStore, const Limits& limits) : m_pDb(StoreDbOf(pStore)) {
    if (!m_pDb) {
        m_hrBegun = MAPI_E_INTERFACE_NOT_SUPPORTED;
        return;
    }
    m_hrBegun = m_pDb->BeginBatch({limits.cSaves ? limits.cSaves : 1, limits.cbValues});
    m_bOpen = SUCCEEDED(m_hrBegun);
}

StoreBatch::~StoreBatch() {
    if (m_bOpen)
        m_pDb->EndBatch(false);
}

uint64_t StoreBatch::Saves() const {
    return m_bOpen ? m_pDb->BatchSaves() : 0;
}

uint64_t StoreBatch::Committed() const {
    return m_bOpen ? m_pDb->BatchCommitted() : 0;
}

HRESULT StoreBatch::Commit() {
    return m_bOpen ? m_pDb->CommitBatch() : m_hrBegun;
}

HRESULT StoreBatch::End() {
    if (!m_bOpen)
        return m_hrBegun;
    m_bOpen = false;
    return m_pDb->EndBatch(true);
}

}  // namespace Platform::Mapi
