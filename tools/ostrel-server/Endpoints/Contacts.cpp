// GetContactsRequest, SearchGalRequest and SyncGalRequest over the ContactBook (see Contacts.h).
#include "ostrel-server/Contacts.h"

#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace OstrelServer {

namespace {

constexpr int64_t kGalBaseTime = 1700000000;

const char* const kFirstNames[] = {"Ann",  "Ben",  "Carla", "David",  "Eva",   "Felix", "Greta",
                                   "Hugo", "Ines", "Jonas", "Karin",  "Lukas", "Maria", "Nils",
                                   "Olga", "Paul", "Rosa",  "Stefan", "Tina",  "Zoë"};
const char* const kLastNames[] = {"Lee",    "Meyer",  "Novak", "Olsen",  "Petrov", "Quinn",    "Rossi",   "Schmidt",
                                  "Tanaka", "Ulrich", "Vogel", "Weber",  "Xu",     "Young",    "Zimmer",  "Müller",
                                  "Øster",  "Berg",   "Costa", "Dubois", "Łukasz", "Eriksson", "Fischer", "García"};
const char* const kDepartments[] = {"Sales", "Engineering", "Finance", "Support", "Research & Development"};
constexpr size_t kFirstCount = std::size(kFirstNames);
constexpr size_t kLastCount = std::size(kLastNames);

// The selected element's path inside the body; request children may be in the call's namespace
// or in none, so they are matched by local name.
std::string BodyPath(const std::string& rest) {
    return "/soap:Envelope/soap:Body/*[1]" + rest;
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<int64_t> ParseInt(const std::string& text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The index an id was generated from: its last group is the index in hexadecimal.
std::optional<size_t> GalIndexOf(const std::string& id) {
    size_t dash = id.rfind('-');
    if (dash == std::string::npos || id.size() - dash != 13)
        return std::nullopt;
    size_t index = 0;
    auto [end, ec] = std::from_chars(id.data() + dash + 1, id.data() + id.size(), index, 16);
    if (ec != std::errc() || end != id.data() + id.size() || ContactBook::MakeGalEntry(index).id != id)
        return std::nullopt;
    return index;
}

void AppendAttr(std::string& xml, const std::string& name, const std::string& value) {
    xml += "<a n=\"";
    xml += XmlEscape(name);
    xml += "\">";
    xml += XmlEscape(value);
    xml += "</a>";
}

void AppendGalEntry(std::string& xml, const GalEntry& entry, bool withDn) {
    xml += "<cn id=\"" + XmlEscape(entry.id) + "\" ref=\"" + XmlEscape(entry.ref) + "\" md=\"" +
           std::to_string(entry.modified) + "\">";
    if (withDn)
        AppendAttr(xml, "dn", entry.ref);
    for (const auto& [name, value] : entry.attrs)
        AppendAttr(xml, name, value);
    xml += "</cn>";
}

bool Wanted(const std::set<std::string>& names, const std::string& name) {
    return names.empty() || names.count(name) > 0;
}

void AppendMailboxContact(std::string& xml, const MailboxContact& c, const std::set<std::string>& names,
                          std::optional<size_t> maxMembers) {
    bool bCut = maxMembers && c.members.size() > *maxMembers;
    xml += "<cn id=\"" + std::to_string(c.id) + "\" l=\"" + std::to_string(c.folderId) + "\" md=\"" +
           std::to_string(c.modified) + "\"";
    if (!c.flags.empty())
        xml += " f=\"" + XmlEscape(c.flags) + "\"";
    if (!c.tagIds.empty())
        xml += " t=\"" + XmlEscape(c.tagIds) + "\"";
    if (!c.tagNames.empty())
        xml += " tn=\"" + XmlEscape(c.tagNames) + "\"";
    if (bCut)
        xml += " tooManyMembers=\"1\"";
    xml += ">";
    for (const auto& [name, value] : c.attrs)
        if (Wanted(names, name))
            AppendAttr(xml, name, value);
    if (c.image && Wanted(names, "image")) {
        xml += "<a n=\"image\" part=\"" + std::to_string(c.image->part) + "\" s=\"" + std::to_string(c.image->size) +
               "\" filename=\"" + XmlEscape(c.image->fileName) + "\" ct=\"" + XmlEscape(c.image->contentType) + "\"/>";
    }
    size_t count = bCut ? *maxMembers : c.members.size();
    for (size_t i = 0; i < count; ++i)
        xml += "<m type=\"" + XmlEscape(c.members[i].first) + "\" value=\"" + XmlEscape(c.members[i].second) + "\"/>";
    xml += "</cn>";
}

const std::string* FindAttr(const GalEntry& entry, const char* name) {
    for (const auto& [n, v] : entry.attrs)
        if (n == name)
            return &v;
    return nullptr;
}

}  // namespace

ContactBook::ContactBook() {
    m_folders[7] = "Contacts";
    m_folders[13] = "Emailed Contacts";
    if (const char* size = std::getenv("OSTREL_SERVER_GAL_SIZE")) {
        if (auto value = ParseInt(size); value && *value >= 0)
            m_galSize = static_cast<size_t>(*value);
    }

    MailboxContact ann;
    ann.modified = kGalBaseTime;
    ann.flags = "a";
    ann.tagNames = "Family";
    ann.attrs = {{"firstName", "Ann"},
                 {"lastName", "Lee"},
                 {"fileAs", "1"},
                 {"email", "ann@example.test"},
                 {"email2", "ann.lee@home.test"},
                 {"mobilePhone", "+1 555 0100"},
                 {"birthday", "1985-04-12"}};
    ann.image = ContactImage{2, 5120, "ann.png", "image/png; name=ann.png", {}};
    MailboxContact ben;
    ben.modified = kGalBaseTime;
    ben.attrs = {{"firstName", "Ben"},       {"lastName", "Okafor"},       {"fileAs", "5"},
                 {"company", "Acme & Sons"}, {"workPhone", "+1 555 0101"}, {"email", "ben@acme.test"}};
    MailboxContact group;
    group.modified = kGalBaseTime;
    group.attrs = {{"type", "group"}, {"nickname", "Friends"}, {"fileAs", "8:Friends"}};
    group.members = {{"C", "257"}, {"C", "258"}, {"I", "carla@example.test"}, {"G", MakeGalEntry(0).ref}};
    MailboxContact emailed;
    emailed.folderId = 13;
    emailed.modified = kGalBaseTime;
    emailed.attrs = {{"email", "dana@elsewhere.test"}, {"fullName", "Dana Elsewhere"}};
    for (MailboxContact* c : {&ann, &ben, &group, &emailed})
        AddContact(std::move(*c));
}

void ContactBook::AddFolder(int32_t id, std::string name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_folders[id] = std::move(name);
}

int32_t ContactBook::AddContact(MailboxContact contact) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_folders.count(contact.folderId))
        return 0;
    if (contact.id == 0)
        contact.id = m_nextId;
    m_nextId = std::max(m_nextId, contact.id + 1);
    if (contact.modified == 0)
        contact.modified = static_cast<int64_t>(std::time(nullptr));
    int32_t id = contact.id;
    m_contacts[id] = std::move(contact);
    return id;
}

