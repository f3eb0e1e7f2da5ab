// Helpers of the id mapper tests: a store per test, stamped messages, the mapper file's bytes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Ostrel/IdMap/IdMapper.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/TempHome.h"

namespace IdMapTest {

using Platform::ComPtr;
using namespace Ostrel::Mapi;

// Opens (creating when asked) the store file.
ComPtr<IMsgStore> OpenStore(const std::filesystem::path& path, bool bCreate);
ComPtr<IMAPIFolder> Inbox(IMsgStore* pStore);
// A new message in the folder, stamped with lStamp unless it is 0; its entry id.
std::string NewMessage(IMsgStore* pStore, IMAPIFolder* pFolder, LONG lStamp);
ULONG PstIdOf(const std::string& eid);
// The stamp of node ulPstId: 0 when it has none, -1 when it cannot be opened.
LONG StampOf(IMsgStore* pStore, ULONG ulPstId);
HRESULT SetStamp(IMsgStore* pStore, ULONG ulPstId, LONG lStamp);
HRESULT DeleteMessage(IMsgStore* pStore, IMAPIFolder* pFolder, const std::string& eid);

std::vector<BYTE> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::vector<BYTE>& bytes);

// What is wrong with the mapper's file and cache: records that are damaged or still tentative
// (unless allowed), an id or object mapped twice, a mapped object that is gone or carries another
// stamp, a lookup that disagrees with the file. Empty when all is well.
std::vector<std::string> FindInconsistencies(IMsgStore* pStore, IdMapper& mapper, const std::filesystem::path& idmPath,
                                             bool bAllowTentative = true);
void ExpectConsistent(IMsgStore* pStore, IdMapper& mapper, const std::filesystem::path& idmPath);
// The solid records of a mapper file (OstID to PstID).
std::map<ULONG, ULONG> SolidRecords(const std::vector<BYTE>& bytes);

class MapperFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path IdmPath() const { return m_home.Path() / "test.idmv"; }
    std::unique_ptr<IdMapper> NewMapper();

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
    ComPtr<IMsgStore> m_store;
    ComPtr<IMAPIFolder> m_inbox;
};

}  // namespace IdMapTest
