// The rules of the two contact converters one at a time: dates, display names, composed
// addresses, e-mail slots, certificates, user fields, lists, and what a second conversion of a
// changed contact leaves behind.
#include "ContactTestSupport.h"
#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace ContactConvertTest {
namespace {

using Ostrel::Mail::Contact;
using Ostrel::Mapi::NamedProps;

class ContactConvert : public ContactStoreFixture {
protected:
    // A new store message with the contact written onto it (saved).
    Platform::ComPtr<IMessage> Write(const Contact& contact, bool bGal = false) {
        Platform::ComPtr<IMessage> msg;
        EXPECT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.AddressOf()), S_OK);
        Rewrite(msg.Get(), contact, bGal);
        return msg;
    }
    void Rewrite(IMessage* pMsg, const Contact& contact, bool bGal = false) {
        Ostrel::Mapi::L2MContactConverter converter(&contact, nullptr, m_items.get(), m_galMapper.get());
        EXPECT_TRUE(converter.Convert(pMsg, bGal, false));
        EXPECT_EQ(pMsg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    std::unique_ptr<Contact> Back(IMessage* pMsg) {
        return Ostrel::Mapi::M2LContactConverter(pMsg, m_store.Get()).Convert();
    }
    ULONG Named(NamedProps::PropIdx idx, ULONG ulType) {
        return Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get())->GetPropTag(idx, ulType);
    }
    static std::wstring Str(IMAPIProp* p, ULONG ulTag) {
        LPSPropValue v = nullptr;
        std::wstring ws = L"<missing>";
        if (SUCCEEDED(HrGetOneProp(p, ulTag, &v)) && PROP_TYPE(v->ulPropTag) == PT_UNICODE)
            ws = v->Value.lpszW;
        MAPIFreeBuffer(v);
        return ws;
    }
    static std::unique_ptr<Contact> Make(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> attrs) {
        auto c = std::make_unique<Contact>();
        for (const auto& [name, value] : attrs)
            c->SetAttribute(name, value);
        return c;
    }
};

TEST(ContactValues, DatesInTheThreeFormsAndNoOther) {
    for (const wchar_t* pwsz : {L"1985-04-12", L"04/12/1985"}) {
        auto d = Ostrel::Mapi::ParseContactDate(pwsz);
        ASSERT_TRUE(d) << pwsz;
        EXPECT_EQ(Ostrel::Mapi::FormatContactDate(*d), L"1985-04-12");
    }
    auto noYear = Ostrel::Mapi::ParseContactDate(L"--04-12");
    ASSERT_TRUE(noYear);
    EXPECT_EQ(noYear->iYear, 1900);
    EXPECT_EQ(Ostrel::Mapi::FormatContactDate(*noYear), L"--04-12");
    for (const wchar_t* pwsz :
         {L"12.04.1985", L"1985-02-30", L"13/01/2000", L"1985-4-12", L"", L"--4-12", L"1985-04-1x"})
        EXPECT_FALSE(Ostrel::Mapi::ParseContactDate(pwsz)) << pwsz;
}

TEST(ContactValues, CertificateRecordsAreFoundAndBadOnesRefused) {
    std::string der = "\x30\x82\x01\x02" + std::string(20, 'x');
    std::string records = Ostrel::Mapi::MakeCertificateRecords(der);
    ASSERT_EQ(records.size(), der.size() + 4 * 4 + 3 * 4);
    std::string found;
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(records, found), Ostrel::Mapi::CertScan::Found);
    EXPECT_EQ(found, der);
    std::string longer = records;
    longer[11] = static_cast<char>(0x7F);  // the certificate record claims more than the value holds
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(longer, found), Ostrel::Mapi::CertScan::BadLength);
    std::string empty = records.substr(0, 8) + std::string("\x03\x00\x04\x00", 4) + records.substr(8 + 4 + der.size());
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(empty, found), Ostrel::Mapi::CertScan::BadLength);
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(records.substr(0, 8), found),
              Ostrel::Mapi::CertScan::NoKeyExchange);
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(std::string("\x01\x00\x00\x00\x09", 5), found),
              Ostrel::Mapi::CertScan::NoKeyExchange);  // a zero length ends the scan
    // A record whose length leaps past the end of the value (found by fuzzing).
    std::string leap = std::string("\x01\x00\x08\x00\x01\x00\x00\x00\x02\x00\x30\x00", 12) + std::string(32, 'z');
    EXPECT_EQ(Ostrel::Mapi::FindKeyExchangeCertificate(leap, found), Ostrel::Mapi::CertScan::NoKeyExchange);
}

