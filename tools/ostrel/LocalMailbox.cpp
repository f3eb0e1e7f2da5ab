#include "LocalMailbox.h"

#include "LocalFiles.h"

#include "Platform/Base/Paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace OstrelCli {

namespace {

constexpr size_t kMaxStateFile = 1 << 20;
constexpr size_t kMaxListFile = 64 << 20;

std::string JoinIds(const std::vector<int32_t>& ids) {
    std::string text;
    for (int32_t id : ids) {
        if (!text.empty())
            text += ',';
        text += std::to_string(id);
    }
    return text;
}

std::optional<int32_t> ParseId(std::string_view text) {
    int32_t id = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size())
        return std::nullopt;
    return id;
}

constexpr char kKindLetters[] = {'m', 'c', 'a', 't'};  // in the order of FetchKind

// "m300/1": the kind's letter, the id, how often it was asked for again.
std::string JoinRetries(const std::vector<RetryItem>& items) {
    std::string text;
    for (const RetryItem& item : items) {
        if (!text.empty())
            text += ',';
        text +=
            kKindLetters[static_cast<int>(item.kind)] + std::to_string(item.iId) + "/" + std::to_string(item.iAttempts);
    }
    return text;
}

std::optional<RetryItem> ParseRetry(std::string_view text) {
    const size_t slash = text.find('/');
    if (text.empty() || slash == std::string_view::npos)
        return std::nullopt;
    RetryItem item;
    const char* pKind = std::find(std::begin(kKindLetters), std::end(kKindLetters), text[0]);
    auto id = ParseId(text.substr(1, slash - 1));
    auto attempts = ParseId(text.substr(slash + 1));
    if (pKind == std::end(kKindLetters) || !id || !attempts || *attempts < 0)
        return std::nullopt;
    item.kind = static_cast<FetchKind>(pKind - std::begin(kKindLetters));
    item.iId = *id;
    item.iAttempts = *attempts;
    return item;
}

std::optional<std::vector<RetryItem>> SplitRetries(std::string_view text) {
    std::vector<RetryItem> items;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string_view::npos)
            end = text.size();
        auto item = ParseRetry(text.substr(pos, end - pos));
        if (!item)
            return std::nullopt;
        items.push_back(*item);
        pos = end + 1;
    }
    return items;
}

std::optional<std::vector<int32_t>> SplitIdList(std::string_view text) {
    std::vector<int32_t> ids;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string_view::npos)
            end = text.size();
        auto id = ParseId(text.substr(pos, end - pos));
        if (!id)
            return std::nullopt;
        ids.push_back(*id);
        pos = end + 1;
    }
    return ids;
}

[[noreturn]] void Damaged(const std::filesystem::path& file, const char* pszWhat) {
    throw std::runtime_error(file.string() + " is damaged (" + pszWhat + "); 'ostrel sync --full' starts again");
}

void WriteAll(int fd, std::string_view data, const std::filesystem::path& file) {
    while (!data.empty()) {
        const ssize_t cb = ::write(fd, data.data(), data.size());
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0)
            throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(errno));
        data.remove_prefix(static_cast<size_t>(cb));
    }
}

// "key=value" lines.
std::map<std::string, std::string> ReadKeyValues(const std::filesystem::path& file, size_t maxBytes, bool& bExists) {
    std::string why;
    std::optional<std::string> text = ReadSmallFile(file, maxBytes, why);
    if (!why.empty())
        throw std::runtime_error(why);
    bExists = text.has_value();
    std::map<std::string, std::string> values;
    if (!text)
        return values;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

// The entries of a directory of the copy; a directory that cannot be read is named with the reason.
std::vector<std::filesystem::directory_entry> Entries(const std::filesystem::path& dir) {
    std::error_code ec;
    std::vector<std::filesystem::directory_entry> entries;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        throw std::runtime_error("cannot read " + dir.string() + ": " + ec.message());
    return entries;
}

}  // namespace

LocalMailbox::LocalMailbox(std::filesystem::path dir) : m_dir(std::move(dir)) {
    if (!Platform::EnsurePrivateDirectory(m_dir))
        throw std::runtime_error("cannot create " + m_dir.string());
}

LocalMailbox::~LocalMailbox() {
    CloseJournal();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

namespace {

// The lock of the copy in `dir`: the open lock file, or -1 (bBusy set when another process has it).
int TakeLock(const std::filesystem::path& dir, bool& bBusy) {
    bBusy = false;
    const std::filesystem::path path = dir / "lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        bBusy = true;
        return -1;
    }
    // The copy may have been discarded between the open and the lock: the lock is then on a file
    // that is no longer there.
    struct stat held {
    }, current{};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &current) != 0 || held.st_dev != current.st_dev ||
        held.st_ino != current.st_ino) {
        ::close(fd);
        throw std::runtime_error("the local copy in " + dir.string() + " was removed meanwhile; run again");
    }
    return fd;
}

}  // namespace

