#include "ostrel-server/Calendar.h"

#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Soap.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <ctime>
#include <memory>

namespace OstrelServer {

namespace {

// Deeper trees than any calendar item has are refused rather than followed.
constexpr int kMaxDepth = 32;

struct DocFree {
    void operator()(xmlDoc* p) const { xmlFreeDoc(p); }
};

bool ToNode(const xmlNode* pElement, CalNode& out, int depth) {
    if (depth > kMaxDepth)
        return false;
    out.name = reinterpret_cast<const char*>(pElement->name);
    for (const xmlAttr* a = pElement->properties; a; a = a->next) {
        xmlChar* pValue = xmlNodeListGetString(pElement->doc, a->children, 1);
        out.attrs.emplace_back(reinterpret_cast<const char*>(a->name),
                               pValue ? reinterpret_cast<const char*>(pValue) : "");
        xmlFree(pValue);
    }
    for (const xmlNode* c = pElement->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            if (!ToNode(c, out.children.emplace_back(), depth + 1))
                return false;
        } else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content) {
            out.text += reinterpret_cast<const char*>(c->content);
        }
    }
    return true;
}

// The first element of the SOAP body of a request, as a tree; nullopt when there is none.
std::optional<CalNode> RequestElement(const std::string& body) {
    std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc || doc->intSubset)
        return std::nullopt;
    const xmlNode* pNode = xmlDocGetRootElement(doc.get());  // Envelope
    auto FirstElement = [](const xmlNode* p) -> const xmlNode* {
        for (const xmlNode* c = p ? p->children : nullptr; c; c = c->next)
            if (c->type == XML_ELEMENT_NODE)
                return c;
        return nullptr;
    };
    for (const xmlNode* c = pNode ? pNode->children : nullptr; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, BAD_CAST "Body")) {
            const xmlNode* pCall = FirstElement(c);
            CalNode out;
            if (!pCall || !ToNode(pCall, out, 0))
                return std::nullopt;
            return out;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> ParseInt(const std::string* pText) {
    if (!pText)
        return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(pText->data(), pText->data() + pText->size(), value);
    if (ec != std::errc() || end != pText->data() + pText->size())
        return std::nullopt;
    return value;
}

// Replaces the `attach` element of an instance's `m` by one `mp` element per upload it names,
// keeping the bytes in `parts`. Throws MailboxError when an upload is unknown.
void TakeAttachments(CalNode& m, UploadStore& uploads, std::map<std::string, CalAttachment>& parts) {
    for (size_t i = 0; i < m.children.size(); ++i) {
        if (m.children[i].name != "attach")
            continue;
        const std::string* pAids = m.children[i].Attr("aid");
        const std::string aids = pAids ? *pAids : std::string();
        m.children.erase(m.children.begin() + static_cast<std::ptrdiff_t>(i--));
        for (size_t pos = 0; pos < aids.size();) {
            const size_t end = std::min(aids.find(',', pos), aids.size());
            if (end > pos) {
                UploadStore::Upload upload = uploads.Take(aids.substr(pos, end - pos));
                const std::string part = std::to_string(parts.size() + 2);
                CalNode& mp = m.Add("mp");
                mp.Set("part", part);
                mp.Set("ct", upload.contentType);
                if (!upload.fileName.empty())
                    mp.Set("filename", upload.fileName);
                mp.Set("s", std::to_string(upload.content.size()));
                mp.Set("cd", "attachment");
                parts[part] =
                    CalAttachment{std::move(upload.fileName), std::move(upload.contentType), std::move(upload.content)};
            }
            pos = end + 1;
        }
    }
}

}  // namespace

CalNode& CalNode::Set(const std::string& key, std::string value) {
    for (auto& [k, v] : attrs) {
        if (k == key) {
            v = std::move(value);
            return *this;
        }
    }
    attrs.emplace_back(key, std::move(value));
    return *this;
}

CalNode& CalNode::Add(std::string childName) {
    return children.emplace_back(std::move(childName));
}

const std::string* CalNode::Attr(const std::string& key) const {
    for (const auto& [k, v] : attrs)
        if (k == key)
            return &v;
    return nullptr;
}

const CalNode* CalNode::Child(const std::string& childName) const {
    for (const CalNode& c : children)
        if (c.name == childName)
            return &c;
    return nullptr;
}

CalNode* CalNode::Child(const std::string& childName) {
    for (CalNode& c : children)
        if (c.name == childName)
            return &c;
    return nullptr;
}

std::string CalNode::Xml() const {
    std::string xml = "<" + XmlEscape(name);
    for (const auto& [k, v] : attrs)
        xml += " " + XmlEscape(k) + "=\"" + XmlEscape(v) + "\"";
    if (text.empty() && children.empty())
        return xml + "/>";
    xml += ">" + XmlEscape(text);
    for (const CalNode& c : children)
        xml += c.Xml();
    return xml + "</" + XmlEscape(name) + ">";
}

const CalNode* CalendarItem::SeriesInv() const {
    const CalNode* pM = series.Child("m");
    return pM ? pM->Child("inv") : nullptr;
}

std::string CalendarItem::Uid() const {
    const CalNode* pInv = SeriesInv();
    const std::string* pUid = pInv ? pInv->Attr("uid") : nullptr;
    return pUid ? *pUid : std::string();
}

