#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Convert/Mail/SpillStream.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mime/Field.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;

namespace {

// One field of a header block: its bytes (with folded lines and line break) and its name.
struct FieldSpan {
    size_t begin = 0;
    size_t end = 0;
    std::string_view name;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool SameName(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(wanted[i])))
            return false;
    }
    return true;
}

// The fields of a header block without its closing empty line. A field starts at a line that
// begins with a name and a colon; folded lines and lines without a colon belong to the field
// before them.
std::vector<FieldSpan> FieldsOf(std::string_view block) {
    std::vector<FieldSpan> fields;
    for (size_t pos = 0; pos < block.size();) {
        size_t next = block.find('\n', pos);
        next = next == std::string_view::npos ? block.size() : next + 1;
        const std::string_view line = block.substr(pos, next - pos);
        const size_t colon = line.find(':');
        if (!IsBlank(line[0]) && colon != std::string_view::npos) {
            std::string_view name = line.substr(0, colon);
            while (!name.empty() && IsBlank(name.back()))
                name.remove_suffix(1);
            fields.push_back({pos, next, name});
        } else if (!fields.empty()) {
            fields.back().end = next;
        }
        pos = next;
    }
    return fields;
}

// The length of the block without the empty line that closes it.
size_t FieldsLength(const std::string& sBlock) {
    if (sBlock.ends_with("\r\n\r\n"))
        return sBlock.size() - 2;
    if (sBlock == "\r\n")
        return 0;
    if (sBlock.ends_with("\n\n") || sBlock == "\n")
        return sBlock.size() - 1;
    return sBlock.size();
}

// Writes the bytes, checking that all were taken.
HRESULT WriteChecked(IStream* pStream, std::string_view bytes) {
    ULONG cbWritten = 0;
    const HRESULT hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cbWritten);
    if (FAILED(hr))
        return hr;
    return cbWritten == bytes.size() ? S_OK : STG_E_MEDIUMFULL;
}

// The rest of the source stream from its current position into the target.
HRESULT CopyRest(IStream* pSource, IStream* pTarget) {
    char buf[65536];
    for (;;) {
        ULONG cbRead = 0;
        HRESULT hr = pSource->Read(buf, sizeof buf, &cbRead);
        if (FAILED(hr))
            return hr;
        if (cbRead == 0)
            return S_OK;
        hr = WriteChecked(pTarget, std::string_view(buf, cbRead));
        if (FAILED(hr))
            return hr;
    }
}

}  // namespace

namespace Ostrel::Convert::Fixup {

HRESULT SetThreadTopicWithTopic(IStream** ppStream, unsigned int& size, const std::wstring& wsTopic) {
    if (!ppStream || !*ppStream)
        return E_POINTER;
    // Only the header block is read to decide; the field goes in after Subject, and every other
    // byte of the text stays as it was.
    std::string headerBlock;
    HRESULT hr = ReadHeaderBlock(*ppStream, headerBlock);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to read from istream: %x", hr);
        return hr;
    }
    const std::string_view block(headerBlock.data(), FieldsLength(headerBlock));
    const std::vector<FieldSpan> fields = FieldsOf(block);
    const FieldSpan* pSubject = nullptr;
    for (const FieldSpan& field : fields) {
        if (SameName(field.name, "Thread-Topic")) {
            OSTLOG_INFO(16, L"MIME already includes Thread-Topic - not expected.");
            return S_OK;
        }
        if (!pSubject && SameName(field.name, "Subject"))
            pSubject = &field;
    }
    if (!pSubject) {
        OSTLOG_INFO(16, L"Failed to find Subject in MIME.");
        return S_OK;
    }

    std::unique_ptr<mimepp::Field> pTopic;
    if (!wsTopic.empty()) {
        // Non-ASCII topics go out as RFC 2047 UTF-8 words: raw 8-bit bytes in a header are read
        // differently by every receiver.
        pTopic.reset(mimepp::Field::newField("Thread-Topic", ""));
        static_cast<mimepp::Text&>(pTopic->fieldBody()).setTextUtf8(mimepp::String(Platform::ToUtf8(wsTopic)));
    } else {
        // The subject's value as written, so its encoding is reused.
        mimepp::Field subject(mimepp::String(block.substr(pSubject->begin, pSubject->end - pSubject->begin)));
        subject.parse();
        pTopic.reset(mimepp::Field::newField("Thread-Topic", subject.fieldBody().getString()));
    }
    pTopic->assemble();
    std::string insert = block[pSubject->end - 1] == '\n' ? "" : "\r\n";
    insert += pTopic->getString().str();

    Platform::ComPtr<IStream> pNew;
    hr = SpillStream::Create(nullptr, pNew.AddressOf());
    LARGE_INTEGER restAt{};
    restAt.QuadPart = static_cast<LONGLONG>(headerBlock.size());
    if (SUCCEEDED(hr))
        hr = WriteChecked(pNew.Get(), std::string_view(headerBlock).substr(0, pSubject->end));
    if (SUCCEEDED(hr))
        hr = WriteChecked(pNew.Get(), insert);
    if (SUCCEEDED(hr))
        hr = WriteChecked(pNew.Get(), std::string_view(headerBlock).substr(pSubject->end));
    if (SUCCEEDED(hr))
        hr = (*ppStream)->Seek(restAt, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(hr))
        hr = CopyRest(*ppStream, pNew.Get());
    STATSTG stat{};
    if (SUCCEEDED(hr))
        hr = pNew->Stat(&stat, STATFLAG_NONAME);
    if (SUCCEEDED(hr) && stat.cbSize.QuadPart > 0xFFFFFFFFull)
        hr = MAPI_E_TOO_BIG;
    LARGE_INTEGER zero{};
    if (SUCCEEDED(hr))
        hr = pNew->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"failed to write into istream: %x", hr);
        return hr;
    }
    (*ppStream)->Release();
    *ppStream = pNew.Detach();
    size = static_cast<unsigned int>(stat.cbSize.QuadPart);
    OSTLOG_INFO(16, L"MIME updated. Returning %x", hr);
    return hr;
}

}  // namespace Ostrel::Convert::Fixup

HRESULT SetThreadTopic(IMessage* pMessage, IStream** ppStream, unsigned int& size) {
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream || !*ppStream)
        return E_POINTER;
    std::wstring wsTopic;
    GetUnicodeProp(pMessage, PR_CONVERSATION_TOPIC_W, wsTopic);
    return SetThreadTopicWithTopic(ppStream, size, wsTopic);
}
