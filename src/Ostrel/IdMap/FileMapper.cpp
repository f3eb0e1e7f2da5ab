#include "Ostrel/IdMap/FileMapper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Ostrel/IdMap/FileMapperMgr.h"
#include "Ostrel/IdMap/IdMapPaths.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Util/HostInfo.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr wchar_t kTypeName[] = L"FileMapper";
// {AD79864A-A8E8-45B1-BE3A-2C3702B3C35D}, numeric name 1: the number of mappings, kept on the store.
constexpr GUID kMappingCountSet = {0xAD79864A, 0xA8E8, 0x45B1, {0xBE, 0x3A, 0x2C, 0x37, 0x02, 0xB3, 0xC3, 0x5D}};

std::string PathBytes(const std::wstring& ws) {
    return Platform::ToUtf8(ws);
}

bool FileExists(const std::wstring& ws) {
    struct stat st {};
    return ::lstat(PathBytes(ws).c_str(), &st) == 0;
}

void TouchFile(int fd, bool bWrite) {
    struct timespec times[2] = {{0, UTIME_NOW}, {0, bWrite ? UTIME_NOW : UTIME_OMIT}};
    if (::futimens(fd, times) != 0)
        OSTLOG_ERROR(L"Failed to SetFileTime %d", errno);
}

bool WriteAll(int fd, const void* pv, size_t cb, off_t off) {
    const auto* p = static_cast<const BYTE*>(pv);
    while (cb > 0) {
        const ssize_t n = ::pwrite(fd, p, cb, off);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += n, cb -= size_t(n), off += n;
    }
    return true;
}

}  // namespace

FileMapper::FileMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, BOOL bIsGal, IdMapper* pOwner)
    : IIdMapperImpl(pStore, pOwner), Util::OstObj(L"FileMapper"), m_bIsGal(bIsGal) {
    OSTLOG_BLOCK(16, 32);
    if (!ReadStoreRecordKey(pStore, &m_recordKey)) {
        OSTLOG_ERROR(L"Can't read the store's record key");
        return;
    }
    const std::wstring wsGuid = RecordKeyGuidString(m_recordKey);
    m_lock.Init(((bIsGal ? L"OSTREL_GAL_ID_MAPPER_" : L"OSTREL_ID_MAPPER_") + wsGuid).c_str());
    m_lock.SetNoLog(TRUE);
    const IdmFileKind kind = bIsGal ? IdmFileKind::Gal : IdmFileKind::Item;
    std::wstring wsPath0, wsPath1;
    if (!GetIDMFilePath(pPrimaryStore, pStore, kind, FALSE, &wsPath0) ||
        !GetIDMFilePath(pPrimaryStore, pStore, kind, TRUE, &wsPath1)) {
        OSTLOG_ERROR(L"Can't get IDM path");
        return;
    }
    {
        Util::AutoCrossProcessLock xp(m_lock);
        if (!xp.IsLocked()) {
            OSTLOG_ERROR(L"Can't take the id mapper lock");
            return;
        }
        // A process that died inside a change is noticed by whoever locks next, here too.
        m_bReloadNeeded = m_bVerifyOnLoad = m_lock.WasAbandoned();
        if (!OpenLocked(wsPath0, wsPath1))
            return;
        if (!bIsGal)
            ObtainMappingCountTag(pStore, FALSE);
        m_bInitialized = true;
    }
    // Registered once whole, so that the solidifier never meets a mapper still being built.
    FileMapperMgr::Instance().RegisterFileMapper(this);
}

bool FileMapper::OpenLocked(const std::wstring& wsPath0, const std::wstring& wsPath1) {
    if (FileExists(wsPath0) && FileExists(wsPath1)) {
        // An upgrade that did not finish: the old file is still whole, so it is done again.
        OSTLOG_WARN(L"Deleting obsolete verifiable IDM");
        if (::unlink(PathBytes(wsPath1).c_str()) != 0)
            OSTLOG_ERROR(L"Failed to delete obsolete verifiable IDM. Error:%d", errno);
    }
    std::wstring wsPath = FileExists(wsPath0) ? wsPath0 : wsPath1;
    const std::wstring wsBaseName = GetName();
    for (int pass = 0; pass < 2; ++pass) {
        m_wsIdmPath = wsPath;
        SetName(wsBaseName + L", '" + std::filesystem::path(PathBytes(wsPath)).filename().wstring() + L"'");
        bool bUpgraded = false;
        if (!OpenAndReadHeader(wsPath, wsPath == wsPath0 ? wsPath1 : std::wstring(), &bUpgraded))
            return false;
        if (!bUpgraded)
            return true;
        OSTLOG_INFO(1, L"Sucessfully upgraded IDM");
        wsPath = wsPath1;
    }
    return false;
}

