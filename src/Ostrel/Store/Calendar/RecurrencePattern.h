// The recurrence rule of a recurring appointment or task as the store keeps it: the
// AppointmentRecurrencePattern blob (for tasks its inner RecurrencePattern alone), read into
// fields, validated, computed and written back.
//
// All dates and times are minutes since 1601-01-01 00:00 in the pattern's local time; a date
// field holds the minutes of a midnight.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Ostrel/Store/Calendar/RecurrenceException.h"
#include "Platform/Com/Stream.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Ostrel::Mapi {

class Appt;
class LittleEndianReader;
class LittleEndianWriter;
class RecurrenceCalendar;
struct RecurrenceMonth;

class COutlookRecurrencePattern {
public:
    // Frequencies.
    static constexpr USHORT kFreqDaily = 0x200A;
    static constexpr USHORT kFreqWeekly = 0x200B;
    static constexpr USHORT kFreqMonthly = 0x200C;
    static constexpr USHORT kFreqYearly = 0x200D;
    // Pattern types.
    static constexpr USHORT kPatternDay = 0x0000;
    static constexpr USHORT kPatternWeek = 0x0001;
    static constexpr USHORT kPatternMonth = 0x0002;
    static constexpr USHORT kPatternMonthNth = 0x0003;
    static constexpr USHORT kPatternMonthEnd = 0x0004;
    static constexpr USHORT kPatternHjMonth = 0x000A;
    static constexpr USHORT kPatternHjMonthNth = 0x000B;
    static constexpr USHORT kPatternHjMonthEnd = 0x000C;
    // End types.
    static constexpr ULONG kEndAfterDate = 0x2021;
    static constexpr ULONG kEndAfterCount = 0x2022;
    static constexpr ULONG kEndNever = 0x2023;
    static constexpr ULONG kEndNeverAlt = 0xFFFFFFFF;
    // Versions.
    static constexpr ULONG kSignature = 0x30043004;
    static constexpr ULONG kReaderVersion2 = 0x3006;
    static constexpr ULONG kWriterVersion2 = 0x3008;
    static constexpr ULONG kWriterVersionHighlight = 0x3009;
    // Outlook's recurrence types (OlRecurrenceType).
    static constexpr int olRecursDaily = 0;
    static constexpr int olRecursWeekly = 1;
    static constexpr int olRecursMonthly = 2;
    static constexpr int olRecursMonthNth = 3;
    static constexpr int olRecursYearly = 5;
    static constexpr int olRecursYearNth = 6;

    explicit COutlookRecurrencePattern(Appt* pAppt = nullptr);
    COutlookRecurrencePattern(const COutlookRecurrencePattern& other);
    COutlookRecurrencePattern& operator=(const COutlookRecurrencePattern& other);
    ~COutlookRecurrencePattern();

    // Reads and validates a blob from the stream's position. MAPI_E_CORRUPT_DATA for any invalid
    // or missing field (logged with its name); the pattern is then not loaded.
    HRESULT InitFromRecurrenceStream(IStream* pStream);
    // Writes the fields as they stand (no computation), for an appointment or, with the task
    // flag, the task form. Failed writes are logged with the field that did not get through.
    HRESULT WriteRecurrenceStream(IStream* pStream) const;

    // Reads the owning item's recurrence property (the pattern's zone from the structure and
    // name given, when given; the task form when bIsTask).
    HRESULT LoadRecurrence(const Mail::TimeZone::OlkTimeZone* pOlk, const wchar_t* pwszZoneName, int bIsTask);
    // Computes the derived fields, writes the owning item's recurrence property and the item
    // properties that must agree with it (start, end, clip times, flags, type, legacy zone).
    HRESULT SaveRecurrence();

    bool IsLoaded() const { return m_bLoaded; }
    bool GetIsTask() const { return m_bIsTask; }
    void SetIsTask(bool b) { m_bIsTask = b; }
    Mail::TimeZone& GetRefOutlookRecurrencePatternTZ() { return m_timeZone; }
    const Mail::TimeZone& GetRefOutlookRecurrencePatternTZ() const { return m_timeZone; }
    void SetOutlookRecurrencePatternTZ(const Mail::TimeZone& tz) { m_timeZone.Initialize(tz); }

