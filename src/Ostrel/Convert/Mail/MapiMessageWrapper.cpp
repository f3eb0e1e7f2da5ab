#include "Ostrel/Convert/Mail/MapiMessageWrapper.h"

#include <mutex>

#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Store/MailItem.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/DateTime.h"
#include "Util/Log/Log.h"
#include "Util/Text/CodePage.h"
#include "Util/Time/TimeUtil.h"

namespace {

std::mutex g_icalMutex;
MessageToIcal g_icalConverter;

constexpr ULONG kLastVerbReplyToSender = 102;
constexpr ULONG kLastVerbReplyToAll = 103;
constexpr ULONG kLastVerbForward = 104;

std::string FormatDate(const FILETIME& ft) {
    const ULONGLONG ticks = Ostrel::Util::FileTimeToUInt64(ft);
    const int64_t seconds = ticks >= Ostrel::Util::kFileTimeUnixEpoch
                                ? static_cast<int64_t>((ticks - Ostrel::Util::kFileTimeUnixEpoch) / 10000000ULL)
                                : -static_cast<int64_t>((Ostrel::Util::kFileTimeUnixEpoch - ticks) / 10000000ULL);
    mimepp::DateTime date;
    date.fromUnixTime(seconds);
    date.assemble();
    return date.getString().str();
}

}  // namespace

void SetMessageToIcalConverter(MessageToIcal converter) {
    std::lock_guard<std::mutex> lock(g_icalMutex);
    g_icalConverter = std::move(converter);
}

const std::vector<ULONG> MapiMessageWrapper::_messagePropTags = {
    0x001A001F, 0x0E070003, 0x00390040, 0x0C1E001F, 0x0C1F001F, 0x0C1A001F, 0x0C190102,
    0x0037001F, 0x1000001F, 0x10130102, 0x3FDE0003, 0x3FFD0003, 0x10810003, 0x10900003,
    0x0FFF0102, 0x0064001F, 0x00410102, 0x0065001F, 0x0042001F, 0x0050001F, 0x004F0102,
    0x007D001E, 0x00170003, 0x1035001E, 0x0E060040, 0x0070001F, 0x00710102, 0x300B0102};
const std::vector<ULONG> MapiMessageWrapper::_recipientPropTags = {0x3001001F, 0x0FFF0102, 0x3002001F, 0x3003001F,
                                                                   0x0C150003};
const std::vector<ULONG> MapiMessageWrapper::_replyToPropTags = {0x3001001F, 0x0FFF0102, 0x3002001F, 0x3003001F};

MapiMessageWrapper::MapiMessageWrapper(IMimeConvertSupport* pSupport, int iDepth)
    : m_pSupport(pSupport), m_iDepth(iDepth) {}

MapiMessageWrapper::~MapiMessageWrapper() {
    MAPIFreeBuffer(m_pProps);
}

HRESULT MapiMessageWrapper::Initialize(IMessage* pMessage) {
    if (!pMessage)
        return E_INVALIDARG;
    m_pMessage = Platform::ComPtr<IMessage>(pMessage);
    MAPIFreeBuffer(m_pProps);
    m_pProps = nullptr;
    LPSPropTagArray pTags = Ostrel::Convert::Fixup::NewTagArray(_messagePropTags);
    if (!pTags)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr = pMessage->GetProps(pTags, 0, &m_cProps, &m_pProps);
    MAPIFreeBuffer(pTags);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to get message props: %x", hr);
        return hr;
    }
    // 8-bit strings are stored in the message's code page (the system's when it names none).
    const LONG lCodePage = Long(PR_MESSAGE_CODEPAGE, 0);
    m_uiStringCodePage = lCodePage > 0 && Ostrel::Util::IsSupportedCodePage(static_cast<UINT>(lCodePage))
                             ? static_cast<UINT>(lCodePage)
                             : Ostrel::Util::CP_ACP;
    // The bodies come with the other properties and are used where they are; one too large for
    // that is read on its own.
    m_wsBody.clear();
    m_sHtml.clear();
    m_bHasBody = Prop(PR_BODY_W) != nullptr;
    if (!m_bHasBody && IsTooLarge(PR_BODY_W))
        m_bHasBody = Ostrel::Convert::Fixup::GetUnicodeProp(pMessage, PR_BODY_W, m_wsBody);
    m_bHasHtml = Prop(PR_HTML) != nullptr;
    if (!m_bHasHtml && IsTooLarge(PR_HTML))
        m_bHasHtml = Ostrel::Convert::Fixup::GetBinaryProp(pMessage, PR_HTML, m_sHtml);

    m_vecRecipients.clear();
    Platform::ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    LPSPropTagArray pRecipientTags = Ostrel::Convert::Fixup::NewTagArray(_recipientPropTags);
    hr = pRecipientTags ? pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf()) : MAPI_E_NOT_ENOUGH_MEMORY;
    if (SUCCEEDED(hr))
        hr = HrQueryAllRows(pTable.Get(), pRecipientTags, nullptr, nullptr, 0, &pRows);
    MAPIFreeBuffer(pRecipientTags);
    if (FAILED(hr)) {
        OSTLOG_WARN(L"NULL recipient table");
        return S_OK;
    }
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        Recipient r;
        for (ULONG j = 0; j < row.cValues; ++j) {
            const SPropValue& v = row.lpProps[j];
            switch (v.ulPropTag) {
                case 0x3001001F:
                    r.wsName = v.Value.lpszW ? v.Value.lpszW : L"";
                    break;
                case 0x0FFF0102:
                    r.sEntryId.assign(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
                    break;
                case 0x3002001F:
                    r.wsAddrType = v.Value.lpszW ? v.Value.lpszW : L"";
                    break;
                case 0x3003001F:
                    r.wsAddress = v.Value.lpszW ? v.Value.lpszW : L"";
                    break;
                case 0x0C150003:
                    r.lType = v.Value.l;
                    break;
                default:
                    break;
            }
        }
        m_vecRecipients.push_back(std::move(r));
    }
    FreeProws(pRows);
    return S_OK;
}

