// The mailbox's answers to the item and folder requests. Each reads its request, checks it
// completely, then changes the mailbox under its lock; every reply carries the change token.
#include "MailboxData.h"

#include "Endpoint.h"
#include "Soap.h"

#include <set>

namespace OstrelServer {

namespace {

const std::string kBody = "/soap:Envelope/soap:Body/*[1]";

// Request children may be in the call's namespace or in none: matched by local name.
std::string Child(const std::string& parent, const char* name) {
    return parent + "/*[local-name()='" + name + "']";
}
std::string Nth(const std::string& path, size_t i) {
    return "(" + path + ")[" + std::to_string(i) + "]";
}

std::optional<std::string> Attr(const SoapDocument& doc, const std::string& path, const char* name) {
    return doc.Text(path + "/@" + name);
}

int32_t IdValue(const std::string& text, const char* what) {
    auto value = ParseInt64(text);
    if (!value || *value < INT32_MIN || *value > INT32_MAX)
        throw MailboxError("service.INVALID_REQUEST", std::string("invalid ") + what + ": '" + text + "'");
    return static_cast<int32_t>(*value);
}

int32_t RequiredId(const SoapDocument& doc, const std::string& path, const char* name, const char* what) {
    auto text = Attr(doc, path, name);
    if (!text)
        throw MailboxError("service.INVALID_REQUEST", std::string("missing ") + what);
    return IdValue(*text, what);
}

std::string Response(const std::string& callName) {
    return callName.substr(0, callName.size() - std::char_traits<char>::length("Request")) + "Response";
}

SoapReply Reply(std::string bodyXml, uint64_t rev) {
    SoapReply reply = SoapReply::Body(std::move(bodyXml));
    reply.contextXml = "<change token=\"" + std::to_string(rev) + "\"/>";
    return reply;
}

std::vector<MailGrant> ReadGrants(const SoapDocument& doc, const std::string& acl) {
    std::vector<MailGrant> grants;
    std::string grant = Child(acl, "grant");
    size_t count = doc.Count(grant);
    for (size_t i = 1; i <= count; ++i) {
        std::string g = Nth(grant, i);
        MailGrant out;
        out.gt = Attr(doc, g, "gt").value_or("");
        out.oid = Attr(doc, g, "oid").value_or("");
        out.d = Attr(doc, g, "d").value_or("");
        out.pw = Attr(doc, g, "pw").value_or("");
        out.perm = Attr(doc, g, "perm").value_or("");
        static const std::set<std::string> kGranteeTypes = {"usr", "grp", "dom", "cos", "all", "pub", "guest", "key"};
        if (!kGranteeTypes.count(out.gt))
            throw MailboxError("service.INVALID_REQUEST", "invalid grantee type: " + out.gt);
        if (out.perm.find_first_not_of("rwidaxp") != std::string::npos)
            throw MailboxError("service.INVALID_REQUEST", "invalid rights: " + out.perm);
        grants.push_back(std::move(out));
    }
    return grants;
}

std::string CheckRgb(const std::string& rgb) {
    if (rgb.size() != 7 || rgb[0] != '#' || rgb.find_first_not_of("0123456789ABCDEFabcdef", 1) != std::string::npos)
        throw MailboxError("service.INVALID_REQUEST", "invalid colour: " + rgb);
    return rgb;
}

// A folder's view is echoed into every later sync: only the views a folder may have pass.
std::string CheckView(const std::string& view) {
    static const char* const kViews[] = {"",     "message", "contact",      "appointment", "task", "document",
                                         "wiki", "search",  "conversation", "remote",      "chat", "unknown"};
    for (const char* known : kViews) {
        if (view == known)
            return view;
    }
    throw MailboxError("service.INVALID_REQUEST", "invalid view: " + view);
}

int64_t Milliseconds(const std::optional<std::string>& text) {
    if (!text)
        return 0;
    auto value = ParseInt64(*text);
    if (!value || *value < 0)
        throw MailboxError("service.INVALID_REQUEST", "invalid date: " + *text);
    return *value;
}

// The attributes of an action besides its ids and operation.
struct ActionArgs {
    std::string op;
    std::optional<int32_t> folder;
    std::optional<std::string> name;
    std::optional<std::string> flags;
    std::optional<std::string> tagIds;
    std::optional<std::string> tagNames;
    std::optional<std::string> rgb;
    std::optional<std::string> view;
    std::optional<std::vector<MailGrant>> acl;
};

}  // namespace

SoapReply Mailbox::SoapSync(const SoapDocument& doc) const {
    SyncOptions options;
    if (auto token = Attr(doc, kBody, "token")) {
        auto value = ParseInt64(*token);
        if (!value || *value < 0)
            throw MailboxError("mail.MUST_RESYNC", "invalid sync token: '" + *token + "'");
        options.token = static_cast<uint64_t>(*value);
    }
    if (auto folder = Attr(doc, kBody, "l"))
        options.folderId = IdValue(*folder, "folder id");
    if (auto cutoff = Attr(doc, kBody, "calCutoff")) {
        auto value = ParseInt64(*cutoff);
        if (!value)
            throw MailboxError("service.INVALID_REQUEST", "invalid calCutoff: " + *cutoff);
        options.calCutoff = *value;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return Reply(m_pData->WriteSync(options), m_pData->rev);
}

SoapReply Mailbox::SoapAction(const SoapDocument& doc) {
    const std::string& call = doc.CallName();
    const std::string action = Child(kBody, "action");
    auto idText = Attr(doc, action, "id");
    if (!idText)
        throw MailboxError("service.INVALID_REQUEST", "missing action id");
    std::vector<int32_t> ids = ParseIdList(*idText, "item id");
    ActionArgs args;
    args.op = Lower(Attr(doc, action, "op").value_or(""));
    if (auto l = Attr(doc, action, "l"))
        args.folder = IdValue(*l, "folder id");
    args.name = Attr(doc, action, "name");
    args.flags = Attr(doc, action, "f");
    args.tagIds = Attr(doc, action, "t");
    args.tagNames = Attr(doc, action, "tn");
    if ((args.rgb = Attr(doc, action, "rgb")))
        CheckRgb(*args.rgb);
    if ((args.view = Attr(doc, action, "view")))
        CheckView(*args.view);
    if (doc.Count(Child(action, "acl")))
        args.acl = ReadGrants(doc, Child(action, "acl"));
    const bool bFolders = call == "FolderActionRequest";

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        // Every id must be of the kind the request names before anything changes.
        for (int32_t id : ids) {
            if (bFolders) {
                d.FolderOrThrow(id);
                continue;
            }
            const char* missing = call == "MsgActionRequest"       ? "mail.NO_SUCH_MSG"
                                  : call == "ContactActionRequest" ? "mail.NO_SUCH_CONTACT"
                                                                   : "mail.NO_SUCH_ITEM";
            MailItem& item = d.ItemOrThrow(id, missing);
            if ((call == "MsgActionRequest" && item.kind != ItemKind::Message) ||
                (call == "ContactActionRequest" && item.kind != ItemKind::Contact))
                throw MailboxError(missing, "no such item: " + std::to_string(id));
        }
        auto needs = [&](bool present, const char* what) {
            if (!present)
                throw MailboxError("service.INVALID_REQUEST", "the " + args.op + " action needs " + what);
        };
        auto tagList = [&](bool create) {
            needs(args.tagIds || args.tagNames, "tags");
            return args.tagNames ? d.TagNames(*args.tagNames, create) : d.TagIds(*args.tagIds);
        };
        auto setTags = [&](MailItem& item, const std::vector<int32_t>& tags, bool on) {
            for (int32_t tag : tags) {
                auto at = std::find(item.tags.begin(), item.tags.end(), tag);
                if (on && at == item.tags.end())
                    item.tags.push_back(tag);
                else if (!on && at != item.tags.end())
                    item.tags.erase(at);
            }
        };
        // The items an action on a folder applies to: those directly inside it.
        auto contained = [&](int32_t folderId) {
            std::vector<MailItem*> out;
            for (auto& [id, item] : d.items)
                if (item.folderId == folderId)
                    out.push_back(&item);
            return out;
        };

        for (int32_t id : ids) {
            const std::string& op = args.op;
            if (bFolders) {
                MailFolder& folder = d.FolderOrThrow(id);
                if (op == "delete") {
                    d.DeleteFolder(id);
                } else if (op == "read" || op == "!read") {
                    for (MailItem* item : contained(id))
                        if (item->kind == ItemKind::Message &&
                            (item->flags.find('u') != std::string::npos) == (op == "read")) {
                            item->flags = WithFlag(item->flags, 'u', op == "!read");
                            d.Modified(*item);
                        }
                } else if (op == "tag" || op == "!tag") {
                    std::vector<int32_t> tags = tagList(op == "tag");
                    for (MailItem* item : contained(id)) {
                        setTags(*item, tags, op == "tag");
                        d.Modified(*item);
                    }
                } else if (op == "move") {
                    needs(args.folder.has_value(), "a folder");
                    d.MoveFolder(folder, *args.folder);
                } else if (op == "rename" || op == "update") {
                    if (op == "rename")
                        needs(args.name.has_value(), "a name");
                    int32_t parent = args.folder.value_or(folder.parentId);
                    std::string name = args.name.value_or(folder.name);
                    if (folder.id < kFirstUserId && (parent != folder.parentId || name != folder.name))
                        throw MailboxError("mail.IMMUTABLE_OBJECT", "cannot move or rename a system folder");
                    d.FolderOrThrow(parent);
                    if (parent != folder.parentId && d.InSubtree(parent, folder.id))
                        throw MailboxError("mail.CANNOT_CONTAIN", "a folder cannot be moved into itself");
                    d.CheckFolderName(parent, name, folder.id);
                    folder.parentId = parent;
                    folder.name = name;
                    if (args.flags)
                        folder.flags = *args.flags;
                    if (args.rgb)
                        folder.rgb = *args.rgb;
                    if (args.view)
                        folder.view = *args.view;
                    if (args.acl)
                        folder.acl = *args.acl;
                    folder.rev = d.Touch('f');
                    if (folder.view == "contact" && d.pBook)
                        d.pBook->AddFolder(folder.id, folder.name);
                } else {
                    throw MailboxError("service.INVALID_REQUEST", "unsupported folder action: '" + op + "'");
                }
                continue;
            }

            MailItem& item = d.items.at(id);
            if (op == "delete") {
                d.DeleteItem(id);
            } else if (op == "read" || op == "!read" || op == "flag" || op == "!flag") {
                item.flags = WithFlag(item.flags, op.back() == 'd' ? 'u' : 'f', op == "!read" || op == "flag");
                d.Modified(item);
            } else if (op == "tag" || op == "!tag") {
                setTags(item, tagList(op == "tag"), op == "tag");
                d.Modified(item);
            } else if (op == "move") {
                needs(args.folder.has_value(), "a folder");
                d.MoveItem(item, *args.folder);
            } else if (op == "rename" || op == "update") {
                if (op == "rename")
                    needs(args.name.has_value(), "a name");
                int32_t folderId = args.folder.value_or(item.folderId);
                d.FolderOrThrow(folderId);
                if (args.name) {
                    if (item.kind == ItemKind::Message || item.kind == ItemKind::Contact)
                        throw MailboxError("service.INVALID_REQUEST", "only documents and calendar items have names");
                    d.CheckItemName(item, folderId, *args.name);
                    if (*args.name != item.name && item.kind == ItemKind::Document)
                        ++item.version;
                    item.name = *args.name;
                } else {
                    d.CheckItemName(item, folderId, item.name);
                }
                if (args.flags)
                    item.flags = *args.flags;
                if (args.tagIds || args.tagNames)
                    item.tags = tagList(true);
                int32_t from = item.folderId;
                item.folderId = folderId;
                d.Modified(item);
                if (from != folderId)
                    d.moves.push_back({item.id, from, item.rev});
            } else {
                throw MailboxError("service.INVALID_REQUEST", "unsupported action: '" + op + "'");
            }
        }
    }
    Notify();
    std::string response = Response(call);
    return Reply("<" + response + " xmlns=\"urn:ostrelMail\"><action id=\"" + XmlEscape(*idText) + "\" op=\"" +
                     XmlEscape(args.op) + "\"/></" + response + ">",
                 Revision());
}

SoapReply Mailbox::SoapCreateFolder(const SoapDocument& doc) {
    const std::string f = Child(kBody, "folder");
    if (!doc.Count(f))
        throw MailboxError("service.INVALID_REQUEST", "missing folder");
    MailFolder folder;
    folder.name = Attr(doc, f, "name").value_or("");
    folder.parentId = RequiredId(doc, f, "l", "parent folder id");
    folder.view = CheckView(Attr(doc, f, "view").value_or(""));
    folder.flags = Attr(doc, f, "f").value_or("");
    if (auto rgb = Attr(doc, f, "rgb"))
        folder.rgb = CheckRgb(*rgb);
    if (doc.Count(Child(f, "acl")))
        folder.acl = ReadGrants(doc, Child(f, "acl"));
    bool fetchIfExists = Attr(doc, f, "fie").value_or("") == "1";

    std::string xml;
    uint64_t rev;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        d.FolderOrThrow(folder.parentId);
        const MailFolder* existing = d.FindFolderNamed(folder.parentId, folder.name);
        int32_t id;
        if (existing && fetchIfExists) {
            id = existing->id;
        } else {
            std::string view = folder.view;
            std::string name = folder.name;
            id = d.AddFolder(std::move(folder));
            changed = true;
            if (view == "contact" && d.pBook)
                d.pBook->AddFolder(id, name);
        }
        size_t count = 0;
        for (const auto& [itemId, item] : d.items)
            count += item.folderId == id;
        xml = "<CreateFolderResponse xmlns=\"urn:ostrelMail\">" + d.FolderOpen(d.folders.at(id), count) +
              "</folder></CreateFolderResponse>";
        rev = d.rev;
    }
    if (changed)
        Notify();
    return Reply(std::move(xml), rev);
}

