#include "Ostrel/IdMap/GalFileMapper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Ostrel/IdMap/GalMapperFile.h"
#include "Ostrel/IdMap/IdMapPaths.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr wchar_t kTypeName[] = L"GalFileMapper";

void StoreU32(BYTE* p, ULONG v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>(v >> (8 * i));
}
ULONG LoadU32(const BYTE* p) {
    return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
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

GalFileMapper::GalFileMapper(IMsgStore* pPrimaryStore, IMsgStore* pStore, IdMapper* pOwner)
    : IIdMapperImpl(pStore, pOwner), Util::OstObj(L"GalFileMapper") {
    if (!ReadStoreRecordKey(pStore, &m_recordKey)) {
        OSTLOG_ERROR(L"Can't read the store's record key");
        return;
    }
    m_lock.Init((L"OSTREL_GAL_ID_MAPPER_" + RecordKeyGuidString(m_recordKey)).c_str());
    m_lock.SetNoLog(TRUE);
    if (!GetIDMFilePath(pPrimaryStore, pStore, IdmFileKind::Gal2, FALSE, &m_wsPath)) {
        OSTLOG_ERROR(L"Can't get IDM path");
        return;
    }
    Util::AutoCrossProcessLock xp(m_lock);
    if (!xp.IsLocked())
        return;
    const std::string sPath = Platform::ToUtf8(m_wsPath);
    m_fd = ::open(sPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        OSTLOG_ERROR(L"Can't open IDM file %s - %d", m_wsPath.c_str(), errno);
        return;
    }
    BYTE header[kGalHeaderSize] = {};
    if (st.st_size == 0) {
        m_bNewFile = TRUE;
        StoreU32(header, kGalSignature);
        const FILETIME ft = Util::CurrentClock().GetSystemTimeAsFileTime();
        StoreU32(header + 8, ft.dwLowDateTime);
        StoreU32(header + 12, ft.dwHighDateTime);
        if (!WriteAll(m_fd, header, sizeof header, 0)) {
            OSTLOG_ERROR(L"Cannot initialize id mapper file %s", m_wsPath.c_str());
            return;
        }
    } else {
        const ssize_t n = ::pread(m_fd, header, sizeof header, 0);
        if (n < 0) {
            OSTLOG_ERROR(L"ReadFile failed for %s - %d", m_wsPath.c_str(), errno);
            return;
        }
        if (n < static_cast<ssize_t>(sizeof header)) {
            OSTLOG_ERROR(L"ReadFile incomplete for %s - %d", m_wsPath.c_str(), static_cast<int>(n));
            return;
        }
        if (LoadU32(header) != kGalSignature) {
            // Not ours to change: the file is left as it is and the mapper stays unusable.
            OSTLOG_ERROR(L"ReadFile - bad signature for %s - %x", m_wsPath.c_str(), LoadU32(header));
            return;
        }
    }
    m_bInitialized = true;
}

GalFileMapper::~GalFileMapper() {
    if (m_view.IsOpen())
        FlushMemMappedFile();
    DestroyMemMappedFile();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool GalFileMapper::CreateMemMappedFile() {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        OSTLOG_ERROR(L"Can't get file size: %d", errno);
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) {
        OSTLOG_ERROR(L"File size exceeds ULONG_MAX! %d", static_cast<int>(st.st_size >> 32));
        return false;
    }
    if (m_view.IsOpen() && m_view.Size() == static_cast<size_t>(st.st_size))
        return true;
    DestroyMemMappedFile();
    if (!m_view.Map(m_fd, true)) {
        OSTLOG_ERROR(L"m_SharedData is NULL. GetLastError() = %d", errno);
        return false;
    }
    m_ulSize = static_cast<ULONG>(m_view.Size());
    return true;
}

void GalFileMapper::DestroyMemMappedFile() {
    m_view.Close();
    m_bLoaded = false;
}

bool GalFileMapper::FlushMemMappedFile() {
    if (!m_view.Flush()) {
        OSTLOG_ERROR(L"Failed to Flush. %d", errno);
        return false;
    }
    return true;
}

// The new space is written as one free block: its size, then 0xFF. A growth cut short leaves a
// free block that runs past the end, which the walk shortens to what is there.
bool GalFileMapper::ExtendMemMappedFile(ULONG cbMore) {
    if (ULONGLONG(m_ulSize) + cbMore > 0xFFFFFFFFull) {
        OSTLOG_ERROR(L"Failed to extend file %d", EFBIG);
        return false;
    }
    std::vector<BYTE> block(cbMore, kGalStateFree);
    StoreU32(block.data(), cbMore);
    if (!WriteAll(m_fd, block.data(), block.size(), off_t(m_ulSize))) {
        OSTLOG_ERROR(L"Failed to extend file %d", errno);
        if (::ftruncate(m_fd, off_t(m_ulSize)) != 0)
            OSTLOG_ERROR(L"Failed to cut back a partial extension - %d", errno);
        return false;
    }
    const ULONG ulOffset = m_ulSize;
    if (!CreateMemMappedFile()) {
        OSTLOG_ERROR(L"Failed to CreateMemMappedFile %d", errno);
        return false;
    }
    m_bLoaded = true;  // the tables still describe the file; only the view moved
    AddFreeBlock(ulOffset, cbMore);
    SetFreeTotal(FreeTotal() + cbMore);
    return true;
}

bool GalFileMapper::Lock(Util::AutoCrossProcessLock& xp) {
    return m_bInitialized && xp.IsLocked();
}

HRESULT GalFileMapper::CheckCache() {
    struct stat st {};
    if (m_bLoaded && m_view.IsOpen() && ::fstat(m_fd, &st) == 0 && size_t(st.st_size) == m_view.Size() &&
        LoadU32(Data() + 8) == m_ftStamp.dwLowDateTime && LoadU32(Data() + 12) == m_ftStamp.dwHighDateTime)
        return S_OK;
    if (m_bLoaded)
        OSTLOG_WARN(L"Detected external modification of mapper data. Reloading cache.");
    const HRESULT hr = LoadLocked();
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to load cache - %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT GalFileMapper::LoadCache() {
    if (!m_bInitialized)
        return MAPI_E_NOT_INITIALIZED;
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp))
        return MAPI_E_NOT_INITIALIZED;
    HRESULT hr = LoadLocked();
    if (FAILED(hr) || m_bRebuilding) {
        if (m_bRebuilding)
            OSTLOG_INFO(4, L"Supressing rebuild check because already rebuilding");
        return hr;
    }
    // The GAL folder is the truth: a different number of entries means the map is behind.
    Platform::ComPtr<IMAPIFolder> pGal;
    if (FAILED(OpenGalFolder(m_pStore, pGal.AddressOf())))
        return S_OK;
    LPSPropValue pCount = nullptr;
    if (FAILED(HrGetOneProp(pGal.Get(), PR_CONTENT_COUNT, &pCount)))
        return S_OK;
    const ULONG ulEntries = static_cast<ULONG>(pCount->Value.l);
    MAPIFreeBuffer(pCount);
    if (ulEntries == m_refs.Size())
        return S_OK;
    OSTLOG_WARN(L"GAL mapper needs rebuilding because mapper has %d records but GAL has %d entries",
                static_cast<int>(m_refs.Size()), ulEntries);
    hr = m_pOwner ? m_pOwner->RebuildFromPstObjects(m_pStore) : E_FAIL;
    if (SUCCEEDED(hr))
        OSTLOG_INFO(1, L"Map rebuilt successfully");
    else
        OSTLOG_ERROR(L"Failed to rebuild IDM");
    return S_OK;
}

