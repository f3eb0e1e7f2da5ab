#include "Platform/Mapi/Convert/ConverterSession.h"

#include <new>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/Charset.h"
#include "Platform/Mapi/Convert/MimeReader.h"
#include "Platform/Mapi/Convert/MimeWriter.h"

namespace Platform::Mapi {

namespace {

constexpr ULONG kReadFlags = CCSF_SMTP | CCSF_NOHEADERS | CCSF_INCLUDE_BCC | CCSF_USE_RTF | CCSF_EMBEDDED_MESSAGE;
constexpr ULONG kWriteFlags = CCSF_SMTP | CCSF_INCLUDE_BCC | CCSF_8BITHEADERS | CCSF_USE_RTF | CCSF_PLAIN_TEXT_ONLY |
                              CCSF_NO_MSGID | CCSF_EMBEDDED_MESSAGE;
// Larger MIME texts are refused rather than held in memory whole.
constexpr size_t kMaxMimeSize = size_t(1) << 30;

// The rest of the stream from its current position.
HRESULT ReadAll(IStream* pStream, std::string& out) {
    char buffer[65536];
    for (;;) {
        ULONG cbRead = 0;
        HRESULT hr = pStream->Read(buffer, sizeof buffer, &cbRead);
        if (FAILED(hr))
            return hr;
        if (cbRead == 0)
            return S_OK;
        if (out.size() + cbRead > kMaxMimeSize)
            return MAPI_E_TOO_BIG;
        out.append(buffer, cbRead);
    }
}

HRESULT WriteAll(IStream* pStream, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ULONG cb = static_cast<ULONG>(std::min<size_t>(text.size() - done, 1 << 20));
        ULONG cbWritten = 0;
        HRESULT hr = pStream->Write(text.data() + done, cb, &cbWritten);
        if (FAILED(hr))
            return hr;
        if (cbWritten == 0)
            return STG_E_MEDIUMFULL;
        done += cbWritten;
    }
    return S_OK;
}

class ConverterSessionImpl final : public ComObject<IConverterSession> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IConverterSession, IUnknown>(riid, ppv);
    }

    HRESULT SetAdrBook(LPADRBOOK pab) override {
        m_pAdrBook = ComPtr<IAddrBook>(pab);
        return S_OK;
    }

    HRESULT SetEncoding(ENCODINGTYPE et) override {
        if (et != IET_BASE64 && et != IET_UUENCODE && et != IET_QP && et != IET_7BIT && et != IET_8BIT)
            return E_INVALIDARG;
        m_encoding = et;
        return S_OK;
    }

    HRESULT SetSaveFormat(MIMESAVETYPE mst) override {
        if (mst != SAVE_RFC822 && mst != SAVE_RFC1521)
            return E_INVALIDARG;
        m_saveFormat = mst;
        return S_OK;
    }

    HRESULT SetTextWrapping(BOOL fWrapText, ULONG ulWrapWidth) override {
        // Narrower lines would leave little more than single words; RFC 5322 caps lines at 998.
        if (fWrapText && (ulWrapWidth < 10 || ulWrapWidth > 998))
            return E_INVALIDARG;
        m_options.cWrapWidth = fWrapText ? ulWrapWidth : 0;
        return S_OK;
    }

    HRESULT SetCharset(BOOL fApply, LPCSTR pszCharset, CSETAPPLYTYPE csetapplytype) override {
        if (!fApply) {
            m_options.sCharset.clear();
            m_options.bCharsetForAll = false;
            return S_OK;
        }
        if (!pszCharset || (csetapplytype != CSET_APPLY_UNTAGGED && csetapplytype != CSET_APPLY_ALL &&
                            csetapplytype != CSET_APPLY_TAG_ALL))
            return E_INVALIDARG;
        // Only charsets that text can be written in: the name goes into every text part's header.
        std::string bytes;
        if (!Convert::EncodeText(L"a", pszCharset, bytes) || Convert::CodePageOfCharset(pszCharset) == 0)
            return MAPI_E_NOT_FOUND;
        m_options.sCharset = pszCharset;
        m_options.bCharsetForAll = csetapplytype != CSET_APPLY_UNTAGGED;
        return S_OK;
    }

    HRESULT MIMEToMAPI(LPSTREAM pstm, LPMESSAGE pmsg, LPCSTR, ULONG ulFlags) override {
        if (!pstm || !pmsg)
            return E_INVALIDARG;
        if (ulFlags & ~kReadFlags)
            return MAPI_E_UNKNOWN_FLAGS;
        try {
            std::string text;
            HRESULT hr = ReadAll(pstm, text);
            if (FAILED(hr))
                return hr;
            return Convert::MimeReader(m_pAdrBook.Get(), ulFlags).Convert(std::move(text), pmsg);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        } catch (...) {
            return MAPI_E_CALL_FAILED;
        }
    }

    HRESULT MAPIToMIMEStm(LPMESSAGE pmsg, LPSTREAM pstm, ULONG ulFlags) override {
        if (!pstm || !pmsg)
            return E_INVALIDARG;
        if (ulFlags & CCSF_USE_TNEF)
            return MAPI_E_NO_SUPPORT;
        if (ulFlags & ~kWriteFlags)
            return MAPI_E_UNKNOWN_FLAGS;
        try {
            std::string text;
            Convert::MimeWriter writer(ulFlags, m_encoding, m_saveFormat == SAVE_RFC822, m_options);
            HRESULT hr = writer.Write(pmsg, text);
            if (FAILED(hr))
                return hr;
            return WriteAll(pstm, text);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        } catch (...) {
            return MAPI_E_CALL_FAILED;
        }
    }

private:
    ComPtr<IAddrBook> m_pAdrBook;
    ENCODINGTYPE m_encoding = IET_UNKNOWN;  // none set: chosen per part
    MIMESAVETYPE m_saveFormat = SAVE_RFC1521;
    Convert::TextOptions m_options;
};

}  // namespace

HRESULT CreateConverterSession(IConverterSession** ppSession) {
    if (!ppSession)
        return E_INVALIDARG;
    *ppSession = new (std::nothrow) ConverterSessionImpl();
    return *ppSession ? S_OK : E_OUTOFMEMORY;
}

}  // namespace Platform::Mapi
