// The notice that stands in the folder for a server message that could not be converted. It keeps
// the message's MIME text as an attachment, so nothing is lost, and carries the item's server id,
// conversation and date, so that the folder and the mapper treat it as that item.
#include <charconv>
#include <cwchar>

#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mime/Mime.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Convert {

namespace {

constexpr ULONG kWriteChunk = 65536;

// The message's own subject, when its header block can be read.
std::wstring OriginalSubject(std::string_view mime) {
    size_t end = mime.find("\r\n\r\n");
    if (end == std::string_view::npos)
        end = mime.find("\n\n");
    const std::string_view header = mime.substr(0, std::min(end, std::min<size_t>(mime.size(), 65536)));
    try {
        mimepp::Message message{mimepp::String(std::string(header) + "\r\n\r\n")};
        message.parse();
        if (!message.headers().hasField("Subject"))
            return {};
        const mimepp::String utf8 = message.headers().subject().textUtf8();
        return Platform::FromUtf8(std::string_view(utf8.data(), utf8.size()));
    } catch (const std::exception&) {
        return {};
    }
}

HRESULT AttachMime(IMessage* pNotice, LONG lId, std::string_view mime) {
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pNotice->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    std::wstring wsName = std::to_wstring(lId) + L".eml";
    SPropValue values[4] = {};
    values[0].ulPropTag = PR_ATTACH_METHOD;
    values[0].Value.l = ATTACH_BY_VALUE;
    values[1].ulPropTag = PR_ATTACH_LONG_FILENAME_W;
    values[1].Value.lpszW = wsName.data();
    values[2].ulPropTag = PR_DISPLAY_NAME_W;
    values[2].Value.lpszW = wsName.data();
    values[3].ulPropTag = PR_ATTACH_MIME_TAG_W;
    values[3].Value.lpszW = const_cast<wchar_t*>(L"message/rfc822");
    if (FAILED(hr = pAttach->SetProps(4, values, nullptr)))
        return hr;
    Platform::ComPtr<IUnknown> pUnknown;
    if (FAILED(hr = pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                          pUnknown.AddressOf())))
        return hr;
    IStream* pData = static_cast<IStream*>(pUnknown.Get());
    for (size_t pos = 0; pos < mime.size();) {
        const ULONG cb = static_cast<ULONG>(std::min<size_t>(kWriteChunk, mime.size() - pos));
        ULONG cbWritten = 0;
        if (FAILED(hr = pData->Write(mime.data() + pos, cb, &cbWritten)))
            return hr;
        if (cbWritten != cb)
            return STG_E_MEDIUMFULL;
        pos += cb;
    }
    if (FAILED(hr = pData->Commit(STGC_DEFAULT)))
        return hr;
    return pAttach->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace

HRESULT WriteFailureNotice(IMAPIFolder* pFolder, IMsgStore* pStore, const IncomingMeta& meta,
                           const std::wstring& wsReason, std::string_view mime, IMessage** ppNotice) {
    if (!pFolder || !ppNotice)
        return E_INVALIDARG;
    *ppNotice = nullptr;
    Platform::ComPtr<IMessage> pNotice;
    HRESULT hr = pFolder->CreateMessage(nullptr, 0, pNotice.AddressOf());
    if (FAILED(hr))
        return hr;

    const std::wstring wsOriginal = OriginalSubject(mime);
    std::wstring wsSubject = L"Message could not be converted";
    if (!wsOriginal.empty())
        wsSubject += L": " + wsOriginal;
    std::wstring wsBody = L"The server's message " + std::to_wstring(meta.lId) +
                          L" could not be stored here. The original message is attached.\r\n\r\nReason: " + wsReason +
                          L"\r\n";
    std::vector<SPropValue> values;
    auto add = [&values](ULONG ulTag) -> SPropValue& {
        values.push_back(SPropValue{ulTag, 0, {}});
        return values.back();
    };
    add(PR_MESSAGE_CLASS_W).Value.lpszW = const_cast<wchar_t*>(kFailureNoticeClass);
    add(PR_SUBJECT_W).Value.lpszW = wsSubject.data();
    add(PR_BODY_W).Value.lpszW = wsBody.data();
    add(PR_MESSAGE_FLAGS).Value.l = meta.sFlags.find('u') == std::string::npos ? static_cast<LONG>(MSGFLAG_READ) : 0;
    int64_t llMillis = 0;
    FILETIME ft{};
    const auto parsed = std::from_chars(meta.sReceived.data(), meta.sReceived.data() + meta.sReceived.size(), llMillis);
    const bool bTime =
        !meta.sReceived.empty() && parsed.ec == std::errc() && Ostrel::Util::UnixTimeToFileTime(llMillis / 1000, &ft);
    if (bTime)
        add(PR_MESSAGE_DELIVERY_TIME).Value.ft = ft;
    if (Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore)) {
        add(pNamed->GetPropTag(Ostrel::Mapi::NamedProps::OSTREL_ID, PT_LONG)).Value.l = meta.lId;
        LONG lConvId = 0;
        const auto conv = std::from_chars(meta.sConvId.data(), meta.sConvId.data() + meta.sConvId.size(), lConvId);
        if (!meta.sConvId.empty() && conv.ec == std::errc())
            add(pNamed->GetPropTag(Ostrel::Mapi::NamedProps::CONV_ID, PT_LONG)).Value.l = lConvId;
        if (bTime)
            add(pNamed->GetPropTag(Ostrel::Mapi::NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME)).Value.ft = ft;
    }
    if (FAILED(hr = pNotice->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr)))
        return hr;
    if (FAILED(hr = AttachMime(pNotice.Get(), meta.lId, mime)))
        return hr;
    if (FAILED(hr = pNotice->SaveChanges(KEEP_OPEN_READWRITE)))
        return hr;
    *ppNotice = pNotice.Detach();
    return S_OK;
}

}  // namespace Ostrel::Convert
