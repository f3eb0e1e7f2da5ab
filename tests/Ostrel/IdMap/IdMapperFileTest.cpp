// The mapper file format: the field dump of every file in tests/data/idmap against the expected
// text beside it (OSTREL_REGENERATE=1 rewrites them, see regenerate.sh there), and the hash map
// the cache is built on against a standard map.
#include <cstdlib>
#include <fstream>
#include <random>
#include <unordered_map>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/IdHashMap.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Platform/Base/Utf.h"

namespace IdMapTest {
namespace {

TEST(IdMapperFileTest, DumpsMatchTheGoldenFiles) {
    const auto dir = TestSupport::DataDir() / "idmap";
    const bool bRegenerate = std::getenv("OSTREL_REGENERATE") != nullptr;
    int cFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".idm")
            continue;
        ++cFiles;
        const std::vector<BYTE> bytes = ReadFile(entry.path());
        const std::string dump = Platform::ToUtf8(DumpIdMapperFile(bytes.data(), bytes.size()));
        const auto refPath = entry.path().string() + ".ref";
        if (bRegenerate) {
            std::ofstream(refPath, std::ios::binary | std::ios::trunc) << dump;
            continue;
        }
        std::ifstream in(refPath, std::ios::binary);
        ASSERT_TRUE(in) << refPath;
        const std::string expected((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(dump, expected) << entry.path().filename();
    }
    EXPECT_GE(cFiles, 10);
}

TEST(IdMapperFileTest, RecordWritesKeepATentativeBitUntilTheLastStore) {
    std::vector<BYTE> bytes(kIdmHeaderSize + 2 * kIdmRecordSize, 0);
    WriteIdmRecord(bytes.data(), 1, 42, 0x8124, 0, true);
    EXPECT_EQ(ClassifyIdmRecord(ReadIdmRecord(bytes.data(), 1), true), IdmRecordState::Valid);
    // The states a killed writer can leave, store by store in the order WriteIdmRecord makes
    // them (bits, OstID, PstID, check bytes, bits), each carry a bit or are whole.
    std::vector<BYTE> after(bytes);
    WriteIdmRecord(after.data(), 1, 43, 0x8144, 0, true);
    const size_t base = kIdmHeaderSize + kIdmRecordSize;
    const std::vector<std::pair<size_t, size_t>> stores = {{0, 4}, {4, 8}, {9, 10}, {10, 11}, {11, 12}};
    std::vector<BYTE> state(bytes);
    state[base + 8] |= kTentativeAdd;
    EXPECT_NE(ClassifyIdmRecord(ReadIdmRecord(state.data(), 1), true), IdmRecordState::Bad);
    for (const auto& [from, to] : stores) {
        std::copy(after.begin() + ptrdiff_t(base + from), after.begin() + ptrdiff_t(base + to),
                  state.begin() + ptrdiff_t(base + from));
        EXPECT_NE(ClassifyIdmRecord(ReadIdmRecord(state.data(), 1), true), IdmRecordState::Bad) << from;
    }
    state[base + 8] = 0;
    EXPECT_EQ(state, after);
    ClearIdmRecord(bytes.data(), 1);
    EXPECT_EQ(ClassifyIdmRecord(ReadIdmRecord(bytes.data(), 1), true), IdmRecordState::Free);
    // Without checks the reserved bytes must stay zero.
    WriteIdmRecord(bytes.data(), 0, 1, 2, 0, false);
    EXPECT_EQ(ClassifyIdmRecord(ReadIdmRecord(bytes.data(), 0), false), IdmRecordState::Valid);
    EXPECT_EQ(ClassifyIdmRecord(ReadIdmRecord(bytes.data(), 0), true), IdmRecordState::Bad);
}

TEST(IdHashMapTest, AgreesWithAStandardMapUnderRandomChanges) {
    IdHashMap<ULONG> map;
    std::unordered_map<uint32_t, ULONG> model;
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        // Few distinct keys, so that erasing inside long probe runs is common; 0xFFFFFFFF included.
        const uint32_t key = rng() % 3 == 0 ? 0xFFFFFFFFu - rng() % 4 : rng() % 5000;
        if (rng() % 3 == 0) {
            EXPECT_EQ(map.Erase(key), model.erase(key) == 1);
        } else {
            map.Set(key, ULONG(i));
            model[key] = ULONG(i);
        }
    }
    ASSERT_EQ(map.Size(), model.size());
    for (const auto& [key, value] : model) {
        const ULONG* p = map.Find(key);
        ASSERT_NE(p, nullptr) << key;
        EXPECT_EQ(*p, value);
    }
    size_t cSeen = 0;
    map.ForEach([&](uint32_t key, ULONG value) {
        ++cSeen;
        EXPECT_EQ(model.at(key), value);
    });
    EXPECT_EQ(cSeen, model.size());
}

}  // namespace
}  // namespace IdMapTest
