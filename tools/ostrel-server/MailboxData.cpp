#include "MailboxData.h"

#include "Soap.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace OstrelServer {

namespace {

constexpr size_t kMaxNameLength = 255;

}  // namespace

std::string SubjectOf(const std::string& mime) {
    size_t end = mime.find("\r\n\r\n");
    end = std::min(end, mime.find("\n\n"));
    std::string_view headers(mime.data(), std::min(end, mime.size()));
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t eol = headers.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = headers.size();
        if (headers.size() - pos >= 8 && EqualsNoCase(headers.substr(pos, 8), "subject:")) {
            std::string value(headers.substr(pos + 8, eol - pos - 8));
            // Continuation lines start with white space.
            while (eol + 1 < headers.size() && (headers[eol + 1] == ' ' || headers[eol + 1] == '\t')) {
                size_t next = headers.find('\n', eol + 1);
                if (next == std::string_view::npos)
                    next = headers.size();
                value += headers.substr(eol + 1, next - eol - 1);
                eol = next;
            }
            std::string clean;
            for (char c : value)
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                    clean += c == '\t' ? ' ' : c;
            size_t first = clean.find_first_not_of(' ');
            size_t last = clean.find_last_not_of(' ');
            return first == std::string::npos ? std::string() : clean.substr(first, last - first + 1);
        }
        pos = eol + 1;
    }
    return std::string();
}

namespace {

// The subject a thread is known by: lower case, without reply and forward prefixes.
std::string ThreadKey(const std::string& subject) {
    std::string key = Lower(subject);
    for (bool changed = true; changed;) {
        changed = false;
        size_t start = key.find_first_not_of(' ');
        key.erase(0, start == std::string::npos ? key.size() : start);
        for (const char* prefix : {"re:", "fw:", "fwd:", "aw:"}) {
            if (key.rfind(prefix, 0) == 0) {
                key.erase(0, std::char_traits<char>::length(prefix));
                changed = true;
            }
        }
    }
    return key;
}

void CheckName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name.find('/') != std::string::npos)
        throw MailboxError("mail.INVALID_NAME", "invalid name: '" + name + "'");
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<int64_t> ParseInt64(std::string_view text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::vector<int32_t> ParseIdList(const std::string& text, const char* what) {
    std::vector<int32_t> ids;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = std::min(text.find(',', pos), text.size());
        auto value = ParseInt64(std::string_view(text).substr(pos, comma - pos));
        if (!value || *value < INT32_MIN || *value > INT32_MAX)
            throw MailboxError("service.INVALID_REQUEST", std::string("invalid ") + what + ": '" + text + "'");
        ids.push_back(static_cast<int32_t>(*value));
        pos = comma + 1;
    }
    return ids;
}

std::string JoinIds(const std::vector<int32_t>& ids) {
    std::string text;
    for (int32_t id : ids) {
        if (!text.empty())
            text += ',';
        text += std::to_string(id);
    }
    return text;
}

std::string WithFlag(std::string flags, char letter, bool on) {
    size_t at = flags.find(letter);
    if (on && at == std::string::npos)
        flags += letter;
    else if (!on && at != std::string::npos)
        flags.erase(at, 1);
    return flags;
}

std::string PairXml(const std::string& name, const std::string& value) {
    return "<a n=\"" + XmlEscape(name) + "\">" + XmlEscape(value) + "</a>";
}

Mailbox::Data::Data() {
    struct System {
        int32_t id;
        const char* name;
        const char* view;
    };
    const System system[] = {{FolderId::Root, "USER_ROOT", ""},
                             {FolderId::Inbox, "Inbox", "message"},
                             {FolderId::Trash, "Trash", ""},
                             {FolderId::Junk, "Junk", "message"},
                             {FolderId::Sent, "Sent", "message"},
                             {FolderId::Drafts, "Drafts", "message"},
                             {FolderId::Contacts, "Contacts", "contact"},
                             {FolderId::Calendar, "Calendar", "appointment"},
                             {FolderId::EmailedContacts, "Emailed Contacts", "contact"},
                             {FolderId::Tasks, "Tasks", "task"},
                             {FolderId::Briefcase, "Briefcase", "document"}};
    for (const System& s : system) {
        MailFolder& f = folders[s.id];
        f.id = s.id;
        f.parentId = FolderId::Root;
        f.name = s.name;
        f.view = s.view;
        f.rev = rev;
    }
}

char Mailbox::Data::KindLetter(ItemKind kind) {
    switch (kind) {
        case ItemKind::Folder:
            return 'f';
        case ItemKind::Message:
            return 'm';
        case ItemKind::Contact:
            return 'c';
        case ItemKind::Appointment:
            return 'a';
        case ItemKind::Task:
            return 't';
        case ItemKind::Document:
            return 'd';
    }
    return 'm';
}

