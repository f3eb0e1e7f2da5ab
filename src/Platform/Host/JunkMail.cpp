#include "Platform/Host/JunkMail.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>

namespace Platform::Host {

namespace {

constexpr std::string_view kEnd = "[end]";
// Far beyond any real list; a larger file is not read into memory.
constexpr off_t kMaxFileBytes = off_t(64) << 20;

const char* const kSafe = "safe senders";
const char* const kBlocked = "blocked senders";
const char* const kInvalid = "invalid blocked domains";

std::filesystem::path Dir() {
    return OstrelHome() / "junk-mail";
}

// What no entry may hold: a line break would split it, the rest cannot be typed or shown.
bool IsControl(uint32_t c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

void SetProblem(std::wstring* pwsProblem, const std::filesystem::path& path, const std::string& what) {
    if (pwsProblem)
        *pwsProblem = FromUtf8(path.string() + ": " + what);
}

bool ReadAll(int fd, std::string& text) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileBytes))
            return false;
    }
}

// The damage found in `text`, empty when it parsed into `lists`.
std::string Parse(const std::string& text, const std::vector<std::string>& headings, NamedLists& lists) {
    if (text.find('\0') != std::string::npos)
        return "holds a NUL byte";
    bool bInvalid = false;
    FromUtf8(text, &bInvalid);
    if (bInvalid)
        return "is not valid UTF-8";
    std::vector<std::wstring>* pList = nullptr;
    bool bEnded = false;
    size_t iLine = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        ++iLine;
        if (line.empty() || line[0] == '#')
            continue;
        const std::string where = "line " + std::to_string(iLine);
        if (bEnded)
            return where + " follows [end]";
        if (line == kEnd) {
            bEnded = true;
            continue;
        }
        if (line.front() == '[') {
            const std::string name(line.substr(1, line.size() - 1 - (line.back() == ']' ? 1 : 0)));
            if (line.back() != ']' || std::find(headings.begin(), headings.end(), name) == headings.end())
                return where + ": unknown heading " + std::string(line);
            pList = &lists[name];
            continue;
        }
        if (!pList)
            return where + ": an entry before the first heading";
        // Such an entry could not be written back (a writer refuses it).
        if (std::any_of(line.begin(), line.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); }))
            return where + ": a control character in an entry";
        pList->push_back(FromUtf8(line));
    }
    return bEnded ? std::string() : "has no [end] line (cut short?)";
}

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writers name their temporaries FILE.tmp-PID-XXXXXX, so that a later writer can tell what a
// killed writer left from the file of one still writing.
std::string TempPrefix(const std::filesystem::path& path) {
    return path.filename().string() + ".tmp-";
}

std::string TempName(const std::filesystem::path& path) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::string name = (path.parent_path() / TempPrefix(path)).string() + std::to_string(::getpid()) + "-";
    for (int i = 0; i < 6; ++i)
        name.push_back(kChars[random() % (sizeof kChars - 1)]);
    return name;
}

// Removes the temporaries beside `path` whose writer has died. Only those of processes that are
// gone are touched, so no lock is needed: a live writer's file is never removed.
void RemoveDeadWritersTemporaries(const std::filesystem::path& path) {
    const int dirFd = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* pDir = ::fdopendir(dirFd);
    if (!pDir) {
        ::close(dirFd);
        return;
    }
    const std::string prefix = TempPrefix(path);
    while (const dirent* pEntry = ::readdir(pDir)) {
        const std::string_view name = pEntry->d_name;
        if (!name.starts_with(prefix))
            continue;
        const std::string_view rest = name.substr(prefix.size());
        pid_t pid = 0;
        const auto [pEnd, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
        if (ec != std::errc() || pid <= 0 || pEnd == rest.data() + rest.size() || *pEnd != '-')
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlinkat(dirFd, pEntry->d_name, 0);
    }
    ::closedir(pDir);
}

// Gives the unnamed file `fd` a temporary name beside `path`; empty when it cannot.
std::string NameUnnamedFile(int fd, const std::filesystem::path& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = TempName(path);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return temp;
        if (errno != EEXIST)
            break;
    }
    return {};
}

