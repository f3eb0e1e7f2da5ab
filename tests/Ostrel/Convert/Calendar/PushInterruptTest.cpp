// Pushes cut short: by the connection dropping after the server stored the item, or by the process
// ending between the steps. The next run finds the item pending, pushes it again and the server
// ends up with one copy; pushing a changed item again replaces that copy.
#include "PushTestSupport.h"

#include "Ostrel/Convert/Calendar/OLToOstrelPush.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/MailItem.h"
#include "Platform/Base/Paths.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/Files.h"
#include "ostrel-server/Calendar.h"

#include <cstdlib>
#include <filesystem>

namespace CalendarTest {
namespace {

class PushInterrupt : public PushStore {
protected:
    // A store item that has never been on the server: no server id and no uid.
    Platform::ComPtr<IMessage> LocalItem() {
        Result result =
            Convert(TestSupport::ReadFile(TestSupport::DataDir() / "calendar-convert" / "01-single-london.xml"));
        EXPECT_EQ(result.iResult, 1);
        Ostrel::Mapi::Appt appt(result.pMessage.Get(), m_pStore.Get());
        SizedSPropTagArray(2, uid) = {2,
                                      {NAMED_PROP(Ostrel::Mapi::NamedProps::MEETING_0023, PT_BINARY, appt.Props()),
                                       NAMED_PROP(Ostrel::Mapi::NamedProps::MEETING_0003, PT_BINARY, appt.Props())}};
        result.pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&uid), nullptr);
        EXPECT_EQ(result.pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        EXPECT_EQ(appt.Uid(), L"");
        return result.pMessage;
    }

    size_t ServerItems() { return m_server.State<OstrelServer::CalendarBook>().Ids().size(); }

    Ostrel::Mail::CalendarPusher Pusher() {
        return Ostrel::Mail::CalendarPusher(*m_pConnection, m_pStore.Get(), m_pAddrBook.Get(), L"Mailbox User", kUser);
    }

    std::vector<std::vector<BYTE>> Pending() {
        std::vector<std::vector<BYTE>> ids;
        EXPECT_EQ(Ostrel::Mail::CalendarPusher::PendingItems(m_pRoot.Get(), ids), S_OK);
        return ids;
    }

    Platform::ComPtr<IMessage> Open(const std::vector<BYTE>& entryId) {
        ULONG ulType = 0;
        Platform::ComPtr<IMessage> pItem;
        EXPECT_EQ(m_pStore->OpenEntry(static_cast<ULONG>(entryId.size()),
                                      reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId.data())), nullptr,
                                      MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(pItem.AddressOf())),
                  S_OK);
        return pItem;
    }
};

TEST_F(PushInterrupt, DroppedAnswerIsCompletedByTheNextRunWithoutASecondCopy) {
    Platform::ComPtr<IMessage> pItem = LocalItem();
    // Every answer to the write is cut off, retries included; the server has stored the item.
    m_server.Faults().Add(OstrelServer::Fault::For("SetAppointmentRequest", 10).DropMidBody());
    LONG lId = 0;
    EXPECT_FALSE(SUCCEEDED(Pusher().Push(pItem.Get(), &lId)));
    EXPECT_EQ(ServerItems(), 1u);
    EXPECT_TRUE(Ostrel::Mail::CalendarPusher::IsPending(pItem.Get()));
    EXPECT_EQ(Ostrel::Mapi::OstrelMailItemBase(pItem.Get()).OstrelId(), 0);

    m_server.Faults().Clear();
    const auto pending = Pending();
    ASSERT_EQ(pending.size(), 1u);
    Platform::ComPtr<IMessage> pAgain = Open(pending[0]);
    ASSERT_EQ(Pusher().Push(pAgain.Get(), &lId), S_OK);
    EXPECT_EQ(ServerItems(), 1u);
    EXPECT_EQ(m_server.State<OstrelServer::CalendarBook>().Ids().front(), lId);
    EXPECT_EQ(Ostrel::Mapi::OstrelMailItemBase(pAgain.Get()).OstrelId(), lId);
    EXPECT_FALSE(Ostrel::Mail::CalendarPusher::IsPending(pAgain.Get()));
    EXPECT_TRUE(Pending().empty());

    // A later change goes to the same server item.
    Ostrel::Mapi::Appt appt(pAgain.Get(), m_pStore.Get());
    appt.SetSubject(L"Sprint, renamed");
    ASSERT_EQ(appt.Save(), S_OK);
    LONG lSecond = 0;
    ASSERT_EQ(Pusher().Push(pAgain.Get(), &lSecond), S_OK);
    EXPECT_EQ(lSecond, lId);
    EXPECT_EQ(ServerItems(), 1u);
    EXPECT_NE(Fetch(lId, false).find("name=\"Sprint, renamed\""), std::string::npos);

    // Deleted in the store: gone from the server; a second delete is refused.
    EXPECT_EQ(Pusher().Delete(lId, false), S_OK);
    EXPECT_EQ(ServerItems(), 0u);
    EXPECT_EQ(Pusher().Delete(lId, false), E_FAIL);
}

