#include "ContactTestSupport.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>

namespace ContactTest {

using Ostrel::Mail::Contact;

namespace {

// Opens the protected DOM constructor.
class DomContact : public Contact {
public:
    DomContact(int newStyleGalIdMapper, IXMLDOMNode* pCn, bool mailNamespace)
        : Contact(newStyleGalIdMapper, pCn, mailNamespace) {}
};

std::wstring Text(const wchar_t* pwsz) {
    return pwsz ? std::wstring(pwsz) : std::wstring(L"<null>");
}

}  // namespace

std::string Reply(const std::string& cnFragment, bool mailNamespace) {
    std::string response = mailNamespace ? "GetContactsResponse xmlns=\"urn:ostrelMail\""
                                         : "SyncGalResponse xmlns=\"urn:ostrelAccount\" token=\"42\"";
    std::string end = mailNamespace ? "GetContactsResponse" : "SyncGalResponse";
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
           "<context xmlns=\"urn:ostrel\"/></soap:Header><soap:Body><" +
           response + ">" + cnFragment + "</" + end + "></soap:Body></soap:Envelope>";
}

Platform::ComPtr<IXMLDOMDocument2> LoadReply(const std::string& reply) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    EXPECT_EQ(doc->setProperty(L"SelectionNamespaces", Ostrel::Rpc::Soap::kSelectionNamespaces), S_OK);
    EXPECT_EQ(doc->loadXMLBytes(reply), S_OK);
    return doc;
}

std::unique_ptr<Contact::List> ReadDom(const std::string& reply, bool mailNamespace) {
    return Contact::CreateContactList(LoadReply(reply).Get(), mailNamespace);
}

std::unique_ptr<Contact::List> ReadSax(const std::string& reply, bool mailNamespace, int newStyleGalIdMapper) {
    std::unique_ptr<Contact::List> list;
    EXPECT_EQ(Ostrel::Mail::ContactReader::ReadList(reply, mailNamespace, newStyleGalIdMapper, list), S_OK);
    return list;
}

std::unique_ptr<Contact> ParseDomCn(const std::string& reply, int newStyleGalIdMapper, bool mailNamespace) {
    auto doc = LoadReply(reply);
    Platform::ComPtr<IXMLDOMNode> cn;
    EXPECT_EQ(doc->selectSingleNode(mailNamespace ? L"//mail:cn" : L"//account:cn", cn.AddressOf()), S_OK);
    return std::make_unique<DomContact>(newStyleGalIdMapper, cn.Get(), mailNamespace);
}

std::vector<std::pair<std::wstring, std::wstring>> Entries(const Contact& contact) {
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const auto& [name, value] : contact.Attributes())
        out.emplace_back(name, value);
    return out;
}

void ExpectSameContact(const Contact& a, const Contact& b) {
    EXPECT_EQ(Entries(a), Entries(b)) << "attributes";
    std::vector<std::pair<wchar_t, std::wstring>> ma, mb;
    for (const auto& m : a.GroupMembers())
        ma.emplace_back(m.type, m.value);
    for (const auto& m : b.GroupMembers())
        mb.emplace_back(m.type, m.value);
    EXPECT_EQ(ma, mb) << "members";
    EXPECT_EQ(a.GetContId(), b.GetContId()) << "id";
    EXPECT_EQ(a.ParentFolderId(), b.ParentFolderId()) << "folder";
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(a.Modified()), Ostrel::Util::FileTimeToUInt64(b.Modified())) << "modified";
    EXPECT_EQ(a.HasAttachments(), b.HasAttachments()) << "attachments";
    const auto& ia = a.GetImageAttachmentInfo();
    const auto& ib = b.GetImageAttachmentInfo();
    EXPECT_EQ(ia.GetPartIndex(), ib.GetPartIndex()) << "image part";
    EXPECT_EQ(ia.GetSize(), ib.GetSize()) << "image size";
    EXPECT_EQ(Text(ia.GetFileName()), Text(ib.GetFileName())) << "image file name";
    EXPECT_EQ(Text(ia.GetContentType()), Text(ib.GetContentType())) << "image type";
    EXPECT_EQ(a.TooManyMembers(), b.TooManyMembers()) << "too many members";
    EXPECT_EQ(a.IsNewStyleGalIdMapper(), b.IsNewStyleGalIdMapper()) << "new style";
    EXPECT_EQ(a.GetUniqueId(), b.GetUniqueId()) << "unique id";
    EXPECT_EQ(std::vector<int32_t>(a.TagIds()), std::vector<int32_t>(b.TagIds())) << "tag ids";
    EXPECT_EQ(std::vector<std::wstring>(a.TagNames()), std::vector<std::wstring>(b.TagNames())) << "tag names";
    EXPECT_EQ(a.GalRef(), b.GalRef()) << "GAL reference";
}

}  // namespace ContactTest