    // ---- The rule -------------------------------------------------------------------------
    // Outlook's recurrence type (olRecurs...), mapped to frequency and pattern type.
    int GetRecurrenceType() const;
    void SetRecurrenceType(int iType);
    // Days, weeks, months or years, as the frequency counts.
    ULONG GetInterval() const;
    void SetInterval(ULONG ulInterval);
    ULONG GetDayOfWeekMask() const { return m_ulWeekDayMask; }
    void SetDayOfWeekMask(ULONG ul) { m_ulWeekDayMask = ul; }
    ULONG GetDayOfMonth() const { return m_ulDayOfMonth; }
    void SetDayOfMonth(ULONG ul) { m_ulDayOfMonth = ul; }
    // The week of the month (1-4, 5 = last).
    ULONG GetInstance() const { return m_ulMonthOccurence; }
    void SetInstance(ULONG ul) { m_ulMonthOccurence = ul; }
    // In the numbering of the pattern's calendar (Hebrew: 1 Tishrei ... 6 Adar I, 7 Adar ... 13 Elul).
    ULONG GetMonthOfYear() const { return m_ulMonthOfYear; }
    void SetMonthOfYear(ULONG ul) { m_ulMonthOfYear = ul; }
    bool GetNoEndDate() const { return m_ulEndType == kEndNever || m_ulEndType == kEndNeverAlt; }
    // A series without end gets the end date 4500-12-31 and, as Outlook writes it, the count 10.
    void SetNoEndDate(bool bNoEnd);
    ULONG GetEndType() const { return m_ulEndType; }
    ULONG GetOccurrences() const { return m_ulOccurrenceCount; }
    void SetOccurrences(ULONG ulCount);
    // The first occurrence's start (date and time of day) in UTC; false when it cannot be converted.
    bool GetStartDateTime(FILETIME& ftUtc) const;
    bool SetStartDateTime(const FILETIME& ftUtc);
    // Minutes after midnight; the end may pass 1440.
    ULONG GetStartTime() const { return m_ulStartTime; }
    ULONG GetEndTime() const { return m_ulEndTime; }
    // The first occurrence's end in UTC: sets the end time relative to the start date.
    bool SetEndDateTime(const FILETIME& ftUtc);
    // The last occurrence's date (midnight, converted to UTC); setting it ends the series by date.
    bool GetEndDate(FILETIME& ftUtc) const;
    bool SetEndDate(const FILETIME& ftUtc);
    // Tasks: the next occurrence is generated from the completion of the previous one.
    bool GetRegenerate() const { return m_ulSlidingFlag != 0; }
    void SetRegenerate(bool b) { m_ulSlidingFlag = b ? 1 : 0; }
    // The value of the item's recurrence-type property: 1 daily, 2 weekly, 3 monthly, 4 yearly.
    ULONG GetPRRecurrenceType() const;
    void ClearRecurrencePattern();

    // ---- Exceptions -----------------------------------------------------------------------
    size_t GetExceptionCount() const { return m_ModifiedExceptionsDetails.size(); }
    COutlookRecurrenceException* GetException(size_t i) const;
    ULONG GetExceptionOriginalDate(size_t i) const;
    // The exception of the occurrence that starts at that time (UTC): the existing one, or a new
    // one (*piCreated = 1) when the time is an occurrence of the series; null when it is not.
    COutlookRecurrenceException* GetOccurrence(const FILETIME& ftWhen, int* piCreated);
    // Every exception's original date counts as deleted; exceptions marked deleted are dropped.
    void FixDeletedOccurrences();
    void MakeSureExceptionsSorted();
    const std::vector<ULONG>& GetDeletedInstanceDates() const { return m_vecDeletedInstanceDates; }
    void SetDeletedInstanceDates(std::vector<ULONG> vec) { m_vecDeletedInstanceDates = std::move(vec); }
    const std::vector<ULONG>& GetModifiedInstanceDates() const { return m_vecModifiedInstanceDates; }
    // Takes ownership.
    void AddException(std::unique_ptr<COutlookRecurrenceException> pException);

