#include "Ostrel/Settings/ProfileParams.h"

#include <atomic>
#include <cstring>

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"

namespace Ostrel::Mapi {

const ULONG kProfileParamTags[kProfileParamCount] = {
    0x6640001F, 0x66430003, 0x6641001F, 0x66420102, 0x6644000B, 0x66550003, 0x6656001F, 0x6657001F,
    0x6645001F, 0x6646001F, 0x66470102, 0x6648000B, 0x6682000B, 0x66880003, 0x66890003, 0x6649001F,
    0x6650001F, 0x6652001F, 0x66510102, 0x3D0C0102, 0x3D12001F, 0x66580003, 0x6667000B, 0x6668000B,
    0x6669000B, 0x6670001F, 0x6671001F, 0x6672001F, 0x6673001F, 0x6674001F, 0x6675001F,
};

namespace {

constexpr ULONG kCheckedParams = 11;
constexpr ULONG kFirstPersona = 25;  // 0x6670001F

struct TagArray {
    ULONG cValues = kProfileParamCount;
    ULONG aulPropTag[kProfileParamCount];
};

struct MapiFree {
    void operator()(void* pv) const { MAPIFreeBuffer(pv); }
};
using Values = std::unique_ptr<SPropValue, MapiFree>;

bool IsMissing(const SPropValue& value) {
    return PROP_TYPE(value.ulPropTag) == PT_ERROR;
}

HRESULT ReadSection(IMAPISupport* pSupport, LPMAPIUID pUid, Values& values) {
    Platform::ComPtr<IProfSect> pSection;
    HRESULT hr = pSupport->OpenProfileSection(pUid, 0, pSection.AddressOf());
    if (FAILED(hr))
        return hr;
    TagArray tags;
    std::memcpy(tags.aulPropTag, kProfileParamTags, sizeof tags.aulPropTag);
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    hr = pSection->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &pValues);
    values.reset(pValues);
    if (SUCCEEDED(hr) && cValues != kProfileParamCount)
        hr = MAPI_E_CALL_FAILED;
    return hr == MAPI_W_ERRORS_RETURNED ? S_OK : hr;
}

// The logged form of one value; the stored password never shows.
void DumpPropValues(const SPropValue* pValues, ULONG cValues) {
    OSTLOG_INFO(16, L"Profile Properties:");
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& value = pValues[i];
        std::wstring text;
        switch (PROP_TYPE(value.ulPropTag)) {
            case PT_UNICODE:
                text = value.Value.lpszW;
                break;
            case PT_LONG:
                text = std::to_wstring(value.Value.l);
                break;
            case PT_BOOLEAN:
                text = value.Value.b ? L"true" : L"false";
                break;
            case PT_BINARY:
                text = std::to_wstring(value.Value.bin.cb) + L" bytes";
                break;
            case PT_ERROR:
                text = L"missing";
                break;
            default:
                text = L"?";
        }
        if (PROP_ID(value.ulPropTag) == PROP_ID(PR_OSTREL_STORED_PASSWORD) && !IsMissing(value))
            text = L"********";
        OSTLOG_INFO(16, L"  %08X = %s", static_cast<unsigned>(value.ulPropTag), text.c_str());
    }
}

// With a connector user id, the persona values are the profile's (its global section's).
HRESULT ReadPersona(IMAPISupport* pSupport, LPSPropValue pValues) {
    Platform::ComPtr<IProfSect> pOwn;
    HRESULT hr = pSupport->OpenProfileSection(nullptr, 0, pOwn.AddressOf());
    if (FAILED(hr))
        return hr;
    LPSPropValue pUserId = nullptr;
    hr = HrGetOneProp(pOwn.Get(), PR_OSTREL_USER_ID, &pUserId);
    MAPIFreeBuffer(pUserId);
    if (hr == MAPI_E_NOT_FOUND)
        return S_OK;
    if (FAILED(hr))
        return hr;
    MAPIUID global = pbGlobalProfileSectionGuid;
    Values persona;
    hr = ReadSection(pSupport, &global, persona);
    for (ULONG i = kFirstPersona; i < kProfileParamCount && SUCCEEDED(hr); ++i)
        if (!IsMissing(persona.get()[i]))
            hr = PropCopyMore(&pValues[i], &persona.get()[i], MAPIAllocateMore, pValues);
    return hr;
}

}  // namespace

