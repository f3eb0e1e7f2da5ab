#include "CategoriesTestUtil.h"

#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreText.h"
#include "Platform/Com/Stream.h"

namespace CategoriesTest {

ComPtr<IMAPIFolder> StoreFixture::Calendar() {
    return OpenFolder(GetBinary(Root().Get(), PR_IPM_APPOINTMENT_ENTRYID));
}

std::vector<std::string> StoreFixture::AssociatedOfClass(IMAPIFolder* pFolder, const wchar_t* pwszClass) {
    std::vector<std::string> out;
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pFolder->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_MESSAGE_CLASS_W, PR_ENTRYID}};
    LPSRowSet pRows = nullptr;
    EXPECT_EQ(Ostrel::Mapi::QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &pRows), S_OK);
    for (ULONG i = 0; pRows && i < pRows->cRows; ++i) {
        const wchar_t* pwsz = Ostrel::Mapi::RowString(pRows->aRow[i], 0, PR_MESSAGE_CLASS_W);
        if (pwsz && std::wstring(pwsz) == pwszClass)
            out.emplace_back(reinterpret_cast<const char*>(pRows->aRow[i].lpProps[1].Value.bin.lpb),
                             pRows->aRow[i].lpProps[1].Value.bin.cb);
    }
    FreeProws(pRows);
    return out;
}

std::string ReadStream(IMAPIProp* p, ULONG ulTag) {
    ComPtr<IStream> pStream;
    std::string out;
    if (FAILED(p->OpenProperty(ulTag, &IID_IStream, STGM_READ, 0, reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()))))
        return "<missing>";
    char buf[4096];
    ULONG cb = 0;
    while (SUCCEEDED(pStream->Read(buf, sizeof(buf), &cb)) && cb > 0)
        out.append(buf, cb);
    return out;
}

HRESULT WriteStream(IMAPIProp* p, ULONG ulTag, const std::string& bytes) {
    ComPtr<IStream> pStream;
    HRESULT hr = p->OpenProperty(ulTag, &IID_IStream, STGM_READWRITE, MAPI_MODIFY | MAPI_CREATE,
                                 reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr))
        return hr;
    ULARGE_INTEGER zero{};
    pStream->SetSize(zero);
    ULONG cb = 0;
    hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cb);
    if (SUCCEEDED(hr))
        hr = pStream->Commit(0);
    if (SUCCEEDED(hr))
        hr = p->SaveChanges(KEEP_OPEN_READWRITE);
    return hr;
}

}  // namespace CategoriesTest