bool FileMapper::OpenAndReadHeader(const std::wstring& wsPath, const std::wstring& wsUpgradePath, bool* pbUpgraded) {
    *pbUpgraded = false;
    if (m_fd >= 0)
        ::close(m_fd);
    const bool bExisted = FileExists(wsPath);
    m_fd = ::open(PathBytes(wsPath).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        OSTLOG_ERROR(L"Can't open IDM file %s - %d", wsPath.c_str(), errno);
        return false;
    }
    struct stat st {};
    ::fstat(m_fd, &st);
    m_bNewFile = !bExisted || st.st_size == 0;
    m_bScanOnLoad = m_bNewFile;
    TouchFile(m_fd, false);
    if (m_bNewFile) {
        OSTLOG_INFO(4, L"Initializing mapper file '%s'", wsPath.c_str());
        BYTE ab[kIdmNewFileSize] = {};
        IdmHeader header;
        header.ftStamp = Util::CurrentClock().GetSystemTimeAsFileTime();
        WriteIdmHeader(ab, header);
        if (!WriteAll(m_fd, ab, sizeof ab, 0) || ::fdatasync(m_fd) != 0) {
            OSTLOG_ERROR(L"Cannot initialize id mapper file %s", wsPath.c_str());
            return false;
        }
        return true;
    }
    BYTE ab[kIdmNewFileSize] = {};
    const ssize_t n = ::pread(m_fd, ab, sizeof ab, 0);
    if (n < 0) {
        OSTLOG_ERROR(L"ReadFile failed for %s - %d", wsPath.c_str(), errno);
        return false;
    }
    ULONG ulSignature = 0;
    std::memcpy(&ulSignature, ab, sizeof ulSignature);
    // Only the old name holds the old format; in the verifiable file it is damage.
    if (n >= static_cast<ssize_t>(kIdmLegacyHeaderSize) && ulSignature == kIdmLegacySignature &&
        !wsUpgradePath.empty()) {
        ::close(m_fd);
        m_fd = -1;
        if (FAILED(MigrateIDMToVerifiableIDM(wsPath, wsUpgradePath)))
            return false;
        *pbUpgraded = true;
        return true;
    }
    IdmHeader header;
    if (n < static_cast<ssize_t>(sizeof ab) || !ReadIdmHeader(ab, size_t(n), &header)) {
        // A cut-off file is rebuilt from the store when the cache is first loaded.
        OSTLOG_WARN(L"ReadFile incomplete for %s - %d", wsPath.c_str(), static_cast<int>(n));
        return true;
    }
    if (header.ulSignature != kIdmSignature) {
        OSTLOG_WARN(L"Corrupted file %s", wsPath.c_str());
        return true;
    }
    m_ulTentativeCount = header.ulTentativeCount;
    if (m_ulTentativeCount != 0 && GetIdmVerified() == 0)
        OSTLOG_WARN(L"Last OSN process exited unexpectedly. IDM requires repair.");
    return true;
}

