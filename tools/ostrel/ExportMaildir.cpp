#include "ExportMaildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Platform/Base/Utf.h"

namespace OstrelCli {

namespace {

// Room for the hash suffix within the 255 bytes a directory name may have.
constexpr size_t kMaxNameBytes = 200;
constexpr char kMarker[] = "ostrel-export";

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

void AppendEscaped(const std::wstring& name, std::string& out) {
    if (name.empty()) {
        out += "%00";
        return;
    }
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char c : Platform::ToUtf8(name)) {
        if (c == '.' || c == '/' || c == '%' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

// The longest prefix of at most `max` bytes that ends neither inside a %XX escape nor inside a
// UTF-8 sequence.
size_t CutPoint(const std::string& name, size_t max) {
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    for (size_t back = 1; back <= 2 && back <= cut; ++back) {
        if (name[cut - back] == '%')
            return cut - back;
    }
    return cut;
}

bool WriteAll(int fd, const char* p, size_t cb) {
    while (cb > 0) {
        const ssize_t n = ::write(fd, p, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

void Close(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Whether the file name is one an export writes: "<seconds>.N<8 hex digits>.ostrel", then the info.
bool IsExportedName(const std::string& name) {
    const std::string base = name.substr(0, name.find(':'));
    const size_t dot = base.find('.');
    if (dot == 0 || dot == std::string::npos || base.size() != dot + 17 || base.compare(dot, 2, ".N") != 0 ||
        base.compare(dot + 10, 7, ".ostrel") != 0)
        return false;
    for (size_t i = 0; i < dot; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(base[i])))
            return false;
    }
    for (size_t i = dot + 2; i < dot + 10; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(base[i])))
            return false;
    }
    return true;
}

// The entries of the directory, without "." and "..".
std::vector<std::string> Entries(int fd) {
    std::vector<std::string> names;
    const int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

}  // namespace

std::string MaildirFolderName(const std::vector<std::wstring>& path) {
    if (path.empty())
        return std::string();
    std::string name;
    for (const std::wstring& part : path) {
        name += '.';
        AppendEscaped(part, name);
    }
    if (name.size() <= kMaxNameBytes)
        return name;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "~%016" PRIx64, Fnv1a(name));
    return name.substr(0, CutPoint(name, kMaxNameBytes)) + suffix;
}

std::string MaildirInfo(const MaildirFlags& flags) {
    std::string info = ":2,";
    if (flags.bDraft)
        info += 'D';
    if (flags.bFlagged)
        info += 'F';
    if (flags.bForwarded)
        info += 'P';
    if (flags.bReplied)
        info += 'R';
    if (flags.bSeen)
        info += 'S';
    if (flags.bTrashed)
        info += 'T';
    return info;
}

std::string MaildirUnique(int64_t llUnixSeconds, uint32_t ulNodeId) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".N%08" PRIx32 ".ostrel", llUnixSeconds < 0 ? 0 : llUnixSeconds,
                  ulNodeId);
    return text;
}

MaildirTree::~MaildirTree() {
    CloseFolder();
    Close(m_rootFd);
}

bool MaildirTree::Open(const std::filesystem::path& root, std::string& why) {
    m_root = root;
    if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot create " + root.string() + ": " + std::strerror(errno);
        return false;
    }
    m_rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_rootFd < 0) {
        why = root.string() +
              (errno == ELOOP     ? " is a symbolic link"
               : errno == ENOTDIR ? " is not a directory"
                                  : "") +
              (errno == ELOOP || errno == ENOTDIR ? "" : std::string(": ") + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(m_rootFd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022)) {
        why = root.string() + " must belong to you and be writable by nobody else";
        return false;
    }
    const std::vector<std::string> entries = Entries(m_rootFd);
    bool bMarked = false;
    if (::fstatat(m_rootFd, kMarker, &st, AT_SYMLINK_NOFOLLOW) == 0)
        bMarked = S_ISREG(st.st_mode);
    if (!entries.empty() && !bMarked) {
        why = root.string() + " is neither empty nor an earlier export";
        return false;
    }
    if (!bMarked) {
        static constexpr char kText[] = "A mailbox written by 'ostrel export --maildir'; a later export updates it.\n";
        const int fd = ::openat(m_rootFd, kMarker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        const bool bWritten = fd >= 0 && WriteAll(fd, kText, sizeof kText - 1);
        if (fd < 0 || ::close(fd) != 0 || !bWritten) {
            why = "cannot write in " + root.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

int MaildirTree::OpenSubdirectory(int parent, const std::string& name, std::string& why) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot create " + name + " in " + (m_root / m_sFolder).string() + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        const bool bLink = ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        why = (m_root / m_sFolder / name).string() +
              (bLink ? " is a symbolic link" : std::string(": ") + std::strerror(error));
    }
    return fd;
}

void MaildirTree::CloseFolder() {
    Close(m_curFd);
    Close(m_newFd);
    Close(m_tmpFd);
    m_written.clear();
    m_writtenUnique.clear();
}

bool MaildirTree::BeginFolder(const std::string& name, std::string& why) {
    CloseFolder();
    m_sFolder.clear();
    int dirFd = name.empty() ? ::dup(m_rootFd) : OpenSubdirectory(m_rootFd, name, why);
    if (dirFd < 0)
        return false;
    m_sFolder = name;
    bool bOk = true;
    if (!name.empty()) {
        // Maildir++ marks every folder below the root with this empty file.
        const int fd = ::openat(dirFd, "maildirfolder", O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            why = "cannot write " + (m_root / name / "maildirfolder").string() + ": " + std::strerror(errno);
            bOk = false;
        } else {
            ::close(fd);
        }
    }
    if (bOk) {
        m_curFd = OpenSubdirectory(dirFd, "cur", why);
        m_newFd = m_curFd < 0 ? -1 : OpenSubdirectory(dirFd, "new", why);
        m_tmpFd = m_newFd < 0 ? -1 : OpenSubdirectory(dirFd, "tmp", why);
        bOk = m_tmpFd >= 0;
    }
    ::close(dirFd);
    if (!bOk)
        CloseFolder();
    return bOk;
}

bool MaildirTree::AddMessage(const std::string& unique, const std::string& info, IStream* pMime, std::string& why) {
    const std::filesystem::path shown = m_root / m_sFolder / "tmp" / unique;
    if (m_tmpFd < 0) {
        why = "no folder to write into";
        return false;
    }
    // A file left by an export that was killed is written again.
    ::unlinkat(m_tmpFd, unique.c_str(), 0);
    const int fd = ::openat(m_tmpFd, unique.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + shown.string() + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool bOk = true;
    for (;;) {
        ULONG cbRead = 0;
        const HRESULT hr = pMime->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead);
        if (FAILED(hr)) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
            why = std::string("cannot read the converted message (") + code + ")";
            bOk = false;
            break;
        }
        if (cbRead == 0)
            break;
        if (!WriteAll(fd, buffer.data(), cbRead)) {
            why = "cannot write " + shown.string() + ": " + std::strerror(errno);
            bOk = false;
            break;
        }
    }
    if (::close(fd) != 0 && bOk) {
        why = "cannot write " + shown.string() + ": " + std::strerror(errno);
        bOk = false;
    }
    const std::string final = unique + info;
    if (bOk && ::renameat(m_tmpFd, unique.c_str(), m_curFd, final.c_str()) != 0) {
        why = "cannot move " + shown.string() + " into cur/: " + std::strerror(errno);
        bOk = false;
    }
    if (!bOk) {
        ::unlinkat(m_tmpFd, unique.c_str(), 0);
        return false;
    }
    m_written.insert(final);
    m_writtenUnique.insert(unique);
    return true;
}

size_t MaildirTree::EndFolder() {
    size_t cRemoved = 0;
    for (int fd : {m_curFd, m_newFd}) {
        if (fd < 0)
            continue;
        for (const std::string& name : Entries(fd)) {
            if (!IsExportedName(name) || m_written.count(name) || ::unlinkat(fd, name.c_str(), 0) != 0)
                continue;
            // A file whose message was written again under other flags was renamed, not lost.
            if (!m_writtenUnique.count(name.substr(0, name.find(':'))))
                ++cRemoved;
        }
    }
    CloseFolder();
    return cRemoved;
}

bool MaildirTree::Finish(std::string& why) {
    if (m_rootFd >= 0 && ::syncfs(m_rootFd) != 0) {
        why = "cannot make " + m_root.string() + " durable: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace OstrelCli
