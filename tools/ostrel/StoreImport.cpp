// `ostrel store import FILE FOLDER [MESSAGE.eml ... | -]`: each MIME message through the converter
// session into a new message of the folder, as the connector stores mail it receives. A message
// either arrives whole or not at all: a conversion that fails saves nothing, and one that could read
// only part of a damaged text has its message removed again unless --keep-partial asks to keep it.
#include "StoreCommand.h"

#include "FdStream.h"
#include "Interrupt.h"
#include "Output.h"
#include "StoreAccess.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Time/Clock.h"

namespace OstrelCli {

namespace {

using Platform::ComPtr;

// The converter refuses larger texts; reading stops there instead of holding more in memory.
constexpr size_t kMaxMessageBytes = size_t(1) << 30;

enum class Result { kImported, kPartial, kFailed };

struct Outcome {
    Result result = Result::kFailed;
    std::string sEntryId;  // hex
    std::string sClass;    // UTF-8
    std::string sWhy;
};

std::string HrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The whole message from a file or ("-") standard input; false with `why` set when it cannot be
// read or is too large.
bool ReadMessage(const std::string& source, std::string& text, std::string& why) {
    if (source != "-") {
        struct stat st {};
        if (::stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            why = "cannot read: it is a directory";
            return false;
        }
    }
    ComPtr<FdStream> pStream = FdStream::Open(source);
    if (!pStream) {
        why = std::string("cannot read: ") + std::strerror(errno);
        return false;
    }
    text.clear();
    std::string buffer(1 << 16, '\0');
    for (;;) {
        ULONG cbRead = 0;
        if (FAILED(pStream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead))) {
            why = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        if (cbRead == 0)
            return true;
        if (text.size() + cbRead > kMaxMessageBytes) {
            why = "larger than " + HumanBytes(kMaxMessageBytes) + ", which the converter does not take";
            return false;
        }
        text.append(buffer.data(), cbRead);
    }
}

// What a MIME message must at least be: text up to the end of its header block. The converter
// takes anything (text without headers becomes a body), so binary data would otherwise arrive as
// a message whose body is the bytes; mail never carries control characters in its headers (ESC
// belongs to ISO-2022 text).
bool LooksLikeMessage(const std::string& text, std::string& why) {
    if (text.empty()) {
        why = "empty";
        return false;
    }
    constexpr size_t kScanned = 64 * 1024;
    for (size_t i = 0; i < text.size() && i < kScanned; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && (text.compare(i + 1, 1, "\n") == 0 || text.compare(i + 1, 2, "\r\n") == 0))
            break;
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != 0x1B) || c == 0x7F) {
            why = "not a MIME message: binary data in its header block";
            return false;
        }
    }
    return true;
}

std::string Property(IMessage* pMessage, ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    std::string value;
    if (SUCCEEDED(HrGetOneProp(pMessage, ulTag, &pValue))) {
        if (PROP_TYPE(pValue->ulPropTag) == PT_BINARY)
            value = HexBytes(pValue->Value.bin.lpb, pValue->Value.bin.cb);
        else if (PROP_TYPE(pValue->ulPropTag) == PT_UNICODE)
            value = Platform::ToUtf8(pValue->Value.lpszW);
    }
    MAPIFreeBuffer(pValue);
    return value;
}

class Importer {
public:
    Importer(Context& context, IMAPIFolder* pFolder, bool bKeepPartial, bool bJson)
        : m_context(context), m_pFolder(pFolder), m_bKeepPartial(bKeepPartial), m_bJson(bJson) {}

