// Reading and validating the recurrence blob. Nothing is repaired: the first invalid or missing
// field ends the read with MAPI_E_CORRUPT_DATA and the field's name in the log.
#include "Ostrel/Store/Calendar/LittleEndian.h"
#include "Ostrel/Store/Calendar/RecurrenceCalendar.h"
#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Util/Text/CodePage.h"

#include <algorithm>
#include <new>

namespace Ostrel::Mapi {

namespace {

constexpr const wchar_t* kInvalid = L"Recurrence stream format is invalid: ";

HRESULT Corrupt(const wchar_t* pwszField) {
    RECURRENCE_LOG_ERROR(L"%s%s", kInvalid, pwszField);
    return MAPI_E_CORRUPT_DATA;
}

// An 8-bit text with its two lengths (the first counts a terminator that is not stored).
HRESULT ReadAnsiText(LittleEndianReader& reader, std::wstring& ws, const wchar_t* pwszLength,
                     const wchar_t* pwszLength2, const wchar_t* pwszText) {
    USHORT wLength = 0, wLength2 = 0;
    if (!reader.ReadU16(wLength) || wLength == 0)
        return Corrupt(pwszLength);
    if (!reader.ReadU16(wLength2) || wLength2 != wLength - 1)
        return Corrupt(pwszLength2);
    std::vector<BYTE> vec;
    if (!reader.ReadBytes(vec, wLength2))
        return Corrupt(pwszText);
    // ASCII is the same in every code page; only other text needs the converter.
    if (std::all_of(vec.begin(), vec.end(), [](BYTE b) { return b < 0x80; }))
        ws.assign(vec.begin(), vec.end());
    else
        Util::AnsiiToUnicode(std::string_view(reinterpret_cast<const char*>(vec.data()), vec.size()), Util::CP_ACP, ws);
    return S_OK;
}

}  // namespace

HRESULT COutlookRecurrencePattern::InitFromRecurrenceStream(IStream* pStream) {
    m_bLoaded = false;
    if (!pStream)
        return E_INVALIDARG;
    // Read into a fresh pattern so that a failed read leaves this one as it was.
    COutlookRecurrencePattern read(m_pAppt);
    read.m_bIsTask = m_bIsTask;
    read.m_timeZone.Initialize(m_timeZone);
    LittleEndianReader reader(pStream);
    HRESULT hr = S_OK;
    try {
        hr = read.ReadPattern(reader);
    } catch (const std::bad_alloc&) {
        RECURRENCE_LOG_ERROR(L"Not enough memory to read recurence pattern stream");
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        return hr;
    TakeFieldsOf(read);
    m_bLoaded = true;
    return S_OK;
}

HRESULT COutlookRecurrencePattern::ReadPattern(LittleEndianReader& reader) {
    ULONG ulSignature = 0;
    if (!reader.ReadU32(ulSignature) || ulSignature != kSignature)
        return Corrupt(L"ulSignature");
    if (!reader.ReadU16(m_wRecurFrequency) || m_wRecurFrequency < kFreqDaily || m_wRecurFrequency > kFreqYearly)
        return Corrupt(L"m_wRecurFrequency");
    if (!reader.ReadU16(m_wPatternType) ||
        !(m_wPatternType < 5 || (m_wPatternType >= kPatternHjMonth && m_wPatternType <= kPatternHjMonthEnd)))
        return Corrupt(L"m_wPatternType");
    if (!reader.ReadU16(m_wCalendarType) || !(m_wCalendarType < 17 || m_wCalendarType == 20))
        return Corrupt(L"m_wCalendarType");
    if (!reader.ReadU32(m_ulFirstDateTime))
        return Corrupt(L"m_ulFirstDateTime");
    if (!reader.ReadU32(m_ulPeriod))
        return Corrupt(L"unable to read m_ulPeriod");

    const ULONG ulPeriod = m_ulPeriod;
    const wchar_t* pwszPeriodError = nullptr;
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            if (!(ulPeriod == 1 || (ulPeriod % RecurrenceTime::kMinutesPerDay == 0 && ulPeriod <= 1438560)))
                pwszPeriodError = L"Daily recurrence stream format is invalid: m_ulPeriod is %d";
            break;
        case kFreqWeekly:
            if (ulPeriod > 99)
                pwszPeriodError = L"Weekly recurrence stream format is invalid: m_ulPeriod is %d";
            break;
        case kFreqMonthly:
            if (ulPeriod > 99)
                pwszPeriodError = L"Monthly recurrence stream format is invalid: m_ulPeriod is %d";
            break;
        default:
            if (ulPeriod % 12 != 0)
                pwszPeriodError = L"Yearly recurrence stream format is invalid: m_ulPeriod is %d";
            break;
    }
    if (pwszPeriodError) {
        RECURRENCE_LOG_ERROR(pwszPeriodError, static_cast<int>(ulPeriod));
        return MAPI_E_CORRUPT_DATA;
    }

    if (!reader.ReadU32(m_ulSlidingFlag))
        return Corrupt(L"m_ulSlidingFlag");
    if (UsesWeekDayMask()) {
        if (!reader.ReadU32(m_ulWeekDayMask) || m_ulWeekDayMask < 1 || m_ulWeekDayMask > 127)
            return Corrupt(L"m_ulWeekDayMask");
        if (UsesMonthOccurence() &&
            (!reader.ReadU32(m_ulMonthOccurence) || m_ulMonthOccurence < 1 || m_ulMonthOccurence > 5))
            return Corrupt(L"m_ulMonthOccurence");
    } else if (UsesDayOfMonth()) {
        if (!reader.ReadU32(m_ulDayOfMonth) || m_ulDayOfMonth < 1 || m_ulDayOfMonth > 31)
            return Corrupt(L"m_ulDayOfMonth");
    }

    if (!reader.ReadU32(m_ulEndType) ||
        !((m_ulEndType >= kEndAfterDate && m_ulEndType <= kEndNever) || m_ulEndType == kEndNeverAlt))
        return Corrupt(L"m_ulEndType");
    if (m_ulEndType == kEndNeverAlt)
        m_ulEndType = kEndNever;
    if (!reader.ReadU32(m_ulOccurrenceCount))
        return Corrupt(L"m_ulOccurrenceCount");
    if (!reader.ReadU32(m_ulFirstDayOfWeek) || m_ulFirstDayOfWeek > 6)
        return Corrupt(L"m_ulFirstDayOfWeek");

    ULONG ulDeletedCount = 0;
    if (!reader.ReadU32(ulDeletedCount))
        return Corrupt(L"ulDeletedInstanceCount");
    m_vecDeletedInstanceDates.clear();
    for (ULONG i = 0; i < ulDeletedCount; ++i) {
        ULONG ulDate = 0;
        if (!reader.ReadU32(ulDate) || ulDate == 0) {
            RECURRENCE_LOG_ERROR(L"%sulExceptionDate[%d]", kInvalid, static_cast<int>(i));
            return MAPI_E_CORRUPT_DATA;
        }
        m_vecDeletedInstanceDates.push_back(ulDate);
    }
    ULONG ulModifiedCount = 0;
    if (!reader.ReadU32(ulModifiedCount) || ulModifiedCount > ulDeletedCount)
        return Corrupt(L"ulModifiedExceptionCount");
    m_vecModifiedInstanceDates.clear();
    for (ULONG i = 0; i < ulModifiedCount; ++i) {
        ULONG ulDate = 0;
        if (!reader.ReadU32(ulDate) || ulDate == 0) {
            RECURRENCE_LOG_ERROR(L"%sulModifiedExceptionDate[%d]", kInvalid, static_cast<int>(i));
            return MAPI_E_CORRUPT_DATA;
        }
        m_vecModifiedInstanceDates.push_back(ulDate);
    }

    if (!reader.ReadU32(m_ulStartDate) || m_ulStartDate == 0)
        return Corrupt(L"m_ulStartDate");
    if (m_wRecurFrequency == kFreqYearly) {
        if (RecurrenceCalendar::IsGregorian(m_wCalendarType, m_wPatternType)) {
            m_ulMonthOfYear = static_cast<ULONG>(RecurrenceTime::DateFromMinutes(m_ulFirstDateTime).iMonth);
        } else if (const auto pCalendar = RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType)) {
            // The first occurrence names the month: a month number of a lunar calendar may
            // stand for different months in common and leap years.
            m_ulMonthOfYear = static_cast<ULONG>(
                pCalendar->MonthOf(static_cast<LONG>(m_ulStartDate / RecurrenceTime::kMinutesPerDay)).iMonth);
        }
    }
    if (!reader.ReadU32(m_ulEndDate) || m_ulEndDate == 0 || m_ulEndDate < m_ulStartDate)
        return Corrupt(L"m_ulEndDate");
    m_ModifiedExceptionsDetails.clear();
    if (m_bIsTask)
        return S_OK;