HRESULT GetProfileParamProps(IMAPISupport* pSupport, ULONG* pcValues, LPSPropValue* ppValues) {
    if (!pSupport || !pcValues || !ppValues)
        return MAPI_E_INVALID_PARAMETER;
    *pcValues = 0;
    *ppValues = nullptr;
    Values own;
    HRESULT hr = ReadSection(pSupport, nullptr, own);
    if (FAILED(hr))
        return hr;
    // A provider's section names its service, whose section holds what the provider's lacks.
    Values service;
    const SPropValue& serviceUid = own.get()[19];
    if (!IsMissing(serviceUid) && serviceUid.Value.bin.cb == sizeof(MAPIUID)) {
        MAPIUID uid;
        std::memcpy(uid.ab, serviceUid.Value.bin.lpb, sizeof uid.ab);
        if (FAILED(ReadSection(pSupport, &uid, service)))
            service.reset();
    }
    LPSPropValue pValues = nullptr;
    if (MAPIAllocateBuffer(kProfileParamCount * sizeof(SPropValue), reinterpret_cast<void**>(&pValues)) != S_OK)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    Values result(pValues);
    for (ULONG i = 0; i < kProfileParamCount && SUCCEEDED(hr); ++i) {
        LPSPropValue pFrom = &own.get()[i];
        if (IsMissing(*pFrom) && service && !IsMissing(service.get()[i]))
            pFrom = &service.get()[i];
        hr = PropCopyMore(&pValues[i], pFrom, MAPIAllocateMore, pValues);
        if (!IsMissing(pValues[i]))
            continue;
        switch (kProfileParamTags[i]) {
            case 0x6648000B:
                pValues[i] = SPropValue{kProfileParamTags[i], 0, {}};
                pValues[i].Value.b = TRUE;
                break;
            case 0x6682000B:
            case 0x66880003:
            case 0x66890003:
                pValues[i] = SPropValue{kProfileParamTags[i], 0, {}};
                break;
            default:
                break;
        }
    }
    if (FAILED(hr))
        return hr;
    hr = ReadPersona(pSupport, pValues);
    if (FAILED(hr))
        return hr;
    // Dumped the first time in the process that the log asks for it.
    static std::atomic<bool> s_bDumped{false};
    if (Util::g_logger.WouldLog(16, Util::kLogCategoryInfo) && !s_bDumped.exchange(true))
        DumpPropValues(pValues, kProfileParamCount);
    *pcValues = kProfileParamCount;
    *ppValues = result.release();
    return S_OK;
}

ProfileParams::~ProfileParams() {
    Reset();
}

void ProfileParams::Reset() {
    MAPIFreeBuffer(m_pValues);
    m_pValues = nullptr;
    m_cValues = 0;
    m_wsPassword.clear();
    m_bFlag6644 = false;
}

const SPropValue* ProfileParams::Find(ULONG ulTag) const {
    for (ULONG i = 0; i < m_cValues; ++i)
        if (m_pValues[i].ulPropTag == ulTag)
            return &m_pValues[i];
    return nullptr;
}

HRESULT GetProfileParams(IMAPISupport* pSupport, ProfileParams& params) {
    params.Reset();
    HRESULT hr = GetProfileParamProps(pSupport, &params.m_cValues, &params.m_pValues);
    if (FAILED(hr))
        return hr;
    const bool bStorePassword = StorePassword() != 0;
    for (ULONG i = 0; i < kCheckedParams; ++i) {
        const SPropValue& value = params.m_pValues[i];
        if (!IsMissing(value))
            continue;
        const ULONG ulId = PROP_ID(kProfileParamTags[i]);
        if (ulId == PROP_ID(PR_OSTREL_STORED_PASSWORD)) {
            if (!bStorePassword)
                continue;
            OSTLOG_ERROR(
                L"Required property %d (tag: %#8x) does not exist in user profile, and password should be "
                L"stored",
                static_cast<int>(i), static_cast<unsigned>(kProfileParamTags[i]));
            return value.Value.err;
        }
        if (ulId == 0x6644 || ulId == 0x6655 || ulId == 0x6656 || ulId == 0x6657)
            continue;
        OSTLOG_ERROR(L"Required property %d (tag: %#8x) does not exist in user profile", static_cast<int>(i),
                     static_cast<unsigned>(kProfileParamTags[i]));
        return value.Value.err;
    }
    const SPropValue& password = params.m_pValues[3];
    if (bStorePassword && PROP_TYPE(password.ulPropTag) == PT_BINARY) {
        HRESULT hrDecrypt = Util::DecryptPassword(password.Value.bin.lpb, password.Value.bin.cb, params.m_wsPassword);
        if (FAILED(hrDecrypt)) {
            OSTLOG_ERROR(L"CryptUnprotectData failed. Error 0x%x", static_cast<unsigned>(hrDecrypt));
            params.m_wsPassword.clear();
        }
    }
    const SPropValue& flag = params.m_pValues[4];
    params.m_bFlag6644 = PROP_TYPE(flag.ulPropTag) == PT_BOOLEAN && flag.Value.b;
    return S_OK;
}

}  // namespace Ostrel::Mapi
