// The MIME tree of MapiMessageWrapper: headers, bodies and attachments.
#include <functional>
#include <memory>
#include <string_view>

#include "Ostrel/Convert/Mail/AttachToMime.h"
#include "Ostrel/Convert/Mail/CharsetUtil.h"
#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MapiMessageWrapper.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Convert/Addresses.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/Address.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/Field.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

using Ostrel::Util::CharsetUtil;

namespace {

bool IsSmtp(const std::wstring& wsType) {
    return Ostrel::Convert::Fixup::StartsWithNoCase(wsType, L"SMTP") && wsType.size() == 4;
}

mimepp::Field* NewTextField(const char* pszName, const std::wstring& wsValue) {
    mimepp::Field* pField = mimepp::Field::newField(pszName, "");
    static_cast<mimepp::Text&>(pField->fieldBody()).setTextUtf8(mimepp::String(Platform::ToUtf8(wsValue)));
    return pField;
}

// A text body encoded as its type asks (text: quoted-printable, else Base64).
void FillTextBody(mimepp::Entity& part, std::string_view data, const char* pszSubtype, const std::string& charset) {
    mimepp::MediaType& type = part.headers().contentType();
    type.setType("text");
    type.setSubtype(pszSubtype);
    type.setCharset(mimepp::String(charset));
    Ostrel::Util::MIME_ENCODING encoding = CharsetUtil::FindEncoding("text/");
    mimepp::String encoded;
    if (!CharsetUtil::EncodeBody(encoding, data.data(), data.size(), encoded)) {
        encoding = Ostrel::Util::ME_BASE64;
        CharsetUtil::EncodeBody(encoding, data.data(), data.size(), encoded);
    }
    part.headers().contentTransferEncoding().fromEnum(CharsetUtil::TEFromME(encoding));
    part.body().setString(std::move(encoded));
}

// The iCalendar text as it is, in UTF-8 whatever the message's code page.
void FillCalendarBody(mimepp::Entity& part, std::string ical, const std::string& method) {
    mimepp::MediaType& type = part.headers().contentType();
    type.setType("text");
    type.setSubtype("calendar");
    type.setCharset("utf-8");
    if (!method.empty())
        type.setParameter("method", mimepp::String(method));
    type.setName("meeting.ics");
    part.headers().contentTransferEncoding().fromEnum(mimepp::TransferEncodingType::EIGHT_BIT);
    part.body().setString(mimepp::String(std::move(ical)));
}

}  // namespace

std::wstring MapiMessageWrapper::GetSmtpAddress(const std::wstring& wsType, const std::wstring& wsAddress,
                                                const std::string& sEntryId) const {
    if (IsSmtp(wsType) || (wsType.empty() && wsAddress.find(L'@') != std::wstring::npos))
        return wsAddress;
    Platform::Mapi::Convert::Address oneOff;
    if (Platform::Mapi::Convert::AddressFromEntryId(sEntryId, &oneOff) && IsSmtp(oneOff.wsType))
        return oneOff.wsAddress;
    Platform::ComPtr<IAddrBook> pAddrBook;
    if (!sEntryId.empty() && m_pSupport && SUCCEEDED(m_pSupport->GetAddrBook(pAddrBook.AddressOf()))) {
        ULONG ulType = 0;
        Platform::ComPtr<IUnknown> pEntry;
        if (SUCCEEDED(pAddrBook->OpenEntry(static_cast<ULONG>(sEntryId.size()),
                                           reinterpret_cast<LPENTRYID>(const_cast<char*>(sEntryId.data())), nullptr, 0,
                                           &ulType, pEntry.AddressOf()))) {
            auto* pProp = static_cast<IMAPIProp*>(pEntry.Get());
            std::wstring smtp, type;
            if (Ostrel::Convert::Fixup::GetUnicodeProp(pProp, PR_SMTP_ADDRESS_W, smtp) && !smtp.empty())
                return smtp;
            if (Ostrel::Convert::Fixup::GetUnicodeProp(pProp, PR_ADDRTYPE_W, type) && IsSmtp(type) &&
                Ostrel::Convert::Fixup::GetUnicodeProp(pProp, PR_EMAIL_ADDRESS_W, smtp))
                return smtp;
        }
    }
    return wsAddress;
}

