#include "ContactTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/Files.h"

namespace ContactConvertTest {

using Ostrel::Mail::Contact;

namespace {

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

std::wstring W(const std::string& s) {
    return Platform::FromUtf8(s);
}

// The display name rule of the store side.
std::wstring DisplayName(const Contact& contact) {
    for (const wchar_t* pwszAttr : {Contact::A_fullName, Contact::A_outlookFileAs, Contact::A_email, Contact::A_email2})
        if (const wchar_t* pwsz = contact.Attributes().get(pwszAttr); pwsz && *pwsz)
            return pwsz;
    return std::wstring();
}

bool Mapped(const std::wstring& name) {
    static const std::set<std::wstring> names = [] {
        std::set<std::wstring> s = {L"email", L"email2",    L"email3", L"birthday", L"anniversary",
                                    L"notes", L"notesHtml", L"type",   L"fileAs",   L"fullName"};
        for (const Ostrel::Mapi::ContactAttrRow& row : Ostrel::Mapi::ContactAttrTable())
            s.insert(row.pwszAttr);
        return s;
    }();
    return names.count(name) > 0;
}

}  // namespace

bool ContactCase::IsGroup() const {
    for (const auto& [name, value] : attrs)
        if (name == L"type" && value == L"group")
            return true;
    return false;
}

std::vector<ContactCase> LoadCases() {
    std::filesystem::path dir = TestSupport::DataDir() / "contacts-convert";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".attrs")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<ContactCase> cases;
    for (const auto& file : files) {
        ContactCase c;
        c.sName = file.stem().string();
        std::istringstream in(TestSupport::ReadFile(file));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            if (line[0] == '@') {
                std::istringstream words(line);
                std::string key;
                words >> key;
                std::string rest;
                std::getline(words, rest);
                rest.erase(0, rest.find_first_not_of(' '));
                if (key == "@id") {
                    c.lId = std::stoi(rest);
                } else if (key == "@tags") {
                    c.sTags = rest;
                } else if (key == "@photo") {
                    c.sPhotoFile = rest.substr(0, rest.find(' '));
                    c.sPhotoType = rest.substr(rest.find(' ') + 1);
                    c.sPhoto = TestSupport::ReadFile(dir / "photos" / c.sPhotoFile);
                } else if (key == "@m") {
                    c.members.emplace_back(static_cast<wchar_t>(rest[0]), W(rest.substr(2)));
                }
                continue;
            }
            size_t tab = line.find('\t');
            if (tab == std::string::npos)
                c.attrs.emplace_back(W(line), L"");
            else
                c.attrs.emplace_back(W(line.substr(0, tab)), W(Unescape(line.substr(tab + 1))));
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

std::unique_ptr<Contact> MakeContact(const ContactCase& c) {
    auto contact = std::make_unique<Contact>();
    contact->SetContId(c.lId);
    for (const auto& [name, value] : c.attrs)
        contact->SetAttribute(name, value);
    for (const auto& [type, value] : c.members)
        contact->GroupMembers().put(type, value);
    if (!c.sPhotoFile.empty()) {
        contact->GetImageAttachmentInfo().SetFileName(W(c.sPhotoFile).c_str());
        contact->GetImageAttachmentInfo().SetContentType(W(c.sPhotoType).c_str());
        contact->GetImageAttachmentInfo().SetPartIndex(1);
        contact->GetImageAttachmentInfo().SetSize(static_cast<int64_t>(c.sPhoto.size()));
    }
    contact->SetDefaultFileAs();
    contact->SetDefaultFullName();
    return contact;
}

std::vector<std::wstring> GalRefs() {
    std::vector<std::wstring> refs;
    for (int i = 0; i < 5; ++i)
        refs.push_back(L"uid=user" + std::to_wstring(i) + L",ou=people,dc=ostrel,dc=test");
    return refs;
}

std::unique_ptr<Contact> MakeGalContact(size_t index) {
    auto contact = std::make_unique<Contact>();
    std::wstring ref = GalRefs().at(index);
    contact->SetContId(0);
    contact->SetAttribute(Contact::A_dn, ref);
    contact->SetAttribute(Contact::A_fullName, L"Gal User " + std::to_wstring(index));
    contact->SetAttribute(Contact::A_email, L"user" + std::to_wstring(index) + L"@ostrel.test");
    contact->SetAttribute(Contact::A_uid, L"user" + std::to_wstring(index));
    contact->SetGalRef();
    return contact;
}

Attrs Sorted(const Ostrel::Mail::ContactAttributes& attrs) {
    Attrs out(attrs.begin(), attrs.end());
    return Sorted(std::move(out));
}

Attrs Sorted(Attrs attrs) {
    std::stable_sort(attrs.begin(), attrs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return attrs;
}

Members MembersOf(const Contact& contact) {
    Members out;
    for (const auto& m : contact.GroupMembers())
        out.emplace_back(m.type, m.value);
    return out;
}

Attrs ExpectedBack(const ContactCase& c) {
    std::unique_ptr<Contact> contact = MakeContact(c);
    const Ostrel::Mail::ContactAttributes& bag = contact->Attributes();
    static const std::set<std::wstring> dropped = {L"department", L"office", L"outlookFileAs", L"dlist"};
    Attrs out;
    std::set<std::wstring> seen;
    for (const auto& [name, value] : bag) {
        if (dropped.count(name) || value.empty())
            continue;
        if (name == L"userCertificate" || name == L"userSMIMECertificate") {
            std::string bytes;
            if (Ostrel::Mapi::Base64Decode(Platform::ToUtf8(value), bytes))
                out.emplace_back(name, W(Ostrel::Mapi::Base64Encode(bytes)));
            continue;
        }
        // A name the store maps comes back with its first value only; others with all of them.
        if (!seen.insert(name).second && Mapped(name))
            continue;
        if (name == L"fileAs" || name == L"fullName")
            continue;
        if (name == L"birthday" || name == L"anniversary") {
            if (auto date = Ostrel::Mapi::ParseContactDate(value))
                out.emplace_back(name, Ostrel::Mapi::FormatContactDate(*date));
            continue;
        }
        out.emplace_back(name, value);
    }
    if (const wchar_t* pwsz = bag.get(Contact::A_outlookFileAs); pwsz && *pwsz)
        out.emplace_back(L"fileAs", std::wstring(L"8:") + pwsz);
    if (std::wstring ws = DisplayName(*contact); !ws.empty())
        out.emplace_back(L"fullName", ws);
    return Sorted(std::move(out));
}

void ContactStoreFixture::SetUp() {
    ASSERT_EQ(Platform::OpenOsdStore(m_home.Path() / "contacts.osd", true, L"Store", true, m_store.AddressOf()), S_OK);
    Platform::ComPtr<IMAPIFolder> root;
    ULONG ulType = 0;
    ASSERT_EQ(
        m_store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(root.AddressOf())),
        S_OK);
    ASSERT_EQ(root->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(L"Contacts"), nullptr, nullptr, MAPI_UNICODE,
                                 m_contacts.AddressOf()),
              S_OK);
    ASSERT_EQ(root->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(L"Global Address List"), nullptr, nullptr,
                                 MAPI_UNICODE, m_gal.AddressOf()),
              S_OK);
    ASSERT_NE(Ostrel::Mapi::NamedPropsManager::SetNamedProps(m_store.Get()), nullptr);
    m_items = std::make_unique<Ostrel::Mapi::IdMapper>(nullptr, m_store.Get(), Ostrel::Mapi::IdMapperTypeItem);
    m_galMapper = std::make_unique<Ostrel::Mapi::IdMapper>(nullptr, m_store.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
    ASSERT_TRUE(SUCCEEDED(m_items->LoadCache()));
    ASSERT_TRUE(SUCCEEDED(m_galMapper->LoadCache()));
}

void ContactStoreFixture::TearDown() {
    m_items.reset();
    m_galMapper.reset();
    m_contacts.Reset();
    m_gal.Reset();
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    m_store.Reset();
}

Platform::ComPtr<IMessage> ContactStoreFixture::Open(const std::string& sEntryId) {
    Platform::ComPtr<IMessage> msg;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(sEntryId.size()), (LPENTRYID)sEntryId.data(), nullptr, MAPI_MODIFY,
                                 &ulType, reinterpret_cast<IUnknown**>(msg.AddressOf())),
              S_OK);
    return msg;
}

void ContactStoreFixture::WriteGal() {
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_gal.Get(), m_items.get(), m_galMapper.get(), true);
    for (size_t i = 0; i < GalRefs().size(); ++i)
        ASSERT_EQ(writer.Put(*MakeGalContact(i)), S_OK);
}

}  // namespace ContactConvertTest