// `text` written and flushed under a temporary name beside `path`; empty on failure. Where the
// filesystem has unnamed files (O_TMPFILE) the data is written to one and named only once it is
// complete, so a writer killed while writing leaves nothing behind.
std::string WriteTemporary(const std::filesystem::path& path, const std::string& text) {
    int fd = ::open(path.parent_path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const bool bWritten = WriteAll(fd, text) && ::fsync(fd) == 0;
        std::string temp = bWritten ? NameUnnamedFile(fd, path) : std::string();
        if (::close(fd) != 0 && !temp.empty()) {
            ::unlink(temp.c_str());
            return {};
        }
        if (!temp.empty() || !bWritten)
            return temp;
        // Without /proc the file cannot be named: write it again under a name.
    }
    std::string temp = TempName(path);
    temp.replace(temp.size() - 6, 6, "XXXXXX");
    fd = ::mkstemp(temp.data());  // O_EXCL: never follows a planted link
    if (fd < 0)
        return {};
    bool bOk = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    bOk = (::close(fd) == 0) && bOk;
    if (!bOk) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
}

// Replaces `path` with `text` atomically and durably.
bool Replace(const std::filesystem::path& path, const std::string& text) {
    RemoveDeadWritersTemporaries(path);
    const std::string temp = WriteTemporary(path, text);
    if (temp.empty())
        return false;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool bOk = ::fsync(dir) == 0;
    ::close(dir);
    return bOk;
}

struct Observer {
    std::function<void(const std::wstring&)> call;
    // Held during a call, so that a removal can wait for it; recursive for an observer that
    // removes itself or closes the options again from its call.
    std::recursive_mutex callMutex;
    bool bRemoved = false;  // under callMutex
};

struct Observers {
    std::mutex mutex;
    int iNext = 1;
    std::map<int, std::shared_ptr<Observer>> map;
};

Observers& TheObservers() {
    static Observers observers;
    return observers;
}

}  // namespace

bool IsValidJunkMailProfile(std::wstring_view wsProfile) {
    if (wsProfile.empty() || wsProfile.size() > 64 || wsProfile[0] == L'.')
        return false;
    for (wchar_t c : wsProfile)
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
              c == L'_' || c == L'-' || c == L'@'))
            return false;
    return true;
}

bool IsStorableJunkMailEntry(std::wstring_view wsEntry) {
    const std::wstring_view entry = Trim(wsEntry);
    if (!entry.empty() && (entry[0] == L'[' || entry[0] == L'#'))
        return false;
    for (wchar_t c : entry) {
        const auto u = static_cast<uint32_t>(c);
        if (IsControl(u) || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF)  // nor anything UTF-8 cannot hold
            return false;
    }
    return true;
}

std::filesystem::path JunkMailListsPath(std::wstring_view wsProfile) {
    return Dir() / (ToUtf8(wsProfile) + ".lists");
}

std::filesystem::path JunkMailListsLockPath(std::wstring_view wsProfile) {
    return Dir() / (ToUtf8(wsProfile) + ".lock");
}

HRESULT ReadListsFile(const std::filesystem::path& path, const std::vector<std::string>& headings, NamedLists& lists,
                      std::wstring* pwsProblem) {
    lists.clear();
    // O_NONBLOCK: a FIFO in the file's place must be refused below, not waited on for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return S_FALSE;
        SetProblem(pwsProblem, path, errno == ELOOP ? "is a symbolic link" : std::strerror(errno));
        return STG_E_READFAULT;
    }
    struct stat st {};
    std::string text;
    std::string problem;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        problem = "is not a regular file";
    else if (st.st_size > kMaxFileBytes || !ReadAll(fd, text))
        problem = "cannot be read (or is larger than 64 MiB)";
    ::close(fd);
    if (!problem.empty()) {
        SetProblem(pwsProblem, path, problem);
        return STG_E_READFAULT;
    }
    problem = Parse(text, headings, lists);
    if (!problem.empty()) {
        lists.clear();
        SetProblem(pwsProblem, path, "damaged: " + problem);
        return kJunkMailListsDamaged;
    }
    return S_OK;
}

