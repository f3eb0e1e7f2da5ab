// Arbitrary bytes as MIME text into a real store message. MIMEToMAPI must answer S_OK, a partial
// completion or a clean error, never crash or hang; what it wrote must read back and convert back
// into MIME text that converts again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzStore.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"

namespace {

void Check(bool bOk) {
    if (!bOk)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ConvertFuzz;
    FuzzStore& fs = FuzzStore::Get();
    ComPtr<IConverterSession> pSession;
    Check(SUCCEEDED(Platform::Mapi::CreateConverterSession(pSession.AddressOf())));
    ComPtr<IMessage> pMessage;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf())));
    ComPtr<Platform::MemStream> pIn =
        Platform::MemStream::Create(std::string_view(reinterpret_cast<const char*>(data), size));
    HRESULT hr = pSession->MIMEToMAPI(pIn.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    Check(hr == S_OK || hr == MAPI_W_PARTIAL_COMPLETION);
    Walk(pMessage.Get());
    ComPtr<Platform::MemStream> pOut = Platform::MemStream::Create();
    Check(SUCCEEDED(pSession->MAPIToMIMEStm(pMessage.Get(), pOut.Get(), CCSF_INCLUDE_BCC | CCSF_NO_MSGID)));
    ComPtr<IMessage> pAgain;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pAgain.AddressOf())));
    LARGE_INTEGER start{};
    pOut->Seek(start, STREAM_SEEK_SET, nullptr);
    hr = pSession->MIMEToMAPI(pOut.Get(), pAgain.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    Check(hr == S_OK || hr == MAPI_W_PARTIAL_COMPLETION);

    // Keep the store small: the two messages go again.
    SPropValue* pIds[2] = {nullptr, nullptr};
    HrGetOneProp(pMessage.Get(), PR_ENTRYID, &pIds[0]);
    HrGetOneProp(pAgain.Get(), PR_ENTRYID, &pIds[1]);
    SBinary ids[2];
    ULONG count = 0;
    for (SPropValue* p : pIds)
        if (p)
            ids[count++] = p->Value.bin;
    ENTRYLIST list{count, ids};
    fs.inbox->DeleteMessages(&list, 0, nullptr, DELETE_HARD_DELETE);
    for (SPropValue* p : pIds)
        MAPIFreeBuffer(p);
    return 0;
}
