// Building contacts from `cn` elements, through the DOM and through the event-driven reader.
#include "ContactTestSupport.h"

#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>

using namespace ContactTest;
using Ostrel::Mail::Contact;

namespace {

const Contact& First(const std::unique_ptr<Contact::List>& list) {
    EXPECT_FALSE(list->empty());
    static const Contact empty;
    return list->empty() ? empty : *list->front();
}

std::wstring Get(const Contact& c, const wchar_t* name) {
    const wchar_t* p = c.Attributes().get(name);
    return p ? p : L"<absent>";
}

ULONGLONG FileTimeOfUnix(int64_t seconds) {
    FILETIME ft{};
    Ostrel::Util::UnixTimeToFileTime(seconds, &ft);
    return Ostrel::Util::FileTimeToUInt64(ft);
}

class ContactParse : public ::testing::Test {
protected:
    Ostrel::Util::ManualClock m_clock;
    Ostrel::Util::ScopedClock m_scoped{m_clock};
};

}  // namespace

TEST_F(ContactParse, IdFormsOnBothPaths) {
    std::string reply = Reply(
        "<cn id='1234' l='7'/><cn id='galuser'/><cn id='4f0e-9a1b:257'/><cn l='9'/><cn id='acct-x:0'/><cn id=''/>");
    auto dom = ReadDom(reply);
    auto sax = ReadSax(reply);
    ASSERT_EQ(dom->size(), 6u);
    ASSERT_EQ(sax->size(), 6u);
    std::vector<const Contact*> d(dom->begin(), dom->end()), s(sax->begin(), sax->end());

    EXPECT_EQ(d[0]->GetContId(), 1234);
    EXPECT_EQ(d[0]->ParentFolderId(), 7);
    EXPECT_EQ(d[0]->Attributes().contains(L"id"), 0);

    // A textual id is kept in the bag and hashed.
    EXPECT_EQ(d[1]->GetContId(), Contact::HashId(L"galuser"));
    EXPECT_EQ(Get(*d[1], L"id"), L"galuser");
    EXPECT_EQ(d[1]->ParentFolderId(), -1);
    ExpectSameContact(*d[1], *s[1]);

    // account:item names an item of another mailbox; only the event-driven form knows it.
    EXPECT_EQ(d[2]->GetContId(), 4);
    EXPECT_EQ(s[2]->GetContId(), 257);

    EXPECT_EQ(d[3]->GetContId(), -1);
    EXPECT_EQ(d[3]->ParentFolderId(), 9);
    ExpectSameContact(*d[3], *s[3]);

    // A zero item number is no item number: the text counts as a textual id.
    EXPECT_EQ(s[4]->GetContId(), Contact::HashId(L"acct-x:0"));
    EXPECT_EQ(d[4]->GetContId(), Contact::HashId(L"acct-x:0"));
    // An empty id reads as the number 0 in the DOM; the event-driven form skips empty attributes.
    EXPECT_EQ(d[5]->GetContId(), 0);
    EXPECT_EQ(s[5]->GetContId(), -1);
}

// The item number is what follows the first colon; only an ASCII letter first makes an id textual.
TEST_F(ContactParse, IdRulesTakeTheFirstColonAndAsciiLettersOnly) {
    auto sax = ReadSax(Reply("<cn id='acct:12:257'/><cn id='\xC3\xA4gal'/><cn id='\xC3\xA9t\xC3\xA9'/>"));
    ASSERT_EQ(sax->size(), 3u);
    std::vector<const Contact*> s(sax->begin(), sax->end());
    EXPECT_EQ(s[0]->GetContId(), 12);
    // A non-ASCII letter first: read as a number (none), not kept as a textual id.
    for (const Contact* pContact : {s[1], s[2]}) {
        EXPECT_EQ(pContact->GetContId(), 0);
        EXPECT_EQ(pContact->Attributes().contains(L"id"), 0);
    }
}

