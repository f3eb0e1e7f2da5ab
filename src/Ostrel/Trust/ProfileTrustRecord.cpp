#include "Ostrel/Trust/ProfileTrustRecord.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

constexpr std::wstring_view kTimeMarker = L"#LCIND# ";
constexpr std::wstring_view kCheckMarker = L"#CHK# ";

// "HH:MM:SS MM/DD/YYYY" (UTC) as Unix seconds.
std::optional<int64_t> ParseInvariantDateTime(const std::wstring& wsText) {
    int iHour = 0, iMinute = 0, iSecond = 0, iMonth = 0, iDay = 0, iYear = 0;
    wchar_t tail = 0;
    if (std::swscanf(wsText.c_str(), L"%2d:%2d:%2d %2d/%2d/%4d%lc", &iHour, &iMinute, &iSecond, &iMonth, &iDay, &iYear,
                     &tail) != 6)
        return std::nullopt;
    if (iHour > 23 || iMinute > 59 || iSecond > 59 || iMonth < 1 || iMonth > 12 || iDay < 1 || iDay > 31 ||
        iYear < 1970)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = iYear - 1900;
    tm.tm_mon = iMonth - 1;
    tm.tm_mday = iDay;
    tm.tm_hour = iHour;
    tm.tm_min = iMinute;
    tm.tm_sec = iSecond;
    std::time_t t = timegm(&tm);
    std::tm check{};
    if (t == static_cast<std::time_t>(-1) || !gmtime_r(&t, &check) || check.tm_mday != iDay)
        return std::nullopt;  // 31 April and the like
    return static_cast<int64_t>(t);
}

}  // namespace

std::wstring FormatProfileTrustRecord(const Platform::CertFingerprint& sha1, int64_t llUntil) {
    std::time_t t = static_cast<std::time_t>(llUntil);
    std::tm tm{};
    wchar_t when[40] = L"";
    if (gmtime_r(&t, &tm))
        std::wcsftime(when, 40, L"%H:%M:%S %m/%d/%Y", &tm);
    return std::wstring(kTimeMarker) + when + L" " + std::wstring(kCheckMarker) + Platform::FingerprintToHex(sha1) +
           L" ";
}

std::optional<ProfileTrust> ParseProfileTrustRecord(const std::wstring& wsRecord) {
    if (wsRecord.empty()) {
        OSTLOG_INFO(4, L"No trust details configured");
        return std::nullopt;
    }
    size_t check = wsRecord.find(kCheckMarker);
    if (check == std::wstring::npos) {
        OSTLOG_INFO(4, L"Legacy trust detected -> ignoring");
        return std::nullopt;
    }
    size_t hexStart = check + kCheckMarker.size();
    size_t hexEnd = wsRecord.find(L' ', hexStart);
    if (hexEnd == std::wstring::npos) {
        OSTLOG_WARN(L"Corrupt trust detected -> ignoring");
        return std::nullopt;
    }
    if (hexEnd - hexStart != 40 && hexEnd - hexStart != 41) {
        OSTLOG_WARN(L"Corrupt trust len detected -> ignoring");
        return std::nullopt;
    }
    std::vector<BYTE> bytes;
    ProfileTrust trust;
    if (!Util::HexDecode(std::wstring_view(wsRecord).substr(hexStart, hexEnd - hexStart), bytes) ||
        bytes.size() != trust.sha1.size()) {
        OSTLOG_WARN(L"Corrupt decoded trust len detected -> ignoring");
        return std::nullopt;
    }
    std::copy(bytes.begin(), bytes.end(), trust.sha1.begin());
    size_t timeAt = wsRecord.find(kTimeMarker);
    if (timeAt == 0 && check > kTimeMarker.size()) {
        trust.llUntil = ParseInvariantDateTime(wsRecord.substr(kTimeMarker.size(), check - 1 - kTimeMarker.size()));
        if (!trust.llUntil)
            OSTLOG_WARN(L"Failed to parse trust date from string '%s'", wsRecord.c_str());
    } else if (timeAt != std::wstring::npos) {
        OSTLOG_WARN(L"Failed to parse trust date from string '%s'", wsRecord.c_str());
    }
    return trust;
}

}  // namespace Ostrel::Mapi
