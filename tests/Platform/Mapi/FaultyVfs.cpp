#include "FaultyVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>

namespace MapiTest {
namespace {

std::atomic<int> g_cAllowed{-1};  // writes left before the failures start; -1: never
std::atomic<int> g_cFailed{0};
sqlite3_vfs* g_pReal = nullptr;
sqlite3_vfs g_vfs;

// Each file of the layer holds the real file right behind it.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* pReal;
};

sqlite3_file* Real(sqlite3_file* p) {
    return reinterpret_cast<ShimFile*>(p)->pReal;
}

int Close(sqlite3_file* p) {
    return Real(p)->pMethods->xClose(Real(p));
}
int Read(sqlite3_file* p, void* pBuf, int cb, sqlite3_int64 off) {
    return Real(p)->pMethods->xRead(Real(p), pBuf, cb, off);
}
int Write(sqlite3_file* p, const void* pBuf, int cb, sqlite3_int64 off) {
    int cLeft = g_cAllowed.load();
    while (cLeft > 0 && !g_cAllowed.compare_exchange_weak(cLeft, cLeft - 1)) {
    }
    if (cLeft == 0) {
        ++g_cFailed;
        return SQLITE_FULL;
    }
    return Real(p)->pMethods->xWrite(Real(p), pBuf, cb, off);
}
int Truncate(sqlite3_file* p, sqlite3_int64 size) {
    return Real(p)->pMethods->xTruncate(Real(p), size);
}
int Sync(sqlite3_file* p, int flags) {
    return Real(p)->pMethods->xSync(Real(p), flags);
}
int FileSize(sqlite3_file* p, sqlite3_int64* pSize) {
    return Real(p)->pMethods->xFileSize(Real(p), pSize);
}
int Lock(sqlite3_file* p, int level) {
    return Real(p)->pMethods->xLock(Real(p), level);
}
int Unlock(sqlite3_file* p, int level) {
    return Real(p)->pMethods->xUnlock(Real(p), level);
}
int CheckReservedLock(sqlite3_file* p, int* pOut) {
    return Real(p)->pMethods->xCheckReservedLock(Real(p), pOut);
}
int FileControl(sqlite3_file* p, int op, void* pArg) {
    return Real(p)->pMethods->xFileControl(Real(p), op, pArg);
}
int SectorSize(sqlite3_file* p) {
    return Real(p)->pMethods->xSectorSize(Real(p));
}
int DeviceCharacteristics(sqlite3_file* p) {
    return Real(p)->pMethods->xDeviceCharacteristics(Real(p));
}
int ShmMap(sqlite3_file* p, int iPage, int cb, int bExtend, void volatile** pp) {
    return Real(p)->pMethods->xShmMap(Real(p), iPage, cb, bExtend, pp);
}
int ShmLock(sqlite3_file* p, int offset, int n, int flags) {
    return Real(p)->pMethods->xShmLock(Real(p), offset, n, flags);
}
void ShmBarrier(sqlite3_file* p) {
    Real(p)->pMethods->xShmBarrier(Real(p));
}
int ShmUnmap(sqlite3_file* p, int bDelete) {
    return Real(p)->pMethods->xShmUnmap(Real(p), bDelete);
}
int Fetch(sqlite3_file* p, sqlite3_int64 off, int cb, void** pp) {
    return Real(p)->pMethods->xFetch(Real(p), off, cb, pp);
}
int Unfetch(sqlite3_file* p, sqlite3_int64 off, void* pv) {
    return Real(p)->pMethods->xUnfetch(Real(p), off, pv);
}

const sqlite3_io_methods kMethods = {3,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     Fetch,
                                     Unfetch};

int Open(sqlite3_vfs*, sqlite3_filename zName, sqlite3_file* pFile, int flags, int* pOutFlags) {
    auto* pShim = reinterpret_cast<ShimFile*>(pFile);
    pShim->pReal = reinterpret_cast<sqlite3_file*>(pShim + 1);
    int rc = g_pReal->xOpen(g_pReal, zName, pShim->pReal, flags, pOutFlags);
    pShim->base.pMethods = pShim->pReal->pMethods ? &kMethods : nullptr;
    return rc;
}
int Delete(sqlite3_vfs*, const char* z, int bSync) {
    return g_pReal->xDelete(g_pReal, z, bSync);
}
int Access(sqlite3_vfs*, const char* z, int flags, int* pOut) {
    return g_pReal->xAccess(g_pReal, z, flags, pOut);
}
int FullPathname(sqlite3_vfs*, const char* z, int n, char* pOut) {
    return g_pReal->xFullPathname(g_pReal, z, n, pOut);
}
void* DlOpen(sqlite3_vfs*, const char* z) {
    return g_pReal->xDlOpen(g_pReal, z);
}
void DlError(sqlite3_vfs*, int n, char* z) {
    g_pReal->xDlError(g_pReal, n, z);
}
void (*DlSym(sqlite3_vfs*, void* p, const char* z))(void) {
    return g_pReal->xDlSym(g_pReal, p, z);
}
void DlClose(sqlite3_vfs*, void* p) {
    g_pReal->xDlClose(g_pReal, p);
}
int Randomness(sqlite3_vfs*, int n, char* z) {
    return g_pReal->xRandomness(g_pReal, n, z);
}
int SleepFor(sqlite3_vfs*, int us) {
    return g_pReal->xSleep(g_pReal, us);
}
int CurrentTime(sqlite3_vfs*, double* p) {
    return g_pReal->xCurrentTime(g_pReal, p);
}
int GetLastError(sqlite3_vfs*, int n, char* z) {
    return g_pReal->xGetLastError(g_pReal, n, z);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* p) {
    return g_pReal->xCurrentTimeInt64(g_pReal, p);
}

}  // namespace

FaultyVfs::FaultyVfs() {
    g_pReal = sqlite3_vfs_find(nullptr);
    std::memset(&g_vfs, 0, sizeof g_vfs);
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + g_pReal->szOsFile;
    g_vfs.mxPathname = g_pReal->mxPathname;
    g_vfs.zName = "ostrel-test-faulty";
    g_vfs.xOpen = Open;
    g_vfs.xDelete = Delete;
    g_vfs.xAccess = Access;
    g_vfs.xFullPathname = FullPathname;
    g_vfs.xDlOpen = DlOpen;
    g_vfs.xDlError = DlError;
    g_vfs.xDlSym = DlSym;
    g_vfs.xDlClose = DlClose;
    g_vfs.xRandomness = Randomness;
    g_vfs.xSleep = SleepFor;
    g_vfs.xCurrentTime = CurrentTime;
    g_vfs.xGetLastError = GetLastError;
    g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    Heal();
    sqlite3_vfs_register(&g_vfs, 1);
}

FaultyVfs::~FaultyVfs() {
    sqlite3_vfs_unregister(&g_vfs);
    sqlite3_vfs_register(g_pReal, 1);
}

void FaultyVfs::FailWritesAfter(int cAllowed) {
    g_cAllowed = cAllowed;
}

void FaultyVfs::Heal() {
    g_cAllowed = -1;
    g_cFailed = 0;
}

int FaultyVfs::FailedWrites() const {
    return g_cFailed;
}

}  // namespace MapiTest
