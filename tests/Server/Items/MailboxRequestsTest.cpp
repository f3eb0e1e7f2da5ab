// Folder, tag, message, contact, metadata and wait set requests against the simulator, with their
// effect on the mailbox.
#include "MailboxTestSupport.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/CreateContact.h"
#include "Ostrel/Rpc/Requests/CreateFolder.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/MailboxMetadata.h"
#include "Ostrel/Rpc/Requests/ModifyContact.h"
#include "Ostrel/Rpc/Requests/WaitRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Support/Wait.h"
#include "ostrel-server/WaitSets.h"

#include <future>

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class MailboxRequestsTest : public MailboxServerTest {
protected:
    std::wstring Upload(const std::string& subject) {
        std::string mime = "From: a@x.test\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
        return Platform::FromUtf8(server.State<OstrelServer::UploadStore>().Put(mime));
    }
};

const std::wstring kBody = L"/soap:Envelope/soap:Body/";

}  // namespace

TEST_F(MailboxRequestsTest, FoldersAndTags) {
    Ostrel::ACL acl(1);
    acl[0].m_wsGranteeId = L"all";
    acl[0].m_ulRights = Ostrel::ACL_RIGHT_READ | Ostrel::ACL_RIGHT_WRITE;
    CreateFolderRequest create(L"Suppliers", 1, MIT_CONTACT, &acl, 0, 1);
    auto created = Call<CreateFolderResponse>(create);
    ASSERT_TRUE(created);
    EXPECT_GT(created->FolderId(), 256);
    EXPECT_EQ(created->ParentFolderId(), 1);
    EXPECT_STREQ(created->FolderName(), L"Suppliers");
    auto folder = Mailbox().Folder(static_cast<int32_t>(created->FolderId()));
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->view, "contact");
    EXPECT_EQ(folder->flags, "#");
    ASSERT_EQ(folder->acl.size(), 1u);
    EXPECT_EQ(folder->acl[0].perm, "rw");

    // Asked again: the existing folder with "fie", a conflict without.
    CreateFolderRequest fetch(L"suppliers", 1, MIT_CONTACT, nullptr, 1, 0);
    auto fetched = Call<CreateFolderResponse>(fetch);
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->FolderId(), created->FolderId());
    CreateFolderRequest again(L"Suppliers", 1, MIT_MESSAGE, nullptr, 0, 0);
    EXPECT_THROW(Call(again), MailServiceException_ALREADY_EXISTS);
    CreateFolderRequest orphan(L"Lost", 9999, MIT_MESSAGE, nullptr, 0, 0);
    EXPECT_THROW(Call(orphan), SoapFaultResponse);

    CreateTagRequest tag(L"Urgent", 0x0080FF);
    auto tagged = Call<CreateTagResponse>(tag);
    ASSERT_TRUE(tagged);
    auto stored = Mailbox().Tag(static_cast<int32_t>(tagged->Id()));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->name, "Urgent");
    EXPECT_EQ(stored->rgb, "#FF8000");
    CreateTagRequest duplicate(L"urgent", kNoColor);
    EXPECT_THROW(Call(duplicate), MailServiceException_ALREADY_EXISTS);

    // A session that takes only ids tags by id.
    Features(0, 1, 0);
    TagIdList ids{static_cast<int32_t>(tagged->Id())};
    TagNameList names{L"Ignored"};
    ActionRequest byId(MIT_MESSAGE, 401, ActionRequest::OP_TAG, &ids, &names, 0);
    Call(byId);
    EXPECT_EQ(Mailbox().Item(401)->tags, std::vector<int32_t>{static_cast<int32_t>(tagged->Id())});
    EXPECT_FALSE(Mailbox().TagByName("Ignored"));
}

