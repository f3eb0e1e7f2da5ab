#include "Platform/Host/JunkMail.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

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

// Writes `text` beside `path` and renames it into place, durably.
bool Replace(const std::filesystem::path& path, const std::string& text) {
    std::string temp = path.string() + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());  // O_EXCL: never follows a planted link
    if (fd < 0)
        return false;
    bool bOk = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    bOk = (::close(fd) == 0) && bOk;
    if (!bOk || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bOk = ::fsync(dir) == 0;
    ::close(dir);
    return bOk;
}

using Observer = std::function<void(const std::wstring&)>;

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
    for (wchar_t c : entry)
        if ((c < 0x20 && c != L'\t') || c == 0x7F)
            return false;
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
    observers.map[iHandle] = std::make_shared<Observer>(std::move(observer));
    return iHandle;
}

void RemoveJunkMailOptionsObserver(int iHandle) {
    Observers& observers = TheObservers();
    std::lock_guard<std::mutex> lock(observers.mutex);
    observers.map.erase(iHandle);
}

void JunkMailOptionsClosed(const std::wstring& wsProfile) {
    std::vector<std::shared_ptr<Observer>> list;
    {
        Observers& observers = TheObservers();
        std::lock_guard<std::mutex> lock(observers.mutex);
        for (auto& [iHandle, pObserver] : observers.map)
            list.push_back(pObserver);
    }
    for (auto& pObserver : list)
        (*pObserver)(wsProfile);
}

}  // namespace Platform::Host
