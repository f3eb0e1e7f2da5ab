// A profile's store opened as `ostrel sync` opens it, the simulator running in-process, and a
// connection to it: the tests change the store through the MAPI interfaces, push, and read the
// server's state back from the simulator.
#pragma once

#include "ostrel/StoreMailbox.h"
#include "ostrel/StorePush.h"

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Com/ComPtr.h"
#include "Support/SessionDouble.h"
#include "Support/TempHome.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace StorePushTest {

class PushFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    OstrelCli::PushReport Push();
    OstrelServer::Mailbox& ServerBox();

    // The store folder of a server folder (special folders included).
    Platform::ComPtr<IMAPIFolder> Folder(int32_t iServerId);
    Platform::ComPtr<IMAPIFolder> Outbox();
    Platform::ComPtr<IMAPIFolder> Subtree();
    // A folder below pParent, of that container class.
    Platform::ComPtr<IMAPIFolder> NewFolder(IMAPIFolder* pParent, const std::wstring& wsName,
                                            const wchar_t* pwszClass = L"IPF.Note");
    // An unsent mail message to one recipient, saved.
    Platform::ComPtr<IMessage> NewMail(IMAPIFolder* pFolder, const std::wstring& wsSubject);
    std::vector<Platform::ComPtr<IMessage>> Messages(IMAPIFolder* pFolder);
    // As a pull leaves them: a server message or folder and its store image, stamped with the
    // server id and the baseline, and recorded in the mapper.
    Platform::ComPtr<IMessage> PulledMail(int32_t iServerFolder, const std::string& subject, const std::string& flags);
    Platform::ComPtr<IMAPIFolder> PulledFolder(int32_t iServerParent, const std::string& name);
    // The object as saved now (an open object keeps what it read when it was opened).
    Platform::ComPtr<IMessage> Reopen(IMessage* pMessage);
    static LONG ServerId(IMAPIProp* pProp);
    static std::wstring Subject(IMAPIProp* pProp);
    // The server's folders (system ones left out) with that name.
    std::vector<OstrelServer::MailFolder> ServerFoldersNamed(const std::string& name);
    // A server contact's attribute, empty when it has none.
    static std::string ServerAttr(const OstrelServer::MailItem& item, const std::string& name);

    TestSupport::TempHome m_home;
    OstrelServer::Server m_server;
    std::shared_ptr<TestSupport::SessionDouble> m_pSession;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> m_pConnection;
    std::unique_ptr<OstrelCli::StoreMailbox> m_pMailbox;
};

}  // namespace StorePushTest
