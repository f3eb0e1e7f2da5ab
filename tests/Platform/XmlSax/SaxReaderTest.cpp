#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Xml/Sax.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using Platform::ComPtr;

namespace {

// Writes every event as one line, attributes as uri|local|qname=value.
class Recorder final : public Platform::ComObject<ISAXContentHandler> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
    }
    HRESULT startDocument() override { return Note(L"start-doc"); }
    HRESULT endDocument() override { return Note(L"end-doc"); }
    HRESULT startElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view qName,
                         ISAXAttributes* pAttributes) override {
        FlushText();
        std::wstring line = L"<" + std::wstring(qName) + L" {" + std::wstring(uri) + L"}" + std::wstring(localName);
        int n = 0;
        pAttributes->getLength(&n);
        for (int i = 0; i < n; ++i) {
            std::wstring_view u, l, q, v;
            pAttributes->getURI(i, u);
            pAttributes->getLocalName(i, l);
            pAttributes->getQName(i, q);
            pAttributes->getValue(i, v);
            line += L" " + std::wstring(u) + L"|" + std::wstring(l) + L"|" + std::wstring(q) + L"=" + std::wstring(v);
        }
        return Note(line);
    }
    HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view qName) override {
        FlushText();
        return Note(L"</" + std::wstring(qName));
    }
    HRESULT characters(std::wstring_view chars) override {
        ++m_nCharacterCalls;
        m_wsText += chars;
        return S_OK;
    }

    std::vector<std::wstring> events;
    HRESULT hrFailOn = S_OK;
    std::wstring failOn;  // an event prefix that makes the handler fail
    int m_nCharacterCalls = 0;

private:
    void FlushText() {
        if (!m_wsText.empty())
            events.push_back(L"#" + m_wsText);
        m_wsText.clear();
    }
    HRESULT Note(std::wstring line) {
        FlushText();
        bool bFail = !failOn.empty() && line.starts_with(failOn);
        events.push_back(std::move(line));
        return bFail ? hrFailOn : S_OK;
    }
    std::wstring m_wsText;
};

struct Parsed {
    HRESULT hr;
    XmlParseError error;
    std::vector<std::wstring> events;
};

Parsed Parse(std::string_view bytes, bool bStream = false) {
    ComPtr<ISAXXMLReader> reader;
    EXPECT_EQ(Platform::Xml::CreateSaxReader(reader.AddressOf()), S_OK);
    ComPtr<Recorder> recorder;
    recorder.Attach(new Recorder());
    reader->putContentHandler(recorder.Get());
    Parsed out;
    if (bStream) {
        auto stream = Platform::MemStream::Create(bytes);
        out.hr = reader->parseStream(stream.Get());
    } else {
        out.hr = reader->parse(bytes);
    }
    reader->getParseError(out.error);
    out.events = recorder->events;
    return out;
}

// Refused input: a failure with a reason, and never the end of the document.
XmlParseError ExpectRefused(std::string_view bytes) {
    Parsed p = Parse(bytes);
    EXPECT_TRUE(FAILED(p.hr)) << std::string(bytes.substr(0, 60));
    EXPECT_EQ(p.error.errorCode, p.hr);
    EXPECT_FALSE(p.error.reason.empty());
    EXPECT_TRUE(p.events.empty() || p.events.back() != L"end-doc");
    return p.error;
}

// Reads only a fixed number of bytes, then fails the way a broken temporary file would.
class BrokenStream final : public Platform::ComObject<IStream> {
public:
    explicit BrokenStream(std::string bytes) : m_bytes(std::move(bytes)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IStream, IUnknown>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (m_offset >= m_bytes.size())
            return STG_E_READFAULT;
        ULONG n = std::min<ULONG>(cb, static_cast<ULONG>(m_bytes.size() - m_offset));
        std::copy_n(m_bytes.data() + m_offset, n, static_cast<char*>(pv));
        m_offset += n;
        *pcbRead = n;
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::string m_bytes;
    size_t m_offset = 0;
};

}  // namespace

