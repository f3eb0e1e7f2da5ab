#include "Platform/Com/FileStream.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComApi.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/StreamUtil.h"

namespace Platform {

namespace {

constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;

HRESULT HResultFromErrno(int nErr, HRESULT hrDefault) {
    switch (nErr) {
        case ENOENT:
            return STG_E_FILENOTFOUND;
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EBADF:
            return STG_E_ACCESSDENIED;
        case EEXIST:
            return STG_E_FILEALREADYEXISTS;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return STG_E_MEDIUMFULL;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        default:
            return hrDefault;
    }
}

FILETIME ToFileTime(const struct timespec& ts) {
    ULONGLONG ull =
        static_cast<ULONGLONG>(ts.tv_sec) * 10000000ull + static_cast<ULONGLONG>(ts.tv_nsec) / 100 + kFileTimeUnixEpoch;
    return FILETIME{static_cast<DWORD>(ull & 0xFFFFFFFFu), static_cast<DWORD>(ull >> 32)};
}

// The open file, shared by a stream and its clones; closed (and deleted when asked) with the last one.
// A temporary file whose name was removed at once (bNameRemoved) has nothing left to delete.
struct OpenFile {
    OpenFile(int fdIn, std::filesystem::path pathIn, DWORD grfModeIn, bool bDelete, bool bRemoved)
        : fd(fdIn), path(std::move(pathIn)), grfMode(grfModeIn), bDeleteOnRelease(bDelete), bNameRemoved(bRemoved) {}
    ~OpenFile() {
        ::close(fd);
        if (bDeleteOnRelease && !bNameRemoved)
            ::unlink(path.c_str());
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool CanRead() const { return (grfMode & STGM_ACCESS_MASK) != STGM_WRITE; }
    bool CanWrite() const { return (grfMode & STGM_ACCESS_MASK) != STGM_READ; }

    std::mutex mutex;  // guards the positions of every stream on this file
    int fd;
    std::filesystem::path path;
    DWORD grfMode;
    bool bDeleteOnRelease;
    bool bNameRemoved;
};

class FileStream final : public ComObject<IStream> {
public:
    explicit FileStream(std::shared_ptr<OpenFile> pFile) : m_pFile(std::move(pFile)) {}

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppvObject);
    }

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead)
            *pcbRead = 0;
        if (!pv && cb > 0)
            return STG_E_INVALIDPOINTER;
        if (!m_pFile->CanRead())
            return STG_E_ACCESSDENIED;
        std::lock_guard<std::mutex> guard(m_pFile->mutex);
        ULONG cbDone = 0;
        while (cbDone < cb) {
            ssize_t n = ::pread(m_pFile->fd, static_cast<BYTE*>(pv) + cbDone, cb - cbDone,
                                static_cast<off_t>(m_ullPosition + cbDone));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                m_ullPosition += cbDone;
                if (pcbRead)
                    *pcbRead = cbDone;
                return HResultFromErrno(errno, STG_E_READFAULT);
            }
            if (n == 0)
                break;
            cbDone += static_cast<ULONG>(n);
        }
        m_ullPosition += cbDone;
        if (pcbRead)
            *pcbRead = cbDone;
        return S_OK;
    }

    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten)
            *pcbWritten = 0;
        if (!pv && cb > 0)
            return STG_E_INVALIDPOINTER;
        if (!m_pFile->CanWrite())
            return STG_E_ACCESSDENIED;
        std::lock_guard<std::mutex> guard(m_pFile->mutex);
        ULONG cbDone = 0;
        HRESULT hr = S_OK;
        while (cbDone < cb) {
            ssize_t n = ::pwrite(m_pFile->fd, static_cast<const BYTE*>(pv) + cbDone, cb - cbDone,
                                 static_cast<off_t>(m_ullPosition + cbDone));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                hr = n < 0 ? HResultFromErrno(errno, STG_E_WRITEFAULT) : STG_E_MEDIUMFULL;
                break;
            }
            cbDone += static_cast<ULONG>(n);
        }
        m_ullPosition += cbDone;
        if (pcbWritten)
            *pcbWritten = cbDone;
        return hr;
    }

    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        std::lock_guard<std::mutex> guard(m_pFile->mutex);
        ULONGLONG ullEnd = 0;
        if (dwOrigin == STREAM_SEEK_END) {
            struct stat st {};
            if (::fstat(m_pFile->fd, &st) != 0)
                return HResultFromErrno(errno, STG_E_SEEKERROR);
            ullEnd = static_cast<ULONGLONG>(st.st_size);
        }
        ULONGLONG ullNew = 0;
        HRESULT hr = ResolveSeek(m_ullPosition, ullEnd, dlibMove, dwOrigin, &ullNew);
        if (FAILED(hr))
            return hr;
        m_ullPosition = ullNew;
        if (plibNewPosition)
            plibNewPosition->QuadPart = ullNew;
        return S_OK;
    }

    HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
        if (!m_pFile->CanWrite())
            return STG_E_ACCESSDENIED;
        if (libNewSize.QuadPart > static_cast<ULONGLONG>(INT64_MAX))
            return STG_E_INVALIDFUNCTION;
        if (::ftruncate(m_pFile->fd, static_cast<off_t>(libNewSize.QuadPart)) != 0)
            return HResultFromErrno(errno, STG_E_WRITEFAULT);
        return S_OK;
    }

    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
        return CopyStreamData(this, pstm, cb, pcbRead, pcbWritten);
    }

    HRESULT Commit(DWORD) override {
        // A temporary file that goes away on release gains nothing from reaching the disk.
        if (m_pFile->bDeleteOnRelease || !m_pFile->CanWrite())
            return S_OK;
        return ::fdatasync(m_pFile->fd) == 0 ? S_OK : HResultFromErrno(errno, STG_E_WRITEFAULT);
    }

    HRESULT Revert() override { return S_OK; }

    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = BeginStat(pstatstg, grfStatFlag);
        if (FAILED(hr))
            return hr;
        struct stat st {};
        if (::fstat(m_pFile->fd, &st) != 0)
            return HResultFromErrno(errno, STG_E_ACCESSDENIED);
        pstatstg->cbSize.QuadPart = static_cast<ULONGLONG>(st.st_size);
        pstatstg->mtime = ToFileTime(st.st_mtim);
        pstatstg->ctime = ToFileTime(st.st_ctim);
        pstatstg->atime = ToFileTime(st.st_atim);
        pstatstg->grfMode = m_pFile->grfMode;
        if (!(grfStatFlag & STATFLAG_NONAME)) {
            std::wstring wsName = FromUtf8(m_pFile->path.string());
            auto* pwsz = static_cast<LPOLESTR>(CoTaskMemAlloc((wsName.size() + 1) * sizeof(OLECHAR)));
            if (!pwsz)
                return STG_E_INSUFFICIENTMEMORY;
            std::memcpy(pwsz, wsName.c_str(), (wsName.size() + 1) * sizeof(OLECHAR));
            pstatstg->pwcsName = pwsz;
        }
        return S_OK;
    }

    HRESULT Clone(IStream** ppstm) override {
        if (!ppstm)
            return STG_E_INVALIDPOINTER;
        auto* pClone = new (std::nothrow) FileStream(m_pFile);
        if (!pClone) {
            *ppstm = nullptr;
            return E_OUTOFMEMORY;
        }
        std::lock_guard<std::mutex> guard(m_pFile->mutex);
        pClone->m_ullPosition = m_ullPosition;
        *ppstm = pClone;
        return S_OK;
    }

