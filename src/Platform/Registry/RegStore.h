// One hive's file and its in-memory copy, shared by all handles of this process. Internal.
#pragma once

#include "Platform/Ipc/FileLock.h"
#include "Platform/Registry/RegTree.h"
#include "Platform/Registry/Registry.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace Platform::RegStore {

class Hive {
public:
    Hive(std::wstring wsRootName, std::string sFileName);

    std::filesystem::path Path() const;

    // Runs `read` on the current contents (reloaded first when the file changed).
    LSTATUS Read(const std::function<LSTATUS(RegTree::Key& root, const FILETIME& ftFile)>& read);

    // Runs `change` on the newest contents under the cross-process lock and writes the hive when
    // it reports a change. `change` returns its status and sets the flag when it changed anything.
    LSTATUS Write(const std::function<LSTATUS(RegTree::Key& root, bool& bChanged)>& change);

    // A batch holds the in-process and the cross-process lock from BeginBatch to EndBatch; writes
    // in between change only the memory and EndBatch of the outermost batch stores the file once.
    // Both calls come from the same thread. BeginBatch returns false (and holds nothing) when the
    // lock cannot be taken; writes then go to the file one by one as usual.
    bool BeginBatch();
    LSTATUS EndBatch();

private:
    struct Identity {
        std::string sPath;
        bool bExists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const Identity&) const = default;
    };

    void Refresh(const std::filesystem::path& path);
    bool Store(const std::filesystem::path& path, const std::string& text);
    void Notify();

    const std::wstring m_wsRootName;
    const std::string m_sFileName;
    LSTATUS WriteLocked(const std::filesystem::path& path,
                        const std::function<LSTATUS(RegTree::Key& root, bool& bChanged)>& change);
    LSTATUS StoreLocked(const std::filesystem::path& path);

    std::recursive_mutex m_mutex;  // recursive: the thread holding a batch still reads and writes
    std::unique_ptr<RegTree::Key> m_pRoot;
    std::optional<Identity> m_identity;  // of the file m_pRoot was read from; none forces a reload
    bool m_bCorrupt = false;             // the file did not parse (or could not be read): never write it
    FILETIME m_ftFile{};
    std::optional<Registry::ParseError> m_pendingError;  // reported once the lock is released
    unsigned m_ulBatchDepth = 0;                         // batches open on the thread holding m_mutex
    std::unique_ptr<FileLock> m_pBatchLock;              // held for the outermost batch
    std::filesystem::path m_batchPath;                   // the file the batch read and will store
    bool m_bBatchChanged = false;                        // memory holds changes the file does not yet
};

// The hive behind a predefined key, or null.
Hive* HiveFor(HKEY hRoot);

}  // namespace Platform::RegStore
