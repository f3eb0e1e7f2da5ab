// The account information (GetInfo): the server version with the features that follow from it,
// the account's names, addresses and limits; look-ups of other accounts; the handheld server's
// configuration updates.
#include "Ostrel/Rpc/Session/UserSession.h"

#include <cwctype>

#include "Ostrel/Rpc/Session/Auth.h"
#include "Ostrel/Rpc/Session/UserSessionInternal.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Text.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"
#include "Util/Text/Guid.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

namespace {

constexpr int kDefaultZipLevel = 4;
constexpr int kMaxZipLevel = 9;
constexpr DWORD kMaxZipListSize = 100;
constexpr int kBESLookupAttempts = 3;

std::wstring Text(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::wstring text;
    wchar_t* pwszValue = nullptr;
    if (Util::XmlUtil::FindNodeValue(pDocument, pwszXPath, &pwszValue) && pwszValue)
        text = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return text;
}

std::vector<std::wstring> Texts(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::vector<std::wstring> texts;
    Platform::ComPtr<IXMLDOMNodeList> list;
    if (pDocument->selectNodes(pwszXPath, list.AddressOf()) != S_OK)
        return texts;
    Platform::ComPtr<IXMLDOMNode> node;
    while (list->nextNode(node.AddressOf()) == S_OK && node) {
        std::wstring text;
        node->get_text(text);
        if (!text.empty())
            texts.push_back(text);
    }
    return texts;
}

// A whole decimal number; anything else (logged) gives 0.
ULONGLONG Number(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::wstring text = Text(pDocument, pwszXPath);
    if (text.empty())
        return 0;
    ULONGLONG value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9' || value > (~0ull - 9) / 10) {
            OSTLOG_WARN(L"%s is not a number: '%s'", pwszXPath, text.c_str());
            return 0;
        }
        value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    return value;
}

DWORD Dword(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    ULONGLONG value = Number(pDocument, pwszXPath);
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

bool IsTrue(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    return Text(pDocument, pwszXPath) == L"TRUE";
}

// The leading digits of `text` from `pos` (0 when there are none).
int LeadingNumber(const std::wstring& text, size_t pos) {
    return Platform::ReadLeadingDecimal(std::wstring_view(text).substr(pos));
}

// A 32-bit value of HKCU\Software\Ostrel; nothing when it is absent or of another type (logged).
std::optional<DWORD> SettingDword(const wchar_t* pwszName) {
    Util::RegUtil reg(pwszName);
    DWORD dwValue = 0;
    LSTATUS status = reg.QueryValue(dwValue);
    if (status == ERROR_SUCCESS)
        return dwValue;
    if (status == ERROR_UNSUPPORTED_TYPE)
        OSTLOG_ERROR(L"HKCU\\Software\\Ostrel %s must be a DWORD; the value is ignored", pwszName);
    return std::nullopt;
}

}  // namespace

HRESULT UserSession::GetInfo() {
    Util::AutoCriticalSection lock(SessionLock());
    if (m_wsAuthToken.empty())
        return Authenticate();  // which fetches the information once signed on
    std::unique_ptr<Response> response;
    try {
        GetInfoRequest request(L"props,attrs,mbox,prefs");
        response = Send(*SignOnConnection(), request);
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"SendRequest failed: %s", e.ExcepText());
        return kNetworkError;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"SendRequest failed: %hs", e.what());
        return E_FAIL;
    }
    if (auto* pFault = dynamic_cast<SoapFaultResponse*>(response.get())) {
        OSTLOG_ERROR(L"SendRequest failed with soap fault %ls", pFault->ErrorCode());
        return E_FAIL;
    }
    Update(response->GetDocument());
    return S_OK;
}

HRESULT UserSession::EnsureInfo() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_bInfoFetched ? S_OK : GetInfo();
}

