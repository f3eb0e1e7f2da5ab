// Parsing a large SyncResponse-like reply through the DOM (loadXML, the response factory, selection
// of every `m` element) against a bare libxml2 parse and XPath selection of the same bytes.
// Prints the ratio of the two CPU times at the end (CPU time, because the runs are single-threaded
// and wall time on a shared machine mostly measures the neighbours); the goal is at most 1.3.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cstdio>
#include <string>

#include "Ostrel/Rpc/Soap/Response.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"
#include "Support/RatioReporter.h"

namespace {

// About 20 MB: 100,000 `m` elements with attributes in a few folders.
const std::string& Reply() {
    static const std::string reply = [] {
        std::string xml =
            "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
            "<context xmlns=\"urn:ostrel\"><change token=\"98765\"/></context></soap:Header><soap:Body>"
            "<SyncResponse xmlns=\"urn:ostrelMail\" token=\"98765\" md=\"1700000000\">";
        char line[512];
        for (int folder = 0; folder < 10; ++folder) {
            snprintf(line, sizeof line, "<folder id=\"%d\" l=\"1\" name=\"Folder %d\" n=\"10000\" s=\"123456789\">",
                     folder + 2, folder);
            xml += line;
            for (int i = 0; i < 10000; ++i) {
                int id = folder * 10000 + i + 1000;
                snprintf(line, sizeof line,
                         "<m id=\"%d\" l=\"%d\" f=\"su\" t=\"12,34\" tn=\"Important,Work\" d=\"1700000%06d000\" "
                         "s=\"%d\" md=\"1700000%03d\" ms=\"%d\" rev=\"%d\" cid=\"-%d\" "
                         "su=\"Weekly status of project %d\" fr=\"Find the figures attached\"/>",
                         id, folder + 2, i, 1000 + i * 7, i % 1000, id * 3, id * 3 + 1, id, i % 97);
                xml += line;
            }
            xml += "</folder>";
        }
        xml += "</SyncResponse></soap:Body></soap:Envelope>";
        return xml;
    }();
    return reply;
}

void BareLibxml2(benchmark::State& state) {
    const std::string& reply = Reply();
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(reply.data(), static_cast<int>(reply.size()), nullptr, nullptr, XML_PARSE_NONET);
        xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
        xmlXPathRegisterNs(ctx, BAD_CAST "mail", BAD_CAST "urn:ostrelMail");
        xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST "//mail:m", ctx);
        benchmark::DoNotOptimize(result->nodesetval->nodeNr);
        xmlXPathFreeObject(result);
        xmlXPathFreeContext(ctx);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

void DomAndFactory(benchmark::State& state) {
    const std::string& reply = Reply();
    for (auto _ : state) {
        Platform::ComPtr<IXMLDOMDocument2> doc;
        Platform::Xml::CreateDocument(doc.AddressOf());
        doc->loadXMLBytes(reply);
        Ostrel::Rpc::Response* response = Ostrel::Rpc::Response::Manager::NewResponse(doc.Get());
        Platform::ComPtr<IXMLDOMNodeList> nodes;
        response->GetDocument()->selectNodes(L"//mail:m", nodes.AddressOf());
        long length = 0;
        nodes->get_length(&length);
        benchmark::DoNotOptimize(length);
        nodes = nullptr;
        Ostrel::Rpc::Response::Manager::DeleteResponse(response);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

// The same through the wide loadXML, as a caller holding decoded text would load it.
void DomFromWideText(benchmark::State& state) {
    static const std::wstring wide = Platform::FromUtf8(Reply());
    for (auto _ : state) {
        Platform::ComPtr<IXMLDOMDocument2> doc;
        Platform::Xml::CreateDocument(doc.AddressOf());
        doc->loadXML(wide);
        Ostrel::Rpc::Response* response = Ostrel::Rpc::Response::Manager::NewResponse(doc.Get());
        Platform::ComPtr<IXMLDOMNodeList> nodes;
        response->GetDocument()->selectNodes(L"//mail:m", nodes.AddressOf());
        long length = 0;
        nodes->get_length(&length);
        benchmark::DoNotOptimize(length);
        nodes = nullptr;
        Ostrel::Rpc::Response::Manager::DeleteResponse(response);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Reply().size()));
}

BENCHMARK(BareLibxml2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DomAndFactory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DomFromWideText)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Console output plus the ratio of the DOM run to the bare run.
class XmlRatioReporter : public BenchSupport::RatioReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double bare = Cpu("BareLibxml2");
        if (bare > 0 && Cpu("DomAndFactory") > 0)
            printf("ratio DomAndFactory / BareLibxml2 = %.3f (goal <= 1.3)\n", Cpu("DomAndFactory") / bare);
        if (bare > 0 && Cpu("DomFromWideText") > 0)
            printf("ratio DomFromWideText / BareLibxml2 = %.3f (includes the text conversion)\n",
                   Cpu("DomFromWideText") / bare);
        printf("reply size: %zu bytes\n", Reply().size());
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    XmlRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
