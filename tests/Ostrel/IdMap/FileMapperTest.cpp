// The item mapper on a real store: file growth, puts and removes, solidification on the clock,
// verification after a crash, several mappers on one file, the legacy upgrade.
#include <cstring>
#include <filesystem>
#include <thread>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Support/Wait.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace IdMapTest {
namespace {

FileMapper& Impl(IdMapper& mapper) {
    return *dynamic_cast<FileMapper*>(mapper.GetImpl());
}

void Put(IdMapper& mapper, LONG lOstId, const std::string& eid, int bCheckStamp = TRUE) {
    mapper.Put(lOstId, ULONG(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data())), bCheckStamp);
}

IdmRecord RecordAt(const std::filesystem::path& path, ULONG slot) {
    return ReadIdmRecord(ReadFile(path).data(), slot);
}

class FileMapperTest : public MapperFixture {
protected:
    Ostrel::Util::ManualClock m_clock;
    Ostrel::Util::ScopedClock m_scoped{m_clock};
};

TEST_F(FileMapperTest, NewFileGrowsByBlocksAndRepeatedPutsChangeNothing) {
    auto mapper = NewMapper();
    EXPECT_TRUE(mapper->IsFirstRun());
    EXPECT_EQ(std::filesystem::file_size(IdmPath()), kIdmNewFileSize);
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 101);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 102);
    Put(*mapper, 101, a);
    EXPECT_EQ(std::filesystem::file_size(IdmPath()), kIdmNewFileSize);
    Put(*mapper, 102, b);
    EXPECT_EQ(std::filesystem::file_size(IdmPath()), 12336u);
    EXPECT_EQ(RecordAt(IdmPath(), 1).ulOstId, 102u);
    const auto before = ReadFile(IdmPath());
    Put(*mapper, 102, b);
    EXPECT_EQ(ReadFile(IdmPath()), before);
    EXPECT_EQ(Impl(*mapper).TentativeListSize(), 2u);

    ULONG cb = 0;
    BYTE* pEid = nullptr;
    ASSERT_TRUE(mapper->Get(101, &cb, &pEid));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pEid), cb), a);
    MAPIFreeBuffer(pEid);
    EXPECT_FALSE(mapper->Get(103, &cb, &pEid));
    ExpectConsistent(m_store.Get(), *mapper, IdmPath());
}

// Scanning a folder puts every stamped message into the map and passes over unstamped ones.
TEST_F(FileMapperTest, ProcessFolderMapsEveryStampedMessage) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    std::map<LONG, std::string> stamped;
    for (LONG lStamp = 201; lStamp <= 203; ++lStamp)
        stamped[lStamp] = NewMessage(m_store.Get(), m_inbox.Get(), lStamp);
    NewMessage(m_store.Get(), m_inbox.Get(), 0);
    mapper->RemoveAll();
    ASSERT_EQ(mapper->ProcessFolder(m_inbox.Get(), 0, nullptr), S_OK);
    EXPECT_EQ(mapper->GetProcessedCount(), 3u);
    for (const auto& [lStamp, eid] : stamped) {
        ULONG cb = 0;
        BYTE* pEid = nullptr;
        ASSERT_TRUE(mapper->Get(lStamp, &cb, &pEid)) << lStamp;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pEid), cb), eid);
        MAPIFreeBuffer(pEid);
    }
    EXPECT_EQ(mapper->Size(), 3u);
}

TEST_F(FileMapperTest, SolidifiesAfterThirtySecondsAndReusesRemovedSlotsOnlyThen) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 7);
    Put(*mapper, 7, a);
    EXPECT_EQ(RecordAt(IdmPath(), 0).bTentative, kTentativeAdd);
    m_clock.Advance(29000);
    Impl(*mapper).SolidifyMature(false);
    EXPECT_EQ(RecordAt(IdmPath(), 0).bTentative, kTentativeAdd);
    m_clock.Advance(1000);
    Impl(*mapper).SolidifyMature(false);
    EXPECT_EQ(RecordAt(IdmPath(), 0).bTentative, 0);

    ASSERT_TRUE(mapper->Remove(7));
    EXPECT_FALSE(mapper->Contains(7));
    EXPECT_EQ(RecordAt(IdmPath(), 0).bTentative, kTentativeDel);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 8);
    Put(*mapper, 8, b);
    EXPECT_EQ(RecordAt(IdmPath(), 1).ulOstId, 8u) << "a removed slot is not reused before it is solid";
    Impl(*mapper).SolidifyMature(true);
    EXPECT_EQ(ClassifyIdmRecord(RecordAt(IdmPath(), 0), true), IdmRecordState::Free);
    ExpectConsistent(m_store.Get(), *mapper, IdmPath());
}