    ULONG ulReaderVersion2 = 0;
    if (!reader.ReadU32(ulReaderVersion2) || ulReaderVersion2 != kReaderVersion2)
        return Corrupt(L"ulReaderVersion2");
    if (!reader.ReadU32(m_ulWriterVersion2) || m_ulWriterVersion2 < kReaderVersion2 ||
        m_ulWriterVersion2 > kWriterVersionHighlight) {
        RECURRENCE_LOG_ERROR(L"%sm_ulWriterVersion2 is %x", kInvalid, static_cast<unsigned>(m_ulWriterVersion2));
        return MAPI_E_CORRUPT_DATA;
    }
    if (!reader.ReadU32(m_ulStartTime) || m_ulStartTime > RecurrenceTime::kMinutesPerDay)
        return Corrupt(L"m_ulStartTime");
    if (!reader.ReadU32(m_ulEndTime) || m_ulEndTime < m_ulStartTime)
        return Corrupt(L"m_ulEndTime");

    USHORT wExceptionCount = 0;
    if (!reader.ReadU16(wExceptionCount) || wExceptionCount != ulModifiedCount)
        return Corrupt(L"wExceptionCount");
    for (USHORT i = 0; i < wExceptionCount; ++i) {
        auto pException = std::make_unique<COutlookRecurrenceException>(&m_timeZone);
        if (FAILED(ReadException(reader, *pException))) {
            RECURRENCE_LOG_ERROR(L"%sReadException[%d]", kInvalid, static_cast<int>(i));
            return MAPI_E_CORRUPT_DATA;
        }
        m_ModifiedExceptionsDetails.push_back(std::move(pException));
    }