const char* Mailbox::Data::ElementOf(ItemKind kind) {
    switch (kind) {
        case ItemKind::Folder:
            return "folder";
        case ItemKind::Message:
            return "m";
        case ItemKind::Contact:
            return "cn";
        case ItemKind::Appointment:
            return "appt";
        case ItemKind::Task:
            return "task";
        case ItemKind::Document:
            return "doc";
    }
    return "m";
}

int64_t Mailbox::Data::Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

uint64_t Mailbox::Data::Touch(char kindLetter) {
    ++rev;
    kindRevs[kindLetter] = rev;
    return rev;
}

int32_t Mailbox::Data::NewId() {
    while (items.count(nextId) || folders.count(nextId))
        ++nextId;
    return nextId++;
}

MailFolder& Mailbox::Data::FolderOrThrow(int32_t id) {
    auto it = folders.find(id);
    if (it == folders.end())
        throw MailboxError("mail.NO_SUCH_FOLDER", "no such folder id: " + std::to_string(id));
    return it->second;
}

MailItem& Mailbox::Data::ItemOrThrow(int32_t id, const char* missingCode) {
    auto it = items.find(id);
    if (it == items.end())
        throw MailboxError(missingCode, "no such item: " + std::to_string(id));
    return it->second;
}

bool Mailbox::Data::InSubtree(int32_t folderId, int32_t rootId) const {
    // Parents always exist and the root is its own parent, so this ends.
    for (int32_t id = folderId;;) {
        if (id == rootId)
            return true;
        auto it = folders.find(id);
        if (it == folders.end() || id == FolderId::Root)
            return false;
        id = it->second.parentId;
    }
}

std::vector<int32_t> Mailbox::Data::Subtree(int32_t rootId) const {
    std::vector<int32_t> out{rootId};
    for (size_t i = 0; i < out.size(); ++i)
        for (const auto& [id, f] : folders)
            if (f.parentId == out[i] && id != out[i])
                out.push_back(id);
    return out;
}

std::string Mailbox::Data::FolderName(int32_t id) const {
    auto it = folders.find(id);
    return it == folders.end() ? std::string() : it->second.name;
}

const MailFolder* Mailbox::Data::FindFolderNamed(int32_t parentId, const std::string& name) const {
    for (const auto& [id, f] : folders)
        if (f.parentId == parentId && id != FolderId::Root && EqualsNoCase(f.name, name))
            return &f;
    return nullptr;
}

void Mailbox::Data::CheckFolderName(int32_t parentId, const std::string& name, int32_t self) const {
    CheckName(name);
    const MailFolder* existing = FindFolderNamed(parentId, name);
    if (existing && existing->id != self)
        throw MailboxError("mail.ALREADY_EXISTS", "object with that name already exists: " + name);
}

int32_t Mailbox::Data::AddFolder(MailFolder folder) {
    FolderOrThrow(folder.parentId);
    CheckFolderName(folder.parentId, folder.name, 0);
    if (folder.id == 0)
        folder.id = NewId();
    else if (folders.count(folder.id) || items.count(folder.id))
        throw MailboxError("service.INVALID_REQUEST", "id in use: " + std::to_string(folder.id));
    nextId = std::max(nextId, folder.id + 1);
    folder.rev = Touch('f');
    int32_t id = folder.id;
    folders[id] = std::move(folder);
    return id;
}

void Mailbox::Data::MoveFolder(MailFolder& folder, int32_t parentId) {
    if (folder.id < kFirstUserId)
        throw MailboxError("mail.IMMUTABLE_OBJECT", "cannot move a system folder");
    FolderOrThrow(parentId);
    if (InSubtree(parentId, folder.id))
        throw MailboxError("mail.CANNOT_CONTAIN", "a folder cannot be moved into itself");
    CheckFolderName(parentId, folder.name, folder.id);
    folder.parentId = parentId;
    folder.rev = Touch('f');
}

void Mailbox::Data::DeleteFolder(int32_t id) {
    if (id < kFirstUserId)
        throw MailboxError("mail.IMMUTABLE_OBJECT", "cannot delete a system folder");
    std::vector<int32_t> subtree = Subtree(id);
    std::set<int32_t> doomed(subtree.begin(), subtree.end());
    std::vector<int32_t> contained;
    for (const auto& [itemId, item] : items)
        if (doomed.count(item.folderId))
            contained.push_back(itemId);
    for (int32_t itemId : contained)
        DeleteItem(itemId);
    // Deepest first, so that a folder's tombstone follows those of its children.
    for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) {
        int32_t parent = folders[*it].parentId;
        folders.erase(*it);
        tombstones.push_back({*it, ItemKind::Folder, parent, Touch('f')});
    }
}