FileMapper::~FileMapper() {
    if (m_bInitialized) {
        FileMapperMgr::Instance().UnregisterFileMapper(this);
        SolidifyMature(true);
        WriteMappingCount();
    }
    m_view.Close();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FileMapper::UnInitIdMapper() {
    if (!m_bInitialized)
        return;
    SolidifyMature(true);
    FileMapperMgr::Instance().UnregisterFileMapper(this);
    m_bInitialized = false;
}

void FileMapper::WriteMappingCount() {
    if (!IsBESOSN() || Util::GetApplicationType() == Platform::Host::kApplicationClient || !m_ulMappingCountTag)
        return;
    size_t cMappings = 0;
    {
        Util::AutoCrossProcessLock xp(m_lock);
        std::unique_lock<std::shared_mutex> rw(m_rwCache);
        if (!xp.IsLocked() || m_mapOstIdToPstId.Empty() || FAILED(CheckCache()))
            return;
        cMappings = m_mapOstIdToPstId.Size();
    }
    SPropValue value{};
    value.ulPropTag = m_ulMappingCountTag;
    value.Value.l = static_cast<LONG>(cMappings);
    HrSetOneProp(m_pStore, &value);
}

HRESULT FileMapper::ObtainMappingCountTag(IMsgStore* pStore, BOOL bSkip) {
    if (bSkip || !pStore)
        return S_OK;
    MAPINAMEID name{};
    name.lpguid = const_cast<GUID*>(&kMappingCountSet);
    name.ulKind = MNID_ID;
    name.Kind.lID = 1;
    LPMAPINAMEID pName = &name;
    LPSPropTagArray pTags = nullptr;
    const HRESULT hr = pStore->GetIDsFromNames(1, &pName, MAPI_CREATE, &pTags);
    if (SUCCEEDED(hr) && pTags && pTags->cValues == 1 && PROP_TYPE(pTags->aulPropTag[0]) != PT_ERROR)
        m_ulMappingCountTag = CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_LONG);
    MAPIFreeBuffer(pTags);
    return hr;
}

BOOL FileMapper::Get(LONG lOstId, ULONG* pcb, BYTE** ppEid) {
    if (!pcb || !ppEid) {
        OSTLOG_ERROR(L"Invalid arguments are passed (NULL == lpcb || NULL == lppEntryID)");
        return FALSE;
    }
    const ULONG ulPstId = LookupPstId(lOstId);
    if (ulPstId == 0) {
        OSTLOG_INFO(16, L"OstId %d is not in mapper '%s'", lOstId, m_wsIdmPath.c_str());
        Util::TraceIdMapperGetMessage(4, lOstId, nullptr, 0, kTypeName, FALSE);
        return FALSE;
    }
    const std::string eid = MakePstEntryId(m_recordKey, ulPstId);
    if (MAPIAllocateBuffer(kPstEntryIdSize, reinterpret_cast<LPVOID*>(ppEid)) != S_OK) {
        OSTLOG_ERROR(L"MAPI_E_NOT_ENOUGH_MEMORY ");
        OSTLOG_ERROR(L"IDM: Failed to create EntryID for OstId %d", lOstId);
        Util::TraceIdMapperGetMessage(4, lOstId, nullptr, 0, kTypeName, FALSE);
        return FALSE;
    }
    std::memcpy(*ppEid, eid.data(), kPstEntryIdSize);
    *pcb = kPstEntryIdSize;
    Util::TraceIdMapperGetMessage(4, lOstId, *ppEid, *pcb, kTypeName, TRUE);
    return TRUE;
}

template <typename F>
auto FileMapper::ReadCache(F read) -> decltype(read()) {
    {
        std::shared_lock<std::shared_mutex> rw(m_rwCache);
        // The file's stamp moves on with every change any process writes: while it still equals
        // the one the cache was read at, the cache is the file.
        if (m_bCacheLoaded && !m_bReloadNeeded && SameStamp(ReadIdmStamp(FileData()), m_ftCacheStamp))
            return read();
    }
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || FAILED(CheckCache()))
        return decltype(read())();
    return read();
}

ULONG FileMapper::LookupPstId(LONG lOstId) {
    if (!m_bInitialized)
        return 0;
    return ReadCache([&] {
        const Mapping* p = m_mapOstIdToPstId.Find(static_cast<ULONG>(lOstId));
        return p ? p->ulPstId : 0;
    });
}

BOOL FileMapper::LookupOstId(ULONG ulPstId, LONG* plOstId) {
    if (!m_bInitialized)
        return FALSE;
    return ReadCache([&]() -> BOOL {
        const ULONG* p = m_mapPstIdToOstId.Find(ulPstId);
        if (p && plOstId)
            *plOstId = static_cast<LONG>(*p);
        return p != nullptr;
    });
}

BOOL FileMapper::Contains(LONG lOstId) {
    return LookupPstId(lOstId) != 0;
}

size_t FileMapper::Size() {
    if (!m_bInitialized)
        return 0;
    return ReadCache([&] { return m_mapOstIdToPstId.Size(); });
}