TEST(ContactProps, ComposedAddressesDropMissingPartsWithTheirSeparators) {
    EXPECT_EQ(Ostrel::Mapi::ComposeAddress(L"1 Main St", L"Springfield", L"IL", L"62701", L"USA"),
              L"1 Main St\r\nSpringfield, IL 62701\r\nUSA");
    EXPECT_EQ(Ostrel::Mapi::ComposeAddress(L"1 Main St", L"Springfield", L"", L"62701", L"USA"),
              L"1 Main St\r\nSpringfield62701\r\nUSA");
    EXPECT_EQ(Ostrel::Mapi::ComposeAddress(L"", L"", L"", L"", L"USA"), L"\r\nUSA");
    EXPECT_EQ(Ostrel::Mapi::ComposeAddress(L"", L"", L"IL", L"", L""), L"IL ");
}

TEST_F(ContactConvert, BirthdaysSetTheLocalDateAndItsMidnightInUtc) {
    for (const wchar_t* pwsz : {L"1985-04-12", L"04/12/1985", L"--04-12"}) {
        SCOPED_TRACE(pwsz);
        auto msg = Write(*Make({{L"birthday", pwsz}}));
        LPSPropValue local = nullptr, utc = nullptr;
        ASSERT_EQ(HrGetOneProp(msg.Get(), Named(NamedProps::ADDR_80DE, PT_SYSTIME), &local), S_OK);
        ASSERT_EQ(HrGetOneProp(msg.Get(), PR_BIRTHDAY, &utc), S_OK);
        Ostrel::Mapi::ContactDate d = Ostrel::Mapi::FileTimeToContactDate(local->Value.ft);
        EXPECT_EQ(d.iMonth, 4);
        EXPECT_EQ(d.iDay, 12);
        EXPECT_EQ(d.iYear, std::wstring(pwsz)[0] == L'-' ? 1900 : 1985);
        FILETIME ftUtc{};
        ASSERT_TRUE(Ostrel::Util::LocalFileTimeToFileTime(&local->Value.ft, &ftUtc));
        EXPECT_EQ(utc->Value.ft.dwLowDateTime, ftUtc.dwLowDateTime);
        MAPIFreeBuffer(local);
        MAPIFreeBuffer(utc);
    }
    auto msg = Write(*Make({{L"birthday", L"12.04.1985"}}));
    EXPECT_FALSE(FPropExists(msg.Get(), PR_BIRTHDAY));
}

TEST_F(ContactConvert, DisplayNameFallsBackAndMarksResources) {
    auto room = Make({{L"fullName", L"Room 1"}, {L"ostrelCalResType", L"location"}, {L"dn", L"uid=room1"}});
    EXPECT_EQ(Str(Write(*room, true).Get(), PR_DISPLAY_NAME_W), L"Room 1 (Location)");
    auto beamer = Make({{L"fullName", L"Beamer"}, {L"ostrelCalResType", L"Equipment"}});
    EXPECT_EQ(Str(Write(*beamer, true).Get(), PR_DISPLAY_NAME_W), L"Beamer (Equipment)");
    EXPECT_EQ(Str(Write(*beamer, false).Get(), PR_DISPLAY_NAME_W), L"Beamer");
    EXPECT_EQ(Str(Write(*Make({{L"outlookFileAs", L"Lee, Ann"}, {L"email", L"a@x.test"}})).Get(), PR_DISPLAY_NAME_W),
              L"Lee, Ann");
    EXPECT_EQ(Str(Write(*Make({{L"email", L"a@x.test"}})).Get(), PR_DISPLAY_NAME_W), L"a@x.test");
}

TEST_F(ContactConvert, ATooLongAddressIsStoredEmpty) {
    std::wstring street(2990, L's');
    auto msg = Write(*Make({{L"homeStreet", street.c_str()}, {L"homeCity", L"C"}}));
    EXPECT_EQ(Str(msg.Get(), Named(NamedProps::ADDR_801A, PT_UNICODE)), L"");
    EXPECT_EQ(Str(msg.Get(), PROP_TAG(PT_UNICODE, 0x3A5D)), street);
    street.pop_back();
    msg = Write(*Make({{L"homeStreet", street.c_str()}, {L"homeCity", L"C"}}));
    EXPECT_EQ(Str(msg.Get(), Named(NamedProps::ADDR_801A, PT_UNICODE)), street + L"\r\nC");
}

TEST_F(ContactConvert, OnlySmtpAddressesGoBack) {
    auto msg = Write(*Make({{L"fullName", L"Ann"}, {L"email", L"a@x.test"}, {L"email2", L"b@x.test"}}));
    EXPECT_EQ(Str(msg.Get(), Named(NamedProps::ADDR_8082, PT_UNICODE)), L"SMTP");
    EXPECT_EQ(Str(msg.Get(), Named(NamedProps::ADDR_8084, PT_UNICODE)), L"Ann");
    SPropValue ex{};
    ex.ulPropTag = Named(NamedProps::ADDR_8092, PT_UNICODE);
    ex.Value.lpszW = const_cast<wchar_t*>(L"EX");
    ASSERT_EQ(msg->SetProps(1, &ex, nullptr), S_OK);
    auto back = Back(msg.Get());
    EXPECT_STREQ(back->Attributes().get(L"email"), L"a@x.test");
    EXPECT_EQ(back->Attributes().get(L"email2"), nullptr);
}