std::string CalendarItem::Xml() const {
    CalNode item(task ? "task" : "appt");
    item.Set("id", std::to_string(id));
    if (!Uid().empty())
        item.Set("uid", Uid());
    item.Set("l", std::to_string(folderId));
    item.Set("md", std::to_string(modified));
    if (nextAlarmMs)
        item.Set("nextAlarm", std::to_string(nextAlarmMs));
    if (!tagIds.empty())
        item.Set("t", tagIds);
    if (!tagNames.empty())
        item.Set("tn", tagNames);
    item.children.push_back(series);
    for (const CalNode& e : exceptions)
        item.children.push_back(e);
    for (const CalNode& c : cancels)
        item.children.push_back(c);
    return item.Xml();
}

CalendarBook::CalendarBook() {
    for (CalendarItem& item : SeedItems())
        Put(std::move(item));
}

int32_t CalendarBook::Put(CalendarItem item) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string uid = item.Uid();
    if (!uid.empty()) {
        auto found = m_byUid.find({item.task, uid});
        if (found != m_byUid.end())
            item.id = found->second;
    }
    if (item.id == 0)
        item.id = m_nextId++;
    else if (item.id >= m_nextId)
        m_nextId = item.id + 1;
    if (item.modified == 0)
        item.modified = static_cast<int64_t>(std::time(nullptr));
    const int32_t id = item.id;
    if (auto old = m_items.find(id); old != m_items.end())
        m_byUid.erase({old->second.task, old->second.Uid()});
    if (!uid.empty())
        m_byUid[{item.task, uid}] = id;
    m_items[id] = std::move(item);
    return id;
}

std::optional<CalendarItem> CalendarBook::Get(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_items.find(id);
    if (it == m_items.end())
        return std::nullopt;
    return it->second;
}

bool CalendarBook::Remove(int32_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_items.find(id);
    if (it == m_items.end())
        return false;
    m_byUid.erase({it->second.task, it->second.Uid()});
    m_items.erase(it);
    return true;
}

std::vector<int32_t> CalendarBook::Ids() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int32_t> ids;
    for (const auto& entry : m_items)
        ids.push_back(entry.first);
    return ids;
}

void CalendarBook::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.clear();
    m_byUid.clear();
}

SoapReply CalendarBook::GetItem(const SoapDocument& request, bool task) const {
    const char* pszResponse = task ? "GetTaskResponse" : "GetAppointmentResponse";
    const std::optional<std::string> idText = request.Text("/soap:Envelope/soap:Body/*[1]/@id");
    auto id = ParseInt(idText ? &*idText : nullptr);
    if (!id || *id < 1 || *id > INT32_MAX)
        return SoapReply::Fault("service.INVALID_REQUEST", "missing or invalid id");
    auto item = Get(static_cast<int32_t>(*id));
    if (!item || item->task != task)
        return SoapReply::Fault("mail.NO_SUCH_ITEM", "no such item: " + std::to_string(*id));
    return SoapReply::Body(std::string("<") + pszResponse + " xmlns=\"urn:ostrelMail\">" + item->Xml() + "</" +
                           pszResponse + ">");
}

SoapReply CalendarBook::SetItem(const std::string& body, bool task, UploadStore& uploads) {
    std::optional<CalNode> call = RequestElement(body);
    if (!call)
        return SoapReply::Fault("service.INVALID_REQUEST", "the request cannot be read");
    CalendarItem item;
    item.task = task;
    item.folderId = task ? 15 : 10;
    if (auto folder = ParseInt(call->Attr("l")); folder && *folder > 0 && *folder <= INT32_MAX)
        item.folderId = static_cast<int32_t>(*folder);
    if (const std::string* p = call->Attr("t"))
        item.tagIds = *p;
    if (const std::string* p = call->Attr("tn"))
        item.tagNames = *p;
    if (auto alarm = ParseInt(call->Attr("nextAlarm")); alarm && *alarm > 0)
        item.nextAlarmMs = *alarm;
    bool bHasSeries = false;
    for (CalNode& child : call->children) {
        CalNode* pM = child.Child("m");
        if (!pM || !pM->Child("inv"))
            return SoapReply::Fault("service.INVALID_REQUEST", "an instance without an invitation");
        // The server, not the client, says whether the user organizes the item.
        try {
            TakeAttachments(*pM, uploads, item.parts);
        } catch (const MailboxError& e) {
            return SoapReply::Fault(e.Code(), e.what());
        }
        CalNode& inv = *pM->Child("inv");
        const CalNode* pOrganizer = inv.Child("or");
        const std::string* pAddress = pOrganizer ? pOrganizer->Attr("a") : nullptr;
        inv.Set("isOrg", !pOrganizer || (pAddress && *pAddress == kCalendarUser) ? "1" : "0");
        if (child.name == "default" && !bHasSeries) {
            item.series = std::move(child);
            bHasSeries = true;
        } else if (child.name == "except") {
            item.exceptions.push_back(std::move(child));
        } else if (child.name == "cancel") {
            item.cancels.push_back(std::move(child));
        }
    }
    if (!bHasSeries)
        return SoapReply::Fault("service.INVALID_REQUEST", "missing default");
    const int32_t id = Put(std::move(item));
    if (task)
        return SoapReply::Body("<SetTaskResponse xmlns=\"urn:ostrelMail\" calItemId=\"" + std::to_string(id) + "\"/>");
    return SoapReply::Body("<SetAppointmentResponse xmlns=\"urn:ostrelMail\" apptId=\"" + std::to_string(id) + "\"/>");
}

}  // namespace OstrelServer
