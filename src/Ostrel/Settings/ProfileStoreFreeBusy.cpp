// The client's Internet free/busy look-up, pointed at the server's published calendars.
#include "Ostrel/Settings/ProfileStore.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "Platform/Registry/Registry.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr int64_t kStartOffsetSeconds = 302400;  // three and a half days back
constexpr DWORD kDefaultPublishMonths = 2;
constexpr DWORD kMaxPublishMonths = 12;

bool SettingSet(const wchar_t* pwszName) {
    Util::RegUtil reg(pwszName);
    DWORD dwValue = 0;
    return reg.QueryValue(dwValue) == ERROR_SUCCESS && dwValue != 0;
}

std::wstring OfficeKey(const wchar_t* pwszTail) {
    int iMajor = 0, iMinor = 0;
    Util::GetOutlookVersion(&iMajor, &iMinor);
    wchar_t path[160];
    std::swprintf(path, 160, L"Software\\Microsoft\\Office\\%d.%d\\Outlook\\%ls", iMajor, iMinor, pwszTail);
    return path;
}

DWORD PublishRangeMonths() {
    HKEY hKey = nullptr;
    DWORD dwMonths = 0;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, OfficeKey(L"Preferences").c_str(), 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        Util::ReadRegDword(hKey, L"FBPublishRange", dwMonths);
        RegCloseKey(hKey);
    }
    if (dwMonths == 0)
        return kDefaultPublishMonths;
    return std::min(dwMonths, kMaxPublishMonths);
}

std::wstring Milliseconds(int64_t llSeconds) {
    return std::to_wstring(llSeconds) + L"000";
}

}  // namespace

void FixFBUrl(int iPort, int useSSL, const wchar_t* pwszServer, const wchar_t* pwszAuthToken) {
    OSTLOG_BLOCK(4, 8192);
    if (SettingSet(L"BypassFBConfig")) {
        OSTLOG_INFO(4, L"bypassing FB URL");
        return;
    }
    if (!pwszAuthToken || !*pwszAuthToken) {
        OSTLOG_INFO(4, L"exiting early, no auth token.");
        return;
    }
    if (!pwszServer || !*pwszServer) {
        OSTLOG_INFO(4, L"exiting early, no server name.");
        return;
    }
    std::wstring wsPort;
    if (!((iPort == 80 && !useSSL) || (iPort == 443 && useSSL)))
        wsPort = L":" + std::to_wstring(iPort);

    // The range starts three and a half days back and runs for the published months, counted in
    // local time (months past December roll into the next year).
    time_t tStart = static_cast<time_t>(Util::CurrentClock().GetUnixTime() - kStartOffsetSeconds);
    struct tm local {};
    localtime_r(&tStart, &local);
    local.tm_mon += static_cast<int>(PublishRangeMonths());
    local.tm_year += local.tm_mon / 12;
    local.tm_mon %= 12;
    local.tm_isdst = -1;
    time_t tEnd = mktime(&local);

    int iMajor = 0;
    Util::GetOutlookVersion(&iMajor, nullptr);
    std::wstring wsUrl = std::wstring(L"http") + (useSSL ? L"s" : L"") + L"://" + pwszServer + wsPort +
                         L"/service/pubcal/freebusy.ifb?acct=%name%@%server%&s=" + Milliseconds(tStart) + L"&e=" +
                         Milliseconds(tEnd);
    if (iMajor < 15 || SettingSet(L"IncludeAuthInOL2013FBURL"))
        wsUrl += std::wstring(L"&oauthtoken=") + pwszAuthToken;

    OSTLOG_INFO(4, L"Setting free busy url to: %s", wsUrl.c_str());
    HKEY hKey = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, OfficeKey(L"Options\\Calendar\\Internet Free/Busy").c_str(), 0,
                                     nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(hKey, L"Read URL", 0, REG_SZ, reinterpret_cast<const BYTE*>(wsUrl.c_str()),
                                static_cast<DWORD>((wsUrl.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(hKey);
    }
    OSTLOG_INFO(4, L"RegKeySetValue = %d", static_cast<int>(status));
}

}  // namespace Ostrel::Mapi