TEST_F(MailboxRequestsTest, StoredDraftedAndSentMessages) {
    MessageFlags flags;
    flags.Unread(1);
    TagNameList work{L"Work"};
    AddMsgRequest add(Upload("Re: Welcome to your mailbox").c_str(), L"1704500000000", 5, nullptr, &work, flags, 0, 0);
    auto added = Call<AddMsgResponse>(add);
    ASSERT_TRUE(added);
    auto message = Mailbox().Item(static_cast<int32_t>(added->Id()));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->folderId, 5);
    EXPECT_EQ(message->flags, "us");  // filtered as sent
    EXPECT_EQ(message->date, 1704500000000);
    EXPECT_EQ(message->tags, std::vector<int32_t>{64});
    EXPECT_EQ(message->convId, 400);
    // An upload is used once.
    EXPECT_THROW(Call(add), SoapFaultResponse);

    SaveDraftRequest draft(Upload("First draft").c_str(), 0, 0, TagIdList(), TagNameList());
    auto saved = Call<SaveDraftResponse>(draft);
    ASSERT_TRUE(saved);
    EXPECT_EQ(Mailbox().Item(static_cast<int32_t>(saved->Id()))->folderId, 6);
    SaveDraftRequest redraft(Upload("Second draft").c_str(), saved->Id(), 0, TagIdList(), TagNameList());
    auto resaved = Call<SaveDraftResponse>(redraft);
    ASSERT_TRUE(resaved);
    EXPECT_EQ(resaved->Id(), saved->Id());
    EXPECT_EQ(Mailbox().Item(static_cast<int32_t>(saved->Id()))->subject, "Second draft");

    SendMsgRequest send(Upload("Out it goes").c_str(), 77, 0, 0);
    Call<SendMsgResponse>(send);
    // The same send again (same suid) is not sent twice.
    SendMsgRequest resend(Upload("Out it goes").c_str(), 77, 0, 0);
    Call<SendMsgResponse>(resend);
    ASSERT_EQ(Mailbox().SentMessages().size(), 1u);
    EXPECT_NE(Mailbox().SentMessages()[0].find("Subject: Out it goes"), std::string::npos);
    EXPECT_EQ(Mailbox().ItemsIn(5).size(), 2u);  // noSave: no copy beside the seed's and the added one

    // The download endpoint delivers the mailbox's messages.
    auto source = server.State<OstrelServer::DownloadState>().Source();
    auto item = source->Find(401);
    ASSERT_TRUE(item);
    EXPECT_NE(item->body->Mime().find("Subject: Quarterly"), std::string::npos);
    EXPECT_EQ(item->meta.rfind("<m id=\"401\"", 0), 0u);
}

TEST_F(MailboxRequestsTest, ContactsAreCreatedAndModifiedInTheMailboxAndTheContactBook) {
    ContactAttributes attrs;
    attrs.put(L"firstName", L"Erik");
    attrs.put(L"userCertificate", L"CERT-A");
    ContactGroupMembers members;
    members.put(L'I', L"x@y.test");
    AttachmentDetails image;
    image.SetUploadToken(
        Platform::FromUtf8(server.State<OstrelServer::UploadStore>().Put("PNG", "image/png", "e.png")).c_str());
    image.SetFileName("erik.png");
    CreateContactRequest create(7, attrs, members, &image, TagIdList(), TagNameList{L"Family"}, 0);
    auto created = Call<CreateContactResponse>(create);
    ASSERT_TRUE(created);
    auto contact = Mailbox().Item(static_cast<int32_t>(created->Id()));
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->tags, std::vector<int32_t>{65});
    ASSERT_TRUE(contact->contact.image);
    EXPECT_EQ(contact->contact.image->fileName, "erik.png");
    EXPECT_EQ(contact->contact.image->contentType, "image/png");

    // Outside replace mode the certificates are cleared and given again; members start anew.
    ContactAttributes change;
    change.put(L"lastName", L"Berg");
    change.put(L"userCertificate", L"CERT-B");
    change.put(L"userCertificate", L"CERT-C");
    ContactGroupMembers others;
    others.put(L'C', L"420");
    ModifyContactRequest modify(0, 0, created->Id(), change, others, nullptr, TagNameList());
    Call<ModifyContactResponse>(modify);
    contact = Mailbox().Item(static_cast<int32_t>(created->Id()));
    using Attrs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(contact->contact.attrs, (Attrs{{"firstName", "Erik"},
                                             {"lastName", "Berg"},
                                             {"userCertificate", "CERT-B"},
                                             {"userCertificate", "CERT-C"}}));
    EXPECT_EQ(contact->contact.members, (Attrs{{"C", "420"}}));
    EXPECT_TRUE(contact->tags.empty());  // the empty tag name list clears them

    ModifyContactRequest replace(1, 0, created->Id(), change, others, nullptr, TagNameList());
    Call<ModifyContactResponse>(replace);
    contact = Mailbox().Item(static_cast<int32_t>(created->Id()));
    EXPECT_EQ(contact->contact.attrs,
              (Attrs{{"lastName", "Berg"}, {"userCertificate", "CERT-B"}, {"userCertificate", "CERT-C"}}));

    // GetContacts reads the same contact from the contact book.
    LONG ids[] = {created->Id()};
    const wchar_t* wanted[] = {L"lastName"};
    GetContactsRequest get(ids, 1, wanted, 1, 0);
    auto got = Call<GetContactsResponse>(get);
    ASSERT_TRUE(got);
    EXPECT_EQ(Attr(*got, L"//mail:cn", L"id"), std::to_wstring(created->Id()));
    EXPECT_EQ(Count(*got, L"//mail:cn/mail:a[@n='lastName']"), 1);

    ActionRequest trash(MIT_CONTACT, created->Id(), ActionRequest::OP_DELETE);
    Call<ActionResponse>(trash);
    EXPECT_THROW(Call(get), SoapFaultResponse);
    ModifyContactRequest gone(0, 0, created->Id(), change, others, nullptr, TagNameList());
    EXPECT_THROW(Call(gone), SoapFaultResponse);
}

