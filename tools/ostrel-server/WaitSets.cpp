#include "WaitSets.h"

#include "Endpoint.h"
#include "MailboxData.h"
#include "Server.h"
#include "Soap.h"

namespace OstrelServer {

namespace {

const std::string kBody = "/soap:Envelope/soap:Body/*[1]";

const char* Namespace(bool admin) {
    return admin ? "urn:ostrelAdmin" : "urn:ostrelMail";
}

std::string ResponseName(const std::string& name, bool admin) {
    return (admin ? "Admin" : "") + name;
}

// The latest revision of the watched kinds of change.
uint64_t RevisionFor(const Mailbox& mailbox, const std::string& types) {
    if (types.empty() || EqualsNoCase(types, "all"))
        return mailbox.RevisionOf('*');
    uint64_t latest = 0;
    for (char c : types)
        if (c != ',' && c != ' ')
            latest = std::max(latest, mailbox.RevisionOf(c));
    return latest;
}

void CheckTypes(const std::string& types) {
    if (!types.empty() && !EqualsNoCase(types, "all") && types.find_first_not_of("fmcatdg, ") != std::string::npos)
        throw MailboxError("service.INVALID_REQUEST", "invalid change types: " + types);
}

}  // namespace

std::string WaitSets::ApplyEntries(const SoapDocument& doc, const char* group, Set& set, Mailboxes& boxes,
                                   const Mailbox& caller, bool admin) {
    std::string errors;
    std::string path = kBody + "/*[local-name()='" + group + "']/*[local-name()='a']";
    size_t count = doc.Count(path);
    for (size_t i = 1; i <= count; ++i) {
        std::string a = "(" + path + ")[" + std::to_string(i) + "]";
        std::string id = doc.Text(a + "/@id").value_or("");
        std::string types = doc.Text(a + "/@types").value_or(set.defTypes);
        CheckTypes(types);
        std::shared_ptr<Mailbox> mailbox = boxes.Find(id);
        const char* refused = !mailbox                               ? "NO_SUCH_ACCOUNT"
                              : (!admin && mailbox.get() != &caller) ? "PERM_DENIED"
                                                                     : nullptr;
        if (refused) {
            errors += "<error id=\"" + XmlEscape(id) + "\" type=\"" + refused + "\"/>";
            continue;
        }
        Entry entry{types, mailbox->Revision()};
        if (auto token = doc.Text(a + "/@token")) {
            auto value = ParseInt64(*token);
            if (!value || *value < 0)
                throw MailboxError("service.INVALID_REQUEST", "invalid token: " + *token);
            entry.token = static_cast<uint64_t>(*value);
        }
        set.accounts[mailbox->AccountId()] = entry;
    }
    return errors;
}

std::string WaitSets::TakeChanges(Set& set, Mailboxes& boxes) {
    std::string xml;
    for (auto& [id, entry] : set.accounts) {
        std::shared_ptr<Mailbox> mailbox = boxes.Find(id);
        if (!mailbox)
            continue;
        if (RevisionFor(*mailbox, entry.types) > entry.token) {
            entry.token = mailbox->Revision();
            xml += "<a id=\"" + XmlEscape(id) + "\" token=\"" + std::to_string(entry.token) + "\"/>";
        }
    }
    return xml;
}

SoapReply WaitSets::Create(const SoapDocument& doc, Server& server, const Mailbox& caller, bool admin) {
    Mailboxes& boxes = MailboxesOf(server);
    Set set;
    set.admin = admin;
    set.defTypes = doc.Text(kBody + "/@defTypes").value_or("all");
    CheckTypes(set.defTypes);
    std::string errors = ApplyEntries(doc, "add", set, boxes, caller, admin);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string id = "ws-" + std::to_string(m_next++);
    std::string name = ResponseName("CreateWaitSetResponse", admin);
    std::string xml = "<" + name + " xmlns=\"" + Namespace(admin) + "\" waitSet=\"" + id + "\" defTypes=\"" +
                      XmlEscape(set.defTypes) + "\" seq=\"0\">" + errors + "</" + name + ">";
    m_sets[id] = std::move(set);
    return SoapReply::Body(std::move(xml));
}

SoapReply WaitSets::Wait(const SoapDocument& doc, Server& server, const Mailbox& caller, bool admin) {
    Mailboxes& boxes = MailboxesOf(server);
    std::string id = doc.Text(kBody + "/@waitSet").value_or("");
    bool block = doc.Text(kBody + "/@block").value_or("") == "1";
    std::chrono::milliseconds blockTime = kDefaultBlockTime;
    if (auto timeout = doc.Text(kBody + "/@timeout")) {
        auto value = ParseInt64(*timeout);
        if (!value || *value < 0 || *value > 3600)
            throw MailboxError("service.INVALID_REQUEST", "invalid timeout: " + *timeout);
        blockTime = std::chrono::seconds(*value);
    }

    std::string errors;
    std::string changed;
    uint64_t seen = boxes.ChangeCount();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sets.find(id);
        if (it == m_sets.end() || it->second.admin != admin)
            throw MailboxError("admin.NO_SUCH_WAITSET", "no such wait set: " + id);
        Set& set = it->second;
        if (auto types = doc.Text(kBody + "/@defTypes")) {
            CheckTypes(*types);
            set.defTypes = *types;
        }
        errors = ApplyEntries(doc, "add", set, boxes, caller, admin);
        errors += ApplyEntries(doc, "update", set, boxes, caller, admin);
        std::string remove = kBody + "/*[local-name()='remove']/*[local-name()='a']/@id";
        for (const std::string& account : doc.Texts(remove)) {
            std::shared_ptr<Mailbox> mailbox = boxes.Find(account);
            set.accounts.erase(mailbox ? mailbox->AccountId() : account);
        }
        changed = TakeChanges(set, boxes);
    }
    auto deadline = std::chrono::steady_clock::now() + blockTime;
    while (block && changed.empty() && std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        seen = boxes.WaitForChange(seen, left, [&server] { return !server.WaitFor(std::chrono::milliseconds(0)); });
        if (!server.WaitFor(std::chrono::milliseconds(0)))
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sets.find(id);
        if (it == m_sets.end())
            break;  // destroyed meanwhile
        changed = TakeChanges(it->second, boxes);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sets.find(id);
    uint64_t seq = it == m_sets.end() ? 0 : ++it->second.seq;
    std::string name = ResponseName("WaitSetResponse", admin);
    return SoapReply::Body("<" + name + " xmlns=\"" + Namespace(admin) + "\" waitSet=\"" + XmlEscape(id) + "\" seq=\"" +
                           std::to_string(seq) + "\">" + changed + errors + "</" + name + ">");
}

SoapReply WaitSets::Destroy(const SoapDocument& doc, bool admin) {
    std::string id = doc.Text(kBody + "/@waitSet").value_or("");
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sets.find(id);
    if (it == m_sets.end() || it->second.admin != admin)
        throw MailboxError("admin.NO_SUCH_WAITSET", "no such wait set: " + id);
    m_sets.erase(it);
    std::string name = ResponseName("DestroyWaitSetResponse", admin);
    return SoapReply::Body("<" + name + " xmlns=\"" + Namespace(admin) + "\" waitSet=\"" + XmlEscape(id) + "\"/>");
}

size_t WaitSets::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sets.size();
}

}  // namespace OstrelServer
