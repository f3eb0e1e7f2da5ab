// SaveDocumentRequest: an uploaded file becomes a document in a folder (the Briefcase by default).
// A name that exists in the folder (compared without case) is refused with mail.ALREADY_EXISTS,
// whose detail names the existing document ("<account id>:<item id>", t="IID") and which leaves
// the upload in place, so that the client can delete the old document and save again.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace OstrelServer {

namespace {

const std::string kDoc = "/soap:Envelope/soap:Body/*[1]/*[local-name()='doc']";

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The document named `name` in the folder, or 0.
int32_t ExistingDocument(const Mailbox& mailbox, int32_t folderId, const std::string& name) {
    for (int32_t id : mailbox.ItemsIn(folderId)) {
        std::optional<MailItem> item = mailbox.Item(id);
        if (item && item->kind == ItemKind::Document && SameName(item->name, name))
            return id;
    }
    return 0;
}

SoapReply AlreadyExists(const Mailbox& mailbox, int32_t id, const std::string& name) {
    return SoapReply::Fault(
        "mail.ALREADY_EXISTS", "document with that name already exists: " + name,
        "<a n=\"itemId\" t=\"IID\">" + XmlEscape(mailbox.AccountId()) + ":" + std::to_string(id) + "</a>");
}

SoapReply Save(const SoapCall& call, Mailbox& mailbox) {
    if (!call.doc.Count(kDoc))
        throw MailboxError("service.INVALID_REQUEST", "missing doc");
    const std::string name = call.doc.Text(kDoc + "/@name").value_or("");
    const std::string uploadId = call.doc.Text(kDoc + "/*[local-name()='upload']/@id").value_or("");
    const std::string folderText = call.doc.Text(kDoc + "/@l").value_or(std::to_string(FolderId::Briefcase));
    int32_t folderId = 0;
    auto [ptr, ec] = std::from_chars(folderText.data(), folderText.data() + folderText.size(), folderId);
    if (ec != std::errc() || ptr != folderText.data() + folderText.size())
        throw MailboxError("service.INVALID_REQUEST", "invalid folder id: " + folderText);
    if (name.empty())
        throw MailboxError("service.INVALID_REQUEST", "missing document name");
    if (uploadId.empty())
        throw MailboxError("service.INVALID_REQUEST", "missing upload id");
    if (int32_t existing = ExistingDocument(mailbox, folderId, name))
        return AlreadyExists(mailbox, existing, name);

    UploadStore& uploads = call.server.State<UploadStore>();
    UploadStore::Upload upload = uploads.Take(uploadId);
    MailItem item;
    item.kind = ItemKind::Document;
    item.folderId = folderId;
    item.name = name;
    item.content = upload.content;
    int32_t id = 0;
    try {
        id = mailbox.AddItem(std::move(item));
    } catch (const MailboxError&) {
        uploads.Put(uploadId, std::move(upload));  // a refused save keeps the upload for another try
        int32_t existing = ExistingDocument(mailbox, folderId, name);
        if (existing)
            return AlreadyExists(mailbox, existing, name);
        throw;
    }
    SoapReply reply = SoapReply::Body("<SaveDocumentResponse xmlns=\"urn:ostrelMail\"><doc id=\"" + std::to_string(id) +
                                      "\" ver=\"1\" name=\"" + XmlEscape(name) + "\"/></SaveDocumentResponse>");
    reply.contextXml = mailbox.ChangeContext();
    return reply;
}

SoapEndpoint s_saveDocument("SaveDocumentRequest", [](const SoapCall& call) {
    std::optional<SoapReply> fault;
    std::string signedOn = RequireToken(call, fault);
    if (fault)
        return *fault;
    try {
        Mailboxes& boxes = MailboxesOf(call.server);
        std::shared_ptr<Mailbox> mailbox;
        if (!signedOn.empty() && !call.doc.Count("/soap:Envelope/soap:Header/l:context/l:account")) {
            if (auto account = call.server.State<AccountBook>().Find(signedOn)) {
                mailbox = boxes.Find(account->id);
                if (!mailbox)
                    mailbox = boxes.AddAccount(account->id, account->name);
            }
        }
        if (!mailbox)
            mailbox = boxes.ForRequest(call.doc);
        return Save(call, *mailbox);
    } catch (const MailboxError& e) {
        return SoapReply::Fault(e.Code(), e.what());
    }
});

}  // namespace

}  // namespace OstrelServer
