#include "Ostrel/Rpc/Transport/StreamResponse.h"

#include <memory>

#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

[[noreturn]] void Unreadable() {
    throw WinHttpException(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
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

}  // namespace Ostrel::Rpc
