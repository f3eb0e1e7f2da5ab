#include <memory>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mime/Address.h"
#include "Platform/Mime/Field.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;

namespace {

// The mailbox of one recipient: name as UTF-8, address split at its last at-sign.
mimepp::Mailbox* NewMailbox(const RecipientRow& row) {
    auto* pMailbox = new mimepp::Mailbox();
    const std::string address = Platform::ToUtf8(row.wsAddress);
    const size_t at = address.rfind('@');
    pMailbox->setLocalPart(mimepp::String(address.substr(0, at)));
    if (at != std::string::npos)
        pMailbox->setDomain(mimepp::String(address.substr(at + 1)));
    if (!row.wsName.empty() && row.wsName != row.wsAddress)
        pMailbox->setDisplayNameUtf8(mimepp::String(Platform::ToUtf8(row.wsName)));
    return pMailbox;
}

int FieldIndex(const mimepp::Headers& headers, const char* pszName) {
    for (int i = 0; i < headers.numFields(); ++i) {
        if (mimepp::Strcasecmp(headers.fieldAt(i).fieldName(), pszName) == 0)
            return i;
    }
    return -1;
}

}  // namespace

HRESULT WorkaroundBCC(IMessage* pMessage, IStream* pStream) {
    int iMajor = 0;
    Ostrel::Util::GetOutlookVersion(&iMajor, nullptr);
    if (iMajor >= 12)
        return S_OK;
    if (!pMessage || !pStream)
        return E_INVALIDARG;
    std::vector<RecipientRow> bcc;
    HRESULT hr = ReadRecipientRows(pMessage, bcc, MAPI_BCC);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read the Bcc recipients: %x", hr);
        return hr;
    }
    if (bcc.empty())
        return S_OK;
    std::string mime;
    hr = ReadWholeStream(pStream, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read from istream: %x", hr);
        return hr;
    }
    const HeaderSplit split = SplitHeaderBlock(mime);
    mimepp::Message headersOnly{mimepp::String(split.sHeaders)};
    headersOnly.parse();
    mimepp::Headers& headers = headersOnly.headers();
    if (headers.hasField("Bcc"))
        return S_OK;

    auto field = std::unique_ptr<mimepp::Field>(mimepp::Field::newField("Bcc", ""));
    auto& list = static_cast<mimepp::AddressList&>(field->fieldBody());
    for (const RecipientRow& row : bcc)
        list.addAddress(NewMailbox(row));
    int after = FieldIndex(headers, "To");
    if (after < 0)
        after = FieldIndex(headers, "Cc");
    if (after < 0)
        after = FieldIndex(headers, "From");
    if (after < 0) {
        headers.addField(field.release());
    } else {
        headers.insertFieldAt(after + 1, field.release());
    }
    hr = RewriteOrRestore(pStream, JoinHeaderBlock(headersOnly, split.sRest), mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to write into istream: %x", hr);
        return hr;
    }
    OSTLOG_INFO(16, L"MIME updated.");
    return S_OK;
}