// Names that are prefixes of each other are distinct and ordered shorter first.
TEST(ContactAttributes, PrefixNamesStayApartInOrder) {
    Ostrel::Mail::ContactAttributes bag;
    bag.put(L"email2", L"two@x.test");
    bag.put(L"email", L"one@x.test");
    bag.put(L"e", L"short");
    ASSERT_NE(bag.get(L"email"), nullptr);
    ASSERT_NE(bag.get(L"email2"), nullptr);
    EXPECT_EQ(std::wstring(bag.get(L"email")), L"one@x.test");
    EXPECT_EQ(std::wstring(bag.get(L"email2")), L"two@x.test");
    std::vector<std::wstring> names;
    for (const auto& [name, value] : bag)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"e", L"email", L"email2"}));
    EXPECT_TRUE(Ostrel::Mail::Utf16Less()(L"email", L"email2"));
    EXPECT_FALSE(Ostrel::Mail::Utf16Less()(L"email2", L"email"));
}

TEST_F(ContactParse, NewStyleGalIdMapperZeroesTextualIdsAndKeysByReference) {
    std::string reply = Reply("<cn id='galuser'/>");
    auto dom = ParseDomCn(reply, 1);
    EXPECT_EQ(dom->GetContId(), 0);
    EXPECT_EQ(Get(*dom, L"id"), L"galuser");
    EXPECT_TRUE(dom->IsNewStyleGalIdMapper());
    EXPECT_EQ(dom->GetUniqueId(), L"");

    // Event-driven: the unique id is the reference when there is one, else the id as given.
    auto sax = ReadSax(Reply("<cn id='galuser'/><cn id='5' ref='uid=ann,dc=x'/><cn id='6'/>"), true, 1);
    std::vector<const Contact*> s(sax->begin(), sax->end());
    EXPECT_EQ(s[0]->GetContId(), 0);
    EXPECT_EQ(s[0]->GetUniqueId(), L"galuser");
    EXPECT_EQ(s[1]->GetUniqueId(), L"uid=ann,dc=x");
    EXPECT_EQ(s[1]->GalRef(), L"uid=ann,dc=x");
    EXPECT_EQ(s[2]->GetUniqueId(), L"6");

    // A "dn" attribute overrides both the reference and the unique id, with a trace.
    Ostrel::Util::LogCapture capture;
    auto withDn = ReadSax(Reply("<cn id='galuser' ref='old'><a n='dn'>uid=new,dc=x</a></cn><cn id='x'/>"), true, 1);
    const Contact& c = First(withDn);
    EXPECT_EQ(c.GalRef(), L"uid=new,dc=x");
    EXPECT_EQ(c.GetUniqueId(), L"uid=new,dc=x");
    EXPECT_TRUE(capture.Contains(L"Overriding _sUniqueId with GetContactsResponse 'dn' attr ('old'->'uid=new,dc=x')"));
    // Without "dn" the unique id stays what the start tag gave.
    EXPECT_EQ(withDn->back()->GetUniqueId(), L"x");
    EXPECT_TRUE(capture.Contains(L"_contactId:0 _sUniqueID:'old'"));
    EXPECT_TRUE(capture.Contains(L"Contact::Contact _contactId zeroed"));
}

TEST_F(ContactParse, HashOfTextualIds) {
    EXPECT_EQ(Contact::HashId(L"a"), 177670);
    EXPECT_EQ(Contact::HashId(L""), 5381);
    // Characters beyond the BMP hash as their two UTF-16 code units.
    uint32_t h = (5381u * 33 + 0xD83D) * 33 + 0xDE00;
    EXPECT_EQ(Contact::HashId(L"\U0001F600"), static_cast<int32_t>(h & 0x7FFFFFFF));
    // Long texts wrap in 32 bits and never come out negative.
    EXPECT_GE(Contact::HashId(std::wstring(1000, L'z')), 0);

    Ostrel::Util::LogCapture capture;
    ReadDom(Reply("<cn id='galuser'/>"));
    EXPECT_TRUE(
        capture.Contains(L"Contact::Contact hashed galuser to " + std::to_wstring(Contact::HashId(L"galuser"))));
    ReadSax(Reply("<cn id='galuser'/>"));
    EXPECT_TRUE(capture.Contains(L"Contact::Contact hashed 'galuser' to "));
}