void GalFileMapper::ClearTables() {
    m_refs.Clear();
    m_mapOstrelIdToPstId.Clear();
    m_mapPstIdToOffset.Clear();
    m_mapFreeBlocks.clear();
}

HRESULT GalFileMapper::LoadLocked() {
    if (!CreateMemMappedFile())
        return MAPI_E_NOT_ENOUGH_MEMORY;
    ClearTables();
    ULONG ulFree = 0;
    std::wstring wsProblem;
    const bool bOk = WalkGalBlocks(
        Data(), m_view.Size(),
        [&](const GalBlock& b) {
            if (!b.bUsed) {
                AddFreeBlock(b.ulOffset, b.ulSize);
                ulFree += b.ulSize;
                return;
            }
            if (OffsetOf(b.sRef)) {
                OSTLOG_ERROR(L"Ref '%hs' already exists", b.sRef.c_str());
                return;
            }
            m_refs.Insert(b.sRef, b.ulOffset);
            if (b.ulId != 0) {
                if (m_mapOstrelIdToPstId.Contains(b.ulId))
                    OSTLOG_ERROR(L"OstrelId %d already exists", static_cast<LONG>(b.ulId));
                else
                    m_mapOstrelIdToPstId.Set(b.ulId, b.ulPstId);
            }
            if (m_mapPstIdToOffset.Contains(b.ulPstId))
                OSTLOG_ERROR(L"PstId %d already exists", b.ulPstId);
            else
                m_mapPstIdToOffset.Set(b.ulPstId, b.ulOffset);
        },
        &wsProblem);
    if (!bOk) {
        // A file that does not walk is emptied; the entries come back from the GAL folder, whose
        // contacts carry their references and ids.
        OSTLOG_ERROR(L"Corrupted file %s: %s. Rebuilding it from the GAL folder.", m_wsPath.c_str(), wsProblem.c_str());
        // O_NONBLOCK: a FIFO under the copy's name fails the copy instead of holding up the rebuild.
        const std::string sCopy = Platform::ToUtf8(m_wsPath) + ".damaged";
        const int fd = ::open(sCopy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0 || !WriteAll(fd, Data(), m_view.Size(), 0))
            OSTLOG_ERROR(L"Failed to keep a copy of the damaged IDM - %d", errno);
        if (fd >= 0)
            ::close(fd);
        ClearTables();
        DestroyMemMappedFile();
        if (::ftruncate(m_fd, kGalHeaderSize) != 0 || !CreateMemMappedFile())
            return MAPI_E_NOT_ENOUGH_MEMORY;
        ulFree = 0;
        m_bLoaded = true;
        SetFreeTotal(0);
        Stamp();
        const BOOL bWasRebuilding = m_bRebuilding;
        if (!bWasRebuilding && m_pOwner && FAILED(m_pOwner->RebuildFromPstObjects(m_pStore)))
            OSTLOG_ERROR(L"Failed to rebuild IDM");
        return S_OK;
    }
    if (FreeTotal() != ulFree)
        SetFreeTotal(ulFree);  // a change cut short may have left the total behind
    m_ftStamp = FILETIME{LoadU32(Data() + 8), LoadU32(Data() + 12)};
    m_bLoaded = true;
    OSTLOG_INFO(4, L"%d mappings", static_cast<int>(m_refs.Size()));
    OSTLOG_INFO(4, L"%d free blocks", static_cast<int>(m_mapFreeBlocks.size()));
    return S_OK;
}