    // ---- Computation ----------------------------------------------------------------------
    // Derives start date, first date-time, end date or occurrence count and the deleted dates
    // from the rule (the first day of the week becomes the user's).
    HRESULT CalculateFields();
    void CheckInput();
    void CalculateStartDate();
    void CalculateFirstDateTime();
    void CalculateEndDate();
    ULONG CalculateOccurrenceCount(ULONG ulEndDate, ULONG& ulLastDate) const;
    // The date of the nth matching day (1-4, 5 = last) in the Gregorian month.
    ULONG CalculateMonthNthOccurence(int iYear, int iMonth) const;
    ULONG CalculateWeeklyOccurrencesByMask() const;
    // Visits the series' dates (midnights) from the start date on, in order, until the visitor
    // returns false or the last date allowed (end date, or 4500-12-31) is passed.
    void ForEachOccurrence(const std::function<bool(ULONG)>& visit) const;
    // The dates with an unmodified occurrence in [ulFrom, ulTo]: the series' dates without the
    // deleted ones.
    void ExpandOccurrences(ULONG ulFrom, ULONG ulTo, std::vector<ULONG>& vecDates) const;

    // Which pattern-specific fields the pattern type stores.
    bool UsesWeekDayMask() const;
    bool UsesDayOfMonth() const;
    bool UsesMonthOccurence() const;

    // ---- Raw fields (blob order) ----------------------------------------------------------
    USHORT m_wRecurFrequency = kFreqDaily;
    USHORT m_wPatternType = kPatternDay;
    USHORT m_wCalendarType = 0;
    ULONG m_ulFirstDateTime = 0;
    ULONG m_ulPeriod = 0;
    ULONG m_ulSlidingFlag = 0;
    ULONG m_ulWeekDayMask = 0;
    ULONG m_ulMonthOccurence = 0;
    ULONG m_ulDayOfMonth = 0;
    ULONG m_ulMonthOfYear = 0;
    ULONG m_ulEndType = kEndAfterDate;
    ULONG m_ulOccurrenceCount = 0;
    ULONG m_ulFirstDayOfWeek = 0;
    ULONG m_ulStartDate = 0;
    ULONG m_ulEndDate = 0;
    ULONG m_ulWriterVersion2 = kWriterVersion2;
    ULONG m_ulStartTime = 0;
    ULONG m_ulEndTime = 0;

private:
    // Moves the fields of a pattern just read into this one (its exceptions then use this
    // pattern's zone).
    void TakeFieldsOf(COutlookRecurrencePattern& read);
    HRESULT ReadPattern(LittleEndianReader& reader);
    HRESULT ReadException(LittleEndianReader& reader, COutlookRecurrenceException& exception) const;
    HRESULT ReadExtendedException(LittleEndianReader& reader, size_t ulIndex);
    HRESULT WriteStream(IStream* pStream) const;
    void WritePattern(LittleEndianWriter& writer) const;
    void WriteException(LittleEndianWriter& writer, const COutlookRecurrenceException& exception) const;
    void WriteExtendedException(LittleEndianWriter& writer, const COutlookRecurrenceException& exception) const;
    // The day of the nth matching weekday in the month; -1 when there is none.
    LONG NthDayInMonth(const RecurrenceMonth& month) const;
    // The pattern's day in the month (nth weekday, last day or day of month); -1 when none.
    LONG DayInMonth(const RecurrenceMonth& month) const;
    // The month of the year of a yearly series, in the calendar's numbering.
    int MonthOfYearIn(const RecurrenceCalendar& calendar, const RecurrenceMonth& start) const;
    // The first day on or after the day that the monthly or yearly pattern gives.
    LONG FirstPatternDayFrom(const RecurrenceCalendar& calendar, LONG lDay) const;

    Appt* m_pAppt;
    Mail::TimeZone m_timeZone;
    bool m_bLoaded = false;
    bool m_bIsTask = false;
    std::vector<ULONG> m_vecDeletedInstanceDates;
    std::vector<ULONG> m_vecModifiedInstanceDates;
    std::vector<std::unique_ptr<COutlookRecurrenceException>> m_ModifiedExceptionsDetails;
};

}  // namespace Ostrel::Mapi