void FileMapper::Put(LONG lOstId, ULONG cb, BYTE* pEid, BOOL bCheckStamp) {
    if (cb != kPstEntryIdSize)
        OSTLOG_ERROR(L"IDM: Invalid entryid. size = %d is not size of PST entry id", cb);
    // Shorter ids have no node id at bytes 20..23 to map.
    if (!pEid || cb < kPstEntryIdSize || !m_bInitialized) {
        Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, FALSE);
        return;
    }
    ULONG ulPstId = 0;
    std::memcpy(&ulPstId, pEid + 20, sizeof ulPstId);
    const ULONG ulOstId = static_cast<ULONG>(lOstId);
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || FAILED(CheckCache()) || ulPstId == 0) {
        Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, FALSE);
        return;
    }
    const Mapping* pExisting = m_mapOstIdToPstId.Find(ulOstId);
    if (pExisting && pExisting->ulPstId == ulPstId) {
        Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, TRUE);
        return;
    }
    if (const ULONG* pOther = m_mapPstIdToOstId.Find(ulPstId); pOther && *pOther != ulOstId) {
        // One object, one server id: the other id's mapping is withdrawn (tentatively, so that a
        // crash before the object is restamped leaves it in place).
        const LONG lOther = static_cast<LONG>(*pOther);
        OSTLOG_ERROR(
            L"IDM: PSTID ALREADY MAPPED: Detected passed in PstID %08X is already referenced by OstID %d "
            L"while attempting to map from OstID %d",
            ulPstId, lOther, lOstId);
        const Mapping other = *m_mapOstIdToPstId.Find(*pOther);
        const BYTE bOld = ReadIdmRecord(FileData(), other.ulSlot).bTentative;
        SetRecordBits(other.ulSlot, bOld, static_cast<BYTE>(bOld | kTentativeDel));
        DropFromMaps(*pOther, ulPstId);
        AddTentative(*pOther, ulPstId, kTentativeDel, other.ulSlot);
        pExisting = m_mapOstIdToPstId.Find(ulOstId);
    }
    Mapping existing{};
    const bool bReplace = pExisting != nullptr;
    if (bReplace) {
        existing = *pExisting;
        const PairCheck old = CheckPair(lOstId, existing.ulPstId);
        if (old == PairCheck::Invalid)
            OSTLOG_ERROR(
                L"IDM: ORPHANED IDM RECORD: Mapping already exists for OstID %d (%d->%08X) but the PST object "
                L"%d does not exist. Replacing with %d->%08X",
                lOstId, lOstId, existing.ulPstId, existing.ulPstId, lOstId, ulPstId);
        else
            OSTLOG_ERROR(
                L"IDM: ORPHANING PST OBJECT: Mapping already exists for OstID %d (%d->%08X) and PST obj %08X "
                L"is live. Replacing with %d->%08X thereby orphaning PST obj %08X",
                lOstId, lOstId, existing.ulPstId, existing.ulPstId, lOstId, ulPstId, existing.ulPstId);
    }
    // The object carries its stamp before the record names it, so a record never points at an
    // object that a crash left unstamped.
    if (bCheckStamp)
        CheckAndFixStamp(lOstId, ulPstId);
    ULONG ulSlot = existing.ulSlot;
    if (!bReplace) {
        if (m_emptyIdCache.empty() && !GrowFile(lOstId, ulPstId)) {
            OSTLOG_ERROR(L"IDM: Failed to add mapping %d->%08X", lOstId, ulPstId);
            Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, FALSE);
            return;
        }
        ulSlot = m_emptyIdCache.front();
        m_emptyIdCache.pop_front();
    }
    OSTLOG_INFO(16, L"Adding mapping %d->%08X", lOstId, ulPstId);
    const BYTE bOld = ReadIdmRecord(FileData(), ulSlot).bTentative;
    const BYTE bNew = m_bRebuilding ? 0 : kTentativeAdd;
    WriteIdmRecord(FileData(), ulSlot, ulOstId, ulPstId, bNew, m_bRecordChecks);
    if ((bOld != 0) != (bNew != 0))
        m_ulFileTentative += bNew ? 1 : -1;
    if (Util::IsTesting(L"TermDuringIDMPut"))
        Util::TestModeTerminate(L"TermDuringIDMPut", 1);
    if (bReplace)
        DropFromMaps(ulOstId, existing.ulPstId);
    m_mapOstIdToPstId.Set(ulOstId, Mapping{ulPstId, ulSlot});
    m_mapPstIdToOstId.Set(ulPstId, ulOstId);
    if (m_mapOstIdToPstId.Size() != m_mapPstIdToOstId.Size())
        OSTLOG_ERROR(L"IDM: Forward and reverse map size mismatch. O2P:%d P2O:%d",
                     static_cast<int>(m_mapOstIdToPstId.Size()), static_cast<int>(m_mapPstIdToOstId.Size()));
    if (!m_bRebuilding) {
        AddTentative(ulOstId, ulPstId, kTentativeAdd, ulSlot);
        OSTLOG_INFO(16, L"Tentative ADD added for %d->%08X", lOstId, ulPstId);
    }
    StampAndFlush();
    OSTLOG_INFO(4, L"Mapping %d->%08X (%s) added successfully at index %d", lOstId, ulPstId,
                Util::NidType(static_cast<BYTE>(ulPstId)), ulSlot);
    if (!Util::IsTesting(L"TestMultOstIDOnePstID") || (ulPstId & 0x1F) == 4)
        Util::TestModeTerminate(L"TermAfterIDMPut", 1);
    Util::TraceIdMapperPutMessage(4, lOstId, pEid, cb, kTypeName, TRUE);
}

