// `ostrel store mime FILE ENTRYID [OUT|-] [--own] [--bcc]`: a store message as MIME text, through
// the converter session or (--own) through the system's own writer. Blind copies stay out unless
// --bcc asks for them (the converter session still writes them for meetings and tasks, whose
// attendees need them). The stored message is only read: what the own writer must not see is
// removed from a temporary copy.
#include "StoreCommand.h"

#include "LocalFiles.h"
#include "StoreAccess.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Ostrel/Convert/Mail/MapiToMimeConverter.h"
#include "Ostrel/Convert/Mail/MimeConvertSupport.h"
#include "Ostrel/Store/TempMessage.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace OstrelCli {

namespace {

using Platform::ComPtr;

bool HasProperty(IMessage* pMessage, ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    const bool bHas = SUCCEEDED(HrGetOneProp(pMessage, ulTag, &pValue));
    MAPIFreeBuffer(pValue);
    return bHas;
}

HRESULT SessionMime(IMessage* pMessage, bool bBcc, std::string& mime) {
    ComPtr<IConverterSession> pSession;
    HRESULT hr = Platform::Mapi::CreateConverterSession(pSession.AddressOf());
    if (FAILED(hr))
        return hr;
    // The text shows what the store holds: an identifier the message lacks is not made up.
    ULONG ulFlags = bBcc ? CCSF_INCLUDE_BCC : 0;
    if (!HasProperty(pMessage, PR_INTERNET_MESSAGE_ID_W))
        ulFlags |= CCSF_NO_MSGID;
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create();
    hr = pSession->MAPIToMIMEStm(pMessage, pStream.Get(), ulFlags);
    if (SUCCEEDED(hr))
        mime = pStream->CopyContent();
    return hr;
}

// Removes the blind-copy rows of the message's recipient table; S_FALSE when it has none.
HRESULT RemoveBccRecipients(IMessage* pMessage) {
    ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetRecipientTable(0, pTable.AddressOf());
    SizedSPropTagArray(2, cols) = {2, {PR_ROWID, PR_RECIPIENT_TYPE}};
    LPSRowSet pRows = nullptr;
    if (SUCCEEDED(hr))
        hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    std::vector<ADRENTRY> bcc;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SPropValue* p = pRows->aRow[i].lpProps;
        if (p[0].ulPropTag == PR_ROWID && p[1].ulPropTag == PR_RECIPIENT_TYPE && p[1].Value.l == MAPI_BCC)
            bcc.push_back(ADRENTRY{0, 1, pRows->aRow[i].lpProps});
    }
    hr = S_FALSE;
    if (!bcc.empty()) {
        std::vector<char> buffer(CbNewADRLIST(bcc.size()));
        auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
        pList->cEntries = static_cast<ULONG>(bcc.size());
        std::copy(bcc.begin(), bcc.end(), pList->aEntries);
        hr = pMessage->ModifyRecipients(MODRECIP_REMOVE, pList);
    }
    FreeProws(pRows);
    return hr;
}

HRESULT OwnMime(IMessage* pMessage, bool bBcc, std::string& mime) {
    ComPtr<IMessage> pSource(pMessage);
    if (!bBcc) {
        ComPtr<IMessage> pCopy;
        HRESULT hr = Ostrel::Mapi::CloneMessage(pMessage, pCopy.AddressOf(), nullptr, nullptr);
        if (SUCCEEDED(hr))
            hr = RemoveBccRecipients(pCopy.Get());
        if (FAILED(hr))
            return hr;
        if (hr == S_OK)
            pSource = pCopy;
    }
    AddrBookConvertSupport support(nullptr);
    return MapiToMimeText(pSource.Get(), &support, mime);
}

}  // namespace

int RunStoreMime(const ParsedArgs& parsed, Context& context) {
    const std::vector<std::string>& operands = parsed.operands;
    const std::string& storeFile = operands[1];
    const std::string out = operands.size() > 3 ? operands[3] : "-";
    const bool bStdout = out == "-";
    StoreAccess access(context);
    if (!bStdout && IsSameFile(storeFile, out))
        return access.Fail(out + " is the store file itself", MAPI_E_INVALID_PARAMETER);
    int rc = access.Open(storeFile, false);
    if (rc != kExitOk)
        return rc;
    ComPtr<IMessage> pMessage;
    HRESULT hr = access.FindMessage(operands[2], pMessage);
    if (FAILED(hr))
        return access.Fail("no such message: " + operands[2], hr);
    const bool bOwn = parsed.Has("--own");
    std::string mime;
    hr = bOwn ? OwnMime(pMessage.Get(), parsed.Has("--bcc"), mime)
              : SessionMime(pMessage.Get(), parsed.Has("--bcc"), mime);
    if (FAILED(hr))
        return access.Fail(std::string(bOwn ? "the own writer" : "the converter") + " cannot write the message as MIME",
                           hr);

    if (bStdout) {
        if (std::fwrite(mime.data(), 1, mime.size(), context.out) != mime.size() || std::fflush(context.out) != 0)
            return Failure("store", std::string("cannot write to standard output: ") + std::strerror(errno), context);
    } else {
        // Through a temporary file: a failure leaves an existing OUT as it was.
        AtomicFileWriter file;
        std::string why;
        if (!file.Open(out, why) || !file.Write(mime, why) || !file.Commit(why))
            return access.Fail(why, MAPI_E_DISK_ERROR);
    }
    std::fprintf(bStdout ? context.err : context.out, "%zu bytes written to %s\n", mime.size(),
                 bStdout ? "standard output" : out.c_str());
    return kExitOk;
}

}  // namespace OstrelCli