void UserSession::Update(IXMLDOMDocument2* pDocument) {
    AccountInfo info;
    std::wstring wsId = Text(pDocument, L"//account:attr[@name='ostrelId']");
    Util::Guid id;
    if (!wsId.empty() && Util::Guid::TryParse(wsId, &id))
        info.ostrelId = id.Get();
    else if (!wsId.empty())
        OSTLOG_WARN(L"The account id '%s' is not a GUID", wsId.c_str());
    info.wsName = Text(pDocument, L"//account:name");
    info.wsFromDisplay = Text(pDocument, L"//account:pref[@name='ostrelPrefFromDisplay']");
    info.wsDisplayName = Text(pDocument, L"//account:attr[@name='displayName']");
    info.bAllowAnyFrom = IsTrue(pDocument, L"//account:attr[@name='ostrelAllowAnyFromAddress']");
    info.bIdentities = IsTrue(pDocument, L"//account:attr[@name='ostrelFeatureIdentitiesEnabled']");
    info.bIM = IsTrue(pDocument, L"//account:attr[@name='ostrelFeatureIMEnabled']");
    info.aliases = Texts(pDocument, L"//account:attr[@name='ostrelMailAlias']");
    info.fromAddresses = Texts(pDocument, L"//account:attr[@name='ostrelAllowFromAddress']");
    info.wsPrefFromAddress = Text(pDocument, L"//account:pref[@name='ostrelPrefFromAddress']");
    info.bReplyToEnabled = IsTrue(pDocument, L"//account:pref[@name='ostrelPrefReplyToEnabled']");
    info.wsReplyToAddress = Text(pDocument, L"//account:pref[@name='ostrelPrefReplyToAddress']");
    info.wsReplyToDisplay = Text(pDocument, L"//account:pref[@name='ostrelPrefReplyToDisplay']");
    info.ullQuota = Number(pDocument, L"//account:attr[@name='ostrelMailQuota']");
    info.ullUsed = Number(pDocument, L"//account:used");
    info.dwBlackListMax = Dword(pDocument, L"//account:attr[@name='ostrelMailBlacklistMaxNumEntries']");
    info.dwWhiteListMax = Dword(pDocument, L"//account:attr[@name='ostrelMailWhitelistMaxNumEntries']");
    info.ullMaxMessageSize = Number(pDocument, L"//account:attr[@name='ostrelMtaMaxMessageSize']");
    info.bOutOfOffice = Text(pDocument, L"//account:attr[@name='ostrelFeatureOutOfOfficeReplyEnabled']") != L"FALSE";
    info.bForwarding = IsTrue(pDocument, L"//account:attr[@name='ostrelFeatureMailForwardingEnabled']");
    info.bForwardingInFilters =
        IsTrue(pDocument, L"//account:attr[@name='ostrelFeatureMailForwardingInFiltersEnabled']");

    std::wstring wsVersion = Text(pDocument, L"//account:version");
    Util::AutoCriticalSection lock(SessionLock());
    m_account = std::move(info);
    m_wsVersion = wsVersion;
    size_t firstDot = wsVersion.find(L'.');
    size_t secondDot = firstDot == std::wstring::npos ? std::wstring::npos : wsVersion.find(L'.', firstDot + 1);
    m_iMajor = LeadingNumber(wsVersion, 0);
    m_iMinor = firstDot == std::wstring::npos ? 0 : LeadingNumber(wsVersion, firstDot + 1);
    m_iMaintenance = secondDot == std::wstring::npos ? 0 : LeadingNumber(wsVersion, secondDot + 1);
    if (m_iMajor == 0)
        OSTLOG_ERROR(L"Can't determine server version, hr: 0x%x", static_cast<unsigned>(E_FAIL));
    ComputeFeatures();
    m_bInfoFetched = true;
}

