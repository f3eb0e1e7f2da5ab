// Arbitrary bytes as the MIME text the message fix-ups repair. The store message they consult is
// one of a few made once (a note with Bcc recipients and a PDF attachment, a meeting request and a
// response with recipients), chosen by the first byte, which also picks the client version and the
// addresses given to the meeting fix-up. Every fix-up must succeed or fail cleanly, report the
// length of the text it leaves, and leave text that parses again; one that fails must leave the text
// as it was.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzStore.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Host/Host.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mime/Entity.h"

namespace {

using namespace ConvertFuzz;

void Check(bool bOk) {
    if (!bOk)
        std::abort();
}

std::string Text(IStream* pStream) {
    std::string out;
    LARGE_INTEGER start{};
    Check(SUCCEEDED(pStream->Seek(start, STREAM_SEEK_SET, nullptr)));
    char buf[65536];
    ULONG cb = 0;
    while (SUCCEEDED(pStream->Read(buf, sizeof buf, &cb)) && cb > 0)
        out.append(buf, cb);
    return out;
}

// A fix-up that changes the stream in place: success with the text's length, or the old text.
void CheckResult(HRESULT hr, IStream* pStream, unsigned int size, const std::string& before) {
    const std::string after = Text(pStream);
    if (FAILED(hr)) {
        Check(after == before);
        return;
    }
    Check(size == after.size());
    mimepp::Message reparsed{mimepp::String(after)};
    reparsed.parse();
}

}  // namespace

const char* const kMessages[] = {
    "From: Alice <alice@example.com>\r\nTo: Bob Builder <bob@example.com>\r\nBcc: Eve <eve@example.com>\r\n"
    "Subject: Report\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
    "Content-Type: text/plain\r\n\r\nSee.\r\n--b\r\nContent-Type: application/pdf; name=report.pdf\r\n"
    "Content-Disposition: attachment; filename=report.pdf\r\n\r\n%PDF\r\n--b--\r\n",
    "From: Alice <alice@example.com>\r\nTo: Bob Builder <bob@example.com>, Carol <carol@example.com>\r\n"
    "Subject: Planning\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nLet us plan.\r\n",
};

// The store messages, made once: a note, a meeting request and a response.
IMessage* Consulted(uint8_t mode) {
    static ComPtr<IMessage> s_messages[3];
    const int which = (mode >> 1) % 3;
    if (!s_messages[which]) {
        FuzzStore& fs = FuzzStore::Get();
        ComPtr<IConverterSession> pSession;
        Check(SUCCEEDED(Platform::Mapi::CreateConverterSession(pSession.AddressOf())));
        Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, s_messages[which].AddressOf())));
        ComPtr<Platform::MemStream> pIn = Platform::MemStream::Create(kMessages[which == 0 ? 0 : 1]);
        Check(
            SUCCEEDED(pSession->MIMEToMAPI(pIn.Get(), s_messages[which].Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC)));
        if (which > 0) {
            SPropValue v{PR_MESSAGE_CLASS_W, 0, {}};
            v.Value.lpszW =
                const_cast<wchar_t*>(which == 1 ? L"IPM.Schedule.Meeting.Request" : L"IPM.Schedule.Meeting.Resp.Pos");
            Check(SUCCEEDED(HrSetOneProp(s_messages[which].Get(), &v)));
        }
    }
    return s_messages[which].Get();
}

// The entropic scheduler's bookkeeping over the coverage of the whole store layer takes nine tenths
// of the time; without it the fix-ups run ten times as often. Flags given on the command line come
// later and still decide.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> s_args;
    static char s_entropic[] = "-entropic=0";
    s_args.assign(*argv, *argv + *argc);
    s_args.insert(s_args.begin() + (s_args.empty() ? 0 : 1), s_entropic);
    s_args.push_back(nullptr);
    *argc = static_cast<int>(s_args.size()) - 1;
    *argv = s_args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    const std::string mime(reinterpret_cast<const char*>(data + 1), size - 1);
    Platform::Host::SetClientVersion((mode & 1) ? 11 : 16, 0);
    IMessage* pMessage = Consulted(mode);

    IStream* pStream = Platform::MemStream::Create(mime).Detach();
    unsigned int length = static_cast<unsigned int>(mime.size());
    std::string before = Text(pStream);
    HRESULT hr = WorkaroundBCC(pMessage, pStream);
    length = static_cast<unsigned int>(Text(pStream).size());
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = MtgRequestFix(pMessage, &pStream, length, (mode & 8) ? L"sender@example.com" : nullptr,
                       (mode & 16) ? L"organizer@example.com" : nullptr);
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = FixMimeForSpecialAttachments(pMessage, &pStream, length);
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = SetThreadTopic(pMessage, &pStream, length);
    CheckResult(hr, pStream, length, before);
    pStream->Release();
    return 0;
}
