// Arbitrary bytes through the XML loader and the response factory: a malformed or hostile reply
// must give an error, never a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"
#include "Util/Log/Log.h"

namespace {

void Exercise(IXMLDOMDocument2* doc) {
    try {
        Ostrel::Rpc::Response* response = Ostrel::Rpc::Response::Manager::NewResponse(doc);
        response->GetChangeToken();
        if (auto* fault = dynamic_cast<Ostrel::Rpc::SoapFaultResponse*>(response)) {
            fault->ErrorCode();
            fault->ExcepText();
            try {
                Ostrel::Rpc::CheckForErrorAndReAuthIfReqd(response, false, nullptr);
            } catch (const Ostrel::Rpc::RpcException&) {
            }
        }
        Ostrel::Rpc::Response::Manager::DeleteResponse(response);
    } catch (const Ostrel::Rpc::RpcException&) {
    }
    Platform::ComPtr<IXMLDOMNodeList> all;
    if (doc->selectNodes(L"//*|//@*", all.AddressOf()) == S_OK) {
        Platform::ComPtr<IXMLDOMNode> node;
        std::wstring text;
        for (int i = 0; i < 64 && all->nextNode(node.AddressOf()) == S_OK; ++i) {
            node->get_text(text);
            node->get_xml(text);
        }
    }
    std::string xml;
    doc->get_xmlUtf8(xml);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    Platform::ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(Platform::Xml::CreateDocument(doc.AddressOf())))
        return 0;
    doc->loadXMLBytes(bytes);
    Exercise(doc.Get());

    // The same bytes as decoded text, with white space kept.
    Platform::ComPtr<IXMLDOMDocument2> wide;
    if (FAILED(Platform::Xml::CreateDocument(wide.AddressOf())))
        return 0;
    wide->put_preserveWhiteSpace(true);
    wide->loadXML(Platform::FromUtf8(bytes));
    Exercise(wide.Get());
    return 0;
}
