// The file of one profile: property rows by section UID.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Platform/Mapi/Store/StoreDb.h"

namespace Platform::Mapi {

class ProfileDb {
public:
    ~ProfileDb();
    // Opens the profile's file; MAPI_E_NOT_FOUND when there is no such profile (unless bCreate).
    static HRESULT Open(const std::wstring& wsName, bool bCreate, std::shared_ptr<ProfileDb>* ppDb);
    static std::filesystem::path Dir();
    static bool ValidName(const std::wstring& wsName);
    // The file that holds the profile (whether or not it exists).
    static std::filesystem::path PathOf(const std::wstring& wsName);

    const std::wstring& Name() const { return m_wsName; }
    HRESULT LoadSection(const MAPIUID& uid, PropMap& props);
    HRESULT WriteSection(const MAPIUID& uid, const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted);
    HRESULT Sections(std::vector<MAPIUID>& uids);
    // The UID of the message service named `wsServiceName` (its own section, whose PR_SERVICE_UID
    // is its UID); MAPI_E_NOT_FOUND when the profile has no such service.
    HRESULT FindService(const std::wstring& wsServiceName, MAPIUID& uid);

private:
    ProfileDb() = default;
    std::wstring m_wsName;
    sqlite3* m_pDb = nullptr;
    std::mutex m_mutex;
};

}  // namespace Platform::Mapi

namespace Platform {

// The UID of the profile's message service named `wsServiceName`: MAPI_E_NOT_FOUND when the
// profile or the service does not exist, MAPI_E_INVALID_PARAMETER for a name no profile can have.
HRESULT MapiFindService(const std::wstring& wsProfile, const std::wstring& wsServiceName, MAPIUID* pServiceUid);

}  // namespace Platform