    // Writers of old stopped before the reserved blocks.
    if (reader.AtEnd())
        return S_OK;
    ULONG ulReservedBlock1Size = 0;
    if (!reader.ReadU32(ulReservedBlock1Size) || ulReservedBlock1Size != 0)
        return Corrupt(L"ulReservedBlock1Size");
    for (size_t i = 0; i < m_ModifiedExceptionsDetails.size(); ++i) {
        if (FAILED(ReadExtendedException(reader, i))) {
            RECURRENCE_LOG_ERROR(L"%sextended ReadException[%d]", kInvalid, static_cast<int>(i));
            return MAPI_E_CORRUPT_DATA;
        }
    }
    ULONG ulReservedBlock2Size = 0;
    if (!reader.ReadU32(ulReservedBlock2Size) || ulReservedBlock2Size != 0)
        return Corrupt(L"ulReservedBlock2Size");
    return S_OK;
}

HRESULT COutlookRecurrencePattern::ReadException(LittleEndianReader& reader,
                                                 COutlookRecurrenceException& exception) const {
    ULONG ulStart = 0, ulEnd = 0, ulOriginal = 0;
    if (!reader.ReadU32(ulStart) || ulStart == 0)
        return Corrupt(L"Exception ulStartDateTime");
    if (!reader.ReadU32(ulEnd) || ulEnd == 0)
        return Corrupt(L"Exception ulEndDateTime");
    if (!reader.ReadU32(ulOriginal) || ulOriginal == 0)
        return Corrupt(L"Exception ulOriginalStartDate");
    exception.SetStartDateTime(ulStart);
    exception.SetEndDateTime(ulEnd);
    exception.SetOriginalDateTime(ulOriginal);
    USHORT wFlags = 0;
    if (!reader.ReadU16(wFlags) || wFlags >= COutlookRecurrenceException::kOverrideFlagsLimit)
        return Corrupt(L"Exception wOverrideFlags");

    using E = COutlookRecurrenceException;
    ULONG ul = 0;
    std::wstring ws;
    HRESULT hr = S_OK;
    if (wFlags & E::ARO_SUBJECT) {
        if (FAILED(hr = ReadAnsiText(reader, ws, L"Exception wSubjectLength", L"Exception wSubjectLength2",
                                     L"Exception lpszSubject")))
            return hr;
        exception.SetSubject(ws);
    }
    if (wFlags & E::ARO_MEETINGTYPE) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulMeetingType");
        exception.SetMeetingType(ul);
    }
    if (wFlags & E::ARO_REMINDERDELTA) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulReminderDelta");
        exception.SetReminderDelta(ul);
    }
    if (wFlags & E::ARO_REMINDER) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulReminder");
        exception.SetReminder(ul);
    }
    if (wFlags & E::ARO_LOCATION) {
        if (FAILED(hr = ReadAnsiText(reader, ws, L"Exception wLocationLength", L"Exception wLocationLength2",
                                     L"Exception lpszLocation")))
            return hr;
        exception.SetLocation(ws);
    }
    if (wFlags & E::ARO_BUSYSTATUS) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulBusyStatus");
        exception.SetBusyStatus(ul);
    }
    if (wFlags & E::ARO_ATTACHMENT) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulAttachment");
        exception.SetAttachmentsPresent(ul);
    }
    if (wFlags & E::ARO_SUBTYPE) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulAllDay");
        exception.SetAllDay(ul);
    }
    if (wFlags & E::ARO_APPTCOLOR) {
        if (!reader.ReadU32(ul))
            return Corrupt(L"Exception ulApptColor");
        exception.SetApptColor(ul);
    }
    exception.SetOverrideFlags(wFlags);
    return S_OK;
}

