// The Maildir++ tree `ostrel export --maildir` writes: the Inbox is the root maildir, every other
// mail folder a maildir ".Parent.Child" beside it, each with cur/, new/ and tmp/. Messages go to
// cur/<unique>:2,<flags>, written into tmp/ first and renamed, so a reader never sees half a file.
//
// Everything below the root is reached through directory descriptors opened without following
// links: a link planted inside the tree makes the export fail instead of writing elsewhere.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiInterfaces.h"

namespace OstrelCli {

// The Maildir++ directory name of a folder path below the top of the mailbox: "." and each name
// joined by ".". Dots, slashes, '%' and control characters in a name become %XX, an empty name
// %00, so no two paths share a directory and none leaves the tree; a name too long for the file
// system keeps its start and gets a hash of the whole path.
std::string MaildirFolderName(const std::vector<std::wstring>& path);

struct MaildirFlags {
    bool bDraft = false;
    bool bFlagged = false;
    bool bForwarded = false;  // "passed"
    bool bReplied = false;
    bool bSeen = false;
    bool bTrashed = false;
};
// ":2," and the flag letters in the order Maildir requires (D F P R S T).
std::string MaildirInfo(const MaildirFlags& flags);

class MaildirTree {
public:
    MaildirTree() = default;
    ~MaildirTree();
    MaildirTree(const MaildirTree&) = delete;
    MaildirTree& operator=(const MaildirTree&) = delete;

    // Opens the root directory, creating it (mode 0700) when it is missing. An existing one must
    // be this user's, writable by nobody else, and either empty or an earlier export (which is
    // then brought up to date).
    bool Open(const std::filesystem::path& root, std::string& why);
    // Makes `name` ("" for the root) the maildir that AddMessage writes into.
    bool BeginFolder(const std::string& name, std::string& why);
    // Writes the MIME text of the stream as cur/<unique><info>, replacing the file an earlier
    // export wrote for the same unique name.
    bool AddMessage(const std::string& unique, const std::string& info, IStream* pMime, std::string& why);
    // Removes the files an earlier export left in the folder that this run did not write; returns
    // how many of them were of messages not written again (under other flags).
    size_t EndFolder();
    // Makes what was written durable.
    bool Finish(std::string& why);

private:
    int OpenSubdirectory(int parent, const std::string& name, std::string& why);
    void CloseFolder();

    std::filesystem::path m_root;
    std::string m_sFolder;
    int m_rootFd = -1;
    int m_curFd = -1;
    int m_tmpFd = -1;
    int m_newFd = -1;
    std::set<std::string> m_written;        // file names written into the current folder
    std::set<std::string> m_writtenUnique;  // and their unique parts
};

// The unique part of an exported message's file name: the delivery time and the store's node id
// of the message, so a later export of the same store finds the file it wrote.
std::string MaildirUnique(int64_t llUnixSeconds, uint32_t ulNodeId);

}  // namespace OstrelCli
