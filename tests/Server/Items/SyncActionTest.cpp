// Synchronisation and item actions against the simulator: what an action changes is seen by the
// next sync from the token, and a sync from the newest token sees nothing.
#include "MailboxTestSupport.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class SyncActionTest : public MailboxServerTest {
protected:
    // A sync from the token (a full one without); the new token is stored.
    std::unique_ptr<SyncResponse> Sync(long folderId = 0) {
        SyncRequest request(token.empty() ? nullptr : token.c_str(), folderId, 0);
        auto response = Call<SyncResponse>(request);
        wchar_t* pwszToken = response ? response->SyncToken() : nullptr;
        EXPECT_NE(pwszToken, nullptr);
        if (pwszToken) {
            token = pwszToken;
            MAPIFreeBuffer(pwszToken);
        }
        return response;
    }

    std::wstring token;
};

const std::wstring kSync = L"/soap:Envelope/soap:Body/mail:SyncResponse";

}  // namespace

TEST_F(SyncActionTest, AFullSyncHoldsTheTreeAndADeltaOnlyTheChanges) {
    auto full = Sync();
    ASSERT_TRUE(full);
    EXPECT_EQ(Attr(*full, kSync + L"/mail:folder", L"name"), L"USER_ROOT");
    EXPECT_EQ(Attr(*full, kSync + L"//mail:folder[@id='300']", L"f"), L"#");
    EXPECT_EQ(Attr(*full, kSync + L"//mail:folder[@id='300']/mail:acl/mail:grant", L"perm"), L"rwid");
    EXPECT_EQ(Attr(*full, kSync + L"//mail:folder[@id='300']/mail:folder[@id='301']", L"name"), L"Archive");
    EXPECT_EQ(Attr(*full, kSync + L"//mail:folder[@id='2']/mail:m[@id='400']", L"tn"), L"Work");
    EXPECT_EQ(Attr(*full, kSync + L"/mail:tag[@id='65']", L"rgb"), L"#00AA00");
    // A reply and its original share a conversation.
    EXPECT_EQ(Attr(*full, kSync + L"//mail:m[@id='402']", L"cid"), L"401");
    EXPECT_EQ(Count(*full, kSync + L"//mail:doc"), 3);
    EXPECT_EQ(Count(*full, kSync + L"//mail:cn"), 2);

    auto nothing = Sync();
    ASSERT_TRUE(nothing);
    EXPECT_EQ(Count(*nothing, kSync + L"/*"), 0);

    ActionRequest flag(MIT_MESSAGE, 401, ActionRequest::OP_FLAG);
    auto flagged = Call<ActionResponse>(flag);
    ASSERT_TRUE(flagged);
    EXPECT_EQ(Attr(*flagged, L"//mail:MsgActionResponse/mail:action", L"op"), L"flag");
    EXPECT_EQ(Mailbox().Item(401)->flags, "f");
    ActionRequest del(MIT_MESSAGE, 400, ActionRequest::OP_DELETE);
    Call<ActionResponse>(del);
    EXPECT_FALSE(Mailbox().Item(400));

    auto delta = Sync();
    ASSERT_TRUE(delta);
    EXPECT_EQ(Count(*delta, kSync + L"/*"), 2);
    EXPECT_EQ(Attr(*delta, kSync + L"/mail:deleted", L"ids"), L"400");
    EXPECT_EQ(Attr(*delta, kSync + L"/mail:m", L"id"), L"401");
    EXPECT_EQ(Attr(*delta, kSync + L"/mail:m", L"f"), L"f");
    auto again = Sync();
    ASSERT_TRUE(again);
    EXPECT_EQ(Count(*again, kSync + L"/*"), 0);
}

