// The data set through the store: every server contact is written as a store contact, read back
// into a server contact, and written out as a vCard that must match its golden file and read
// back field by field. OSTREL_REGEN_CONTACT_GOLDENS=1 rewrites the goldens
// (scripts/regen-contact-goldens.sh).
#include <cstdlib>

#include "ContactTestSupport.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Ostrel/Convert/Contact/M2VCardConverter.h"
#include "Platform/Base/Utf.h"
#include "Support/Files.h"

namespace ContactConvertTest {
namespace {

using Ostrel::Mail::Contact;

std::string Utf8Prop(IMAPIProp* p, ULONG ulTag) {
    LPSPropValue v = nullptr;
    std::string s;
    if (SUCCEEDED(HrGetOneProp(p, ulTag, &v)) && PROP_TYPE(v->ulPropTag) == PT_UNICODE)
        s = Platform::ToUtf8(v->Value.lpszW);
    MAPIFreeBuffer(v);
    return s;
}

Members ExpectedMembers(const ContactCase& c) {
    if (!c.members.empty() || !c.IsGroup())
        return c.members;
    Members out;
    for (const auto& [name, value] : c.attrs) {
        if (name != L"dlist")
            continue;
        size_t pos = 0;
        while (pos <= value.size()) {
            size_t comma = value.find(L',', pos);
            std::wstring item = value.substr(pos, comma == std::wstring::npos ? std::wstring::npos : comma - pos);
            pos = comma == std::wstring::npos ? value.size() + 1 : comma + 1;
            item.erase(0, item.find_first_not_of(L' '));
            size_t lt = item.find(L'<');
            if (lt == std::wstring::npos) {
                out.emplace_back(L'I', item);
                continue;
            }
            std::wstring label = item.substr(0, lt);
            label.erase(label.find_last_not_of(L' ') + 1);
            if (label.size() >= 2 && label.front() == L'"')
                label = label.substr(1, label.size() - 2);
            out.emplace_back(L'I', label + L" " + item.substr(lt));
        }
    }
    return out;
}

class ContactCorpus : public ContactStoreFixture {};

TEST_F(ContactCorpus, EveryContactRoundTripsAndMatchesItsVCardGolden) {
    const bool bRegen = std::getenv("OSTREL_REGEN_CONTACT_GOLDENS") != nullptr;
    std::vector<ContactCase> cases = LoadCases();
    ASSERT_GE(cases.size(), 40u);
    WriteGal();
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_contacts.Get(), m_items.get(), m_galMapper.get(), false);
    std::map<std::string, std::string> entryIds;
    // Plain contacts first, so that the groups find their members.
    for (int pass = 0; pass < 2; ++pass) {
        for (const ContactCase& c : cases) {
            if (c.IsGroup() != (pass == 1))
                continue;
            ASSERT_EQ(writer.Put(*MakeContact(c), c.sPhoto.empty() ? nullptr : &c.sPhoto, &entryIds[c.sName]), S_OK)
                << c.sName;
        }
    }

    const auto dir = TestSupport::DataDir() / "contacts-convert";
    for (const ContactCase& c : cases) {
        SCOPED_TRACE(c.sName);
        Platform::ComPtr<IMessage> msg = Open(entryIds[c.sName]);
        ASSERT_TRUE(msg);

        // Back into a server contact.
        Ostrel::Mapi::M2LContactConverter back(msg.Get(), m_store.Get());
        std::unique_ptr<Contact> contact = back.Convert();
        ASSERT_TRUE(contact);
        EXPECT_EQ(contact->GetContId(), c.lId);
        EXPECT_EQ(Sorted(contact->Attributes()), ExpectedBack(c));
        EXPECT_EQ(MembersOf(*contact), ExpectedMembers(c));
        EXPECT_EQ(back.Photo(), c.sPhoto);

        // As a vCard, with a fixed revision time.
        SPropValue rev{};
        rev.ulPropTag = PR_LAST_MODIFICATION_TIME;
        rev.Value.ft = FILETIME{0x12345678, 0x01D9A000};
        ASSERT_EQ(msg->SetProps(1, &rev, nullptr), S_OK);
        std::wstring wsName;
        std::string vcard;
        ASSERT_EQ(Ostrel::Mapi::M2VCardConverter(msg.Get()).Convert(wsName, vcard), S_OK);
        const auto golden = dir / (c.sName + ".vcf.ref");
        if (bRegen)
            TestSupport::WriteFile(golden, vcard);
        else
            EXPECT_EQ(vcard, TestSupport::ReadFile(golden));

        std::vector<VProp> props;
        ASSERT_TRUE(ReadVCard(vcard, props));
        std::string displayName = Utf8Prop(msg.Get(), PR_DISPLAY_NAME_W);
        std::string body = Utf8Prop(msg.Get(), PR_BODY_W);
        std::erase(body, '\r');
        std::vector<std::string> emails, keys;
        std::string fn, note, photo;
        for (const VProp& p : props) {
            if (p.sName == "FN")
                fn = p.Text();
            else if (p.sName == "NOTE")
                note = p.Text();
            else if (p.sName == "EMAIL")
                emails.push_back(p.Text());
            else if (p.sName == "KEY")
                keys.push_back(p.Text());
            else if (p.sName == "PHOTO")
                ASSERT_TRUE(Ostrel::Mapi::Base64Decode(p.Text(), photo));
            else if (p.sName == "N") {
                ASSERT_EQ(p.components.size(), 5u);
                for (auto [i, attr] : {std::pair{0, L"lastName"}, {1, L"firstName"}, {2, L"middleName"}})
                    EXPECT_EQ(Platform::FromUtf8(p.components[i][0]),
                              std::wstring(contact->Attributes().get(attr) ? contact->Attributes().get(attr) : L""));
            }
            bool bAscii = true;
            for (unsigned char ch : p.sRaw)
                bAscii = bAscii && ch < 0x80;
            EXPECT_EQ(p.Param("CHARSET") == "utf-8", !bAscii) << p.sName;
        }
        EXPECT_EQ(fn, displayName);
        EXPECT_EQ(note, body);
        EXPECT_EQ(photo, c.sPhoto);
        std::vector<std::string> expectedEmails, expectedKeys;
        for (const wchar_t* pwszAttr : {L"email", L"email2", L"email3"})
            if (const wchar_t* pwsz = contact->Attributes().get(pwszAttr))
                expectedEmails.push_back(Platform::ToUtf8(pwsz));
        EXPECT_EQ(emails, expectedEmails);
        auto [first, last] = contact->Attributes().equal_range(L"userCertificate");
        for (auto it = first; it != last; ++it)
            expectedKeys.push_back(Platform::ToUtf8(it->second));
        EXPECT_EQ(keys, expectedKeys);
    }
}

}  // namespace
}  // namespace ContactConvertTest
