#include <map>
#include <mutex>

#include "Ostrel/Store/NamedProps.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<CMAPIUID, NamedProps*> tables;
};

Registry& TheRegistry() {
    static Registry* pRegistry = new Registry;  // outlives every static destructor that may log
    return *pRegistry;
}

// The store mapping signature of the object; false, logged, when it has none.
bool ReadSignature(IMAPIProp* pProp, CMAPIUID* pSignature) {
    if (!pProp) {
        OSTLOG_ERROR(L"NULL property passed in");
        return false;
    }
    SizedSPropTagArray(1, tags) = {1, {PR_MAPPING_SIGNATURE}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    HRESULT hr = pProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &pValues);
    if (FAILED(hr) || !pValues || cValues != 1) {
        OSTLOG_ERROR(L"GetProps() failed, hr: %x", hr);
        MAPIFreeBuffer(pValues);
        return false;
    }
    bool bOk = pValues[0].ulPropTag == PR_MAPPING_SIGNATURE && pValues[0].Value.bin.cb == sizeof(MAPIUID) &&
               pValues[0].Value.bin.lpb;
    if (bOk)
        *pSignature = CMAPIUID(*reinterpret_cast<const MAPIUID*>(pValues[0].Value.bin.lpb));
    else
        OSTLOG_ERROR(L"could not extract the mapping signature");
    MAPIFreeBuffer(pValues);
    return bOk;
}

}  // namespace

NamedProps* NamedPropsManager::GetOrCreate(IMAPIProp* pProp) {
    CMAPIUID signature;
    if (!ReadSignature(pProp, &signature))
        return nullptr;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.tables.find(signature);
    if (it != registry.tables.end())
        return it->second;
    NamedProps* pProps = NamedProps::CreateInstance(pProp);
    if (pProps)
        registry.tables.emplace(signature, pProps);
    return pProps;
}

NamedProps* NamedPropsManager::GetNamedPropsFromMAPIProp(IMAPIProp* pProp) {
    return GetOrCreate(pProp);
}

NamedProps* NamedPropsManager::GetNamedPropsFromMAPIProp(IMsgStore* pStore) {
    return GetOrCreate(pStore);
}

NamedProps* NamedPropsManager::SetNamedProps(IMsgStore* pStore) {
    return GetOrCreate(pStore);
}

NamedProps* NamedPropsManager::GetNamedPropsFromSignature(const CMAPIUID& signature) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.tables.find(signature);
    return it == registry.tables.end() ? nullptr : it->second;
}

void NamedPropsManager::Cleanup() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& [signature, pProps] : registry.tables)
        NamedProps::DeleteInstance(pProps);
    registry.tables.clear();
}

}  // namespace Ostrel::Mapi
