#include "Ostrel/Store/Diagnostics.h"

#include "Util/Log/DumpProps.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

// Folder and message entry ids of the local store: 4 flag bytes, the 16-byte record key, the
// 32-bit node id.
constexpr ULONG kObjectEntryIdSize = 24;

void DumpAll(IMAPIProp* pProp, const wchar_t* pwszTitle) {
    if (!Util::g_logger.WouldLog(Util::kDumpPropsLevel, Util::kLogCategoryInfo))
        return;
    if (!pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return;
    }
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    HRESULT hr = pProp->GetProps(nullptr, MAPI_UNICODE, &cValues, &pValues);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetProps() failed, hr: %x", hr);
        return;
    }
    Util::DumpPropValues(cValues, pValues, pwszTitle);
    MAPIFreeBuffer(pValues);
}

}  // namespace

void DumpStoreInfo(IMsgStore* pStore) {
    DumpAll(pStore, L"store");
}

void DumpFolderInfo(IMAPIFolder* pFolder) {
    DumpAll(pFolder, L"folder");
}

void DumpMessageInfo(IMessage* pMessage) {
    DumpAll(pMessage, L"message");
}

void DumpPropInfoEntryID(const wchar_t* pwszTitle, ULONG cb, const BYTE* pb) {
    if (!pb && cb) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return;
    }
    const wchar_t* pwsz = pwszTitle ? pwszTitle : L"entry id";
    if (cb == kObjectEntryIdSize) {
        const ULONG ulNid = pb[20] | (pb[21] << 8) | (pb[22] << 16) | (static_cast<ULONG>(pb[23]) << 24);
        OSTLOG_INFO(Util::kDumpPropsLevel, L"%ls: flags %ls, record key %ls, node id %08X (type %u)", pwsz,
                    Util::HexEncode(pb, 4).c_str(), Util::HexEncode(pb + 4, 16).c_str(), ulNid, ulNid & 0x1F);
        return;
    }
    OSTLOG_INFO(Util::kDumpPropsLevel, L"%ls: %u bytes %ls", pwsz, cb, Util::HexEncode(pb, cb).c_str());
}

void ProcessLastError(IMAPIProp* pProp, HRESULT hr, const wchar_t* pwszCall, int nLine) {
    LPMAPIERROR pError = nullptr;
    if (pProp && SUCCEEDED(pProp->GetLastError(hr, MAPI_UNICODE, &pError)) && pError && pError->lpszError)
        OSTLOG_ERROR(L"%ls failed at line %d, hr: %x (%ls)", pwszCall ? pwszCall : L"call", nLine, hr,
                     pError->lpszError);
    else
        OSTLOG_ERROR(L"%ls failed at line %d, hr: %x", pwszCall ? pwszCall : L"call", nLine, hr);
    MAPIFreeBuffer(pError);
}

}  // namespace Ostrel::Mapi
