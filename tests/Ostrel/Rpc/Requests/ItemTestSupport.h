// Shared set-up of the item request tests: a user session double with switchable features,
// a private OSTREL_HOME per test, the handheld-server switch, and whole-element comparisons.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"
#include "Ostrel/Rpc/Soap/Response.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Registry/Registry.h"
#include "Support/SessionDouble.h"
#include "Support/TempHome.h"

namespace ItemTest {

using FeatureSession = TestSupport::SessionDouble;

class ItemFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        session = std::make_shared<FeatureSession>();
        Ostrel::Rpc::SetSessionFinder([s = session](const std::wstring&) { return s.get(); });
    }
    void TearDown() override {
        Ostrel::Rpc::SetSessionFinder(nullptr);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }

    // Server version 8 with tag names (the default), version 7 with tag ids, or none of it.
    void Features(int tagNames, int tagIds, int osv8) {
        session->tagNames = tagNames;
        session->tagIds = tagIds;
        session->osv8 = osv8;
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

    TestSupport::TempHome home;
    std::shared_ptr<FeatureSession> session;
};

// The XML of the request's body element; "<none>" when the SOAP body is empty.
inline std::wstring BodyXml(Ostrel::Rpc::Request& request) {
    Platform::ComPtr<IXMLDOMNode> body;
    if (request.GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/*", body.AddressOf()) != S_OK)
        return L"<none>";
    std::wstring xml;
    EXPECT_EQ(body->get_xml(xml), S_OK);
    return xml;
}

// The context element of the request's header.
inline std::wstring ContextXml(Ostrel::Rpc::Request& request) {
    Platform::ComPtr<IXMLDOMNode> context;
    if (request.GetDocument()->selectSingleNode(L"//soap:Header/l:context", context.AddressOf()) != S_OK)
        return L"<none>";
    std::wstring xml;
    EXPECT_EQ(context->get_xml(xml), S_OK);
    return xml;
}

// A typed response made from a SOAP body as the response layer makes it; null (and a failure)
// when the body gives another class.
template <class T>
std::unique_ptr<T> Typed(const std::wstring& body) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    EXPECT_EQ(doc->loadXML(L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" + body +
                           L"</soap:Body></soap:Envelope>"),
              S_OK);
    std::unique_ptr<Ostrel::Rpc::Response> response(Ostrel::Rpc::Response::Manager::NewResponse(doc.Get()));
    T* pTyped = dynamic_cast<T*>(response.get());
    EXPECT_NE(pTyped, nullptr) << typeid(*response).name();
    if (!pTyped)
        return nullptr;
    response.release();
    return std::unique_ptr<T>(pTyped);
}

}  // namespace ItemTest