void Mailbox::Data::CheckItemName(const MailItem& item, int32_t folderId, const std::string& name) const {
    if (item.kind != ItemKind::Document)
        return;
    CheckName(name);
    for (const auto& [id, other] : items)
        if (id != item.id && other.kind == ItemKind::Document && other.folderId == folderId &&
            EqualsNoCase(other.name, name))
            throw MailboxError("mail.ALREADY_EXISTS", "document with that name already exists: " + name);
}

int32_t Mailbox::Data::AddItem(MailItem item) {
    FolderOrThrow(item.folderId);
    if (item.id == 0)
        item.id = NewId();
    else if (items.count(item.id) || folders.count(item.id) || item.id < kFirstUserId)
        throw MailboxError("service.INVALID_REQUEST", "id in use: " + std::to_string(item.id));
    nextId = std::max(nextId, item.id + 1);
    CheckItemName(item, item.folderId, item.name);
    for (int32_t tag : item.tags)
        if (!tags.count(tag))
            throw MailboxError("mail.NO_SUCH_TAG", "no such tag: " + std::to_string(tag));
    int64_t now = Now();
    if (item.created == 0)
        item.created = now;
    if (item.modified == 0)
        item.modified = item.created;
    if (item.kind == ItemKind::Message) {
        if (!item.body)
            item.body = MessageBody::Make(std::move(item.mime));
        item.mime.clear();
        if (item.subject.empty())
            item.subject = SubjectOf(item.body->Mime());
        if (item.date == 0)
            item.date = item.created * 1000;
        if (item.convId == 0) {
            std::string key = ThreadKey(item.subject);
            item.convId = key.empty() ? item.id : threads.emplace(key, item.id).first->second;
        }
    }
    item.rev = Touch(KindLetter(item.kind));
    int32_t id = item.id;
    MailItem& stored = items[id] = std::move(item);
    Mirror(stored);
    return id;
}

void Mailbox::Data::Modified(MailItem& item) {
    item.rev = Touch(KindLetter(item.kind));
    item.modified = std::max(item.modified, Now());
    Mirror(item);
}

void Mailbox::Data::MoveItem(MailItem& item, int32_t folderId) {
    FolderOrThrow(folderId);
    if (folderId == item.folderId)
        return;
    CheckItemName(item, folderId, item.name);
    int32_t from = item.folderId;
    item.folderId = folderId;
    Modified(item);
    moves.push_back({item.id, from, item.rev});
}

void Mailbox::Data::DeleteItem(int32_t id) {
    auto it = items.find(id);
    if (it == items.end())
        return;
    Tombstone t{id, it->second.kind, it->second.folderId, Touch(KindLetter(it->second.kind))};
    if (it->second.kind == ItemKind::Contact && pBook)
        pBook->RemoveContact(id);
    items.erase(it);
    tombstones.push_back(t);
}

std::vector<int32_t> Mailbox::Data::TagIds(const std::string& text) const {
    if (text.empty())
        return {};
    std::vector<int32_t> ids = ParseIdList(text, "tag ids");
    for (int32_t id : ids)
        if (!tags.count(id))
            throw MailboxError("mail.NO_SUCH_TAG", "no such tag: " + std::to_string(id));
    return ids;
}

std::vector<int32_t> Mailbox::Data::TagNames(const std::string& text, bool create) {
    std::vector<int32_t> ids;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = std::min(text.find(',', pos), text.size());
        std::string name = text.substr(pos, comma - pos);
        size_t first = name.find_first_not_of(" \t");
        size_t last = name.find_last_not_of(" \t");
        pos = comma + 1;
        if (first == std::string::npos)
            continue;
        name = name.substr(first, last - first + 1);
        const MailTag* found = nullptr;
        for (const auto& [id, tag] : tags)
            if (EqualsNoCase(tag.name, name))
                found = &tag;
        if (found)
            ids.push_back(found->id);
        else if (create)
            ids.push_back(AddTag(name, ""));
    }
    return ids;
}

int32_t Mailbox::Data::AddTag(const std::string& name, const std::string& rgb) {
    CheckName(name);
    if (name.find(',') != std::string::npos)
        throw MailboxError("mail.INVALID_NAME", "a tag name cannot contain a comma: " + name);
    for (const auto& [id, tag] : tags)
        if (EqualsNoCase(tag.name, name))
            throw MailboxError("mail.ALREADY_EXISTS", "tag with that name already exists: " + name);
    int32_t id = kFirstTagId;
    while (tags.count(id))
        ++id;
    if (id > kLastTagId)
        throw MailboxError("mail.TOO_MANY_TAGS", "no more tags can be created");
    tags[id] = MailTag{id, name, rgb, Touch('g')};
    return id;
}

