#include "Ostrel/Convert/Mail/IncomingBatch.h"

#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/Zip/ZipInputStream.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

namespace Ostrel::Convert {

namespace {

// An error entry's text is a sentence; a longer one is cut.
constexpr size_t kMaxErrorText = 4096;

bool Contains(const char* pszText, const char* pszPart) {
    return std::strstr(pszText, pszPart) != nullptr;
}

bool EndsWith(std::wstring_view text, std::wstring_view end) {
    return text.size() > end.size() && text.substr(text.size() - end.size()) == end;
}

// The server id an entry is named after ("12.meta", "12.eml", "12.err").
std::optional<LONG> IdOfEntry(std::wstring_view name) {
    const size_t dot = name.find(L'.');
    const std::string digits = Platform::ToUtf8(name.substr(0, dot));
    LONG lId = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), lId);
    if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size())
        return std::nullopt;
    return lId;
}

}  // namespace

IncomingBatch::IncomingBatch(IMsgStore* pStore, IMAPIFolder* pFolder, IMimeConvertSupport* pSupport,
                             std::map<LONG, std::wstring>& tagMap, Ostrel::Mapi::IdMapper* pMapper)
    : m_pStore(pStore),
      m_pFolder(pFolder),
      m_pSupport(pSupport),
      m_tagMap(tagMap),
      m_pMapper(pMapper),
      m_pNamedProps(pStore ? Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore) : nullptr) {}

IncomingBatch::~IncomingBatch() = default;

HRESULT IncomingBatch::CreateTarget(IMessage** ppMessage) {
    return m_pFolder->CreateMessage(nullptr, 0, ppMessage);
}

void IncomingBatch::DiscardTarget(IMessage* pMessage) {
    LPSPropValue pEntryId = nullptr;
    if (FAILED(HrGetOneProp(pMessage, PR_ENTRYID, &pEntryId)))
        return;
    ENTRYLIST list{1, &pEntryId->Value.bin};
    const HRESULT hr = m_pFolder->DeleteMessages(&list, 0, nullptr, 0);
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND)
        OSTLOG_ERROR(L"could not remove the message left by a failed conversion: %x", hr);
    MAPIFreeBuffer(pEntryId);
}

HRESULT IncomingBatch::ConvertMessage(const IncomingMeta& meta, std::string_view mime, IncomingBatchReport& report) {
    if (mime.size() > 0x7FFFFFFF) {
        ++report.cFailed;
        report.failedIds.push_back(meta.lId);
        OSTLOG_ERROR(L"message %d of %zu bytes is too large to convert", meta.lId, mime.size());
        return MAPI_E_TOO_BIG;
    }
    MimeToMapiConverter converter(mime.data(), static_cast<int>(mime.size()), m_pSupport, m_tagMap, m_pStore.Get(), 1,
                                  m_pNamedProps);
    return Convert(converter, meta, report);
}

HRESULT IncomingBatch::ConvertMessage(const IncomingMeta& meta, IStream* pMime, IncomingBatchReport& report) {
    MimeToMapiConverter converter(pMime, m_pSupport, m_tagMap, m_pStore.Get(), 1, m_pNamedProps);
    return Convert(converter, meta, report);
}

HRESULT IncomingBatch::Convert(MimeToMapiConverter& converter, const IncomingMeta& meta, IncomingBatchReport& report) {
    report.ullMimeBytes += converter.GetMimeText().size();
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr = CreateTarget(pMessage.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not create a message for server item %d: %x", meta.lId, hr);
        ++report.cFailed;
        report.failedIds.push_back(meta.lId);
        return hr;
    }
    if (converter.ConvertViaIConvSess(pMessage.Get(), meta.lId, meta.sTagIds, meta.sTagNames, meta.sConvId,
                                      meta.sReceived, meta.sFlags, 1)) {
        if (m_pMapper)
            m_pMapper->Put(meta.lId, pMessage.Get(), 0);
        if (converter.HasLocalWarning()) {
            OSTLOG_WARN(L"message %d converted in part: %s", meta.lId, converter.GetLocalFailureText().c_str());
            ++report.cPartial;
            return MAPI_W_PARTIAL_COMPLETION;
        }
        ++report.cConverted;
        return S_OK;
    }

    // Nothing of the failed conversion stays; the notice keeps the text instead.
    DiscardTarget(pMessage.Get());
    pMessage.Reset();
    ++report.cFailed;
    report.failedIds.push_back(meta.lId);
    const std::wstring& wsReason = converter.GetLocalFailureText();
    OSTLOG_ERROR(L"message %d could not be converted: %s", meta.lId, wsReason.c_str());
    Platform::ComPtr<IMessage> pNotice;
    const HRESULT hrNotice = WriteFailureNotice(m_pFolder.Get(), m_pStore.Get(), meta, wsReason,
                                                converter.GetFailedMIMEBody(), pNotice.AddressOf());
    if (FAILED(hrNotice))
        OSTLOG_ERROR(L"no failure notice for message %d: %x", meta.lId, hrNotice);
    else if (m_pMapper)
        m_pMapper->Put(meta.lId, pNotice.Get(), 0);
    return E_FAIL;
}

