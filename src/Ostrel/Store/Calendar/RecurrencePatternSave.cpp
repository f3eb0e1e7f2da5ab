// The recurrence pattern with its owning item: reading the item's blob, and writing it back
// together with the item properties that depend on it.
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using namespace RecurrenceTime;

HRESULT COutlookRecurrencePattern::LoadRecurrence(const Mail::TimeZone::OlkTimeZone* pOlk, const wchar_t* pwszZoneName,
                                                  int bIsTask) {
    m_bIsTask = bIsTask != 0;
    if (pOlk)
        m_timeZone.Initialize(*pOlk, pwszZoneName);
    if (!m_pAppt || !m_pAppt->Props() || !m_pAppt->Props()->IsInitialized()) {
        RECURRENCE_LOG_ERROR(L"Cannot obtain named properties");
        return E_FAIL;
    }
    Platform::ComPtr<IStream> pStream;
    const HRESULT hr = m_pAppt->Prop()->OpenProperty(m_pAppt->GetRecurringStreamTag(), &IID_IStream, STGM_READ, 0,
                                                     reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr)) {
        RECURRENCE_LOG_ERROR(L"Cannot open reccurrence pattern stream");
        return hr;
    }
    return InitFromRecurrenceStream(pStream.Get());
}

HRESULT COutlookRecurrencePattern::SaveRecurrence() {
    HRESULT hr = CalculateFields();
    if (FAILED(hr)) {
        RECURRENCE_LOG_ERROR(L"Cannot calculate necessary fields for recurrence pattern: 0x%x",
                             static_cast<unsigned>(hr));
        return hr;
    }
    if (!m_pAppt || !m_pAppt->Props() || !m_pAppt->Props()->IsInitialized()) {
        RECURRENCE_LOG_ERROR(L"Cannot obtain named properties");
        return E_FAIL;
    }
    IMAPIProp* pItem = m_pAppt->Prop();
    const ULONG ulTag = m_pAppt->GetRecurringStreamTag();
    Platform::ComPtr<IStream> pStream;
    hr = pItem->OpenProperty(ulTag, &IID_IStream, STGM_READWRITE, MAPI_MODIFY,
                             reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr))
        hr = pItem->OpenProperty(ulTag, &IID_IStream, STGM_READWRITE, MAPI_MODIFY | MAPI_CREATE,
                                 reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr)) {
        RECURRENCE_LOG_ERROR(L"Cannot open reccurrence pattern stream");
        return hr;
    }
    ULARGE_INTEGER empty{};
    if (FAILED(hr = pStream->SetSize(empty)))
        return hr;
    // This writer's version carries no change highlights.
    m_ulWriterVersion2 = kWriterVersion2;
    if (FAILED(hr = WriteRecurrenceStream(pStream.Get())) || FAILED(hr = pStream->Commit(0)))
        return hr;
    pStream.Reset();

    if (FAILED(hr = m_pAppt->SetIsRecurring(TRUE)) || m_bIsTask)
        return hr;
    // The item's own times are the first occurrence's, in UTC; the clip times bound the series.
    FILETIME ftStart, ftEnd, ftClipStart, ftClipEnd;
    if (!LocalMinutesToUtc(&m_timeZone, m_ulStartDate + m_ulStartTime, ftStart) ||
        !LocalMinutesToUtc(&m_timeZone, m_ulStartDate + m_ulEndTime, ftEnd) ||
        !LocalMinutesToUtc(&m_timeZone, m_ulStartDate, ftClipStart))
        return E_INVALIDARG;
    if (GetNoEndDate() || !LocalMinutesToUtc(&m_timeZone, m_ulEndDate, ftClipEnd))
        ftClipEnd = Util::UInt64ToFileTime(kNoEndClipFileTime);
    if (FAILED(hr = m_pAppt->SetStartTime(&ftStart, &m_timeZone)) ||
        FAILED(hr = m_pAppt->SetEndTime(&ftEnd, &m_timeZone)) || FAILED(hr = m_pAppt->SetClipStartTime(&ftClipStart)) ||
        FAILED(hr = m_pAppt->SetClipEndTime(&ftClipEnd)) || FAILED(hr = m_pAppt->SetIsException(FALSE)) ||
        FAILED(hr = m_pAppt->SetRecurrenceType(static_cast<LONG>(GetPRRecurrenceType()))) ||
        FAILED(hr = m_pAppt->SetSmartNoAttach(m_ModifiedExceptionsDetails.empty() ? FALSE : TRUE)) ||
        FAILED(hr = m_pAppt->SetLegacyTimezone(m_timeZone)))
        return hr;
    return S_OK;
}

}  // namespace Ostrel::Mapi