void GalFileMapper::Stamp() {
    const FILETIME ftNow = Util::CurrentClock().GetSystemTimeAsFileTime();
    const ULONGLONG ullOld = ULONGLONG(LoadU32(Data() + 12)) << 32 | LoadU32(Data() + 8);
    const ULONGLONG ullNow = ULONGLONG(ftNow.dwHighDateTime) << 32 | ftNow.dwLowDateTime;
    const ULONGLONG ull = ullNow > ullOld ? ullNow : ullOld + 1;  // strictly later than any before
    m_ftStamp = FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
    StoreU32(Data() + 8, m_ftStamp.dwLowDateTime);
    StoreU32(Data() + 12, m_ftStamp.dwHighDateTime);
}

ULONG GalFileMapper::FreeTotal() const {
    return LoadU32(Data() + 20);
}
void GalFileMapper::SetFreeTotal(ULONG ulBytes) {
    StoreU32(Data() + 20, ulBytes);
}

void GalFileMapper::AddFreeBlock(ULONG ulOffset, ULONG ulSize) {
    m_mapFreeBlocks.emplace(ulSize, ulOffset);
}

BOOL GalFileMapper::BuildEntryId(ULONG ulPstId, ULONG* pcb, BYTE** ppEid) {
    if (!pcb || !ppEid || MAPIAllocateBuffer(kPstEntryIdSize, reinterpret_cast<LPVOID*>(ppEid)) != S_OK)
        return FALSE;
    std::memcpy(*ppEid, MakePstEntryId(m_recordKey, ulPstId).data(), kPstEntryIdSize);
    *pcb = kPstEntryIdSize;
    return TRUE;
}

