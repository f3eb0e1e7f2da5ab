#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "MapiTestUtil.h"
#include "Platform/Base/Paths.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Support/Child.h"

namespace MapiTest {
namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Platform::MapiCreateProfile(L"Work", true), S_OK);
        ASSERT_EQ(Platform::MapiAddService(L"Work", L"OSTREL", L"Ostrel connector", &m_serviceUid), S_OK);
        ASSERT_EQ(Platform::MapiAddStore(L"Work", m_serviceUid, L"Mailbox", m_home.Path() / "mailbox.osd", true,
                                         &m_providerUid),
                  S_OK);
        ASSERT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_UNICODE, m_session.AddressOf()), S_OK);
    }

    ComPtr<IMsgStore> DefaultStore() {
        ComPtr<IMAPITable> pTable;
        EXPECT_EQ(m_session->GetMsgStoresTable(0, pTable.AddressOf()), S_OK);
        SizedSPropTagArray(3, cols) = {3, {PR_ENTRYID, PR_DEFAULT_STORE, PR_DISPLAY_NAME_W}};
        RowsHolder rows;
        EXPECT_EQ(HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &rows.p), S_OK);
        EXPECT_EQ(rows.p->cRows, 1u);
        EXPECT_TRUE(rows.p->aRow[0].lpProps[1].Value.b);
        EXPECT_STREQ(rows.p->aRow[0].lpProps[2].Value.lpszW, L"Mailbox");
        ComPtr<IMsgStore> pStore;
        const SBinary& eid = rows.p->aRow[0].lpProps[0].Value.bin;
        EXPECT_EQ(m_session->OpenMsgStore(0, eid.cb, (LPENTRYID)eid.lpb, nullptr, MDB_WRITE, pStore.AddressOf()), S_OK);
        return pStore;
    }

    TestSupport::TempHome m_home;
    MAPIUID m_serviceUid{}, m_providerUid{};
    ComPtr<IMAPISession> m_session;
};

TEST_F(SessionTest, ProfilesListTheirStoresAndUnknownProfilesFail) {
    EXPECT_EQ(Platform::MapiListProfiles(), (std::vector<std::wstring>{L"Work"}));
    EXPECT_EQ(Platform::MapiCreateProfile(L"work", false), MAPI_E_COLLISION);
    EXPECT_EQ(Platform::MapiCreateProfile(L"../escape", false), MAPI_E_INVALID_PARAMETER);
    ComPtr<IMAPISession> pOther;
    EXPECT_EQ(MAPILogonEx(0, (LPTSTR)L"Nobody", nullptr, MAPI_UNICODE, pOther.AddressOf()), MAPI_E_LOGON_FAILED);
    ASSERT_EQ(MAPILogonEx(0, (LPTSTR) "work", nullptr, 0, pOther.AddressOf()), S_OK);  // names ignore case

    ComPtr<IMsgStore> pStore = DefaultStore();
    ASSERT_TRUE(pStore);
    EXPECT_EQ(GetString(pStore.Get(), PR_DISPLAY_NAME_W), L"Mailbox");
    // Objects of the profile's stores open through the session by entry id.
    ComPtr<IMAPIFolder> pRoot;
    ULONG ulType = 0;
    ASSERT_EQ(pStore->OpenEntry(0, nullptr, nullptr, 0, &ulType, reinterpret_cast<IUnknown**>(pRoot.AddressOf())),
              S_OK);
    std::string eid = EntryId(pRoot.Get());
    ComPtr<IUnknown> pUnk;
    ASSERT_EQ(m_session->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, 0, &ulType, pUnk.AddressOf()), S_OK);
    EXPECT_EQ(ulType, MAPI_FOLDER);
    std::string bogus(24, '\x11');
    EXPECT_EQ(m_session->OpenEntry(24, (LPENTRYID)bogus.data(), nullptr, 0, &ulType, pUnk.AddressOf()),
              MAPI_E_UNKNOWN_ENTRYID);

    EXPECT_EQ(Platform::MapiDeleteProfile(L"WORK"), S_OK);
    EXPECT_TRUE(Platform::MapiListProfiles().empty());
    EXPECT_EQ(Platform::MapiDeleteProfile(L"Work"), MAPI_E_NOT_FOUND);
}

