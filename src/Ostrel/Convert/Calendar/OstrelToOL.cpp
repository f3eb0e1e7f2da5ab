#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Ostrel/Convert/Mail/ConvertMimeToMessage.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"

#include <cwctype>

namespace Ostrel::Mail {

using N = Mapi::NamedProps;

namespace {

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

// "SMTP:" and the upper-case address, with its terminator.
std::vector<BYTE> SearchKey(const std::wstring& wsAddress) {
    std::wstring ws = L"SMTP:" + wsAddress;
    for (wchar_t& c : ws)
        c = static_cast<wchar_t>(std::towupper(c));
    std::string s = Platform::ToUtf8(ws);
    std::vector<BYTE> key(s.begin(), s.end());
    key.push_back(0);
    return key;
}

// A one-off entry id of an SMTP address; empty (after logging) on failure.
std::vector<BYTE> OneOff(IAddrBook* pAddrBook, const std::wstring& wsName, const std::wstring& wsAddress, HRESULT& hr) {
    ULONG cb = 0;
    LPENTRYID pEntryId = nullptr;
    hr = pAddrBook ? pAddrBook->CreateOneOff(const_cast<wchar_t*>(wsName.c_str()), const_cast<wchar_t*>(L"SMTP"),
                                             const_cast<wchar_t*>(wsAddress.c_str()), MAPI_UNICODE, &cb, &pEntryId)
                   : E_POINTER;
    std::vector<BYTE> bytes;
    if (SUCCEEDED(hr) && pEntryId)
        bytes.assign(reinterpret_cast<BYTE*>(pEntryId), reinterpret_cast<BYTE*>(pEntryId) + cb);
    MAPIFreeBuffer(pEntryId);
    return bytes;
}

// The whole content of a stream from its start.
bool ReadStream(IStream* pStream, std::string& s) {
    LARGE_INTEGER zero{};
    if (FAILED(pStream->Seek(zero, STREAM_SEEK_SET, nullptr)))
        return false;
    char buf[65536];
    for (;;) {
        ULONG cbRead = 0;
        const HRESULT hr = pStream->Read(buf, sizeof buf, &cbRead);
        if (FAILED(hr))
            return false;
        s.append(buf, cbRead);
        if (cbRead == 0)
            return true;
    }
}

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%x. ", static_cast<unsigned>(hr));
    return buf;
}

LONG TrackStatus(Attendee::PartStat partStat) {
    switch (partStat.GetValue()) {
        case Attendee::PartStat::TE:
            return 2;
        case Attendee::PartStat::AC:
            return 3;
        case Attendee::PartStat::DE:
            return 4;
        default:
            return 5;
    }
}

}  // namespace

OstrelToOL::OstrelToOL() = default;
OstrelToOL::~OstrelToOL() = default;

ULONG OstrelToOL::Tag(N::PropIdx idx, ULONG ulType) const {
    return Mapi::NAMED_PROP(idx, ulType, m_pNamedProps);
}

FILETIME OstrelToOL::Now() const {
    return Util::CurrentClock().GetSystemTimeAsFileTime();
}

bool OstrelToOL::IsPrimaryStore() {
    if (!m_obPrimaryStore)
        m_obPrimaryStore = Mapi::IsPrimaryOstrelStore(m_pStore);
    return *m_obPrimaryStore;
}

bool OstrelToOL::Begin(Appointment& appointment, IMsgStore* pStore, IMessage* pTarget, IAddrBook* pAddrBook,
                       const wchar_t* pwszUserEmail, const std::vector<std::wstring>& userNames) {
    m_pAppointment = &appointment;
    m_pStore = pStore;
    m_pAddrBook = pAddrBook;
    m_wsUserEmail = pwszUserEmail ? pwszUserEmail : L"";
    m_userNames = userNames;
    m_tagIds = appointment.TagIds();
    m_tagNames = appointment.TagNames();
    m_obPrimaryStore.reset();
    m_bStopSyncError = m_bLocalFailure = m_bReportableLocalFailure = m_bReportableLocalWarning = false;
    m_wsError.clear();
    m_wsWarning.clear();
    m_pNamedProps = pTarget ? Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pTarget) : nullptr;
    if (!m_pNamedProps) {
        OSTLOG_ERROR(L"Failed to init name props...");
        AddError(L"Could not init name props... ");
        return false;
    }
    return true;
}

