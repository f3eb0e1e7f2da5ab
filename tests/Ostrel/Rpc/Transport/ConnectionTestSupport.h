// Doubles and helpers for connection tests: a user session, a certificate trust manager that
// records its decisions, SOAP requests, and a fixture with a fresh home and the simulator.
#pragma once

#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/ConnectionTrust.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/ScriptedUi.h"
#include "Support/SessionDouble.h"
#include "Support/TempHome.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ConnTest {

using Platform::ComPtr;
using namespace Ostrel::Rpc;

using TestSession = TestSupport::SessionDouble;

// Remembers the certificate the "user" accepted, as the real manager does, and answers the
// dialog from a script.
class TestTrustManager : public ICertTrustManager {
public:
    bool IsWithinTrustPeriod(bool& expired) override {
        expired = expiredNow;
        return trusted && !expiredNow;
    }
    bool TrustTimeExists() override { return trusted; }
    bool IsFingerprintTrusted(const Platform::CertFingerprint& fp) override { return trusted && fp == fingerprint; }
    void ClearTrust() override {
        trusted = false;
        ++clears;
    }
    int ShowCertTrustDlg(Connection* pConnection) override {
        ++dialogs;
        issuesShown = pConnection->GetCertIssuesBitmap();
        if (!acceptDialog)
            return 0;
        trusted = true;
        fingerprint = pConnection->GetServerCertFingerprint();
        return 1;
    }
    PCCERT_CONTEXT GetTrustedCert() override { return nullptr; }

    bool acceptDialog = true;
    bool trusted = false;
    bool expiredNow = false;
    Platform::CertFingerprint fingerprint{};
    int dialogs = 0;
    int clears = 0;
    DWORD issuesShown = 0;
};

// A request with an empty body element of the given name and namespace.
class TestRequest : public Request {
public:
    explicit TestRequest(const wchar_t* pwszCallName, const wchar_t* pwszNamespace = L"urn:ostrelMail")
        : Request(pwszCallName, 0) {
        ComPtr<IXMLDOMElement> body;
        GetDocument()->createElement(pwszCallName, body.AddressOf());
        body->setAttribute(L"xmlns", pwszNamespace);
        AppendToSoapBody(body.Get());
    }
    // Adds a child element with text to the body element.
    void AddChild(const wchar_t* pwszName, const wchar_t* pwszText) {
        ComPtr<IXMLDOMNode> body;
        GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/*", body.AddressOf());
        ComPtr<IXMLDOMElement> child;
        GetDocument()->createElement(pwszName, child.AddressOf());
        child->put_text(pwszText);
        body->appendChild(child.Get(), nullptr);
    }
};

// Sends a NoOp; the WinHTTP error it failed with, 0 when it went through.
inline DWORD TryNoOp(Connection& c) {
    TestRequest noop(L"NoOpRequest");
    IXMLDOMDocument2* pDoc = nullptr;
    try {
        c.SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
    } catch (const WinHttpException& e) {
        return e.ExcepNum(0);
    }
    pDoc->Release();
    return 0;
}

// Reads a reply stream until it ends or fails; the result of the last Read.
inline HRESULT Drain(ISequentialStream* pStream, std::string& out) {
    char buffer[65536];
    for (;;) {
        ULONG n = 0;
        HRESULT hr = pStream->Read(buffer, sizeof buffer, &n);
        out.append(buffer, n);
        if (hr != S_OK || n == 0)
            return hr;
    }
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        session = std::make_shared<TestSession>();
        SetSessionFinder([s = session](const std::wstring&) { return s.get(); });
        trust = std::make_shared<TestTrustManager>();
        SetCertTrustManager(trust);
        ui = std::make_shared<Platform::Ui::ScriptedUi>();
        Platform::Ui::SetCurrent(ui);
        ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
    }
    void TearDown() override {
        SetSessionFinder(nullptr);
        SetCertTrustManager(nullptr);
        Platform::Ui::SetCurrent(nullptr);
        ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
    }

    // A plain HTTP simulator, started.
    std::unique_ptr<OstrelServer::Server> StartServer(bool tls = false,
                                                      std::optional<OstrelServer::Certificate> cert = std::nullopt,
                                                      int port = 0) {
        OstrelServer::ServerOptions options;
        options.tls = tls;
        options.certificate = std::move(cert);
        options.port = port;
        auto server = std::make_unique<OstrelServer::Server>(options);
        server->Start();
        return server;
    }

    std::unique_ptr<Connection> Connect(const OstrelServer::Server& server, int async = 0) {
        return std::make_unique<Connection>(L"test", L"127.0.0.1", static_cast<DWORD>(server.Port()),
                                            server.IsTls() ? 1 : 0, kProxyModeNone, nullptr, async);
    }

    // Sends a request and returns the local name of the response's first body element.
    static std::wstring Exchange(Connection& c, Request& request) {
        IXMLDOMDocument2* pDoc = nullptr;
        c.SendRequestSynchronous(&request, pDoc, __func__, __LINE__);
        ComPtr<IXMLDOMDocument2> doc;
        doc.Attach(pDoc);
        doc->setProperty(L"SelectionNamespaces", L"xmlns:soap='http://www.w3.org/2003/05/soap-envelope'");
        ComPtr<IXMLDOMNode> first;
        if (doc->selectSingleNode(L"/soap:Envelope/soap:Body/*", first.AddressOf()) != S_OK)
            return L"<none>";
        std::wstring name;
        first->get_baseName(name);
        return name;
    }

    TestSupport::TempHome home;
    std::shared_ptr<TestSession> session;
    std::shared_ptr<TestTrustManager> trust;
    std::shared_ptr<Platform::Ui::ScriptedUi> ui;
};

}  // namespace ConnTest