bool LocalMailbox::Lock() {
    if (m_lockFd >= 0)
        return true;
    bool bBusy = false;
    m_lockFd = TakeLock(m_dir, bBusy);
    return m_lockFd >= 0;
}

LocalMailbox::DiscardResult LocalMailbox::Discard(const std::filesystem::path& dir, std::string& why) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec))
        return ec ? (why = "cannot read " + dir.string() + ": " + ec.message(), DiscardResult::Failed)
                  : DiscardResult::Absent;
    bool bBusy = false;
    int fd = -1;
    try {
        fd = TakeLock(dir, bBusy);
    } catch (const std::exception& e) {
        why = e.what();
        return DiscardResult::Failed;
    }
    if (fd < 0)
        return DiscardResult::Busy;
    std::string away = (dir.parent_path() / ("." + dir.filename().string() + ".removed.XXXXXX")).string();
    const bool bMade = ::mkdtemp(away.data()) != nullptr;
    if (!bMade || ::rename(dir.c_str(), away.c_str()) != 0) {
        why = "cannot move " + dir.string() + " away: " + std::strerror(errno);
        if (bMade)
            ::rmdir(away.c_str());
        ::close(fd);
        return DiscardResult::Failed;
    }
    // The profile's store and its id maps ("NAME.osd", "NAME.idmv", "NAME_GAL2.idm" ...) go with it.
    const std::filesystem::path profileDir = dir.parent_path();
    const std::string profile = profileDir.filename().string();
    std::vector<std::filesystem::directory_entry> entries;
    try {
        entries = Entries(profileDir);
    } catch (const std::exception& e) {
        why = e.what();
        ::close(fd);
        return DiscardResult::Failed;
    }
    for (const auto& entry : entries) {
        const std::string file = entry.path().filename().string();
        // The settings stay, even for a profile named "profile".
        if ((file.rfind(profile + ".", 0) != 0 && file.rfind(profile + "_", 0) != 0) || file == "profile.conf" ||
            entry.is_directory())
            continue;
        if (::rename(entry.path().c_str(), (std::filesystem::path(away) / file).c_str()) != 0) {
            why = "cannot move " + entry.path().string() + " away: " + std::strerror(errno);
            ::close(fd);
            return DiscardResult::Failed;
        }
    }
    ::close(fd);
    std::filesystem::remove_all(away, ec);
    if (ec) {
        why = "the old copy was moved to " + away + " but cannot be deleted: " + ec.message();
        return DiscardResult::Failed;
    }
    return DiscardResult::Removed;
}

void LocalMailbox::RemoveLeftovers() {
    for (const auto& dir : {m_dir}) {
        for (const auto& entry : Entries(dir)) {
            const std::string name = entry.path().filename().string();
            std::error_code ec;
            if (name.size() > 1 && name[0] == '.' && entry.is_regular_file(ec))
                std::filesystem::remove(entry.path(), ec);
        }
    }
}

void LocalMailbox::Write(const std::filesystem::path& path, std::string_view data, bool bDurable) const {
    std::string why;
    if (!WriteFileAtomically(path, data, bDurable, why))
        throw std::runtime_error(why);
}

std::optional<std::string> LocalMailbox::Token() const {
    bool bExists = false;
    auto values = ReadKeyValues(m_dir / "state", kMaxStateFile, bExists);
    auto it = values.find("token");
    if (!bExists || it == values.end())
        return std::nullopt;
    return it->second;
}

void LocalMailbox::Commit(const std::string& token) {
    Write(m_dir / "state", "token=" + token + "\n", true);
    DropPending();
}

std::optional<std::string> LocalMailbox::GalToken() const {
    bool bExists = false;
    auto values = ReadKeyValues(m_dir / "gal", kMaxStateFile, bExists);
    auto it = values.find("token");
    if (!bExists || it == values.end())
        return std::nullopt;
    return it->second;
}

void LocalMailbox::CommitGal(const std::string& token) {
    Write(m_dir / "gal", "token=" + token + "\n", true);
}

