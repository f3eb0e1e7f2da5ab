// Several processes on one store: the child processes are this test program started again with
// OSTREL_MAPI_CHILD naming what to do; the child work runs before the tests would.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "MapiTestUtil.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/Store/MessageData.h"
#include "Platform/Mapi/Store/StoreBatch.h"
#include "Support/Child.h"

namespace MapiTest {
namespace {

ComPtr<IMAPIFolder> InboxOf(IMsgStore* pStore) {
    ULONG cb = 0;
    MapiBuf<ENTRYID> eid;
    if (FAILED(pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &eid, nullptr)))
        return {};
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType;
    pStore->OpenEntry(cb, eid.p, nullptr, MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(pFolder.AddressOf()));
    return pFolder;
}

HRESULT SaveMessage(IMAPIFolder* pFolder, const std::wstring& subject, int cProps, std::string* pEid) {
    ComPtr<IMessage> pMsg;
    HRESULT hr = pFolder->CreateMessage(nullptr, 0, pMsg.AddressOf());
    if (SUCCEEDED(hr))
        hr = SetString(pMsg.Get(), PR_SUBJECT_W, subject);
    for (int i = 0; SUCCEEDED(hr) && i < cProps; ++i)
        hr = SetLong(pMsg.Get(), PROP_TAG(PT_LONG, 0x6800 + i), i);
    if (SUCCEEDED(hr))
        hr = pMsg->SaveChanges(0);
    if (SUCCEEDED(hr) && pEid)
        *pEid = EntryId(pMsg.Get());
    return hr;
}

void StopInsideSave() {
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    for (;;)
        pause();
}

// Child work: "<action> <store path> [args]"; prints results on stdout and exits.
int RunChild(const std::string& command) {
    std::istringstream in(command);
    std::string action, path;
    in >> action >> path;
    ComPtr<IMsgStore> pStore;
    HRESULT hr = Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf());
    if (FAILED(hr))
        return 10;
    if (action == "names") {
        // Names in the reverse order of the parent's, so that ids come from whoever created them.
        std::string name;
        while (in >> name) {
            std::wstring wide(name.begin(), name.end());
            std::printf("%s=%x\n", name.c_str(),
                        PROP_ID(NamedTag(pStore.Get(), PS_PUBLIC_STRINGS, wide.c_str(), PT_LONG)));
        }
        return 0;
    }
    ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
    if (!pInbox)
        return 11;
    if (action == "write") {
        int count = 0;
        in >> count;
        for (int i = 0; i < count; ++i)
            if (FAILED(SaveMessage(pInbox.Get(), L"from child", 5, nullptr)))
                return 12;
        return 0;
    }
    if (action == "crash") {
        std::string eid;
        if (FAILED(SaveMessage(pInbox.Get(), L"complete", 20, &eid)))
            return 13;
        Platform::Mapi::SetBeforeCommitHook(&StopInsideSave);
        SaveMessage(pInbox.Get(), L"half written", 20, nullptr);
        return 14;  // not reached: the parent kills us inside the save
    }
    if (action == "batch") {
        // One batch committed, then a second one whose saves wait for a commit that never comes.
        Platform::Mapi::StoreBatch committed(pStore.Get());
        for (int i = 0; i < 3; ++i)
            if (FAILED(SaveMessage(pInbox.Get(), L"committed", 5, nullptr)))
                return 16;
        if (FAILED(committed.End()))
            return 17;
        Platform::Mapi::StoreBatch pending(pStore.Get());
        for (int i = 0; i < 3; ++i)
            if (FAILED(SaveMessage(pInbox.Get(), L"pending", 5, nullptr)))
                return 18;
        StopInsideSave();
    }
    return 15;
}

struct ChildMode {
    ChildMode() {
        if (const char* psz = std::getenv("OSTREL_MAPI_CHILD")) {
            int code = RunChild(psz);
            std::fflush(stdout);
            _exit(code);
        }
    }
} g_childMode;

using TestSupport::FinishSelf;

TestSupport::SelfChild Start(const std::string& command) {
    return TestSupport::StartSelf("OSTREL_MAPI_CHILD", command);
}

using ProcessTest = StoreFixture;

TEST_F(ProcessTest, NamedPropertyIdsAreSharedByProcessesAndStableAcrossReopen) {
    ULONG ulAlpha = PROP_ID(NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"alpha", PT_LONG));
    auto child = Start("names " + m_path.string() + " gamma beta alpha");
    std::string out;
    ASSERT_EQ(FinishSelf(child, &out), 0);
    char expected[32];
    std::snprintf(expected, sizeof expected, "alpha=%x", ulAlpha);
    EXPECT_NE(out.find(expected), std::string::npos) << out;
    // The names the child created first are known here with the child's ids.
    ULONG ulGamma = PROP_ID(NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"gamma", PT_LONG));
    std::snprintf(expected, sizeof expected, "gamma=%x", ulGamma);
    EXPECT_NE(out.find(expected), std::string::npos) << out;

    m_store.Reset();
    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), S_OK);
    EXPECT_EQ(PROP_ID(NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"alpha", PT_LONG)), ulAlpha);
}

TEST_F(ProcessTest, ProcessesWritingAtOnceLoseNothing) {
    auto a = Start("write " + m_path.string() + " 40");
    auto b = Start("write " + m_path.string() + " 40");
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(SaveMessage(Inbox().Get(), L"from parent", 5, nullptr), S_OK);
    EXPECT_EQ(FinishSelf(a), 0);
    EXPECT_EQ(FinishSelf(b), 0);
    EXPECT_EQ(GetLong(Inbox().Get(), PR_CONTENT_COUNT), 120);
}

TEST_F(ProcessTest, AProcessKilledInsideSaveChangesLeavesTheLastSavedState) {
    std::filesystem::path path = m_home.Path() / "crash.osd";
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
    }
    auto child = Start("crash " + path.string());
    ASSERT_EQ(TestSupport::ReadLine(child), "ready\n") << "child ended with " << FinishSelf(child);
    kill(child.pid, SIGKILL);
    EXPECT_EQ(FinishSelf(child), 128 + SIGKILL);

    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf()), S_OK);
    ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pInbox->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_SUBJECT_W, PROP_TAG(PT_LONG, 0x6800 + 19)}};
    RowsHolder rows;
    ASSERT_EQ(HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &rows.p), S_OK);
    ASSERT_EQ(rows.p->cRows, 1u);
    EXPECT_STREQ(rows.p->aRow[0].lpProps[0].Value.lpszW, L"complete");
    EXPECT_EQ(rows.p->aRow[0].lpProps[1].Value.l, 19);
    // The store goes on working.
    EXPECT_EQ(SaveMessage(pInbox.Get(), L"after", 1, nullptr), S_OK);
}

TEST_F(ProcessTest, AProcessKilledInsideABatchLeavesWhatItCommitted) {
    std::filesystem::path path = m_home.Path() / "batch.osd";
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
    }
    auto child = Start("batch " + path.string());
    ASSERT_NE(TestSupport::ReadLine(child), "") << "child ended with " << FinishSelf(child);
    kill(child.pid, SIGKILL);
    EXPECT_EQ(FinishSelf(child), 128 + SIGKILL);

    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf()), S_OK);
    ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 3);
    EXPECT_EQ(SaveMessage(pInbox.Get(), L"after", 1, nullptr), S_OK);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 4);
}

}  // namespace
}  // namespace MapiTest