void GalFileMapper::Put(const std::wstring& wsRef, LONG lId, ULONG cb, BYTE* pEid) {
    if (wsRef.empty()) {
        OSTLOG_ERROR(L"swRef empty");
        return;
    }
    const std::string sRef = Platform::ToUtf8(wsRef);
    if (sRef.empty() || sRef.find('\0') != std::string::npos) {
        OSTLOG_ERROR(L"s8Ref empty");
        return;
    }
    if (cb != kPstEntryIdSize || !pEid) {
        OSTLOG_ERROR(L"The passed entryid is invalid. size = %d does not match the size of PST entry id. Ignoring.",
                     cb);
        return;
    }
    ULONG ulPstId = 0;
    std::memcpy(&ulPstId, pEid + 20, sizeof ulPstId);
    const ULONG ulId = static_cast<ULONG>(lId);
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return;
    OSTLOG_INFO(16, L"ref:'%hs' id:%d PstId:%d", sRef.c_str(), lId, ulPstId);
    if (const ULONG ulOld = OffsetOf(sRef)) {
        const ULONG ulOldPstId = LoadU32(Data() + ulOld + 4), ulOldId = LoadU32(Data() + ulOld + 8);
        if (ulOldPstId == ulPstId && (ulId == 0 || ulOldId == ulId)) {
            if (ulId == 0)
                OSTLOG_INFO(16,
                            L"The mapping ref = '%hs' -> PstId %d is already present in the mapper -> Nothing to do",
                            sRef.c_str(), ulPstId);
            else
                OSTLOG_INFO(16,
                            L"The mapping ref = '%hs' -> PstId %d is already present in the mapper and same "
                            L"OstrelId %d -> Nothing to do",
                            sRef.c_str(), ulPstId, lId);
            return;
        }
        if (ulOldPstId != ulPstId)
            OSTLOG_WARN(L"Present in m_mapRefToPstId but different PstId");
        else if (!m_mapOstrelIdToPstId.Contains(ulId))
            OSTLOG_WARN(L"Present in m_mapRefToPstId but absent from m_mapOstrelIdToPstId");
        else
            OSTLOG_WARN(L"Present in m_mapOstrelIdToPstId but different PstId");
        RemoveLocked(sRef);
    }
    // One object, one entry: another reference on the same contact gives way.
    if (const ULONG* pOffset = m_mapPstIdToOffset.Find(ulPstId))
        RemoveLocked(std::string(RefAt(*pOffset)));
    // One server id, one entry: it is taken from the entry that held it.
    if (ulId != 0)
        if (const ULONG* pOther = m_mapOstrelIdToPstId.Find(ulId)) {
            if (const ULONG* pOffset = m_mapPstIdToOffset.Find(*pOther))
                StoreU32(Data() + *pOffset + 8, 0);
            m_mapOstrelIdToPstId.Erase(ulId);
        }
    const ULONG ulRequired = GalBlockSizeFor(sRef.size());
    auto itFree = m_mapFreeBlocks.lower_bound(ulRequired);
    if (itFree == m_mapFreeBlocks.end()) {
        const ULONG ulGrow = ulRequired > kGalGrowBytes ? ulRequired + 1024 : kGalGrowBytes;
        if (!ExtendMemMappedFile(ulGrow)) {
            OSTLOG_ERROR(L"Could not allocate disk space for new mapping data");
            OSTLOG_ERROR(L"Failed to add mapping Ref = '%hs'-> lPstID = %d, ", sRef.c_str(), ulPstId);
            return;
        }
        itFree = m_mapFreeBlocks.lower_bound(ulRequired);
    }
    if (itFree == m_mapFreeBlocks.end() || itFree->second == 0) {
        OSTLOG_ERROR(L"Failed to add mapping ref = '%hs' -> lPstID = %d", sRef.c_str(), ulPstId);
        return;
    }
    const ULONG ulOffset = itFree->second, ulFreeSize = itFree->first;
    m_mapFreeBlocks.erase(itFree);
    OSTLOG_INFO(16, L"Using free block of size %d at offset %d for new of size reqd %d", ulFreeSize, ulOffset,
                ulRequired);
    OSTLOG_INFO(16, L"Adding mapping Ref:'%hs' (id:%d)->lPstID:%d to offset %d...", sRef.c_str(), lId, ulPstId,
                ulOffset);
    BYTE* p = Data() + ulOffset;
    ULONG ulSize = ulRequired;
    ULONG ulFree = FreeTotal() - ulFreeSize;
    const ULONG ulRemainder = ulFreeSize - ulRequired;
    if (ulRemainder > kGalMinFreeBlock) {
        // The body of a sound free block is 0xFF; its header is written all the same, so that a
        // block damaged inside still splits into one that walks.
        StoreU32(p + ulRequired, ulRemainder);
        std::memset(p + ulRequired + 4, kGalStateFree, kGalBlockHeaderSize - 4);
        AddFreeBlock(ulOffset + ulRequired, ulRemainder);
        ulFree += ulRemainder;
    } else if (ulRemainder > 0) {
        OSTLOG_INFO(16, L"Absorbing slack. Extending m_ulSize from %d to %d", ulRequired, ulFreeSize);
        ulSize = ulFreeSize;
    }
    // Filled while its state still says free; the state byte makes it a mapping.
    StoreU32(p + 4, ulPstId);
    StoreU32(p + 8, ulId);
    std::memcpy(p + kGalBlockHeaderSize, sRef.c_str(), sRef.size() + 1);
    StoreU32(p, ulSize);
    __atomic_store_n(p + 12, kGalStateUsed, __ATOMIC_RELEASE);
    SetFreeTotal(ulFree);
    m_refs.Insert(sRef, ulOffset);
    if (ulId != 0)
        m_mapOstrelIdToPstId.Set(ulId, ulPstId);
    m_mapPstIdToOffset.Set(ulPstId, ulOffset);
    Stamp();
    OSTLOG_INFO(4, L"... success");
    OSTLOG_INFO(16, L"%d mappings, %d free blocks", static_cast<int>(m_refs.Size()),
                static_cast<int>(m_mapFreeBlocks.size()));
    Util::TraceIdMapperPutMessage(4, lId, pEid, cb, kTypeName, TRUE);
}

