// Shared set-up of the SOAP tests: a private OSTREL_HOME (registry) per test, the handheld-server
// switch, a request class that opens the protected operations, and documents from text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "Ostrel/Rpc/Soap/Request.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"

namespace SoapTest {

class TestRequest : public Ostrel::Rpc::Request {
public:
    using Request::AppendToSoapBody;
    using Request::AppendToSoapHeader;
    using Request::AppendToSoapHeaderContext;
    using Request::init;
    using Request::Request;
    using Request::SetFolderAcl;
};

class SoapFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
    }
    void TearDown() override {
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
    }

    static void SetHandheldServerEdition(bool bOn) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        DWORD value = bOn ? 1 : 0;
        ASSERT_EQ(RegSetValueExW(key, L"isBES", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }

    TestSupport::TempHome m_home;
};

inline std::wstring Xml(IXMLDOMNode* node) {
    std::wstring xml;
    EXPECT_EQ(node->get_xml(xml), S_OK);
    return xml;
}

inline Platform::ComPtr<IXMLDOMDocument2> Document(const std::wstring& xml) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    EXPECT_EQ(doc->loadXML(xml), S_OK) << std::string(xml.begin(), xml.end());
    return doc;
}

// A SOAP envelope around a body (and an optional header).
inline std::wstring Envelope(const std::wstring& body, const std::wstring& header = L"") {
    return L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">" +
           (header.empty() ? std::wstring() : L"<soap:Header>" + header + L"</soap:Header>") + L"<soap:Body>" + body +
           L"</soap:Body></soap:Envelope>";
}

// A fault envelope with an optional reason and error code.
inline std::wstring FaultEnvelope(const wchar_t* pwszCode, const wchar_t* pwszReason = L"reason text") {
    std::wstring body = L"<soap:Fault><soap:Code><soap:Value>soap:Sender</soap:Value></soap:Code>";
    if (pwszReason)
        body += std::wstring(L"<soap:Reason><soap:Text>") + pwszReason + L"</soap:Text></soap:Reason>";
    if (pwszCode)
        body += std::wstring(L"<soap:Detail><Error xmlns=\"urn:ostrel\"><Code>") + pwszCode +
                L"</Code><Trace>t</Trace></Error></soap:Detail>";
    return Envelope(body + L"</soap:Fault>");
}

}  // namespace SoapTest