SoapReply Mailbox::SoapCreateTag(const SoapDocument& doc) {
    const std::string t = Child(kBody, "tag");
    std::string name = Attr(doc, t, "name").value_or("");
    std::string rgb;
    if (auto value = Attr(doc, t, "rgb"))
        rgb = CheckRgb(*value);
    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int32_t id = m_pData->AddTag(name, rgb);
        xml = "<CreateTagResponse xmlns=\"urn:ostrelMail\">" + m_pData->TagXml(m_pData->tags.at(id)) +
              "</CreateTagResponse>";
        rev = m_pData->rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

SoapReply Mailbox::SoapAddMsg(const SoapDocument& doc, UploadStore& uploads) {
    const std::string m = Child(kBody, "m");
    auto aid = Attr(doc, m, "aid");
    if (!aid)
        throw MailboxError("service.INVALID_REQUEST", "missing upload id");
    MailItem item;
    item.folderId = Attr(doc, m, "l") ? RequiredId(doc, m, "l", "folder id") : FolderId::Inbox;
    item.flags = Attr(doc, m, "f").value_or("");
    if (Attr(doc, kBody, "filterSent").value_or("") == "1")
        item.flags = WithFlag(item.flags, 's', true);
    item.date = Milliseconds(Attr(doc, m, "d"));
    auto tagIds = Attr(doc, m, "t");
    auto tagNames = Attr(doc, m, "tn");

    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        d.FolderOrThrow(item.folderId);
        item.tags = tagNames ? d.TagNames(*tagNames, true) : d.TagIds(tagIds.value_or(""));
        item.mime = uploads.Take(*aid).content;
        int32_t id = d.AddItem(std::move(item));
        xml = "<AddMsgResponse xmlns=\"urn:ostrelMail\">" + d.ItemXml(d.items.at(id)) + "</AddMsgResponse>";
        rev = d.rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

SoapReply Mailbox::SoapSaveDraft(const SoapDocument& doc, UploadStore& uploads) {
    const std::string m = Child(kBody, "m");
    auto aid = Attr(doc, m, "aid");
    if (!aid)
        throw MailboxError("service.INVALID_REQUEST", "missing upload id");
    int32_t draftId = Attr(doc, m, "id") ? RequiredId(doc, m, "id", "draft id") : 0;
    auto tagIds = Attr(doc, m, "t");
    auto tagNames = Attr(doc, m, "tn");

    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        MailItem* draft = nullptr;
        if (draftId > 0) {
            draft = &d.ItemOrThrow(draftId, "mail.NO_SUCH_MSG");
            if (draft->kind != ItemKind::Message)
                throw MailboxError("mail.NO_SUCH_MSG", "no such message: " + std::to_string(draftId));
        }
        std::optional<std::vector<int32_t>> tags;
        if (tagNames || tagIds)
            tags = tagNames ? d.TagNames(*tagNames, true) : d.TagIds(*tagIds);
        std::string mime = uploads.Take(*aid).content;
        if (draft) {
            draft->body = MessageBody::Make(std::move(mime));
            draft->subject = SubjectOf(draft->body->Mime());
            draft->flags = WithFlag(draft->flags, 'd', true);
            if (tags)
                draft->tags = *tags;
            d.Modified(*draft);
        } else {
            MailItem item;
            item.folderId = FolderId::Drafts;
            item.flags = "d";
            item.mime = std::move(mime);
            item.tags = tags.value_or(std::vector<int32_t>());
            draftId = d.AddItem(std::move(item));
        }
        xml = "<SaveDraftResponse xmlns=\"urn:ostrelMail\">" + d.ItemXml(d.items.at(draftId)) + "</SaveDraftResponse>";
        rev = d.rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

SoapReply Mailbox::SoapSendMsg(const SoapDocument& doc, UploadStore& uploads) {
    const std::string m = Child(kBody, "m");
    auto aid = Attr(doc, m, "aid");
    if (!aid)
        throw MailboxError("service.INVALID_REQUEST", "missing upload id");
    std::string suid = Attr(doc, kBody, "suid").value_or("");
    bool keepCopy = Attr(doc, kBody, "noSave").value_or("") != "1";

    std::string xml;
    uint64_t rev;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Data& d = *m_pData;
        // A send repeated with the same suid is answered as before and not sent again.
        if (auto it = d.sendReplies.find(suid); !suid.empty() && it != d.sendReplies.end())
            return Reply(it->second, d.rev);
        std::string mime = uploads.Take(*aid).content;
        d.sent.push_back(mime);
        std::string saved;
        if (keepCopy) {
            MailItem copy;
            copy.folderId = FolderId::Sent;
            copy.flags = "s";
            copy.mime = std::move(mime);
            saved = " id=\"" + std::to_string(d.AddItem(std::move(copy))) + "\"";
        }
        xml = "<SendMsgResponse xmlns=\"urn:ostrelMail\"><m" + saved + "/></SendMsgResponse>";
        if (!suid.empty())
            d.sendReplies[suid] = xml;
        rev = d.rev;
    }
    Notify();
    return Reply(std::move(xml), rev);
}

}  // namespace OstrelServer