// Links planted where the default profile name is written never redirect that write: the file
// they point at keeps its content and the name lands in a regular file of its own.
TEST_F(SessionTest, TheDefaultProfileNameIsNotWrittenThroughLinks) {
    namespace fs = std::filesystem;
    const fs::path dir = Platform::OstrelHome() / "profiles";
    const fs::path victim = m_home.Path() / "victim";
    std::ofstream(victim) << "untouched";
    auto content = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    fs::create_symlink(victim, dir / "default.tmp");
    ASSERT_EQ(Platform::MapiCreateProfile(L"Home", true), S_OK);
    fs::remove(dir / "default");
    fs::create_symlink(victim, dir / "default");
    ASSERT_EQ(Platform::MapiCreateProfile(L"Spare", true), S_OK);
    EXPECT_EQ(content(victim), "untouched");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "default")));
    EXPECT_EQ(content(dir / "default"), "Spare\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "default.tmp")));
}

// A FIFO in place of the default profile's name does not keep a logon waiting: it names no
// profile, and of a single profile that one is used.
TEST_F(SessionTest, AFifoAsTheDefaultProfileNameIsNotWaitedOn) {
    const std::filesystem::path name = Platform::OstrelHome() / "profiles" / "default";
    std::filesystem::remove(name);
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    EXPECT_EQ(TestSupport::RunInChild([] {
                  ComPtr<IMAPISession> pSession;
                  return MAPILogonEx(0, nullptr, nullptr, MAPI_UNICODE, pSession.AddressOf()) == S_OK;
              }),
              TestSupport::ChildOutcome::Succeeded);
}

