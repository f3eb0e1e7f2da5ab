#include "Ostrel/Settings/ProfileStore.h"

#include <cwctype>
#include <memory>
#include <vector>

#include "Ostrel/Settings/ProfileStoreInternal.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/ProfileDb.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

constexpr const wchar_t* kMasked = L"********";

struct MapiFree {
    void operator()(void* pv) const { MAPIFreeBuffer(pv); }
};
using PropHolder = std::unique_ptr<SPropValue, MapiFree>;

std::wstring Lower(const wchar_t* pwsz) {
    std::wstring text = pwsz ? pwsz : L"";
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

// Finds the connector's service of the profile; with `bCreate`, a profile that does not exist
// is created with the service first. Creation runs under a lock per profile so that two
// processes never give one profile two services.
HRESULT FindConnectorService(const std::wstring& wsProfile, bool bCreate, MAPIUID& uid) {
    HRESULT hr = Platform::MapiFindService(wsProfile, kConnectorServiceName, &uid);
    if (hr != MAPI_E_NOT_FOUND || !bCreate)
        return hr;
    Util::CrossProcessLock lock(L"ProfileCreate");
    std::wstring wsLock = L"OstrelProfileCreate-" + Lower(wsProfile.c_str());
    if (!lock.Init(wsLock.c_str()))
        return E_FAIL;
    Util::AutoCrossProcessLock held(lock);
    if (!held.IsLocked())
        return E_FAIL;
    hr = Platform::MapiFindService(wsProfile, kConnectorServiceName, &uid);
    if (hr != MAPI_E_NOT_FOUND)
        return hr;
    // A profile that exists without the service is being set up by someone else.
    hr = Platform::MapiCreateProfile(wsProfile, false);
    if (hr == MAPI_E_COLLISION)
        return MAPI_E_NOT_FOUND;
    if (SUCCEEDED(hr))
        hr = Platform::MapiAddService(wsProfile, kConnectorServiceName, L"Ostrel connector", &uid);
    if (SUCCEEDED(hr))
        OSTLOG_INFO(4, L"Profile '%ls' created for the connector's values", wsProfile.c_str());
    return hr;
}

HRESULT OpenSection(const wchar_t* pwszProfile, bool bWrite, IProfSect** ppSection) {
    *ppSection = nullptr;
    const std::wstring wsProfile = pwszProfile ? pwszProfile : L"";
    MAPIUID uid;
    HRESULT hr = FindConnectorService(wsProfile, bWrite, uid);
    if (FAILED(hr))
        return hr;
    Platform::ComPtr<IMAPISession> pSession;
    hr = MAPILogonEx(0, const_cast<wchar_t*>(wsProfile.c_str()), nullptr, MAPI_UNICODE | MAPI_EXTENDED,
                     pSession.AddressOf());
    if (SUCCEEDED(hr))
        hr = pSession->OpenProfileSection(&uid, nullptr, bWrite ? MAPI_MODIFY : 0, ppSection);
    return hr;
}

HRESULT SetProps(IProfSect* pSection, std::vector<SPropValue>& values) {
    LPSPropProblemArray pProblems = nullptr;
    HRESULT hr = pSection->SetProps(static_cast<ULONG>(values.size()), values.data(), &pProblems);
    if (SUCCEEDED(hr) && pProblems && pProblems->cProblem)
        hr = pProblems->aProblem[0].scode;
    MAPIFreeBuffer(pProblems);
    return hr;
}

HRESULT DeleteProps(IProfSect* pSection, std::initializer_list<ULONG> tags) {
    std::vector<ULONG> buffer(tags.size() + 1);
    buffer[0] = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), buffer.begin() + 1);
    return pSection->DeleteProps(reinterpret_cast<LPSPropTagArray>(buffer.data()), nullptr);
}