bool MapiMessageWrapper::AddressBookEntry(const std::string& sEntryId, std::wstring& wsName, std::wstring& wsType,
                                          std::wstring& wsAddress) const {
    Platform::ComPtr<IAddrBook> pAddrBook;
    if (sEntryId.empty() || !m_pSupport || FAILED(m_pSupport->GetAddrBook(pAddrBook.AddressOf())))
        return false;
    ULONG ulType = 0;
    Platform::ComPtr<IUnknown> pEntry;
    if (FAILED(pAddrBook->OpenEntry(static_cast<ULONG>(sEntryId.size()),
                                    reinterpret_cast<LPENTRYID>(const_cast<char*>(sEntryId.data())), nullptr, 0,
                                    &ulType, pEntry.AddressOf())))
        return false;
    LPSPropTagArray pTags = Ostrel::Convert::Fixup::NewTagArray(_replyToPropTags);
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    const HRESULT hr =
        pTags ? static_cast<IMAPIProp*>(pEntry.Get())->GetProps(pTags, MAPI_UNICODE, &cValues, &pValues) : E_FAIL;
    MAPIFreeBuffer(pTags);
    if (FAILED(hr))
        return false;
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& v = pValues[i];
        if (PROP_TYPE(v.ulPropTag) != PT_UNICODE || !v.Value.lpszW)
            continue;
        if (v.ulPropTag == PR_DISPLAY_NAME_W)
            wsName = v.Value.lpszW;
        else if (v.ulPropTag == PR_ADDRTYPE_W)
            wsType = v.Value.lpszW;
        else if (v.ulPropTag == PR_EMAIL_ADDRESS_W)
            wsAddress = v.Value.lpszW;
    }
    MAPIFreeBuffer(pValues);
    return !wsAddress.empty();
}

mimepp::Mailbox* MapiMessageWrapper::NewMailbox(const std::wstring& wsName, const std::wstring& wsType,
                                                const std::wstring& wsAddress, const std::string& sEntryId) const {
    const std::string address = Platform::ToUtf8(GetSmtpAddress(wsType, wsAddress, sEntryId));
    auto* pMailbox = new mimepp::Mailbox();
    const size_t at = address.rfind('@');
    pMailbox->setLocalPart(mimepp::String(address.substr(0, at)));
    if (at != std::string::npos)
        pMailbox->setDomain(mimepp::String(address.substr(at + 1)));
    if (!wsName.empty() && wsName != wsAddress)
        pMailbox->setDisplayNameUtf(mimepp::String(Platform::ToUtf8(wsName)));
    return pMailbox;
}

void MapiMessageWrapper::SetAddressHeaders(mimepp::Headers& headers) const {
    // From is who the message is sent for; Sender the account that sends it, when that is another.
    std::wstring fromName = Text(PR_SENT_REPRESENTING_NAME_W);
    std::wstring fromType = Text(PR_SENT_REPRESENTING_ADDRTYPE_W);
    std::wstring fromAddress = Text(PR_SENT_REPRESENTING_EMAIL_ADDRESS_W);
    std::string fromEntryId = Binary(PR_SENT_REPRESENTING_ENTRYID);
    const std::wstring senderName = Text(PR_SENDER_NAME_W);
    const std::wstring senderType = Text(PR_SENDER_ADDRTYPE_W);
    const std::wstring senderAddress = Text(PR_SENDER_EMAIL_ADDRESS_W);
    const std::string senderEntryId = Binary(PR_SENDER_ENTRYID);
    if (fromAddress.empty() && fromEntryId.empty()) {
        fromName = senderName;
        fromType = senderType;
        fromAddress = senderAddress;
        fromEntryId = senderEntryId;
    }
    if (!fromAddress.empty() || !fromEntryId.empty()) {
        mimepp::Field* pFrom = mimepp::Field::newField("From", "");
        static_cast<mimepp::MailboxList&>(pFrom->fieldBody())
            .addMailbox(NewMailbox(fromName, fromType, fromAddress, fromEntryId));
        headers.addField(pFrom);
    }
    if ((!senderAddress.empty() || !senderEntryId.empty()) &&
        GetSmtpAddress(senderType, senderAddress, senderEntryId) !=
            GetSmtpAddress(fromType, fromAddress, fromEntryId)) {
        mimepp::Field* pSender = mimepp::Field::newField("Sender", "");
        std::unique_ptr<mimepp::Mailbox> pMailbox(NewMailbox(senderName, senderType, senderAddress, senderEntryId));
        auto& target = static_cast<mimepp::Mailbox&>(pSender->fieldBody());
        target.setLocalPart(pMailbox->localPart());
        target.setDomain(pMailbox->domain());
        if (!pMailbox->displayNameUtf8().empty())
            target.setDisplayNameUtf8(pMailbox->displayNameUtf8());
        headers.addField(pSender);
    }
    for (const auto& [lType, pszName] :
         {std::pair<LONG, const char*>{MAPI_TO, "To"}, {MAPI_CC, "Cc"}, {MAPI_BCC, "Bcc"}}) {
        mimepp::Field* pField = nullptr;
        for (const Recipient& r : m_vecRecipients) {
            if (r.lType != lType)
                continue;
            if (!pField)
                pField = mimepp::Field::newField(pszName, "");
            static_cast<mimepp::AddressList&>(pField->fieldBody())
                .addAddress(NewMailbox(r.wsName, r.wsAddrType, r.wsAddress, r.sEntryId));
        }
        if (pField)
            headers.addField(pField);
    }
}