int OstrelToOL::Finish(int iResult, wchar_t** ppwszErrorText, wchar_t** ppwszWarningText) {
    if (ppwszWarningText)
        *ppwszWarningText = m_wsWarning.empty() ? nullptr : Util::CopyString(m_wsWarning.c_str());
    if (ppwszErrorText)
        *ppwszErrorText = iResult || m_wsError.empty() ? nullptr : Util::CopyString(m_wsError.c_str());
    return iResult;
}

bool OstrelToOL::IsMatchingUser(const wchar_t* pwszAddress) const {
    if (!pwszAddress || !*pwszAddress)
        return false;
    if (!m_wsUserEmail.empty() && EqualNoCase(pwszAddress, m_wsUserEmail))
        return true;
    for (const std::wstring& ws : m_userNames)
        if (EqualNoCase(pwszAddress, ws))
            return true;
    return false;
}

std::optional<std::wstring> OstrelToOL::StripMeetingSummary(const std::wstring& wsText) {
    const size_t pos = wsText.find(L"*~*~");
    if (pos == std::wstring::npos)
        return std::nullopt;
    static const struct {
        const wchar_t* pwszMarker;
        size_t cchSkip;
    } kEnds[] = {{L"\r\n\r\n", 4}, {L"*~*<", 3}, {L"\n\n", 2}, {L"* ", 2}, {L"\r\n", 2}};
    for (const auto& end : kEnds) {
        const size_t found = wsText.find(end.pwszMarker, pos);
        if (found != std::wstring::npos)
            return wsText.substr(found + end.cchSkip);
    }
    return std::nullopt;
}

bool OstrelToOL::ConvertMimeIntoMessage(const Inv& inv, IMessage* pMessage, int& reminderFlag) {
    const Comp* pComp = inv.CompAt(0);
    if (!pComp || !pMessage)
        return false;
    const bool bBlob = !pComp->GetIsNoBlob() && (inv.GetMimeBuffer() || inv.GetMimeStream());
    if (bBlob) {
        std::string sMime;
        if (inv.GetMimeBuffer()) {
            sMime = inv.GetMimeBuffer();
        } else if (!ReadStream(inv.GetMimeStream(), sMime)) {
            AddError(L"FixMimeWithHTMLAndCalendar failed(). ");
            return false;
        }
        std::string sFixed;
        if (!FixMimeWithHTMLAndCalendar(sMime, sFixed)) {
            AddError(L"FixMimeWithHTMLAndCalendar failed(). ");
            return false;
        }
        int bPartial = 0, bFailed = 0;
        const HRESULT hr =
            ConvertMimeToMessage(pMessage, m_pAddrBook, sFixed.data(), static_cast<unsigned int>(sFixed.size()),
                                 nullptr, bPartial, bFailed, m_wsMimeToMapiError);
        m_bReportableLocalWarning = bPartial != 0;
        m_bReportableLocalFailure = bFailed != 0;
        if (bFailed) {
            m_bLocalFailure = true;
            m_sMimeMessage = sFixed;
            m_wsMimeToMapiError += L" (id=" + std::to_wstring(m_pAppointment->GetId()) + L").";
        }
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"OstrelToOOMAppt::ConvertMimeIntoMessage() - ConvertMimeToMessage() failed: %x",
                         static_cast<unsigned>(hr));
            AddError(L"ConvertMimeToMessage failed(), hr: " + Hex(hr));
            return false;
        }
    }
    reminderFlag = 0;
    if (!m_bSupportApptAlarm) {
        LPSPropValue pValue = nullptr;
        if (SUCCEEDED(HrGetOneProp(pMessage, Tag(N::COMMON_8503, PT_BOOLEAN), &pValue)) && pValue)
            reminderFlag = pValue->Value.b ? 1 : 0;
        MAPIFreeBuffer(pValue);
    }
    CalPropList props;
    props.String(PR_MESSAGE_CLASS_W, pComp->GetIsTask() ? L"IPM.Task" : L"IPM.Appointment");
    props.Bool(Tag(N::APPT_825A, PT_BOOLEAN), false);
    props.Bool(Tag(N::COMMON_8503, PT_BOOLEAN), false);
    if (bBlob) {
        // The body the MIME conversion wrote, without the server's summary.
        LPSPropValue pBody = nullptr;
        if (SUCCEEDED(HrGetOneProp(pMessage, PR_BODY_W, &pBody)) && pBody) {
            const std::wstring wsBody = pBody->Value.lpszW;
            if (auto owsStripped = StripMeetingSummary(wsBody))
                props.String(PR_BODY_W, *owsStripped);
        }
        MAPIFreeBuffer(pBody);
    }
    const std::wstring wsDesc = pComp->GetDesc() ? pComp->GetDesc() : L"";
    if (!bBlob && !wsDesc.empty()) {
        props.String(PR_BODY_W, StripMeetingSummary(wsDesc).value_or(wsDesc));
        props.Long(PR_INTERNET_CPID, 65001);
    }
    const std::wstring wsHtml = pComp->GetDescHtml() ? pComp->GetDescHtml() : L"";
    if (!bBlob && !wsHtml.empty() && wsHtml != L"<html><body></body></html>") {
        const std::string sHtml = Platform::ToUtf8(CleanUpCalendarHTML(StripMeetingSummary(wsHtml).value_or(wsHtml)));
        props.Binary(PR_HTML, std::vector<BYTE>(sHtml.begin(), sHtml.end()));
    }
    HRESULT hr = pMessage->SetProps(props.Count(), props.Values(), nullptr);
    if (FAILED(hr)) {
        AddError(L"SetProps() in ConvertMimeIntoMessage(), hr: " + Hex(hr));
        return false;
    }
    return true;
}