BOOL GalFileMapper::RemoveLocked(const std::string& sRef) {
    const ULONG ulOffset = OffsetOf(sRef);
    if (!ulOffset) {
        OSTLOG_INFO(16, L"The object with ref = '%hs' does not exist in the data", sRef.c_str());
        return FALSE;
    }
    BYTE* p = Data() + ulOffset;
    const ULONG ulSize = LoadU32(p), ulPstId = LoadU32(p + 4), ulId = LoadU32(p + 8);
    m_refs.Erase(sRef, Data(), m_view.Size());                  // while the block still holds the reference
    __atomic_store_n(p + 12, kGalStateFree, __ATOMIC_RELEASE);  // free first, then wiped
    std::memset(p + 4, kGalStateFree, ulSize - 4);
    AddFreeBlock(ulOffset, ulSize);
    SetFreeTotal(FreeTotal() + ulSize);
    if (const ULONG* pPstId = m_mapOstrelIdToPstId.Find(ulId); ulId != 0 && pPstId && *pPstId == ulPstId)
        m_mapOstrelIdToPstId.Erase(ulId);
    // A PstID a second block also claimed (a damaged file) stays with the block it was loaded for.
    if (const ULONG* pOffset = m_mapPstIdToOffset.Find(ulPstId); pOffset && *pOffset == ulOffset)
        m_mapPstIdToOffset.Erase(ulPstId);
    Stamp();
    OSTLOG_INFO(4, L"Mapping id=%d (Ref='%hs') -> lPstID = %d, successfully removed", static_cast<LONG>(ulId),
                sRef.c_str(), ulPstId);
    OSTLOG_INFO(16, L"%d mappings", static_cast<int>(m_refs.Size()));
    OSTLOG_INFO(16, L"%d free blocks", static_cast<int>(m_mapFreeBlocks.size()));
    return TRUE;
}

BOOL GalFileMapper::Remove(const std::wstring& wsRef) {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return FALSE;
    return RemoveLocked(Platform::ToUtf8(wsRef));
}

BOOL GalFileMapper::Remove(LONG lId) {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return FALSE;
    const ULONG* pPstId = m_mapOstrelIdToPstId.Find(static_cast<ULONG>(lId));
    if (!pPstId) {
        OSTLOG_INFO(16, L"id %d not found", lId);
        return FALSE;
    }
    const ULONG* pOffset = m_mapPstIdToOffset.Find(*pPstId);
    if (!pOffset) {
        OSTLOG_INFO(16, L"lPstId %d not found", *pPstId);
        return FALSE;
    }
    return RemoveLocked(std::string(RefAt(*pOffset)));
}