TEST_F(ContactParse, FileAsForms) {
    struct Case {
        const char* attrs;
        const wchar_t* expected;
    } cases[] = {
        {"<a n='fileAs'>8:My Label</a>", L"My Label"},
        {"<a n='fileAs'>8</a>", L""},
        {"<a n='fileAs'>2</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a>", L"Ann Lee"},
        {"<a n='firstName'>Ann</a><a n='lastName'>Lee</a>", L"Lee, Ann"},
        {"<a n='fileAs'>0</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a>", L"Lee, Ann"},
        {"<a n='fileAs'>x</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a>", L"Lee, Ann"},
        {"<a n='fileAs'>3</a><a n='company'>Acme</a><a n='firstName'>Ann</a>", L"Acme"},
        {"<a n='fileAs'>4</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a><a n='company'>Acme</a>",
         L"Lee, Ann\nAcme"},
        {"<a n='fileAs'>5</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a><a n='company'>Acme</a>", L"Ann Lee\nAcme"},
        {"<a n='fileAs'>6</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a><a n='company'>Acme</a>",
         L"Acme\nLee, Ann"},
        {"<a n='fileAs'>7</a><a n='firstName'>Ann</a><a n='lastName'>Lee</a><a n='company'>Acme</a>", L"Acme\nAnn Lee"},
        {"<a n='fileAs'>9</a><a n='firstName'>Ann</a>", L""},
        {"<a n='fileAs'>1</a><a n='lastName'>Lee</a>", L"Lee"},
        {"<a n='fileAs'>2</a><a n='firstName'>Ann</a>", L"Ann"},
        {"<a n='fileAs'>4</a><a n='company'>Acme</a>", L"\nAcme"},
        {"<a n='outlookFileAs'>Kept</a><a n='fileAs'>2</a><a n='firstName'>Ann</a>", L"Kept"},
    };
    for (const Case& c : cases) {
        std::string reply = Reply(std::string("<cn id='1'>") + c.attrs + "</cn>");
        auto list = ReadDom(reply);
        const Contact& dom = First(list);
        EXPECT_EQ(Get(dom, Contact::A_outlookFileAs), c.expected) << c.attrs;
        auto [begin, end] = dom.Attributes().equal_range(Contact::A_outlookFileAs);
        EXPECT_EQ(std::distance(begin, end), 1) << c.attrs;
        ExpectSameContact(dom, First(ReadSax(reply)));
    }
}

TEST_F(ContactParse, FullNameIsDerivedOnlyWhenMissingAndNotEmpty) {
    auto fullName = [](const char* attrs) {
        return Get(First(ReadDom(Reply(std::string("<cn id='1'>") + attrs + "</cn>"))), Contact::A_fullName);
    };
    EXPECT_EQ(fullName("<a n='firstName'>Ann</a><a n='lastName'>Lee</a>"), L"Ann Lee");
    EXPECT_EQ(fullName("<a n='lastName'>Lee</a>"), L"Lee");
    EXPECT_EQ(fullName("<a n='firstName'>Ann</a>"), L"Ann");
    EXPECT_EQ(fullName("<a n='firstName'>Ann</a><a n='lastName'></a>"), L"Ann");
    EXPECT_EQ(fullName("<a n='company'>Acme</a>"), L"<absent>");
    EXPECT_EQ(fullName("<a n='fullName'>Dr. A. Lee</a><a n='firstName'>Ann</a>"), L"Dr. A. Lee");
}

TEST_F(ContactParse, RepeatedAttributesKeepTheirOrderAndNamesSortByCodeUnits) {
    std::string reply = Reply(
        "<cn id='1'><a n='email'>first@x</a><a n='userCertificate'>QUJD</a><a n='email'>second@x</a>"
        "<a n='Radio'>1</a><a n='\xEF\xBF\xBD'>r</a><a n='\xF0\x9F\x98\x80'>s</a><a n='email'>third@x</a>"
        "<a n='userCertificate'>REVG</a><a n=''>nameless</a><a>no name</a><a n='notes'>a <b>bold</b> note</a></cn>");
    auto list = ReadDom(reply);
    const Contact& c = First(list);
    EXPECT_EQ(Get(c, Contact::A_email), L"first@x");
    auto [begin, end] = c.Attributes().equal_range(Contact::A_email);
    std::vector<std::wstring> emails;
    for (auto it = begin; it != end; ++it)
        emails.push_back(it->second);
    EXPECT_EQ(emails, (std::vector<std::wstring>{L"first@x", L"second@x", L"third@x"}));
    // The text of an `a` element includes the text of its descendants.
    EXPECT_EQ(Get(c, Contact::A_notes), L"a bold note");

    std::vector<std::wstring> names;
    for (const auto& [name, value] : c.Attributes())
        names.push_back(name);
    // Upper case before lower case; beyond-BMP characters sort as surrogates, before U+FFFD.
    std::vector<std::wstring> expected = {L"Radio",      L"email",         L"email",           L"email",
                                          L"notes",      L"outlookFileAs", L"userCertificate", L"userCertificate",
                                          L"\U0001F600", L"\uFFFD"};
    EXPECT_EQ(names, expected);
    ExpectSameContact(c, First(ReadSax(reply)));
}

