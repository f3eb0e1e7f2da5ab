// Sessions on profiles, profile sections, the support object and the profile administration.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComApi.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/PropObject.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Session/ProfileDb.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Mapi/Store/Table.h"

namespace Platform::Mapi {

namespace {

MAPIUID NewUid() {
    GUID guid;
    CoCreateGuid(&guid);
    MAPIUID uid;
    std::memcpy(uid.ab, &guid, 16);
    return uid;
}

std::string UidBytes(const MAPIUID& uid) {
    return std::string(reinterpret_cast<const char*>(uid.ab), 16);
}

class ProfSectImpl : public PropObject<IProfSect> {
public:
    ProfSectImpl(std::shared_ptr<ProfileDb> pProfile, const MAPIUID& uid, bool bWritable)
        : m_pProfile(std::move(pProfile)), m_uid(uid), m_bWritable(bWritable) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IProfSect, IMAPIProp, IUnknown>(riid, ppv);
    }
    HRESULT SaveChanges(ULONG) override { return S_OK; }  // every change is written when made

protected:
    HRESULT ReadProps(PropMap& props) override {
        HRESULT hr = m_pProfile->LoadSection(m_uid, props);
        if (SUCCEEDED(hr))
            props[PROP_ID(PR_OBJECT_TYPE)] = MakeLong(PR_OBJECT_TYPE, MAPI_PROFSECT);
        return hr;
    }
    bool IsComputed(ULONG ulId) const override { return ulId == PROP_ID(PR_OBJECT_TYPE); }
    HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        return m_pProfile->WriteSection(m_uid, set, deleted);
    }
    bool Writable() const override { return m_bWritable; }

private:
    std::shared_ptr<ProfileDb> m_pProfile;
    MAPIUID m_uid;
    bool m_bWritable;
};

class SessionImpl : public Platform::ComObject<IMAPISession> {
public:
    explicit SessionImpl(std::shared_ptr<ProfileDb> pProfile) : m_pProfile(std::move(pProfile)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPISession, IUnknown>(riid, ppv);
    }

    HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
        return MakeLastError(hResult, ulFlags, lppMAPIError);
    }

    HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* lppTable) override {
        if (!lppTable)
            return MAPI_E_INVALID_PARAMETER;
        auto pProfile = m_pProfile;
        RowSource source;
        source.load = [pProfile](const std::vector<ULONG>&, std::vector<TableRow>& rows) {
            rows.clear();
            std::vector<std::pair<MAPIUID, PropMap>> stores;
            HRESULT hr = StoreSections(*pProfile, stores);
            uint64_t key = 0;
            for (auto& [uid, props] : stores) {
                TableRow row{key, std::move(props)};
                row.props[PROP_ID(PR_INSTANCE_KEY)] = MakeBinary(PR_INSTANCE_KEY, UidBytes(uid));
                row.props[PROP_ID(PR_RECORD_KEY)] = MakeBinary(PR_RECORD_KEY, UidBytes(uid));
                row.props[PROP_ID(PR_OBJECT_TYPE)] = MakeLong(PR_OBJECT_TYPE, MAPI_STORE);
                rows.push_back(std::move(row));
                ++key;
            }
            return hr;
        };
        source.defaultColumns = {PR_INSTANCE_KEY,  PR_RECORD_KEY,   PR_DISPLAY_NAME_W, PR_ENTRYID,
                                 PR_DEFAULT_STORE, PR_PROVIDER_UID, PR_MDB_PROVIDER,   PR_RESOURCE_FLAGS};
        return CreateTable(std::move(source), lppTable);
    }

    HRESULT OpenMsgStore(ULONG_PTR, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                         LPMDB* lppMDB) override {
        if (!lppMDB)
            return MAPI_E_INVALID_PARAMETER;
        *lppMDB = nullptr;
        if (lpInterface && *lpInterface != IID_IMsgStore && *lpInterface != IID_IMAPIProp &&
            *lpInterface != IID_IUnknown)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        std::filesystem::path path;
        if (!Platform::OsdPathFromStoreEntryId(cbEntryID, lpEntryID, &path))
            return MAPI_E_INVALID_ENTRYID;
        bool bWrite = ulFlags & (MDB_WRITE | MAPI_BEST_ACCESS);
        return Platform::OpenOsdStore(path, false, L"", bWrite, lppMDB);
    }

    HRESULT OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK* lppAdrBook) override {
        return CreateAddrBook(lppAdrBook);
    }

    HRESULT OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags, LPPROFSECT* lppProfSect) override {
        if (!lppProfSect)
            return MAPI_E_INVALID_PARAMETER;
        *lppProfSect = nullptr;
        if (lpInterface && *lpInterface != IID_IProfSect && *lpInterface != IID_IMAPIProp &&
            *lpInterface != IID_IUnknown)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        MAPIUID uid = lpUID ? *lpUID : pbGlobalProfileSectionGuid;
        *lppProfSect = new (std::nothrow) ProfSectImpl(m_pProfile, uid, ulFlags & (MAPI_MODIFY | MAPI_FORCE_ACCESS));
        return *lppProfSect ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
    }

    HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                      LPUNKNOWN* lppUnk) override {
        if (!lppUnk)
            return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        if (Platform::OsdPathFromStoreEntryId(cbEntryID, lpEntryID, nullptr)) {
            IMsgStore* pStore = nullptr;
            HRESULT hr = OpenMsgStore(0, cbEntryID, lpEntryID, lpInterface, ulFlags | MDB_WRITE, &pStore);
            if (SUCCEEDED(hr) && lpulObjType)
                *lpulObjType = MAPI_STORE;
            *lppUnk = pStore;
            return hr;
        }
        std::wstring name, type, address;
        if (ParseOneOffEntryId(cbEntryID, lpEntryID, &name, &type, &address)) {
            Platform::ComPtr<IAddrBook> pAb;
            HRESULT hr = CreateAddrBook(pAb.AddressOf());
            if (FAILED(hr))
                return hr;
            return pAb->OpenEntry(cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk);
        }
        if (cbEntryID < 20 || !lpEntryID)
            return MAPI_E_INVALID_ENTRYID;
        // A store object: find the store of the profile with that record key.
        std::vector<std::pair<MAPIUID, PropMap>> stores;
        HRESULT hr = StoreSections(*m_pProfile, stores);
        if (FAILED(hr))
            return hr;
        for (auto& [uid, props] : stores) {
            auto it = props.find(PROP_ID(PR_ENTRYID));
            if (it == props.end())
                continue;
            Platform::ComPtr<IMsgStore> pStore;
            if (FAILED(OpenMsgStore(0, static_cast<ULONG>(it->second.sData.size()), (LPENTRYID)it->second.sData.data(),
                                    nullptr, MDB_WRITE, pStore.AddressOf())))
                continue;
            SPropValue* pKey = nullptr;
            if (FAILED(HrGetOneProp(pStore.Get(), PR_STORE_RECORD_KEY, &pKey)))
                continue;
            bool bMatch = pKey->Value.bin.cb == 16 &&
                          std::memcmp(pKey->Value.bin.lpb, reinterpret_cast<BYTE*>(lpEntryID) + 4, 16) == 0;
            MAPIFreeBuffer(pKey);
            if (bMatch)
                return pStore->OpenEntry(cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk);
        }
        return MAPI_E_UNKNOWN_ENTRYID;
    }

    HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2, ULONG,
                            ULONG* lpulResult) override {
        if (!lpulResult || (cbEntryID1 && !lpEntryID1) || (cbEntryID2 && !lpEntryID2))
            return MAPI_E_INVALID_PARAMETER;
        std::filesystem::path p1, p2;
        if (Platform::OsdPathFromStoreEntryId(cbEntryID1, lpEntryID1, &p1) &&
            Platform::OsdPathFromStoreEntryId(cbEntryID2, lpEntryID2, &p2)) {
            std::error_code ec;
            *lpulResult = std::filesystem::equivalent(p1, p2, ec);
            return S_OK;
        }
        *lpulResult = cbEntryID1 == cbEntryID2 && std::memcmp(lpEntryID1, lpEntryID2, cbEntryID1) == 0;
        return S_OK;
    }

    HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }

    HRESULT SetDefaultStore(ULONG, ULONG cbEntryID, LPENTRYID lpEntryID) override {
        std::vector<std::pair<MAPIUID, PropMap>> stores;
        HRESULT hr = StoreSections(*m_pProfile, stores);
        if (FAILED(hr))
            return hr;
        std::string eid(reinterpret_cast<const char*>(lpEntryID), lpEntryID ? cbEntryID : 0);
        bool bFound = false;
        for (auto& [uid, props] : stores)
            bFound |= props.count(PROP_ID(PR_ENTRYID)) && props[PROP_ID(PR_ENTRYID)].sData == eid;
        if (!bFound)
            return MAPI_E_NOT_FOUND;
        for (auto& [uid, props] : stores) {
            bool bDefault = props.count(PROP_ID(PR_ENTRYID)) && props[PROP_ID(PR_ENTRYID)].sData == eid;
            hr = m_pProfile->WriteSection(uid,
                                          {MakeBool(PR_DEFAULT_STORE, bDefault),
                                           MakeLong(PR_RESOURCE_FLAGS, bDefault ? STATUS_DEFAULT_STORE : 0)},
                                          {});
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    static HRESULT StoreSections(ProfileDb& profile, std::vector<std::pair<MAPIUID, PropMap>>& stores) {
        std::vector<MAPIUID> uids;
        HRESULT hr = profile.Sections(uids);
        for (const auto& uid : uids) {
            if (FAILED(hr))
                break;
            PropMap props;
            hr = profile.LoadSection(uid, props);
            auto it = props.find(PROP_ID(PR_RESOURCE_TYPE));
            if (SUCCEEDED(hr) && it != props.end() && ReadLong(it->second) == static_cast<LONG>(MAPI_STORE_PROVIDER))
                stores.emplace_back(uid, std::move(props));
        }
        return hr;
    }

    const std::shared_ptr<ProfileDb>& Profile() const { return m_pProfile; }

private:
    std::shared_ptr<ProfileDb> m_pProfile;
};

class SupportImpl : public Platform::ComObject<IMAPISupport> {
public:
    SupportImpl(Platform::ComPtr<IMAPISession> pSession, const MAPIUID& providerUid)
        : m_pSession(std::move(pSession)), m_providerUid(providerUid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPISupport, IUnknown>(riid, ppv);
    }
    HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
        return MakeLastError(hResult, ulFlags, lppMAPIError);
    }
    HRESULT GetMemAllocRoutines(LPALLOCATEBUFFER* lpAllocateBuffer, LPALLOCATEMORE* lpAllocateMore,
                                LPFREEBUFFER* lpFreeBuffer) override {
        if (lpAllocateBuffer)
            *lpAllocateBuffer = MAPIAllocateBuffer;
        if (lpAllocateMore)
            *lpAllocateMore = MAPIAllocateMore;
        if (lpFreeBuffer)
            *lpFreeBuffer = MAPIFreeBuffer;
        return S_OK;
    }
    HRESULT OpenProfileSection(LPMAPIUID lpUid, ULONG ulFlags, LPPROFSECT* lppProfileObj) override {
        MAPIUID uid = lpUid ? *lpUid : m_providerUid;
        return m_pSession->OpenProfileSection(&uid, nullptr, ulFlags, lppProfileObj);
    }
    HRESULT OpenAddressBook(LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) override {
        return m_pSession->OpenAddressBook(0, lpInterface, ulFlags, lppAdrBook);
    }
    HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                      LPUNKNOWN* lppUnk) override {
        return m_pSession->OpenEntry(cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk);
    }
    HRESULT CompareEntryIDs(ULONG cbEntry1, LPENTRYID lpEntry1, ULONG cbEntry2, LPENTRYID lpEntry2,
                            ULONG ulCompareFlags, ULONG* lpulResult) override {
        return m_pSession->CompareEntryIDs(cbEntry1, lpEntry1, cbEntry2, lpEntry2, ulCompareFlags, lpulResult);
    }
    HRESULT NewUID(LPMAPIUID lpMuid) override {
        if (!lpMuid)
            return MAPI_E_INVALID_PARAMETER;
        *lpMuid = NewUid();
        return S_OK;
    }

