#include "Ostrel/Convert/Mail/MapiToMimeConverter.h"

#include "Util/Log/Log.h"

MapiToMimeConverter::MapiToMimeConverter(mimepp::Message& target, IMimeConvertSupport* pSupport, int iDepth)
    : MapiMessageWrapper(pSupport, iDepth), m_target(target) {}

HRESULT MapiToMimeConverter::Convert(IMessage* pMessage) {
    HRESULT hr = Initialize(pMessage);
    if (FAILED(hr))
        return hr;
    // A failure of the writer is not success: the caller would send a message missing parts.
    hr = ToMime(m_target, 0);
    if (FAILED(hr))
        OSTLOG_ERROR(L"MapiToMimeConverter::ToMime failed: %x", hr);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT MapiToMimeText(IMessage* pMessage, IMimeConvertSupport* pSupport, std::string& sMime) {
    mimepp::Message message;
    {
        // The message's properties go before the text is put together, which needs as much again.
        MapiToMimeConverter converter(message, pSupport);
        const HRESULT hr = converter.Convert(pMessage);
        if (FAILED(hr))
            return hr;
    }
    message.assemble();
    sMime = std::move(message.takeString().str());
    return S_OK;
}
