// The recipient table of a store item as the organizer and attendees of a component.
#include "Ostrel/Convert/Calendar/OLToOstrel.h"

#include "Ostrel/Store/OlkValues.h"
#include "Util/Log/Log.h"

#include <cwctype>

namespace Ostrel::Mail {

namespace {

enum Column : ULONG { kFlags, kAddress, kAddrType, kName, kType, kTrack, kSmtp, kEntryId, kColumns };

constexpr ULONG kRecipOrganizer = 0x2;
constexpr ULONG kRecipDeletedInException = 0x20;

const wchar_t* Text(const SPropValue& v) {
    return PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW && *v.Value.lpszW ? v.Value.lpszW : nullptr;
}

LONG Long(const SPropValue& v, LONG lDefault) {
    return PROP_TYPE(v.ulPropTag) == PT_LONG ? v.Value.l : lDefault;
}

bool SameAddress(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

}  // namespace

RecipientsToAttendees::RecipientsToAttendees(IAddrBook* pAddrBook, const std::wstring& wsOwnerEmail, LONG lOwnResponse,
                                             BOOL bResponseRequested)
    : m_pAddrBook(pAddrBook),
      m_wsOwnerEmail(wsOwnerEmail),
      m_lOwnResponse(lOwnResponse),
      m_bResponseRequested(bResponseRequested) {}

std::wstring RecipientsToAttendees::SmtpAddress(const SPropValue* pRow, ULONG cValues) const {
    if (cValues > kSmtp && Text(pRow[kSmtp]))
        return Text(pRow[kSmtp]);
    // Look the entry up in the address book for its SMTP address.
    if (!m_pAddrBook || cValues <= kEntryId || PROP_TYPE(pRow[kEntryId].ulPropTag) != PT_BINARY)
        return std::wstring();
    ULONG ulType = 0;
    Platform::ComPtr<IMAPIProp> pEntry;
    if (FAILED(m_pAddrBook->OpenEntry(pRow[kEntryId].Value.bin.cb,
                                      reinterpret_cast<LPENTRYID>(pRow[kEntryId].Value.bin.lpb), nullptr, 0, &ulType,
                                      reinterpret_cast<LPUNKNOWN*>(pEntry.AddressOf()))) ||
        !pEntry)
        return std::wstring();
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pEntry.Get(), PR_SMTP_ADDRESS_W, &pValue)) && pValue && Text(*pValue))
        ws = Text(*pValue);
    MAPIFreeBuffer(pValue);
    return ws;
}

HRESULT RecipientsToAttendees::Convert(IMessage* pMessage, Comp& comp) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
    SizedSPropTagArray(kColumns, columns) = {
        kColumns,
        {PR_RECIPIENT_FLAGS, PR_EMAIL_ADDRESS_W, PR_ADDRTYPE_W, PR_DISPLAY_NAME_W, PR_RECIPIENT_TYPE,
         PR_RECIPIENT_TRACKSTATUS, PR_SMTP_ADDRESS_W, PR_ENTRYID}};
    if (SUCCEEDED(hr))
        hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    LPSRowSet pRows = nullptr;
    if (SUCCEEDED(hr))
        hr = pTable->QueryRows(0x7FFFFFFF, 0, &pRows);
    if (FAILED(hr) || !pRows) {
        OSTLOG_ERROR(L"GetRecipientTable() failed, hr: %x", static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_FAIL;
    }
    for (ULONG r = 0; r < pRows->cRows; ++r) {
        const SPropValue* pRow = pRows->aRow[r].lpProps;
        const ULONG cValues = pRows->aRow[r].cValues;
        if (cValues < kColumns)
            continue;
        const ULONG ulFlags = static_cast<ULONG>(Long(pRow[kFlags], 0));
        if (ulFlags & kRecipDeletedInException)
            continue;
        std::wstring wsAddress;
        const wchar_t* pwszType = Text(pRow[kAddrType]);
        if (!pwszType || SameAddress(pwszType, L"SMTP"))
            wsAddress = Text(pRow[kAddress]) ? Text(pRow[kAddress]) : L"";
        else
            wsAddress = SmtpAddress(pRow, cValues);
        const wchar_t* pwszName = Text(pRow[kName]);
        if (ulFlags & kRecipOrganizer) {
            Attendee* pOrganizer = wsAddress.empty() || !pwszName ? nullptr : Attendee::createAttendee();
            if (!pOrganizer) {
                OSTLOG_INFO(8, L"email or display name was NULL so not setting organizer on this part");
                continue;
            }
            OSTLOG_INFO(8, L"setting organizer with email (%s)", wsAddress.c_str());
            OSTLOG_INFO(8, L"setting organize with display (%s)", pwszName);
            pOrganizer->SetEmail(wsAddress.c_str());
            pOrganizer->SetDisplayName(pwszName);
            pOrganizer->SetRole(Attendee::Role::CH);
            // Who sent the item on the organizer's behalf stays as it was found.
            if (const Attendee* pOld = comp.GetOrganizer();
                pOld && pOld->GetSentBy() && !SameAddress(pOld->GetSentBy(), wsAddress))
                pOrganizer->SetSentBy(pOld->GetSentBy());
            comp.addOrganizerPart(pOrganizer);
            continue;
        }
        if (wsAddress.empty()) {
            OSTLOG_INFO(8, L"not adding attendee from default comp due to no email");
            continue;
        }
        if (!pwszName) {
            OSTLOG_INFO(8, L"not adding attendee from default comp due to no display name, email(%s)",
                        wsAddress.c_str());
            continue;
        }
        Attendee* pAttendee = Attendee::createAttendee();
        if (!pAttendee) {
            OSTLOG_ERROR(L"createAttendee() failed.");
            continue;
        }
        pAttendee->SetDisplayName(pwszName);
        pAttendee->SetEmail(wsAddress.c_str());
        const LONG lType = Long(pRow[kType], Mapi::olRequired);
        pAttendee->SetRole(Mapi::ConvertAttendeeType(lType));
        if (lType == Mapi::olResource)
            pAttendee->SetUserType(Attendee::UserType::RES);
        const bool bUser = m_lOwnResponse >= 0 && !m_wsOwnerEmail.empty() && SameAddress(wsAddress, m_wsOwnerEmail);
        pAttendee->SetPartStatus(
            Mapi::ConvertMtgResponseStatusToPartStat(bUser ? m_lOwnResponse : Long(pRow[kTrack], 0)));
        pAttendee->SetRsvp(m_bResponseRequested ? L"1" : L"0");
        comp.addAttendeePart(pAttendee);
    }
    FreeProws(pRows);
    return S_OK;
}

}  // namespace Ostrel::Mail
