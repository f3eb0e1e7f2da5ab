#include <cwctype>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;

namespace {

// Names of attachments that receivers mishandle when they arrive quoted-printable.
constexpr const char* kSpecialExtensions[] = {".PDF"};

bool IsSpecialName(std::string name) {
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* pszExtension : kSpecialExtensions) {
        if (name.find(pszExtension) != std::string::npos)
            return true;
    }
    return false;
}

bool HasSpecialAttachment(IMessage* pMessage) {
    Platform::ComPtr<IMAPITable> pTable;
    if (FAILED(pMessage->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf())))
        return false;
    // The short name alone would miss "report.pdf.txt", whose 8.3 form ends in TXT.
    SizedSPropTagArray(3, cols) = {3, {PR_ATTACH_FILENAME_W, PR_ATTACH_LONG_FILENAME_W, PR_ATTACH_NUM}};
    LPSRowSet pRows = nullptr;
    if (FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
        return false;
    bool bSpecial = false;
    for (ULONG i = 0; i < pRows->cRows && !bSpecial; ++i) {
        for (ULONG j = 0; j < pRows->aRow[i].cValues; ++j) {
            const SPropValue& v = pRows->aRow[i].lpProps[j];
            if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW) {
                std::string name;
                for (const wchar_t* p = v.Value.lpszW; *p; ++p)
                    name += *p < 128 ? static_cast<char>(*p) : '?';
                bSpecial = bSpecial || IsSpecialName(name);
            }
        }
    }
    FreeProws(pRows);
    return bSpecial;
}

// Re-encodes the special attachments among the entity's parts; the number changed.
int FixParts(mimepp::Entity& entity, int& nParts) {
    int changed = 0;
    mimepp::Body& body = entity.body();
    if (body.message())
        changed += FixParts(*body.message(), nParts);
    for (int i = 0; i < body.numBodyParts(); ++i) {
        ++nParts;
        mimepp::BodyPart& part = body.bodyPartAt(i);
        changed += FixParts(part, nParts);
        mimepp::Headers& headers = part.headers();
        if (!headers.hasField("Content-Disposition") ||
            headers.contentDisposition().asEnum() != mimepp::DispositionType::ATTACHMENT)
            continue;
        mimepp::String name = headers.contentDisposition().filename();
        if (name.empty() && headers.hasField("Content-Type"))
            name = headers.contentType().name();
        if (!IsSpecialName(name.str()) || !headers.hasField("Content-Transfer-Encoding") ||
            headers.contentTransferEncoding().asEnum() != mimepp::TransferEncodingType::QUOTED_PRINTABLE)
            continue;
        OSTLOG_INFO(16, "Found quoted printable encoded Attachment file name %hs\n", name.c_str());
        mimepp::String decoded;
        mimepp::QuotedPrintableDecoder().decode(part.body().getString(), decoded);
        mimepp::String encoded;
        mimepp::Base64Encoder().encode(decoded, encoded);
        part.body().setString(encoded);
        headers.contentTransferEncoding().fromEnum(mimepp::TransferEncodingType::BASE64);
        ++changed;
    }
    return changed;
}

}  // namespace

HRESULT FixMimeForSpecialAttachments(IMessage* pMessage, IStream** ppStream, unsigned int& size) {
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream || !*ppStream)
        return E_POINTER;
    if (!HasSpecialAttachment(pMessage)) {
        OSTLOG_INFO(16, L"no special handling -- returning");
        return S_OK;
    }
    if (size > Ostrel::Mapi::GetMaxMimeBufferSize()) {
        OSTLOG_INFO(16, L"Message is too large to process -- returning");
        return S_OK;
    }
    std::string mime;
    HRESULT hr = ReadWholeStream(*ppStream, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read from istream: %x", hr);
        return hr;
    }
    if (mime.size() > Ostrel::Mapi::GetMaxMimeBufferSize()) {
        OSTLOG_INFO(16, L"Message is too large to process -- returning");
        return S_OK;
    }
    mimepp::Message message{mimepp::String(mime)};
    message.parse();
    int nParts = 0;
    const int changed = FixParts(message, nParts);
    OSTLOG_INFO(16, L"FixMimeForSpecialAttachments: number of parts %d", nParts);
    if (!changed) {
        OSTLOG_INFO(16, L"not reassembling -- returning");
        return S_OK;
    }
    message.assemble();
    const std::string& updated = message.getString().str();
    hr = RewriteOrRestore(*ppStream, updated, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to write into istream: %x", hr);
        return hr;
    }
    size = static_cast<unsigned int>(updated.size());
    OSTLOG_INFO(16, L"MIME updated. Returning %x", hr);
    return hr;
}