TEST_F(ContactParse, ImageAttachment) {
    std::string reply = Reply(
        "<cn id='1'><a n='image' part='2' s='5120' filename='me.png' ct='image/png;x=y'/><a n='firstName'>Ann</a></cn>"
        "<cn id='2'><a n='IMAGE'/></cn>"
        "<cn id='3'><a n='image' part='1' ct='image/jpeg'>ignored text</a></cn>"
        "<cn id='4'/>");
    auto dom = ReadDom(reply);
    std::vector<const Contact*> d(dom->begin(), dom->end());
    const auto& image = d[0]->GetImageAttachmentInfo();
    EXPECT_EQ(image.GetPartIndex(), 1);
    EXPECT_EQ(image.GetSize(), 5120);
    EXPECT_STREQ(image.GetFileName(), L"me.png");
    EXPECT_STREQ(image.GetContentType(), L"image/png");
    EXPECT_EQ(d[0]->Attributes().contains(Contact::A_image), 0);

    // An image element without details: part index -1 means the part is unknown.
    EXPECT_EQ(d[1]->GetImageAttachmentInfo().GetPartIndex(), -1);
    EXPECT_EQ(d[1]->GetImageAttachmentInfo().GetFileName(), nullptr);
    EXPECT_EQ(d[1]->GetImageAttachmentInfo().GetContentType(), nullptr);
    EXPECT_EQ(d[1]->Attributes().size(), 1u);  // only the derived outlookFileAs

    EXPECT_EQ(d[2]->GetImageAttachmentInfo().GetPartIndex(), 0);
    EXPECT_EQ(d[2]->GetImageAttachmentInfo().GetSize(), 0);
    EXPECT_EQ(d[3]->GetImageAttachmentInfo().GetPartIndex(), -1);

    auto sax = ReadSax(reply);
    auto it = sax->begin();
    for (const Contact* c : d)
        ExpectSameContact(*c, **it++);

    // Copies own their texts.
    Contact copy = *d[0];
    Contact assigned;
    assigned = copy;
    dom.reset();
    EXPECT_STREQ(assigned.GetImageAttachmentInfo().GetFileName(), L"me.png");
    EXPECT_STREQ(copy.GetImageAttachmentInfo().GetContentType(), L"image/png");
    copy.GetImageAttachmentInfo().SetFileName(nullptr);
    EXPECT_STREQ(assigned.GetImageAttachmentInfo().GetFileName(), L"me.png");
}

TEST_F(ContactParse, GroupMembersWithMissingPartsAreSkipped) {
    std::string reply = Reply(
        "<cn id='1'><a n='type'>group</a><m type='C' value='257'/><m type='' value='x'/><m type='G' value=''/>"
        "<m value='y'/><m type='I'/><m type='Inline' value='ann@x.test'/><m type='G' value='uid=ben,dc=x'/></cn>");
    auto list = ReadDom(reply);
    const Contact& c = First(list);
    std::vector<std::pair<wchar_t, std::wstring>> members;
    for (const auto& m : c.GroupMembers())
        members.emplace_back(m.type, m.value);
    EXPECT_EQ(members, (std::vector<std::pair<wchar_t, std::wstring>>{
                           {L'C', L"257"}, {L'I', L"ann@x.test"}, {L'G', L"uid=ben,dc=x"}}));
    ExpectSameContact(c, First(ReadSax(reply)));

    Ostrel::Mail::ContactGroupMembers direct;
    direct.put(L'\0', L"x");
    direct.put(L'C', static_cast<const wchar_t*>(nullptr));
    direct.put(L'C', L"");
    EXPECT_EQ(direct.size(), 1u);
}

