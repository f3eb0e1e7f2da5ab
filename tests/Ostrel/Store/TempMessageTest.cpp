// Temporary messages and clones outside the user's folders, and messages written to files.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/TempMessage.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::OstrelMailItem;

using TempMessageTest = StoreFixture;

TEST_F(TempMessageTest, CloneKeepsPropertiesNamedOnesIncludedAndLeavesTheFoldersAlone) {
    ComPtr<IMessage> pSource = NewMessage(Inbox().Get(), L"original");
    OstrelMailItem source(pSource.Get(), m_store.Get());
    ASSERT_EQ(source.StampOstrelId(321), S_OK);
    ASSERT_EQ(source.ReplicationId(L"r-9"), S_OK);
    ASSERT_EQ(pSource->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ComPtr<IMAPITable> pContents;
    ULONG cBefore = 0;
    ASSERT_EQ(Inbox()->GetContentsTable(0, pContents.AddressOf()), S_OK);
    ASSERT_EQ(pContents->GetRowCount(0, &cBefore), S_OK);

    ComPtr<IMessage> pClone;
    ASSERT_EQ(Ostrel::Mapi::CloneMessage(pSource.Get(), pClone.AddressOf(), L"IPM.Note.Copy", m_store.Get()), S_OK);
    EXPECT_EQ(GetString(pClone.Get(), PR_SUBJECT_W), L"original");
    EXPECT_EQ(GetString(pClone.Get(), PR_MESSAGE_CLASS_W), L"IPM.Note.Copy");
    OstrelMailItem clone(pClone.Get(), nullptr);
    EXPECT_EQ(clone.OstrelId(), 321);
    EXPECT_EQ(clone.ReplicationId(), L"r-9");
    // The clone changes alone; the folder holds what it held.
    ASSERT_EQ(clone.StampOstrelId(5), S_OK);
    EXPECT_EQ(source.OstrelId(), 321);
    ULONG cAfter = 0;
    ASSERT_EQ(Inbox()->GetContentsTable(0, pContents.AddressOf()), S_OK);
    ASSERT_EQ(pContents->GetRowCount(0, &cAfter), S_OK);
    EXPECT_EQ(cAfter, cBefore);

    ComPtr<IMessage> pTemp;
    ASSERT_EQ(Ostrel::Mapi::CreateTmpMsg(pTemp.AddressOf(), L"IPM.Note"), S_OK);
    EXPECT_EQ(GetString(pTemp.Get(), PR_MESSAGE_CLASS_W), L"IPM.Note");
    EXPECT_EQ(EntryId(pTemp.Get()).size(), 24u);
}

TEST_F(TempMessageTest, MessagesGoToFilesButNeverThroughALink) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"to a file");
    const std::filesystem::path file = m_home.Path() / "out.eml";
    ASSERT_EQ(Ostrel::Mapi::WriteMessageToFile(pMessage.Get(), file.wstring().c_str()), S_OK);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Subject: to a file"), std::string::npos) << text.str();
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::filesystem::path target = m_home.Path() / "target.txt";
    const std::filesystem::path link = m_home.Path() / "link.eml";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_TRUE(FAILED(Ostrel::Mapi::WriteMimeToFile("Subject: x\r\n\r\nbody", link.wstring().c_str())));
    std::ifstream kept(target);
    std::string sKept;
    kept >> sKept;
    EXPECT_EQ(sKept, "keep");
    ASSERT_EQ(Ostrel::Mapi::WriteMimeToFile("Subject: x\r\n\r\nbody", file.wstring().c_str()), S_OK);
    EXPECT_EQ(std::filesystem::file_size(file), 18u);
}

}  // namespace
}  // namespace StoreTest
