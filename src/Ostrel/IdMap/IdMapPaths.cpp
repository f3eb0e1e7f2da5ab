#include "Ostrel/IdMap/IdMapPaths.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Ui/Ui.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"
#include "Util/Text/Localized.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

std::atomic<bool> g_bToldBadStore{false};

void TellBadStoreOnce() {
    if (g_bToldBadStore.exchange(true))
        return;
    if (!IsBESOSN())
        Platform::Ui::Current()->MessageBox(Util::FindClientWindow(), Util::GetLocalizedString("MBOX_BAD_OFFICE"),
                                            Util::GetLocalizedString("MBOX_CAPTION_MAPIERR"), MB_OK | MB_ICONERROR);
    // Without a client window the host's close handler ends the calling program instead.
    Platform::Host::RequestClose(Util::FindClientWindow());
}

// The store file path inside a store entry id: the UTF-16LE text that starts two bytes after the
// provider UID, cut at ".osd".
bool StorePathFromEntryId(const SBinary& eid, const SBinary& provider, std::wstring* pwsPath) {
    if (!eid.lpb || !provider.lpb || provider.cb == 0 || eid.cb < provider.cb)
        return false;
    const BYTE* pEnd = eid.lpb + eid.cb;
    const BYTE* pUid = std::search(static_cast<const BYTE*>(eid.lpb), pEnd, static_cast<const BYTE*>(provider.lpb),
                                   static_cast<const BYTE*>(provider.lpb + provider.cb));
    if (pUid == pEnd || static_cast<size_t>(pEnd - pUid) < provider.cb + 2)
        return false;
    const BYTE* pText = pUid + provider.cb + 2;
    size_t cb = 0;
    while (pText + cb + 1 < pEnd && (pText[cb] || pText[cb + 1]))
        cb += 2;
    std::wstring ws = Platform::FromUtf16LEBytes(std::string_view(reinterpret_cast<const char*>(pText), cb));
    const size_t pos = ws.find(L".osd");
    if (pos == std::wstring::npos)
        return false;
    *pwsPath = ws.substr(0, pos);
    return true;
}

}  // namespace

BOOL GetIDMFilePath(IMsgStore* pPrimaryStore, IMsgStore* pStore, IdmFileKind kind, BOOL bVerifiable,
                    std::wstring* pwsPath) {
    pwsPath->clear();
    IMsgStore* pSource = pPrimaryStore ? pPrimaryStore : pStore;
    if (!pSource)
        return FALSE;
    SizedSPropTagArray(2, tags) = {2, {PR_ENTRYID, PR_MDB_PROVIDER}};
    ULONG cValues = 0;
    LPSPropValue pRaw = nullptr;
    HRESULT hr = pSource->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pRaw);
    std::unique_ptr<SPropValue, MapiFree> pProps(pRaw);
    std::wstring wsPath;
    if (FAILED(hr) || cValues != 2 || pRaw[0].ulPropTag != PR_ENTRYID || pRaw[1].ulPropTag != PR_MDB_PROVIDER ||
        !StorePathFromEntryId(pRaw[0].Value.bin, pRaw[1].Value.bin, &wsPath)) {
        OSTLOG_ERROR(L"Store entry id holds no store file path (hr %08X)", static_cast<unsigned>(hr));
        TellBadStoreOnce();
        return FALSE;
    }
    wsPath += kind == IdmFileKind::Gal ? L"_GAL" : kind == IdmFileKind::Gal2 ? L"_GAL2" : L"";
    if (pPrimaryStore) {
        LPSPropValue pNameRaw = nullptr;
        std::wstring wsName;
        if (pStore && SUCCEEDED(HrGetOneProp(pStore, PR_DISPLAY_NAME_W, &pNameRaw))) {
            std::unique_ptr<SPropValue, MapiFree> pName(pNameRaw);
            wsName = pName->Value.lpszW ? pName->Value.lpszW : L"";
        }
        wsPath += L"(" + Util::EscapeEmailAddress(wsName.c_str()) + L")";
    }
    wsPath += L".idm";
    if (bVerifiable && kind != IdmFileKind::Gal2)
        wsPath += L"v";
    OSTLOG_INFO(4, L"Returning IDM path '%s'", wsPath.c_str());
    *pwsPath = wsPath;
    return TRUE;
}

std::wstring RecordKeyGuidString(const RecordKey& key) {
    GUID guid;
    static_assert(sizeof guid == 16);
    std::memcpy(&guid, key.data(), sizeof guid);
    return Util::Guid(guid).ToString();
}

}  // namespace Ostrel::Mapi