TEST_F(FileMapperTest, SolidifierThreadRunsOnTheClock) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    Put(*mapper, 5, NewMessage(m_store.Get(), m_inbox.Get(), 5));
    // Two ticks: the first finds the record 30 s old only if it was put before the thread's wait began.
    for (int i = 0; i < 2 && Impl(*mapper).TentativeListSize() != 0; ++i) {
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return m_clock.GetWaiterCount() != 0; }))
            << "the solidifier thread never waited on the clock";
        m_clock.Advance(30000);
        for (int spin = 0; spin < 2000 && Impl(*mapper).TentativeListSize() != 0; ++spin)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Impl(*mapper).TentativeListSize(), 0u);
    EXPECT_EQ(RecordAt(IdmPath(), 0).bTentative, 0);
}

TEST_F(FileMapperTest, ReplacingAndSharedObjectsKeepOneIdPerObject) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 1);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 0);
    Put(*mapper, 1, a);
    Ostrel::Util::LogCapture log;
    Put(*mapper, 1, b);  // same id, another object: replaced in place, new object stamped
    EXPECT_TRUE(log.Contains(L"IDM: ORPHANING PST OBJECT"));
    EXPECT_TRUE(log.Contains(L"IDM: ADDING MAPPING FOR UNSTAMPED OBJ"));
    EXPECT_EQ(RecordAt(IdmPath(), 0).ulPstId, PstIdOf(b));
    EXPECT_EQ(StampOf(m_store.Get(), PstIdOf(b)), 1);

    Put(*mapper, 2, b);  // another id for the same object: the first id's mapping is withdrawn
    EXPECT_TRUE(log.Contains(L"IDM: PSTID ALREADY MAPPED"));
    EXPECT_FALSE(log.Contains(L"map size mismatch"));
    EXPECT_FALSE(mapper->Contains(1));
    EXPECT_EQ(Impl(*mapper).LookupPstId(2), PstIdOf(b));
    EXPECT_EQ(StampOf(m_store.Get(), PstIdOf(b)), 2);
    Impl(*mapper).SolidifyMature(true);
    ExpectConsistent(m_store.Get(), *mapper, IdmPath());
}

TEST_F(FileMapperTest, CheckedGetDeniesWrongStampsAndDropsOrphans) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 11);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 12);
    Put(*mapper, 11, a);
    Put(*mapper, 12, b);
    ULONG ulType = 0;
    IUnknown* pObj = nullptr;
    ASSERT_TRUE(mapper->Get(11, &ulType, &pObj));
    EXPECT_EQ(ulType, ULONG(MAPI_MESSAGE));
    pObj->Release();
    ASSERT_EQ(SetStamp(m_store.Get(), PstIdOf(a), 99), S_OK);
    EXPECT_FALSE(mapper->Get(11, &ulType, &pObj));
    EXPECT_EQ(pObj, nullptr);
    EXPECT_TRUE(mapper->Contains(11)) << "a wrong stamp denies access but keeps the record";
    ASSERT_EQ(DeleteMessage(m_store.Get(), m_inbox.Get(), b), S_OK);
    EXPECT_FALSE(mapper->Get(12, &ulType, &pObj));
    EXPECT_FALSE(mapper->Contains(12)) << "an object that is gone loses its mapping";
}

TEST_F(FileMapperTest, AnotherMapperOnTheFileSeesChangesThroughTheStamp) {
    auto first = NewMapper();
    auto second = NewMapper();
    ASSERT_EQ(first->LoadCache(), S_OK);
    ASSERT_EQ(second->LoadCache(), S_OK);
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 21);
    Put(*first, 21, a);
    Ostrel::Util::LogCapture log;
    EXPECT_TRUE(second->Contains(21));
    EXPECT_TRUE(log.Contains(L"Detected external modification of mapper data. Reloading cache."));
    // The clock stands still: two changes in one tick must still be told apart.
    ASSERT_TRUE(second->Remove(21));
    EXPECT_FALSE(first->Contains(21));
    Put(*first, 22, NewMessage(m_store.Get(), m_inbox.Get(), 22));
    EXPECT_TRUE(second->Contains(22));
}

