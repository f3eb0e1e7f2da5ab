// The item and folder calls on the account's mailbox (Mailbox.h) and the wait sets (WaitSets.h).
// Once the server has accounts (Accounts.h) every call needs a valid token.
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/WaitSets.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace OstrelServer {

namespace {

// The mailbox a call is for: the account named in its header, else the signed-on account's
// (made on first use), else the default account's when the server has no accounts.
Mailbox& MailboxFor(const SoapCall& call, const std::string& signedOn) {
    Mailboxes& boxes = MailboxesOf(call.server);
    if (!signedOn.empty() && !call.doc.Count("/soap:Envelope/soap:Header/l:context/l:account")) {
        if (auto account = call.server.State<AccountBook>().Find(signedOn)) {
            std::shared_ptr<Mailbox> mailbox = boxes.Find(account->id);
            return mailbox ? *mailbox : *boxes.AddAccount(account->id, account->name);
        }
    }
    return *boxes.ForRequest(call.doc);
}

// Runs a call on its mailbox once its token is accepted; a MailboxError is answered with its fault.
template <class F>
SoapHandler Guarded(F f) {
    return [f](const SoapCall& call) {
        std::optional<SoapReply> fault;
        std::string signedOn = RequireToken(call, fault);
        if (fault)
            return *fault;
        try {
            return f(call, MailboxFor(call, signedOn));
        } catch (const MailboxError& e) {
            return SoapReply::Fault(e.Code(), e.what());
        }
    };
}

UploadStore& Uploads(const SoapCall& call) {
    return call.server.State<UploadStore>();
}

SoapEndpoint s_sync("SyncRequest", Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapSync(c.doc); }));
SoapEndpoint s_folderAction("FolderActionRequest",
                            Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapAction(c.doc); }));
SoapEndpoint s_msgAction("MsgActionRequest",
                         Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapAction(c.doc); }));
SoapEndpoint s_contactAction("ContactActionRequest",
                             Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapAction(c.doc); }));
// Deleting an item the mailbox does not hold deletes the appointment or task of that id from the
// calendar (Calendar.h).
SoapEndpoint s_itemAction("ItemActionRequest", Guarded([](const SoapCall& c, Mailbox& m) {
                              try {
                                  return m.SoapAction(c.doc);
                              } catch (const MailboxError& e) {
                                  const auto op = c.doc.Text("/soap:Envelope/soap:Body/*[1]/*[1]/@op");
                                  const auto id = c.doc.Text("/soap:Envelope/soap:Body/*[1]/*[1]/@id");
                                  char* pEnd = nullptr;
                                  const long lId = id ? std::strtol(id->c_str(), &pEnd, 10) : 0;
                                  if (e.Code() != "mail.NO_SUCH_ITEM" || !op || *op != "delete" || !pEnd ||
                                      *pEnd != '\0' || lId <= 0 || lId > INT32_MAX ||
                                      !c.server.State<CalendarBook>().Remove(static_cast<int32_t>(lId)))
                                      throw;
                                  return SoapReply::Body("<ItemActionResponse xmlns=\"urn:ostrelMail\"><action id=\"" +
                                                         std::to_string(lId) +
                                                         "\" op=\"delete\"/></ItemActionResponse>");
                              }
                          }));
SoapEndpoint s_createFolder("CreateFolderRequest",
                            Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapCreateFolder(c.doc); }));
SoapEndpoint s_createTag("CreateTagRequest",
                         Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapCreateTag(c.doc); }));
SoapEndpoint s_addMsg("AddMsgRequest",
                      Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapAddMsg(c.doc, Uploads(c)); }));
SoapEndpoint s_saveDraft("SaveDraftRequest",
                         Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapSaveDraft(c.doc, Uploads(c)); }));
SoapEndpoint s_sendMsg("SendMsgRequest",
                       Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapSendMsg(c.doc, Uploads(c)); }));
SoapEndpoint s_createContact("CreateContactRequest", Guarded([](const SoapCall& c, Mailbox& m) {
                                 return m.SoapCreateContact(c.doc, Uploads(c));
                             }));
SoapEndpoint s_modifyContact("ModifyContactRequest", Guarded([](const SoapCall& c, Mailbox& m) {
                                 return m.SoapModifyContact(c.doc, Uploads(c));
                             }));
SoapEndpoint s_getItem("GetItemRequest", Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapGetItem(c.doc); }));
SoapEndpoint s_getMetadata("GetMailboxMetadataRequest",
                           Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapGetMetadata(c.doc); }));
SoapEndpoint s_setMetadata("SetMailboxMetadataRequest",
                           Guarded([](const SoapCall& c, Mailbox& m) { return m.SoapSetMetadata(c.doc); }));

SoapHandler WaitCall(SoapReply (WaitSets::*op)(const SoapDocument&, Server&, const Mailbox&, bool), bool admin) {
    return Guarded([op, admin](const SoapCall& c, Mailbox& m) {
        return (c.server.State<WaitSets>().*op)(c.doc, c.server, m, admin);
    });
}

SoapEndpoint s_createWaitSet("CreateWaitSetRequest", WaitCall(&WaitSets::Create, false));
SoapEndpoint s_adminCreateWaitSet("AdminCreateWaitSetRequest", WaitCall(&WaitSets::Create, true));
SoapEndpoint s_waitSet("WaitSetRequest", WaitCall(&WaitSets::Wait, false));
SoapEndpoint s_adminWaitSet("AdminWaitSetRequest", WaitCall(&WaitSets::Wait, true));
SoapEndpoint s_destroyWaitSet("DestroyWaitSetRequest", Guarded([](const SoapCall& c, Mailbox&) {
                                  return c.server.State<WaitSets>().Destroy(c.doc, false);
                              }));
SoapEndpoint s_adminDestroyWaitSet("AdminDestroyWaitSetRequest", Guarded([](const SoapCall& c, Mailbox&) {
                                       return c.server.State<WaitSets>().Destroy(c.doc, true);
                                   }));

}  // namespace

}  // namespace OstrelServer