// Writes (or with an empty list deletes) properties, logging as the profile values do: an
// unopenable section is expected while a profile is being created; a failed write is an error.
HRESULT WriteValues(const wchar_t* pwszProfile, const wchar_t* pwszName, const wchar_t* pwszAction,
                    std::vector<SPropValue> values, std::initializer_list<ULONG> deleted) {
    HRESULT hrMigrate = MigrateProfileValues(pwszProfile);
    if (FAILED(hrMigrate))
        OSTLOG_WARN(L"Old profile values not carried over (hr:%08X); %ls is written anyway",
                    static_cast<unsigned>(hrMigrate), pwszName);
    Platform::ComPtr<IProfSect> pSection;
    HRESULT hr = OpenSection(pwszProfile, true, pSection.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_INFO(4, L"Failed to %ls. Expected during profile creation. hr:%08X", pwszAction,
                    static_cast<unsigned>(hr));
        return hr;
    }
    if (!values.empty())
        hr = SetProps(pSection.Get(), values);
    if (SUCCEEDED(hr) && deleted.size())
        hr = DeleteProps(pSection.Get(), deleted);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to set %ls. hr: %08X", pwszName, static_cast<unsigned>(hr));
    return hr;
}

// Reads one property. A value the old file may still hold is not reported missing while that
// file cannot be carried over.
HRESULT ReadValue(const wchar_t* pwszProfile, ULONG ulTag, PropHolder& value) {
    HRESULT hrMigrate = MigrateProfileValues(pwszProfile);
    Platform::ComPtr<IProfSect> pSection;
    HRESULT hr = OpenSection(pwszProfile, false, pSection.AddressOf());
    if (hr == MAPI_E_INVALID_PARAMETER || hr == MAPI_E_NOT_FOUND)
        hr = kProfileValueNotFound;
    LPSPropValue pValue = nullptr;
    if (SUCCEEDED(hr))
        hr = HrGetOneProp(pSection.Get(), ulTag, &pValue);
    value.reset(pValue);
    if (hr == kProfileValueNotFound && FAILED(hrMigrate))
        return hrMigrate;
    return hr;
}

SPropValue StringProp(ULONG ulTag, const std::wstring& wsValue) {
    SPropValue value{};
    value.ulPropTag = ulTag;
    value.Value.lpszW = const_cast<wchar_t*>(wsValue.c_str());
    return value;
}

// A secret protected with EncryptPassword.
HRESULT Protect(const wchar_t* pwszSecret, std::vector<BYTE>& blob) {
    blob.clear();
    return Util::EncryptPassword(pwszSecret, blob);
}

std::wstring TokenBinding(const wchar_t* pwszServer, DWORD dwPort, const wchar_t* pwszAccount) {
    return Lower(pwszServer) + L":" + std::to_wstring(dwPort) + L" " + Lower(pwszAccount);
}

HRESULT SetToken(const wchar_t* pwszProfile, const wchar_t* pwszToken, const std::wstring& wsBinding) {
    if (!pwszToken || !*pwszToken)
        return WriteValues(pwszProfile, L"PR_OSTREL_2FA_TRUSTED_TOKEN", L"set PR_OSTREL_2FA_TRUSTED_TOKEN", {},
                           {PR_OSTREL_2FA_TRUSTED_TOKEN, PR_OSTREL_2FA_TRUSTED_FOR});
    std::vector<BYTE> blob;
    HRESULT hr = Protect(pwszToken, blob);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to set PR_OSTREL_2FA_TRUSTED_TOKEN. hr: %08X", static_cast<unsigned>(hr));
        return hr;
    }
    const std::wstring wsProtected = Util::HexEncode(blob);
    std::vector<SPropValue> values{StringProp(PR_OSTREL_2FA_TRUSTED_TOKEN, wsProtected)};
    if (!wsBinding.empty())
        values.push_back(StringProp(PR_OSTREL_2FA_TRUSTED_FOR, wsBinding));
    return WriteValues(pwszProfile, L"PR_OSTREL_2FA_TRUSTED_TOKEN", L"set PR_OSTREL_2FA_TRUSTED_TOKEN",
                       std::move(values), {});
}