TEST_F(SyncActionTest, MovesTagsReadMarksAndFolderActions) {
    Sync(300);
    ActionRequest move(MIT_MESSAGE, 402, ActionRequest::OP_MOVE, 2, nullptr);
    Call<ActionResponse>(move);
    TagNameList names{L"Urgent"};
    ActionRequest tag(MIT_MESSAGE, 401, ActionRequest::OP_TAG, nullptr, &names, 0);
    Call<ActionResponse>(tag);
    auto urgent = Mailbox().TagByName("Urgent");
    ASSERT_TRUE(urgent);
    EXPECT_EQ(Mailbox().Item(401)->tags, std::vector<int32_t>{urgent->id});

    // Moved out of the synchronised subtree: gone for that subtree.
    auto subtree = Sync(300);
    ASSERT_TRUE(subtree);
    EXPECT_EQ(Attr(*subtree, kSync + L"/mail:deleted", L"ids"), L"402");
    EXPECT_EQ(Count(*subtree, kSync + L"/mail:m"), 0);

    ActionRequest unread(MIT_FOLDER, 2, ActionRequest::OP_READ);
    Call<ActionResponse>(unread);
    EXPECT_EQ(Mailbox().Item(400)->flags, "");
    Ostrel::ACL acl(1);
    acl[0].m_eGranteeType = Ostrel::GT_PUBLIC;
    acl[0].m_ulRights = Ostrel::ACL_RIGHT_READ;
    ActionRequest update(MIT_FOLDER, 301, ActionRequest::OP_UPDATE, 1, L"Old Projects", L"#", acl, 0);
    Call<ActionResponse>(update);
    auto folder = Mailbox().Folder(301);
    EXPECT_EQ(folder->parentId, 1);
    EXPECT_EQ(folder->name, "Old Projects");
    ASSERT_EQ(folder->acl.size(), 1u);
    EXPECT_EQ(folder->acl[0].gt, "pub");
    ActionRequest colour(MIT_FOLDER, 301, ActionRequest::OP_UPDATE, L"Old Projects", 0x0000FF);
    Call<ActionResponse>(colour);
    EXPECT_EQ(Mailbox().Folder(301)->rgb, "#FF0000");

    ActionRequest system(MIT_FOLDER, 2, ActionRequest::OP_DELETE);
    EXPECT_THROW(Call(system), SoapFaultResponse);
    ActionRequest notAMessage(MIT_MESSAGE, 420, ActionRequest::OP_FLAG);
    EXPECT_THROW(Call(notAMessage), SoapFaultResponse);
    ActionRequest remove(MIT_FOLDER, 300, ActionRequest::OP_DELETE);
    Call<ActionResponse>(remove);
    EXPECT_FALSE(Mailbox().Folder(300));
    EXPECT_TRUE(Mailbox().ItemsIn(300).empty());
}

TEST_F(SyncActionTest, AMoveOntoAnExistingDocumentIsRenamedByTheFacade) {
    ActionRequest move(MIT_DOCUMENT, 441, ActionRequest::OP_MOVE, 16, L"Plan.txt");
    auto moved = Call<ActionResponse>(move);
    ASSERT_TRUE(moved);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].body.find("<action id=\"441\" op=\"move\" l=\"16\"/>"), std::string::npos);
    EXPECT_NE(requests[1].body.find("<action id=\"441\" op=\"Update\" l=\"16\" name=\"Plan.txt.\"/>"),
              std::string::npos);
    auto doc = Mailbox().Item(441);
    EXPECT_EQ(doc->folderId, 16);
    EXPECT_EQ(doc->name, "Plan.txt.");

    GetItemRequest get(441);
    auto item = Call<GetItemResponse>(get);
    ASSERT_TRUE(item);
    EXPECT_STREQ(item->DocName(), L"Plan.txt.");
    EXPECT_EQ(item->DocVersion(), 2u);

    // Other items are not renamed: the conflict is the caller's.
    ActionRequest back(MIT_DOCUMENT, 440, ActionRequest::OP_RENAME, L"plan.TXT.");
    EXPECT_THROW(Call(back), MailServiceException_ALREADY_EXISTS);
    GetItemRequest missing(9999);
    EXPECT_THROW(Call(missing), SoapFaultResponse);
}

TEST_F(SyncActionTest, OldTokensMustResynchroniseAndCalendarCutoffsApply) {
    Sync();
    Mailbox().ForgetChanges();
    ActionRequest flag(MIT_MESSAGE, 401, ActionRequest::OP_FLAG);
    Call<ActionResponse>(flag);
    SyncRequest old(L"1", 0, 0);
    EXPECT_THROW(Call(old), MailServiceException_MUST_RESYNC);
    SyncRequest future(L"999999", 0, 0);
    EXPECT_THROW(Call(future), MailServiceException_MUST_RESYNC);

    // The client's clock decides the cut-off: the 2020 meeting is left out, the 2030 one stays.
    std::unique_ptr<SyncRequest> calendar;
    {
        Ostrel::Util::ManualClock clock;  // 2024-01-01
        Ostrel::Util::ScopedClock scoped(clock);
        calendar = std::make_unique<SyncRequest>(nullptr, 10, 30);
    }
    auto response = Call<SyncResponse>(*calendar);
    ASSERT_TRUE(response);
    EXPECT_EQ(Count(*response, kSync + L"//mail:appt"), 1);
    EXPECT_EQ(Attr(*response, kSync + L"//mail:appt", L"name"), L"Review");
}
