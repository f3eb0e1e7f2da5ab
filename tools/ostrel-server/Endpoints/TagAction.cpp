// TagActionRequest: renaming and deleting a tag on the server. A rename gives the tag a new
// revision, so the next synchronisation sends it again with its new name; a delete reports the tag's
// id as deleted and sends every item that carried it again without it.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/MailboxData.h"
#include "ostrel-server/Server.h"

namespace OstrelServer {

namespace {

const std::string kAction = "/soap:Envelope/soap:Body/*[1]/*[local-name()='action']";

MailTag& TagOf(Mailbox::Data& data, int32_t id) {
    auto it = data.tags.find(id);
    if (it == data.tags.end())
        throw MailboxError("mail.NO_SUCH_TAG", "no such tag: " + std::to_string(id));
    return it->second;
}

}  // namespace

void Mailbox::RenameTag(int32_t id, const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        MailTag& tag = TagOf(*m_pData, id);
        if (name.empty() || name.find(',') != std::string::npos)
            throw MailboxError("mail.INVALID_NAME", "invalid tag name: " + name);
        for (const auto& [otherId, other] : m_pData->tags)
            if (otherId != id && EqualsNoCase(other.name, name))
                throw MailboxError("mail.ALREADY_EXISTS", "tag with that name already exists: " + name);
        tag.name = name;
        tag.rev = m_pData->Touch('g');
    }
    Notify();
}

void Mailbox::DeleteTag(int32_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        TagOf(*m_pData, id);
        m_pData->tags.erase(id);
        m_pData->tombstones.push_back({id, ItemKind::Message, 0, m_pData->Touch('g')});
        for (auto& [itemId, item] : m_pData->items) {
            auto it = std::find(item.tags.begin(), item.tags.end(), id);
            if (it == item.tags.end())
                continue;
            item.tags.erase(it);
            item.rev = m_pData->Touch(Data::KindLetter(item.kind));
        }
    }
    Notify();
}

SoapReply Mailbox::SoapTagAction(const SoapDocument& doc) {
    const std::string op = doc.Text(kAction + "/@op").value_or("");
    const auto idText = doc.Text(kAction + "/@id");
    const auto id = idText ? ParseInt64(*idText) : std::nullopt;
    if (!id || *id < kFirstTagId || *id > kLastTagId)
        throw MailboxError("service.INVALID_REQUEST", "invalid tag id");
    if (op == "rename")
        RenameTag(static_cast<int32_t>(*id), doc.Text(kAction + "/@name").value_or(""));
    else if (op == "delete")
        DeleteTag(static_cast<int32_t>(*id));
    else
        throw MailboxError("service.INVALID_REQUEST", "unknown tag action: " + op);
    SoapReply reply = SoapReply::Body("<TagActionResponse xmlns=\"urn:ostrelMail\"><action op=\"" + XmlEscape(op) +
                                      "\" id=\"" + std::to_string(*id) + "\"/></TagActionResponse>");
    reply.contextXml = "<change token=\"" + std::to_string(Revision()) + "\"/>";
    return reply;
}

namespace {

// The account's mailbox once the call's token is accepted, as for the other mailbox calls.
SoapEndpoint s_tagAction("TagActionRequest", [](const SoapCall& call) {
    std::optional<SoapReply> fault;
    const std::string signedOn = RequireToken(call, fault);
    if (fault)
        return *fault;
    try {
        Mailboxes& boxes = MailboxesOf(call.server);
        std::shared_ptr<Mailbox> mailbox;
        if (!signedOn.empty() && !call.doc.Count("/soap:Envelope/soap:Header/l:context/l:account"))
            if (auto account = call.server.State<AccountBook>().Find(signedOn))
                mailbox =
                    boxes.Find(account->id) ? boxes.Find(account->id) : boxes.AddAccount(account->id, account->name);
        if (!mailbox)
            mailbox = boxes.ForRequest(call.doc);
        return mailbox->SoapTagAction(call.doc);
    } catch (const MailboxError& e) {
        return SoapReply::Fault(e.Code(), e.what());
    }
});

}  // namespace

}  // namespace OstrelServer