TEST_F(ContactConvert, AliasSlotsFollowTheSettingAndAnUnreadableOneSkipsThem) {
    auto entry = Make({{L"fullName", L"G"}, {L"email", L"a@x.test"}, {L"email2", L"b@x.test"}});
    auto write = [&] {
        Platform::ComPtr<IMessage> msg;
        EXPECT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.AddressOf()), S_OK);
        Ostrel::Mapi::L2MContactConverter converter(entry.get(), nullptr);
        converter.SetAliasSlotsCheck(true);
        EXPECT_TRUE(converter.Convert(msg.Get(), true, false));
        return Str(msg.Get(), Named(NamedProps::ADDR_8093, PT_UNICODE));
    };
    auto setValue = [](DWORD dwType, DWORD dwValue) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, L"GalSyncDisableAliases", 0, dwType, reinterpret_cast<const BYTE*>(&dwValue),
                                 sizeof dwValue),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    };
    setValue(REG_DWORD, 0);
    EXPECT_EQ(write(), L"b@x.test");
    setValue(REG_DWORD, 1);
    EXPECT_EQ(write(), L"<missing>");
    setValue(REG_BINARY, 0);  // not a number: the getter throws, the slot is skipped
    Ostrel::Util::LogCapture log;
    EXPECT_EQ(write(), L"<missing>");
    EXPECT_TRUE(log.Contains(L"Cannot read the alias search setting"));
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
}

TEST_F(ContactConvert, CertificatesTooLargeOrNotBase64AreNotWritten) {
    std::string big(70000, 'c');
    std::string fits(65531, 'c');
    std::string over(65532, 'c');
    auto b64 = [](const std::string& s) { return Platform::FromUtf8(Ostrel::Mapi::Base64Encode(s)); };
    Ostrel::Util::LogCapture log;
    auto c = Make({});
    for (const std::string* p : {&big, &over, &fits})
        c->SetAttribute(L"userCertificate", b64(*p));
    c->SetAttribute(L"userCertificate", L"!!");
    auto msg = Write(*c);
    auto back = Back(msg.Get());
    auto [first, last] = back->Attributes().equal_range(L"userCertificate");
    ASSERT_EQ(std::distance(first, last), 1);
    EXPECT_EQ(first->second, b64(fits));
    EXPECT_EQ(log.Count(L"Certificate size too large!"), 2u);
    EXPECT_TRUE(log.Contains(L"Failed to B64 decode cert attr"));
}