private:
    Platform::ComPtr<IMAPISession> m_pSession;
    MAPIUID m_providerUid;
};

std::atomic<int> g_cInitialized{0};

std::filesystem::path DefaultProfileFile() {
    return ProfileDb::Dir() / "default";
}

// Writes the default profile name beside the file and renames it over, so readers never see half a
// name. The temporary is created fresh (O_EXCL, O_NOFOLLOW): a link planted at its name is never
// written through; a stale one is removed first (unlink removes a link, not what it points at).
HRESULT WriteDefaultProfileName(const std::wstring& wsName) {
    const std::filesystem::path target = DefaultProfileFile();
    std::filesystem::path tmp = target;
    tmp += ".tmp";
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT)
        return MAPI_E_DISK_ERROR;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return MAPI_E_DISK_ERROR;
    const std::string line = Platform::ToUtf8(wsName) + "\n";
    bool bOk = true;
    for (size_t off = 0; bOk && off < line.size();) {
        const ssize_t cb = ::write(fd, line.data() + off, line.size() - off);
        if (cb < 0 && errno == EINTR)
            continue;
        bOk = cb > 0;
        if (bOk)
            off += static_cast<size_t>(cb);
    }
    bOk = ::fsync(fd) == 0 && bOk;
    bOk = ::close(fd) == 0 && bOk;
    if (bOk && ::rename(tmp.c_str(), target.c_str()) == 0)
        return S_OK;
    ::unlink(tmp.c_str());
    return MAPI_E_DISK_ERROR;
}