void FileMapper::CheckAndFixStamp(LONG lOstId, ULONG ulPstId) {
    OSTLOG_INFO(16, L"Checking stamp...");
    OSTLOG_INFO(16, L"cbEntryId: %d", kPstEntryIdSize);
    const ULONG ulTag = m_pOwner ? m_pOwner->GetOstIdTag() : 1;
    LONG lStamp = 0;
    HRESULT hr = S_OK;
    const StampCheck check = CheckPstStamp(m_pStore, m_recordKey, ulTag, ulPstId, lOstId, &lStamp, &hr);
    if (check == StampCheck::Gone) {
        OSTLOG_ERROR(
            L"IDM: ADDING MAPPING FOR NONEXISTENT OBJ: While adding mapping %d->%08X, MAPI obj %08X not "
            L"found. hr:%08X",
            lOstId, ulPstId, ulPstId, static_cast<unsigned>(hr));
        return;
    }
    OSTLOG_INFO(16, L"Opened for stamp checking: %p. OstID tag: %08X", static_cast<void*>(m_pStore), ulTag);
    if (check == StampCheck::Match || check == StampCheck::Unreadable)
        return;
    if (check == StampCheck::Missing)
        OSTLOG_ERROR(
            L"IDM: ADDING MAPPING FOR UNSTAMPED OBJ: While adding mapping %d->%08X MAPI obj %08X contains no "
            L"stamp -> Stamping with %d. hr: %08X",
            lOstId, ulPstId, ulPstId, lOstId, static_cast<unsigned>(hr));
    else
        OSTLOG_ERROR(
            L"IDM: ADDING MAPPING FOR INCORRECTLY STAMPED OBJ: While adding mapping %d->%08X MAPI obj %08X "
            L"contains wrong stamp %d -> Restamping with %d",
            lOstId, ulPstId, ulPstId, lStamp, lOstId);
    std::string eid = MakePstEntryId(m_recordKey, ulPstId);
    ULONG ulType = 0;
    Platform::ComPtr<IUnknown> pUnk;
    hr = m_pStore->OpenEntry(kPstEntryIdSize, reinterpret_cast<LPENTRYID>(eid.data()), &IID_IMAPIProp, MAPI_MODIFY,
                             &ulType, pUnk.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"IDM: Failed to open object to update stamp hr:%08X", static_cast<unsigned>(hr));
        return;
    }
    hr = WriteStamp(static_cast<IMAPIProp*>(pUnk.Get()), ulTag, lOstId);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to SaveChanges to stamp OstrelID: %08X", static_cast<unsigned>(hr));
    else
        OSTLOG_INFO(4, L"IDM: Stamped successfully");
}