TEST_F(MailboxRequestsTest, MetadataSectionsArriveWholeEvenWhenCompressed) {
    BESConfigAttributes attrs;
    for (uint32_t key = 1; key <= 40; ++key)
        attrs[key] = std::wstring(1000, static_cast<wchar_t>(L'a' + key % 26)) + L" & <" + std::to_wstring(key) + L">";
    SetMailboxMetadataRequest set(L"bes", &attrs);
    ASSERT_NE(BodyXml(set).find(L"n=\"compressed\""), std::wstring::npos);
    Call<SetMailboxMetadataResponse>(set);
    auto stored = Mailbox().Metadata("bes");
    ASSERT_EQ(stored.size(), 40u);
    EXPECT_EQ(stored["28"], std::string(1000, 'o') + " & <40>");

    GetMailboxMetadataRequest get(L"bes");
    auto got = Call(get);
    ASSERT_TRUE(got);
    EXPECT_EQ(Count(*got, kBody + L"mail:GetMailboxMetadataResponse/mail:meta/mail:a"), 40);

    // A damaged compressed section is refused and the stored one kept.
    class DamagedRequest : public ItemRequestBase {
    public:
        explicit DamagedRequest(const wchar_t* pwszHex) : ItemRequestBase(L"SetMailboxMetadataRequest") {
            CreateBody(L"SetMailboxMetadataRequest", L"urn:ostrelMail");
            auto meta = AddChild(Body(), L"meta");
            SetAttr(meta.Get(), L"section", L"bes");
            auto a = AddChild(meta.Get(), L"a");
            SetAttr(a.Get(), L"n", L"compressed");
            SetText(a.Get(), pwszHex);
        }
    };
    std::wstring good = BodyXml(set);
    size_t start = good.find(L"compressed\">") + 12;
    std::wstring hex = good.substr(start, good.find(L'<', start) - start);
    for (std::wstring bad : {hex.substr(0, hex.size() / 2), hex.substr(0, 40) + L"00" + hex.substr(42),
                             std::wstring(L"78ZZ"), std::wstring(L"789C")}) {
        DamagedRequest damaged(bad.c_str());
        EXPECT_THROW(Call(damaged), SoapFaultResponse);
    }
    EXPECT_EQ(Mailbox().Metadata("bes").size(), 40u);
}

TEST_F(MailboxRequestsTest, WaitSetsReportTheAccountsThatChanged) {
    const std::wstring account = Platform::FromUtf8(OstrelServer::Mailboxes::kDefaultAccountId);
    CreateWaitSetRequest create(L"all", 0);
    ASSERT_EQ(create.AddWaitAccount1(account.c_str(), L"m", nullptr), S_OK);
    ASSERT_EQ(create.AddWaitAccount1(L"not-an-account", nullptr, nullptr), S_OK);
    auto created = Call(create);
    ASSERT_TRUE(created);
    std::wstring waitSet = Attr(*created, kBody + L"mail:CreateWaitSetResponse", L"waitSet");
    EXPECT_EQ(Attr(*created, kBody + L"mail:CreateWaitSetResponse/mail:error", L"type"), L"NO_SUCH_ACCOUNT");

    auto wait = [&](const wchar_t* pwszBlock) {
        WaitSetRequest request(waitSet.c_str(), L"0", nullptr, 0, pwszBlock);
        auto response = Call(request);
        return response ? Count(*response, kBody + L"mail:WaitSetResponse/mail:a") : -1;
    };
    EXPECT_EQ(wait(nullptr), 0);
    // A contact is not a message: not reported for types "m".
    ActionRequest contact(MIT_CONTACT, 420, ActionRequest::OP_FLAG);
    Call(contact);
    EXPECT_EQ(wait(nullptr), 0);
    ActionRequest message(MIT_MESSAGE, 401, ActionRequest::OP_FLAG);
    Call(message);
    EXPECT_EQ(wait(nullptr), 1);
    EXPECT_EQ(wait(nullptr), 0);

    // A blocking wait returns when the change comes.
    // The previous call was a wait-set request too: wait for this one to arrive.
    const size_t cBefore = server.Requests().size();
    auto pending = std::async(std::launch::async, [&] { return wait(L"1"); });
    EXPECT_TRUE(TestSupport::WaitUntil([&] {
        const auto requests = server.Requests();
        return requests.size() > cBefore && requests.back().callName == "WaitSetRequest";
    })) << "the blocking wait-set request never reached the server";
    OstrelServer::MailItem item;
    item.mime = "Subject: pushed\r\n\r\n";
    Mailbox().AddItem(item);
    EXPECT_EQ(pending.get(), 1);

    DestroyWaitSetRequest destroy(waitSet.c_str(), 0);
    Call(destroy);
    EXPECT_EQ(server.State<OstrelServer::WaitSets>().Count(), 0u);
    EXPECT_THROW(Call(destroy), SoapFaultResponse);
}