void UserSession::ComputeFeatures() {
    const int major = m_iMajor, minor = m_iMinor, maint = m_iMaintenance;
    Features f;
    f.bNoSession = major >= 5 || (major == 4 && minor > 5) || (major == 4 && minor == 5 && maint >= 6);
    f.bApptAlarm = major >= 5;
    f.bSMIME = major > 7 || (major == 7 && minor >= 1);
    if (!f.bSMIME)
        OSTLOG_INFO(4, L"S/MIME support suppressed due to server version");
    f.bOrphans = major > 7 || (major == 7 && minor > 1) || (major == 7 && minor == 1 && maint >= 2);
    if (!f.bOrphans)
        OSTLOG_INFO(4, L"Multiple orphan appointment support suppressed due to server version");
    f.bWaitsetTypes = major >= 8;
    if (!f.bWaitsetTypes)
        OSTLOG_INFO(4, L"Individual waitset type flags not used due to server version");
    f.bTagIds = major < 9;
    f.bTagNames = major >= 8;
    if (!f.bTagNames)
        OSTLOG_INFO(4, L"Tag names not used due to server version -> shared tags will not be supported");
    f.bOSV8 = major >= 8;
    if (!f.bOSV8)
        OSTLOG_INFO(4, L"Notes and Posts sync etc not supported due to server version");

    f.iZipLevel = -1;
    if (major >= 5 && !Mapi::IsBESOSN()) {
        f.iZipLevel = kDefaultZipLevel;
        if (std::optional<DWORD> level = SettingDword(L"ZipLevel")) {
            OSTLOG_INFO(1, L"Zip level overridden in HKCU\\Software\\Ostrel DWORD %d", static_cast<int>(*level));
            if (*level > static_cast<DWORD>(kMaxZipLevel)) {
                OSTLOG_WARN(L"Zip level out of range (>9). Disabling ZIP formatting");
                f.iZipLevel = -1;
            } else {
                f.iZipLevel = static_cast<int>(*level);
            }
        }
    }
    f.iZipListSize = static_cast<int>(kMaxZipListSize);
    if (major >= 5) {
        if (std::optional<DWORD> size = SettingDword(L"ZipListSize")) {
            // No list at all would stall every download; 0 keeps the default.
            if (*size != 0)
                f.iZipListSize = static_cast<int>(std::min(*size, kMaxZipListSize));
            OSTLOG_INFO(1, L"ZipListSize: %d items", f.iZipListSize);
        }
    }
    m_features = f;
}

// ---- Version and features ----

std::wstring UserSession::GetVersionText() {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return m_wsVersion;
}

int UserSession::GetMajorVersion() {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return m_iMajor;
}

int UserSession::GetMinorVersion() {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return m_iMinor;
}

int UserSession::GetMaintenanceVersion() {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return m_iMaintenance;
}

bool UserSession::SetNoSession() {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return m_features.bNoSession;
}

#define OSTREL_FEATURE(method, expression)             \
    int UserSession::method() {                        \
        Util::AutoCriticalSection lock(SessionLock()); \
        EnsureInfo();                                  \
        return (expression);                           \
    }

OSTREL_FEATURE(SetSupportOSV8, m_features.bOSV8)
OSTREL_FEATURE(SetSupportTagNames, m_features.bTagNames)
OSTREL_FEATURE(SetSupportTagIds, m_features.bTagIds)
OSTREL_FEATURE(SetSupportWaitsetTypes, m_features.bWaitsetTypes)
OSTREL_FEATURE(SetSupportOrphanFlag, m_features.bOrphans)
OSTREL_FEATURE(SetSupportSMIME, m_features.bSMIME)
OSTREL_FEATURE(SetSupportApptAlarm, m_features.bApptAlarm)
OSTREL_FEATURE(SetZipLevel, m_features.iZipLevel)
OSTREL_FEATURE(SetZipListSize, m_features.iZipListSize)

#undef OSTREL_FEATURE

bool UserSession::IsServerVersionSupported() {
    Util::AutoCriticalSection lock(SessionLock());
    auto session = GetInstance();
    if (!session) {
        OSTLOG_ERROR(L"no instance of user session yet, this is bad");
        return false;
    }
    HRESULT hr = session->EnsureInfo();
    if (FAILED(hr) || session->m_iMajor == 0) {
        OSTLOG_ERROR(L"Can't determine server version, hr: 0x%x", static_cast<unsigned>(FAILED(hr) ? hr : E_FAIL));
        return true;
    }
    int major = session->m_iMajor, minor = session->m_iMinor;
    if (major > 4 || (major == 4 && minor >= 5))
        return true;
    OSTLOG_ERROR(L"the server is too old: major(%d), minor(%d)", major, minor);
    return false;
}

bool UserSession::IsOSV8orLater() {
    auto session = GetInstance();
    return session && session->SetSupportOSV8();
}