BOOL FileMapper::Remove(LONG lOstId) {
    if (!m_bInitialized)
        return FALSE;
    const ULONG ulOstId = static_cast<ULONG>(lOstId);
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || FAILED(CheckCache()))
        return FALSE;
    const Mapping* p = m_mapOstIdToPstId.Find(ulOstId);
    if (!p) {
        OSTLOG_INFO(4, L"Mapping for OstID %d not found", lOstId);
        return FALSE;
    }
    const Mapping mapping = *p;
    const BYTE bOld = ReadIdmRecord(FileData(), mapping.ulSlot).bTentative;
    DropFromMaps(ulOstId, mapping.ulPstId);
    if (m_pOwner && m_pOwner->IsVerifyingTentative()) {
        FreeRecord(mapping.ulSlot, bOld);
    } else {
        SetRecordBits(mapping.ulSlot, bOld, static_cast<BYTE>(bOld | kTentativeDel));
        AddTentative(ulOstId, mapping.ulPstId, kTentativeDel, mapping.ulSlot);
    }
    StampAndFlush();
    OSTLOG_INFO(4, L"Mapping %d->%08X removed successfully from index %d", lOstId, mapping.ulPstId, mapping.ulSlot);
    Util::TestModeTerminate(L"TermAfterIDMRemove", 1);
    return TRUE;
}

void FileMapper::RemoveAll() {
    if (!m_bInitialized)
        return;
    Util::AutoCrossProcessLock xp(m_lock);
    std::unique_lock<std::shared_mutex> rw;
    if (!LockExclusive(xp, rw) || FAILED(CheckCache()))
        return;
    BYTE ab[kIdmNewFileSize] = {};
    IdmHeader header;
    header.ulFlags = kIdmFlagRecordChecks;
    header.ftStamp = ReadIdmStamp(FileData());  // moved on below, past every stamp seen so far
    WriteIdmHeader(ab, header);
    // Header and slot 0 first, then the cut: the file is never shorter than a header.
    if (!WriteAll(m_fd, ab, sizeof ab, 0) || ::ftruncate(m_fd, kIdmNewFileSize) != 0 || !RemapToFileSize()) {
        OSTLOG_ERROR(L"Failed to remove all mappings - %d", errno);
        m_bReloadNeeded = true;
        return;
    }
    ClearCache();
    m_emptyIdCache.push_back(0);
    m_ulFileTentative = 0;
    m_bRecordChecks = true;
    m_bCacheLoaded = true;
    StampAndFlush();
}