bool OstrelToOL::RemoveRecipients(IMessage* pMessage) {
    Platform::ComPtr<IMAPITable> pTable;
    if (FAILED(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())))
        return false;
    SizedSPropTagArray(1, cols) = {1, {PR_ROWID}};
    if (FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)))
        return false;
    LPSRowSet pRows = nullptr;
    if (FAILED(pTable->QueryRows(0x7FFFFFFF, 0, &pRows)) || !pRows)
        return false;
    bool bOk = true;
    if (pRows->cRows) {
        std::vector<char> buffer(CbNewADRLIST(pRows->cRows));
        auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
        pList->cEntries = pRows->cRows;
        for (ULONG i = 0; i < pRows->cRows; ++i)
            pList->aEntries[i] = ADRENTRY{0, pRows->aRow[i].cValues, pRows->aRow[i].lpProps};
        bOk = SUCCEEDED(pMessage->ModifyRecipients(MODRECIP_REMOVE, pList));
    }
    FreeProws(pRows);
    return bOk;
}

bool OstrelToOL::AddAttendee(IMessage* pMessage, const Attendee& attendee, ULONG ulRecipientFlags) {
    const std::wstring wsAddress = attendee.GetEmail() ? attendee.GetEmail() : L"";
    const std::wstring wsName =
        attendee.GetDisplayName() && *attendee.GetDisplayName() ? attendee.GetDisplayName() : wsAddress;
    const bool bOrganizer = (ulRecipientFlags & 2) != 0;
    HRESULT hr = S_OK;
    std::vector<BYTE> entryId = OneOff(m_pAddrBook, wsName, wsAddress, hr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OstrelToOOMAppt::AddAttendee() - could not create the one off, hr: %x",
                     static_cast<unsigned>(hr));
        AddError(L"CreateOneOff() failed in AddAttendee(), hr: " + Hex(hr));
        return false;
    }
    LONG lType = 1;
    if (attendee.GetUserType() == Attendee::UserType::RES)
        lType = 3;
    else if (attendee.GetRole() == Attendee::Role::OPT)
        lType = 2;
    else if (attendee.GetRole() == Attendee::Role::NON)
        lType = 3;

    if (bOrganizer) {
        // The organizer is the sender, or is represented by the one who sent for them.
        std::wstring wsSenderName = wsName, wsSenderAddress = wsAddress;
        std::vector<BYTE> senderId = entryId;
        const wchar_t* pwszSentBy = attendee.GetSentBy();
        if (pwszSentBy && *pwszSentBy && !EqualNoCase(pwszSentBy, wsAddress)) {
            wsSenderName = wsSenderAddress = pwszSentBy;
            senderId = OneOff(m_pAddrBook, wsSenderName, wsSenderAddress, hr);
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"OstrelToOOMAppt::AddAttendee() - could not create the one off from sentBy, hr: %x",
                             static_cast<unsigned>(hr));
                AddError(L"CreateOneOff() failed in AddAttendee(), hr: " + Hex(hr));
                return false;
            }
        }
        SizedSPropTagArray(2, senderCols) = {2, {PR_SENDER_EMAIL_ADDRESS_W, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W}};
        ULONG cValues = 0;
        LPSPropValue pCurrent = nullptr;
        pMessage->GetProps(reinterpret_cast<LPSPropTagArray>(&senderCols), 0, &cValues, &pCurrent);
        const bool bSame = pCurrent && PROP_TYPE(pCurrent[0].ulPropTag) == PT_UNICODE &&
                           PROP_TYPE(pCurrent[1].ulPropTag) == PT_UNICODE &&
                           EqualNoCase(pCurrent[0].Value.lpszW, wsSenderAddress) &&
                           EqualNoCase(pCurrent[1].Value.lpszW, wsAddress);
        MAPIFreeBuffer(pCurrent);
        if (!bSame) {
            CalPropList sender;
            sender.Binary(PR_SENDER_ENTRYID, senderId);
            sender.String(PR_SENDER_NAME_W, wsSenderName);
            sender.String(PR_SENDER_ADDRTYPE_W, L"SMTP");
            sender.String(PR_SENDER_EMAIL_ADDRESS_W, wsSenderAddress);
            sender.Binary(PR_SENDER_SEARCH_KEY, SearchKey(wsSenderAddress));
            sender.Binary(PR_SENT_REPRESENTING_ENTRYID, entryId);
            sender.String(PR_SENT_REPRESENTING_NAME_W, wsName);
            sender.String(PR_SENT_REPRESENTING_ADDRTYPE_W, L"SMTP");
            sender.String(PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, wsAddress);
            sender.Binary(PR_SENT_REPRESENTING_SEARCH_KEY, SearchKey(wsAddress));
            // Saved with the rest of the item: a save of its own here would cost a store
            // transaction per item and change nothing that is kept.
            if (FAILED(hr = pMessage->SetProps(sender.Count(), sender.Values(), nullptr))) {
                OSTLOG_ERROR(L"failed to set sender properties, hr: %x", static_cast<unsigned>(hr));
                AddError(L"failed to set sender properties, hr: " + Hex(hr));
                return false;
            }
        }
    }

    CalPropList row;
    row.String(PR_DISPLAY_NAME_W, wsName);
    row.String(PR_ADDRTYPE_W, L"SMTP");
    row.String(PR_EMAIL_ADDRESS_W, wsAddress);
    row.Binary(PR_ENTRYID, std::move(entryId));
    row.Binary(PR_SEARCH_KEY, SearchKey(wsAddress));
    row.Long(PR_RECIPIENT_TYPE, lType);
    row.Long(PR_RECIPIENT_FLAGS, static_cast<LONG>(ulRecipientFlags));
    if (!bOrganizer)
        row.Long(PR_RECIPIENT_TRACKSTATUS, TrackStatus(attendee.GetPartStatus()));
    ADRLIST list{1, {ADRENTRY{0, row.Count(), row.Values()}}};
    if (FAILED(hr = pMessage->ModifyRecipients(MODRECIP_ADD, &list))) {
        OSTLOG_ERROR(L"OstrelToOOMAppt::AddAttendee() - ModifyRecipients() failed: %x", static_cast<unsigned>(hr));
        AddError(L"ModifyRecipients() failed in AddAttendee(), hr: " + Hex(hr));
        return false;
    }
    return true;
}

