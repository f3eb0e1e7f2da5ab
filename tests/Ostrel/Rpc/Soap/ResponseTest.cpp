#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "SoapTestSupport.h"
#include "Util/Log/Log.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <typeinfo>
#include <vector>

using namespace Ostrel::Rpc;
using namespace SoapTest;

namespace {

struct Deleter {
    void operator()(Response* p) const { Response::Manager::DeleteResponse(p); }
};
using ResponsePtr = std::unique_ptr<Response, Deleter>;

ResponsePtr NewResponse(const std::wstring& xml) {
    auto doc = Document(xml);
    return ResponsePtr(Response::Manager::NewResponse(doc.Get()));
}

std::string TypeOf(const Response* response) {
    return typeid(*response).name();
}

// A throw-away self-signed certificate in DER.
std::vector<BYTE> SelfSignedCertificate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("server.test"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    std::vector<BYTE> bytes(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    X509_free(cert);
    EVP_PKEY_free(key);
    return bytes;
}

}  // namespace

class ResponseFactory : public SoapFixture {};

// Elements and codes that name their class are one table in the factory; what a test adds is
// the names that share a class, those that have none, and the matching without case.
TEST_F(ResponseFactory, BodyElementsThatShareAClassOrHaveNone) {
    const struct {
        const wchar_t* pwszElement;
        const std::type_info& type;
    } rows[] = {
        {L"ContactActionResponse", typeid(ActionResponse)},
        {L"FolderActionResponse", typeid(ActionResponse)},
        {L"MsgActionResponse", typeid(ActionResponse)},
        {L"ItemActionResponse", typeid(ActionResponse)},
        {L"SetTaskResponse", typeid(SetAppointmentResponse)},
        {L"GetTaskResponse", typeid(GetAppointmentResponse)},
        {L"syncresponse", typeid(SyncResponse)},
        {L"GETINFORESPONSE", typeid(GetInfoResponse)},
        {L"NoOpResponse", typeid(Response)},
        {L"BatchResponse", typeid(Response)},
    };
    for (const auto& row : rows) {
        std::wstring element = row.pwszElement;
        auto response = NewResponse(Envelope(L"<" + element + L" xmlns=\"urn:ostrelMail\"/>"));
        ASSERT_TRUE(response);
        EXPECT_EQ(TypeOf(response.get()), row.type.name()) << std::string(element.begin(), element.end());
    }
}

TEST_F(ResponseFactory, FaultCodesThatShareAClassOrHaveNone) {
    const struct {
        const wchar_t* pwszCode;
        const std::type_info& type;
    } rows[] = {
        {L"account.MAINTENANCE_MODE", typeid(AccountServiceException_MAINTENANCE_MODE)},
        {L"account.ACCOUNT_INACTIVE", typeid(AccountServiceException_MAINTENANCE_MODE)},
        {L"service.TEMPORARILY_UNAVAILABLE", typeid(AccountServiceException_MAINTENANCE_MODE)},
        {L"mail.NO_SUCH_ITEM", typeid(SoapFaultResponse)},
        {L"account.AUTH_FAILED.extra", typeid(SoapFaultResponse)},
        {L"", typeid(SoapFaultResponse)},
    };
    for (const auto& row : rows) {
        std::wstring code = row.pwszCode;
        auto response = NewResponse(FaultEnvelope(code.c_str()));
        EXPECT_EQ(TypeOf(response.get()), row.type.name()) << std::string(code.begin(), code.end());
        auto* fault = dynamic_cast<SoapFaultResponse*>(response.get());
        ASSERT_NE(fault, nullptr);
        EXPECT_STREQ(fault->ExcepText(), L"reason text");
        EXPECT_EQ(std::wstring(fault->ErrorCode()), code.empty() ? L"Unknown" : code);
    }
    // Codes too are matched without regard to case, and keep the case they came in.
    auto upper = NewResponse(FaultEnvelope(L"MAIL.MUST_RESYNC"));
    EXPECT_EQ(TypeOf(upper.get()), typeid(MailServiceException_MUST_RESYNC).name());
    EXPECT_STREQ(dynamic_cast<SoapFaultResponse*>(upper.get())->ErrorCode(), L"MAIL.MUST_RESYNC");
    // Namespaces decide, not prefixes.
    auto prefixed = NewResponse(
        L"<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body><e:Fault>"
        L"<e:Detail><o:Error xmlns:o=\"urn:ostrel\"><o:Code>mail.MUST_RESYNC</o:Code></o:Error>"
        L"</e:Detail></e:Fault></e:Body></e:Envelope>");
    EXPECT_EQ(TypeOf(prefixed.get()), typeid(MailServiceException_MUST_RESYNC).name());
}

TEST_F(ResponseFactory, FaultsWithoutReasonOrCodeSayUnknown) {
    auto response = NewResponse(FaultEnvelope(nullptr, nullptr));
    auto* fault = dynamic_cast<SoapFaultResponse*>(response.get());
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(TypeOf(fault), typeid(SoapFaultResponse).name());
    EXPECT_STREQ(fault->ExcepText(), L"Unknown");
    EXPECT_STREQ(fault->ErrorCode(), L"Unknown");
    EXPECT_STREQ(fault->ExcepType(), L"SoapFaultResponse");

    auto noReason = NewResponse(FaultEnvelope(L"mail.NO_SUCH_ITEM", nullptr));
    auto* fault2 = dynamic_cast<SoapFaultResponse*>(noReason.get());
    EXPECT_STREQ(fault2->ExcepText(), L"Unknown");
    EXPECT_STREQ(fault2->ErrorCode(), L"mail.NO_SUCH_ITEM");
}

TEST_F(ResponseFactory, EmptyOrBodilessDocumentsAreTransportErrors) {
    Ostrel::Util::LogCapture capture;
    try {
        Response::Manager::NewResponse(nullptr);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), 12006u);
        EXPECT_EQ(e.IsSSLExcep(), 0);
        EXPECT_STREQ(e.ExcepText(), WinHttpException::pTERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }
    EXPECT_TRUE(capture.Contains(L"NULL response. Throwing ERROR_WINHTTP_UNRECOGNIZED_SCHEME"));