IncomingBatchReport IncomingBatch::ConvertArchive(ISequentialStream* pArchive) {
    OSTLOG_BLOCK(4, Ostrel::Util::kLogCategoryInfo);
    IncomingBatchReport report;
    std::unique_ptr<Rpc::ZipInputStream, Rpc::ZipInputStream::Releaser> pZip(
        pArchive ? Rpc::ZipInputStream::CreateZipInputStream(pArchive, nullptr, 0) : nullptr);
    if (!pZip) {
        report.wsArchiveError = L"no archive to read";
        return report;
    }
    std::optional<IncomingMeta> meta;
    try {
        for (;;) {
            Rpc::ZipEntry* pEntry = nullptr;
            try {
                pEntry = pZip->GetNextEntry();
            } catch (const ZipInputStreamImpl::Exception& e) {
                // The first header after the last entry belongs to the central directory.
                if (Contains(e.what(), "Central Directory header signature found") ||
                    Contains(e.what(), "End of central directory header signature found"))
                    break;
                Rpc::ZipEntry* pCurrent = pZip->GetCurrentEntry();
                if (!Contains(e.what(), "Error file found") || !pCurrent || !EndsWith(pCurrent->GetName(), L".err"))
                    throw;
                // The server could not deliver this item; its entry holds the reason.
                std::string sReason;
                char buffer[1024];
                for (int cb; (cb = pZip->Read(buffer, sizeof buffer)) > 0;)
                    if (sReason.size() < kMaxErrorText)
                        sReason.append(buffer,
                                       std::min<size_t>(static_cast<size_t>(cb), kMaxErrorText - sReason.size()));
                OSTLOG_WARN(L"item %s is not available: %hs", pCurrent->GetName(), sReason.c_str());
                ++report.cUnavailable;
                meta.reset();
                continue;
            }
            const std::wstring wsName = pEntry ? pEntry->GetName() : L"";
            ULONG cb = 0;
            if (pEntry && (pEntry->GetMetaData(cb) || EndsWith(wsName, L".meta"))) {
                const BYTE* pMeta = pEntry->GetMetaData(cb);
                IncomingMeta parsed;
                std::wstring wsError;
                meta.reset();
                if (ParseIncomingMeta(std::string_view(reinterpret_cast<const char*>(pMeta), pMeta ? cb : 0), parsed,
                                      wsError))
                    meta = parsed;
                else
                    OSTLOG_WARN(L"entry %s: %s", wsName.c_str(), wsError.c_str());
                continue;
            }
            // A message. Its metadata is the entry before it, for the same id; without one, the
            // entry's name still gives the id, and the message is stored as read, untagged.
            const std::optional<LONG> nameId = IdOfEntry(wsName);
            if (meta && nameId && meta->lId != *nameId) {
                OSTLOG_WARN(L"entry %s follows the metadata of item %d; metadata not used", wsName.c_str(), meta->lId);
                meta.reset();
            }
            if (!meta) {
                if (!nameId) {
                    OSTLOG_ERROR(L"entry %s has neither metadata nor an item id; skipped", wsName.c_str());
                    ++report.cFailed;
                    continue;
                }
                meta = IncomingMeta();
                meta->lId = *nameId;
            }
            if (const BYTE* pMime = pEntry ? pEntry->GetMimeData(cb) : nullptr)
                ConvertMessage(*meta, std::string_view(reinterpret_cast<const char*>(pMime), cb), report);
            else if (IStream* pStream = pEntry ? pEntry->GetMimeStream(cb) : nullptr)
                ConvertMessage(*meta, pStream, report);
            else
                ConvertMessage(*meta, std::string_view(), report);
            meta.reset();
        }
    } catch (const ZipInputStreamImpl::Exception& e) {
        report.wsArchiveError = e.GetMessage();
        OSTLOG_ERROR(L"damaged archive: %s", report.wsArchiveError.c_str());
    } catch (const std::exception& e) {
        report.wsArchiveError = Platform::FromUtf8(e.what());
        OSTLOG_ERROR(L"archive not read to its end: %s", report.wsArchiveError.c_str());
    }
    OSTLOG_INFO(4, L"archive: %u converted, %u in part, %u failed, %u unavailable", report.cConverted, report.cPartial,
                report.cFailed, report.cUnavailable);
    return report;
}

}  // namespace Ostrel::Convert