TEST(SaxReader, ReportsElementsNamespacesAttributesAndTextInOrder) {
    Parsed p = Parse(
        "<?xml version='1.0'?><r xmlns='urn:d' xmlns:m='urn:m'><m:cn id='7' m:l='2' x='a&amp;b &lt; &#38;&#x1F600;'>"
        "t&amp;u<![CDATA[<raw>]]><e/></m:cn><!-- c --><?pi x?></r>");
    ASSERT_EQ(p.hr, S_OK);
    std::vector<std::wstring> expected = {
        L"start-doc", L"<r {urn:d}r", L"<m:cn {urn:m}cn |id|id=7 urn:m|l|m:l=2 |x|x=a&b < &\U0001F600",
        L"#t&u<raw>", L"<e {urn:d}e", L"</e",
        L"</m:cn",    L"</r",         L"end-doc"};
    EXPECT_EQ(p.events, expected);
    EXPECT_EQ(p.error.errorCode, S_OK);
}

TEST(SaxReader, AttributeLookUpsByNameAndIndex) {
    struct Probe final : Platform::ComObject<ISAXContentHandler> {
        HRESULT QueryInterface(REFIID riid, void** ppv) override {
            return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
        }
        HRESULT startDocument() override { return S_OK; }
        HRESULT endDocument() override { return S_OK; }
        HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view) override { return S_OK; }
        HRESULT characters(std::wstring_view) override { return S_OK; }
        HRESULT startElement(std::wstring_view, std::wstring_view localName, std::wstring_view,
                             ISAXAttributes* a) override {
            if (localName != L"e")
                return S_OK;
            std::wstring_view v;
            int i = -2;
            EXPECT_EQ(a->getIndexFromName(L"urn:p", L"k", &i), S_OK);
            EXPECT_EQ(i, 1);
            EXPECT_EQ(a->getValueFromName(L"", L"k", v), S_OK);
            EXPECT_EQ(v, L"plain");
            EXPECT_EQ(a->getValueFromQName(L"p:k", v), S_OK);
            EXPECT_EQ(v, L"prefixed");
            EXPECT_EQ(a->getIndexFromQName(L"k", &i), S_OK);
            EXPECT_EQ(i, 0);
            EXPECT_EQ(a->getIndexFromQName(L"missing", &i), E_INVALIDARG);
            EXPECT_EQ(i, -1);
            EXPECT_EQ(a->getValueFromName(L"urn:other", L"k", v), E_INVALIDARG);
            EXPECT_EQ(a->getValue(2, v), E_INVALIDARG);
            EXPECT_EQ(a->getLocalName(-1, v), E_INVALIDARG);
            EXPECT_EQ(a->getLength(nullptr), E_POINTER);
            ++seen;
            return S_OK;
        }
        int seen = 0;
    };
    ComPtr<ISAXXMLReader> reader;
    ASSERT_EQ(Platform::Xml::CreateSaxReader(reader.AddressOf()), S_OK);
    ComPtr<Probe> probe;
    probe.Attach(new Probe());
    reader->putContentHandler(probe.Get());
    ASSERT_EQ(reader->parse("<r xmlns:p='urn:p'><e k='plain' p:k='prefixed'/></r>"), S_OK);
    EXPECT_EQ(probe->seen, 1);
}

TEST(SaxReader, UnsafeOrMalformedInputIsRefusedWithAReason) {
    std::string laughs = "<?xml version='1.0'?><!DOCTYPE l [<!ENTITY a 'aaaaaaaaaa'>";
    for (char c = 'b'; c <= 'k'; ++c)
        laughs += std::string("<!ENTITY ") + c + " '" + std::string(10, '&') + "'>";
    laughs += "]><l>&k;</l>";
    EXPECT_NE(ExpectRefused(laughs).reason.find(L"document type"), std::wstring::npos);
    ExpectRefused("<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/hostname'>]><r>&x;</r>");
    ExpectRefused("<!DOCTYPE r PUBLIC '-//x//y' 'http://127.0.0.1:9/x.dtd'><r/>");

    EXPECT_EQ(ExpectRefused("<a>\n<b></a>").line, 2);
    ExpectRefused("");
    ExpectRefused("   ");
    ExpectRefused("<a>&undefined;</a>");
    ExpectRefused("<a x='&undefined;'/>");
    ExpectRefused("<a></a><b/>");
    ExpectRefused("<a xmlns:p='urn:p'><q:b/></a>");
    ExpectRefused(std::string("<a>\0</a>", 8));
    ExpectRefused("<a b='1' b='2'/>");
    ExpectRefused("<a><b>");  // cut short

    std::string deep;
    for (int i = 0; i < Platform::Xml::kMaxSaxDepth + 1; ++i)
        deep += "<d>";
    EXPECT_NE(ExpectRefused(deep).reason.find(L"nested"), std::wstring::npos);
    std::string ok;
    for (int i = 0; i < Platform::Xml::kMaxSaxDepth; ++i)
        ok = "<d>" + ok + "</d>";
    EXPECT_EQ(Parse(ok).hr, S_OK);
}

