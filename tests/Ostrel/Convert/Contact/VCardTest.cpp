// vCard text: escaping, folding, the charset parameter, and what a store contact gives.
#include "ContactTestSupport.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/Convert/Contact/M2VCardConverter.h"
#include "Ostrel/Convert/Contact/VCard.h"
#include "Ostrel/Store/Attachments.h"
#include "Util/Log/Log.h"

#include <gtest/gtest-spi.h>

namespace ContactConvertTest {
namespace {

using Ostrel::IcalVcard::VCard;
using Ostrel::Mapi::NamedProps;

TEST(VCardText, EscapesSeparatorsBackslashesAndLineBreaks) {
    EXPECT_EQ(VCard::Escape("a,b;c\\d\r\ne\nf:g\"h"), "a\\,b\\;c\\\\d\\ne\\nf:g\"h");
    std::vector<VProp> props;
    VCard card;
    card.Add({"NOTE", {}, Ostrel::IcalVcard::VStructuredValue::Text("x,y;z\\\n")});
    ASSERT_TRUE(ReadVCard(card.ToString(), props));
    EXPECT_EQ(props.at(0).Text(), "x,y;z\\\n");
}

TEST(VCardText, FoldsAt75And74BytesWithoutSplittingACharacter) {
    std::string line(200, 'a');
    EXPECT_EQ(VCard::Fold(line),
              std::string(75, 'a') + "\r\n " + std::string(74, 'a') + "\r\n " + std::string(51, 'a'));
    EXPECT_EQ(VCard::Fold(std::string(75, 'a')), std::string(75, 'a'));
    // "é" is two bytes: a cut at 75 would fall between them.
    std::string accents = std::string(74, 'a') + "\xC3\xA9" + "b";
    EXPECT_EQ(VCard::Fold(accents), std::string(74, 'a') + "\r\n \xC3\xA9" + "b");
}

class VCardContact : public ContactStoreFixture {
protected:
    Platform::ComPtr<IMessage> NewContact() {
        Platform::ComPtr<IMessage> msg;
        EXPECT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.AddressOf()), S_OK);
        return msg;
    }
    void Set(IMessage* pMsg, ULONG ulTag, const wchar_t* pwsz) {
        SPropValue v{};
        v.ulPropTag = ulTag;
        v.Value.lpszW = const_cast<wchar_t*>(pwsz);
        ASSERT_EQ(pMsg->SetProps(1, &v, nullptr), S_OK);
    }
    ULONG Named(NamedProps::PropIdx idx, ULONG ulType) {
        return Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get())->GetPropTag(idx, ulType);
    }
    std::string Card(IMessage* pMsg, std::wstring* pwsName = nullptr) {
        std::wstring wsName;
        std::string text;
        EXPECT_EQ(Ostrel::Mapi::M2VCardConverter(pMsg).Convert(wsName, text), S_OK);
        if (pwsName)
            *pwsName = wsName;
        return text;
    }
};

TEST_F(VCardContact, ADisplayNameAloneGivesFourLines) {
    auto msg = NewContact();
    Set(msg.Get(), PR_DISPLAY_NAME_W, L"Lee, Ann\nBoss");
    std::wstring wsName;
    EXPECT_EQ(Card(msg.Get(), &wsName), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Lee\\, Ann\\nBoss\r\nEND:VCARD\r\n");
    EXPECT_EQ(wsName, L"Lee, Ann\nBoss");
    auto nick = NewContact();
    Set(nick.Get(), PROP_TAG(PT_UNICODE, 0x3A4F), L"Nick");
    Card(nick.Get(), &wsName);
    EXPECT_EQ(wsName, L"Nick");
}

TEST_F(VCardContact, CharsetOnlyForNonAsciiAndPrefOnlyOnTheFirstSmtpAddress) {
    auto msg = NewContact();
    Set(msg.Get(), PROP_TAG(PT_UNICODE, 0x3A17), L"Geschäftsführer");
    Set(msg.Get(), PROP_TAG(PT_UNICODE, 0x3A46), L"Manager");
    Set(msg.Get(), Named(NamedProps::ADDR_8083, PT_UNICODE), L"x500:/o=ex");
    Set(msg.Get(), Named(NamedProps::ADDR_8082, PT_UNICODE), L"EX");
    Set(msg.Get(), Named(NamedProps::ADDR_8093, PT_UNICODE), L"b@x.test");
    Set(msg.Get(), Named(NamedProps::ADDR_8092, PT_UNICODE), L"smtp");
    Set(msg.Get(), Named(NamedProps::ADDR_80A3, PT_UNICODE), L"c@x.test");
    Set(msg.Get(), Named(NamedProps::ADDR_80A2, PT_UNICODE), L"SMTP");
    std::string text = Card(msg.Get());
    EXPECT_NE(text.find("TITLE;CHARSET=utf-8:Geschäftsführer\r\n"), std::string::npos);
    EXPECT_NE(text.find("ROLE:Manager\r\n"), std::string::npos);
    EXPECT_NE(text.find("EMAIL;TYPE=INTERNET,PREF:b@x.test\r\nEMAIL;TYPE=INTERNET:c@x.test\r\n"), std::string::npos);
    EXPECT_EQ(text.find("x500"), std::string::npos);
}

TEST_F(VCardContact, APhotoOtherThanJpegAndAnInvalidCertificateAreLeftOut) {
    auto msg = NewContact();
    Set(msg.Get(), PR_DISPLAY_NAME_W, L"P");
    Platform::ComPtr<IAttach> attach;
    ULONG ulNum = 0;
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &ulNum, attach.AddressOf()), S_OK);
    SPropValue v[3]{};
    v[0].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
    v[0].Value.b = 1;
    v[1].ulPropTag = PR_ATTACH_FILENAME_W;
    v[1].Value.lpszW = const_cast<wchar_t*>(L"me.png");
    v[2].ulPropTag = PR_ATTACH_DATA_BIN;
    v[2].Value.bin = SBinary{3, reinterpret_cast<LPBYTE>(const_cast<char*>("png"))};
    ASSERT_EQ(attach->SetProps(3, v, nullptr), S_OK);
    ASSERT_EQ(attach->SaveChanges(0), S_OK);
    std::string bad = Ostrel::Mapi::MakeCertificateRecords("der");
    bad[10] = 50;  // longer than the value
    std::string skipped = "0" + Ostrel::Mapi::MakeCertificateRecords("zzz");
    SBinary bins[2] = {{static_cast<ULONG>(bad.size()), reinterpret_cast<LPBYTE>(bad.data())},
                       {static_cast<ULONG>(skipped.size()), reinterpret_cast<LPBYTE>(skipped.data())}};
    SPropValue certs{};
    certs.ulPropTag = PR_USER_X509_CERTIFICATE;
    certs.Value.MVbin = SBinaryArray{2, bins};
    ASSERT_EQ(msg->SetProps(1, &certs, nullptr), S_OK);
    Ostrel::Util::LogCapture log;
    std::string text = Card(msg.Get());
    EXPECT_EQ(text, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:P\r\nEND:VCARD\r\n");
    EXPECT_TRUE(log.Contains(L"Contact photo 'me.png' not of type JPEG"));
    EXPECT_TRUE(log.Contains(L"In certificate 0, <REC> len exceeds slot size"));
}

