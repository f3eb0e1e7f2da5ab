// The message mapper: one hidden message per mapping in folders of 10000 ids, read back by a
// new mapper, and moved into the item mapper file.
#include <algorithm>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/MsgMapper.h"

namespace IdMapTest {
namespace {

class MsgMapperTest : public MapperFixture {
protected:
    static void Put(IIdMapperImpl& mapper, LONG lOstId, const std::string& eid) {
        mapper.Put(lOstId, ULONG(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data())), FALSE);
    }
    std::vector<std::wstring> FolderNames() {
        ComPtr<IMAPIFolder> pRoot, pBase;
        OpenRootFolder(m_store.Get(), pRoot.AddressOf());
        pRoot->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"~IdMapper", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                            pBase.AddressOf());
        ComPtr<IMAPITable> pTable;
        pBase->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
        SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_W}};
        LPSRowSet pRows = nullptr;
        HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows);
        std::vector<std::wstring> names;
        for (ULONG i = 0; pRows && i < pRows->cRows; ++i)
            names.push_back(pRows->aRow[i].lpProps[0].Value.lpszW);
        FreeProws(pRows);
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(MsgMapperTest, KeepsMappingsInFoldersOfTenThousandIds) {
    const std::string a = NewMessage(m_store.Get(), m_inbox.Get(), 9999);
    const std::string b = NewMessage(m_store.Get(), m_inbox.Get(), 10000);
    {
        MsgMapper mapper(m_store.Get(), nullptr);
        EXPECT_TRUE(mapper.IsFirstRun());
        Put(mapper, 9999, a);
        Put(mapper, 10000, b);
        Put(mapper, 10000, b);  // again: still one message
        EXPECT_EQ(FolderNames(), (std::vector<std::wstring>{L"0", L"1"}));
    }
    MsgMapper mapper(m_store.Get(), nullptr);
    EXPECT_FALSE(mapper.IsFirstRun());
    ASSERT_EQ(mapper.LoadCache(), S_OK);
    EXPECT_EQ(mapper.Size(), 2u);
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    ASSERT_TRUE(mapper.Get(10000, &cb, &pEid));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pEid), cb), b);
    MAPIFreeBuffer(pEid);
    EXPECT_TRUE(mapper.Remove(9999));
    EXPECT_FALSE(mapper.Remove(9999));
    MsgMapper reread(m_store.Get(), nullptr);
    ASSERT_EQ(reread.LoadCache(), S_OK);
    EXPECT_FALSE(reread.Contains(9999));
    EXPECT_TRUE(reread.Contains(10000));
}

TEST_F(MsgMapperTest, MigrationMovesEveryMappingIntoTheFile) {
    std::vector<std::pair<LONG, std::string>> items;
    {
        MsgMapper mapper(m_store.Get(), nullptr);
        for (LONG id : {5, 15000, 15001}) {
            items.emplace_back(id, NewMessage(m_store.Get(), m_inbox.Get(), id == 15001 ? 0 : id));
            Put(mapper, id, items.back().second);
        }
    }
    ASSERT_EQ(MigrateMsgMapperToFileMapper(m_store.Get()), S_OK);
    auto mapper = NewMapper();
    auto& impl = dynamic_cast<FileMapper&>(*mapper->GetImpl());
    for (const auto& [id, eid] : items)
        EXPECT_EQ(impl.LookupPstId(id), PstIdOf(eid)) << id;
    EXPECT_EQ(StampOf(m_store.Get(), PstIdOf(items[2].second)), 15001) << "an unstamped object gets its stamp";
}

}  // namespace
}  // namespace IdMapTest