TEST_F(FileMapperTest, VerificationAfterACrashSettlesEveryKindOfTentativeRecord) {
    const std::string kept = NewMessage(m_store.Get(), m_inbox.Get(), 31);
    const std::string gone = NewMessage(m_store.Get(), m_inbox.Get(), 32);
    const std::string stillThere = NewMessage(m_store.Get(), m_inbox.Get(), 33);
    const std::string wrongStamp = NewMessage(m_store.Get(), m_inbox.Get(), 77);
    const std::string solid = NewMessage(m_store.Get(), m_inbox.Get(), 35);
    {
        auto mapper = NewMapper();
        ASSERT_EQ(mapper->LoadCache(), S_OK);
        Put(*mapper, 35, solid);
        Impl(*mapper).SolidifyMature(true);
    }
    // The file a process left when it died: tentative records of each kind.
    std::vector<BYTE> bytes = ReadFile(IdmPath());
    bytes.resize(kIdmHeaderSize + 1024 * kIdmRecordSize);
    WriteIdmSlotCount(bytes.data(), 1024);
    WriteIdmRecord(bytes.data(), 1, 31, PstIdOf(kept), kTentativeAdd, true);
    WriteIdmRecord(bytes.data(), 2, 32, PstIdOf(gone), kTentativeAdd, true);
    WriteIdmRecord(bytes.data(), 3, 33, PstIdOf(stillThere), kTentativeDel, true);
    WriteIdmRecord(bytes.data(), 4, 34, PstIdOf(wrongStamp), kTentativeAdd, true);
    WriteIdmRecord(bytes.data(), 5, 36, 0x4444, kTentativeAdd, true);
    bytes[kIdmHeaderSize + 5 * kIdmRecordSize + 9] ^= 0x5A;  // cut short: its check disagrees
    WriteIdmTentativeCount(bytes.data(), 5);
    WriteFile(IdmPath(), bytes);
    ASSERT_EQ(DeleteMessage(m_store.Get(), m_inbox.Get(), gone), S_OK);

    SetIdmVerified(0);
    Ostrel::Util::LogCapture log;
    auto mapper = NewMapper();
    EXPECT_TRUE(log.Contains(L"Last OSN process exited unexpectedly. IDM requires repair."));
    ASSERT_EQ(mapper->LoadAndVerifyIfNec(), S_OK);
    EXPECT_EQ(GetIdmVerified(), 1u);
    EXPECT_TRUE(mapper->Contains(31));
    EXPECT_FALSE(mapper->Contains(32));
    EXPECT_TRUE(mapper->Contains(33)) << "a removal whose object still carries the stamp is undone";
    EXPECT_FALSE(mapper->Contains(34)) << "an object stamped for another id is not mapped";
    EXPECT_FALSE(mapper->Contains(36));
    EXPECT_TRUE(mapper->Contains(35));
    EXPECT_EQ(mapper->GetTentativeCount(), 0u);
    EXPECT_EQ(Impl(*mapper).TentativeListSize(), 0u);
    ExpectConsistent(m_store.Get(), *mapper, IdmPath());
}

TEST_F(FileMapperTest, LegacyFileIsUpgradedAndAnUnfinishedUpgradeIsRedone) {
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 41);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 42);
    std::vector<BYTE> legacy(kIdmLegacyHeaderSize + 3 * kIdmLegacyRecordSize, 0);
    const ULONG sig = kIdmLegacySignature, count = 3, ids[6] = {41, PstIdOf(a), 0, 0, 42, PstIdOf(b)};
    std::memcpy(legacy.data(), &sig, 4);
    std::memcpy(legacy.data() + 12, &count, 4);
    std::memcpy(legacy.data() + 16, ids, sizeof ids);
    const auto legacyPath = m_home.Path() / "test.idm";
    WriteFile(legacyPath, legacy);
    WriteFile(IdmPath(), {1, 2, 3});  // what an upgrade killed half way leaves
    {
        Ostrel::Util::LogCapture log;
        auto mapper = NewMapper();
        EXPECT_TRUE(log.Contains(L"Deleting obsolete verifiable IDM"));
        EXPECT_TRUE(log.Contains(L"Sucessfully upgraded IDM"));
        EXPECT_FALSE(std::filesystem::exists(legacyPath));
        EXPECT_EQ(std::filesystem::file_size(IdmPath()), kIdmHeaderSize + 3 * kIdmRecordSize);
        EXPECT_EQ(Impl(*mapper).LookupPstId(41), PstIdOf(a));
        EXPECT_EQ(Impl(*mapper).LookupPstId(42), PstIdOf(b));
        EXPECT_EQ(mapper->Size(), 2u);
        EXPECT_EQ(RecordAt(IdmPath(), 2).bTentative, 0);
    }
}

TEST_F(FileMapperTest, RemoveAllLeavesANewFile) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    for (LONG id = 1; id <= 3; ++id)
        Put(*mapper, id, NewMessage(m_store.Get(), m_inbox.Get(), id));
    mapper->RemoveAll();
    EXPECT_EQ(std::filesystem::file_size(IdmPath()), kIdmNewFileSize);
    EXPECT_EQ(mapper->Size(), 0u);
    EXPECT_EQ(mapper->GetTentativeCount(), 0u);
    Put(*mapper, 4, NewMessage(m_store.Get(), m_inbox.Get(), 4));
    EXPECT_EQ(RecordAt(IdmPath(), 0).ulOstId, 4u);
}

TEST_F(FileMapperTest, ShortEntryIdsAreRefusedAndLongOnesMappedByTheirNodeId) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    std::string eid = NewMessage(m_store.Get(), m_inbox.Get(), 51);
    Put(*mapper, 51, eid.substr(0, 20));
    EXPECT_FALSE(mapper->Contains(51));
    Put(*mapper, 51, eid + "xx");
    EXPECT_EQ(Impl(*mapper).LookupPstId(51), PstIdOf(eid));
}

}  // namespace
}  // namespace IdMapTest