void MapiMessageWrapper::SetReplyTo(mimepp::Headers& headers) const {
    std::vector<std::string> entryIds;
    if (!Platform::Mapi::Convert::ParseFlatEntryList(Binary(PR_REPLY_RECIPIENT_ENTRIES), &entryIds) || entryIds.empty())
        return;
    // The names, ';'-separated, count only when there is one per entry.
    std::vector<std::wstring> names;
    const std::wstring joined = Text(PR_REPLY_RECIPIENT_NAMES_W);
    for (size_t start = 0; !joined.empty() && start <= joined.size();) {
        size_t end = joined.find(L';', start);
        if (end == std::wstring::npos)
            end = joined.size();
        std::wstring name = joined.substr(start, end - start);
        while (!name.empty() && name.front() == L' ')
            name.erase(name.begin());
        names.push_back(name);
        start = end + 1;
    }
    if (names.size() != entryIds.size())
        names.assign(entryIds.size(), std::wstring());
    mimepp::Field* pField = nullptr;
    for (size_t i = 0; i < entryIds.size(); ++i) {
        Platform::Mapi::Convert::Address address;
        if (!Platform::Mapi::Convert::AddressFromEntryId(entryIds[i], &address))
            AddressBookEntry(entryIds[i], address.wsName, address.wsType, address.wsAddress);
        if (address.wsAddress.empty())
            continue;
        if (!pField)
            pField = mimepp::Field::newField("Reply-To", "");
        const std::wstring& name = names[i].empty() ? address.wsName : names[i];
        static_cast<mimepp::AddressList&>(pField->fieldBody())
            .addAddress(NewMailbox(name, address.wsType, address.wsAddress, entryIds[i]));
    }
    if (pField)
        headers.addField(pField);
}

HRESULT MapiMessageWrapper::ToMime(mimepp::Message& target, int) {
    if (!m_pMessage)
        return E_UNEXPECTED;
    mimepp::Headers& headers = target.headers();
    headers.addField(mimepp::Field::newField("MIME-Version", "1.0 (generated by KRMSXP32)"));
    // A message without a submit time has no Date: "No Date" would not be a date to any reader.
    FILETIME ft{};
    if (Date(ft))
        headers.addField(mimepp::Field::newField("Date", mimepp::String(DateString())));
    SetAddressHeaders(headers);
    SetReplyTo(headers);
    if (Prop(PR_SUBJECT_W))
        headers.addField(NewTextField("Subject", Subject()));
    // Without a conversation topic the subject is the topic, as SetThreadTopic would make it.
    if (Prop(PR_CONVERSATION_TOPIC_W) || Prop(PR_SUBJECT_W))
        headers.addField(
            NewTextField("Thread-Topic", Prop(PR_CONVERSATION_TOPIC_W) ? Text(PR_CONVERSATION_TOPIC_W) : Subject()));
    if (const SPropValue* pIndex = Prop(PR_CONVERSATION_INDEX)) {
        mimepp::Base64Encoder encoder;
        encoder.setMaxLineLen(0);
        encoder.setSuppressFinalNewline(true);
        mimepp::String encoded;
        encoder.encode(mimepp::String(reinterpret_cast<const char*>(pIndex->Value.bin.lpb), pIndex->Value.bin.cb),
                       encoded);
        headers.addField(mimepp::Field::newField("Thread-Index", encoded));
    }
    if (const SPropValue* pImportance = Prop(PR_IMPORTANCE)) {
        const char* pszPriority = pImportance->Value.l == 2 ? "1" : pImportance->Value.l == 0 ? "5" : "3";
        headers.addField(mimepp::Field::newField("X-Priority", pszPriority));
    }
    return SetBodyAndAttachments(target);
}