TEST_F(ContactParse, FlagsTagsAndModificationTime) {
    std::string reply = Reply(
        "<cn id='1' f='a' t='3,17' tn='Work, Home,,' md='1700000000'/>"
        "<cn id='2' f='A' t='3,17,'/>"
        "<cn id='3' f='af' t='' md='99999999999999999'/>"
        "<cn id='4' t='x,-5'/>"
        "<cn id='99999999999999999999999' l='-99999999999999999999' md='9999999999999999999999999' t=' 7,+8'/>");
    auto dom = ReadDom(reply);
    std::vector<const Contact*> d(dom->begin(), dom->end());
    EXPECT_TRUE(d[0]->HasAttachments());
    EXPECT_EQ(std::vector<int32_t>(d[0]->TagIds()), (std::vector<int32_t>{3, 17}));
    EXPECT_EQ(std::vector<std::wstring>(d[0]->TagNames()), (std::vector<std::wstring>{L"Work", L"Home"}));
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(d[0]->Modified()), FileTimeOfUnix(1700000000));

    EXPECT_TRUE(d[1]->HasAttachments());
    EXPECT_EQ(std::vector<int32_t>(d[1]->TagIds()), (std::vector<int32_t>{3, 17, 0}));
    // No "md", or one out of range: the time of reading.
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(d[1]->Modified()),
              Ostrel::Util::FileTimeToUInt64(m_clock.GetSystemTimeAsFileTime()));
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(d[2]->Modified()),
              Ostrel::Util::FileTimeToUInt64(m_clock.GetSystemTimeAsFileTime()));

    EXPECT_FALSE(d[2]->HasAttachments());
    EXPECT_TRUE(d[2]->TagIds().empty());
    EXPECT_EQ(std::vector<int32_t>(d[3]->TagIds()), (std::vector<int32_t>{0, -5}));
    // Numbers beyond the range stop at its ends.
    EXPECT_EQ(d[4]->GetContId(), INT32_MAX);
    EXPECT_EQ(d[4]->ParentFolderId(), INT32_MIN);
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(d[4]->Modified()),
              Ostrel::Util::FileTimeToUInt64(m_clock.GetSystemTimeAsFileTime()));
    EXPECT_EQ(std::vector<int32_t>(d[4]->TagIds()), (std::vector<int32_t>{7, 8}));

    auto sax = ReadSax(reply);
    auto it = sax->begin();
    for (const Contact* c : d)
        ExpectSameContact(*c, **it++);
}

TEST_F(ContactParse, TooManyMembersIsReadFromTheStartTag) {
    Ostrel::Util::LogCapture capture;
    auto sax = ReadSax(Reply("<cn id='1' tooManyMembers='1'/><cn id='2' tooManyMembers='0'/>"));
    EXPECT_TRUE(sax->front()->TooManyMembers());
    EXPECT_FALSE(sax->back()->TooManyMembers());
    EXPECT_EQ(capture.Count(L"GetContactsRequest returned tooManyMembers=1"), 1u);
}