TEST_F(SessionTest, ProfileSectionsPersistAndNeedWriteAccess) {
    ComPtr<IProfSect> pSection;
    ASSERT_EQ(m_session->OpenProfileSection(&m_serviceUid, nullptr, MAPI_MODIFY, pSection.AddressOf()), S_OK);
    EXPECT_EQ(GetString(pSection.Get(), PR_SERVICE_NAME_W), L"OSTREL");
    ASSERT_EQ(SetString(pSection.Get(), PROP_TAG(PT_UNICODE, 0x668C), L"trusted-token"), S_OK);

    // Another session (as another process would) sees the value without SaveChanges.
    ComPtr<IMAPISession> pOther;
    ASSERT_EQ(MAPILogonEx(0, (LPTSTR)L"Work", nullptr, MAPI_UNICODE, pOther.AddressOf()), S_OK);
    ComPtr<IProfSect> pRead;
    ASSERT_EQ(pOther->OpenProfileSection(&m_serviceUid, nullptr, 0, pRead.AddressOf()), S_OK);
    EXPECT_EQ(GetString(pRead.Get(), PROP_TAG(PT_UNICODE, 0x668C)), L"trusted-token");
    EXPECT_EQ(SetString(pRead.Get(), PROP_TAG(PT_UNICODE, 0x668C), L"x"), MAPI_E_NO_ACCESS);
    SizedSPropTagArray(2, tags) = {2, {PROP_TAG(PT_UNICODE, 0x668C), PROP_TAG(PT_UNICODE, 0x6640)}};
    ULONG cValues = 0;
    MapiBuf<SPropValue> values;
    EXPECT_EQ(pRead->GetProps((LPSPropTagArray)&tags, 0, &cValues, &values), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(values[1].Value.err, MAPI_E_NOT_FOUND);
    MapiBuf<SPropTagArray> ids;
    EXPECT_EQ(pRead->GetIDsFromNames(0, nullptr, 0, &ids), MAPI_E_NO_SUPPORT);

    // The global section knows the profile's name; the support object opens the provider's own section.
    ComPtr<IProfSect> pGlobal;
    ASSERT_EQ(m_session->OpenProfileSection(const_cast<MAPIUID*>(&pbGlobalProfileSectionGuid), nullptr, 0,
                                            pGlobal.AddressOf()),
              S_OK);
    EXPECT_EQ(GetString(pGlobal.Get(), PR_PROFILE_NAME_W), L"Work");
    ComPtr<IMAPISupport> pSupport;
    ASSERT_EQ(Platform::MapiCreateSupport(m_session.Get(), m_providerUid, pSupport.AddressOf()), S_OK);
    ComPtr<IProfSect> pOwn;
    ASSERT_EQ(pSupport->OpenProfileSection(nullptr, 0, pOwn.AddressOf()), S_OK);
    EXPECT_EQ(GetBinary(pOwn.Get(), PR_SERVICE_UID), std::string((char*)m_serviceUid.ab, 16));
}

TEST_F(SessionTest, TheAddressBookResolvesSmtpAddressesAndOneOffs) {
    ComPtr<IAddrBook> pAb;
    ASSERT_EQ(m_session->OpenAddressBook(0, nullptr, 0, pAb.AddressOf()), S_OK);
    ULONG cb = 0;
    MapiBuf<ENTRYID> eid;
    ASSERT_EQ(
        pAb->CreateOneOff((LPTSTR)L"Ann Example", (LPTSTR)L"SMTP", (LPTSTR)L"ann@example.com", MAPI_UNICODE, &cb, &eid),
        S_OK);
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    ASSERT_EQ(pAb->OpenEntry(cb, eid.p, nullptr, 0, &ulType, pUnk.AddressOf()), S_OK);
    EXPECT_EQ(ulType, MAPI_MAILUSER);
    auto* pUser = static_cast<IMailUser*>(pUnk.Get());
    EXPECT_EQ(GetString(pUser, PR_EMAIL_ADDRESS_W), L"ann@example.com");
    EXPECT_EQ(GetString(pUser, PR_DISPLAY_NAME_W), L"Ann Example");
    EXPECT_EQ(GetBinary(pUser, PR_SEARCH_KEY), std::string("SMTP:ANN@EXAMPLE.COM", 20) + '\0');
    std::string garbage(30, 'x');
    EXPECT_EQ(pAb->OpenEntry(30, (LPENTRYID)garbage.data(), nullptr, 0, &ulType, pUnk.AddressOf()),
              MAPI_E_UNKNOWN_ENTRYID);

    // Two rows: one resolvable, one not.
    void* p = nullptr;
    MAPIAllocateBuffer(CbNewADRLIST(2), &p);
    auto* pList = static_cast<ADRLIST*>(p);
    pList->cEntries = 2;
    const wchar_t* texts[2] = {L"Bob <bob@example.org>", L"just a name"};
    for (int i = 0; i < 2; ++i) {
        MAPIAllocateBuffer(2 * sizeof(SPropValue), (void**)&pList->aEntries[i].rgPropVals);
        pList->aEntries[i].cValues = 2;
        pList->aEntries[i].rgPropVals[0].ulPropTag = PR_DISPLAY_NAME_W;
        pList->aEntries[i].rgPropVals[0].Value.lpszW = const_cast<wchar_t*>(texts[i]);
        pList->aEntries[i].rgPropVals[1].ulPropTag = PR_RECIPIENT_TYPE;
        pList->aEntries[i].rgPropVals[1].Value.l = MAPI_CC;
    }
    EXPECT_EQ(pAb->ResolveName(0, MAPI_UNICODE, nullptr, pList), MAPI_E_NOT_FOUND);
    ADRENTRY& bob = pList->aEntries[0];
    EXPECT_STREQ(PpropFindProp(bob.rgPropVals, bob.cValues, PR_EMAIL_ADDRESS_W)->Value.lpszW, L"bob@example.org");
    EXPECT_STREQ(PpropFindProp(bob.rgPropVals, bob.cValues, PR_DISPLAY_NAME_W)->Value.lpszW, L"Bob");
    EXPECT_EQ(PpropFindProp(bob.rgPropVals, bob.cValues, PR_RECIPIENT_TYPE)->Value.l, MAPI_CC);
    const SPropValue* pEid = PpropFindProp(bob.rgPropVals, bob.cValues, PR_ENTRYID);
    ASSERT_NE(pEid, nullptr);
    ULONG ulSame = 0;
    ASSERT_EQ(pAb->CompareEntryIDs(pEid->Value.bin.cb, (LPENTRYID)pEid->Value.bin.lpb, cb, eid.p, 0, &ulSame), S_OK);
    EXPECT_FALSE(ulSame);
    EXPECT_EQ(PpropFindProp(pList->aEntries[1].rgPropVals, pList->aEntries[1].cValues, PR_ENTRYID), nullptr);
    FreePadrlist(pList);
}

}  // namespace
}  // namespace MapiTest