TEST_F(MailboxRequestsTest, AdminWaitSetsWatchOtherAccounts) {
    auto& boxes = OstrelServer::MailboxesOf(server);
    auto other = boxes.AddAccount("acc-2", "other@ostrel.test");
    CreateWaitSetRequest create(L"all", 1);
    ASSERT_EQ(create.AddWaitAccount1(L"acc-2", nullptr, nullptr), S_OK);
    auto created = Call(create);
    ASSERT_TRUE(created);
    std::wstring waitSet = Attr(*created, kBody + L"admin:AdminCreateWaitSetResponse", L"waitSet");

    WaitSetRequest add(waitSet.c_str(), L"0", nullptr, 1, nullptr);
    ASSERT_EQ(
        add.InsertAddNode(Platform::FromUtf8(OstrelServer::Mailboxes::kDefaultAccountId).c_str(), nullptr, nullptr),
        S_OK);
    auto none = Call(add);
    ASSERT_TRUE(none);
    EXPECT_EQ(Count(*none, kBody + L"admin:AdminWaitSetResponse/admin:a"), 0);

    other->AddTag("Theirs");
    WaitSetRequest poll(waitSet.c_str(), L"1", nullptr, 1, nullptr);
    auto changed = Call(poll);
    ASSERT_TRUE(changed);
    EXPECT_EQ(Count(*changed, kBody + L"admin:AdminWaitSetResponse/admin:a"), 1);
    EXPECT_EQ(Attr(*changed, kBody + L"admin:AdminWaitSetResponse/admin:a", L"id"), L"acc-2");

    // A user's wait set cannot watch another account, nor use an admin wait set.
    CreateWaitSetRequest user(L"all", 0);
    user.AddWaitAccount1(L"acc-2", nullptr, nullptr);
    auto refused = Call(user);
    ASSERT_TRUE(refused);
    EXPECT_EQ(Attr(*refused, kBody + L"mail:CreateWaitSetResponse/mail:error", L"type"), L"PERM_DENIED");
    WaitSetRequest wrongKind(waitSet.c_str(), L"1", nullptr, 0, nullptr);
    EXPECT_THROW(Call(wrongKind), SoapFaultResponse);
}

TEST_F(MailboxRequestsTest, GlobalAddressListRequests) {
    SyncGalRequest first(nullptr);
    auto all = Call<SyncGalResponse>(first);
    ASSERT_TRUE(all);
    EXPECT_EQ(Count(*all, kBody + L"account:SyncGalResponse/account:cn"), 100);
    wchar_t* pwszToken = all->SyncToken();
    ASSERT_NE(pwszToken, nullptr);
    SyncGalRequest next(pwszToken);
    MAPIFreeBuffer(pwszToken);
    auto none = Call<SyncGalResponse>(next);
    ASSERT_TRUE(none);
    EXPECT_EQ(Count(*none, kBody + L"account:SyncGalResponse/account:cn"), 0);

    SearchGalRequest search(L"room 24");
    auto found = Call<SearchGalResponse>(search);
    ASSERT_TRUE(found);
    EXPECT_EQ(Attr(*found, L"//account:cn/account:a[@n='fullName']", L"n"), L"fullName");
    EXPECT_EQ(Count(*found, L"//account:cn"), 1);
}