std::string Mailbox::Data::TagIdText(const std::vector<int32_t>& ids) const {
    return JoinIds(ids);
}

std::string Mailbox::Data::TagNameText(const std::vector<int32_t>& ids) const {
    std::string text;
    for (int32_t id : ids) {
        auto it = tags.find(id);
        if (it == tags.end())
            continue;
        if (!text.empty())
            text += ',';
        text += it->second.name;
    }
    return text;
}

void Mailbox::Data::Mirror(const MailItem& item) {
    if (item.kind != ItemKind::Contact || !pBook)
        return;
    MailboxContact c = item.contact;
    c.id = item.id;
    c.folderId = item.folderId;
    c.modified = item.modified;
    c.flags = item.flags;
    c.tagIds = TagIdText(item.tags);
    c.tagNames = TagNameText(item.tags);
    pBook->AddFolder(item.folderId, FolderName(item.folderId));
    pBook->AddContact(std::move(c));
}

void Mailbox::Data::MirrorAll() {
    for (const auto& [id, item] : items)
        Mirror(item);
}

std::string Mailbox::Data::TagXml(const MailTag& tag) const {
    std::string xml = "<tag id=\"" + std::to_string(tag.id) + "\" name=\"" + XmlEscape(tag.name) + "\"";
    if (!tag.rgb.empty())
        xml += " rgb=\"" + XmlEscape(tag.rgb) + "\"";
    return xml + " ms=\"" + std::to_string(tag.rev) + "\"/>";
}

std::string Mailbox::Data::FolderOpen(const MailFolder& folder, size_t count) const {
    std::string xml = "<folder id=\"" + std::to_string(folder.id) + "\" l=\"" + std::to_string(folder.parentId) +
                      "\" name=\"" + XmlEscape(folder.name) + "\"";
    if (!folder.view.empty())
        xml += " view=\"" + XmlEscape(folder.view) + "\"";
    if (!folder.flags.empty())
        xml += " f=\"" + XmlEscape(folder.flags) + "\"";
    if (!folder.rgb.empty())
        xml += " rgb=\"" + XmlEscape(folder.rgb) + "\"";
    xml += " n=\"" + std::to_string(count) + "\" ms=\"" + std::to_string(folder.rev) + "\">";
    if (!folder.acl.empty()) {
        xml += "<acl>";
        for (const MailGrant& g : folder.acl) {
            xml += "<grant gt=\"" + XmlEscape(g.gt) + "\"";
            if (!g.oid.empty())
                xml += " oid=\"" + XmlEscape(g.oid) + "\"";
            if (!g.d.empty())
                xml += " d=\"" + XmlEscape(g.d) + "\"";
            if (!g.pw.empty())
                xml += " pw=\"" + XmlEscape(g.pw) + "\"";
            xml += " perm=\"" + XmlEscape(g.perm) + "\"/>";
        }
        xml += "</acl>";
    }
    return xml;
}

std::string Mailbox::Data::ItemXml(const MailItem& item) const {
    std::string xml = "<";
    xml += ElementOf(item.kind);
    xml += " id=\"" + std::to_string(item.id) + "\" l=\"" + std::to_string(item.folderId) + "\"";
    if (item.kind == ItemKind::Document || item.kind == ItemKind::Appointment || item.kind == ItemKind::Task)
        xml += " name=\"" + XmlEscape(item.name) + "\"";
    if (!item.flags.empty())
        xml += " f=\"" + XmlEscape(item.flags) + "\"";
    if (!item.tags.empty())
        xml += " t=\"" + TagIdText(item.tags) + "\" tn=\"" + XmlEscape(TagNameText(item.tags)) + "\"";
    switch (item.kind) {
        case ItemKind::Message:
            xml += " d=\"" + std::to_string(item.date) + "\" cid=\"" + std::to_string(item.convId) + "\" s=\"" +
                   std::to_string(item.body ? item.body->Mime().size() : 0) + "\"";
            break;
        case ItemKind::Document:
            xml += " ver=\"" + std::to_string(item.version) + "\" cd=\"" + std::to_string(item.created) + "\" s=\"" +
                   std::to_string(item.content.size()) + "\"";
            break;
        case ItemKind::Appointment:
        case ItemKind::Task:
            xml += " s=\"" + std::to_string(item.date) + "\" e=\"" + std::to_string(item.endDate) + "\"";
            break;
        default:
            break;
    }
    xml += " md=\"" + std::to_string(item.modified) + "\" ms=\"" + std::to_string(item.rev) + "\"/>";
    return xml;
}

}  // namespace OstrelServer
