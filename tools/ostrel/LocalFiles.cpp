#include "LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace OstrelCli {

namespace {

std::string Why(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_sTemp.c_str());
    }
}

bool AtomicFileWriter::Open(const std::filesystem::path& path, std::string& why) {
    m_path = path;
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    m_sTemp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    m_fd = ::mkostemp(m_sTemp.data(), O_CLOEXEC);
    if (m_fd < 0) {
        why = Why("cannot create a file beside", path);
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(m_fd, 0666 & ~mask);
    return true;
}

bool AtomicFileWriter::Write(std::string_view data, std::string& why) {
    if (m_fd >= 0 && WriteAll(m_fd, data))
        return true;
    why = Why("cannot write", m_path);
    return false;
}

bool AtomicFileWriter::Commit(std::string& why) {
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        why = Why("cannot write", m_path);
        ::unlink(m_sTemp.c_str());
        return false;
    }
    if (::rename(m_sTemp.c_str(), m_path.c_str()) != 0) {
        why = Why("cannot replace", m_path);
        ::unlink(m_sTemp.c_str());
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data, bool bDurable, std::string& why) {
    std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        why = Why("cannot create a file beside", path);
        return false;
    }
    ::fchmod(fd, 0600);
    bool bOk = WriteAll(fd, data) && (!bDurable || ::fdatasync(fd) == 0);
    int error = errno;
    if (::close(fd) != 0 && bOk) {
        bOk = false;
        error = errno;
    }
    if (!bOk) {
        errno = error;
        why = Why("cannot write", path);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        why = Why("cannot replace", path);
        ::unlink(temp.c_str());
        return false;
    }
    return !bDurable || SyncDirectory(path.parent_path(), why);
}

bool SyncDirectory(const std::filesystem::path& dir, std::string& why) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        why = Why("cannot flush directory", dir);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool SyncFileSystem(const std::filesystem::path& dir, std::string& why) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        why = Why("cannot flush the file system of", dir);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t maxBytes, std::string& why) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        if (ec != std::errc::no_such_file_or_directory)
            why = "cannot read " + path.string() + ": " + ec.message();
        return std::nullopt;
    }
    if (size > maxBytes) {
        why = path.string() + " is larger than expected (" + std::to_string(size) + " bytes)";
        return std::nullopt;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        why = Why("cannot read", path);
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        why = Why("cannot read", path);
        return std::nullopt;
    }
    return text;
}

}  // namespace OstrelCli