    for (const wchar_t* xml : {L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body/>"
                               L"</soap:Envelope>",
                               L"<Envelope><Body><SyncResponse/></Body></Envelope>", L"<html>502</html>"}) {
        auto doc = Document(xml);
        EXPECT_THROW(Response::Manager::NewResponse(doc.Get()), WinHttpException);
    }
    auto empty = Document(L"<x/>");
    ASSERT_EQ(empty->loadXML(L"not xml"), S_FALSE);
    EXPECT_THROW(Response::Manager::NewResponse(empty.Get()), WinHttpException);
    EXPECT_TRUE(capture.Contains(L"No SOAP body in response. Throwing ERROR_WINHTTP_UNRECOGNIZED_SCHEME"));
    Response::Manager::DeleteResponse(nullptr);
}

TEST_F(ResponseFactory, ResponsesKeepTheirDocumentAndChangeToken) {
    auto doc = Document(Envelope(L"<SyncResponse xmlns=\"urn:ostrelMail\" token=\"42\"><m id=\"7\"/></SyncResponse>",
                                 L"<context xmlns=\"urn:ostrel\"><change token=\"1234\"/></context>"));
    ResponsePtr response(Response::Manager::NewResponse(doc.Get()));
    IXMLDOMDocument2* raw = doc.Get();
    doc = nullptr;  // the response holds its own reference
    EXPECT_EQ(response->GetDocument(), raw);
    EXPECT_STREQ(response->GetChangeToken(), L"1234");
    // Every typed response can use the shared prefixes.
    Platform::ComPtr<IXMLDOMNode> m;
    EXPECT_EQ(response->GetDocument()->selectSingleNode(L"//mail:SyncResponse/mail:m[@id='7']", m.AddressOf()), S_OK);

    auto plain = NewResponse(Envelope(L"<GetInfoResponse xmlns=\"urn:ostrelAccount\"/>"));
    EXPECT_EQ(plain->GetChangeToken(), nullptr);

    BatchResponse empty;
    EXPECT_EQ(empty.GetDocument(), nullptr);
    auto batchDoc = Document(Envelope(L"<BatchResponse xmlns=\"urn:ostrel\"/>"));
    BatchResponse batch(batchDoc.Get());
    EXPECT_EQ(batch.GetDocument(), batchDoc.Get());
}

TEST(RpcExceptions, WinHttpTextsFallBackToTheNumber) {
    WinHttpException known(12002, 1);
    EXPECT_STREQ(known.ExcepText(), L"The request has timed out.");
    WinHttpException unknown(12044, 1);
    EXPECT_STREQ(unknown.ExcepText(), L"Unknown Error 12044");
    EXPECT_EQ(unknown.ExcepNum(1), 12044u);
    EXPECT_EQ(unknown.IsSSLExcep(), 1);
}

TEST(RpcExceptions, TypeNamesFollowTheCopyNotTheOriginal) {
    auto doc = Document(FaultEnvelope(L"account.AUTH_FAILED"));
    AccountServiceException_AUTH_FAILED fault(doc.Get());
    EXPECT_STREQ(fault.ExcepType(), L"AccountServiceException_AUTH_FAILED");
    SoapFaultResponse sliced(fault);
    EXPECT_STREQ(sliced.ExcepType(), L"SoapFaultResponse");
    EXPECT_STREQ(sliced.ErrorCode(), L"account.AUTH_FAILED");
    EXPECT_EQ(sliced.GetDocument(), doc.Get());
}

TEST(RpcExceptions, ServerCertificatesAreDuplicatedAndFreed) {
    std::vector<BYTE> der = SelfSignedCertificate();
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(cert, nullptr);
    {
        WinHttpException e(12175, 1);
        EXPECT_EQ(e.GetCertContext(), nullptr);
        e.SetServerCertData(0x100, cert);
        e.SetServerCertData(0x200, cert);  // the earlier duplicate is freed
        EXPECT_EQ(e.GetCertErr(), 0x200u);
        ASSERT_NE(e.GetCertContext(), nullptr);
        WinHttpException copy(e);
        EXPECT_EQ(copy.GetCertErr(), 0x200u);
        EXPECT_EQ(copy.GetCertContext()->cbCertEncoded, der.size());
        e.SetServerCertData(0, nullptr);
        EXPECT_EQ(e.GetCertContext(), nullptr);
        EXPECT_NE(copy.GetCertContext(), nullptr);
    }
    // The exceptions released their references; ours is the last (a leak would show under ASan).
    EXPECT_TRUE(CertFreeCertificateContext(cert));
}