BOOL FileMapper::DumpMappings(const wchar_t* pwszPath) {
    if (!m_bInitialized || !pwszPath)
        return FALSE;
    std::string sText;
    {
        Util::AutoCrossProcessLock xp(m_lock);
        std::unique_lock<std::shared_mutex> rw;
        if (!LockExclusive(xp, rw) || FAILED(CheckCache()))
            return FALSE;
        sText = Platform::ToUtf8(DumpIdMapperFile(FileData(), m_view.Size()));
    }
    const int fd = ::open(PathBytes(pwszPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return FALSE;
    const bool bOk = WriteAll(fd, sText.data(), sText.size(), 0);
    return ::close(fd) == 0 && bOk;
}

size_t FileMapper::TentativeListSize() {
    Util::AutoCriticalSection cs(m_csTentativeList);
    return m_lstTentative.size();
}

size_t FileMapper::CacheMemoryBytes() {
    std::shared_lock<std::shared_mutex> rw(m_rwCache);
    return m_mapOstIdToPstId.MemoryBytes() + m_mapPstIdToOstId.MemoryBytes() + m_emptyIdCache.size() * sizeof(ULONG) +
           m_lstTentative.capacity() * sizeof(TentativeEntry);
}

void FileMapper::DropFromMaps(ULONG ulOstId, ULONG ulPstId) {
    if (const Mapping* p = m_mapOstIdToPstId.Find(ulOstId); p && p->ulPstId == ulPstId)
        m_mapOstIdToPstId.Erase(ulOstId);
    if (const ULONG* p = m_mapPstIdToOstId.Find(ulPstId); p && *p == ulOstId)
        m_mapPstIdToOstId.Erase(ulPstId);
}

void FileMapper::SetRecordBits(ULONG ulSlot, BYTE bOld, BYTE bNew) {
    WriteIdmRecordBits(FileData(), ulSlot, bNew);
    if ((bOld != 0) != (bNew != 0))
        m_ulFileTentative += bNew ? 1 : -1;
}

void FileMapper::FreeRecord(ULONG ulSlot, BYTE bOld) {
    ClearIdmRecord(FileData(), ulSlot);
    if (bOld != 0)
        --m_ulFileTentative;
    m_emptyIdCache.push_back(ulSlot);
}

void FileMapper::AddTentative(ULONG ulOstId, ULONG ulPstId, BYTE bKind, ULONG ulSlot, bool bTorn) {
    Util::AutoCriticalSection cs(m_csTentativeList);
    m_lstTentative.push_back(
        TentativeEntry{ulOstId, ulPstId, bKind, Util::CurrentClock().GetTickCount64(), ulSlot, bTorn});
}

void FileMapper::StampAndFlush() {
    // Strictly increasing, so that two changes in one clock tick, or a clock set back, still
    // tell every other process that the file changed.
    FILETIME ft = Util::CurrentClock().GetSystemTimeAsFileTime();
    const FILETIME ftOld = ReadIdmStamp(FileData());
    const ULONGLONG ullNow = ULONGLONG(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    const ULONGLONG ullOld = ULONGLONG(ftOld.dwHighDateTime) << 32 | ftOld.dwLowDateTime;
    const ULONGLONG ullNew = ullNow > ullOld ? ullNow : ullOld + 1;
    ft.dwLowDateTime = static_cast<DWORD>(ullNew);
    ft.dwHighDateTime = static_cast<DWORD>(ullNew >> 32);
    m_ulTentativeCount = m_ulFileTentative;
    WriteIdmTentativeCount(FileData(), m_ulFileTentative);
    WriteIdmStamp(FileData(), ft);
    m_ftCacheStamp = ft;
    // The mapping is shared with every process at once; what a crash of this process cannot lose
    // needs no write-back here. The disk is brought up to date when records are solidified.
    TouchFile(m_fd, true);
}

bool FileMapper::ExtendFile(size_t cbMore) {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return false;
    static const BYTE kZeros[4096] = {};
    off_t off = st.st_size;
    for (size_t cbLeft = cbMore; cbLeft > 0;) {
        const size_t cb = cbLeft < sizeof kZeros ? cbLeft : sizeof kZeros;
        if (!WriteAll(m_fd, kZeros, cb, off)) {
            const int saved = errno;
            if (::ftruncate(m_fd, st.st_size) != 0)
                OSTLOG_ERROR(L"Failed to cut back a partial extension - %d", errno);
            errno = saved;
            return false;
        }
        off += off_t(cb), cbLeft -= cb;
    }
    return true;
}

bool FileMapper::GrowFile(LONG lOstId, ULONG ulPstId) {
    const IdmHeader header = [this] {
        IdmHeader h;
        ReadIdmHeader(FileData(), m_view.Size(), &h);
        return h;
    }();
    if (header.ulSlotCount > kIdmMaxSlots - kIdmGrowSlots || !ExtendFile(size_t(kIdmGrowSlots) * kIdmRecordSize)) {
        OSTLOG_ERROR(L"IDM: Could not allocate disk space for new new mapping data. Failed to add mapping %d->08X",
                     lOstId);
        return false;
    }
    if (!RemapToFileSize()) {
        OSTLOG_ERROR(L"Failed to add mapping %d->%08X", lOstId, ulPstId);
        OSTLOG_ERROR(L"m_emptyIdCache size is 0 for id = %d GetLastError() = %d", lOstId, errno);
        m_bReloadNeeded = true;
        return false;
    }
    // Counted only once the zeros are on disk: a crash in between leaves uncounted zero records,
    // which the next load counts in.
    WriteIdmSlotCount(FileData(), header.ulSlotCount + kIdmGrowSlots);
    for (ULONG i = 0; i < kIdmGrowSlots; ++i)
        m_emptyIdCache.push_back(header.ulSlotCount + i);
    return true;
}

bool FileMapper::RemapToFileSize() {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return false;
    if (m_view.IsOpen() && m_view.Size() == static_cast<size_t>(st.st_size))
        return true;
    m_view.Close();
    if (st.st_size >= static_cast<off_t>(kIdmHeaderSize) && m_view.Map(m_fd, true))
        return true;
    OSTLOG_ERROR(L"Failed to map the IDM file - %d", errno);
    m_bCacheLoaded = false;  // there is no view to compare stamps with until a load maps one
    return false;
}

}  // namespace Ostrel::Mapi
