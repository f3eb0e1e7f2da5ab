// Arbitrary bytes as the MIME text the message fix-ups repair. The store message they consult is
// read from the same bytes (so its class, recipients and attachment names match the text), then
// made a meeting request or left as it is by the first byte. Every fix-up must succeed or fail
// cleanly, report the length of the text it leaves, and leave text that parses again; one that
// fails must leave the text as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    FuzzStore& fs = FuzzStore::Get();
    const uint8_t mode = data[0];
    const std::string mime(reinterpret_cast<const char*>(data + 1), size - 1);
    Platform::Host::SetClientVersion((mode & 1) ? 11 : 16, 0);

    ComPtr<IConverterSession> pSession;
    Check(SUCCEEDED(Platform::Mapi::CreateConverterSession(pSession.AddressOf())));
    ComPtr<IMessage> pMessage;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf())));
    ComPtr<Platform::MemStream> pIn = Platform::MemStream::Create(mime);
    pSession->MIMEToMAPI(pIn.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    if (mode & 2) {
        SPropValue v{PR_MESSAGE_CLASS_W, 0, {}};
        v.Value.lpszW =
            const_cast<wchar_t*>((mode & 4) ? L"IPM.Schedule.Meeting.Resp.Pos" : L"IPM.Schedule.Meeting.Request");
        HrSetOneProp(pMessage.Get(), &v);
    }

    IStream* pStream = Platform::MemStream::Create(mime).Detach();
    unsigned int length = static_cast<unsigned int>(mime.size());
    std::string before = Text(pStream);
    HRESULT hr = WorkaroundBCC(pMessage.Get(), pStream);
    length = static_cast<unsigned int>(Text(pStream).size());
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = MtgRequestFix(pMessage.Get(), &pStream, length, (mode & 8) ? L"sender@example.com" : nullptr,
                       (mode & 16) ? L"organizer@example.com" : nullptr);
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = FixMimeForSpecialAttachments(pMessage.Get(), &pStream, length);
    CheckResult(hr, pStream, length, before);

    before = Text(pStream);
    hr = SetThreadTopic(pMessage.Get(), &pStream, length);
    CheckResult(hr, pStream, length, before);
    pStream->Release();

    IMessage* pRaw = pMessage.Get();
    WorkAroundRecepientForSpecialChars(&pRaw, nullptr);

    SPropValue* pId = nullptr;
    if (SUCCEEDED(HrGetOneProp(pMessage.Get(), PR_ENTRYID, &pId))) {
        ENTRYLIST list{1, &pId->Value.bin};
        fs.inbox->DeleteMessages(&list, 0, nullptr, DELETE_HARD_DELETE);
        MAPIFreeBuffer(pId);
    }
    return 0;
}