std::optional<PendingSync> LocalMailbox::Pending() {
    bool bExists = false;
    const std::filesystem::path file = m_dir / "pending";
    auto values = ReadKeyValues(file, kMaxListFile, bExists);
    if (!bExists)
        return std::nullopt;
    if (!values.count("token"))
        Damaged(file, "no token");
    PendingSync pending;
    pending.sToken = values["token"];
    std::vector<int32_t>* lists[] = {&pending.toFetch, &pending.toDelete, &pending.contacts, &pending.appointments,
                                     &pending.tasks};
    const char* keys[] = {"fetch", "delete", "contacts", "appointments", "tasks"};
    for (size_t i = 0; i < std::size(keys); ++i) {
        auto ids = SplitIdList(values[keys[i]]);
        if (!ids)
            Damaged(file, "a bad item id");
        *lists[i] = std::move(*ids);
    }
    auto retried = SplitRetries(values["retried"]);
    auto retry = SplitRetries(values["retry"]);
    if (!retried || !retry)
        Damaged(file, "a bad item to ask for again");
    pending.retried = std::move(*retried);
    pending.retry = std::move(*retry);
    CloseJournal();
    m_sPendingToken = pending.sToken;

    // What is done: the record's complete lines, when it is this synchronisation's.
    const std::filesystem::path journal = m_dir / "pending.done";
    std::string why;
    std::optional<std::string> text = ReadSmallFile(journal, kMaxListFile, why);
    if (!why.empty())
        throw std::runtime_error(why);
    if (!text)
        return pending;
    std::string_view rest(*text);
    std::vector<int32_t> done;
    bool bFirst = true;
    for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
        const std::string_view line = rest.substr(0, end);
        if (bFirst) {
            bFirst = false;
            if (line != "token=" + pending.sToken) {
                // Left by an earlier synchronisation: nothing of it applies.
                std::error_code ec;
                std::filesystem::remove(journal, ec);
                return pending;
            }
            continue;
        }
        std::optional<std::vector<int32_t>> ids;
        std::optional<std::vector<RetryItem>> retry;
        if (line.rfind("done=", 0) == 0 && (ids = SplitIdList(line.substr(5))))
            done.insert(done.end(), ids->begin(), ids->end());
        else if (line.rfind("retry=", 0) == 0 && (retry = SplitRetries(line.substr(6))))
            pending.retry.insert(pending.retry.end(), retry->begin(), retry->end());
        else
            Damaged(journal, "a bad line");
    }
    if (!rest.empty()) {
        // Cut short by a crash: its batch is fetched again, and the next line starts clean.
        std::error_code ec;
        std::filesystem::resize_file(journal, text->size() - rest.size(), ec);
        if (ec)
            throw std::runtime_error("cannot repair " + journal.string() + ": " + ec.message());
    }
    std::sort(done.begin(), done.end());
    auto isDone = [&](int32_t id) { return std::binary_search(done.begin(), done.end(), id); };
    for (std::vector<int32_t>* list : {&pending.toFetch, &pending.contacts, &pending.appointments, &pending.tasks})
        list->erase(std::remove_if(list->begin(), list->end(), isDone), list->end());
    return pending;
}

void LocalMailbox::SetPending(const PendingSync& pending) {
    CloseJournal();
    std::error_code ec;
    std::filesystem::remove(m_dir / "pending.done", ec);
    if (ec)
        throw std::runtime_error("cannot remove " + (m_dir / "pending.done").string() + ": " + ec.message());
    // The durable write of the record makes the removal durable too: both are in one directory.
    Write(m_dir / "pending",
          "token=" + pending.sToken + "\nfetch=" + JoinIds(pending.toFetch) + "\ndelete=" + JoinIds(pending.toDelete) +
              "\ncontacts=" + JoinIds(pending.contacts) + "\nappointments=" + JoinIds(pending.appointments) +
              "\ntasks=" + JoinIds(pending.tasks) + "\nretried=" + JoinRetries(pending.retried) +
              "\nretry=" + JoinRetries(pending.retry) + "\n",
          true);
    m_sPendingToken = pending.sToken;
}

void LocalMailbox::MarkDone(const std::vector<int32_t>& done, const std::vector<RetryItem>& retry) {
    const std::filesystem::path journal = m_dir / "pending.done";
    if (m_journalFd < 0) {
        m_journalFd = ::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_journalFd < 0)
            throw std::runtime_error("cannot open " + journal.string() + ": " + std::strerror(errno));
        struct stat st {};
        if (::fstat(m_journalFd, &st) != 0)
            throw std::runtime_error("cannot read " + journal.string() + ": " + std::strerror(errno));
        if (st.st_size == 0) {
            std::string why;
            WriteAll(m_journalFd, "token=" + m_sPendingToken + "\n", journal);
            if (::fdatasync(m_journalFd) != 0 || !SyncDirectory(m_dir, why))
                throw std::runtime_error("cannot write " + journal.string() + ": " + std::strerror(errno));
        }
    }
    // One write: a crash leaves the line whole or cut short, and a line cut short is not read.
    std::string lines;
    if (!retry.empty())
        lines += "retry=" + JoinRetries(retry) + "\n";
    lines += "done=" + JoinIds(done) + "\n";
    WriteAll(m_journalFd, lines, journal);
    if (::fdatasync(m_journalFd) != 0)
        throw std::runtime_error("cannot write " + journal.string() + ": " + std::strerror(errno));
}

