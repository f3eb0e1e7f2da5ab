// Month and year arithmetic of the calendar a recurrence pattern is kept in. Monthly and yearly
// series of a lunar or other non-Gregorian calendar (Hijri, Hebrew, Chinese and Korean lunar,
// Saka) run on that calendar's months: their lengths, leap months and years. Calendars whose
// months are the Gregorian ones (Japanese, Taiwanese, Korean and Thai eras, the localized
// Gregorian variants) count as Gregorian.
//
// Days are counted since 1601-01-01 (day 0), as in RecurrenceTime.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <memory>

namespace Ostrel::Mapi {

// One month of a calendar.
struct RecurrenceMonth {
    LONG lFirst = 0;     // its first day
    int cDays = 0;       // its length
    int iYear = 0;       // the calendar's year
    int iMonth = 0;      // the month's name as a number, 1-based (Hebrew: 1 Tishrei ... 6 Adar I, 7 Adar, ... 13 Elul)
    bool bLeap = false;  // a leap month (Chinese and Korean lunar calendars)
};

class RecurrenceCalendar {
public:
    // The blob's calendar types.
    static constexpr USHORT kCalGregorian = 0;
    static constexpr USHORT kCalHijri = 6;
    static constexpr USHORT kCalHebrew = 8;
    static constexpr USHORT kCalLunarJapanese = 0x0E;
    static constexpr USHORT kCalChineseLunar = 0x0F;
    static constexpr USHORT kCalSaka = 0x10;
    static constexpr USHORT kCalLunarEtoChinese = 0x11;
    static constexpr USHORT kCalLunarEtoKorean = 0x12;
    static constexpr USHORT kCalLunarRokuyou = 0x13;
    static constexpr USHORT kCalLunarKorean = 0x14;
    static constexpr USHORT kCalUmAlQura = 0x17;

    virtual ~RecurrenceCalendar() = default;

    // The calendar of a pattern (the Hijri pattern types mean Hijri whatever the calendar type
    // says); null when the calendar cannot be set up (logged).
    static std::unique_ptr<RecurrenceCalendar> Create(USHORT wCalendarType, USHORT wPatternType);
    // Whether the pattern's months are Gregorian ones.
    static bool IsGregorian(USHORT wCalendarType, USHORT wPatternType);

    // The month containing the day.
    virtual RecurrenceMonth MonthOf(LONG lDay) const = 0;
    // The month of that name in the year. A month the year lacks gives the one that stands for
    // it: Adar I of a common Hebrew year is Adar, a leap month is taken as the regular month.
    virtual RecurrenceMonth Month(int iYear, int iMonth) const = 0;
    // The month n months (every leap month counting) after the given one.
    virtual RecurrenceMonth After(const RecurrenceMonth& month, LONG lMonths) const;
    // Months from one month to a later one.
    virtual LONG MonthsBetween(const RecurrenceMonth& from, const RecurrenceMonth& to) const = 0;
    // The first month of the calendar's first year that begins on or after 1601-01-01, where
    // the period of a series is counted from.
    virtual RecurrenceMonth FirstMonth() const = 0;
    // The highest month number a year may have (12, 13 for the Hebrew calendar).
    virtual int MaxMonth() const = 0;
    // Whether a conversion failed since the calendar was set up (its results are then void).
    virtual bool Failed() const { return false; }
};

}  // namespace Ostrel::Mapi
