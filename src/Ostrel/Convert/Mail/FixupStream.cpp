#include "Ostrel/Convert/Mail/FixupStream.h"

#include <cwctype>

#include "Ostrel/Convert/Mail/SpillStream.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Util/Log/Log.h"
#include "Util/Text/CodePage.h"

namespace Ostrel::Convert::Fixup {

namespace {

struct MapiBuffer {
    void* p = nullptr;
    ~MapiBuffer() { MAPIFreeBuffer(p); }
};

}  // namespace

HRESULT ReadWholeStream(IStream* pStream, std::string& sText) {
    sText.clear();
    if (!pStream)
        return E_POINTER;
    LARGE_INTEGER zero{};
    HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    STATSTG stat{};
    if (SUCCEEDED(pStream->Stat(&stat, STATFLAG_NONAME)) && stat.cbSize.QuadPart < (1ull << 31))
        sText.reserve(static_cast<size_t>(stat.cbSize.QuadPart));
    char buf[65536];
    for (;;) {
        ULONG cbRead = 0;
        hr = pStream->Read(buf, sizeof buf, &cbRead);
        if (FAILED(hr))
            return hr;
        if (cbRead == 0)
            return S_OK;
        sText.append(buf, cbRead);
    }
}

HRESULT ReadHeaderBlock(IStream* pStream, std::string& sHeaders) {
    sHeaders.clear();
    if (!pStream)
        return E_POINTER;
    LARGE_INTEGER zero{};
    HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    char buf[8192];
    size_t lineStart = 0;  // start of the first line not yet known to be a header line
    for (;;) {
        ULONG cbRead = 0;
        hr = pStream->Read(buf, sizeof buf, &cbRead);
        if (FAILED(hr))
            return hr;
        if (cbRead == 0)
            return S_OK;
        sHeaders.append(buf, cbRead);
        // The block ends with the first empty line, as SplitHeaderBlock reads it.
        for (size_t eol; (eol = sHeaders.find('\n', lineStart)) != std::string::npos; lineStart = eol + 1) {
            const size_t length = eol - lineStart;
            if (length == 0 || (length == 1 && sHeaders[lineStart] == '\r')) {
                sHeaders.resize(eol + 1);
                return S_OK;
            }
        }
    }
}

HRESULT RewriteStream(IStream* pStream, const std::string& sText) {
    if (!pStream)
        return E_POINTER;
    LARGE_INTEGER zero{};
    HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    size_t done = 0;
    while (done < sText.size()) {
        const ULONG cb = static_cast<ULONG>(std::min<size_t>(sText.size() - done, 1u << 20));
        ULONG cbWritten = 0;
        hr = pStream->Write(sText.data() + done, cb, &cbWritten);
        if (FAILED(hr))
            return hr;
        if (cbWritten != cb)
            return STG_E_MEDIUMFULL;
        done += cb;
    }
    ULARGE_INTEGER size{};
    size.QuadPart = sText.size();
    hr = pStream->SetSize(size);
    if (FAILED(hr))
        return hr;
    return pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

HRESULT RewriteOrRestore(IStream* pStream, const std::string& sNew, const std::string& sOld) {
    const HRESULT hr = RewriteStream(pStream, sNew);
    if (FAILED(hr) && pStream)
        RewriteStream(pStream, sOld);
    return hr;
}

HRESULT NewStreamWithText(const std::string& sText, IStream** ppStream) {
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    Platform::ComPtr<IStream> pStream;
    HRESULT hr = SpillStream::Create(nullptr, pStream.AddressOf());
    if (FAILED(hr))
        return hr;
    hr = RewriteStream(pStream.Get(), sText);
    if (FAILED(hr))
        return hr;
    *ppStream = pStream.Detach();
    return S_OK;
}

HeaderSplit SplitHeaderBlock(const std::string& sMime) {
    // The block ends at the first empty line (CRLF or a bare LF).
    size_t pos = 0;
    while (pos < sMime.size()) {
        size_t eol = sMime.find('\n', pos);
        if (eol == std::string::npos)
            break;
        const size_t lineLength = eol - pos;
        if (lineLength == 0 || (lineLength == 1 && sMime[pos] == '\r'))
            return {sMime.substr(0, eol + 1), sMime.substr(eol + 1)};
        pos = eol + 1;
    }
    return {sMime, std::string()};
}

std::string JoinHeaderBlock(mimepp::Message& headersOnly, const std::string& sRest) {
    headersOnly.assemble();
    return headersOnly.getString().str() + sRest;
}

HRESULT ReadRecipientRows(IMessage* pMessage, std::vector<RecipientRow>& rows, LONG lOnlyType) {
    rows.clear();
    if (!pMessage)
        return E_INVALIDARG;
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(6, cols) = {
        6, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_W, PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W, PR_SMTP_ADDRESS_W, PR_ENTRYID}};
    SPropValue typeValue{PR_RECIPIENT_TYPE, 0, {}};
    typeValue.Value.l = lOnlyType;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty.relop = RELOP_EQ;
    restriction.res.resProperty.ulPropTag = PR_RECIPIENT_TYPE;
    restriction.res.resProperty.lpProp = &typeValue;
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols),
                        lOnlyType == -1 ? nullptr : &restriction, nullptr, 65535, &pRows);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        auto text = [&](ULONG ulTag) -> std::wstring {
            const SPropValue* p = PpropFindProp(row.lpProps, row.cValues, ulTag);
            return p && p->Value.lpszW ? p->Value.lpszW : L"";
        };
        RecipientRow r;
        const SPropValue* pType = PpropFindProp(row.lpProps, row.cValues, PR_RECIPIENT_TYPE);
        r.lType = pType ? pType->Value.l : 0;
        r.wsName = text(PR_DISPLAY_NAME_W);
        r.wsAddrType = text(PR_ADDRTYPE_W);
        r.wsAddress = text(PR_SMTP_ADDRESS_W);
        if (r.wsAddress.empty() && StartsWithNoCase(r.wsAddrType, L"SMTP"))
            r.wsAddress = text(PR_EMAIL_ADDRESS_W);
        if (r.wsAddress.empty()) {
            // A one-off entry id carries the address it was made for.
            if (const SPropValue* pEid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID)) {
                std::wstring type, address;
                if (Platform::Mapi::ParseOneOffEntryId(pEid->Value.bin.cb, pEid->Value.bin.lpb, nullptr, &type,
                                                       &address) &&
                    StartsWithNoCase(type, L"SMTP"))
                    r.wsAddress = address;
            }
        }
        if (r.wsAddress.empty())
            r.wsAddress = text(PR_EMAIL_ADDRESS_W);
        rows.push_back(std::move(r));
    }
    FreeProws(pRows);
    return S_OK;
}

