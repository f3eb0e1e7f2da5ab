#include "Ostrel/Rpc/Transport/StreamResponse.h"

#include <memory>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Xml/Sax.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

[[noreturn]] void Unreadable() {
    throw WinHttpException(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
}

// Reads an envelope up to the first element of its body and says whether that is a fault.
class FaultPeek final : public Platform::ComObject<ISAXContentHandler> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
    }
    HRESULT startDocument() override { return S_OK; }
    HRESULT endDocument() override { return S_OK; }
    HRESULT startElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view,
                         ISAXAttributes*) override {
        ++m_nDepth;
        if (m_nDepth == 2 && uri == Soap::kNsEnvelope && localName == L"Body") {
            m_bInBody = true;
        } else if (m_nDepth == 3 && m_bInBody) {
            m_bFault = uri == Soap::kNsEnvelope && localName == L"Fault";
            return E_ABORT;  // seen enough
        }
        return S_OK;
    }
    HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view) override {
        m_bInBody = m_bInBody && m_nDepth > 2;  // the body ends with its own end tag
        --m_nDepth;
        return S_OK;
    }
    HRESULT characters(std::wstring_view) override { return S_OK; }

    bool m_bFault = false;

private:
    int m_nDepth = 0;
    bool m_bInBody = false;
};

bool IsFault(IStream* pStream) {
    Platform::ComPtr<ISAXXMLReader> reader;
    Platform::ComPtr<FaultPeek> peek;
    peek.Attach(new FaultPeek());
    if (FAILED(Platform::Xml::CreateSaxReader(reader.AddressOf())))
        throw WinHttpException(ERROR_NOT_ENOUGH_MEMORY);
    reader->putContentHandler(peek.Get());
    reader->parseStream(pStream);
    LARGE_INTEGER zero{};
    if (FAILED(pStream->Seek(zero, STREAM_SEEK_SET, nullptr)))
        Unreadable();
    return peek->m_bFault;
}

}  // namespace

bool CheckForErrorAndReAuthIfReqdOC(OstrelConnection& oc, IStream* pStream, bool throwAll) {
    if (!pStream)
        Unreadable();
    STATSTG stat{};
    if (FAILED(pStream->Stat(&stat, STATFLAG_NONAME)))
        Unreadable();
    if (stat.cbSize.QuadPart > kMaxInMemoryResponse)
        return true;
    LARGE_INTEGER zero{};
    if (HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr); FAILED(hr)) {
        OSTLOG_ERROR(L"failed to seek, error code: %d", static_cast<int>(hr));
        Unreadable();
    }
    std::string text(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
    ULONG cbRead = 0;
    if (HRESULT hr = pStream->Read(text.data(), static_cast<ULONG>(text.size()), &cbRead); FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read, error code: %d", static_cast<int>(hr));
        Unreadable();
    }
    if (cbRead != text.size()) {
        OSTLOG_ERROR(L"it seems that it did not read all the data out from the stream");
        Unreadable();
    }
    std::wstring wsCode, wsMessage;
    if (oc.GetConnection()->GetServiceFaultInfo(wsCode, wsMessage))
        throw ServiceFaultException(wsCode.c_str(), wsMessage.c_str(), text.c_str());
    Platform::ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(Platform::Xml::CreateDocument(doc.AddressOf())) || doc->loadXMLBytes(text) != S_OK)
        Unreadable();
    std::unique_ptr<Response> response(Response::Manager::NewResponse(doc.Get()));
    return Connection::CheckForErrorAndReAuthIfReqd(response.get(), throwAll, oc.GetUserSession());
}

Platform::ComPtr<IStream> SendRequestForStreamOC(OstrelConnection& oc, Request* pRequest, const char* pszFunction,
                                                 int iLine) {
    for (bool bRetried = false;; bRetried = true) {
        Platform::ComPtr<IStream> stream;
        oc.GetConnection()->SendRequestForStream(pRequest, *stream.AddressOf(), pszFunction, iLine);
        if (!IsFault(stream.Get()))
            return stream;
        // A fault is small: it goes through the policy as a tree, like the answers of other calls.
        STATSTG stat{};
        if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > kMaxInMemoryResponse)
            Unreadable();
        if (CheckForErrorAndReAuthIfReqdOC(oc, stream.Get(), bRetried) && !bRetried)
            continue;
        // A fault the policy leaves to the caller is thrown as it is.
        CheckForErrorAndReAuthIfReqdOC(oc, stream.Get(), true);
        Unreadable();
    }
}

}  // namespace Ostrel::Rpc
