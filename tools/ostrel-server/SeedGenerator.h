// Generated mail for seed mailboxes, demos and load: a deterministic stream of varied messages
// (plain text, HTML alternatives, attachments with non-ASCII file names, calendar invitations,
// replies in threads, encoded non-ASCII headers, now and then a large one) spread over a few
// folders, with flags and tags. The same seed always gives the same messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace OstrelServer {

class Mailbox;

struct GeneratedFolder {
    int32_t id;
    int32_t parentId;
    const char* name;
};

struct GeneratedTag {
    const char* name;
    const char* rgb;
};

struct GeneratedMessage {
    int32_t folderId = 0;
    std::string flags;              // u unread, f flagged, s sent, a answered
    std::vector<std::string> tags;  // tag names
    int64_t dateMs = 0;             // received, ms since 1970
    std::string kind;               // plain, html, attachment, invitation, reply, large
    std::string subject;            // UTF-8, as the Subject header encodes it
    std::string mime;               // CR LF line ends
};

class MessageGenerator {
public:
    explicit MessageGenerator(uint32_t seed = 1);

    // The folders the messages go into besides Inbox (2) and Sent (5), parents first.
    static const std::vector<GeneratedFolder>& Folders();
    static const std::vector<GeneratedTag>& Tags();

    GeneratedMessage Next();

private:
    std::string Pick(const std::vector<std::string>& choices);
    int Range(int low, int high);
    std::string Sentence();
    std::string Paragraphs(int count);
    std::string Person(bool bSelf);

    std::mt19937 m_random;
    uint64_t m_index = 0;
    std::vector<std::string> m_subjects;  // earlier subjects, for replies
};

// Writes `dir`/mailbox.xml with the generator's folders, tags and `count` messages, each message
// in its own .eml file beside it (the seed format of Mailbox::LoadSeed). Throws std::runtime_error
// when a file cannot be written.
void WriteSeedMailbox(const std::filesystem::path& dir, size_t count, uint32_t seed = 1);

// Adds the generator's folders (where their ids and names are free), tags and `count` messages to
// a live mailbox; returns the number of messages added. Throws MailboxError when the mailbox
// refuses a message.
size_t GenerateInto(Mailbox& mailbox, size_t count, uint32_t seed = 1);

}  // namespace OstrelServer