bool UserSession::IsBESConfigUpdateSupported() {
    Util::AutoCriticalSection lock(SessionLock());
    auto session = GetInstance();
    if (!session) {
        OSTLOG_ERROR(L"no instance of user session yet, this is bad");
        return false;
    }
    if (session->m_iMajor == 0) {
        HRESULT hr = session->GetInfo();
        if (FAILED(hr) || session->m_iMajor == 0) {
            OSTLOG_WARN(L"can't determine server version, hr: 0x%x", static_cast<unsigned>(FAILED(hr) ? hr : E_FAIL));
            return true;
        }
    }
    int major = session->m_iMajor, maint = session->m_iMaintenance;
    if (major > 6 || (major == 6 && maint >= 2))
        return true;
    OSTLOG_WARN(L"the server is too old: major(%d), minor(%d), maintenance(%d)", major, session->m_iMinor, maint);
    return false;
}

bool UserSession::IsBESConfigUpdateEnabled() {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Ostrel", 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return true;
    DWORD dwValue = 0;
    LSTATUS status = Util::ReadRegDword(hKey, L"BESConfigUpdateDisabled", dwValue);
    RegCloseKey(hKey);
    return status != ERROR_SUCCESS || dwValue == 0;
}

// ---- The account ----

#define OSTREL_ACCOUNT(type, method, expression)       \
    type UserSession::method() {                       \
        Util::AutoCriticalSection lock(SessionLock()); \
        EnsureInfo();                                  \
        return (expression);                           \
    }

OSTREL_ACCOUNT(std::wstring, EmailAddress, m_account.wsName)
OSTREL_ACCOUNT(std::wstring, DisplayName, m_account.wsDisplayName)
OSTREL_ACCOUNT(GUID, OstrelId, m_account.ostrelId)
OSTREL_ACCOUNT(std::wstring, GetPrefFromDisplay, m_account.wsFromDisplay)
OSTREL_ACCOUNT(size_t, GetFromAddressCount, m_account.fromAddresses.size())
OSTREL_ACCOUNT(size_t, GetMailAliasCount, m_account.aliases.size())
OSTREL_ACCOUNT(std::wstring, GetPrefFromAddress, m_account.wsPrefFromAddress)
OSTREL_ACCOUNT(bool, GetPrefReplyToEnabled, m_account.bReplyToEnabled)
OSTREL_ACCOUNT(std::wstring, GetPrefReplyToAddress, m_account.wsReplyToAddress)
OSTREL_ACCOUNT(std::wstring, GetPrefReplyToName, m_account.wsReplyToDisplay)
OSTREL_ACCOUNT(bool, GetAllowAnyFromAddress, m_account.bAllowAnyFrom)
OSTREL_ACCOUNT(bool, GetFeatureIMEnabled, m_account.bIM)
OSTREL_ACCOUNT(bool, GetFeatureIdentitiesEnabled, m_account.bIdentities)
OSTREL_ACCOUNT(ULONGLONG, GetMaxMessageSize, m_account.ullMaxMessageSize)
OSTREL_ACCOUNT(bool, IsOOOFeatureEnabled, m_account.bOutOfOffice)
OSTREL_ACCOUNT(bool, IsMailForwardingEnabled, m_account.bForwarding)
OSTREL_ACCOUNT(bool, IsMailForwardingInFiltersEnabled, m_account.bForwardingInFilters)

#undef OSTREL_ACCOUNT

std::wstring UserSession::GetFromAddress(size_t i) {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return i < m_account.fromAddresses.size() ? m_account.fromAddresses[i] : std::wstring();
}

std::wstring UserSession::GetMailAlias(size_t i) {
    Util::AutoCriticalSection lock(SessionLock());
    EnsureInfo();
    return i < m_account.aliases.size() ? m_account.aliases[i] : std::wstring();
}

bool UserSession::GetCurrentQuotaInfo(ULONGLONG& ullQuota, ULONGLONG& ullUsed) {
    Util::AutoCriticalSection lock(SessionLock());
    if (FAILED(EnsureInfo()))
        return false;
    ullQuota = m_account.ullQuota;
    ullUsed = m_account.ullUsed;
    return true;
}

bool UserSession::GetCurrentWhiteBlackListMaxNumEntries(DWORD& dwBlackList, DWORD& dwWhiteList) {
    Util::AutoCriticalSection lock(SessionLock());
    if (FAILED(EnsureInfo()))
        return false;
    dwBlackList = m_account.dwBlackListMax;
    dwWhiteList = m_account.dwWhiteListMax;
    return true;
}