bool ContactBook::RemoveContact(int32_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_contacts.erase(id) > 0;
}

void ContactBook::SetGalSize(size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_galSize = count;
    // The list is made anew: every entry is new to a client that synchronised before.
    m_galBaseRevision = ++m_galRevision;
    m_galChanged.clear();
    m_galRemoved.clear();
}

size_t ContactBook::GalSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_galSize;
}

void ContactBook::TouchGalEntry(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_galChanged[index] = ++m_galRevision;
}

bool ContactBook::RemoveGalEntry(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_galSize || m_galRemoved.count(index))
        return false;
    m_galChanged.erase(index);
    m_galRemoved[index] = ++m_galRevision;
    return true;
}

bool ContactBook::IsGalEntry(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_galSize && !m_galRemoved.count(index);
}

GalEntry ContactBook::MakeGalEntry(size_t index) {
    uint64_t h = Mix(index);
    char id[64];
    std::snprintf(id, sizeof id, "%08x-%04x-4%03x-a%03x-%012zx", static_cast<unsigned>(h >> 32),
                  static_cast<unsigned>((h >> 16) & 0xFFFF), static_cast<unsigned>((h >> 4) & 0xFFF),
                  static_cast<unsigned>(Mix(h) & 0xFFF), index);
    std::string uid = "user" + std::to_string(index);
    GalEntry e;
    e.id = id;
    e.ref = "uid=" + uid + ",ou=people,dc=ostrel,dc=test";
    e.modified = kGalBaseTime + static_cast<int64_t>(index);
    auto add = [&e](const char* name, std::string value) { e.attrs.emplace_back(name, std::move(value)); };
    if (index % 25 == 24) {
        // Every 25th entry is a meeting room.
        std::string room = "Room " + std::to_string(index);
        add("objectClass", "ostrelCalendarResource");
        add("objectClass", "ostrelAccount");
        add("fullName", room);
        add("email", "room" + std::to_string(index) + "@ostrel.test");
        add("ostrelCalResType", "Location");
    } else {
        std::string first = kFirstNames[index % kFirstCount];
        std::string last = kLastNames[(index / kFirstCount) % kLastCount];
        add("objectClass", "inetOrgPerson");
        add("objectClass", "ostrelAccount");
        add("firstName", first);
        add("lastName", last);
        add("fullName", first + " " + last);
        add("email", Lower(first == "Zoë" ? "zoe" : first) + "." + std::to_string(index) + "@ostrel.test");
        add("workPhone", "+1 555 01" + std::to_string(index % 100));
        add("company", "Ostrel Test");
        add("department", kDepartments[index % std::size(kDepartments)]);
        add("jobTitle", index % 7 == 0 ? "Manager" : "Specialist");
    }
    add("ostrelId", e.id);
    add("uid", uid);
    return e;
}