const SPropValue* MapiMessageWrapper::Prop(ULONG ulTag) const {
    if (!m_pProps)
        return nullptr;
    for (ULONG i = 0; i < m_cProps; ++i) {
        if (m_pProps[i].ulPropTag == ulTag)
            return &m_pProps[i];
    }
    return nullptr;
}

bool MapiMessageWrapper::IsTooLarge(ULONG ulTag) const {
    for (ULONG i = 0; m_pProps && i < m_cProps; ++i) {
        if (m_pProps[i].ulPropTag == CHANGE_PROP_TYPE(ulTag, PT_ERROR))
            return m_pProps[i].Value.err == MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return false;
}

std::wstring MapiMessageWrapper::Text(ULONG ulTag) const {
    if (const SPropValue* p = Prop(ulTag)) {
        if (PROP_TYPE(ulTag) == PT_UNICODE)
            return p->Value.lpszW ? p->Value.lpszW : L"";
        return Ostrel::Convert::Fixup::StoreString8(p->Value.lpszA, m_uiStringCodePage);
    }
    return std::wstring();
}

LONG MapiMessageWrapper::Long(ULONG ulTag, LONG lDefault) const {
    const SPropValue* p = Prop(ulTag);
    return p ? p->Value.l : lDefault;
}

std::string MapiMessageWrapper::Binary(ULONG ulTag) const {
    const SPropValue* p = Prop(ulTag);
    return p ? std::string(reinterpret_cast<const char*>(p->Value.bin.lpb), p->Value.bin.cb) : std::string();
}

std::wstring MapiMessageWrapper::Subject() const {
    return Text(PR_SUBJECT_W);
}

ULONG MapiMessageWrapper::CodePageId() const {
    LONG lCodePage = Long(PR_INTERNET_CPID, 0);
    if (lCodePage <= 0)
        lCodePage = Long(PR_MESSAGE_CODEPAGE, 0);
    return lCodePage > 0 ? static_cast<ULONG>(lCodePage) : Ostrel::Util::CP_UTF8;
}

bool MapiMessageWrapper::Date(FILETIME& ft) const {
    const SPropValue* p = Prop(PR_CLIENT_SUBMIT_TIME);
    if (p)
        ft = p->Value.ft;
    return p != nullptr;
}

std::string MapiMessageWrapper::DateString() const {
    FILETIME ft{};
    return Date(ft) ? FormatDate(ft) : "No Date";
}

bool MapiMessageWrapper::DeliveryDate(FILETIME& ft) const {
    const SPropValue* p = Prop(PR_MESSAGE_DELIVERY_TIME);
    if (p)
        ft = p->Value.ft;
    return p != nullptr;
}

std::string MapiMessageWrapper::DeliveryDateString() const {
    FILETIME ft{};
    return DeliveryDate(ft) ? FormatDate(ft) : "No Date";
}

std::wstring MapiMessageWrapper::UniqueId() const {
    return Text(0x1035001E);
}

bool MapiMessageWrapper::HasTextPart() const {
    return m_bHasBody;
}

bool MapiMessageWrapper::HasHtmlPart() const {
    return m_bHasHtml;
}

bool MapiMessageWrapper::HasAttach() const {
    return (Long(PR_MESSAGE_FLAGS, 0) & MSGFLAG_HASATTACH) != 0;
}

bool MapiMessageWrapper::IsUnsent() const {
    return (Long(PR_MESSAGE_FLAGS, 0) & MSGFLAG_UNSENT) != 0;
}

bool MapiMessageWrapper::RepliedTo() const {
    const LONG lVerb = Long(PR_LAST_VERB_EXECUTED, 0);
    return lVerb == kLastVerbReplyToSender || lVerb == kLastVerbReplyToAll;
}

bool MapiMessageWrapper::Forwarded() const {
    return Long(PR_LAST_VERB_EXECUTED, 0) == static_cast<LONG>(kLastVerbForward);
}

bool MapiMessageWrapper::IsUnread() const {
    return (Long(PR_MESSAGE_FLAGS, 0) & MSGFLAG_READ) == 0;
}

bool MapiMessageWrapper::IsFromMe() const {
    return (Long(PR_MESSAGE_FLAGS, 0) & MSGFLAG_FROMME) != 0;
}

bool MapiMessageWrapper::IsContact() const {
    return Ostrel::Mapi::MsgClassToItemType(Text(PR_MESSAGE_CLASS_W).c_str()) == Ostrel::Mail::MIT_CONTACT;
}

bool MapiMessageWrapper::IsCalendarThingy() const {
    const std::wstring wsClass = Text(PR_MESSAGE_CLASS_W);
    return Ostrel::Convert::Fixup::StartsWithNoCase(wsClass, L"IPM.Appointment") ||
           Ostrel::Convert::Fixup::StartsWithNoCase(wsClass, L"IPM.Schedule.Meeting");
}

bool MapiMessageWrapper::IsMailMessage() const {
    return Ostrel::Mapi::MsgClassToItemType(Text(PR_MESSAGE_CLASS_W).c_str()) == Ostrel::Mail::MIT_MESSAGE &&
           !IsCalendarThingy();
}

std::wstring_view MapiMessageWrapper::BodyView() const {
    const SPropValue* p = Prop(PR_BODY_W);
    return p && p->Value.lpszW ? std::wstring_view(p->Value.lpszW) : std::wstring_view(m_wsBody);
}

std::string_view MapiMessageWrapper::HtmlView() const {
    const SPropValue* p = Prop(PR_HTML);
    return p ? std::string_view(reinterpret_cast<const char*>(p->Value.bin.lpb), p->Value.bin.cb)
             : std::string_view(m_sHtml);
}

std::wstring MapiMessageWrapper::TextBody() const {
    return std::wstring(BodyView());
}

std::string MapiMessageWrapper::TextBodyInCodePage(ULONG* pCodePage) const {
    ULONG ulCodePage = CodePageId();
    std::string out;
    bool bLossy = false;
    // UTF-16 and UTF-32 code pages cannot be MIME text; a text the code page cannot hold goes out in
    // UTF-8 rather than with question marks.
    if (ulCodePage == 1200 || ulCodePage == 1201 || ulCodePage == 12000 || ulCodePage == 12001 ||
        !Ostrel::Util::UnicodeToAnsii(BodyView(), static_cast<UINT>(ulCodePage), out, &bLossy) || bLossy) {
        ulCodePage = Ostrel::Util::CP_UTF8;
        out = Platform::ToUtf8(BodyView());
    }
    if (pCodePage)
        *pCodePage = ulCodePage;
    return out;
}

std::string MapiMessageWrapper::HtmlBody() const {
    return std::string(HtmlView());
}

bool MapiMessageWrapper::CalBody(std::string& sIcal, std::string& sMethod) const {
    sIcal.clear();
    sMethod.clear();
    if (!m_pMessage || !IsCalendarThingy())
        return false;
    MessageToIcal converter;
    {
        std::lock_guard<std::mutex> lock(g_icalMutex);
        converter = g_icalConverter;
    }
    if (converter)
        return SUCCEEDED(converter(m_pMessage.Get(), sIcal, sMethod)) && !sIcal.empty();
    // The calendar part a converted meeting keeps as an attachment.
    if (!HasAttach())
        return false;
    Platform::ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_MIME_TAG_W}};
    if (FAILED(m_pMessage->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf())) ||
        FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
        return false;
    for (ULONG i = 0; i < pRows->cRows && sIcal.empty(); ++i) {
        const SRow& row = pRows->aRow[i];
        const SPropValue* pTag = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_MIME_TAG_W);
        const SPropValue* pNum = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_NUM);
        if (!pTag || !pNum || !pTag->Value.lpszW || std::wstring(pTag->Value.lpszW) != L"text/calendar")
            continue;
        Platform::ComPtr<IAttach> pAttach;
        if (SUCCEEDED(m_pMessage->OpenAttach(static_cast<ULONG>(pNum->Value.l), nullptr, 0, pAttach.AddressOf())))
            Ostrel::Convert::Fixup::GetBinaryProp(pAttach.Get(), PR_ATTACH_DATA_BIN, sIcal);
    }
    FreeProws(pRows);
    std::string upper = sIcal;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t m = upper.find("\nMETHOD:");
    if (m != std::string::npos) {
        const size_t end = upper.find_first_of("\r\n", m + 8);
        sMethod = sIcal.substr(m + 8, end == std::string::npos ? std::string::npos : end - m - 8);
    }
    return !sIcal.empty();
}

HRESULT MapiMessageWrapper::MessageToIcalStream(IStream** ppStream, std::string& sMethod) const {
    if (!ppStream)
        return E_POINTER;
    std::string ical;
    if (!CalBody(ical, sMethod))
        return MAPI_E_NOT_FOUND;
    *ppStream = Platform::MemStream::Create(ical).Detach();
    return S_OK;
}