HRESULT UnprotectToken(const PropHolder& value, std::wstring& wsToken) {
    std::vector<BYTE> blob;
    if (PROP_TYPE(value->ulPropTag) != PT_UNICODE || !Util::HexDecode(std::wstring_view(value->Value.lpszW), blob))
        return Util::PASSWORD_E_INVALID_BLOB;
    return Util::DecryptPassword(blob, wsToken);
}

HRESULT GetToken(const wchar_t* pwszProfile, const std::wstring* pwsBinding, std::wstring& wsToken) {
    wsToken.clear();
    PropHolder value;
    HRESULT hr = ReadValue(pwszProfile, PR_OSTREL_2FA_TRUSTED_TOKEN, value);
    if (SUCCEEDED(hr))
        hr = UnprotectToken(value, wsToken);
    if (SUCCEEDED(hr) && pwsBinding) {
        PropHolder binding;
        HRESULT hrFor = ReadValue(pwszProfile, PR_OSTREL_2FA_TRUSTED_FOR, binding);
        if (hrFor == kProfileValueNotFound) {
            // Recorded before tokens were kept per server and account: it is this caller's now.
            OSTLOG_INFO(4, L"The trusted-device token of the profile is now kept for this server and account");
            hr = WriteValues(pwszProfile, L"PR_OSTREL_2FA_TRUSTED_FOR", L"set PR_OSTREL_2FA_TRUSTED_FOR",
                             {StringProp(PR_OSTREL_2FA_TRUSTED_FOR, *pwsBinding)}, {});
        } else if (FAILED(hrFor)) {
            hr = hrFor;
        } else if (PROP_TYPE(binding->ulPropTag) != PT_UNICODE || *pwsBinding != binding->Value.lpszW) {
            OSTLOG_INFO(4, L"The trusted-device token of the profile was given for another server or account");
            hr = kProfileValueNotFound;
        }
    }
    if (FAILED(hr)) {
        wsToken.clear();
        OSTLOG_INFO(4, L"Unable to read PR_OSTREL_2FA_TRUSTED_TOKEN from profile hr:%08X", static_cast<unsigned>(hr));
        return hr;
    }
    OSTLOG_INFO(16, L"PR_OSTREL_2FA_TRUSTED_TOKEN = '%s'", kMasked);
    return S_OK;
}

}  // namespace

HRESULT OpenPrimaryServiceProfileSection(const wchar_t* pwszProfile, bool bWrite, IProfSect** ppSection) {
    if (!ppSection)
        return MAPI_E_INVALID_PARAMETER;
    return OpenSection(pwszProfile, bWrite, ppSection);
}

std::filesystem::path ProfileFilePath(const wchar_t* pwszProfile) {
    return Platform::Mapi::ProfileDb::PathOf(pwszProfile ? pwszProfile : L"");
}

HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken) {
    return SetToken(pwszProfile, pwszToken, std::wstring());
}

HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, std::wstring& wsToken) {
    return GetToken(pwszProfile, nullptr, wsToken);
}

HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken, const wchar_t* pwszServer,
                                 DWORD dwPort, const wchar_t* pwszAccount) {
    return SetToken(pwszProfile, pwszToken, TokenBinding(pwszServer, dwPort, pwszAccount));
}

HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, const wchar_t* pwszServer, DWORD dwPort,
                                   const wchar_t* pwszAccount, std::wstring& wsToken) {
    const std::wstring wsBinding = TokenBinding(pwszServer, dwPort, pwszAccount);
    return GetToken(pwszProfile, &wsBinding, wsToken);
}

HRESULT SetStoredPasswordInProfile(const wchar_t* pwszProfile, const wchar_t* pwszPassword) {
    const wchar_t* pwszAction = L"store the password";
    if (!pwszPassword || !*pwszPassword)
        return WriteValues(pwszProfile, L"the stored password", pwszAction, {}, {PR_OSTREL_STORED_PASSWORD});
    std::vector<BYTE> blob;
    HRESULT hr = Protect(pwszPassword, blob);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The password cannot be protected for storing (%08X)", static_cast<unsigned>(hr));
        return hr;
    }
    SPropValue value{};
    value.ulPropTag = PR_OSTREL_STORED_PASSWORD;
    value.Value.bin.cb = static_cast<ULONG>(blob.size());
    value.Value.bin.lpb = blob.data();
    return WriteValues(pwszProfile, L"the stored password", pwszAction, {value}, {});
}