SoapReply ContactBook::GetContacts(const SoapDocument& request) const {
    std::vector<std::string> ids = request.Texts(BodyPath("/*[local-name()='cn']/@id"));
    std::vector<std::string> wanted = request.Texts(BodyPath("/*[local-name()='a']/@n"));
    std::set<std::string> names(wanted.begin(), wanted.end());
    std::optional<size_t> maxMembers;
    if (auto text = request.Text(BodyPath("/@maxMembers")); text && ParseInt(*text) && *ParseInt(*text) >= 0)
        maxMembers = static_cast<size_t>(*ParseInt(*text));
    std::optional<int32_t> folder;
    if (auto text = request.Text(BodyPath("/@l"))) {
        auto value = ParseInt(*text);
        if (!value)
            return SoapReply::Fault("service.INVALID_REQUEST", "invalid folder id: " + *text);
        folder = static_cast<int32_t>(*value);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (folder && !m_folders.count(*folder))
        return SoapReply::Fault("mail.NO_SUCH_FOLDER", "no such folder id: " + std::to_string(*folder));
    std::string xml = "<GetContactsResponse xmlns=\"urn:ostrelMail\">";
    if (ids.empty()) {
        for (const auto& [id, contact] : m_contacts)
            if (!folder || contact.folderId == *folder)
                AppendMailboxContact(xml, contact, names, maxMembers);
    }
    for (const std::string& id : ids) {
        if (auto number = ParseInt(id)) {
            auto it = m_contacts.find(static_cast<int32_t>(*number));
            if (it == m_contacts.end() || *number != it->first)
                return SoapReply::Fault("mail.NO_SUCH_CONTACT", "no such contact: " + id);
            AppendMailboxContact(xml, it->second, names, maxMembers);
        } else if (auto index = GalIndexOf(id); index && *index < m_galSize && !m_galRemoved.count(*index)) {
            AppendGalEntry(xml, MakeGalEntry(*index), true);
        } else {
            return SoapReply::Fault("mail.NO_SUCH_CONTACT", "no such contact: " + id);
        }
    }
    xml += "</GetContactsResponse>";
    return SoapReply::Body(std::move(xml));
}

SoapReply ContactBook::SearchGal(const SoapDocument& request) const {
    std::string name = Lower(request.Text(BodyPath("/*[local-name()='name']")).value_or(""));
    size_t limit = kDefaultSearchLimit;
    if (auto text = request.Text(BodyPath("/@limit")); text && ParseInt(*text) && *ParseInt(*text) > 0)
        limit = static_cast<size_t>(*ParseInt(*text));
    size_t galSize = GalSize();

    std::string body;
    size_t found = 0;
    bool bMore = false;
    for (size_t i = 0; i < galSize && !bMore; ++i) {
        if (!IsGalEntry(i))
            continue;
        GalEntry entry = MakeGalEntry(i);
        bool bMatch = name.empty();
        for (const char* field : {"fullName", "firstName", "lastName", "email"}) {
            const std::string* value = FindAttr(entry, field);
            bMatch = bMatch || (value && Lower(*value).find(name) != std::string::npos);
        }
        if (!bMatch)
            continue;
        if (found == limit) {
            bMore = true;
            break;
        }
        ++found;
        AppendGalEntry(body, entry, false);
    }
    return SoapReply::Body("<SearchGalResponse xmlns=\"urn:ostrelAccount\" more=\"" + std::string(bMore ? "1" : "0") +
                           "\">" + body + "</SearchGalResponse>");
}

SoapReply ContactBook::SyncGal(const SoapDocument& request) const {
    uint64_t since = 0;
    if (auto token = request.Text(BodyPath("/@token")); token && !token->empty()) {
        auto value = ParseInt(*token);
        if (!value || *value < 0)
            return SoapReply::Fault("service.INVALID_REQUEST", "invalid sync token: " + *token);
        since = static_cast<uint64_t>(*value);
    }
    bool bIdOnly = request.Text(BodyPath("/@idOnly")).value_or("") == "true";

    size_t galSize;
    uint64_t revision, baseRevision;
    std::map<size_t, uint64_t> changed, removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        galSize = m_galSize;
        revision = m_galRevision;
        baseRevision = m_galBaseRevision;
        changed = m_galChanged;
        removed = m_galRemoved;
    }
    // A list made anew since the token cannot say what went: the client must list it all again.
    if (since != 0 && (since < baseRevision || since > revision))
        return SoapReply::Fault("mail.MUST_RESYNC", "the sync token " + std::to_string(since) + " is no longer valid");
    std::string xml =
        "<SyncGalResponse xmlns=\"urn:ostrelAccount\" token=\"" + std::to_string(revision) + "\" more=\"0\">";
    xml.reserve(galSize * (bIdOnly ? 60 : 900));
    for (size_t i = 0; i < galSize; ++i) {
        auto it = changed.find(i);
        if (removed.count(i) || (it == changed.end() ? baseRevision : it->second) <= since)
            continue;
        GalEntry entry = MakeGalEntry(i);
        if (it != changed.end())
            entry.modified = kGalBaseTime + static_cast<int64_t>(galSize + it->second);
        if (bIdOnly)
            xml += "<cn id=\"" + entry.id + "\"/>";
        else
            AppendGalEntry(xml, entry, false);
    }
    // Removals since the token, by id and reference; a listing from no token simply leaves them out.
    for (const auto& [index, when] : removed) {
        if (since == 0 || when <= since)
            continue;
        GalEntry entry = MakeGalEntry(index);
        xml += "<deleted id=\"" + XmlEscape(entry.id) + "\" ref=\"" + XmlEscape(entry.ref) + "\"/>";
    }
    xml += "</SyncGalResponse>";
    return SoapReply::Body(std::move(xml));
}

namespace {

SoapEndpoint s_getContacts("GetContactsRequest",
                           [](const SoapCall& call) { return call.server.State<ContactBook>().GetContacts(call.doc); });
SoapEndpoint s_searchGal("SearchGalRequest",
                         [](const SoapCall& call) { return call.server.State<ContactBook>().SearchGal(call.doc); });
SoapEndpoint s_syncGal("SyncGalRequest",
                       [](const SoapCall& call) { return call.server.State<ContactBook>().SyncGal(call.doc); });

}  // namespace

}  // namespace OstrelServer