// ---- Other accounts ----

namespace {

std::wstring CacheKey(const wchar_t* pwszAccount, int byName) {
    return (byName ? L"n:" : L"i:") + Platform::FoldCase(pwszAccount ? pwszAccount : L"");
}

}  // namespace

HRESULT UserSession::GetUserAccountInfo(const wchar_t* pwszAccount, UserInfo& info, int byName) {
    if (!pwszAccount || !*pwszAccount)
        return E_INVALIDARG;
    std::wstring key = CacheKey(pwszAccount, byName);
    {
        std::lock_guard<std::mutex> lock(m_lookupMutex);
        auto it = m_lookups.find(key);
        if (it != m_lookups.end()) {
            info = it->second;
            return S_OK;
        }
    }
    bool bBES = Mapi::IsBESOSN();
    int attempts = bBES ? kBESLookupAttempts : 1;
    HRESULT hr = E_FAIL;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        hr = LookUpAccount(pwszAccount, byName, info);
        if (SUCCEEDED(hr))
            break;
        if (attempt < attempts)
            OSTLOG_INFO(4, L"this is BES so we'll try again [%d of %d]", attempt, attempts - 1);
    }
    if (bBES) {
        if (FAILED(hr))
            OSTLOG_ERROR(L"BES Version - this function failed after %d retries", attempts - 1);
        else
            OSTLOG_INFO(4, L"BES Version - this function succeeded");
    }
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> lock(m_lookupMutex);
        m_lookups[key] = info;
    }
    return hr;
}

HRESULT UserSession::LookUpAccount(const wchar_t* pwszAccount, int byName, UserInfo& info) {
    Util::AutoCriticalSection lock(SessionLock());
    std::unique_ptr<Response> response;
    try {
        AuthToken();
        GetAccountInfoRequest request(pwszAccount, byName);
        response = Send(*SignOnConnection(), request);
        if (Connection::CheckForErrorAndReAuthIfReqd(response.get(), false, this)) {
            response = Send(*SignOnConnection(), request);
            Connection::CheckForErrorAndReAuthIfReqd(response.get(), true, this);
        }
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"GetAccountInfoRequest for '%s' failed: %s", pwszAccount, e.ExcepText());
        return E_FAIL;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"GetAccountInfoRequest for '%s' failed: %hs", pwszAccount, e.what());
        return E_FAIL;
    }
    IXMLDOMDocument2* pDocument = response->GetDocument();
    UserInfo found;
    found.wsEmail = Text(pDocument, L"//account:name");
    if (found.wsEmail.empty()) {
        OSTLOG_ERROR(L"could not find the email node");
        return E_FAIL;
    }
    found.wsOstrelId = Text(pDocument, L"//account:attr[@name='ostrelId']");
    if (found.wsOstrelId.empty()) {
        OSTLOG_ERROR(L"could not find the ostrel id");
        return E_FAIL;
    }
    found.wsMailHost = Text(pDocument, L"//account:attr[@name='ostrelMailHost']");
    if (found.wsMailHost.empty())
        OSTLOG_WARN(L"could not find OstrelMailHost");
    info = std::move(found);
    return S_OK;
}

HRESULT UserSession::GetUserEmail(const wchar_t* pwszAccount, std::wstring& wsEmail) {
    UserInfo info;
    HRESULT hr = GetUserAccountInfo(pwszAccount, info);
    wsEmail = SUCCEEDED(hr) ? info.wsEmail : std::wstring();
    return hr;
}

HRESULT UserSession::GetUserOstrelID(const wchar_t* pwszAccount, std::wstring& wsOstrelId) {
    UserInfo info;
    HRESULT hr = GetUserAccountInfo(pwszAccount, info);
    wsOstrelId = SUCCEEDED(hr) ? info.wsOstrelId : std::wstring();
    return hr;
}

void UserSession::RemoveUserAccountInfoFromCache(const wchar_t* pwszAccount) {
    std::lock_guard<std::mutex> lock(m_lookupMutex);
    m_lookups.erase(CacheKey(pwszAccount, 1));
    m_lookups.erase(CacheKey(pwszAccount, 0));
}

}  // namespace Ostrel::Rpc