// The name WriteDefaultProfileName left; empty when there is none or the file is no regular one
// (O_NONBLOCK: a FIFO in its place must not keep the logon waiting for a writer).
std::wstring ReadDefaultProfileName() {
    const int fd = ::open(DefaultProfileFile().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::wstring();
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[4096];
        ssize_t cb = 0;
        while ((cb = ::read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
        }
        if (cb > 0)
            text.assign(buffer, static_cast<size_t>(cb));
    }
    ::close(fd);
    return Platform::FromUtf8(text.substr(0, text.find('\n')));
}

}  // namespace

}  // namespace Platform::Mapi

using Platform::Mapi::ProfileDb;

HRESULT MAPIInitialize(LPVOID) {
    ++Platform::Mapi::g_cInitialized;
    return S_OK;
}

void MAPIUninitialize() {
    if (Platform::Mapi::g_cInitialized > 0)
        --Platform::Mapi::g_cInitialized;
}

HRESULT MAPILogonEx(ULONG_PTR, LPTSTR lpszProfileName, LPTSTR, ULONG flFlags, LPMAPISESSION* lppSession) {
    if (!lppSession)
        return MAPI_E_INVALID_PARAMETER;
    *lppSession = nullptr;
    std::wstring name = Platform::Mapi::TextArg(lpszProfileName, flFlags);
    if (name.empty()) {
        name = Platform::Mapi::ReadDefaultProfileName();
        auto all = Platform::MapiListProfiles();
        if (name.empty() && all.size() == 1)
            name = all[0];
    }
    std::shared_ptr<ProfileDb> pProfile;
    HRESULT hr = ProfileDb::Open(name, false, &pProfile);
    if (FAILED(hr))
        return hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_PARAMETER ? MAPI_E_LOGON_FAILED : hr;
    *lppSession = new (std::nothrow) Platform::Mapi::SessionImpl(std::move(pProfile));
    return *lppSession ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

namespace Platform {

using Mapi::MakeBinary;
using Mapi::MakeBool;
using Mapi::MakeLong;
using Mapi::MakeString;

HRESULT MapiCreateProfile(const std::wstring& wsName, bool bDefault) {
    std::shared_ptr<ProfileDb> pProfile;
    if (SUCCEEDED(ProfileDb::Open(wsName, false, &pProfile)))
        return MAPI_E_COLLISION;
    HRESULT hr = ProfileDb::Open(wsName, true, &pProfile);
    if (SUCCEEDED(hr))
        hr = pProfile->WriteSection(pbGlobalProfileSectionGuid, {MakeString(PR_PROFILE_NAME_W, wsName)}, {});
    if (SUCCEEDED(hr) && bDefault)
        hr = Mapi::WriteDefaultProfileName(wsName);
    return hr;
}

HRESULT MapiDeleteProfile(const std::wstring& wsName) {
    if (!ProfileDb::ValidName(wsName))
        return MAPI_E_INVALID_PARAMETER;
    bool bFound = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ProfileDb::Dir(), ec)) {
        std::wstring stem = Platform::FromUtf8(entry.path().stem().string());
        if (entry.path().extension() != ".prf" || Mapi::FoldCase(ToUtf8(stem)) != Mapi::FoldCase(ToUtf8(wsName)))
            continue;
        bFound = true;
        for (const char* pszSuffix : {"", "-wal", "-shm"})
            std::filesystem::remove(entry.path().string() + pszSuffix, ec);
    }
    return bFound ? S_OK : MAPI_E_NOT_FOUND;
}