TEST_F(PushInterrupt, ProcessEndingBetweenStepsLeavesTheItemPendingInTheStoreFile) {
    // Ended after the request went out, and ended before it did: both items are pending in the
    // store file as the next process opens it.
    Platform::ComPtr<IMessage> pSent = LocalItem();
    Platform::ComPtr<IMessage> pUnsent = LocalItem();
    auto pusher = Pusher();
    LONG lId = 0;
    ASSERT_EQ(pusher.Prepare(pSent.Get()), S_OK);
    ASSERT_EQ(pusher.Send(pSent.Get(), &lId), S_OK);
    ASSERT_EQ(pusher.Prepare(pUnsent.Get()), S_OK);
    EXPECT_EQ(ServerItems(), 1u);

    pSent.Reset();
    pUnsent.Reset();
    m_pRoot.Reset();
    m_pStore.Reset();
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    // The next process opens the same store file: the newest of the fixture's stores.
    std::filesystem::path path;
    int iNewest = 0;
    for (const auto& e : std::filesystem::directory_iterator(Platform::OstrelHome())) {
        const std::string sName = e.path().filename().string();
        if (sName.rfind("calendar", 0) == 0 && e.path().extension() == ".osd" && std::atoi(sName.c_str() + 8) > iNewest)
            iNewest = std::atoi(sName.c_str() + 8), path = e.path();
    }
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(Platform::OpenOsdStore(path, false, L"Calendar", true, m_pStore.AddressOf()), S_OK);
    ULONG ulType = 0;
    ASSERT_EQ(m_pStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                  reinterpret_cast<IUnknown**>(m_pRoot.AddressOf())),
              S_OK);
    const auto pending = Pending();
    ASSERT_EQ(pending.size(), 2u);
    for (const auto& entryId : pending) {
        Platform::ComPtr<IMessage> pItem = Open(entryId);
        LONG lPushed = 0;
        ASSERT_EQ(Pusher().Push(pItem.Get(), &lPushed), S_OK);
    }
    // One copy of the item sent before, one of the item never sent.
    EXPECT_EQ(ServerItems(), 2u);
    EXPECT_TRUE(Pending().empty());
}

TEST_F(PushInterrupt, RefusedAttachmentUploadStoresNothingUntilTheNextRun) {
    Platform::ComPtr<IMessage> pItem = LocalItem();
    AddFile(pItem.Get(), L"slides.pdf", L"application/pdf", "%PDF-1.7 slides");
    m_server.Faults().Add(OstrelServer::Fault::For("/service/upload", 1).Status(500));
    LONG lId = 0;
    EXPECT_FALSE(SUCCEEDED(Pusher().Push(pItem.Get(), &lId)));
    // Not stored without its attachment, and still to be sent.
    EXPECT_EQ(ServerItems(), 0u);
    EXPECT_TRUE(Ostrel::Mail::CalendarPusher::IsPending(pItem.Get()));

    ASSERT_EQ(Pusher().Push(pItem.Get(), &lId), S_OK);
    auto item = m_server.State<OstrelServer::CalendarBook>().Get(lId);
    ASSERT_TRUE(item);
    ASSERT_EQ(item->parts.size(), 1u);
    EXPECT_EQ(item->parts.begin()->second.fileName, "slides.pdf");
    EXPECT_EQ(item->parts.begin()->second.content, "%PDF-1.7 slides");
}

}  // namespace
}  // namespace CalendarTest
