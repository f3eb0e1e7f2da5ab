// `ostrel sync` killed with SIGKILL at random points of a full synchronisation, an incremental one
// and one that pushes local changes, as real processes: the run after the kills leaves a store that
// `ostrel verify` finds equal to the server (no duplicate, nothing missing), and the local changes
// reach the server.
#include "StoreVerifySupport.h"

#include "ostrel/StoreMailbox.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <random>
#include <thread>

extern char** environ;

namespace StoreVerifyTest {

namespace {

using Platform::ComPtr;

constexpr size_t kMessages = 400;
constexpr int kKillsPerPhase = 3;

class KillTest : public SignedOnTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        SignOn(kMessages);
    }

    // Starts `ostrel sync`, kills it after a random pause, and says whether it was still running.
    bool SyncAndKill(std::chrono::milliseconds pause) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {OSTREL_CLI, "sync", "--quiet", nullptr};
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, OSTREL_CLI, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        if (rc != 0 || pid <= 0)
            return false;
        std::this_thread::sleep_for(pause);
        const bool bRunning = ::kill(pid, SIGKILL) == 0;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return bRunning && WIFSIGNALED(status);
    }

    // Kills a few runs at random points, then lets one finish and verifies the store.
    void KillThenVerify(const char* pszPhase, int iMaxPauseMs) {
        std::uniform_int_distribution<int> pauses(50, iMaxPauseMs);
        int cKilled = 0;
        for (int i = 0; i < kKillsPerPhase; ++i)
            cKilled += SyncAndKill(std::chrono::milliseconds(pauses(m_random))) ? 1 : 0;
        EXPECT_GT(cKilled, 0) << pszPhase << ": every run ended before its kill";
        const auto finished = TestSupport::RunProgram(OSTREL_CLI, {"sync", "--quiet"});
        ASSERT_EQ(finished.iExit, 0) << pszPhase << ": " << finished.sErr;
        const CommandRun verify = Command("verify", {});
        EXPECT_EQ(verify.iExit, 0) << pszPhase << ":\n" << verify.sOut << verify.sErr;
    }

    std::mt19937 m_random{20261206};
};

// Marks the first `count` messages of the store's Inbox read and flagged; their server ids.
std::vector<int32_t> ChangeInboxLocally(size_t count) {
    OstrelCli::StoreMailbox mailbox("default");
    std::string why;
    EXPECT_EQ(mailbox.Open(true, why), S_OK) << why;
    ComPtr<IMAPIFolder> pInbox;
    EXPECT_EQ(mailbox.OpenFolder(OstrelCli::kServerInbox, pInbox.AddressOf()), S_OK);
    std::vector<int32_t> ids;
    if (!pInbox)
        return ids;
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pInbox->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, mailbox.OstrelIdTag()}};
    LPSRowSet pRows = nullptr;
    EXPECT_EQ(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows),
              S_OK);
    for (ULONG i = 0; pRows && i < pRows->cRows && ids.size() < count; ++i) {
        const SPropValue* p = pRows->aRow[i].lpProps;
        if (p[1].ulPropTag != mailbox.OstrelIdTag())
            continue;
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        EXPECT_EQ(mailbox.Store()->OpenEntry(p[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(p[0].Value.bin.lpb),
                                             &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf()),
                  S_OK);
        auto* pMessage = static_cast<IMessage*>(pUnk.Get());
        SPropValue flag{PR_FLAG_STATUS, 0, {}};
        flag.Value.l = 2;
        EXPECT_EQ(pMessage->SetReadFlag(0), S_OK);
        EXPECT_EQ(HrSetOneProp(pMessage, &flag), S_OK);
        EXPECT_EQ(pMessage->SaveChanges(0), S_OK);
        ids.push_back(p[1].Value.l);
    }
    FreeProws(pRows);
    return ids;
}

}  // namespace

TEST_F(KillTest, ARunAfterKillsLeavesTheStoreEqualToTheServer) {
    // A full synchronisation, killed while folders, archives and the token are being written.
    KillThenVerify("full", 3000);

    // Changes on the server, for an incremental run: new mail, flags, moves and deletions.
    OstrelServer::GenerateInto(Mailbox(), 120, 7);
    const std::vector<int32_t> inbox = Mailbox().ItemsIn(OstrelCli::kServerInbox);
    ASSERT_GE(inbox.size(), 30u);
    using Ostrel::Rpc::ActionRequest;
    for (size_t i = 0; i < 30; ++i) {
        if (i < 10) {
            ActionRequest flag(Ostrel::Mail::MIT_MESSAGE, inbox[i], ActionRequest::OP_FLAG);
            ServerAction(flag);
        } else if (i < 20) {
            ActionRequest move(Ostrel::Mail::MIT_MESSAGE, inbox[i], ActionRequest::OP_MOVE, OstrelCli::kServerTrash,
                               nullptr);
            ServerAction(move);
        } else {
            ActionRequest remove(Ostrel::Mail::MIT_MESSAGE, inbox[i], ActionRequest::OP_DELETE);
            ServerAction(remove);
        }
    }
    KillThenVerify("incremental", 1500);

    // Local changes, pushed by the runs that are killed.
    const std::vector<int32_t> changed = ChangeInboxLocally(8);
    ASSERT_EQ(changed.size(), 8u);
    KillThenVerify("push", 800);
    for (int32_t id : changed) {
        const auto item = Mailbox().Item(id);
        ASSERT_TRUE(item) << id;
        EXPECT_EQ(item->flags.find('u'), std::string::npos) << "message " << id << " is still unread on the server";
        EXPECT_NE(item->flags.find('f'), std::string::npos) << "message " << id << " is not flagged on the server";
    }
}

}  // namespace StoreVerifyTest
