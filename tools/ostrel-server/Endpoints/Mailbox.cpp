// The item and folder calls on the account's mailbox (Mailbox.h) and the wait sets (WaitSets.h).
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/WaitSets.h"

namespace OstrelServer {

namespace {

// Runs a call; a MailboxError is answered with its fault.
template <class F>
SoapHandler Guarded(F f) {
    return [f](const SoapCall& call) {
        try {
            return f(call);
        } catch (const MailboxError& e) {
            return SoapReply::Fault(e.Code(), e.what());
        }
    };
}

Mailbox& MailboxFor(const SoapCall& call) { return *MailboxesOf(call.server).ForRequest(call.doc); }
UploadStore& Uploads(const SoapCall& call) { return call.server.State<UploadStore>(); }

SoapEndpoint s_sync("SyncRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapSync(c.doc); }));
SoapEndpoint s_folderAction("FolderActionRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapAction(c.doc); }));
SoapEndpoint s_msgAction("MsgActionRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapAction(c.doc); }));
SoapEndpoint s_contactAction("ContactActionRequest",
                             Guarded([](const SoapCall& c) { return MailboxFor(c).SoapAction(c.doc); }));
SoapEndpoint s_itemAction("ItemActionRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapAction(c.doc); }));
SoapEndpoint s_createFolder("CreateFolderRequest",
                            Guarded([](const SoapCall& c) { return MailboxFor(c).SoapCreateFolder(c.doc); }));
SoapEndpoint s_createTag("CreateTagRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapCreateTag(c.doc); }));
SoapEndpoint s_addMsg("AddMsgRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapAddMsg(c.doc, Uploads(c)); }));
SoapEndpoint s_saveDraft("SaveDraftRequest",
                         Guarded([](const SoapCall& c) { return MailboxFor(c).SoapSaveDraft(c.doc, Uploads(c)); }));
SoapEndpoint s_sendMsg("SendMsgRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapSendMsg(c.doc, Uploads(c)); }));
SoapEndpoint s_createContact("CreateContactRequest",
                             Guarded([](const SoapCall& c) { return MailboxFor(c).SoapCreateContact(c.doc, Uploads(c)); }));
SoapEndpoint s_modifyContact("ModifyContactRequest",
                             Guarded([](const SoapCall& c) { return MailboxFor(c).SoapModifyContact(c.doc, Uploads(c)); }));
SoapEndpoint s_getItem("GetItemRequest", Guarded([](const SoapCall& c) { return MailboxFor(c).SoapGetItem(c.doc); }));
SoapEndpoint s_getMetadata("GetMailboxMetadataRequest",
                           Guarded([](const SoapCall& c) { return MailboxFor(c).SoapGetMetadata(c.doc); }));
SoapEndpoint s_setMetadata("SetMailboxMetadataRequest",
                           Guarded([](const SoapCall& c) { return MailboxFor(c).SoapSetMetadata(c.doc); }));

SoapHandler WaitCall(SoapReply (WaitSets::*op)(const SoapDocument&, Server&, bool), bool admin) {
    return Guarded([op, admin](const SoapCall& c) { return (c.server.State<WaitSets>().*op)(c.doc, c.server, admin); });
}

SoapEndpoint s_createWaitSet("CreateWaitSetRequest", WaitCall(&WaitSets::Create, false));
SoapEndpoint s_adminCreateWaitSet("AdminCreateWaitSetRequest", WaitCall(&WaitSets::Create, true));
SoapEndpoint s_waitSet("WaitSetRequest", WaitCall(&WaitSets::Wait, false));
SoapEndpoint s_adminWaitSet("AdminWaitSetRequest", WaitCall(&WaitSets::Wait, true));
SoapEndpoint s_destroyWaitSet("DestroyWaitSetRequest",
                              Guarded([](const SoapCall& c) { return c.server.State<WaitSets>().Destroy(c.doc, false); }));
SoapEndpoint s_adminDestroyWaitSet("AdminDestroyWaitSetRequest",
                                   Guarded([](const SoapCall& c) { return c.server.State<WaitSets>().Destroy(c.doc, true); }));

}  // namespace

}  // namespace OstrelServer
