// The event-driven reading of replies: faults, response attributes, failures and limits.
#include "ContactTestSupport.h"

#include "Platform/Com/MemStream.h"

#include <gtest/gtest.h>

using namespace ContactTest;
using Ostrel::Mail::Contact;
using Ostrel::Mail::ContactReader;

namespace {

struct Collected {
    std::vector<std::unique_ptr<Contact>> contacts;
    ContactReader::Sink Sink() {
        return [this](std::unique_ptr<Contact> p) {
            contacts.push_back(std::move(p));
            return S_OK;
        };
    }
};

}  // namespace

TEST(ContactReader, AFaultReplyIsAFailureWithTheServersCode) {
    std::string fault =
        "<soap:Envelope xmlns:soap='http://www.w3.org/2003/05/soap-envelope'><soap:Body><soap:Fault>"
        "<soap:Code><soap:Value>soap:Sender</soap:Value></soap:Code><soap:Reason><soap:Text>no such contact: 9"
        "</soap:Text></soap:Reason><soap:Detail><Error xmlns='urn:ostrel'><Code>mail.NO_SUCH_CONTACT</Code>"
        "<Trace>t</Trace></Error></soap:Detail></soap:Fault></soap:Body></soap:Envelope>";
    Collected out;
    ContactReader reader(true, 0, out.Sink());
    EXPECT_EQ(reader.Read(fault), E_FAIL);
    EXPECT_EQ(reader.GetFaultCode(), L"mail.NO_SUCH_CONTACT");
    EXPECT_NE(reader.GetError().reason.find(L"mail.NO_SUCH_CONTACT"), std::wstring::npos);
    EXPECT_NE(reader.GetError().reason.find(L"no such contact: 9"), std::wstring::npos);
    EXPECT_TRUE(out.contacts.empty());

    // The same reader reads a good reply afterwards with a clean state.
    EXPECT_EQ(reader.Read(Reply("<cn id='1'/>")), S_OK);
    EXPECT_EQ(reader.GetFaultCode(), L"");
    EXPECT_EQ(reader.GetCount(), 1u);
}

TEST(ContactReader, TheResponseElementsAttributesAreKept) {
    Collected out;
    ContactReader reader(false, 0, out.Sink());
    std::string reply =
        "<soap:Envelope xmlns:soap='http://www.w3.org/2003/05/soap-envelope'><soap:Body>"
        "<SyncGalResponse xmlns='urn:ostrelAccount' token='20240101' more='1'>"
        "<cn id='a1' ref='uid=a'/><cn id='a2' ref='uid=b'/></SyncGalResponse></soap:Body></soap:Envelope>";
    ASSERT_EQ(reader.Read(reply), S_OK);
    EXPECT_EQ(reader.ResponseAttributes().at(L"token"), L"20240101");
    EXPECT_EQ(reader.ResponseAttributes().at(L"more"), L"1");
    EXPECT_EQ(reader.GetCount(), 2u);
    ASSERT_EQ(out.contacts.size(), 2u);
    EXPECT_EQ(out.contacts[1]->GalRef(), L"uid=b");

    // Mail-namespace contacts are not read when the account namespace is asked for.
    EXPECT_EQ(reader.Read(Reply("<cn id='1'/>", true)), S_OK);
    EXPECT_EQ(reader.GetCount(), 0u);
}

TEST(ContactReader, FailuresStopTheReadingButKeepWhatWasDelivered) {
    // The receiver stops after the second contact.
    std::vector<int32_t> ids;
    ContactReader stopping(true, 0, [&ids](std::unique_ptr<Contact> p) {
        ids.push_back(p->GetContId());
        return ids.size() == 2 ? E_ABORT : S_OK;
    });
    EXPECT_EQ(stopping.Read(Reply("<cn id='1'/><cn id='2'/><cn id='3'/>")), E_ABORT);
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 2}));
    EXPECT_FALSE(stopping.GetError().reason.empty());

    // A reply cut short: the complete contacts before the cut are delivered, then the error.
    std::string reply = Reply("<cn id='1'><a n='email'>a@x</a></cn><cn id='2'><a n='email'>b@");
    reply.resize(reply.find("b@") + 2);
    Collected out;
    ContactReader reader(true, 0, out.Sink());
    EXPECT_EQ(reader.Read(reply), E_FAIL);
    ASSERT_EQ(out.contacts.size(), 1u);
    EXPECT_EQ(out.contacts[0]->GetContId(), 1);
    EXPECT_FALSE(reader.GetError().reason.empty());

    std::unique_ptr<Contact::List> list;
    EXPECT_EQ(ContactReader::ReadList(reply, true, 0, list), E_FAIL);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());

    EXPECT_TRUE(FAILED(ContactReader::ReadList("<!DOCTYPE x [<!ENTITY e 'e'>]><x>&e;</x>", true, 0, list)));
    EXPECT_TRUE(FAILED(ContactReader::ReadList("", true, 0, list)));
}

TEST(ContactReader, AnOverlongValueIsRefused) {
    std::string big(ContactReader::kMaxValueChars + 1, 'v');
    Collected out;
    ContactReader reader(true, 0, out.Sink());
    EXPECT_EQ(reader.Read(Reply("<cn id='1'><a n='notes'>" + big + "</a></cn>")), E_FAIL);
    EXPECT_NE(reader.GetError().reason.find(L"notes"), std::wstring::npos);
    EXPECT_TRUE(out.contacts.empty());
}

TEST(ContactReader, StreamsAndBytesGiveTheSameContacts) {
    std::string fragment;
    for (int i = 0; i < 3000; ++i)
        fragment += "<cn id='" + std::to_string(i) + "' l='7' md='1700000000'><a n='firstName'>N\xC3\xA4me " +
                    std::to_string(i) + "</a><a n='lastName'>L</a><m type='C' value='" + std::to_string(i + 1) +
                    "'/></cn>";
    std::string reply = Reply(fragment);
    auto fromBytes = ReadSax(reply);
    Collected out;
    ContactReader reader(true, 0, out.Sink());
    auto stream = Platform::MemStream::Create(reply);
    ASSERT_EQ(reader.Read(stream.Get()), S_OK);
    ASSERT_EQ(out.contacts.size(), 3000u);
    auto it = fromBytes->begin();
    for (const auto& c : out.contacts)
        ExpectSameContact(*c, **it++);
    EXPECT_STREQ(out.contacts[2999]->Attributes().get(Contact::A_fullName), L"N\u00E4me 2999 L");
}

TEST(ContactReader, NestedContactsAndForeignElementsAreNotContacts) {
    auto sax =
        ReadSax(Reply("<cn id='1'><a n='x'>1</a><cn id='2'><a n='y'>2</a></cn><other xmlns='urn:z'><a n='z'>3</a>"
                      "</other><a n='w'>4</a></cn>"));
    ASSERT_EQ(sax->size(), 1u);
    const Contact& c = *sax->front();
    EXPECT_STREQ(c.Attributes().get(L"x"), L"1");
    EXPECT_STREQ(c.Attributes().get(L"w"), L"4");
    EXPECT_EQ(c.Attributes().get(L"y"), nullptr);
    EXPECT_EQ(c.Attributes().get(L"z"), nullptr);
}