private:
    std::shared_ptr<OpenFile> m_pFile;
    ULONGLONG m_ullPosition = 0;  // guarded by m_pFile->mutex
};

HRESULT WrapFile(int fd, const std::filesystem::path& path, DWORD grfMode, bool bDeleteOnRelease, IStream** ppStream,
                 bool bNameRemoved = false) {
    std::shared_ptr<OpenFile> pFile;
    try {
        pFile = std::make_shared<OpenFile>(fd, path, grfMode, bDeleteOnRelease, bNameRemoved);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        if (bDeleteOnRelease && !bNameRemoved)
            ::unlink(path.c_str());
        return E_OUTOFMEMORY;
    }
    auto* pStream = new (std::nothrow) FileStream(std::move(pFile));
    if (!pStream)
        return E_OUTOFMEMORY;
    *ppStream = pStream;
    return S_OK;
}

}  // namespace

HRESULT CreateFileStream(const std::filesystem::path& path, DWORD grfMode, bool bDeleteOnRelease, IStream** ppStream) {
    if (!ppStream)
        return STG_E_INVALIDPOINTER;
    *ppStream = nullptr;
    if (path.empty())
        return STG_E_INVALIDPARAMETER;
    // O_NONBLOCK: a FIFO at the path is refused below instead of waiting for its other end.
    int nFlags = O_CLOEXEC | O_NONBLOCK;
    switch (grfMode & STGM_ACCESS_MASK) {
        case STGM_READ:
            nFlags |= O_RDONLY;
            break;
        case STGM_WRITE:
            nFlags |= O_WRONLY;
            break;
        case STGM_READWRITE:
            nFlags |= O_RDWR;
            break;
        default:
            return STG_E_INVALIDFLAG;
    }
    if (grfMode & STGM_CREATE) {
        if ((grfMode & STGM_ACCESS_MASK) == STGM_READ)
            nFlags = (nFlags & ~O_RDONLY) | O_RDWR;  // creating needs write access to the new file
        // Creating truncates and writes: a link planted at the name must not redirect that to
        // the file it points at.
        nFlags |= O_CREAT | O_TRUNC | O_NOFOLLOW;
    }
    int fd = ::open(path.c_str(), nFlags, 0600);
    if (fd < 0) {
        int nErr = errno;
        if (nErr == ENOENT && path.has_parent_path() && !std::filesystem::is_directory(path.parent_path()))
            return STG_E_PATHNOTFOUND;
        return HResultFromErrno(nErr, STG_E_ACCESSDENIED);
    }
    // Only a regular file can be sized, seeked and read back as a stream.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return STG_E_ACCESSDENIED;
    }
    return WrapFile(fd, path, grfMode, bDeleteOnRelease || (grfMode & STGM_DELETEONRELEASE), ppStream);
}

