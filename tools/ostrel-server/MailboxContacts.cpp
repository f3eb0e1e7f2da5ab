// Creating and changing contacts, and reading single items.
#include "MailboxData.h"

#include "Endpoint.h"
#include "Soap.h"

namespace OstrelServer {

namespace {

const std::string kBody = "/soap:Envelope/soap:Body/*[1]";
const std::string kCn = kBody + "/*[local-name()='cn']";

std::string Nth(const std::string& path, size_t i) {
    return "(" + path + ")[" + std::to_string(i) + "]";
}

SoapReply Reply(std::string bodyXml, uint64_t rev) {
    SoapReply reply = SoapReply::Body(std::move(bodyXml));
    reply.contextXml = "<change token=\"" + std::to_string(rev) + "\"/>";
    return reply;
}

// One `a` or `m` child of the request's contact.
struct Entry {
    std::string name;   // `a`: n; `m`: type
    std::string value;  // `a`: text; `m`: value
    std::string op;
    std::string aid;
    std::string fileName;
    std::string contentType;
};

std::vector<Entry> ReadEntries(const SoapDocument& doc, const char* element) {
    std::vector<Entry> entries;
    std::string path = kCn + "/*[local-name()='" + element + "']";
    bool attrs = std::string(element) == "a";
    size_t count = doc.Count(path);
    for (size_t i = 1; i <= count; ++i) {
        std::string e = Nth(path, i);
        Entry entry;
        entry.name = doc.Text(e + (attrs ? "/@n" : "/@type")).value_or("");
        entry.value = attrs ? doc.Text(e).value_or("") : doc.Text(e + "/@value").value_or("");
        entry.op = doc.Text(e + "/@op").value_or("");
        entry.aid = doc.Text(e + "/@aid").value_or("");
        entry.fileName = doc.Text(e + "/@filename").value_or("");
        entry.contentType = doc.Text(e + "/@ct").value_or("");
        if (attrs && entry.name.empty())
            throw MailboxError("service.INVALID_REQUEST", "contact attribute without a name");
        if (!attrs && entry.op != "reset" &&
            (entry.name.size() != 1 || std::string("CGI").find(entry.name) == std::string::npos))
            throw MailboxError("service.INVALID_REQUEST", "invalid member type: '" + entry.name + "'");
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The image an `a n="image" aid=...` entry names, from the uploads (checked before it is taken).
ContactImage TakeImage(const Entry& entry, UploadStore& uploads) {
    UploadStore::Upload upload = uploads.Take(entry.aid);
    ContactImage image;
    image.size = static_cast<int64_t>(upload.content.size());
    image.fileName = !entry.fileName.empty() ? entry.fileName : upload.fileName;
    image.contentType = !entry.contentType.empty() ? entry.contentType : upload.contentType;
    image.content = std::move(upload.content);
    return image;
}

}  // namespace

SoapReply Mailbox::SoapCreateContact(const SoapDocument& doc, UploadStore& uploads) {
    if (!doc.Count(kCn))
        throw MailboxError("service.INVALID_REQUEST", "missing contact");
    std::vector<Entry> attrs = ReadEntries(doc, "a");
    std::vector<Entry> members = ReadEntries(doc, "m");
    auto folderText = doc.Text(kCn + "/@l");
    auto tagIds = doc.Text(kCn + "/@t");
    auto tagNames = doc.Text(kCn + "/@tn");

    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        MailItem item;
        item.kind = ItemKind::Contact;
        item.folderId = FolderId::Contacts;
        if (folderText) {
            auto value = ParseInt64(*folderText);
            if (!value || *value < 1 || *value > INT32_MAX)
                throw MailboxError("service.INVALID_REQUEST", "invalid folder id: " + *folderText);
            item.folderId = static_cast<int32_t>(*value);
        }
        d.FolderOrThrow(item.folderId);
        item.tags = tagNames ? d.TagNames(*tagNames, true) : d.TagIds(tagIds.value_or(""));
        for (const Entry& a : attrs) {
            if (a.name == "image" && !a.aid.empty())
                item.contact.image = TakeImage(a, uploads);
            else
                item.contact.attrs.emplace_back(a.name, a.value);
        }
        for (const Entry& m : members)
            if (m.op != "reset")
                item.contact.members.emplace_back(m.name, m.value);
        int32_t id = d.AddItem(std::move(item));
        xml =
            "<CreateContactResponse xmlns=\"urn:ostrelMail\">" + d.ItemXml(d.items.at(id)) + "</CreateContactResponse>";
        rev = d.rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

SoapReply Mailbox::SoapModifyContact(const SoapDocument& doc, UploadStore& uploads) {
    auto idText = doc.Text(kCn + "/@id");
    auto id = ParseInt64(idText.value_or(""));
    if (!id || *id < INT32_MIN || *id > INT32_MAX)
        throw MailboxError("service.INVALID_REQUEST", "invalid contact id: '" + idText.value_or("") + "'");
    bool replace = doc.Text(kBody + "/@replace").value_or("") == "1";
    std::vector<Entry> attrs = ReadEntries(doc, "a");
    std::vector<Entry> members = ReadEntries(doc, "m");
    auto tagIds = doc.Text(kCn + "/@t");
    auto tagNames = doc.Text(kCn + "/@tn");

    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        MailItem& item = d.ItemOrThrow(static_cast<int32_t>(*id), "mail.NO_SUCH_CONTACT");
        if (item.kind != ItemKind::Contact)
            throw MailboxError("mail.NO_SUCH_CONTACT", "no such contact: " + *idText);
        std::optional<std::vector<int32_t>> tags;
        if (tagNames || tagIds)
            tags = tagNames ? d.TagNames(*tagNames, true) : d.TagIds(*tagIds);

        // The image is taken first: nothing changes when its upload is missing.
        std::optional<ContactImage> image;
        for (const Entry& a : attrs)
            if (a.name == "image" && !a.aid.empty())
                image = TakeImage(a, uploads);

        MailboxContact& c = item.contact;
        if (replace)
            c.attrs.clear();
        // Outside replace mode the first plain entry of a name replaces the stored ones (an empty
        // one just removes them); later entries of that name and those with op "+" add values.
        std::set<std::string> replaced;
        for (const Entry& a : attrs) {
            if (a.name == "image" && !a.aid.empty())
                continue;
            bool add = a.op == "+" || replace || replaced.count(a.name);
            if (!add) {
                std::erase_if(c.attrs, [&](const auto& attr) { return attr.first == a.name; });
                if (a.name == "image")
                    c.image.reset();
                replaced.insert(a.name);
                if (a.value.empty())
                    continue;
            }
            c.attrs.emplace_back(a.name, a.value);
        }
        for (const Entry& m : members) {
            if (m.op == "reset")
                c.members.clear();
            else
                c.members.emplace_back(m.name, m.value);
        }
        if (image)
            c.image = image;
        if (tags)
            item.tags = *tags;
        d.Modified(item);
        xml = "<ModifyContactResponse xmlns=\"urn:ostrelMail\">" + d.ItemXml(item) + "</ModifyContactResponse>";
        rev = d.rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

void Mailbox::ChangeContact(int32_t id, const MailboxContact& contact) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        MailItem& item = d.ItemOrThrow(id, "mail.NO_SUCH_CONTACT");
        if (item.kind != ItemKind::Contact)
            throw MailboxError("mail.NO_SUCH_CONTACT", "no such contact: " + std::to_string(id));
        item.contact.attrs = contact.attrs;
        item.contact.members = contact.members;
        item.contact.image = contact.image;
        d.Modified(item);
    }
    Notify();
}

SoapReply Mailbox::SoapGetItem(const SoapDocument& doc) const {
    auto idText = doc.Text(kBody + "/*[local-name()='item']/@id");
    auto id = ParseInt64(idText.value_or(""));
    if (!id || *id < INT32_MIN || *id > INT32_MAX)
        throw MailboxError("service.INVALID_REQUEST", "invalid item id: '" + idText.value_or("") + "'");
    std::lock_guard<std::mutex> lock(m_mutex);
    const Data& d = *m_pData;
    std::string xml = "<GetItemResponse xmlns=\"urn:ostrelMail\">";
    if (auto f = d.folders.find(static_cast<int32_t>(*id)); f != d.folders.end()) {
        size_t count = 0;
        for (const auto& [itemId, item] : d.items)
            count += item.folderId == f->first;
        xml += d.FolderOpen(f->second, count) + "</folder>";
    } else if (auto it = d.items.find(static_cast<int32_t>(*id)); it != d.items.end()) {
        xml += d.ItemXml(it->second);
    } else {
        throw MailboxError("mail.NO_SUCH_ITEM", "no such item: " + *idText);
    }
    return Reply(xml + "</GetItemResponse>", d.rev);
}

}  // namespace OstrelServer
