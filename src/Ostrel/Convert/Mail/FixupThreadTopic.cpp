#include <memory>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mime/Field.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;

HRESULT SetThreadTopic(IMessage* pMessage, IStream** ppStream, unsigned int& size) {
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream || !*ppStream)
        return E_POINTER;
    // The header block decides; the rest is read only when the header goes in.
    std::string headerBlock;
    HRESULT hr = ReadHeaderBlock(*ppStream, headerBlock);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read from istream: %x", hr);
        return hr;
    }
    mimepp::Message headersOnly{mimepp::String(headerBlock)};
    headersOnly.parse();
    mimepp::Headers& headers = headersOnly.headers();
    int subject = -1;
    for (int i = 0; i < headers.numFields() && subject < 0; ++i) {
        if (mimepp::Strcasecmp(headers.fieldAt(i).fieldName(), "Subject") == 0)
            subject = i;
    }
    if (subject < 0) {
        OSTLOG_INFO(16, L"Failed to find Subject in MIME.");
        return S_OK;
    }
    if (headers.hasField("Thread-Topic")) {
        OSTLOG_INFO(16, L"MIME already includes Thread-Topic - not expected.");
        return S_OK;
    }

    std::wstring wsTopic;
    std::unique_ptr<mimepp::Field> field;
    if (GetUnicodeProp(pMessage, PR_CONVERSATION_TOPIC_W, wsTopic) && !wsTopic.empty()) {
        // Non-ASCII topics go out as RFC 2047 UTF-8 words: raw 8-bit bytes in a header are read
        // differently by every receiver.
        field.reset(mimepp::Field::newField("Thread-Topic", ""));
        static_cast<mimepp::Text&>(field->fieldBody()).setTextUtf8(mimepp::String(Platform::ToUtf8(wsTopic)));
    } else {
        // The subject's value as written, so its encoding is reused.
        field.reset(mimepp::Field::newField("Thread-Topic", headers.fieldAt(subject).fieldBody().getString()));
    }
    headers.insertFieldAt(subject + 1, field.release());

    std::string mime;
    hr = ReadWholeStream(*ppStream, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read from istream: %x", hr);
        return hr;
    }
    const std::string updated = JoinHeaderBlock(headersOnly, SplitHeaderBlock(mime).sRest);
    Platform::ComPtr<IStream> pNew;
    hr = NewStreamWithText(updated, pNew.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to write into istream: %x", hr);
        return hr;
    }
    (*ppStream)->Release();
    *ppStream = pNew.Detach();
    size = static_cast<unsigned int>(updated.size());
    OSTLOG_INFO(16, L"MIME updated. Returning %x", hr);
    return hr;
}
