// Store files of the earlier layout, which kept the values in a table keyed by (nid, tag), open
// and work as they are; a file of the current layout whose key index is missing or different is
// refused, since a value written again would then become a second row.
#include <sqlite3.h>

#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

class LayoutVersionTest : public StoreFixture {
protected:
    // Runs SQL on the closed store file, as another program would.
    void Rewrite(const std::string& sql) {
        m_store.Reset();
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open(m_path.c_str(), &pDb), SQLITE_OK);
        char* pszError = nullptr;
        EXPECT_EQ(sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, &pszError), SQLITE_OK) << (pszError ? pszError : "");
        sqlite3_free(pszError);
        sqlite3_close(pDb);
    }
};

TEST_F(LayoutVersionTest, EarlierLayoutWorksAndAMissingKeyIndexIsRefused) {
    const ULONG ulTag = PROP_TAG(PT_LONG, 0x6702);
    std::string eid;
    {
        ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"kept");
        ASSERT_EQ(SetLong(pMsg.Get(), ulTag, 1), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        eid = EntryId(pMsg.Get());
    }
    Rewrite(
        "BEGIN;"
        "CREATE TABLE old(nid INTEGER NOT NULL, tag INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY(nid, tag))"
        " WITHOUT ROWID;"
        "INSERT INTO old SELECT nid, tag, value FROM props; DROP TABLE props; ALTER TABLE old RENAME TO props;"
        "UPDATE meta SET value='1' WHERE key='version'; COMMIT;");
    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), S_OK);
    {
        ComPtr<IMessage> pMsg = OpenMessage(eid);
        ASSERT_TRUE(pMsg);
        EXPECT_EQ(GetString(pMsg.Get(), PR_SUBJECT_W), L"kept");
        ASSERT_EQ(SetLong(pMsg.Get(), ulTag, 2), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        EXPECT_EQ(GetLong(OpenMessage(eid, 0).Get(), ulTag), 2);
    }

    // A new store has the key index; without it, or with another, the file is not the store's.
    m_store.Reset();
    m_path = m_home.Path() / "new.osd";
    ASSERT_EQ(Platform::OpenOsdStore(m_path, true, L"New", true, m_store.AddressOf()), S_OK);
    Rewrite("DROP INDEX props_key; CREATE INDEX props_key ON props(nid, tag)");
    EXPECT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), MAPI_E_CORRUPT_STORE);
    Rewrite("DROP INDEX props_key");
    EXPECT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), MAPI_E_CORRUPT_STORE);
}

}  // namespace
}  // namespace MapiTest