TEST_F(ContactParse, ARichContactIsTheSameOnBothPaths) {
    std::string reply = Reply(
        "<cn id='300' l='7' md='1712345678' f='a' t='1,2' tn='Family'>"
        "<a n='firstName'>J\xC3\xBCrgen</a><a n='lastName'>\xC3\x96zt\xC3\xBCrk</a><a n='company'>Ostrel &amp; Co</a>"
        "<a n='fileAs'>5</a><a n='email'>j@x.test</a><a n='email2'>j2@x.test</a><a n='birthday'>1980-02-29</a>"
        "<a n='notes'><![CDATA[line 1\nline <2>]]></a><a n='customField'>kept as is</a>"
        "<a n='image' part='3' s='99' filename='j.jpg' ct='image/jpeg'/><m type='I' value='x@y.test'/></cn>"
        "<cn id='301' l='7'><a n='outlookFileAs'>Own</a><a n='fullName'>Own Name</a></cn>");
    auto dom = ReadDom(reply);
    auto sax = ReadSax(reply);
    ASSERT_EQ(dom->size(), 2u);
    ASSERT_EQ(sax->size(), 2u);
    ExpectSameContact(*dom->front(), *sax->front());
    ExpectSameContact(*dom->back(), *sax->back());
    const Contact& c = *dom->front();
    EXPECT_EQ(Get(c, Contact::A_outlookFileAs), L"J\u00FCrgen \u00D6zt\u00FCrk\nOstrel & Co");
    EXPECT_EQ(Get(c, Contact::A_notes), L"line 1\nline <2>");
    EXPECT_EQ(Get(c, L"customField"), L"kept as is");

    // A copy is independent of the original.
    Contact copy(c);
    copy.SetAttribute(Contact::A_email, L"more@x.test");
    EXPECT_EQ(c.Attributes().size() + 1, copy.Attributes().size());
    ExpectSameContact(c, *dom->front());
}

TEST_F(ContactParse, ContactListsFollowTheNamespaceAndDocumentOrder) {
    std::string reply = Reply("<cn id='10'/><x><cn id='11'/></x><cn xmlns='urn:ostrelAccount' id='12'/><cn id='13'/>");
    auto mail = ReadDom(reply, true);
    std::vector<int32_t> ids;
    for (const Contact* c : *mail)
        ids.push_back(c->GetContId());
    EXPECT_EQ(ids, (std::vector<int32_t>{10, 11, 13}));
    auto account = ReadDom(reply, false);
    ASSERT_EQ(account->size(), 1u);
    EXPECT_EQ(account->front()->GetContId(), 12);

    EXPECT_TRUE(Contact::CreateContactList(nullptr, true)->empty());
    // Without the selection namespaces the selection fails: an empty list.
    Platform::ComPtr<IXMLDOMDocument2> bare;
    ASSERT_EQ(Platform::Xml::CreateDocument(bare.AddressOf()), S_OK);
    ASSERT_EQ(bare->loadXMLBytes(reply), S_OK);
    EXPECT_TRUE(Contact::CreateContactList(bare.Get(), true)->empty());

    // GAL entries in the account namespace read their `a` children from there.
    std::string gal = Reply(
        "<cn id='abc' ref='uid=a'><a n='email'>a@x</a><a n='objectClass'>one</a>"
        "<a n='objectClass'>two</a></cn>",
        false);
    auto dom = ReadDom(gal, false);
    auto sax = ReadSax(gal, false);
    ASSERT_EQ(dom->size(), 1u);
    EXPECT_EQ(dom->front()->GalRef(), L"uid=a");
    EXPECT_EQ(Get(*dom->front(), Contact::A_email), L"a@x");
    ExpectSameContact(*dom->front(), *sax->front());
}

TEST_F(ContactParse, AttributeBagAndANullStartTag) {
    Contact c;
    c.SetAttribute(L"phone", L"");
    c.SetAttribute(L"phone", L"123");
    EXPECT_EQ(c.Attributes().contains(L"phone"), 1);
    EXPECT_EQ(c.Attributes().contains(L"phone", 1), 0);  // the first entry is empty
    EXPECT_EQ(c.Attributes().contains(L"Phone"), 0);

    // A null start tag gives the defaults.
    Contact fromNothing(1, static_cast<ISAXAttributes*>(nullptr));
    EXPECT_EQ(fromNothing.GetContId(), -1);
    EXPECT_TRUE(fromNothing.IsNewStyleGalIdMapper());
}

TEST_F(ContactParse, WhiteSpaceInValuesIsKeptAlikeOnBothPaths) {
    std::string reply = Reply(
        "<cn id='1'>\n  <a n='notes'>   </a>\n  <a n='x'> a  b </a>\n"
        "  <a n='y'>\n</a><m type='C' value='2'/>\n</cn>");
    auto dom = ReadDom(reply);
    auto sax = ReadSax(reply);
    ExpectSameContact(*dom->front(), *sax->front());
    EXPECT_STREQ(dom->front()->Attributes().get(Contact::A_notes), L"   ");
}