TEST(SaxReader, AHandlerFailureStopsTheParseAndIsReturned) {
    ComPtr<ISAXXMLReader> reader;
    ASSERT_EQ(Platform::Xml::CreateSaxReader(reader.AddressOf()), S_OK);
    EXPECT_EQ(reader->parse("<a/>"), E_UNEXPECTED);  // no handler yet

    ComPtr<Recorder> recorder;
    recorder.Attach(new Recorder());
    recorder->failOn = L"<b";
    recorder->hrFailOn = E_ABORT;
    reader->putContentHandler(recorder.Get());
    EXPECT_EQ(reader->parse("<a><b/><c/></a>"), E_ABORT);
    std::vector<std::wstring> expected = {L"start-doc", L"<a {}a", L"<b {}b"};
    EXPECT_EQ(recorder->events, expected);
    XmlParseError error;
    reader->getParseError(error);
    EXPECT_EQ(error.errorCode, E_ABORT);

    // The same reader parses again afterwards, with a clean error.
    recorder->failOn.clear();
    recorder->events.clear();
    EXPECT_EQ(reader->parse("<a/>"), S_OK);
    reader->getParseError(error);
    EXPECT_EQ(error.errorCode, S_OK);
    EXPECT_EQ(recorder->events.back(), L"end-doc");
}

TEST(SaxReader, ReadsLargeInputInPiecesWhateverTheEncoding) {
    // Multi-byte characters land on every possible position of the piece boundaries.
    std::string body;
    std::wstring expectedText;
    for (int i = 0; i < 60000; ++i) {
        body += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80x";
        expectedText += L"\u00E9\u20AC\U0001F600x";
    }
    std::string doc = "<r a='" + body + "'>" + body + "</r>";
    for (bool bStream : {false, true}) {
        Parsed p = Parse(doc, bStream);
        ASSERT_EQ(p.hr, S_OK);
        ASSERT_EQ(p.events.size(), 5u);
        EXPECT_EQ(p.events[1], L"<r {}r |a|a=" + expectedText);
        EXPECT_EQ(p.events[2], L"#" + expectedText);
    }

    // UTF-16 with a byte-order mark, and a declared 8-bit charset.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<r v='x'>ok</r>"))
        utf16 += std::string{c, '\0'};
    Parsed p16 = Parse(utf16, true);
    ASSERT_EQ(p16.hr, S_OK);
    EXPECT_EQ(p16.events[1], L"<r {}r |v|v=x");
    Parsed latin = Parse("<?xml version='1.0' encoding='ISO-8859-1'?><r>caf\xE9</r>");
    ASSERT_EQ(latin.hr, S_OK);
    EXPECT_EQ(latin.events[2], L"#caf\u00E9");
}

TEST(SaxReader, AStreamThatFailsMidwayEndsTheParseWithItsError) {
    ComPtr<ISAXXMLReader> reader;
    ASSERT_EQ(Platform::Xml::CreateSaxReader(reader.AddressOf()), S_OK);
    ComPtr<Recorder> recorder;
    recorder.Attach(new Recorder());
    reader->putContentHandler(recorder.Get());
    ComPtr<BrokenStream> stream;
    stream.Attach(new BrokenStream("<r><a/><b>"));
    EXPECT_EQ(reader->parseStream(stream.Get()), STG_E_READFAULT);
    EXPECT_NE(recorder->events.back(), L"end-doc");
    EXPECT_EQ(reader->parseStream(nullptr), E_POINTER);
}
