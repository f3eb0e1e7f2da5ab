// The logged store calls and the save flags that hand items to the client's rules.
#include <map>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/EntryId.h"
#include "Ostrel/Store/Memory.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

// An object that answers GetProps from a map and nothing else.
class PropsOnly : public Platform::ComObject<IMAPIProp> {
public:
    std::map<ULONG, ULONG> longs;
    std::wstring wsClass;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryInterfaceAmong<IMAPIProp>(riid, ppv); }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetProps(LPSPropTagArray pTags, ULONG, ULONG* pc, LPSPropValue* pp) override {
        void* p = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * pTags->cValues), &p);
        auto* pValues = static_cast<SPropValue*>(p);
        for (ULONG i = 0; i < pTags->cValues; ++i) {
            const ULONG ulTag = pTags->aulPropTag[i];
            pValues[i] = {PROP_TAG(PT_ERROR, PROP_ID(ulTag)), 0, {}};
            pValues[i].Value.err = MAPI_E_NOT_FOUND;
            if (longs.count(ulTag)) {
                pValues[i].ulPropTag = ulTag;
                pValues[i].Value.ul = longs[ulTag];
            } else if (ulTag == PR_MESSAGE_CLASS_W && !wsClass.empty()) {
                pValues[i].ulPropTag = ulTag;
                pValues[i].Value.lpszW = wsClass.data();
            }
        }
        *pc = pTags->cValues;
        *pp = pValues;
        return S_OK;
    }
    HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
};

void SetDword(const wchar_t* pwszName, DWORD dw) {
    HKEY h = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, pwszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw), ERROR_SUCCESS);
    RegCloseKey(h);
}

TEST(StoreWrapTest, SaveFlagsHandItemsToTheRulesOnlyWhenTheyShould) {
    TestSupport::TempHome home;
    ResetRegistryConfigCachesForTesting();
    Platform::Host::ResetToDefaults();
    Platform::ComPtr<PropsOnly> pItem;
    pItem.Attach(new PropsOnly);
    pItem->wsClass = L"IPM.Note";
    const ULONG ulBase = KEEP_OPEN_READWRITE;
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 1, 0, 1), ulBase);  // the store has no pipeline

    pItem->longs[PR_STORE_SUPPORT_MASK] = STORE_ITEMPROC;
    pItem->longs[PR_MESSAGE_FLAGS] = MSGFLAG_READ;
    SetDword(L"EnableLocalRules", 1);
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 1, 0, 1), ulBase);  // already read
    pItem->longs[PR_MESSAGE_FLAGS] = 0;
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 1, 0, 1), ulBase | kItemProcSaveFlags);
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 1, 1, 1), ulBase);  // the caller says read
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 1, 0, 0), ulBase);  // not new
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 0, 0, 1), ulBase);  // not delegated
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 1, 1, 0, 1), ulBase);  // no rules

    SetDword(L"LocalRulesControl", 3);  // delegate items and read items
    GetLocalRulesSettings(1);
    pItem->longs[PR_MESSAGE_FLAGS] = MSGFLAG_READ;
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 0, 0, 1), ulBase | kItemProcSaveFlags);
    SetDword(L"EnableLocalRules", 0);
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 0, 0, 0, 1), ulBase);

    // Receipts go to the rules whether or not the rules are on.
    Ostrel::Util::LogCapture capture;
    pItem->wsClass = L"Report.IPM.Note.IPNRN";
    EXPECT_TRUE(IsReceipt(pItem.Get()));
    EXPECT_TRUE(capture.Contains(L"This is a receipt"));
    EXPECT_EQ(GetSaveChangesFlags(pItem.Get(), ulBase, 1, 0, 0, 0), ulBase | kItemProcSaveFlags);
    EXPECT_TRUE(capture.Contains(L"Item will be fed into ItemProc Pipeline"));
    pItem->wsClass = L"report.ipm.note.ipnrn";
    EXPECT_FALSE(IsReceipt(pItem.Get()));
    ResetRegistryConfigCachesForTesting();
}

using StoreCallsTest = StoreFixture;

TEST_F(StoreCallsTest, MissingTableTagsNeverReachTheStore) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"m");
    Ostrel::Util::LogCapture capture;
    SPropValue values[2]{};
    values[0] = {PR_SUBJECT_W, 0, {}};
    values[0].Value.lpszW = const_cast<wchar_t*>(L"changed");
    values[1] = {NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, nullptr), 0, {}};
    EXPECT_EQ(WrapSetProps(pMessage.Get(), 2, values, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Contains(L"could not init name props..."));
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"m");
}

TEST(EntryIdTest, OrderCopiesAndBuffers) {
    const BYTE a[] = {1, 2, 3}, ab[] = {1, 2, 3, 0}, b[] = {1, 2, 4};
    CEntryID empty, idA(3, reinterpret_cast<const ENTRYID*>(a)), idAB(SBinary{4, const_cast<BYTE*>(ab)}),
        idB(3, reinterpret_cast<const ENTRYID*>(b));
    EXPECT_TRUE(empty < idA);
    EXPECT_FALSE(idA < empty);
    EXPECT_FALSE(empty < CEntryID());
    EXPECT_TRUE(idA < idAB);  // equal over the shorter length: the shorter first
    EXPECT_TRUE(idAB < idB);
    EXPECT_FALSE(idB < idA);
    CEntryID copy = idA;
    EXPECT_TRUE(copy == idA);
    EXPECT_NE(copy.Bin().lpb, idA.Bin().lpb);
    copy = idB;
    EXPECT_TRUE(copy == SBinary({3, const_cast<BYTE*>(b)}));
    copy.Clear();
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(static_cast<SBinary*>(copy), nullptr);

    const MAPIUID one = {{1}}, two = {{2}};
    EXPECT_TRUE(CMAPIUID(one) < CMAPIUID(two));
    EXPECT_TRUE(CMAPIUID(one) == CMAPIUID(one));

    // Strings chained to a block go with it.
    void* pBlock = nullptr;
    ASSERT_EQ(Memory::AllocateBuffer(8, &pBlock), S_OK);
    wchar_t* pwsz = Memory::CopyStringMore(L"chained", pBlock);
    char* psz = Memory::CopyStringMore("narrow", pBlock);
    ASSERT_NE(pwsz, nullptr);
    EXPECT_STREQ(pwsz, L"chained");
    EXPECT_STREQ(psz, "narrow");
    EXPECT_EQ(Memory::CopyStringMore(static_cast<const char*>(nullptr), pBlock), nullptr);
    Memory::SafeDelete(pBlock);
    EXPECT_EQ(pBlock, nullptr);
    wchar_t* pwszOwn = Memory::new_WCHAR(4);
    ASSERT_NE(pwszOwn, nullptr);
    EXPECT_EQ(pwszOwn[3], L'\0');
    Memory::SafeDelete(pwszOwn);
}

}  // namespace
}  // namespace StoreTest