HRESULT GetStoredPasswordFromProfile(const wchar_t* pwszProfile, std::wstring& wsPassword) {
    wsPassword.clear();
    PropHolder value;
    HRESULT hr = ReadValue(pwszProfile, PR_OSTREL_STORED_PASSWORD, value);
    if (SUCCEEDED(hr) && PROP_TYPE(value->ulPropTag) != PT_BINARY)
        hr = MAPI_E_CORRUPT_DATA;
    if (FAILED(hr))
        return hr;
    hr = Util::DecryptPassword(value->Value.bin.lpb, value->Value.bin.cb, wsPassword);
    if (FAILED(hr))
        OSTLOG_ERROR(L"The stored password of the profile cannot be decrypted (%08X)", static_cast<unsigned>(hr));
    return hr;
}

HRESULT SetCURLInProfile(const wchar_t* pwszProfile, const wchar_t* pwszAddress) {
    const wchar_t* pwszAction = L"cache CURL";
    if (!pwszAddress || !*pwszAddress)
        return WriteValues(pwszProfile, L"PR_OSTREL_PROXY_CURL", pwszAction, {}, {PR_OSTREL_PROXY_CURL});
    const std::wstring wsAddress = pwszAddress;
    return WriteValues(pwszProfile, L"PR_OSTREL_PROXY_CURL", pwszAction, {StringProp(PR_OSTREL_PROXY_CURL, wsAddress)},
                       {});
}

HRESULT GetCURLFromProfile(const wchar_t* pwszProfile, std::wstring& wsAddress) {
    wsAddress.clear();
    PropHolder value;
    HRESULT hr = ReadValue(pwszProfile, PR_OSTREL_PROXY_CURL, value);
    if (SUCCEEDED(hr) && PROP_TYPE(value->ulPropTag) != PT_UNICODE)
        hr = MAPI_E_CORRUPT_DATA;
    if (FAILED(hr)) {
        OSTLOG_INFO(4, L"Unable to read PR_OSTREL_PROXY_CURL from profile hr:%08X", static_cast<unsigned>(hr));
        return hr;
    }
    wsAddress = value->Value.lpszW;
    OSTLOG_INFO(4, L"PR_OSTREL_PROXY_CURL = '%s'", wsAddress.c_str());
    return S_OK;
}

HRESULT WritePR_OSTREL_TRUST_CERT_UNTILToProfile(const wchar_t* pwszProfile, const std::wstring& wsRecord) {
    const wchar_t* pwszAction = L"set PR_OSTREL_TRUST_CERT_UNTIL";
    return WriteValues(pwszProfile, L"PR_OSTREL_TRUST_CERT_UNTIL", pwszAction,
                       {StringProp(PR_OSTREL_TRUST_CERT_UNTIL, wsRecord)}, {});
}

HRESULT ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(const wchar_t* pwszProfile, std::wstring& wsRecord) {
    wsRecord.clear();
    PropHolder value;
    HRESULT hr = ReadValue(pwszProfile, PR_OSTREL_TRUST_CERT_UNTIL, value);
    if (SUCCEEDED(hr) && PROP_TYPE(value->ulPropTag) != PT_UNICODE)
        hr = MAPI_E_CORRUPT_DATA;
    if (FAILED(hr)) {
        OSTLOG_INFO(4, L"Unable to read PR_OSTREL_TRUST_CERT_UNTIL from profile");
        return hr;
    }
    wsRecord = value->Value.lpszW;
    OSTLOG_INFO(4, L"PR_OSTREL_TRUST_CERT_UNTIL = '%s'", wsRecord.c_str());
    return S_OK;
}

}  // namespace Ostrel::Mapi
