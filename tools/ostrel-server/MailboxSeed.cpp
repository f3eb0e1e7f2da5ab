// Seed mailboxes: `dir`/mailbox.xml lists tags, folders, items and metadata in the order they are
// made, for example
//
//     <mailbox>
//       <tag name="Work" rgb="#FF0000"/>
//       <folder id="300" name="Projects" l="1" view="message" f="#"><grant gt="usr" oid="..." perm="rw"/></folder>
//       <m l="300" f="u" tn="Work" d="1700000000000" file="welcome.eml"/>
//       <cn l="7"><a n="firstName">Ann</a><m type="C" value="257"/></cn>
//       <doc l="16" name="Plan.txt" ver="2" file="plan.txt"/>
//       <appt l="10" name="Review" s="1700000000000" e="1700003600000"/>
//       <meta section="bes"><a n="1">value</a></meta>
//     </mailbox>
//
// Ids are optional. Message and document content comes from files beside mailbox.xml (names
// only, no directories). Any error names the element's line and leaves the mailbox unchanged.
#include "MailboxData.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fstream>
#include <sstream>

namespace OstrelServer {

namespace {

constexpr std::uintmax_t kMaxSeedFile = 64 << 20;

void IgnoreErrors(void*, xmlErrorPtr) {}

std::string Name(xmlNodePtr node) {
    return reinterpret_cast<const char*>(node->name);
}

std::optional<std::string> Prop(xmlNodePtr node, const char* name) {
    xmlChar* value = xmlGetProp(node, BAD_CAST name);
    if (!value)
        return std::nullopt;
    std::string out = reinterpret_cast<const char*>(value);
    xmlFree(value);
    return out;
}

std::string Text(xmlNodePtr node) {
    xmlChar* value = xmlNodeGetContent(node);
    std::string out = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return out;
}

std::vector<xmlNodePtr> Elements(xmlNodePtr parent) {
    std::vector<xmlNodePtr> out;
    for (xmlNodePtr n = parent->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE)
            out.push_back(n);
    return out;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec)
        throw std::runtime_error("cannot read " + path.string() + ": " + ec.message());
    if (size > kMaxSeedFile)
        throw std::runtime_error(path.string() + " is larger than 64 MiB");
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof())
        throw std::runtime_error("cannot read " + path.string());
    return text.str();
}

class SeedReader {
public:
    SeedReader(Mailbox::Data& data, std::filesystem::path dir) : d(data), m_dir(std::move(dir)) {}

    void Element(xmlNodePtr node) {
        std::string name = Name(node);
        if (name == "tag")
            d.AddTag(Prop(node, "name").value_or(""), Prop(node, "rgb").value_or(""));
        else if (name == "folder")
            Folder(node);
        else if (name == "meta")
            Meta(node);
        else if (name == "m" || name == "cn" || name == "doc" || name == "appt" || name == "task")
            Item(node, name);
        else
            throw std::runtime_error("unknown element <" + name + ">");
    }

private:
    int32_t Int(xmlNodePtr node, const char* name, int32_t fallback) {
        auto text = Prop(node, name);
        if (!text)
            return fallback;
        auto value = ParseInt64(*text);
        if (!value || *value < INT32_MIN || *value > INT32_MAX)
            throw std::runtime_error(std::string("invalid ") + name + ": '" + *text + "'");
        return static_cast<int32_t>(*value);
    }

    int64_t Int64(xmlNodePtr node, const char* name) {
        auto text = Prop(node, name);
        if (!text)
            return 0;
        auto value = ParseInt64(*text);
        if (!value)
            throw std::runtime_error(std::string("invalid ") + name + ": '" + *text + "'");
        return *value;
    }

    std::string Content(xmlNodePtr node) {
        auto file = Prop(node, "file");
        if (!file)
            return std::string();
        std::filesystem::path name(*file);
        if (file->empty() || name.has_parent_path() || name.is_absolute() || *file == "." || *file == "..")
            throw std::runtime_error("file must be a plain name beside mailbox.xml: '" + *file + "'");
        return ReadFile(m_dir / name);
    }

    void Folder(xmlNodePtr node) {
        MailFolder f;
        f.id = Int(node, "id", 0);
        f.parentId = Int(node, "l", FolderId::Root);
        f.name = Prop(node, "name").value_or("");
        f.view = Prop(node, "view").value_or("");
        f.flags = Prop(node, "f").value_or("");
        f.rgb = Prop(node, "rgb").value_or("");
        for (xmlNodePtr g : Elements(node)) {
            if (Name(g) != "grant")
                throw std::runtime_error("unknown element <" + Name(g) + "> in a folder");
            f.acl.push_back(MailGrant{Prop(g, "gt").value_or("usr"), Prop(g, "oid").value_or(""),
                                      Prop(g, "d").value_or(""), Prop(g, "pw").value_or(""),
                                      Prop(g, "perm").value_or("")});
        }
        d.AddFolder(std::move(f));
    }