HRESULT WriteListsFile(const std::filesystem::path& path, const std::string& sComment, const NamedLists& lists) {
    std::string text = "# " + sComment + "\n";
    for (const auto& [name, entries] : lists) {
        text.append("[" + name + "]\n");
        for (const std::wstring& wsEntry : entries) {
            const std::wstring_view entry = Trim(wsEntry);
            if (!IsStorableJunkMailEntry(entry))
                return E_INVALIDARG;
            if (!entry.empty())
                text.append(ToUtf8(entry)).push_back('\n');
        }
    }
    text.append(kEnd).push_back('\n');
    if (!EnsurePrivateDirectory(path.parent_path()) || !Replace(path, text))
        return STG_E_WRITEFAULT;
    return S_OK;
}

HRESULT ReadJunkMailLists(std::wstring_view wsProfile, JunkMailLists& lists, std::wstring* pwsProblem) {
    lists = JunkMailLists();
    if (!IsValidJunkMailProfile(wsProfile)) {
        if (pwsProblem)
            *pwsProblem = L"'" + std::wstring(wsProfile) + L"' cannot be a profile name";
        return E_INVALIDARG;
    }
    NamedLists named;
    const HRESULT hr = ReadListsFile(JunkMailListsPath(wsProfile), {kSafe, kBlocked, kInvalid}, named, pwsProblem);
    lists.safeSenders = std::move(named[kSafe]);
    lists.blockedSenders = std::move(named[kBlocked]);
    lists.invalidDomains = std::move(named[kInvalid]);
    return hr;
}

HRESULT WriteJunkMailLists(std::wstring_view wsProfile, const JunkMailLists& lists) {
    if (!IsValidJunkMailProfile(wsProfile))
        return E_INVALIDARG;
    return WriteListsFile(
        JunkMailListsPath(wsProfile),
        "Junk-mail lists of profile " + ToUtf8(wsProfile) + ": one address or domain per line.",
        {{kSafe, lists.safeSenders}, {kBlocked, lists.blockedSenders}, {kInvalid, lists.invalidDomains}});
}

int AddJunkMailOptionsObserver(std::function<void(const std::wstring& wsProfile)> observer) {
    Observers& observers = TheObservers();
    std::lock_guard<std::mutex> lock(observers.mutex);
    const int iHandle = observers.iNext++;
    auto pObserver = std::make_shared<Observer>();
    pObserver->call = std::move(observer);
    observers.map[iHandle] = std::move(pObserver);
    return iHandle;
}

void RemoveJunkMailOptionsObserver(int iHandle) {
    std::shared_ptr<Observer> pObserver;
    {
        Observers& observers = TheObservers();
        std::lock_guard<std::mutex> lock(observers.mutex);
        auto it = observers.map.find(iHandle);
        if (it == observers.map.end())
            return;
        pObserver = std::move(it->second);
        observers.map.erase(it);
    }
    // A call another thread has begun ends before the observer's owner may go away.
    std::lock_guard<std::recursive_mutex> lock(pObserver->callMutex);
    pObserver->bRemoved = true;
}

void JunkMailOptionsClosed(const std::wstring& wsProfile) {
    std::vector<std::shared_ptr<Observer>> list;
    {
        Observers& observers = TheObservers();
        std::lock_guard<std::mutex> lock(observers.mutex);
        for (auto& [iHandle, pObserver] : observers.map)
            list.push_back(pObserver);
    }
    for (auto& pObserver : list) {
        std::lock_guard<std::recursive_mutex> lock(pObserver->callMutex);
        if (!pObserver->bRemoved)
            pObserver->call(wsProfile);
    }
}

}  // namespace Platform::Host