HRESULT COutlookRecurrencePattern::ReadExtendedException(LittleEndianReader& reader, size_t ulIndex) {
    if (ulIndex >= m_ModifiedExceptionsDetails.size())
        return Corrupt(L"m_ModifiedExceptionsDetails[ulIndex]");
    COutlookRecurrenceException& exception = *m_ModifiedExceptionsDetails[ulIndex];
    if (m_ulWriterVersion2 >= kWriterVersionHighlight) {
        ULONG ulSize = 0, ulValue = 0;
        if (!reader.ReadU32(ulSize) || ulSize < 4)
            return Corrupt(L"ulChangeHighlightSize");
        if (!reader.ReadU32(ulValue))
            return Corrupt(L"ulChangeHighlightValue");
        std::vector<BYTE> vecReserved;
        if (!reader.ReadBytes(vecReserved, ulSize - 4))
            return Corrupt(L"ulChangeHighlightValue Reserved");
        exception.SetChangeHighlight(ulValue);
        exception.SetChangeHighlightReserved(std::move(vecReserved));
    }
    ULONG ulEE1 = 0;
    if (!reader.ReadU32(ulEE1) || ulEE1 != 0)
        return Corrupt(L"ulReservedBlockEE1Size");

    using E = COutlookRecurrenceException;
    const USHORT wFlags = exception.GetOverrideFlags();
    if (!(wFlags & (E::ARO_SUBJECT | E::ARO_LOCATION)))
        return S_OK;
    ULONG ul = 0;
    if (!reader.ReadU32(ul) || ul != exception.GetStartDateTime())
        return Corrupt(L"Exception Extended ulStartDateTime");
    if (!reader.ReadU32(ul) || ul != exception.GetEndDateTime())
        return Corrupt(L"Exception Extended ulEndDateTime");
    if (!reader.ReadU32(ul) || ul != exception.GetOriginalDateTime())
        return Corrupt(L"Exception Extended ulOriginalStartDate do not match");
    USHORT wLength = 0;
    std::wstring ws;
    if (wFlags & E::ARO_SUBJECT) {
        if (!reader.ReadU16(wLength))
            return Corrupt(L"Exception Extended wSubjectLength");
        if (!reader.ReadUtf16(ws, wLength))
            return Corrupt(L"Exception Extended lpszSubject");
        exception.SetSubject(ws);
    }
    if (wFlags & E::ARO_LOCATION) {
        if (!reader.ReadU16(wLength))
            return Corrupt(L"Exception Extended wLocationLength");
        if (!reader.ReadUtf16(ws, wLength))
            return Corrupt(L"Exception Extended lpszLocation");
        exception.SetLocation(ws);
    }
    ULONG ulEE2 = 0;
    if (!reader.ReadU32(ulEE2) || ulEE2 != 0)
        return Corrupt(L"ulReservedBlockEE2Size");
    return S_OK;
}

}  // namespace Ostrel::Mapi
