// Writing the recurrence blob from the pattern's fields, as they stand.
#include "Ostrel/Store/Calendar/LittleEndian.h"
#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Base/Utf.h"
#include "Util/Text/CodePage.h"

#include <algorithm>
#include <new>
#include <string>

namespace Ostrel::Mapi {

namespace {

// 8-bit text with its two lengths; the first counts a terminator that is not written. A text
// too long for the lengths is cut at the limit (the full text travels in the extended entry).
void WriteAnsiText(LittleEndianWriter& writer, const std::wstring& ws) {
    std::string s;
    if (std::all_of(ws.begin(), ws.end(), [](wchar_t c) { return c >= 0 && c < 0x80; }))
        s.assign(ws.begin(), ws.end());
    else
        Util::UnicodeToAnsii(ws, Util::CP_ACP, s);
    if (s.size() > 0xFFFE) {
        // Cut at a character boundary (the 8-bit form is UTF-8 here).
        size_t cb = 0xFFFE;
        while (cb > 0 && (static_cast<unsigned char>(s[cb]) & 0xC0) == 0x80)
            --cb;
        s.resize(cb);
    }
    writer.U16(static_cast<USHORT>(s.size() + 1));
    writer.U16(static_cast<USHORT>(s.size()));
    writer.Bytes(s.data(), s.size());
}

// UTF-16 text with its count of code units, cut to what the count can say.
void WriteUnicodeText(LittleEndianWriter& writer, const std::wstring& ws) {
    std::string s = Platform::ToUtf16LEBytes(ws);
    if (s.size() > 2 * 0xFFFF) {
        size_t cb = 2 * 0xFFFF;
        // Do not split a surrogate pair.
        if ((static_cast<unsigned char>(s[cb - 1]) & 0xFC) == 0xD8)
            cb -= 2;
        s.resize(cb);
    }
    writer.U16(static_cast<USHORT>(s.size() / 2));
    writer.Bytes(s.data(), s.size());
}

}  // namespace

HRESULT COutlookRecurrencePattern::WriteRecurrenceStream(IStream* pStream) const {
    try {
        return WriteStream(pStream);
    } catch (const std::bad_alloc&) {
        RECURRENCE_LOG_ERROR(L"Failed to write recurrence stream: out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT COutlookRecurrencePattern::WriteStream(IStream* pStream) const {
    // The exception count is a 16-bit field.
    if (m_ModifiedExceptionsDetails.size() > 0xFFFF) {
        RECURRENCE_LOG_ERROR(L"Failed to write recurrence stream: too many exceptions (%d)",
                             static_cast<int>(m_ModifiedExceptionsDetails.size()));
        return E_INVALIDARG;
    }
    LittleEndianWriter writer;
    WritePattern(writer);
    // Fields set out of range, or exceptions that do not agree with the deleted dates, would make
    // a blob that no reader takes: such a pattern is refused rather than stored.
    {
        LittleEndianReader reader(writer.Data().data(), writer.Data().size());
        COutlookRecurrencePattern check;
        check.m_bIsTask = m_bIsTask;
        if (FAILED(check.ReadPattern(reader))) {
            RECURRENCE_LOG_ERROR(L"Failed to write recurrence stream: the pattern does not make a valid stream");
            return E_INVALIDARG;
        }
    }
    std::wstring wsField;
    const HRESULT hr = writer.WriteTo(pStream, wsField);
    if (FAILED(hr))
        RECURRENCE_LOG_ERROR(L"Failed to write recurrence stream: %s", wsField.c_str());
    return hr;
}

void COutlookRecurrencePattern::WritePattern(LittleEndianWriter& writer) const {
    writer.Field(L"ulSignature");
    writer.U32(kSignature);
    writer.Field(L"m_wRecurFrequency");
    writer.U16(m_wRecurFrequency);
    writer.Field(L"m_wPatternType");
    writer.U16(m_wPatternType);
    writer.Field(L"m_wCalendarType");
    writer.U16(m_wCalendarType);
    writer.Field(L"m_ulFirstDateTime");
    writer.U32(m_ulFirstDateTime);
    writer.Field(L"m_ulPeriod");
    writer.U32(m_ulPeriod);
    writer.Field(L"m_ulSlidingFlag");
    writer.U32(m_ulSlidingFlag);
    if (UsesWeekDayMask()) {
        writer.Field(L"m_ulWeekDayMask");
        writer.U32(m_ulWeekDayMask);
        if (UsesMonthOccurence()) {
            writer.Field(L"m_ulMonthOccurence");
            writer.U32(m_ulMonthOccurence);
        }
    } else if (UsesDayOfMonth()) {
        writer.Field(L"m_ulDayOfMonth");
        writer.U32(m_ulDayOfMonth);
    }
    writer.Field(L"m_ulEndType");
    writer.U32(m_ulEndType);
    writer.Field(L"m_ulOccurrenceCount");
    writer.U32(m_ulOccurrenceCount);
    writer.Field(L"m_ulFirstDayOfWeek");
    writer.U32(m_ulFirstDayOfWeek);

    writer.Field(L"ulDeletedInstanceCount");
    writer.U32(static_cast<ULONG>(m_vecDeletedInstanceDates.size()));
    for (size_t i = 0; i < m_vecDeletedInstanceDates.size(); ++i) {
        writer.Field(L"ulExceptionDate", static_cast<int>(i));
        writer.U32(m_vecDeletedInstanceDates[i]);
    }
    // The modified dates are those of the exceptions: the midnight of each one's start.
    std::vector<ULONG> vecModified;
    for (const auto& pException : m_ModifiedExceptionsDetails)
        vecModified.push_back(RecurrenceTime::Midnight(pException->GetStartDateTime()));
    std::sort(vecModified.begin(), vecModified.end());
    writer.Field(L"ulModifiedExceptionCount");
    writer.U32(static_cast<ULONG>(vecModified.size()));
    for (size_t i = 0; i < vecModified.size(); ++i) {
        writer.Field(L"ulModifiedExceptionDate", static_cast<int>(i));
        writer.U32(vecModified[i]);
    }
    writer.Field(L"m_ulStartDate");
    writer.U32(m_ulStartDate);
    writer.Field(L"m_ulEndDate");
    writer.U32(m_ulEndDate);
    if (m_bIsTask)
        return;

    writer.Field(L"ulReaderVersion2");
    writer.U32(kReaderVersion2);
    writer.Field(L"m_ulWriterVersion2");
    writer.U32(m_ulWriterVersion2);
    writer.Field(L"m_ulStartTime");
    writer.U32(m_ulStartTime);
    writer.Field(L"m_ulEndTime");
    writer.U32(m_ulEndTime);
    writer.Field(L"wExceptionCount");
    writer.U16(static_cast<USHORT>(m_ModifiedExceptionsDetails.size()));
    for (size_t i = 0; i < m_ModifiedExceptionsDetails.size(); ++i) {
        writer.Field(L"WriteException", static_cast<int>(i));
        WriteException(writer, *m_ModifiedExceptionsDetails[i]);
    }
    writer.Field(L"ulReservedBlock1Size");
    writer.U32(0);
    for (size_t i = 0; i < m_ModifiedExceptionsDetails.size(); ++i) {
        writer.Field(L"extended WriteException", static_cast<int>(i));
        WriteExtendedException(writer, *m_ModifiedExceptionsDetails[i]);
    }
    writer.Field(L"ulReservedBlock2Size");
    writer.U32(0);
}

void COutlookRecurrencePattern::WriteException(LittleEndianWriter& writer,
                                               const COutlookRecurrenceException& exception) const {
    using E = COutlookRecurrenceException;
    const USHORT wFlags = exception.GetOverrideFlags();
    writer.U32(exception.GetStartDateTime());
    writer.U32(exception.GetEndDateTime());
    writer.U32(exception.GetOriginalDateTime());
    writer.U16(wFlags);
    if (wFlags & E::ARO_SUBJECT)
        WriteAnsiText(writer, exception.GetSubject());
    if (wFlags & E::ARO_MEETINGTYPE)
        writer.U32(exception.GetMeetingType());
    if (wFlags & E::ARO_REMINDERDELTA)
        writer.U32(exception.GetReminderDelta());
    if (wFlags & E::ARO_REMINDER)
        writer.U32(exception.GetReminder());
    if (wFlags & E::ARO_LOCATION)
        WriteAnsiText(writer, exception.GetLocation());
    if (wFlags & E::ARO_BUSYSTATUS)
        writer.U32(exception.GetBusyStatus());
    if (wFlags & E::ARO_ATTACHMENT)
        writer.U32(exception.GetAttachmentsPresent());
    if (wFlags & E::ARO_SUBTYPE)
        writer.U32(exception.GetAllDay());
    if (wFlags & E::ARO_APPTCOLOR)
        writer.U32(exception.GetApptColor());
}

void COutlookRecurrencePattern::WriteExtendedException(LittleEndianWriter& writer,
                                                       const COutlookRecurrenceException& exception) const {
    using E = COutlookRecurrenceException;
    if (m_ulWriterVersion2 >= kWriterVersionHighlight) {
        const std::vector<BYTE>& vecReserved = exception.GetChangeHighlightReserved();
        writer.U32(static_cast<ULONG>(4 + vecReserved.size()));
        writer.U32(exception.GetChangeHighlight());
        writer.Bytes(vecReserved.data(), vecReserved.size());
    }
    writer.U32(0);  // ReservedBlockEE1Size
    const USHORT wFlags = exception.GetOverrideFlags();
    if (!(wFlags & (E::ARO_SUBJECT | E::ARO_LOCATION)))
        return;
    writer.U32(exception.GetStartDateTime());
    writer.U32(exception.GetEndDateTime());
    writer.U32(exception.GetOriginalDateTime());
    if (wFlags & E::ARO_SUBJECT)
        WriteUnicodeText(writer, exception.GetSubject());
    if (wFlags & E::ARO_LOCATION)
        WriteUnicodeText(writer, exception.GetLocation());
    writer.U32(0);  // ReservedBlockEE2Size
}

}  // namespace Ostrel::Mapi