    Outcome Import(const std::string& source, uint64_t& ullBytes) {
        Outcome outcome;
        std::string text;
        if (!ReadMessage(source, text, outcome.sWhy) || !LooksLikeMessage(text, outcome.sWhy))
            return outcome;
        ullBytes += text.size();
        ComPtr<IConverterSession> pSession;
        HRESULT hr = Platform::Mapi::CreateConverterSession(pSession.AddressOf());
        ComPtr<IMessage> pMessage;
        if (SUCCEEDED(hr))
            hr = m_pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf());
        if (FAILED(hr)) {
            outcome.sWhy = "cannot create a message in the folder (" + HrText(hr) + ")";
            return outcome;
        }
        ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(text);
        text = std::string();
        // The converter saves the message only when it has converted all it could; a failure
        // before that leaves nothing in the folder.
        hr = pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
        if (FAILED(hr)) {
            outcome.sWhy = "the converter failed (" + HrText(hr) + ")";
            return outcome;
        }
        outcome.sEntryId = Property(pMessage.Get(), PR_ENTRYID);
        outcome.sClass = Property(pMessage.Get(), PR_MESSAGE_CLASS_W);
        if (hr == S_OK) {
            outcome.result = Result::kImported;
            return outcome;
        }
        if (m_bKeepPartial) {
            outcome.result = Result::kPartial;
            outcome.sWhy = "the text is damaged; what could be read was kept (" + HrText(hr) + ")";
            return outcome;
        }
        outcome.sWhy = "the text is damaged; only part of it could be read (" + HrText(hr) + ")";
        hr = Remove(pMessage.Get());
        if (FAILED(hr)) {
            outcome.result = Result::kPartial;
            outcome.sWhy += ", and the part read could not be removed again (" + HrText(hr) + ")";
        } else {
            outcome.sEntryId.clear();
            outcome.sClass.clear();
        }
        return outcome;
    }

    // One line (or JSON object) for the message; false when standard output lost it.
    bool Report(const std::string& source, const Outcome& outcome) {
        const char* pszResult = outcome.result == Result::kImported  ? "imported"
                                : outcome.result == Result::kPartial ? "partial"
                                                                     : "failed";
        // JSON strings must be UTF-8: names that are not become U+FFFD where they break.
        const std::string file = source == "-" ? "-" : Platform::ToUtf8(Platform::FromUtf8(source));
        std::string line;
        if (m_bJson) {
            line = "{\"file\":" + JsonString(file) + ",\"result\":\"" + pszResult + "\"";
            if (!outcome.sEntryId.empty())
                line += ",\"entryId\":\"" + outcome.sEntryId + "\",\"class\":" + JsonString(outcome.sClass);
            if (!outcome.sWhy.empty())
                line += ",\"reason\":" + JsonString(outcome.sWhy);
            line += "}";
        } else {
            line = TsvField(source) + "\t" + (outcome.sEntryId.empty() ? "-" : outcome.sEntryId) + "\t" +
                   (outcome.sEntryId.empty() ? "-" : TsvField(outcome.sClass));
            if (outcome.result != Result::kImported)
                line += std::string("\t") + pszResult + ": " + TsvField(outcome.sWhy);
        }
        line += "\n";
        // Each line goes out at once: a lost one stops the import before more messages go in unseen.
        return std::fwrite(line.data(), 1, line.size(), m_context.out) == line.size() &&
               std::fflush(m_context.out) == 0;
    }

private:
    HRESULT Remove(IMessage* pMessage) {
        LPSPropValue pEid = nullptr;
        HRESULT hr = HrGetOneProp(pMessage, PR_ENTRYID, &pEid);
        if (SUCCEEDED(hr)) {
            ENTRYLIST list{1, &pEid->Value.bin};
            hr = m_pFolder->DeleteMessages(&list, 0, nullptr, 0);
        }
        MAPIFreeBuffer(pEid);
        return hr;
    }

    Context& m_context;
    IMAPIFolder* m_pFolder;
    bool m_bKeepPartial;
    bool m_bJson;
};

}  // namespace

int RunStoreImport(const ParsedArgs& parsed, Context& context) {
    const std::vector<std::string>& operands = parsed.operands;
    std::vector<std::string> sources(operands.begin() + 3, operands.end());
    if (sources.empty())
        sources.push_back("-");
    if (std::count(sources.begin(), sources.end(), "-") > 1)
        return UsageError("store", "standard input ('-') can be read only once", context);

    StoreAccess access(context);
    int rc = access.Open(operands[1], true);
    if (rc != kExitOk)
        return rc;
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = access.FindFolder(operands[2], pFolder);
    if (FAILED(hr))
        return access.Fail("no such folder: " + operands[2], hr);

    const bool bJson = parsed.Has("--json");
    Importer importer(context, pFolder.Get(), parsed.Has("--keep-partial"), bJson);
    InterruptScope interruptScope("store");
    const uint64_t ullStartMs = Ostrel::Util::CurrentClock().GetTickCount64();
    uint64_t ullBytes = 0;
    size_t cImported = 0, cDone = 0;
    if (!bJson)
        std::fprintf(context.out, "# file\tentry id\tclass\tnote\n");
    for (const std::string& source : sources) {
        if (Interrupted()) {
            std::fprintf(context.err, "ostrel store: interrupted after %zu of %zu message(s)\n", cDone, sources.size());
            return kExitInterrupted;
        }
        const Outcome outcome = importer.Import(source, ullBytes);
        ++cDone;
        if (outcome.result == Result::kImported)
            ++cImported;
        if (!importer.Report(source, outcome)) {
            const int error = errno;
            return Failure("store",
                           "cannot write to standard output: " + std::string(std::strerror(error)) +
                               " (stopped after " + std::to_string(cDone) + " of " + std::to_string(sources.size()) +
                               " message(s))",
                           context);
        }
    }
    if (!bJson)
        std::fprintf(context.out, "# %zu of %zu message(s) imported\n", cImported, sources.size());
    if (context.bVerbose) {
        const double dSeconds = static_cast<double>(Ostrel::Util::CurrentClock().GetTickCount64() - ullStartMs) / 1000;
        std::fprintf(context.err, "ostrel store: %zu message(s), %s, in %s: %.1f messages per second\n", cDone,
                     HumanBytes(ullBytes).c_str(), HumanSeconds(dSeconds).c_str(),
                     dSeconds > 0 ? static_cast<double>(cDone) / dSeconds : 0.0);
    }
    if (cImported == sources.size())
        return kExitOk;
    return Failure("store",
                   std::to_string(sources.size() - cImported) + " of " + std::to_string(sources.size()) +
                       " message(s) not imported whole",
                   context);
}

}  // namespace OstrelCli