void LocalMailbox::CloseJournal() {
    if (m_journalFd >= 0)
        ::close(m_journalFd);
    m_journalFd = -1;
}

void LocalMailbox::DropPending() {
    CloseJournal();
    std::error_code ec;
    for (const char* name : {"pending", "pending.done"}) {
        std::filesystem::remove(m_dir / name, ec);
        if (ec)
            throw std::runtime_error("cannot remove " + (m_dir / name).string() + ": " + ec.message());
    }
    std::string why;
    if (!SyncDirectory(m_dir, why))
        throw std::runtime_error(why);
}

std::vector<RetryItem> LocalMailbox::Retries() const {
    bool bExists = false;
    const std::filesystem::path file = m_dir / "retry";
    auto values = ReadKeyValues(file, kMaxListFile, bExists);
    auto items = SplitRetries(values["retry"]);
    if (!items)
        Damaged(file, "a bad item");
    return *items;
}

void LocalMailbox::SetRetries(const std::vector<RetryItem>& retries) {
    if (!retries.empty()) {
        Write(m_dir / "retry", "retry=" + JoinRetries(retries) + "\n", true);
        return;
    }
    std::error_code ec;
    std::filesystem::remove(m_dir / "retry", ec);
    std::string why;
    if (ec || !SyncDirectory(m_dir, why))
        throw std::runtime_error("cannot remove " + (m_dir / "retry").string() + (ec ? ": " + ec.message() : why));
}

std::map<int32_t, LocalFolder> LocalMailbox::Folders() const {
    std::string why;
    const std::filesystem::path file = m_dir / "folders.tsv";
    std::optional<std::string> text = ReadSmallFile(file, kMaxListFile, why);
    if (!why.empty())
        throw std::runtime_error(why);
    std::map<int32_t, LocalFolder> folders;
    if (!text)
        return folders;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        // id, parent, view, name (the path column after it is for readers).
        std::vector<std::string> fields;
        size_t pos = 0;
        for (int i = 0; i < 4; ++i) {
            const size_t tab = line.find('\t', pos);
            fields.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos)
                break;
            pos = tab + 1;
        }
        auto id = fields.size() == 4 ? ParseId(fields[0]) : std::nullopt;
        auto parent = fields.size() == 4 ? ParseId(fields[1]) : std::nullopt;
        if (!id || !parent)
            throw std::runtime_error(file.string() + " is damaged; 'ostrel sync --full' starts again");
        folders[*id] = LocalFolder{*parent, fields[3], fields[2]};
    }
    return folders;
}

std::filesystem::path LocalMailbox::MessagePath(int32_t id, const char* extension) const {
    return m_dir / "messages" / (std::to_string(id) + extension);
}

bool LocalMailbox::HasLegacyCopy() const {
    std::error_code ec;
    return std::filesystem::is_directory(m_dir / "messages", ec);
}

std::set<int32_t> LocalMailbox::LegacyMessageIds() const {
    std::set<int32_t> ids;
    for (const auto& entry : Entries(m_dir / "messages")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || entry.path().extension() != ".eml")
            continue;  // temporary files of an interrupted write, metadata
        if (auto id = ParseId(entry.path().stem().string()))
            ids.insert(*id);
    }
    return ids;
}

bool LocalMailbox::ReadLegacyMessage(int32_t id, std::string& mime, std::string& meta) const {
    std::string why;
    std::optional<std::string> eml = ReadSmallFile(MessagePath(id, ".eml"), kMaxListFile, why);
    std::optional<std::string> xml = ReadSmallFile(MessagePath(id, ".meta"), kMaxStateFile, why);
    if (!eml || !xml)
        return false;
    mime = std::move(*eml);
    meta = std::move(*xml);
    return true;
}

void LocalMailbox::RemoveLegacyCopy() {
    CloseJournal();
    std::error_code ec;
    // The token promised what the files held; without them the next listing is a full one.
    for (const char* name : {"pending", "pending.done", "retry", "state", "gal", "messages", "items", "folders.tsv"}) {
        std::filesystem::remove_all(m_dir / name, ec);
        if (ec)
            throw std::runtime_error("cannot remove " + (m_dir / name).string() + ": " + ec.message());
    }
    Flush();
}

void LocalMailbox::Flush() {
    std::string why;
    if (!SyncFileSystem(m_dir, why))
        throw std::runtime_error(why);
}

}  // namespace OstrelCli
