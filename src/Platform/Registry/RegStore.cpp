#include "Platform/Registry/RegStore.h"

#include "Platform/Base/Paths.h"
#include "Platform/Ipc/FileLock.h"
#include "Platform/Registry/RegFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Platform::Registry {

namespace {

std::mutex g_diagMutex;
std::function<void(const ParseError&)> g_handler;
std::optional<ParseError> g_lastError;

}  // namespace

void SetParseErrorHandler(std::function<void(const ParseError&)> handler) {
    std::lock_guard<std::mutex> lock(g_diagMutex);
    g_handler = std::move(handler);
}

std::optional<ParseError> LastParseError() {
    std::lock_guard<std::mutex> lock(g_diagMutex);
    return g_lastError;
}

std::filesystem::path HivePath(HKEY hRoot) {
    RegStore::Hive* hive = RegStore::HiveFor(hRoot);
    return hive ? hive->Path() : std::filesystem::path();
}

}  // namespace Platform::Registry

namespace Platform::RegStore {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

FILETIME ToFileTime(int64_t unixNs) {
    const uint64_t ticks = static_cast<uint64_t>(unixNs / 100 + kUnixEpochAsFileTime);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

int64_t MtimeNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

Hive::Hive(std::wstring wsRootName, std::string sFileName)
    : m_wsRootName(std::move(wsRootName)), m_sFileName(std::move(sFileName)) {}

std::filesystem::path Hive::Path() const {
    return OstrelHome() / "registry" / m_sFileName;
}

void Hive::Refresh(const std::filesystem::path& path) {
    Identity seen;
    seen.sPath = path.string();
    struct stat st {};
    // lstat: a link planted in place of the hive is seen (and refused below), never followed.
    if (::lstat(path.c_str(), &st) == 0) {
        seen.bExists = true;
        seen.dev = st.st_dev;
        seen.ino = st.st_ino;
        seen.size = st.st_size;
        seen.mtimeNs = MtimeNs(st);
    }
    if (m_identity && *m_identity == seen)
        return;

    m_pRoot = std::make_unique<RegTree::Key>();
    m_pRoot->wsName = m_wsRootName;
    m_bCorrupt = false;
    m_ftFile = FILETIME{};
    if (!seen.bExists && errno == ENOENT) {
        m_identity = seen;
        return;
    }

    // Identify what is actually read: the file may be replaced between stat and open.
    auto refuse = [&](const std::string& why) {
        m_bCorrupt = true;
        m_identity = seen;
        m_pendingError = Registry::ParseError{path, 0, why};
    };
    auto unreadable = [&](const char* what) { refuse(std::string(what) + ": " + std::strerror(errno)); };
    // The hive is only read from a folder nobody else can write to, and only as a plain file (a
    // FIFO would block the reader, a link would read someone else's file).
    std::string problem;
    if (!EnsurePrivateDirectory(path.parent_path(), &problem))
        return refuse(problem);
    if (seen.bExists && S_ISLNK(st.st_mode))
        return refuse("it is a symbolic link");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            m_identity = std::nullopt;  // vanished after stat: look again next time
            return;
        }
        return unreadable("cannot open");
    }
    std::string text;
    bool bOk = ::fstat(fd, &st) == 0;
    if (bOk && !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse("it is not a regular file");
    }
    if (bOk) {
        seen = Identity{path.string(), true, st.st_dev, st.st_ino, st.st_size, MtimeNs(st)};
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                bOk = n == 0;
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!bOk)
        return unreadable("cannot read");

    RegFile::ParseResult parsed = RegFile::Parse(text, m_wsRootName);
    m_pRoot = std::move(parsed.pRoot);
    m_identity = seen;
    m_ftFile = ToFileTime(seen.mtimeNs);
    if (parsed.uErrorLine != 0) {
        m_bCorrupt = true;
        m_pendingError = Registry::ParseError{path, parsed.uErrorLine, parsed.sError};
    }
}

void Hive::Notify() {
    std::optional<Registry::ParseError> error;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        error.swap(m_pendingError);
    }
    if (!error)
        return;
    std::function<void(const Registry::ParseError&)> handler;
    {
        std::lock_guard<std::mutex> lock(Registry::g_diagMutex);
        Registry::g_lastError = *error;
        handler = Registry::g_handler;
    }
    if (handler)
        handler(*error);
}

LSTATUS Hive::Read(const std::function<LSTATUS(RegTree::Key&, const FILETIME&)>& read) {
    LSTATUS status;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        // Inside a batch the memory is ahead of the file, which nobody else may change meanwhile.
        if (m_ulBatchDepth == 0)
            Refresh(Path());
        status = read(*m_pRoot, m_ftFile);
    }
    Notify();
    return status;
}

