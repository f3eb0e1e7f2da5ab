// Server strings of the calendar enumerations.
#include "Ostrel/Model/Calendar/AppointmentEnums.h"

namespace Ostrel::Mail {

namespace {

wchar_t AsciiUpper(wchar_t wc) {
    return wc >= L'a' && wc <= L'z' ? static_cast<wchar_t>(wc - L'a' + L'A') : wc;
}

}  // namespace

bool EqualsServerString(const wchar_t* pwszText, const wchar_t* pwszServer) {
    if (!pwszText || !pwszServer)
        return false;
    for (; *pwszText && *pwszServer; ++pwszText, ++pwszServer) {
        if (AsciiUpper(*pwszText) != AsciiUpper(*pwszServer))
            return false;
    }
    return *pwszText == *pwszServer;
}

const wchar_t* CompImportance::ToString() const {
    switch (m_lValue) {
        case LOW:
            return L"9";
        case HIGH:
            return L"1";
        default:
            return L"5";
    }
}

CompImportance CompImportance::FromString(const wchar_t* pwszText) {
    if (!pwszText || !*pwszText)
        return NORMAL;
    int iPriority = 0;
    for (const wchar_t* pwc = pwszText; *pwc; ++pwc) {
        if (*pwc < L'0' || *pwc > L'9')
            return NORMAL;
        iPriority = iPriority * 10 + (*pwc - L'0');
        if (iPriority > 9)
            return NORMAL;
    }
    if (iPriority >= 1 && iPriority <= 4)
        return HIGH;
    if (iPriority >= 6)
        return LOW;
    return NORMAL;
}

namespace {

struct DayName {
    DayOfWeek::Value value;
    const wchar_t* pwszName;
};

constexpr DayName kDayNames[] = {
    {DayOfWeek::SU, L"SU"}, {DayOfWeek::MO, L"MO"}, {DayOfWeek::TU, L"TU"}, {DayOfWeek::WE, L"WE"},
    {DayOfWeek::TH, L"TH"}, {DayOfWeek::FR, L"FR"}, {DayOfWeek::SA, L"SA"},
};

}  // namespace

const wchar_t* DayOfWeek::ToString() const {
    for (const DayName& day : kDayNames) {
        if (day.value == m_lValue)
            return day.pwszName;
    }
    return L"SU";
}

DayOfWeek DayOfWeek::FromString(const wchar_t* pwszText) {
    for (const DayName& day : kDayNames) {
        if (EqualsServerString(pwszText, day.pwszName))
            return day.value;
    }
    return SU;
}

}  // namespace Ostrel::Mail
