// Files the commands write: whole files replaced atomically (a reader sees the old or the new
// content, never a mix), optionally made durable before the rename.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace OstrelCli {

// Writes `data` to a temporary file beside `path` and renames it over `path`. With bDurable the
// data reaches the disk before the rename and the rename before returning. On failure `why` says
// what went wrong and `path` is unchanged.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data, bool bDurable, std::string& why);
// A file written in pieces and put in place whole: the data goes to a temporary file beside `path`
// (mode 0666 less the umask, as for any new file) that Commit renames over `path`; without Commit
// the temporary file is removed and `path` stays as it was.
class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    bool Open(const std::filesystem::path& path, std::string& why);
    bool Write(std::string_view data, std::string& why);
    bool Commit(std::string& why);

private:
    std::filesystem::path m_path;
    std::string m_sTemp;
    int m_fd = -1;
};

// Makes the directory's entries (renames, removals) durable.
bool SyncDirectory(const std::filesystem::path& dir, std::string& why);
// Flushes every file of the file system that holds `dir`: one call makes a whole batch of written
// files durable.
bool SyncFileSystem(const std::filesystem::path& dir, std::string& why);
// The whole file; nothing when it does not exist, `why` set when it exists but cannot be read or is
// larger than maxBytes.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t maxBytes, std::string& why);

}  // namespace OstrelCli