bool Hive::Store(const std::filesystem::path& path, const std::string& text) {
    std::string temp = path.string() + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool bOk = true;
    for (size_t done = 0; bOk && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        done += bOk ? static_cast<size_t>(n) : 0;
    }
    bOk = bOk && ::fsync(fd) == 0;
    bOk = (::close(fd) == 0) && bOk;
    if (!bOk || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

LSTATUS Hive::Write(const std::function<LSTATUS(RegTree::Key&, bool&)>& change) {
    LSTATUS status;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        status = WriteLocked(Path(), change);
    }
    Notify();
    return status;
}

LSTATUS Hive::WriteLocked(const std::filesystem::path& path,
                          const std::function<LSTATUS(RegTree::Key&, bool&)>& change) {
    if (m_ulBatchDepth > 0) {
        // The batch holds the file lock and read the file when it took it.
        if (m_bCorrupt)
            return ERROR_REGISTRY_CORRUPT;
        bool bChanged = false;
        const LSTATUS result = change(*m_pRoot, bChanged);
        m_bBatchChanged = m_bBatchChanged || bChanged;
        return result;
    }
    if (!EnsurePrivateDirectory(path.parent_path()))
        return ERROR_CANTWRITE;
    FileLock fileLock(path.parent_path() / ("." + m_sFileName + ".lock"));
    if (!fileLock.Lock())
        return ERROR_CANTWRITE;
    Refresh(path);  // another process may have written since we last looked
    if (m_bCorrupt)
        return ERROR_REGISTRY_CORRUPT;
    bool bChanged = false;
    const LSTATUS result = change(*m_pRoot, bChanged);
    if (result != ERROR_SUCCESS || !bChanged)
        return result;
    return StoreLocked(path);
}

LSTATUS Hive::StoreLocked(const std::filesystem::path& path) {
    if (!Store(path, RegFile::Format(*m_pRoot, m_wsRootName))) {
        m_identity = std::nullopt;  // memory no longer matches the file: reload next time
        return ERROR_CANTWRITE;
    }
    // The memory already holds what was written; just note which file that is now.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        m_identity = Identity{path.string(), true, st.st_dev, st.st_ino, st.st_size, MtimeNs(st)};
        m_ftFile = ToFileTime(m_identity->mtimeNs);
    } else {
        m_identity = std::nullopt;
    }
    return ERROR_SUCCESS;
}

bool Hive::BeginBatch() {
    m_mutex.lock();
    if (m_ulBatchDepth > 0) {
        ++m_ulBatchDepth;
        return true;
    }
    const std::filesystem::path path = Path();
    auto pLock = std::make_unique<FileLock>(path.parent_path() / ("." + m_sFileName + ".lock"));
    if (!EnsurePrivateDirectory(path.parent_path()) || !pLock->Lock()) {
        m_mutex.unlock();
        return false;
    }
    Refresh(path);  // what other processes wrote before the lock was taken is kept
    m_pBatchLock = std::move(pLock);
    m_batchPath = path;
    m_bBatchChanged = false;
    m_ulBatchDepth = 1;
    return true;
}

LSTATUS Hive::EndBatch() {
    LSTATUS status = ERROR_SUCCESS;
    if (--m_ulBatchDepth == 0) {
        if (m_bBatchChanged)
            status = StoreLocked(m_batchPath);
        m_bBatchChanged = false;
        m_pBatchLock.reset();
    }
    m_mutex.unlock();
    Notify();
    return status;
}

Hive* HiveFor(HKEY hRoot) {
    static Hive currentUser(L"HKEY_CURRENT_USER", "HKCU.reg");
    static Hive localMachine(L"HKEY_LOCAL_MACHINE", "HKLM.reg");
    if (hRoot == HKEY_CURRENT_USER)
        return &currentUser;
    if (hRoot == HKEY_LOCAL_MACHINE)
        return &localMachine;
    return nullptr;
}

}  // namespace Platform::RegStore

namespace Platform {

RegWriteBatch::RegWriteBatch(HKEY hRoot) {
    RegStore::Hive* pHive = RegStore::HiveFor(hRoot);
    if (pHive && pHive->BeginBatch())
        m_pHive = pHive;
}

RegWriteBatch::~RegWriteBatch() {
    Commit();
}

LSTATUS RegWriteBatch::Commit() {
    RegStore::Hive* pHive = m_pHive;
    m_pHive = nullptr;
    return pHive ? pHive->EndBatch() : ERROR_SUCCESS;
}

}  // namespace Platform
