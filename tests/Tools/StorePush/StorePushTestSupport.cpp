#include "StorePushTestSupport.h"

#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Platform/Base/Utf.h"

namespace StorePushTest {

using Platform::ComPtr;

void PushFixture::SetUp() {
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    m_pSession = std::make_shared<TestSupport::SessionDouble>();
    Ostrel::Rpc::SetSessionFinder([s = m_pSession](const std::wstring&) { return s.get(); });
    m_server.Start();
    m_pSession->port = static_cast<DWORD>(m_server.Port());
    Ostrel::Rpc::ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
    m_pConnection = std::make_unique<Ostrel::Rpc::OstrelConnection>(L"push", L"127.0.0.1", m_pSession->port, 0,
                                                                    Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"push");
    m_pMailbox = std::make_unique<OstrelCli::StoreMailbox>("push");
    ASSERT_TRUE(m_pMailbox->Lock());
    std::string why;
    ASSERT_EQ(m_pMailbox->Open(true, why), S_OK) << why;
    // As after a first pull: the store is complete for a token.
    m_pMailbox->State().Commit("1");
}

void PushFixture::TearDown() {
    m_pMailbox.reset();
    m_pConnection.reset();
    m_server.Stop();
    Ostrel::Rpc::SetSessionFinder(nullptr);
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
}

OstrelCli::PushReport PushFixture::Push() {
    OstrelCli::StorePush push(*m_pMailbox, nullptr, *m_pConnection, L"Mailbox User", L"user@ostrel.test");
    return push.Run();
}

OstrelServer::Mailbox& PushFixture::ServerBox() {
    return OstrelServer::DefaultMailbox(m_server);
}

ComPtr<IMAPIFolder> PushFixture::Folder(int32_t iServerId) {
    ComPtr<IMAPIFolder> pFolder;
    EXPECT_EQ(m_pMailbox->OpenFolder(iServerId, pFolder.AddressOf()), S_OK) << iServerId;
    return pFolder;
}

ComPtr<IMAPIFolder> PushFixture::Outbox() {
    LPSPropValue pValue = nullptr;
    EXPECT_EQ(HrGetOneProp(m_pMailbox->Store(), PR_IPM_OUTBOX_ENTRYID, &pValue), S_OK);
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType = 0;
    if (pValue) {
        EXPECT_EQ(m_pMailbox->Store()->OpenEntry(
                      pValue->Value.bin.cb, reinterpret_cast<LPENTRYID>(pValue->Value.bin.lpb), nullptr, MAPI_MODIFY,
                      &ulType, reinterpret_cast<LPUNKNOWN*>(pFolder.AddressOf())),
                  S_OK);
    }
    MAPIFreeBuffer(pValue);
    return pFolder;
}

ComPtr<IMAPIFolder> PushFixture::Subtree() {
    ComPtr<IMAPIFolder> pFolder;
    EXPECT_EQ(m_pMailbox->OpenSubtree(pFolder.AddressOf()), S_OK);
    return pFolder;
}

ComPtr<IMAPIFolder> PushFixture::NewFolder(IMAPIFolder* pParent, const std::wstring& wsName, const wchar_t* pwszClass) {
    ComPtr<IMAPIFolder> pFolder;
    EXPECT_EQ(pParent->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(wsName.c_str()), nullptr, nullptr,
                                    MAPI_UNICODE, pFolder.AddressOf()),
              S_OK);
    SPropValue value{};
    value.ulPropTag = PR_CONTAINER_CLASS_W;
    value.Value.lpszW = const_cast<wchar_t*>(pwszClass);
    EXPECT_EQ(HrSetOneProp(pFolder.Get(), &value), S_OK);
    EXPECT_EQ(pFolder->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    return pFolder;
}

ComPtr<IMessage> PushFixture::NewMail(IMAPIFolder* pFolder, const std::wstring& wsSubject) {
    ComPtr<IMessage> pMessage;
    EXPECT_EQ(pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
    SPropValue values[4]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Note");
    values[1].ulPropTag = PR_SUBJECT_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(wsSubject.c_str());
    values[2].ulPropTag = PR_BODY_W;
    values[2].Value.lpszW = const_cast<wchar_t*>(L"Hello from the store.");
    values[3].ulPropTag = PR_MESSAGE_FLAGS;
    values[3].Value.ul = MSGFLAG_UNSENT;
    EXPECT_EQ(pMessage->SetProps(4, values, nullptr), S_OK);

    SPropValue recipient[4]{};
    recipient[0].ulPropTag = PR_DISPLAY_NAME_W;
    recipient[0].Value.lpszW = const_cast<wchar_t*>(L"Robin Reader");
    recipient[1].ulPropTag = PR_EMAIL_ADDRESS_W;
    recipient[1].Value.lpszW = const_cast<wchar_t*>(L"robin@example.test");
    recipient[2].ulPropTag = PR_ADDRTYPE_W;
    recipient[2].Value.lpszW = const_cast<wchar_t*>(L"SMTP");
    recipient[3].ulPropTag = PR_RECIPIENT_TYPE;
    recipient[3].Value.l = MAPI_TO;
    ADRLIST list{};
    list.cEntries = 1;
    list.aEntries[0].cValues = 4;
    list.aEntries[0].rgPropVals = recipient;
    EXPECT_EQ(pMessage->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
    EXPECT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    return pMessage;
}

std::vector<ComPtr<IMessage>> PushFixture::Messages(IMAPIFolder* pFolder) {
    std::vector<ComPtr<IMessage>> messages;
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pFolder->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    LPSRowSet pRows = nullptr;
    EXPECT_EQ(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
    EXPECT_EQ(pTable->QueryRows(1000, 0, &pRows), S_OK);
    for (ULONG r = 0; pRows && r < pRows->cRows; ++r) {
        const SBinary& eid = pRows->aRow[r].lpProps[0].Value.bin;
        ComPtr<IMessage> pMessage;
        ULONG ulType = 0;
        EXPECT_EQ(pFolder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, MAPI_MODIFY, &ulType,
                                     reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf())),
                  S_OK);
        messages.push_back(pMessage);
    }
    FreeProws(pRows);
    return messages;
}

ComPtr<IMessage> PushFixture::PulledMail(int32_t iServerFolder, const std::string& subject, const std::string& flags) {
    OstrelServer::MailItem item;
    item.folderId = iServerFolder;
    item.flags = flags;
    item.mime = "Subject: " + subject + "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\nbody\r\n";
    const int32_t iId = ServerBox().AddItem(item);
    ComPtr<IMessage> pMessage = NewMail(Folder(iServerFolder).Get(), Platform::FromUtf8(subject));
    SPropValue value{};
    value.ulPropTag = PR_MESSAGE_FLAGS;
    value.Value.ul = flags.find('u') == std::string::npos ? MSGFLAG_READ : 0;
    EXPECT_EQ(HrSetOneProp(pMessage.Get(), &value), S_OK);
    EXPECT_EQ(Ostrel::Mapi::OstrelMailItemBase(pMessage.Get()).StampOstrelId(iId), S_OK);
    OstrelCli::ItemBaseline baseline;
    baseline.iFolder = iServerFolder;
    baseline.sFlags = OstrelCli::ChangeableFlags(flags);
    EXPECT_EQ(m_pMailbox->Baseline().Stamp(pMessage.Get(), baseline), S_OK);
    EXPECT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    m_pMailbox->Items().Put(iId, pMessage.Get(), 0);
    return pMessage;
}

ComPtr<IMAPIFolder> PushFixture::PulledFolder(int32_t iServerParent, const std::string& name) {
    OstrelServer::MailFolder folder;
    folder.parentId = iServerParent;
    folder.name = name;
    folder.view = "message";
    const int32_t iId = ServerBox().AddFolder(folder);
    ComPtr<IMAPIFolder> pFolder =
        NewFolder(iServerParent == OstrelServer::FolderId::Root ? Subtree().Get() : Folder(iServerParent).Get(),
                  Platform::FromUtf8(name));
    OstrelCli::FolderBaseline baseline;
    baseline.iParent = iServerParent;
    baseline.sName = name;
    EXPECT_EQ(m_pMailbox->Baseline().Stamp(pFolder.Get(), baseline), S_OK);
    EXPECT_EQ(Ostrel::Mapi::AddOstrelFolderId(pFolder.Get(), iId), S_OK);
    m_pMailbox->Items().Put(iId, pFolder.Get(), 0);
    return pFolder;
}

ComPtr<IMessage> PushFixture::Reopen(IMessage* pMessage) {
    LPSPropValue pEid = nullptr;
    EXPECT_EQ(HrGetOneProp(pMessage, PR_ENTRYID, &pEid), S_OK);
    ComPtr<IMessage> pAgain;
    ULONG ulType = 0;
    if (pEid) {
        EXPECT_EQ(m_pMailbox->Store()->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                                 nullptr, MAPI_MODIFY, &ulType,
                                                 reinterpret_cast<LPUNKNOWN*>(pAgain.AddressOf())),
                  S_OK);
    }
    MAPIFreeBuffer(pEid);
    return pAgain;
}

LONG PushFixture::ServerId(IMAPIProp* pProp) {
    return Ostrel::Mapi::OstrelMailItemBase(pProp).OstrelId();
}

std::wstring PushFixture::Subject(IMAPIProp* pProp) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_SUBJECT_W, &pValue)))
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

std::vector<OstrelServer::MailFolder> PushFixture::ServerFoldersNamed(const std::string& name) {
    std::vector<OstrelServer::MailFolder> found;
    for (int32_t id = OstrelServer::kFirstUserId; id < OstrelServer::kFirstUserId + 200; ++id) {
        std::optional<OstrelServer::MailFolder> folder = ServerBox().Folder(id);
        if (folder && folder->name == name)
            found.push_back(*folder);
    }
    return found;
}

std::string PushFixture::ServerAttr(const OstrelServer::MailItem& item, const std::string& name) {
    for (const auto& [n, v] : item.contact.attrs)
        if (n == name)
            return v;
    return std::string();
}

}  // namespace StorePushTest