    void Meta(xmlNodePtr node) {
        auto section = Prop(node, "section");
        if (!section || section->empty())
            throw std::runtime_error("metadata without a section");
        auto& pairs = d.metadata[*section];
        for (xmlNodePtr a : Elements(node))
            pairs[Prop(a, "n").value_or("")] = Text(a);
    }

    void Item(xmlNodePtr node, const std::string& name) {
        MailItem item;
        item.kind = name == "m"      ? ItemKind::Message
                    : name == "cn"   ? ItemKind::Contact
                    : name == "doc"  ? ItemKind::Document
                    : name == "appt" ? ItemKind::Appointment
                                     : ItemKind::Task;
        const int32_t defaults[] = {
            FolderId::Inbox, 0, 0, FolderId::Contacts, 0, FolderId::Calendar, FolderId::Tasks, FolderId::Briefcase};
        item.id = Int(node, "id", 0);
        item.folderId = Int(node, "l", defaults[static_cast<int>(item.kind)]);
        item.flags = Prop(node, "f").value_or("");
        if (auto names = Prop(node, "tn"))
            item.tags = d.TagNames(*names, true);
        else
            item.tags = d.TagIds(Prop(node, "t").value_or(""));
        item.created = Int64(node, "cd");
        item.modified = Int64(node, "md");
        item.name = Prop(node, "name").value_or("");
        item.version = Int(node, "ver", 1);
        if (item.kind == ItemKind::Message) {
            item.date = Int64(node, "d");
            item.mime = Content(node);
        } else if (item.kind == ItemKind::Document) {
            item.content = Content(node);
        } else if (item.kind != ItemKind::Contact) {
            item.date = Int64(node, "s");
            item.endDate = Int64(node, "e");
        }
        if (item.kind == ItemKind::Contact) {
            for (xmlNodePtr child : Elements(node)) {
                std::string tag = Name(child);
                if (tag == "a")
                    item.contact.attrs.emplace_back(Prop(child, "n").value_or(""), Text(child));
                else if (tag == "m")
                    item.contact.members.emplace_back(Prop(child, "type").value_or(""),
                                                      Prop(child, "value").value_or(""));
                else
                    throw std::runtime_error("unknown element <" + tag + "> in a contact");
            }
        }
        d.AddItem(std::move(item));
    }

    Mailbox::Data& d;
    std::filesystem::path m_dir;
};

}  // namespace

void Mailbox::LoadSeed(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / "mailbox.xml";
    std::string text = ReadFile(file);
    xmlSetStructuredErrorFunc(nullptr, IgnoreErrors);
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), "mailbox.xml", nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        &xmlFreeDoc);
    if (!doc) {
        xmlErrorPtr error = xmlGetLastError();
        throw std::runtime_error(file.string() + ": malformed XML" +
                                 (error ? " at line " + std::to_string(error->line) : std::string()));
    }
    if (doc->intSubset || doc->extSubset)
        throw std::runtime_error(file.string() + ": DOCTYPE not allowed");
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (!root || Name(root) != "mailbox")
        throw std::runtime_error(file.string() + ": the root element must be <mailbox>");

    auto fresh = std::make_unique<Data>();
    uint64_t oldRev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        oldRev = m_pData->rev;
    }
    // Every token of the old mailbox must resynchronise.
    fresh->rev = oldRev + 1;
    SeedReader reader(*fresh, dir);
    for (xmlNodePtr node : Elements(root)) {
        try {
            reader.Element(node);
        } catch (const std::exception& e) {
            throw std::runtime_error(file.string() + " line " + std::to_string(xmlGetLineNo(node)) + ": " + e.what());
        }
    }
    fresh->forgottenUpTo = fresh->rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fresh->pBook = m_pData->pBook;
        fresh->rev = std::max(fresh->rev, m_pData->rev + 1);
        fresh->forgottenUpTo = fresh->rev;
        if (fresh->pBook) {
            for (const auto& [id, item] : m_pData->items)
                if (item.kind == ItemKind::Contact)
                    fresh->pBook->RemoveContact(id);
        }
        m_pData = std::move(fresh);
        m_pData->MirrorAll();
    }
    Notify();
}

}  // namespace OstrelServer
