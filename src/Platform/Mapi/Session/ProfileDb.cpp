#include "Platform/Mapi/Session/ProfileDb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTags.h"

namespace Platform::Mapi {

ProfileDb::~ProfileDb() {
    if (m_pDb)
        sqlite3_close_v2(m_pDb);
}

std::filesystem::path ProfileDb::Dir() {
    return Platform::OstrelHome() / "profiles";
}

bool ProfileDb::ValidName(const std::wstring& wsName) {
    if (wsName.empty() || wsName.size() > 64 || wsName[0] == L'.')
        return false;
    for (wchar_t c : wsName)
        if (!(iswalnum(c) || c == L' ' || c == L'-' || c == L'_' || c == L'.' || c == L'@') || c > 0x7F)
            return false;
    return true;
}

std::filesystem::path ProfileDb::PathOf(const std::wstring& wsName) {
    std::string lower = Platform::ToUtf8(wsName);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Dir() / (lower + ".prf");
}

HRESULT ProfileDb::Open(const std::wstring& wsName, bool bCreate, std::shared_ptr<ProfileDb>* ppDb) {
    if (!ValidName(wsName))
        return MAPI_E_INVALID_PARAMETER;
    std::filesystem::path path = PathOf(wsName);
    // Profiles hold protected secrets: only a private folder and a regular file of the user's
    // own count; a planted link is never followed.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return MAPI_E_NO_ACCESS;
        if (!bCreate)
            return MAPI_E_NOT_FOUND;
    } else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        return MAPI_E_NO_ACCESS;
    }
    if (!Platform::EnsurePrivateDirectory(Dir()))
        return MAPI_E_NO_ACCESS;
    auto pDb = std::shared_ptr<ProfileDb>(new ProfileDb());
    pDb->m_wsName = wsName;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | (bCreate ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &pDb->m_pDb, flags, nullptr);
    if (rc != SQLITE_OK)
        return HrFromSqlite(rc);
    sqlite3_busy_timeout(pDb->m_pDb, 15000);
    rc = sqlite3_exec(pDb->m_pDb,
                      "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                      "CREATE TABLE IF NOT EXISTS sections(uid BLOB NOT NULL, tag INTEGER NOT NULL,"
                      " value BLOB NOT NULL, PRIMARY KEY(uid, tag)) WITHOUT ROWID",
                      nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return HrFromSqlite(rc) == MAPI_E_CALL_FAILED ? MAPI_E_CORRUPT_DATA : HrFromSqlite(rc);
    *ppDb = pDb;
    return S_OK;
}

HRESULT ProfileDb::LoadSection(const MAPIUID& uid, PropMap& props) {
    std::lock_guard<std::mutex> lock(m_mutex);
    props.clear();
    Statement st(m_pDb, "SELECT tag, value FROM sections WHERE uid=?");
    st.Bind(1, std::string_view(reinterpret_cast<const char*>(uid.ab), 16));
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        ULONG ulTag = static_cast<ULONG>(st.Int(0));
        if (!IsStorableType(PROP_TYPE(ulTag)))
            return MAPI_E_CORRUPT_DATA;
        props[PROP_ID(ulTag)] = {ulTag, st.Blob(1)};
    }
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT ProfileDb::WriteSection(const MAPIUID& uid, const std::vector<StoredProp>& set,
                                const std::vector<ULONG>& deleted) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string key(reinterpret_cast<const char*>(uid.ab), 16);
    HRESULT hr = HrFromSqlite(sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    if (FAILED(hr))
        return hr;
    auto removeId = [&](ULONG ulId) {
        Statement del(m_pDb, "DELETE FROM sections WHERE uid=? AND tag BETWEEN ? AND ?");
        del.Bind(1, key).Bind(2, static_cast<int64_t>(ulId) << 16).Bind(3, (static_cast<int64_t>(ulId) << 16) | 0xFFFF);
        return HrFromSqlite(del.Step());
    };
    for (ULONG ulId : deleted)
        if (SUCCEEDED(hr))
            hr = removeId(ulId);
    for (const auto& prop : set) {
        if (SUCCEEDED(hr))
            hr = removeId(PROP_ID(prop.ulTag));
        if (FAILED(hr))
            break;
        Statement ins(m_pDb, "INSERT INTO sections(uid, tag, value) VALUES(?, ?, ?)");
        ins.Bind(1, key).Bind(2, prop.ulTag).Bind(3, prop.sData);
        hr = HrFromSqlite(ins.Step());
    }
    if (SUCCEEDED(hr))
        hr = HrFromSqlite(sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr));
    if (FAILED(hr))
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return hr;
}

HRESULT ProfileDb::Sections(std::vector<MAPIUID>& uids) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uids.clear();
    Statement st(m_pDb, "SELECT DISTINCT uid FROM sections ORDER BY uid");
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        std::string blob = st.Blob(0);
        if (blob.size() != 16)
            return MAPI_E_CORRUPT_DATA;
        MAPIUID uid;
        std::memcpy(uid.ab, blob.data(), 16);
        uids.push_back(uid);
    }
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT ProfileDb::FindService(const std::wstring& wsServiceName, MAPIUID& uid) {
    std::vector<MAPIUID> uids;
    HRESULT hr = Sections(uids);
    for (const MAPIUID& candidate : uids) {
        if (FAILED(hr))
            break;
        PropMap props;
        hr = LoadSection(candidate, props);
        auto name = props.find(PROP_ID(PR_SERVICE_NAME_W));
        auto service = props.find(PROP_ID(PR_SERVICE_UID));
        if (SUCCEEDED(hr) && name != props.end() && service != props.end() &&
            PROP_TYPE(name->second.ulTag) == PT_UNICODE && ReadString(name->second) == wsServiceName &&
            service->second.sData == std::string(reinterpret_cast<const char*>(candidate.ab), 16)) {
            uid = candidate;
            return S_OK;
        }
    }
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
}

}  // namespace Platform::Mapi

namespace Platform {

HRESULT MapiFindService(const std::wstring& wsProfile, const std::wstring& wsServiceName, MAPIUID* pServiceUid) {
    if (!pServiceUid)
        return MAPI_E_INVALID_PARAMETER;
    std::shared_ptr<Mapi::ProfileDb> pProfile;
    HRESULT hr = Mapi::ProfileDb::Open(wsProfile, false, &pProfile);
    return SUCCEEDED(hr) ? pProfile->FindService(wsServiceName, *pServiceUid) : hr;
}

}  // namespace Platform
