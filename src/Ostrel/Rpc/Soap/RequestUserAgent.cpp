#include "Ostrel/Rpc/Soap/RequestUserAgent.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <unicode/locid.h>

#include <cstdio>
#include <cstdlib>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"

namespace Ostrel::Rpc {

namespace {

constexpr const wchar_t* kProductVersion = L"8.7.1.1661";

// The first three numbers of the release, missing ones as 0.
void ParseRelease(std::string_view sRelease, int numbers[3]) {
    size_t i = 0;
    for (int n = 0; n < 3; ++n) {
        numbers[n] = 0;
        if (i >= sRelease.size() || sRelease[i] < '0' || sRelease[i] > '9')
            continue;
        int64_t value = 0;
        while (i < sRelease.size() && sRelease[i] >= '0' && sRelease[i] <= '9') {
            value = value * 10 + (sRelease[i++] - '0');
            if (value > 0x7fffffff)
                value = 0x7fffffff;
        }
        numbers[n] = static_cast<int>(value);
        if (i < sRelease.size() && sRelease[i] == '.')
            ++i;
    }
}

// "de_DE.UTF-8@euro" -> "de-DE"; a language alone gets its likely country.
std::wstring LanguageAndCountry(std::string_view sLocale) {
    std::string name(sLocale.substr(0, sLocale.find_first_of(".@")));
    if (name.empty() || name == "C" || name == "POSIX")
        return L"en-US";
    icu::Locale locale(name.c_str());
    if (!*locale.getCountry()) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale likely = locale;
        likely.addLikelySubtags(status);
        if (U_SUCCESS(status))
            locale = likely;
    }
    std::string language = locale.getLanguage();
    std::string country = locale.getCountry();
    if (language.empty() || country.empty())
        return L"en-US";
    return Platform::FromUtf8(language + "-" + country);
}

std::string LocaleFromEnvironment() {
    for (const char* pszName : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* pszValue = std::getenv(pszName); pszValue && *pszValue)
            return pszValue;
    return std::string();
}

}  // namespace

const wchar_t* UserAgentProduct() {
    return Mapi::IsBESOSN() ? L"Ostrel-OSB" : L"Ostrel-OSN";
}

std::wstring FormatUserAgentProcessPart(std::string_view sKernelRelease, std::string_view sLocale, DWORD dwProcessId) {
    int numbers[3];
    ParseRelease(sKernelRelease, numbers);
    wchar_t wszNumbers[64];
    swprintf(wszNumbers, 64, L"%d.%d.%d", numbers[0], numbers[1], numbers[2]);
    wchar_t wszProcess[16];
    swprintf(wszProcess, 16, L"%x", dwProcessId);
    // The service-pack text sits between the numbers and the language; this system has none.
    std::wstring wsServicePack;
    return std::wstring(kProductVersion) + L" (" + wszNumbers + L" " + wsServicePack + L" " +
           LanguageAndCountry(sLocale) + L") P" + wszProcess;
}

const std::wstring& UserAgentProcessPart() {
    // Function-local static: computed once, under the lock the language gives its initialisation.
    static const std::wstring wsPart = [] {
        struct utsname name {};
        std::string sRelease = uname(&name) == 0 ? name.release : "";
        return FormatUserAgentProcessPart(sRelease, LocaleFromEnvironment(), static_cast<DWORD>(getpid()));
    }();
    return wsPart;
}

std::wstring UserAgentVersion(DWORD dwThreadId, LONG requestNumber) {
    wchar_t wszThread[16];
    swprintf(wszThread, 16, L"%x", dwThreadId);
    std::wstring wsVersion = UserAgentProcessPart() + L" T" + wszThread;
    if (requestNumber > 0)
        wsVersion += L" R" + std::to_wstring(requestNumber);
    return wsVersion;
}

std::wstring UserAgentVersion(LONG requestNumber) {
    return UserAgentVersion(static_cast<DWORD>(gettid()), requestNumber);
}

}  // namespace Ostrel::Rpc
