// One store used from several threads at once: the store's own lock is all that serialises the
// database connection, so every path to it must take that lock.
#include <atomic>
#include <thread>
#include <vector>

#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

using ThreadsTest = StoreFixture;

TEST_F(ThreadsTest, ThreadsSavingReadingAndDeletingAtOnceLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 25;
    const std::string inboxEid = EntryId(Inbox().Get());
    std::atomic<int> cFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread opens the store itself, as separate callers in one process do.
            ComPtr<IMsgStore> pStore;
            ComPtr<IUnknown> pUnk;
            ULONG ulType = 0;
            if (FAILED(Platform::OpenOsdStore(m_path, false, L"", true, pStore.AddressOf())) ||
                FAILED(pStore->OpenEntry(static_cast<ULONG>(inboxEid.size()), (LPENTRYID)inboxEid.data(), nullptr,
                                         MAPI_MODIFY, &ulType, pUnk.AddressOf()))) {
                ++cFailures;
                return;
            }
            auto* pInbox = static_cast<IMAPIFolder*>(pUnk.Get());
            for (int i = 0; i < kMessages; ++i) {
                ComPtr<IMessage> pMsg;
                HRESULT hr = pInbox->CreateMessage(nullptr, 0, pMsg.AddressOf());
                if (SUCCEEDED(hr))
                    hr = SetString(pMsg.Get(), PR_SUBJECT_W, L"thread " + std::to_wstring(t));
                if (SUCCEEDED(hr))
                    hr = SetLong(pMsg.Get(), PROP_TAG(PT_LONG, 0x7E00 + i % 20), i);
                if (SUCCEEDED(hr))
                    hr = pMsg->SaveChanges(KEEP_OPEN_READWRITE);
                if (SUCCEEDED(hr))
                    hr = pMsg->SetReadFlag(0);
                ComPtr<IMAPITable> pTable;
                if (SUCCEEDED(hr))
                    hr = pInbox->GetContentsTable(0, pTable.AddressOf());
                if (FAILED(hr))
                    ++cFailures;
                // Every fifth message goes again, so that deletes run beside the saves.
                if (SUCCEEDED(hr) && i % 5 == 4) {
                    std::string eid = EntryId(pMsg.Get());
                    SBinary bin{static_cast<ULONG>(eid.size()), (LPBYTE)eid.data()};
                    ENTRYLIST list{1, &bin};
                    if (FAILED(pInbox->DeleteMessages(&list, 0, nullptr, 0)))
                        ++cFailures;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(cFailures.load(), 0);
    EXPECT_EQ(GetLong(Inbox().Get(), PR_CONTENT_COUNT), kThreads * kMessages * 4 / 5);
    EXPECT_EQ(GetLong(Inbox().Get(), PR_CONTENT_UNREAD), 0);
}

}  // namespace
}  // namespace MapiTest