BOOL GalFileMapper::RemoveOstID2PstIDMapping(LONG lId) {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return FALSE;
    return m_mapOstrelIdToPstId.Erase(static_cast<ULONG>(lId));
}

void GalFileMapper::RemoveAll() {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp))
        return;
    DestroyMemMappedFile();
    if (::ftruncate(m_fd, kGalHeaderSize) != 0)
        OSTLOG_ERROR(L"Failed to cut the GAL mapper file - %d", errno);
    if (!CreateMemMappedFile()) {
        OSTLOG_ERROR(L"m_hMemoryMapping is NULL. GetLastError() = %d", errno);
        return;
    }
    ClearTables();
    SetFreeTotal(0);
    Stamp();
    m_bLoaded = true;
}

BOOL GalFileMapper::Get(const std::wstring& wsRef, ULONG* pcb, BYTE** ppEid) {
    const std::string sRef = Platform::ToUtf8(wsRef);
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return FALSE;
    const ULONG ulOffset = OffsetOf(sRef);
    if (!ulOffset) {
        OSTLOG_INFO(16, L"ref = '%hs' is not in the mapper", sRef.c_str());
        return FALSE;
    }
    if (!BuildEntryId(LoadU32(Data() + ulOffset + 4), pcb, ppEid)) {
        OSTLOG_ERROR(L"Failed to create EntryID for ref = '%hs'", sRef.c_str());
        return FALSE;
    }
    return TRUE;
}

BOOL GalFileMapper::Get(LONG lId, ULONG* pcb, BYTE** ppEid) {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return FALSE;
    const ULONG* pPstId = m_mapOstrelIdToPstId.Find(static_cast<ULONG>(lId));
    if (!pPstId) {
        OSTLOG_INFO(16, L"id = %d is not in the mapper", lId);
        Util::TraceIdMapperGetMessage(4, lId, nullptr, 0, kTypeName, FALSE);
        return FALSE;
    }
    if (!BuildEntryId(*pPstId, pcb, ppEid)) {
        OSTLOG_ERROR(L"Failed to create EntryID for id = %d", lId);
        return FALSE;
    }
    Util::TraceIdMapperGetMessage(4, lId, *ppEid, *pcb, kTypeName, TRUE);
    return TRUE;
}

BOOL GalFileMapper::Contains(const std::wstring& wsRef) {
    Util::AutoCrossProcessLock xp(m_lock);
    return Lock(xp) && SUCCEEDED(CheckCache()) && OffsetOf(Platform::ToUtf8(wsRef)) != 0;
}

BOOL GalFileMapper::Contains(LONG lId) {
    Util::AutoCrossProcessLock xp(m_lock);
    return Lock(xp) && SUCCEEDED(CheckCache()) && m_mapOstrelIdToPstId.Contains(static_cast<ULONG>(lId));
}

size_t GalFileMapper::Size() {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return 0;
    return m_refs.Size();
}

void GalFileMapper::UnitTestGetStats(ULONG& ulFileSize, ULONG& ulMappings, ULONG& ulFreeBlocks, ULONG& ulFreeBytes) {
    Util::AutoCrossProcessLock xp(m_lock);
    if (!Lock(xp) || FAILED(CheckCache()))
        return;
    ulFileSize = m_ulSize;
    ulMappings = static_cast<ULONG>(m_refs.Size());
    ulFreeBlocks = static_cast<ULONG>(m_mapFreeBlocks.size());
    ulFreeBytes = FreeTotal();
    OSTLOG_INFO(4, L"ulFileSize:%d ulNumMappings:%d ulFreeBlocks:%d ulTotalFreeBlockSize:%d", ulFileSize, ulMappings,
                ulFreeBlocks, ulFreeBytes);
}

BOOL GalFileMapper::DumpMappings(const wchar_t* pwszPath) {
    std::string sText;
    {
        Util::AutoCrossProcessLock xp(m_lock);
        if (!pwszPath || !Lock(xp) || FAILED(CheckCache()))
            return FALSE;
        sText = Platform::ToUtf8(DumpGalMapperFile(Data(), m_view.Size()));
    }
    const int fd =
        ::open(Platform::ToUtf8(pwszPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return FALSE;
    const bool bOk = WriteAll(fd, sText.data(), sText.size(), 0);
    return ::close(fd) == 0 && bOk;
}

}  // namespace Ostrel::Mapi