TEST_F(ContactConvert, UserFieldsGoBackAsTextByType) {
    auto msg = Write(*Make({{L"Vip", L"TRUE"}, {L"fullName", L"U"}}));
    auto tag = [&](const wchar_t* pwszName, ULONG ulType) {
        MAPINAMEID name{const_cast<LPGUID>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
        name.Kind.lpwstrName = const_cast<LPWSTR>(pwszName);
        LPMAPINAMEID pName = &name;
        LPSPropTagArray pTags = nullptr;
        EXPECT_EQ(msg->GetIDsFromNames(1, &pName, MAPI_CREATE, &pTags), S_OK);
        ULONG ulTag = PROP_TAG(ulType, PROP_ID(pTags->aulPropTag[0]));
        MAPIFreeBuffer(pTags);
        return ulTag;
    };
    SPropValue v[5]{};
    v[0].ulPropTag = tag(L"Vip", PT_BOOLEAN);
    v[0].Value.b = 1;
    v[1].ulPropTag = tag(L"Visits", PT_LONG);
    v[1].Value.l = -7;
    v[2].ulPropTag = tag(L"Score", PT_DOUBLE);
    v[2].Value.dbl = 2.5;
    v[3].ulPropTag = tag(L"Since", PT_SYSTIME);
    v[3].Value.ft = Ostrel::Mapi::ContactDateToFileTime({2020, 2, 29});
    v[4].ulPropTag = tag(L"Blob", PT_BINARY);
    v[4].Value.bin = SBinary{1, reinterpret_cast<LPBYTE>(const_cast<char*>("x"))};
    ASSERT_EQ(msg->SetProps(5, v, nullptr), S_OK);
    Ostrel::Util::LogCapture log;
    auto back = Back(msg.Get());
    EXPECT_STREQ(back->Attributes().get(L"Vip"), L"TRUE");
    EXPECT_STREQ(back->Attributes().get(L"Visits"), L"-7");
    EXPECT_STREQ(back->Attributes().get(L"Score"), L"2.5");
    EXPECT_STREQ(back->Attributes().get(L"Since"), L"2020-02-29");
    EXPECT_EQ(back->Attributes().get(L"Blob"), nullptr);
    EXPECT_TRUE(log.Contains(L"user defined field 'Blob' will not be synced"));
}

TEST_F(ContactConvert, ASecondConversionRemovesWhatTheContactNoLongerHas) {
    auto msg = Write(*Make({{L"fullName", L"A"},
                            {L"pager", L"1"},
                            {L"homeCity", L"X"},
                            {L"birthday", L"2000-01-01"},
                            {L"email3", L"c@x.test"},
                            {L"notes", L"n"}}));
    Rewrite(msg.Get(), *Make({{L"fullName", L"A"}, {L"birthday", L"2000-01-01"}}));
    auto back = Back(msg.Get());
    EXPECT_EQ(Sorted(back->Attributes()), (Attrs{{L"birthday", L"2000-01-01"}, {L"fullName", L"A"}}));
    EXPECT_FALSE(FPropExists(msg.Get(), Named(NamedProps::ADDR_801A, PT_UNICODE)));
    EXPECT_FALSE(FPropExists(msg.Get(), Named(NamedProps::ADDR_80A5, PT_BINARY)));
}

TEST_F(ContactConvert, GroupListsPairMembersWithOneOffsAndUnevenListsGiveNone) {
    WriteGal();
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_contacts.Get(), m_items.get(), m_galMapper.get(), false);
    auto ann = Make({{L"fullName", L"Ann"}, {L"email", L"ann@x.test"}});
    ann->SetContId(700);
    ASSERT_EQ(writer.Put(*ann), S_OK);
    auto group = Make({{L"type", L"group"}, {L"fileAs", L"8:G"}});
    group->GroupMembers().put(L'C', L"700");
    group->GroupMembers().put(L'C', L"999");  // not in the store
    group->GroupMembers().put(L'G', GalRefs()[2]);
    group->GroupMembers().put(L'I', L"x@y.test");
    Ostrel::Util::LogCapture log;
    auto msg = Write(*group);
    EXPECT_EQ(Str(msg.Get(), PR_MESSAGE_CLASS_W), L"IPM.DistList");
    EXPECT_EQ(Str(msg.Get(), Named(NamedProps::ADDR_8053, PT_UNICODE)), L"G");
    EXPECT_TRUE(log.Contains(L"Group member 'C:999' is not in the store"));
    EXPECT_EQ(MembersOf(*Back(msg.Get())), (Members{{L'C', L"700"}, {L'G', GalRefs()[2]}, {L'I', L"x@y.test"}}));

    LPSPropValue pOneOffs = nullptr;
    ASSERT_EQ(HrGetOneProp(msg.Get(), Named(NamedProps::ADDR_8054, PT_MV_BINARY), &pOneOffs), S_OK);
    pOneOffs->Value.MVbin.cValues = 2;
    ASSERT_EQ(msg->SetProps(1, pOneOffs, nullptr), S_OK);
    MAPIFreeBuffer(pOneOffs);
    EXPECT_TRUE(MembersOf(*Back(msg.Get())).empty());
    EXPECT_TRUE(log.Contains(L"Mismatched PR_CONTACT_MEMBERS (3) and PR_CONTACT_ONEOFFMEMBERS counts (2)"));
}

TEST_F(ContactConvert, AGalEntryKeepsItsStoreContactAcrossSynchronisations) {
    WriteGal();
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_gal.Get(), m_items.get(), m_galMapper.get(), true);
    auto entry = MakeGalContact(1);
    std::string first, second;
    ASSERT_EQ(writer.Put(*entry, nullptr, &first), S_OK);
    entry->SetAttribute(L"jobTitle", L"Boss");
    ASSERT_EQ(writer.Put(*entry, nullptr, &second), S_OK);
    EXPECT_EQ(first, second);
    ULONG ulCount = 0;
    Platform::ComPtr<IMAPITable> table;
    ASSERT_EQ(m_gal->GetContentsTable(0, table.AddressOf()), S_OK);
    ASSERT_EQ(table->GetRowCount(0, &ulCount), S_OK);
    EXPECT_EQ(ulCount, GalRefs().size());
    EXPECT_EQ(Str(Open(second).Get(), PROP_TAG(PT_UNICODE, 0x3A17)), L"Boss");
    EXPECT_EQ(writer.Put(Contact()), E_INVALIDARG);  // no reference to map it by
}

}  // namespace
}  // namespace ContactConvertTest
