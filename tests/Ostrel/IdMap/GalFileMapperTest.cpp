// The GAL mapper with references: block allocation, slack, replacement, removal, another mapper
// on the same file, a foreign file, and a damaged one rebuilt from the GAL folder.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/GalFileMapper.h"
#include "Ostrel/IdMap/GalMapperFile.h"
#include "Support/Child.h"
#include "Util/Log/Log.h"

namespace IdMapTest {
namespace {

struct Stats {
    ULONG ulFileSize = 0, ulMappings = 0, ulFreeBlocks = 0, ulFreeBytes = 0;
};

class GalFileMapperTest : public MapperFixture {
protected:
    std::filesystem::path GalPath() const { return m_home.Path() / "test_GAL2.idm"; }
    std::unique_ptr<IdMapper> NewGalMapper() {
        return std::make_unique<IdMapper>(nullptr, m_store.Get(), IdMapperTypeGalRefs);
    }
    static Stats StatsOf(IdMapper& mapper) {
        Stats s;
        mapper.UnitTestGetStats(s.ulFileSize, s.ulMappings, s.ulFreeBlocks, s.ulFreeBytes);
        return s;
    }
    static void PutRef(IdMapper& mapper, const std::string& ref, LONG lId, ULONG ulPstId) {
        RecordKey key{};
        std::string eid = MakePstEntryId(key, ulPstId);
        mapper.Put(std::wstring(ref.begin(), ref.end()), lId, ULONG(eid.size()), reinterpret_cast<BYTE*>(eid.data()));
    }
    static ULONG PstOf(IdMapper& mapper, const std::string& ref) {
        ULONG cb = 0;
        BYTE* pEid = nullptr;
        if (!mapper.Get(std::wstring(ref.begin(), ref.end()), &cb, &pEid))
            return 0;
        ULONG ul = 0;
        std::memcpy(&ul, pEid + 20, 4);
        MAPIFreeBuffer(pEid);
        return ul;
    }
};

TEST_F(GalFileMapperTest, FirstPutGrowsTheFileAndLeavesOneFreeBlock) {
    auto mapper = NewGalMapper();
    EXPECT_EQ(std::filesystem::file_size(GalPath()), kGalHeaderSize);
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    PutRef(*mapper, "alice", 5, 0x8124);
    const Stats s = StatsOf(*mapper);
    EXPECT_EQ(s.ulFileSize, kGalHeaderSize + kGalGrowBytes);
    EXPECT_EQ(s.ulMappings, 1u);
    EXPECT_EQ(s.ulFreeBlocks, 1u);
    EXPECT_EQ(s.ulFreeBytes, kGalGrowBytes - (14 + 5));
    EXPECT_EQ(PstOf(*mapper, "alice"), 0x8124u);
    EXPECT_TRUE(mapper->Contains(5));
    EXPECT_TRUE(mapper->Contains(std::wstring(L"alice")));
}

TEST_F(GalFileMapperTest, SlackUpToFortyThreeBytesIsAbsorbed) {
    auto mapper = NewGalMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string big(100, 'a');
    PutRef(*mapper, big, 1, 0x1004);
    PutRef(*mapper, "tail", 2, 0x1024);
    ASSERT_TRUE(mapper->Remove(std::wstring(big.begin(), big.end())));
    const ULONG ulBlocks = StatsOf(*mapper).ulFreeBlocks;
    PutRef(*mapper, std::string(100 - 43, 'b'), 3, 0x1044);  // 43 bytes left over: absorbed
    EXPECT_EQ(StatsOf(*mapper).ulFreeBlocks, ulBlocks - 1);
    ASSERT_TRUE(mapper->Remove(3));
    PutRef(*mapper, std::string(100 - 44, 'c'), 4, 0x1064);  // 44 bytes left over: split off
    EXPECT_EQ(StatsOf(*mapper).ulFreeBlocks, ulBlocks);
    std::wstring problem;
    const auto bytes = ReadFile(GalPath());
    EXPECT_TRUE(WalkGalBlocks(
        bytes.data(), bytes.size(), [](const GalBlock&) {}, &problem))
        << problem;
}

TEST_F(GalFileMapperTest, AHugeReferenceGrowsTheFileByItsSize) {
    auto mapper = NewGalMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    const std::string huge(kGalGrowBytes, 'h');
    PutRef(*mapper, huge, 9, 0x2004);
    EXPECT_EQ(StatsOf(*mapper).ulFileSize, kGalHeaderSize + kGalGrowBytes + 14 + 1024);
    EXPECT_EQ(PstOf(*mapper, huge), 0x2004u);
}

TEST_F(GalFileMapperTest, ReplacingKeepsOneEntryPerReferenceObjectAndId) {
    auto mapper = NewGalMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    PutRef(*mapper, "bob", 7, 0x3004);
    const auto before = ReadFile(GalPath());
    PutRef(*mapper, "bob", 7, 0x3004);
    EXPECT_EQ(ReadFile(GalPath()), before);
    PutRef(*mapper, "bob", 7, 0x3024);
    EXPECT_EQ(PstOf(*mapper, "bob"), 0x3024u);
    PutRef(*mapper, "carol", 7, 0x3044);  // the id moves to carol
    EXPECT_EQ(PstOf(*mapper, "bob"), 0x3024u);
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    ASSERT_TRUE(mapper->Get(7, &cb, &pEid));
    EXPECT_EQ(pEid[20], 0x44);
    MAPIFreeBuffer(pEid);
    PutRef(*mapper, "dave", 8, 0x3044);  // the object moves to dave
    EXPECT_FALSE(mapper->Contains(std::wstring(L"carol")));
    EXPECT_EQ(mapper->Size(), 2u);
    auto other = NewGalMapper();
    ASSERT_EQ(other->LoadCache(), S_OK);
    EXPECT_EQ(PstOf(*other, "dave"), 0x3044u);
    EXPECT_EQ(PstOf(*other, "bob"), 0x3024u);
    mapper->RemoveAll();
    EXPECT_EQ(std::filesystem::file_size(GalPath()), kGalHeaderSize);
    EXPECT_EQ(other->Size(), 0u);
}

// Thousands of puts and removes in random order, checked against a model of the mapping rules
// (one entry per reference, per object and per server id), then by a second mapper that loads
// the file: the index must find every reference it holds and none it dropped.
TEST_F(GalFileMapperTest, ManyChangesAgreeWithAModelAndTheFile) {
    struct Entry {
        ULONG ulPstId;
        LONG lId;
    };
    std::map<std::string, Entry> model;
    auto mapper = NewGalMapper();
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    std::mt19937 rng(23);
    auto refOf = [](unsigned n) {  // short and long references, many sharing a prefix
        return n % 3 ? "uid-" + std::to_string(n) : std::string(20 + n % 40, 'x') + std::to_string(n);
    };
    for (int op = 0; op < 3000; ++op) {
        const unsigned uKind = rng() % 10;
        const std::string ref = refOf(rng() % 1200);
        if (uKind < 7) {
            const ULONG ulPstId = 0x24 + (rng() % 1500) * 0x20;
            const LONG lId = rng() % 3 ? LONG(rng() % 400) : 0;
            PutRef(*mapper, ref, lId, ulPstId);
            auto it = model.find(ref);
            if (it != model.end() && it->second.ulPstId == ulPstId && (lId == 0 || it->second.lId == lId))
                continue;
            model.erase(ref);
            std::erase_if(model, [&](const auto& kv) { return kv.second.ulPstId == ulPstId; });
            for (auto& [r, e] : model)
                if (lId != 0 && e.lId == lId)
                    e.lId = 0;
            model[ref] = Entry{ulPstId, lId};
        } else if (uKind < 9) {
            EXPECT_EQ(mapper->Remove(std::wstring(ref.begin(), ref.end())), model.erase(ref) == 1) << ref;
        } else {
            const LONG lId = LONG(rng() % 400) + 1;
            auto it = std::find_if(model.begin(), model.end(), [&](const auto& kv) { return kv.second.lId == lId; });
            EXPECT_EQ(mapper->Remove(lId), it != model.end()) << lId;
            if (it != model.end())
                model.erase(it);
        }
    }
    ASSERT_GT(model.size(), 300u);
    auto other = NewGalMapper();
    ASSERT_EQ(other->LoadCache(), S_OK);
    for (IdMapper* pMapper : {mapper.get(), other.get()}) {
        EXPECT_EQ(pMapper->Size(), model.size());
        for (unsigned n = 0; n < 1200; ++n) {
            auto it = model.find(refOf(n));
            ASSERT_EQ(PstOf(*pMapper, refOf(n)), it == model.end() ? 0 : it->second.ulPstId) << refOf(n);
        }
        for (const auto& [ref, e] : model) {
            if (e.lId == 0)
                continue;
            ULONG cb = 0;
            BYTE* pEid = nullptr;
            ASSERT_TRUE(pMapper->Get(e.lId, &cb, &pEid)) << e.lId;
            ULONG ulPstId = 0;
            std::memcpy(&ulPstId, pEid + 20, 4);
            MAPIFreeBuffer(pEid);
            EXPECT_EQ(ulPstId, e.ulPstId) << e.lId;
        }
    }
}

// A free block whose body was damaged still walks; the block split off it by a put must too.
TEST_F(GalFileMapperTest, SplittingADamagedFreeBlockLeavesAFileThatWalks) {
    std::vector<BYTE> bytes(kGalHeaderSize + 200, kGalStateFree);
    std::memcpy(bytes.data(), "NAPI", 4);
    std::fill(bytes.begin() + 4, bytes.begin() + kGalHeaderSize, BYTE(0));
    bytes[20] = 200;  // free bytes
    bytes[kGalHeaderSize] = 200;
    std::fill(bytes.begin() + kGalHeaderSize + 4, bytes.begin() + kGalHeaderSize + 13, BYTE(kGalStateFree));
    std::fill(bytes.begin() + kGalHeaderSize + 20, bytes.begin() + kGalHeaderSize + 40, BYTE(0x02));
    WriteFile(GalPath(), bytes);
    {
        auto mapper = NewGalMapper();
        ASSERT_EQ(mapper->LoadCache(), S_OK);
        PutRef(*mapper, "a", 1, 0x4004);  // 15 bytes: the rest is split off at a damaged spot
    }
    std::wstring problem;
    const auto after = ReadFile(GalPath());
    EXPECT_TRUE(WalkGalBlocks(
        after.data(), after.size(), [](const GalBlock&) {}, &problem))
        << problem;
    auto mapper = NewGalMapper();
    Ostrel::Util::LogCapture log;
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    EXPECT_FALSE(log.Contains(L"Corrupted file"));
    EXPECT_EQ(PstOf(*mapper, "a"), 0x4004u);
}

TEST_F(GalFileMapperTest, AForeignFileIsRefusedAndLeftAlone) {
    const std::vector<BYTE> foreign(40, 0x41);
    WriteFile(GalPath(), foreign);
    auto mapper = NewGalMapper();
    EXPECT_EQ(mapper->LoadCache(), MAPI_E_NOT_INITIALIZED);
    EXPECT_EQ(ReadFile(GalPath()), foreign);
}

TEST_F(GalFileMapperTest, DamagedBlocksAreRebuiltFromTheGalFolder) {
    ComPtr<IMAPIFolder> pRoot;
    ASSERT_EQ(OpenRootFolder(m_store.Get(), pRoot.AddressOf()), S_OK);
    ComPtr<IMAPIFolder> pGal;
    ASSERT_EQ(pRoot->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Global Address List", nullptr, nullptr, MAPI_UNICODE,
                                  pGal.AddressOf()),
              S_OK);
    const IdMapperTags tags = GetIdMapperTags(m_store.Get());
    std::vector<ULONG> nids;
    for (LONG id = 1; id <= 3; ++id) {
        const std::string eid = NewMessage(m_store.Get(), pGal.Get(), id);
        nids.push_back(PstIdOf(eid));
        ComPtr<IMAPIProp> pObj;
        ULONG ulType = 0;
        m_store->OpenEntry(ULONG(eid.size()), (LPENTRYID)eid.data(), &IID_IMAPIProp, MAPI_MODIFY, &ulType,
                           reinterpret_cast<IUnknown**>(pObj.AddressOf()));
        std::wstring ref = L"ref" + std::to_wstring(id);
        SPropValue value{};
        value.ulPropTag = tags.ulUniqueIdTag;
        value.Value.lpszW = ref.data();
        HrSetOneProp(pObj.Get(), &value);
        pObj->SaveChanges(0);
    }
    {
        auto mapper = NewGalMapper();
        Ostrel::Util::LogCapture log;
        ASSERT_EQ(mapper->LoadCache(), S_OK);
        EXPECT_TRUE(log.Contains(L"GAL mapper needs rebuilding because mapper has 0 records but GAL has 3 entries"));
        EXPECT_EQ(mapper->Size(), 3u);
    }
    std::vector<BYTE> bytes = ReadFile(GalPath());
    bytes[kGalHeaderSize] = 3;  // the first block's size: the walk breaks
    bytes[kGalHeaderSize + 1] = bytes[kGalHeaderSize + 2] = bytes[kGalHeaderSize + 3] = 0;
    // A FIFO under the damaged copy's name does not hold up the rebuild: the copy is skipped.
    const std::filesystem::path copy = GalPath().string() + ".damaged";
    ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
    WriteFile(GalPath(), bytes);
    ASSERT_EQ(TestSupport::RunInChild([&] { return NewGalMapper()->LoadCache() == S_OK; }),
              TestSupport::ChildOutcome::Succeeded);
    WriteFile(GalPath(), bytes);
    auto mapper = NewGalMapper();
    Ostrel::Util::LogCapture log;
    ASSERT_EQ(mapper->LoadCache(), S_OK);
    EXPECT_TRUE(log.Contains(L"Corrupted file"));
    for (LONG id = 1; id <= 3; ++id)
        EXPECT_EQ(PstOf(*mapper, "ref" + std::to_string(id)), nids[size_t(id - 1)]);
    ULONG ulType = 0;
    IUnknown* pObj = nullptr;
    ASSERT_TRUE(mapper->Get(std::wstring(L"ref2"), 2, &ulType, &pObj, 0));
    pObj->Release();
}

}  // namespace
}  // namespace IdMapTest
