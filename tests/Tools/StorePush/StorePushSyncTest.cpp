// `ostrel sync` end to end: a synchronised store is changed through the MAPI interfaces, the next
// sync sends the changes up after its pull, and the one after that finds nothing left to do and
// the store an exact copy of the mailbox.
#include "Tools/Cli/CliTestSupport.h"

#include "Ostrel/Store/MailItem.h"
#include "ostrel/StoreMailbox.h"

namespace StorePushTest {
namespace {

using Platform::ComPtr;

class StorePushSync : public CliTest::SimulatorTest {};

TEST_F(StorePushSync, ChangesMadeInTheStoreReachTheServerInTheNextSync) {
    StartServer(12);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Sync().iExit, 0);
    std::vector<int32_t> inbox;
    for (int32_t id : Mailbox().ItemsIn(OstrelServer::FolderId::Inbox))
        if (Mailbox().Item(id)->kind == OstrelServer::ItemKind::Message)
            inbox.push_back(id);
    ASSERT_GE(inbox.size(), 2u);
    const int32_t iFlagged = inbox[0];
    const int32_t iMoved = inbox[1];
    const bool bWasRead = Mailbox().Item(iFlagged)->flags.find('u') == std::string::npos;
    {
        OstrelCli::StoreMailbox mailbox("default");
        ASSERT_TRUE(mailbox.Lock());
        std::string why;
        ASSERT_EQ(mailbox.Open(true, why), S_OK) << why;
        ComPtr<IMessage> pFlagged, pMoved;
        ASSERT_EQ(mailbox.OpenItem(iFlagged, 0, pFlagged.AddressOf()), S_OK);
        SPropValue values[2]{};
        values[0].ulPropTag = PR_FLAG_STATUS;
        values[0].Value.l = 2;
        values[1].ulPropTag = PR_MESSAGE_FLAGS;
        values[1].Value.ul = bWasRead ? 0 : MSGFLAG_READ;
        ASSERT_EQ(pFlagged->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(pFlagged->SaveChanges(0), S_OK);

        ASSERT_EQ(mailbox.OpenItem(iMoved, 0, pMoved.AddressOf()), S_OK);
        Ostrel::Mapi::OstrelMailItem moved(pMoved.Get(), mailbox.Store());
        ComPtr<IMAPIFolder> pFrom, pTrash, pSubtree, pNew;
        pFrom.Attach(moved.ParentMapiFolder());
        ASSERT_EQ(mailbox.OpenFolder(OstrelCli::kServerTrash, pTrash.AddressOf()), S_OK);
        SBinary eid{};
        ASSERT_EQ(moved.EntryId(&eid), S_OK);
        ENTRYLIST list{1, &eid};
        const HRESULT hrMove = pFrom->CopyMessages(&list, nullptr, pTrash.Get(), 0, nullptr, MESSAGE_MOVE);
        MAPIFreeBuffer(eid.lpb);
        ASSERT_EQ(hrMove, S_OK);

        ComPtr<IMAPIFolder> pDrafts;
        ComPtr<IMessage> pDraft;
        ASSERT_EQ(mailbox.OpenFolder(OstrelCli::kServerDrafts, pDrafts.AddressOf()), S_OK);
        ASSERT_EQ(pDrafts->CreateMessage(nullptr, 0, pDraft.AddressOf()), S_OK);
        SPropValue draft[3]{};
        draft[0].ulPropTag = PR_MESSAGE_CLASS_W;
        draft[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Note");
        draft[1].ulPropTag = PR_SUBJECT_W;
        draft[1].Value.lpszW = const_cast<wchar_t*>(L"Written offline");
        draft[2].ulPropTag = PR_MESSAGE_FLAGS;
        draft[2].Value.ul = MSGFLAG_UNSENT | MSGFLAG_READ;
        ASSERT_EQ(pDraft->SetProps(3, draft, nullptr), S_OK);
        ASSERT_EQ(pDraft->SaveChanges(0), S_OK);

        ASSERT_EQ(mailbox.OpenSubtree(pSubtree.AddressOf()), S_OK);
        ASSERT_EQ(pSubtree->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(L"Made offline"), nullptr, nullptr,
                                         MAPI_UNICODE, pNew.AddressOf()),
                  S_OK);
    }

    CliTest::CommandRun second = Sync();
    ASSERT_EQ(second.iExit, 0) << second.sErr;
    EXPECT_NE(second.sOut.find("\"pushed\":{\"sent\":0,\"drafts\":1,\"folders\":1,\"changed\":1,\"moved\":1"),
              std::string::npos)
        << second.sOut;
    EXPECT_NE(Mailbox().Item(iFlagged)->flags.find('f'), std::string::npos);
    EXPECT_EQ(Mailbox().Item(iFlagged)->flags.find('u') == std::string::npos, !bWasRead);
    EXPECT_EQ(Mailbox().Item(iMoved)->folderId, OstrelServer::FolderId::Trash);

    CliTest::CommandRun third = Sync();
    ASSERT_EQ(third.iExit, 0) << third.sErr;
    EXPECT_NE(
        third.sOut.find("\"pushed\":{\"sent\":0,\"drafts\":0,\"folders\":0,\"changed\":0,\"moved\":0,\"deleted\":0"),
        std::string::npos)
        << third.sOut;
    ExpectExactCopy();
    // The draft the push uploaded took the server's size with the pull after it: verify compares it.
    const CliTest::CommandRun verify = CliTest::Command("verify", {"--password-env", "CLI_TEST_PASSWORD"});
    EXPECT_EQ(verify.iExit, 0) << verify.sOut << verify.sErr;
    EXPECT_EQ(verify.sOut.find("carry no server size"), std::string::npos) << verify.sOut;
}

}  // namespace
}  // namespace StorePushTest
