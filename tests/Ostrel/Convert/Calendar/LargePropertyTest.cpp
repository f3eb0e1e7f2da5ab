// Bodies too large to fetch in one piece are read through a stream, and must come out as they
// went in, text (beyond the Basic Multilingual Plane too) as well as bytes.
#include "Ostrel/Convert/Calendar/OLToOstrel.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Store/OsdStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A message that refuses to hand out any value in one piece, as a store does for large ones.
class LargeValues : public IMAPIProp {
public:
    explicit LargeValues(IMessage* pInner) : m_pInner(pInner) {}

    HRESULT GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NOT_ENOUGH_MEMORY; }
    HRESULT OpenProperty(ULONG t, LPCIID i, ULONG o, ULONG f, LPUNKNOWN* pp) override {
        return m_pInner->OpenProperty(t, i, o, f, pp);
    }
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return E_NOTIMPL; }
    HRESULT SaveChanges(ULONG) override { return E_NOTIMPL; }
    HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return E_NOTIMPL; }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return E_NOTIMPL; }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray*) override {
        return E_NOTIMPL;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
        return E_NOTIMPL;
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override { return E_NOTIMPL; }
    HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }

private:
    IMessage* m_pInner;
};

TEST(LargeProperty, TextAndBytesReadThroughAStreamComeOutWhole) {
    Platform::ComPtr<IMessage> pMessage;
    ASSERT_EQ(Platform::CreateTemporaryMessage(pMessage.AddressOf()), S_OK);
    std::wstring wsBody;
    for (int i = 0; i < 5000; ++i)
        wsBody += L"Agenda \u00fcber alles \U0001F4C5 ";
    std::string sBlob;
    for (int i = 0; i < 70000; ++i)
        sBlob += static_cast<char>(i * 7);
    SPropValue v[2]{};
    v[0].ulPropTag = PR_BODY_W, v[0].Value.lpszW = wsBody.data();
    v[1].ulPropTag = PR_RTF_COMPRESSED;
    v[1].Value.bin = SBinary{static_cast<ULONG>(sBlob.size()), reinterpret_cast<LPBYTE>(sBlob.data())};
    ASSERT_EQ(pMessage->SetProps(2, v, nullptr), S_OK);
    ASSERT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    LargeValues large(pMessage.Get());
    std::vector<BYTE> bytes;
    ASSERT_EQ(Ostrel::Mail::OLToOstrel::ReadWhole(&large, PR_BODY_W, bytes), S_OK);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), Platform::ToUtf8(wsBody));
    ASSERT_EQ(Ostrel::Mail::OLToOstrel::ReadWhole(&large, PR_RTF_COMPRESSED, bytes), S_OK);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), sBlob);
}

}  // namespace