void OstrelToOL::AddCategories(IMessage* /*pMessage*/, CalPropList& props, std::vector<ULONG>& deletions) {
    SPropValue value{};
    void* pBuffer = nullptr;
    if (!m_tagNames.empty() && (m_bSupportTagNames || IsPrimaryStore())) {
        std::vector<std::wstring> names(m_tagNames.begin(), m_tagNames.end());
        pBuffer = Mapi::MapTagNamesToKeywordsProp(value, names, m_pStore);
    } else if (!m_tagIds.empty()) {
        std::vector<long> ids(m_tagIds.begin(), m_tagIds.end());
        pBuffer = Mapi::MapTagIdsToKeywordsProp(value, ids, m_pStore);
    }
    const ULONG ulKeywords = Tag(N::KEYWORDS, PT_MV_UNICODE);
    if (pBuffer && PROP_TYPE(value.ulPropTag) == PT_MV_UNICODE && value.Value.MVszW.cValues) {
        std::vector<std::wstring> kept;
        for (ULONG i = 0; i < value.Value.MVszW.cValues; ++i)
            kept.emplace_back(value.Value.MVszW.lppszW[i]);
        MAPIFreeBuffer(pBuffer);
        m_keywords = std::move(kept);
        m_keywordPtrs.clear();
        for (std::wstring& ws : m_keywords)
            m_keywordPtrs.push_back(ws.data());
        SPropValue v{};
        v.ulPropTag = ulKeywords;
        v.Value.MVszW.cValues = static_cast<ULONG>(m_keywordPtrs.size());
        v.Value.MVszW.lppszW = m_keywordPtrs.data();
        props.Raw(v);
        return;
    }
    MAPIFreeBuffer(pBuffer);
    deletions.push_back(ulKeywords);
}

}  // namespace Ostrel::Mail