std::vector<std::wstring> MapiListProfiles() {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ProfileDb::Dir(), ec)) {
        if (entry.path().extension() != ".prf")
            continue;
        std::shared_ptr<ProfileDb> pProfile;
        Mapi::PropMap props;
        if (FAILED(ProfileDb::Open(Platform::FromUtf8(entry.path().stem().string()), false, &pProfile)) ||
            FAILED(pProfile->LoadSection(pbGlobalProfileSectionGuid, props)))
            continue;
        auto it = props.find(PROP_ID(PR_PROFILE_NAME));
        names.push_back(it != props.end() ? Mapi::ReadString(it->second)
                                          : Platform::FromUtf8(entry.path().stem().string()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

HRESULT MapiAddService(const std::wstring& wsProfile, const std::wstring& wsServiceName,
                       const std::wstring& wsDisplayName, MAPIUID* pServiceUid) {
    if (!pServiceUid || wsServiceName.empty())
        return MAPI_E_INVALID_PARAMETER;
    std::shared_ptr<ProfileDb> pProfile;
    HRESULT hr = ProfileDb::Open(wsProfile, false, &pProfile);
    if (FAILED(hr))
        return hr;
    MAPIUID uid = Mapi::NewUid();
    hr = pProfile->WriteSection(uid,
                                {MakeString(PR_SERVICE_NAME_W, wsServiceName),
                                 MakeString(PR_DISPLAY_NAME_W, wsDisplayName.empty() ? wsServiceName : wsDisplayName),
                                 MakeBinary(PR_SERVICE_UID, Mapi::UidBytes(uid))},
                                {});
    if (SUCCEEDED(hr))
        *pServiceUid = uid;
    return hr;
}

HRESULT MapiAddStore(const std::wstring& wsProfile, const MAPIUID& serviceUid, const std::wstring& wsDisplayName,
                     const std::filesystem::path& osdPath, bool bDefaultStore, MAPIUID* pProviderUid) {
    if (!pProviderUid || osdPath.extension() != ".osd")
        return MAPI_E_INVALID_PARAMETER;
    std::shared_ptr<ProfileDb> pProfile;
    HRESULT hr = ProfileDb::Open(wsProfile, false, &pProfile);
    if (FAILED(hr))
        return hr;
    Mapi::PropMap service;
    hr = pProfile->LoadSection(serviceUid, service);
    if (SUCCEEDED(hr) && !service.count(PROP_ID(PR_SERVICE_NAME)))
        hr = MAPI_E_NOT_FOUND;
    if (FAILED(hr))
        return hr;
    ComPtr<IMsgStore> pStore;
    hr = OpenOsdStore(osdPath, true, wsDisplayName, true, pStore.AddressOf());
    SPropValue* pEid = nullptr;
    if (SUCCEEDED(hr))
        hr = HrGetOneProp(pStore.Get(), PR_ENTRYID, &pEid);
    if (FAILED(hr))
        return hr;
    std::string eid(reinterpret_cast<const char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
    MAPIFreeBuffer(pEid);
    MAPIUID uid = Mapi::NewUid();
    hr = pProfile->WriteSection(
        uid,
        {MakeLong(PR_RESOURCE_TYPE, MAPI_STORE_PROVIDER), MakeBinary(PR_SERVICE_UID, Mapi::UidBytes(serviceUid)),
         MakeBinary(PR_PROVIDER_UID, Mapi::UidBytes(uid)),
         MakeString(PR_DISPLAY_NAME_W,
                    wsDisplayName.empty() ? Platform::FromUtf8(osdPath.stem().string()) : wsDisplayName),
         MakeBinary(PR_ENTRYID, eid),
         MakeBinary(PR_MDB_PROVIDER, std::string_view(reinterpret_cast<const char*>(MUIDOsdStoreProvider.ab), 16)),
         MakeBool(PR_DEFAULT_STORE, bDefaultStore),
         MakeLong(PR_RESOURCE_FLAGS, bDefaultStore ? STATUS_DEFAULT_STORE : 0)},
        {});
    if (SUCCEEDED(hr))
        *pProviderUid = uid;
    return hr;
}

HRESULT MapiCreateSupport(IMAPISession* pSession, const MAPIUID& providerUid, IMAPISupport** ppSupport) {
    if (!pSession || !ppSupport)
        return MAPI_E_INVALID_PARAMETER;
    *ppSupport = new (std::nothrow) Mapi::SupportImpl(ComPtr<IMAPISession>(pSession), providerUid);
    return *ppSupport ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

}  // namespace Platform