HRESULT CreateUniqueFileStream(const std::filesystem::path& dir, std::string_view sPrefix, bool bDeleteOnRelease,
                               IStream** ppStream, std::filesystem::path* pPath) {
    if (!ppStream)
        return STG_E_INVALIDPOINTER;
    *ppStream = nullptr;
    if (sPrefix.find('/') != std::string_view::npos)
        return STG_E_INVALIDPARAMETER;
    std::error_code ec;
    std::filesystem::path base = dir.empty() ? std::filesystem::temp_directory_path(ec) : dir;
    if (base.empty())
        return STG_E_PATHNOTFOUND;
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        uint32_t uRandom = 0;
        if (::getrandom(&uRandom, sizeof uRandom, 0) != sizeof uRandom)
            uRandom = static_cast<uint32_t>(::getpid()) * 2654435761u + static_cast<uint32_t>(nAttempt);
        char szSuffix[16];
        std::snprintf(szSuffix, sizeof szSuffix, "%08X.tmp", uRandom);
        std::filesystem::path path = base / (std::string(sPrefix) + szSuffix);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            int nErr = errno;
            if (nErr == ENOENT)
                return STG_E_PATHNOTFOUND;
            return HResultFromErrno(nErr, STG_E_ACCESSDENIED);
        }
        // A temporary file loses its name at once: the open descriptor keeps the data, and nothing
        // outlives the process, however it ends.
        const bool bNameRemoved = bDeleteOnRelease && ::unlink(path.c_str()) == 0;
        HRESULT hr = WrapFile(fd, path, STGM_READWRITE | STGM_CREATE, bDeleteOnRelease, ppStream, bNameRemoved);
        if (SUCCEEDED(hr) && pPath)
            *pPath = path;
        return hr;
    }
    return STG_E_FILEALREADYEXISTS;
}

}  // namespace Platform
