// Damaged mapper files: cut at every length, bytes changed at random, headers that lie. Each is
// opened as a fresh process would after a crash; the mapper must come up, map every stamped
// object to its own id again and never map an id to another object.
#include <sys/stat.h>

#include <cstring>
#include <random>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Support/Child.h"
#include "Util/Log/Log.h"

namespace IdMapTest {
namespace {

class DamageTest : public MapperFixture {
protected:
    void SetUp() override {
        MapperFixture::SetUp();
        for (LONG id = 1; id <= 3; ++id) {
            const std::string eid = NewMessage(m_store.Get(), m_inbox.Get(), id * 100);
            m_ids.emplace_back(id * 100, PstIdOf(eid));
        }
        // A compact valid file: three solid records and nothing else.
        m_good.assign(kIdmHeaderSize + 3 * kIdmRecordSize, 0);
        IdmHeader header;
        header.ulSlotCount = 3;
        header.ftStamp = FILETIME{0x1234, 0x01DB0000};
        WriteIdmHeader(m_good.data(), header);
        for (ULONG i = 0; i < 3; ++i)
            WriteIdmRecord(m_good.data(), i, ULONG(m_ids[i].first), m_ids[i].second, 0, true);
    }

    // Opens the damaged bytes as the first process after a crash and checks the outcome.
    void ExpectRecovered(const std::vector<BYTE>& bytes, const std::string& what) {
        WriteFile(IdmPath(), bytes);
        SetIdmVerified(0);
        auto mapper = NewMapper();
        ASSERT_EQ(mapper->LoadCache(), S_OK) << what;
        auto& impl = dynamic_cast<FileMapper&>(*mapper->GetImpl());
        for (const auto& [lOstId, ulPstId] : m_ids)
            EXPECT_EQ(impl.LookupPstId(lOstId), ulPstId) << what << ": id " << lOstId;
        EXPECT_EQ(mapper->Size(), m_ids.size()) << what;
        for (const std::string& problem : FindInconsistencies(m_store.Get(), *mapper, IdmPath(), false))
            ADD_FAILURE() << what << ": " << problem;
    }

    std::vector<std::pair<LONG, ULONG>> m_ids;
    std::vector<BYTE> m_good;
};

TEST_F(DamageTest, EveryTruncationIsRebuiltFromTheStamps) {
    for (size_t cb = 0; cb < m_good.size(); ++cb)
        ExpectRecovered(std::vector<BYTE>(m_good.begin(), m_good.begin() + static_cast<ptrdiff_t>(cb)),
                        "cut at " + std::to_string(cb));
}

TEST_F(DamageTest, RandomByteChangesNeverMapAnIdToAnotherObject) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 150; ++round) {
        std::vector<BYTE> bytes = m_good;
        const int cChanges = 1 + int(rng() % 3);
        std::string what = "round " + std::to_string(round) + ":";
        for (int i = 0; i < cChanges; ++i) {
            const size_t at = rng() % bytes.size();
            bytes[at] ^= static_cast<BYTE>(1 + rng() % 255);
            what += " byte " + std::to_string(at);
        }
        ExpectRecovered(bytes, what);
    }
}

TEST_F(DamageTest, HeadersThatLieAreCaught) {
    struct Lie {
        const char* what;
        ULONG ulOffset;
        ULONG ulValue;
    };
    const Lie lies[] = {{"more slots than the file holds", 12, 4},
                        {"slot count zero", 12, 0},
                        {"huge slot count", 12, 0xFFFFFFF0},
                        {"unknown flags", 20, 7},
                        {"reserved byte set", 28, 1},
                        {"foreign signature", 0, 0x12345678}};
    for (const Lie& lie : lies) {
        std::vector<BYTE> bytes = m_good;
        std::memcpy(bytes.data() + lie.ulOffset, &lie.ulValue, 4);
        Ostrel::Util::LogCapture log;
        ExpectRecovered(bytes, lie.what);
        EXPECT_TRUE(log.Contains(L"Corrupted file")) << lie.what;
        EXPECT_TRUE(std::filesystem::exists(IdmPath().string() + ".damaged")) << lie.what;
    }
    // Fewer slots counted than held, the rest zero: a growth cut short, counted in without a rebuild.
    std::vector<BYTE> bytes = m_good;
    bytes.resize(bytes.size() + 2 * kIdmRecordSize);
    Ostrel::Util::LogCapture log;
    ExpectRecovered(bytes, "uncounted zero records");
    EXPECT_FALSE(log.Contains(L"Corrupted file"));
    // A tentative count that lies changes nothing but the count.
    bytes = m_good;
    WriteIdmTentativeCount(bytes.data(), 99);
    ExpectRecovered(bytes, "tentative count");

    // A FIFO under the damaged copy's name does not hold up the rebuild: the copy is skipped.
    const std::filesystem::path copy = IdmPath().string() + ".damaged";
    std::filesystem::remove(copy);
    ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
    bytes = m_good;
    std::memcpy(bytes.data(), &lies[5].ulValue, 4);  // a foreign signature
    EXPECT_EQ(TestSupport::RunInChild([&] {
                  WriteFile(IdmPath(), bytes);
                  SetIdmVerified(0);
                  return NewMapper()->LoadCache() == S_OK;
              }),
              TestSupport::ChildOutcome::Succeeded);
    EXPECT_TRUE(std::filesystem::is_fifo(copy));
}

TEST_F(DamageTest, TwoObjectsWithOneStampKeepTheOneTheFileNamed) {
    const std::string dup = NewMessage(m_store.Get(), m_inbox.Get(), m_ids[1].first);
    std::vector<BYTE> bytes = m_good;
    bytes[kIdmHeaderSize + 2 * kIdmRecordSize + 4] ^= 0x40;  // the third record is damaged
    ExpectRecovered(bytes, "duplicate stamp");
    EXPECT_NE(PstIdOf(dup), m_ids[1].second);
}

TEST_F(DamageTest, RecordsWithoutChecksAreConfirmedByTheStampsOnce) {
    // The fuzzer's first finding: a file in the layout without record checks, whose plausible
    // records name objects stamped with other ids.
    std::vector<BYTE> bytes = m_good;
    WriteIdmHeader(bytes.data(), IdmHeader{kIdmSignature, FILETIME{1, 2}, 3, 0, 0});
    WriteIdmRecord(bytes.data(), 0, ULONG(m_ids[0].first), m_ids[1].second, 0, false);
    WriteIdmRecord(bytes.data(), 1, ULONG(m_ids[1].first), m_ids[0].second, 0, false);
    WriteIdmRecord(bytes.data(), 2, ULONG(m_ids[2].first), m_ids[2].second, 0, false);
    ExpectRecovered(bytes, "records without checks");
    EXPECT_EQ(ReadIdmRecord(ReadFile(IdmPath()).data(), 0).ulCheck != 0, true) << "written again with checks";
}

TEST_F(DamageTest, ALostFileIsRebuiltOnFirstUse) {
    auto mapper = NewMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    EXPECT_TRUE(mapper->IsFirstRun());
    EXPECT_EQ(mapper->Size(), m_ids.size());
}

}  // namespace
}  // namespace IdMapTest