bool GetLongProp(IMAPIProp* pProp, ULONG ulTag, LONG& lValue) {
    MapiBuffer v;
    if (!pProp || FAILED(HrGetOneProp(pProp, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return false;
    lValue = static_cast<LPSPropValue>(v.p)->Value.l;
    return true;
}

bool GetUnicodeProp(IMAPIProp* pProp, ULONG ulTag, std::wstring& wsValue) {
    MapiBuffer v;
    if (!pProp ||
        FAILED(HrGetOneProp(pProp, CHANGE_PROP_TYPE(ulTag, PT_UNICODE), reinterpret_cast<LPSPropValue*>(&v.p))))
        return false;
    const wchar_t* psz = static_cast<LPSPropValue>(v.p)->Value.lpszW;
    wsValue = psz ? psz : L"";
    return true;
}

bool GetBinaryProp(IMAPIProp* pProp, ULONG ulTag, std::string& sValue) {
    if (!pProp)
        return false;
    MapiBuffer v;
    HRESULT hr = HrGetOneProp(pProp, ulTag, reinterpret_cast<LPSPropValue*>(&v.p));
    if (SUCCEEDED(hr)) {
        const SBinary& bin = static_cast<LPSPropValue>(v.p)->Value.bin;
        sValue.assign(reinterpret_cast<const char*>(bin.lpb), bin.cb);
        return true;
    }
    // Large values are only given as a stream.
    Platform::ComPtr<IStream> pStream;
    if (FAILED(pProp->OpenProperty(ulTag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()))))
        return false;
    return SUCCEEDED(ReadWholeStream(pStream.Get(), sValue));
}

std::wstring StoreString8(const char* pszBytes, UINT uiCodePage) {
    if (!pszBytes)
        return std::wstring();
    bool bInvalid = false;
    std::wstring text = Platform::FromUtf8(pszBytes, &bInvalid);
    if (!bInvalid)
        return text;
    text.clear();
    Ostrel::Util::AnsiiToUnicode(pszBytes, uiCodePage, text);
    return text;
}

LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags) {
    LPSPropTagArray pTags = nullptr;
    return SUCCEEDED(Platform::Mapi::AllocTagArray(tags, &pTags)) ? pTags : nullptr;
}

bool StartsWithNoCase(const std::wstring& wsText, const wchar_t* pwszPrefix) {
    size_t i = 0;
    for (; pwszPrefix[i]; ++i) {
        if (i >= wsText.size() || std::towlower(wsText[i]) != std::towlower(pwszPrefix[i]))
            return false;
    }
    return true;
}

}  // namespace Ostrel::Convert::Fixup
