// Newer clients render an anchor whose name is a single blank as visible text. The repair empties
// such names in the held stream itself, byte for byte the same length, before the host's converter
// reads it.
#include <string>

#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"
#include "Util/Log/Log.h"

namespace {

constexpr char kHtmlType[] = "Content-Type: text/html";
constexpr char kAnchorStart[] = "<a ";
constexpr char kBlankName[] = "name=\" \"";
constexpr char kEmptyName[] = "name=\"\" ";
static_assert(sizeof kBlankName == sizeof kEmptyName, "the repair keeps the stream's length");

}  // namespace

void MimeToMapiConverter::CleanUpHTML() {
    if (!m_bHasStream) {
        OSTLOG_INFO(16, L"No IStream.");
        return;
    }
    IStream* pStream = m_pStream.Get();
    LARGE_INTEGER zero{};
    HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to Seek in stream: %x", hr);
        return;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ULONG cbRead = 0;
        if (FAILED(hr = pStream->Read(buffer, sizeof buffer, &cbRead))) {
            OSTLOG_ERROR(L"Failed to read from stream: %x", hr);
            return;
        }
        if (cbRead == 0)
            break;
        text.append(buffer, cbRead);
    }
    size_t pos = text.find(kHtmlType);
    if (pos == std::string::npos) {
        OSTLOG_INFO(16, L"text/html part not found.");
        return;
    }
    OSTLOG_INFO(16, L"Found text/html part.");
    while ((pos = text.find(kAnchorStart, pos)) != std::string::npos) {
        const size_t close = text.find('>', pos);
        if (close == std::string::npos) {
            OSTLOG_INFO(16, L"Incomplete '<a ...>' tag.");
            return;
        }
        const std::string_view tag(text.data() + pos, close - pos + 1);
        const size_t name = tag.find(kBlankName);
        if (name != std::string_view::npos) {
            OSTLOG_INFO(16, L"Tag to fix: %.*hs", static_cast<int>(tag.size()), tag.data());
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(pos + name);
            ULONG cbWritten = 0;
            if (FAILED(hr = pStream->Seek(at, STREAM_SEEK_SET, nullptr))) {
                OSTLOG_ERROR(L"Failed to Seek in stream: %x", hr);
                return;
            }
            if (FAILED(hr = pStream->Write(kEmptyName, sizeof kEmptyName - 1, &cbWritten)) ||
                cbWritten != sizeof kEmptyName - 1) {
                OSTLOG_ERROR(L"Failed to Write to stream: %x", FAILED(hr) ? hr : STG_E_MEDIUMFULL);
                return;
            }
            text.replace(pos + name, sizeof kEmptyName - 1, kEmptyName);
            OSTLOG_INFO(16, L"Space-only name emptied.");
        }
        pos = close + 1;
    }
}