void MapiMessageWrapper::SetDeliveryDate(mimepp::Message& target) const {
    FILETIME ft{};
    if (!DeliveryDate(ft))
        return;
    // Milliseconds since 1970, the form the incoming side reads this header in.
    const ULONGLONG ticks = Ostrel::Util::FileTimeToUInt64(ft);
    const long long ms = ticks >= Ostrel::Util::kFileTimeUnixEpoch
                             ? static_cast<long long>((ticks - Ostrel::Util::kFileTimeUnixEpoch) / 10000)
                             : -static_cast<long long>((Ostrel::Util::kFileTimeUnixEpoch - ticks) / 10000);
    target.headers().removeField("X-Ostrel-Received");
    target.headers().addField(mimepp::Field::newField("X-Ostrel-Received", mimepp::String(std::to_string(ms))));
}

HRESULT MapiMessageWrapper::SetBodyAndAttachments(mimepp::Message& target) {
    ULONG ulTextCodePage = CodePageId();
    const std::string text = HasTextPart() ? TextBodyInCodePage(&ulTextCodePage) : std::string();
    std::string ical, method;
    const bool bCalendar = IsCalendarThingy() && CalBody(ical, method);

    // The bodies in their order (text, HTML, calendar), each written straight into its part; a
    // message without any gets an empty text.
    std::vector<std::function<void(mimepp::Entity&)>> bodies;
    if (HasTextPart())
        bodies.emplace_back([&](mimepp::Entity& part) {
            FillTextBody(part, text, "plain", CharsetUtil::CharsetStringFromCodePageId(ulTextCodePage));
        });
    if (HasHtmlPart())
        bodies.emplace_back([&](mimepp::Entity& part) {
            FillTextBody(part, HtmlView(), "html", CharsetUtil::CharsetStringFromCodePageId(CodePageId()));
        });
    if (bCalendar)
        bodies.emplace_back([&](mimepp::Entity& part) { FillCalendarBody(part, std::move(ical), method); });
    if (bodies.empty())
        bodies.emplace_back([&](mimepp::Entity& part) {
            FillTextBody(part, std::string_view(), "plain", CharsetUtil::CharsetStringFromCodePageId(CodePageId()));
        });

    mimepp::Entity* pContainer = &target;
    std::unique_ptr<mimepp::BodyPart> pFirst;
    if (HasAttach()) {
        target.headers().contentType().setType("multipart");
        target.headers().contentType().setSubtype("mixed");
        pFirst.reset(mimepp::BodyPart::newBodyPart());
        pContainer = pFirst.get();
    }
    if (bodies.size() < 2) {
        bodies.front()(*pContainer);
    } else {
        pContainer->headers().contentType().setType("multipart");
        pContainer->headers().contentType().setSubtype("alternative");
        for (const auto& fill : bodies) {
            auto* pPart = mimepp::BodyPart::newBodyPart();
            pContainer->body().addBodyPart(pPart);
            fill(*pPart);
        }
    }
    if (!pFirst)
        return S_OK;
    target.body().addBodyPart(pFirst.release());
    return SetAttachments(target);
}

HRESULT MapiMessageWrapper::SetAttachments(mimepp::Entity& mixed) {
    Platform::ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(3, cols) = {3, {PR_ATTACH_NUM, PR_ATTACH_SIZE, PR_ATTACH_MIME_TAG_W}};
    if (FAILED(m_pMessage->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf())) ||
        FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows))) {
        OSTLOG_WARN(L"ULL attachment table");
        return S_OK;
    }
    const bool bCalendarFromAttachment = IsCalendarThingy();
    HRESULT hr = S_OK;
    bool bCalendarSkipped = false;
    for (ULONG i = 0; i < pRows->cRows && SUCCEEDED(hr); ++i) {
        const SRow& row = pRows->aRow[i];
        const SPropValue* pNum = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_NUM);
        if (!pNum)
            continue;
        // The calendar part a meeting keeps as an attachment went out as its calendar body.
        const SPropValue* pTag = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_MIME_TAG_W);
        if (bCalendarFromAttachment && !bCalendarSkipped && pTag && pTag->Value.lpszW &&
            std::wstring(pTag->Value.lpszW) == L"text/calendar") {
            bCalendarSkipped = true;
            continue;
        }
        Platform::ComPtr<IAttach> pAttach;
        hr = m_pMessage->OpenAttach(static_cast<ULONG>(pNum->Value.l), nullptr, 0, pAttach.AddressOf());
        if (FAILED(hr))
            break;
        AttachToMime attach(pAttach.Get(), m_uiStringCodePage, m_iDepth, m_pSupport);
        hr = attach.InitAttachToMime();
        if (FAILED(hr))
            break;
        mimepp::BodyPart* pPart = attach.ToMimePart(&hr);
        if (pPart)
            mixed.body().addBodyPart(pPart);
    }
    FreeProws(pRows);
    return hr;
}
