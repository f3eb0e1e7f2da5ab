// Shared pieces of the contact conversion tests: the data set of server contacts
// (tests/data/contacts-convert/*.attrs), what a round trip is expected to give back, a store with
// item and GAL mappers, and a strict vCard reader.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/TempHome.h"

#include <gtest/gtest.h>

namespace ContactConvertTest {

using Attrs = std::vector<std::pair<std::wstring, std::wstring>>;
using Members = std::vector<std::pair<wchar_t, std::wstring>>;

// One file of the data set: "# comment", "@id N", "@photo FILE TYPE", "@tags A,B", "@m T value",
// then "name<TAB>value" lines whose values escape \n, \r, \t and \\.
struct ContactCase {
    std::string sName;  // the file name without ".attrs"
    int32_t lId = 0;
    std::string sPhotoFile;
    std::string sPhotoType;
    std::string sPhoto;  // the bytes
    std::string sTags;
    Attrs attrs;
    Members members;

    bool IsGroup() const;
};

std::vector<ContactCase> LoadCases();
// A contact as the reply reader builds it (derived file-as and full name included).
std::unique_ptr<Ostrel::Mail::Contact> MakeContact(const ContactCase& c);
// The references of the GAL entries the data set's groups name.
std::vector<std::wstring> GalRefs();
std::unique_ptr<Ostrel::Mail::Contact> MakeGalContact(size_t index);

// Sorted name/value pairs of a bag.
Attrs Sorted(const Ostrel::Mail::ContactAttributes& attrs);
Attrs Sorted(Attrs attrs);
Members MembersOf(const Ostrel::Mail::Contact& contact);
// What the server holds after the contact went into the store and came back (see
// tests/data/contacts-convert/README.md), sorted.
Attrs ExpectedBack(const ContactCase& c);

// A fresh store with a contacts folder, a "Global Address List" folder and their mappers.
class ContactStoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Platform::ComPtr<IMessage> Open(const std::string& sEntryId);
    // Writes the GAL entries of GalRefs() into the GAL folder.
    void WriteGal();

    TestSupport::TempHome m_home;
    Platform::ComPtr<IMsgStore> m_store;
    Platform::ComPtr<IMAPIFolder> m_contacts;
    Platform::ComPtr<IMAPIFolder> m_gal;
    std::unique_ptr<Ostrel::Mapi::IdMapper> m_items;
    std::unique_ptr<Ostrel::Mapi::IdMapper> m_galMapper;
};

// A vCard read back: each property with its name, parameters (name to value as written) and
// its value split into components and values, unescaped.
struct VProp {
    std::string sName;
    std::vector<std::pair<std::string, std::string>> params;
    std::vector<std::vector<std::string>> components;
    std::string sRaw;  // the value as written (unfolded, still escaped)

    std::string Param(const std::string& sName) const;
    std::string Text() const;  // the first value of the first component
};
// Strict: CRLF line ends, lines of at most 75 bytes, folded lines start with one blank and never
// split a UTF-8 sequence, BEGIN/VERSION 3.0/END, names of letters, digits and '-', escapes only
// \\, \;, \,, \n and \N. Fails the test and returns false for anything else.
bool ReadVCard(const std::string& sText, std::vector<VProp>& props);

}  // namespace ContactConvertTest
