// The item requests against the simulator: a seeded mailbox, the SOAP facade on a session double,
// and look-ups in replies.
#pragma once

#include "Ostrel/Rpc/Requests/ItemTestSupport.h"

#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

#include <memory>
#include <string>

namespace ItemTest {

class MailboxServerTest : public ItemFixture {
protected:
    void SetUp() override {
        ItemFixture::SetUp();
        server.Start();
        session->port = static_cast<DWORD>(server.Port());
        Ostrel::Rpc::ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        Mailbox().LoadSeed(TestSupport::DataDir() / "mailbox");
        oc = std::make_unique<Ostrel::Rpc::OstrelConnection>(L"items", L"127.0.0.1", session->port, 0,
                                                             Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"profile");
    }

    OstrelServer::Mailbox& Mailbox() { return OstrelServer::DefaultMailbox(server); }

    // Sends through the facade and checks that the body element went over the wire as the
    // request holds it (after any renaming by the facade).
    template <class T = Ostrel::Rpc::Response>
    std::unique_ptr<T> Call(Ostrel::Rpc::Request& request) {
        Ostrel::Rpc::Response* p = nullptr;
        oc->SendRequestSynchronousOC(&request, p, __func__, __LINE__);
        std::unique_ptr<Ostrel::Rpc::Response> response(p);
        std::string body = Platform::ToUtf8(BodyXml(request));
        auto requests = server.Requests();
        EXPECT_FALSE(requests.empty());
        if (!requests.empty()) {
            EXPECT_NE(requests.back().body.find(body), std::string::npos) << body;
        }
        T* typed = dynamic_cast<T*>(response.get());
        EXPECT_NE(typed, nullptr);
        if (typed)
            response.release();
        return std::unique_ptr<T>(typed);
    }

    OstrelServer::Server server;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> oc;
};

inline long Count(Ostrel::Rpc::Response& response, const std::wstring& xpath) {
    Platform::ComPtr<IXMLDOMNodeList> list;
    long n = -1;
    if (response.GetDocument()->selectNodes(xpath, list.AddressOf()) == S_OK)
        list->get_length(&n);
    return n;
}

// The attribute of the first element the XPath selects; "<none>" when there is none.
inline std::wstring Attr(Ostrel::Rpc::Response& response, const std::wstring& xpath, const wchar_t* pwszName) {
    Platform::ComPtr<IXMLDOMNode> node;
    if (response.GetDocument()->selectSingleNode(xpath, node.AddressOf()) != S_OK)
        return L"<none>";
    Platform::ComPtr<IXMLDOMElement> element;
    node.As(&element);
    std::wstring value;
    if (!element || element->getAttribute(pwszName, value) != S_OK)
        return L"<none>";
    return value;
}

}  // namespace ItemTest
