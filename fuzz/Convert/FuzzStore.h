// A store in a private temporary folder shared by the converter fuzz targets: one per process,
// removed at exit.
#pragma once

#include <cstdlib>
#include <filesystem>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

namespace ConvertFuzz {

using Platform::ComPtr;

struct FuzzStore {
    std::filesystem::path dir;
    ComPtr<IMsgStore> store;
    ComPtr<IMAPIFolder> inbox;

    FuzzStore() {
        // In memory where possible: every conversion commits, and disk syncs would make fuzzing crawl.
        char pattern[] = "/dev/shm/convert-fuzz-XXXXXX";
        char fallback[] = "/tmp/convert-fuzz-XXXXXX";
        char* made = mkdtemp(pattern);  // created 0700
        if (!made)
            made = mkdtemp(fallback);
        if (!made)
            std::abort();
        dir = made;
        if (FAILED(Platform::OpenOsdStore(dir / "fuzz.osd", true, L"Fuzz", true, store.AddressOf())))
            std::abort();
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        if (FAILED(store->GetReceiveFolder(const_cast<wchar_t*>(L"IPM.Note"), MAPI_UNICODE, &cb, &pEid, nullptr)))
            std::abort();
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        HRESULT hr = store->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf());
        MAPIFreeBuffer(pEid);
        if (FAILED(hr))
            std::abort();
        inbox.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    }
    ~FuzzStore() {
        inbox.Reset();
        store.Reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    static FuzzStore& Get() {
        static FuzzStore s_store;
        return s_store;
    }
};

// Reads everything of a converted message, embedded messages included, so that what the converter
// wrote is also read back through the store.
inline void Walk(IMessage* pMessage, int depth = 0) {
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (SUCCEEDED(pMessage->GetProps(nullptr, MAPI_UNICODE, &cValues, &pValues)))
        MAPIFreeBuffer(pValues);
    ComPtr<IMAPITable> pTable;
    if (FAILED(pMessage->GetAttachmentTable(0, pTable.AddressOf())))
        return;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_METHOD}};
    if (FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
        return;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        ComPtr<IAttach> pAttach;
        if (FAILED(pMessage->OpenAttach(static_cast<ULONG>(pRows->aRow[i].lpProps[0].Value.l), nullptr, 0,
                                        pAttach.AddressOf())))
            continue;
        ComPtr<IUnknown> pUnk;
        if (depth < 40 && SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf())))
            Walk(static_cast<IMessage*>(pUnk.Get()), depth + 1);
    }
    FreeProws(pRows);
}

}  // namespace ConvertFuzz