TEST_F(VCardContact, TheBirthdayIsTheLocalDateWhereverTheClockIs) {
    auto msg = NewContact();
    SPropValue v[2]{};
    v[0].ulPropTag = Named(NamedProps::ADDR_80DE, PT_SYSTIME);
    v[0].Value.ft = Ostrel::Mapi::ContactDateToFileTime({1985, 4, 12});
    v[1].ulPropTag = PR_BIRTHDAY;
    v[1].Value.ft = Ostrel::Mapi::ContactDateToFileTime({1985, 4, 11});  // midnight east of Greenwich, in UTC
    ASSERT_EQ(msg->SetProps(2, v, nullptr), S_OK);
    EXPECT_NE(Card(msg.Get()).find("BDAY:1985-04-12\r\n"), std::string::npos);
}

TEST_F(VCardContact, AnEmbeddedContactBecomesAVCardAttachment) {
    auto msg = NewContact();
    Platform::ComPtr<IAttach> attach;
    ULONG ulNum = 0;
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &ulNum, attach.AddressOf()), S_OK);
    SPropValue method{};
    method.ulPropTag = PR_ATTACH_METHOD;
    method.Value.l = ATTACH_EMBEDDED_MSG;
    ASSERT_EQ(attach->SetProps(1, &method, nullptr), S_OK);
    Platform::ComPtr<IMessage> embedded;
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                   reinterpret_cast<IUnknown**>(embedded.AddressOf())),
              S_OK);
    Ostrel::Mail::Contact contact;
    contact.SetAttribute(L"fullName", L"Ann, Lee");
    contact.SetAttribute(L"email", L"ann@x.test");
    ASSERT_TRUE(Ostrel::Mapi::L2MContactConverter(&contact, nullptr).Convert(embedded.Get(), false, false));
    ASSERT_EQ(embedded->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(attach->SaveChanges(0), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    Ostrel::Mapi::InstallContactAttachmentConverter();
    ASSERT_EQ(Ostrel::Mapi::ReplaceContactAttachments(msg.Get(), nullptr), S_OK);
    Ostrel::Mapi::SetContactAttachmentConverter(nullptr);
    std::vector<ULONG> embeddedNums;
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(msg.Get(), embeddedNums), S_OK);
    EXPECT_TRUE(embeddedNums.empty());
    Platform::ComPtr<IMAPITable> table;
    ASSERT_EQ(msg->GetAttachmentTable(0, table.AddressOf()), S_OK);
    LPSRowSet rows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_FILENAME_W}};
    ASSERT_EQ(HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    EXPECT_STREQ(rows->aRow[0].lpProps[1].Value.lpszW, L"Ann, Lee.vcf");
    Platform::ComPtr<IAttach> vcf;
    ASSERT_EQ(msg->OpenAttach(static_cast<ULONG>(rows->aRow[0].lpProps[0].Value.l), nullptr, 0, vcf.AddressOf()), S_OK);
    FreeProws(rows);
    LPSPropValue data = nullptr;
    ASSERT_EQ(HrGetOneProp(vcf.Get(), PR_ATTACH_DATA_BIN, &data), S_OK);
    std::string text(reinterpret_cast<const char*>(data->Value.bin.lpb), data->Value.bin.cb);
    MAPIFreeBuffer(data);
    std::vector<VProp> props;
    ASSERT_TRUE(ReadVCard(text, props));
    EXPECT_EQ(props.at(0).sName, "FN");
    EXPECT_EQ(props.at(0).Text(), "Ann, Lee");
}

TEST(VCardReaderTest, RejectsWhatAStrictReaderMust) {
    std::vector<VProp> props;
    for (const char* bad :
         {"BEGIN:VCARD\nVERSION:3.0\r\nEND:VCARD\r\n", "BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE:a\\qb\r\nEND:VCARD\r\n",
          "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:x\r\n"}) {
        ::testing::TestPartResultArray failures;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
            EXPECT_FALSE(ReadVCard(bad, props));
        }
        EXPECT_EQ(failures.size(), 1) << bad;
    }
}

}  // namespace
}  // namespace ContactConvertTest
