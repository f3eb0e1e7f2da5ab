// A time zone as the server describes it, and its conversions to the Windows and Outlook forms:
// TIME_ZONE_INFORMATION, the registry "TZI" layout, Outlook's fixed 48-byte structure and its
// variable-length time zone definition blob.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentText.h"
#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mail {

class TimeZone {
public:
    // Outlook's fixed time zone structure (the appointment's time zone property), byte for byte.
    struct OlkTimeZone {
        LONG lBias;
        LONG lStandardBias;
        LONG lDaylightBias;
        WORD wStandardYear;
        SYSTEMTIME stStandardDate;
        WORD wDaylightYear;
        SYSTEMTIME stDaylightDate;
    };

    // The Windows registry "TZI" value.
    struct _TZI {
        LONG Bias;
        LONG StandardBias;
        LONG DaylightBias;
        SYSTEMTIME StandardDate;
        SYSTEMTIME DaylightDate;
    };

    // Sizes of the time zone definition blob: its fixed header without the key name, and one rule.
    static constexpr ULONG kDefinitionHeaderSize = 10;
    static constexpr ULONG kDefinitionRuleSize = 66;
    // The longest key name a definition may carry (a registry key name).
    static constexpr ULONG kMaxKeyNameChars = 263;

    // All fields zero; the id is copied (null allowed).
    explicit TimeZone(const wchar_t* pwszId = nullptr);
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

    // Copies every field and the id.
    void Initialize(const TimeZone& other);
    // Offsets and rules from a Windows zone; the id becomes its standard name.
    void Initialize(const TIME_ZONE_INFORMATION& tzi);
    // Offsets and rules from Outlook's structure; the id is copied.
    void Initialize(const OlkTimeZone& olk, const wchar_t* pwszId);

    void SetId(const wchar_t* pwszId) { m_id.Set(pwszId); }
    const wchar_t* GetId() const { return m_id.Get(); }

    // Minutes east of UTC in standard time and while daylight time is in force.
    void SetStandardOffset(LONG lMinutes) { m_lStandardOffset = lMinutes; }
    LONG GetStandardOffset() const { return m_lStandardOffset; }
    void SetDaylightOffset(LONG lMinutes) { m_lDaylightOffset = lMinutes; }
    LONG GetDaylightOffset() const { return m_lDaylightOffset; }

    // A yearly rule: the week-th (1-5, 5 = last) weekday (0 = Sunday) of month (1-12; 0 = no
    // transitions) at hour:minute:second. Week -1 means the last week; week 0 derives the week
    // from lMonthDay (the day of the month the rule was observed on).
    void SetStandardStart(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                          LONG lMonthDay = 0);
    void SetDaylightStart(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                          LONG lMonthDay = 0);
    // The rules in the Windows relative form (wYear 0, wDay = week).
    void GetStandardStart(SYSTEMTIME& st) const { st = m_standardStart.ToSystemTime(); }
    void GetDaylightStart(SYSTEMTIME& st) const { st = m_daylightStart.ToSystemTime(); }

    bool HasTransition() const { return m_standardStart.lMonth != 0; }

    // Fill the Windows and Outlook forms (names left empty). Always true.
    bool PopulateTimeZoneInfo(TIME_ZONE_INFORMATION& tzi) const;
    bool PopulateTimeZoneInfo(OlkTimeZone& olk) const;
    bool PopulateTimeZoneInfo(_TZI& tzi) const;

    // The daylight rule as the absolute date it falls on in wYear. False (with the relative rule
    // in st) when the rule is not a valid relative one or the year is out of range.
    bool GetNormalizeDstStartDate(SYSTEMTIME& st, int iYear) const;

    // Reads Outlook's time zone definition blob: the last rule whose year is not in the future
    // goes into olk, and *ppwszKeyName receives a copy of the key name (free it with
    // Util::SafeDelete). MAPI_E_NOT_FOUND for a malformed blob or one with only future rules;
    // olk is then unchanged and *ppwszKeyName null.
    static HRESULT ParseOLTimeZoneProp(const BYTE* pb, ULONG cb, OlkTimeZone& olk, wchar_t** ppwszKeyName);

    // Builds the definition blob of this zone with one rule; *ppb is allocated with new[] and
    // freed by the caller with delete[]. False (nothing allocated) for null arguments or an id
    // longer than a key name may be.
    bool MakeOLTimeZoneProp(BYTE** ppb, ULONG* pcb) const;

private:
    struct Rule {
        LONG lWeek = 0;
        LONG lWeekday = 0;
        LONG lMonth = 0;
        LONG lHour = 0;
        LONG lMinute = 0;
        LONG lSecond = 0;

        static Rule Make(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                         LONG lMonthDay);
        static Rule FromSystemTime(const SYSTEMTIME& st);
        SYSTEMTIME ToSystemTime() const;
        // The form written into the Windows structures: seconds are not carried there.
        SYSTEMTIME ToTransitionDate() const;
    };

    // What the three Windows and Outlook forms share.
    struct WindowsForm {
        LONG lBias = 0;
        LONG lDaylightBias = 0;
        SYSTEMTIME stStandardDate{};
        SYSTEMTIME stDaylightDate{};
    };
    WindowsForm ToWindowsForm() const;

    OwnedText m_id;
    LONG m_lStandardOffset = 0;
    Rule m_standardStart;
    LONG m_lDaylightOffset = 0;
    Rule m_daylightStart;
};

static_assert(sizeof(TimeZone::OlkTimeZone) == 48, "OlkTimeZone must keep Outlook's layout");
static_assert(sizeof(TimeZone::_TZI) == 44, "_TZI must keep the registry layout");

}  // namespace Ostrel::Mail
