#include "Platform/Mapi/Convert/MimeWriter.h"

#include <algorithm>
#include <cwctype>
#include <memory>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComApi.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/Addresses.h"
#include "Platform/Mapi/Convert/Charset.h"
#include "Platform/Mapi/Convert/ConvertTags.h"
#include "Platform/Mapi/Convert/Envelope.h"
#include "Platform/Mapi/Convert/Flowed.h"
#include "Platform/Mapi/Convert/HtmlText.h"
#include "Platform/Mapi/Convert/MimeParts.h"
#include "Platform/Mapi/Convert/PartContent.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/Address.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/DateTime.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"

namespace Platform::Mapi::Convert {

namespace {

using mimepp::TransferEncodingType;

struct BufferFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
using Buffer = std::unique_ptr<SPropValue, BufferFree>;

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

std::string Utf8(const std::wstring& text) {
    return Platform::ToUtf8(text);
}

// "x-mailer" as "X-Mailer".
std::string HeaderName(const std::string& lower) {
    std::string out = lower;
    for (size_t i = 0; i < out.size(); ++i)
        if ((i == 0 || out[i - 1] == '-') && out[i] >= 'a' && out[i] <= 'z')
            out[i] = static_cast<char>(out[i] - 32);
    return out;
}

int64_t FileTimeToUnix(const FILETIME& ft) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

// An unstructured header value with RFC 2047 words where it needs them. Built apart from any field,
// whose name would decide the value's type.
std::string EncodedText(const std::wstring& value) {
    mimepp::Text text;
    text.setTextUtf8(mimepp::String(Utf8(value)));
    text.assemble();
    return text.getString().str();
}

// A date header value in UTC, with seconds.
std::string DateText(const FILETIME& ft) {
    mimepp::DateTime date;
    date.fromUnixTime(FileTimeToUnix(ft), 0);
    date.assemble();
    return date.getString().str();
}

mimepp::Mailbox* NewMailbox(const Address& a) {
    auto* box = new mimepp::Mailbox();
    const std::string address = Utf8(a.wsAddress);
    const size_t at = address.rfind('@');
    box->setLocalPart(OneLine(at == std::string::npos ? address : address.substr(0, at)));
    if (at != std::string::npos)
        box->setDomain(OneLine(address.substr(at + 1)));
    if (!a.wsName.empty() && a.wsName != a.wsAddress)
        box->setDisplayNameUtf8(Utf8(a.wsName));
    return box;
}

// An address fit for an Internet header: SMTP as it is, other types encapsulated ("IMCEAEX-...").
Address InternetAddress(Address a, const std::wstring& wsSmtp) {
    std::wstring upper = a.wsType;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(std::towupper(c));
    if (!wsSmtp.empty()) {
        a.wsAddress = wsSmtp;
    } else if (upper != L"SMTP" && !a.wsAddress.empty() && a.wsAddress.find(L'@') == std::wstring::npos) {
        std::wstring encoded;
        for (wchar_t c : a.wsAddress) {
            if (c == L'/') {
                encoded += L'_';
            } else if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
                       c == L'=') {
                encoded += c;
            } else {
                for (unsigned char b : Utf8(std::wstring(1, c))) {
                    wchar_t hex[4];
                    std::swprintf(hex, 4, L"+%02X", b);
                    encoded += hex;
                }
            }
        }
        a.wsAddress = L"IMCEA" + upper + L"-" + encoded + L"@imcea.invalid";
    }
    a.wsType = L"SMTP";
    return a;
}

// "Name" <address> with the name as raw UTF-8 text in a quoted string.
std::string MailboxText(const Address& a) {
    const std::string address = OneLine(Utf8(a.wsAddress));
    if (a.wsName.empty() || a.wsName == a.wsAddress)
        return address;
    std::string name;
    for (char c : OneLine(Utf8(a.wsName))) {
        if (c == '"' || c == '\\')
            name += '\\';
        name += c;
    }
    return "\"" + name + "\" <" + address + ">";
}

}  // namespace

// Every property of an object, with the names of its named properties.
struct MimeWriter::Props {
    Buffer values;
    ULONG cValues = 0;
    std::map<ULONG, const SPropValue*> byId;
    std::vector<std::pair<std::wstring, std::wstring>> internetHeaders;  // name, value
    std::vector<std::wstring> keywords;
    std::map<LONG, const SPropValue*> commonLids;  // PSETID_Common properties by id

    HRESULT Read(IMAPIProp* pProp, bool bNames) {
        LPSPropValue pv = nullptr;
        HRESULT hr = pProp->GetProps(nullptr, MAPI_UNICODE, &cValues, &pv);
        if (FAILED(hr))
            return hr;
        values.reset(pv);
        std::vector<ULONG> named;
        for (ULONG i = 0; i < cValues; ++i) {
            if (PROP_TYPE(pv[i].ulPropTag) == PT_ERROR)
                continue;
            byId[PROP_ID(pv[i].ulPropTag)] = &pv[i];
            if (PROP_ID(pv[i].ulPropTag) >= 0x8000)
                named.push_back(pv[i].ulPropTag);
        }
        if (!bNames || named.empty())
            return S_OK;
        std::vector<char> tagBuffer(CbNewSPropTagArray(named.size()));
        auto* pTags = reinterpret_cast<LPSPropTagArray>(tagBuffer.data());
        pTags->cValues = static_cast<ULONG>(named.size());
        std::copy(named.begin(), named.end(), pTags->aulPropTag);
        ULONG cNames = 0;
        LPMAPINAMEID* ppNames = nullptr;
        if (FAILED(pProp->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames)))
            return S_OK;
        for (ULONG i = 0; i < cNames && i < named.size(); ++i) {
            const MAPINAMEID* pName = ppNames[i];
            if (!pName || !pName->lpguid)
                continue;
            const SPropValue& v = *byId[PROP_ID(named[i])];
            if (pName->ulKind == MNID_ID && *pName->lpguid == PSETID_Common)
                commonLids[pName->Kind.lID] = &v;
            if (pName->ulKind != MNID_STRING)
                continue;
            const std::wstring name = pName->Kind.lpwstrName;
            if (*pName->lpguid == PS_INTERNET_HEADERS && PROP_TYPE(v.ulPropTag) == PT_UNICODE) {
                std::wstring lower = name;
                for (wchar_t& c : lower)
                    c = static_cast<wchar_t>(std::towlower(c));
                internetHeaders.emplace_back(lower, v.Value.lpszW);
            } else if (*pName->lpguid == PS_PUBLIC_STRINGS && name == L"Keywords" &&
                       PROP_TYPE(v.ulPropTag) == PT_MV_UNICODE) {
                for (ULONG k = 0; k < v.Value.MVszW.cValues; ++k)
                    keywords.emplace_back(v.Value.MVszW.lppszW[k]);
            }
        }
        MAPIFreeBuffer(ppNames);
        return S_OK;
    }

    const SPropValue* Get(ULONG ulTag) const {
        auto it = byId.find(PROP_ID(ulTag));
        return it != byId.end() && PROP_TYPE(it->second->ulPropTag) == PROP_TYPE(ulTag) ? it->second : nullptr;
    }
    std::wstring Str(ULONG ulTag) const {
        const SPropValue* v = Get(ulTag);
        return v ? std::wstring(v->Value.lpszW) : std::wstring();
    }
    std::string Bin(ULONG ulTag) const { return std::string(BinView(ulTag)); }
    // A binary value where it was read, for large ones that are only passed on.
    std::string_view BinView(ULONG ulTag) const {
        const SPropValue* v = Get(ulTag);
        return v ? std::string_view(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb)
                 : std::string_view();
    }
    LONG Long(ULONG ulTag, LONG lDefault) const {
        const SPropValue* v = Get(ulTag);
        return v ? v->Value.l : lDefault;
    }
    bool Bool(ULONG ulTag) const {
        const SPropValue* v = Get(ulTag);
        return v && v->Value.b;
    }
    // The address group of the four tags; false when it has no address.
    bool Group(ULONG ulName, ULONG ulType, ULONG ulAddress, ULONG ulSmtp, ULONG ulEntryId, Address& out) const {
        out = Address{Str(ulName), Str(ulType), Str(ulAddress)};
        Address fromEntryId;
        if (out.wsAddress.empty() && AddressFromEntryId(Bin(ulEntryId), &fromEntryId)) {
            if (out.wsName.empty())
                out.wsName = fromEntryId.wsName;
            out.wsType = fromEntryId.wsType;
            out.wsAddress = fromEntryId.wsAddress;
        }
        out = InternetAddress(out, Str(ulSmtp));
        return !out.wsAddress.empty();
    }
};

struct MimeWriter::Attachment {
    ComPtr<IAttach> pAttach;
    Props props;
    bool bInline = false;
    bool bCalendar = false;
};

HRESULT MimeWriter::Write(IMessage* pMessage, std::string& out) {
    return Build(pMessage, out, 0);
}

HRESULT MimeWriter::ReadAttachments(IMessage* pMessage, std::vector<Attachment>& out) {
    ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(1, columns) = {1, {PR_ATTACH_NUM}};
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; SUCCEEDED(hr) && i < pRows->cRows; ++i) {
        Attachment attachment;
        hr = pMessage->OpenAttach(static_cast<ULONG>(pRows->aRow[i].lpProps[0].Value.l), nullptr, 0,
                                  attachment.pAttach.AddressOf());
        if (SUCCEEDED(hr))
            hr = attachment.props.Read(attachment.pAttach.Get(), false);
        if (SUCCEEDED(hr))
            out.push_back(std::move(attachment));
    }
    FreeProws(pRows);
    return hr;
}

HRESULT MimeWriter::Build(IMessage* pMessage, std::string& out, int depth) {
    mimepp::Message message;
    std::string rawEntity;
    {
        // The properties go before the text is put together: holding both would raise the memory
        // a message needs at its peak by its whole size again.
        Props props;
        HRESULT hr = props.Read(pMessage, true);
        if (SUCCEEDED(hr))
            hr = WriteHeaders(pMessage, props, message.headers(), depth);
        std::vector<Attachment> attachments;
        if (SUCCEEDED(hr))
            hr = ReadAttachments(pMessage, attachments);
        if (SUCCEEDED(hr))
            hr = FillBody(props, attachments, message, depth, rawEntity);
        if (FAILED(hr))
            return hr;
    }
    message.assemble();
    out = std::move(message.takeString().str());
    if (!rawEntity.empty()) {
        // The header block without its closing empty line, then the stored entity's own headers and body.
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)
            out.resize(out.size() - 2);
        out += rawEntity;
    }
    return S_OK;
}

HRESULT MimeWriter::WriteHeaders(IMessage* pMessage, const Props& props, mimepp::Headers& headers, int depth) {
    auto raw = [&](const char* pszName, const std::wstring& value) {
        if (!value.empty())
            headers.addField(mimepp::Field::newField(pszName, OneLine(Utf8(value))));
    };
    const bool b8Bit = (m_ulFlags & CCSF_8BITHEADERS) != 0;
    auto text = [&](const char* pszName, const std::wstring& value) {
        if (b8Bit) {
            headers.addField(mimepp::Field::newField(pszName, OneLine(Utf8(value))));
            return;
        }
        headers.addField(mimepp::Field::newField(pszName, EncodedText(value)));
    };
    auto date = [&](const char* pszName, ULONG ulTag) {
        if (const SPropValue* v = props.Get(ulTag))
            headers.addField(mimepp::Field::newField(pszName, DateText(v->Value.ft)));
    };

    // Address headers: typed mailboxes whose names become RFC 2047 words, or raw UTF-8 with CCSF_8BITHEADERS.
    auto addresses = [&](const char* pszName, const std::vector<Address>& list) {
        if (list.empty())
            return;
        if (b8Bit) {
            std::string value;
            for (const Address& a : list)
                value += (value.empty() ? "" : ", ") + MailboxText(a);
            headers.addField(mimepp::Field::newField(pszName, value));
            return;
        }
        mimepp::Field* field = mimepp::Field::newField(pszName, "");
        headers.addField(field);
        mimepp::FieldBody& body = field->fieldBody();
        for (const Address& a : list) {
            std::unique_ptr<mimepp::Mailbox> box(NewMailbox(a));
            if (body.class_().isA(mimepp::AddressList::kClass)) {
                static_cast<mimepp::AddressList&>(body).addAddress(box.release());
            } else if (body.class_().isA(mimepp::MailboxList::kClass)) {
                static_cast<mimepp::MailboxList&>(body).addMailbox(box.release());
            } else if (body.class_().isA(mimepp::Mailbox::kClass)) {
                auto& single = static_cast<mimepp::Mailbox&>(body);
                single.setLocalPart(box->localPart());
                single.setDomain(box->domain());
                if (!box->displayNameUtf8().empty())
                    single.setDisplayNameUtf8(box->displayNameUtf8());
                break;
            }
        }
    };

    const SPropValue* pSubmit = props.Get(PR_CLIENT_SUBMIT_TIME);
    date("Date", pSubmit ? PR_CLIENT_SUBMIT_TIME : PR_MESSAGE_DELIVERY_TIME);

    Address from;
    Address sender;
    const bool bFrom =
        props.Group(PR_SENT_REPRESENTING_NAME_W, PR_SENT_REPRESENTING_ADDRTYPE_W, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W,
                    PR_SENT_REPRESENTING_SMTP_ADDRESS_W, PR_SENT_REPRESENTING_ENTRYID, from);
    const bool bSender = props.Group(PR_SENDER_NAME_W, PR_SENDER_ADDRTYPE_W, PR_SENDER_EMAIL_ADDRESS_W,
                                     PR_SENDER_SMTP_ADDRESS_W, PR_SENDER_ENTRYID, sender);
    if (bFrom || bSender)
        addresses("From", {bFrom ? from : sender});
    if (bFrom && bSender && from.wsAddress != sender.wsAddress)
        addresses("Sender", {sender});

    std::vector<std::string> replyIds;
    std::vector<Address> replyTo;
    if (ParseFlatEntryList(props.Bin(PR_REPLY_RECIPIENT_ENTRIES), &replyIds) && !replyIds.empty()) {
        std::vector<std::wstring> names;
        const std::wstring joined = props.Str(PR_REPLY_RECIPIENT_NAMES_W);
        for (size_t p = 0; !joined.empty() && p <= joined.size();) {
            size_t semi = joined.find(L';', p);
            names.push_back(joined.substr(p, semi == std::wstring::npos ? std::wstring::npos : semi - p));
            if (semi == std::wstring::npos)
                break;
            p = semi + 1;
        }
        for (size_t i = 0; i < replyIds.size(); ++i) {
            Address a;
            if (!AddressFromEntryId(replyIds[i], &a))
                continue;
            if (names.size() == replyIds.size())
                a.wsName = names[i];
            replyTo.push_back(InternetAddress(a, L""));
        }
    }
    addresses("Reply-To", replyTo);

    // Recipients by type; Bcc only when asked for, or for meetings and tasks, which need them.
    ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(6, columns) = {
        6, {PR_DISPLAY_NAME_W, PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W, PR_SMTP_ADDRESS_W, PR_ENTRYID, PR_RECIPIENT_TYPE}};
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    const std::wstring messageClass = props.Str(PR_MESSAGE_CLASS_W);
    const bool bBcc = (m_ulFlags & CCSF_INCLUDE_BCC) || messageClass.rfind(L"IPM.Schedule.Meeting", 0) == 0 ||
                      messageClass.rfind(L"IPM.Task", 0) == 0;
    std::vector<Address> lists[3];
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SPropValue* p = pRows->aRow[i].lpProps;
        auto str = [&](int k) {
            return PROP_TYPE(p[k].ulPropTag) == PT_UNICODE ? std::wstring(p[k].Value.lpszW) : L"";
        };
        const LONG lType = PROP_TYPE(p[5].ulPropTag) == PT_LONG ? p[5].Value.l : 0;
        if (lType < MAPI_TO || lType > MAPI_BCC)
            continue;
        Address a{str(0), str(1), str(2)};
        Address fromEntryId;
        if (a.wsAddress.empty() && PROP_TYPE(p[4].ulPropTag) == PT_BINARY &&
            AddressFromEntryId(std::string_view(reinterpret_cast<const char*>(p[4].Value.bin.lpb), p[4].Value.bin.cb),
                               &fromEntryId)) {
            a.wsType = fromEntryId.wsType;
            a.wsAddress = fromEntryId.wsAddress;
            if (a.wsName.empty())
                a.wsName = fromEntryId.wsName;
        }
        a = InternetAddress(a, str(3));
        if (!a.wsAddress.empty())
            lists[lType - 1].push_back(a);
    }
    FreeProws(pRows);
    // The rows of a delivery report are the recipients it speaks of; it went to its receiver.
    const bool bDeliveryReport =
        messageClass.rfind(L"REPORT.", 0) == 0 && (messageClass.ends_with(L".DR") || messageClass.ends_with(L".NDR"));
    Address receiver;
    if (bDeliveryReport && props.Group(PR_RECEIVED_BY_NAME_W, PR_RECEIVED_BY_ADDRTYPE_W, PR_RECEIVED_BY_EMAIL_ADDRESS_W,
                                       PR_RECEIVED_BY_EMAIL_ADDRESS_W, PR_RECEIVED_BY_ENTRYID, receiver))
        lists[0] = {receiver};
    addresses("To", lists[0]);
    addresses("Cc", lists[1]);
    if (bBcc)
        addresses("Bcc", lists[2]);

    const std::wstring prefix = props.Str(PR_SUBJECT_PREFIX_W);
    const SPropValue* pNormalized = props.Get(PR_NORMALIZED_SUBJECT_W);
    if (pNormalized) {
        text("Subject", prefix + pNormalized->Value.lpszW);
    } else if (props.Get(PR_SUBJECT_W)) {
        text("Subject", props.Str(PR_SUBJECT_W));
    }

    // CCSF_NO_MSGID concerns the message being sent; embedded messages keep the identifiers they have,
    // and only the message being sent gets a new one.
    if (!(m_ulFlags & CCSF_NO_MSGID) || depth > 0) {
        std::wstring id = props.Str(PR_INTERNET_MESSAGE_ID_W);
        if (id.empty() && depth == 0) {
            GUID guid{};
            CoCreateGuid(&guid);
            wchar_t buf[64];
            std::swprintf(buf, 64, L"<%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X@", guid.Data1, guid.Data2,
                          guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                          guid.Data4[5], guid.Data4[6], guid.Data4[7]);
            const size_t at = from.wsAddress.rfind(L'@');
            id = buf + (at == std::wstring::npos ? std::wstring(L"localhost") : from.wsAddress.substr(at + 1)) + L">";
        }
        raw("Message-ID", id);
    }
    raw("In-Reply-To", props.Str(PR_IN_REPLY_TO_ID_W));
    raw("References", props.Str(PR_INTERNET_REFERENCES_W));
    if (props.Get(PR_CONVERSATION_TOPIC_W))
        text("Thread-Topic", props.Str(PR_CONVERSATION_TOPIC_W));
    if (props.Get(PR_CONVERSATION_INDEX)) {
        mimepp::String index;
        mimepp::Base64Encoder encoder;
        encoder.setMaxLineLen(0);
        encoder.setSuppressFinalNewline(true);
        encoder.encode(mimepp::String(props.Bin(PR_CONVERSATION_INDEX)), index);
        raw("Thread-Index", Platform::FromUtf8(index.str()));
    }
    const LONG lImportance = props.Long(PR_IMPORTANCE, 1);
    if (lImportance == 0 || lImportance == 2) {
        raw("Importance", lImportance == 0 ? L"low" : L"high");
        raw("X-Priority", lImportance == 0 ? L"5" : L"1");
    }
    static constexpr const wchar_t* kSensitivity[] = {L"", L"Personal", L"Private", L"Company-Confidential"};
    const LONG lSensitivity = props.Long(PR_SENSITIVITY, 0);
    if (lSensitivity > 0 && lSensitivity < 4)
        raw("Sensitivity", kSensitivity[lSensitivity]);

    Address receipt;
    const bool bReceipt = AddressFromEntryId(props.Bin(PR_READ_RECEIPT_ENTRYID), &receipt);
    if (props.Bool(PR_READ_RECEIPT_REQUESTED) && (bReceipt || bFrom)) {
        mimepp::Field* field = mimepp::Field::newField("Disposition-Notification-To", "");
        headers.addField(field);
        mimepp::String value;
        std::unique_ptr<mimepp::Mailbox> box(NewMailbox(bReceipt ? InternetAddress(receipt, L"") : from));
        box->assemble();
        field->setFieldBodyText(box->getString());
    }
    if (props.Bool(PR_ORIGINATOR_DELIVERY_REPORT_REQUESTED) && (bReceipt || bSender || bFrom)) {
        const Address& a = bReceipt ? receipt : bSender ? sender : from;
        std::unique_ptr<mimepp::Mailbox> box(NewMailbox(InternetAddress(a, L"")));
        box->assemble();
        headers.addField(mimepp::Field::newField("Return-Receipt-To", box->getString()));
    }
    if (!props.keywords.empty()) {
        std::wstring joined;
        for (const std::wstring& k : props.keywords)
            joined += (joined.empty() ? L"" : L", ") + k;
        text("Keywords", joined);
    }
    raw("List-Help", props.Str(PR_LIST_HELP_W));
    raw("List-Subscribe", props.Str(PR_LIST_SUBSCRIBE_W));
    raw("List-Unsubscribe", props.Str(PR_LIST_UNSUBSCRIBE_W));
    date("Expires", PR_EXPIRY_TIME);
    date("Reply-By", PR_REPLY_TIME);
    // Classification marks: all five headers, only for a classified message.
    auto lid = [&](LONG lId, ULONG ulType) -> const SPropValue* {
        auto it = props.commonLids.find(lId);
        return it != props.commonLids.end() && PROP_TYPE(it->second->ulPropTag) == ulType ? it->second : nullptr;
    };
    const SPropValue* pClassified = lid(kLidClassified, PT_BOOLEAN);
    const bool bClassified = pClassified && pClassified->Value.b;
    if (bClassified) {
        const SPropValue* pKeep = lid(kLidClassificationKeep, PT_BOOLEAN);
        auto str = [&](LONG lId) {
            const SPropValue* p = lid(lId, PT_UNICODE);
            return p ? std::wstring(p->Value.lpszW) : std::wstring();
        };
        raw("X-Microsoft-Classified", L"true");
        raw("X-Microsoft-ClassKeep", pKeep && pKeep->Value.b ? L"true" : L"false");
        if (const std::wstring label = str(kLidClassification); !label.empty())
            text("X-Microsoft-Classification", label);
        if (const std::wstring description = str(kLidClassificationDescription); !description.empty())
            text("X-Microsoft-ClassDesc", description);
        raw("X-Microsoft-ClassID", str(kLidClassificationGuid));
    }
    for (const auto& [name, value] : props.internetHeaders) {
        const std::string lower = Utf8(name);
        const bool bOwn = (bClassified && IsClassificationHeader(lower)) || IsMappedHeader(lower);
        if (bOwn || IsDroppedHeader(lower) || lower.empty() || lower.find_first_of(": \t\r\n") != std::string::npos)
            continue;
        text(HeaderName(lower).c_str(), value);
    }
    if ((m_ulFlags & CCSF_EMBEDDED_MESSAGE) && (props.Long(PR_MESSAGE_FLAGS, 0) & MSGFLAG_UNSENT))
        raw("X-Unsent", L"1");
    if (!m_bUuencode)
        raw("MIME-Version", L"1.0");
    return S_OK;
}

TransferEncodingType::Type MimeWriter::TextEncoding(std::string_view bytes) const {
    const bool bAscii = IsAsciiShortLines(bytes);
    switch (m_encoding) {
        case IET_BASE64:
        case IET_UUENCODE:
            return TransferEncodingType::BASE64;
        case IET_QP:
            return TransferEncodingType::QUOTED_PRINTABLE;
        case IET_7BIT:
            return bAscii ? TransferEncodingType::SEVEN_BIT : TransferEncodingType::QUOTED_PRINTABLE;
        case IET_8BIT:
            // 8bit still needs CRLF lines of at most 998 bytes and no NUL.
            return Is8BitSafe(bytes) ? TransferEncodingType::EIGHT_BIT : TransferEncodingType::QUOTED_PRINTABLE;
        default:
            return bAscii ? TransferEncodingType::SEVEN_BIT : TransferEncodingType::QUOTED_PRINTABLE;
    }
}

void MimeWriter::FillText(mimepp::Entity& part, std::wstring_view text, const std::string& preferredCharset) {
    std::string charset = preferredCharset;
    if (!m_options.sCharset.empty() && (charset.empty() || m_options.bCharsetForAll))
        charset = m_options.sCharset;
    if (charset.empty())
        charset = "utf-8";
    std::wstring flowed;
    const bool bFlowed = m_options.cWrapWidth && Flowed(std::wstring(text), m_options.cWrapWidth, flowed);
    const std::wstring_view out = bFlowed ? std::wstring_view(flowed) : text;
    std::string bytes;
    if (!EncodeText(out, charset, bytes)) {
        charset = "utf-8";
        bytes = Platform::ToUtf8(out);
    }
    SetType(part, "text", "plain");
    part.headers().contentType().setCharset(mimepp::String(charset));
    if (bFlowed)
        part.headers().contentType().setParameter("format", "flowed");
    SetContent(part, bytes, TextEncoding(bytes));
}

void MimeWriter::FillHtml(mimepp::Entity& part, std::string_view html, const std::string& charset) {
    SetType(part, "text", "html");
    part.headers().contentType().setCharset(mimepp::String(charset));
    SetContent(part, html, TextEncoding(html));
}

HRESULT MimeWriter::FillAttachment(Attachment& attachment, mimepp::Entity& part, int depth) {
    const Props& p = attachment.props;
    const LONG lMethod = p.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    if (lMethod == ATTACH_EMBEDDED_MSG) {
        ComPtr<IUnknown> pUnk;
        HRESULT hr = attachment.pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf());
        if (FAILED(hr))
            return hr;
        ComPtr<IMessage> pInner;
        pInner.Attach(static_cast<IMessage*>(pUnk.Detach()));
        if (depth + 1 > kMaxEmbeddedDepth)
            return MAPI_E_TOO_COMPLEX;
        std::string text;
        hr = Build(pInner.Get(), text, depth + 1);
        if (FAILED(hr))
            return hr;
        SetType(part, "message", "rfc822");
        const std::wstring name = p.Str(PR_DISPLAY_NAME_W);
        mimepp::DispositionType& disposition = part.headers().contentDisposition();
        disposition.setType(mimepp::DispositionType::ATTACHMENT);
        // The inner subject names an embedded message anyway; another name is kept as the file name.
        SPropValue* pSubject = nullptr;
        const bool bSameName =
            SUCCEEDED(HrGetOneProp(pInner.Get(), PR_SUBJECT_W, &pSubject)) && name == pSubject->Value.lpszW;
        MAPIFreeBuffer(pSubject);
        if (!name.empty() && !bSameName)
            disposition.setFilename(mimepp::String(Utf8(name)));
        const bool b8bit =
            std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
        SetContent(part, text, b8bit ? TransferEncodingType::EIGHT_BIT : TransferEncodingType::SEVEN_BIT);
        return S_OK;
    }
    std::wstring name = p.Str(PR_ATTACH_LONG_FILENAME_W);
    if (name.empty())
        name = p.Str(PR_ATTACH_FILENAME_W);
    std::string type = LowerAscii(OneLine(Utf8(p.Str(PR_ATTACH_MIME_TAG_W))));
    const size_t slash = type.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.size() ||
        type.find_first_of(" ;\"") != std::string::npos)
        type = TypeOfExtension(FileExtension(name));
    if (type.rfind("multipart/", 0) == 0 || type == "message/rfc822" || type == "application/applefile" ||
        type == "application/mac-binhex40")
        type = "application/octet-stream";
    const size_t cut = type.find('/');
    SetType(part, type.substr(0, cut), type.substr(cut + 1));
    mimepp::MediaType& mediaType = part.headers().contentType();
    if (!name.empty())
        mediaType.setName(mimepp::String(Utf8(name)));
    const std::wstring charset = p.Str(PR_TEXT_ATTACHMENT_CHARSET_W);
    if (!charset.empty() && type.rfind("text/", 0) == 0)
        mediaType.setCharset(mimepp::String(OneLine(Utf8(charset))));
    // A part shown in the body needs no disposition; any other is an attachment unless it says otherwise.
    std::wstring dispositionType = p.Str(PR_ATTACH_CONTENT_DISPOSITION_W);
    if (dispositionType.empty() && !attachment.bInline)
        dispositionType = L"attachment";
    if (!dispositionType.empty()) {
        mimepp::DispositionType& disposition = part.headers().contentDisposition();
        disposition.setType(mimepp::String(OneLine(Utf8(dispositionType))));
        if (!name.empty())
            disposition.setFilename(mimepp::String(Utf8(name)));
    }
    const std::wstring contentId = p.Str(PR_ATTACH_CONTENT_ID_W);
    if (!contentId.empty())
        part.headers().addField(mimepp::Field::newField("Content-ID", "<" + OneLine(Utf8(contentId)) + ">"));
    const std::wstring location = p.Str(PR_ATTACH_CONTENT_LOCATION_W);
    if (!location.empty())
        part.headers().addField(mimepp::Field::newField("Content-Location", OneLine(Utf8(location))));
    const std::wstring base = p.Str(PR_ATTACH_CONTENT_BASE_W);
    if (!base.empty())
        part.headers().addField(mimepp::Field::newField("Content-Base", OneLine(Utf8(base))));
    const std::wstring description = p.Str(PR_DISPLAY_NAME_W);
    if (!description.empty() && description != name) {
        part.headers().addField(mimepp::Field::newField("Content-Description", EncodedText(description)));
    }
    std::string_view data = p.BinView(PR_ATTACH_DATA_BIN);
    std::string streamed;
    if (!p.Get(PR_ATTACH_DATA_BIN)) {
        // Large data is not part of the property set read at once.
        ComPtr<IUnknown> pUnk;
        if (SUCCEEDED(attachment.pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, pUnk.AddressOf()))) {
            auto* pStream = static_cast<IStream*>(pUnk.Get());
            char buffer[65536];
            ULONG cb = 0;
            while (SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cb)) && cb)
                streamed.append(buffer, cb);
        }
        data = streamed;
    }
    SetContent(part, data, TransferEncodingType::BASE64);
    return S_OK;
}

HRESULT MimeWriter::FillBody(const Props& props, std::vector<Attachment>& attachments, mimepp::Entity& target,
                             int depth, std::string& rawEntity) {
    const std::wstring messageClass = props.Str(PR_MESSAGE_CLASS_W);

    // S/MIME: the stored entity goes out as it came.
    if (messageClass.rfind(L"IPM.Note.SMIME", 0) == 0) {
        const bool bSigned = messageClass.ends_with(L".MultipartSigned");
        for (Attachment& a : attachments) {
            const std::wstring tag = a.props.Str(PR_ATTACH_MIME_TAG_W);
            const std::string data = a.props.Bin(PR_ATTACH_DATA_BIN);
            if (bSigned && tag == L"multipart/signed") {
                // Any change of a byte would break the signature.
                rawEntity = data;
                return S_OK;
            }
            if (!bSigned && tag.find(L"pkcs7-mime") != std::wstring::npos) {
                std::string type = "application/pkcs7-mime; smime-type=enveloped-data; name=\"smime.p7m\"";
                for (const auto& [name, value] : props.internetHeaders)
                    if (name == L"content-type")
                        type = OneLine(Utf8(value));
                target.headers().addField(mimepp::Field::newField("Content-Type", type));
                target.headers().addField(
                    mimepp::Field::newField("Content-Disposition", "attachment; filename=\"smime.p7m\""));
                SetContent(target, data, TransferEncodingType::BASE64);
                return S_OK;
            }
        }
    }

    // The bodies: HTML only when it is (or may be) the best body and more than plain text is wanted.
    const SPropValue* pHtml = props.Get(PR_HTML);
    const LONG lNative = props.Long(PR_NATIVE_BODY_INFO, 0);
    const bool bHtml = pHtml && !(m_ulFlags & CCSF_PLAIN_TEXT_ONLY) && lNative != kNativeBodyPlain;
    const std::string_view html = bHtml ? props.BinView(PR_HTML) : std::string_view();
    const LONG lCodePage = props.Long(PR_INTERNET_CPID, 0);
    std::string charset = lCodePage > 0 ? CharsetOfCodePage(static_cast<ULONG>(lCodePage)) : std::string();
    if (charset == "utf-16" || charset == "utf-16be")
        charset.clear();
    std::string htmlCharset = charset;
    if (htmlCharset.empty())
        htmlCharset = HtmlMetaCharset(html);
    if (htmlCharset.empty())
        htmlCharset = "utf-8";
    // The text body where it was read; a text derived from the HTML is kept here.
    std::wstring derived;
    const SPropValue* pBody = props.Get(PR_BODY_W);
    std::wstring_view plain = pBody && pBody->Value.lpszW ? std::wstring_view(pBody->Value.lpszW) : std::wstring_view();
    if (bHtml && !pBody) {
        derived = HtmlToText(DecodeText(html, htmlCharset).wsText);
        plain = derived;
    }

    // Which attachments go where.
    // Meetings and appointments carry their calendar part beside the text.
    const bool bMeeting =
        messageClass.rfind(L"IPM.Schedule.Meeting", 0) == 0 || messageClass.rfind(L"IPM.Appointment", 0) == 0;
    std::vector<Attachment*> inlines;
    std::vector<Attachment*> others;
    Attachment* pCalendar = nullptr;
    for (Attachment& a : attachments) {
        const std::wstring tag = a.props.Str(PR_ATTACH_MIME_TAG_W);
        if (bMeeting && !pCalendar && tag == L"text/calendar" && !m_bUuencode) {
            pCalendar = &a;
            continue;
        }
        const std::string cid = Utf8(a.props.Str(PR_ATTACH_CONTENT_ID_W));
        const std::string location = Utf8(a.props.Str(PR_ATTACH_CONTENT_LOCATION_W));
        a.bInline = bHtml && !m_bUuencode && (a.props.Long(PR_ATTACH_FLAGS, 0) & kAttachRenderedInBody) &&
                    (!cid.empty() || !location.empty()) && HtmlRefersTo(html, cid, location);
        (a.bInline ? inlines : others).push_back(&a);
    }

    if (m_bUuencode) {
        // RFC 822 text without MIME structure: the plain body in UTF-8, then each attachment as a
        // uuencoded block (an embedded message as its MIME text).
        std::string text = Platform::ToUtf8(plain);
        for (Attachment* a : others) {
            std::wstring name = a->props.Str(PR_ATTACH_LONG_FILENAME_W);
            if (name.empty())
                name = a->props.Str(PR_ATTACH_FILENAME_W);
            std::string data = a->props.Bin(PR_ATTACH_DATA_BIN);
            if (a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) == ATTACH_EMBEDDED_MSG) {
                ComPtr<IUnknown> pUnk;
                HRESULT hr = a->pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf());
                if (SUCCEEDED(hr) && depth + 1 <= kMaxEmbeddedDepth)
                    hr = Build(static_cast<IMessage*>(pUnk.Get()), data, depth + 1);
                if (FAILED(hr))
                    return hr;
                if (name.empty())
                    name = a->props.Str(PR_DISPLAY_NAME_W) + L".eml";
            }
            if (name.empty())
                name = L"attachment.dat";
            if (!text.empty() && text.back() != '\n')
                text += "\r\n";
            text += "begin 644 " + OneLine(Utf8(name)) + "\r\n" + Uuencode(data);
        }
        target.body().setString(mimepp::String(text));
        return S_OK;
    }

    auto fillAlternative = [&](mimepp::Entity& e) -> HRESULT {
        if (!bHtml && !pCalendar) {
            FillText(e, plain, charset);
            return S_OK;
        }
        // A meeting without a text body is the calendar part alone.
        const bool bPlain = bHtml || props.Get(PR_BODY_W);
        mimepp::Entity* pCalendarTarget = &e;
        if (bPlain) {
            SetType(e, "multipart", "alternative");
            auto* pPlain = mimepp::BodyPart::newBodyPart();
            e.body().addBodyPart(pPlain);
            FillText(*pPlain, plain, charset);
        }
        if (bHtml) {
            auto* pHtmlPart = mimepp::BodyPart::newBodyPart();
            e.body().addBodyPart(pHtmlPart);
            FillHtml(*pHtmlPart, html, htmlCharset);
        }
        if (pCalendar) {
            mimepp::Entity* pCal = pCalendarTarget;
            if (bPlain) {
                auto* pPart = mimepp::BodyPart::newBodyPart();
                e.body().addBodyPart(pPart);
                pCal = pPart;
            }
            const std::string ics = pCalendar->props.Bin(PR_ATTACH_DATA_BIN);
            SetType(*pCal, "text", "calendar");
            const std::wstring calName = pCalendar->props.Str(PR_ATTACH_LONG_FILENAME_W);
            if (!calName.empty())
                pCal->headers().contentType().setName(mimepp::String(Utf8(calName)));
            std::string method;
            const std::string upper = [&] {
                std::string u = ics;
                for (char& c : u)
                    if (c >= 'a' && c <= 'z')
                        c = static_cast<char>(c - 32);
                return u;
            }();
            const size_t m = upper.find("\nMETHOD:");
            if (m != std::string::npos)
                method = OneLine(ics.substr(m + 8, upper.find_first_of("\r\n", m + 8) - m - 8));
            if (!method.empty())
                pCal->headers().contentType().setParameter("method", mimepp::String(method));
            const std::wstring calCharset = pCalendar->props.Str(PR_TEXT_ATTACHMENT_CHARSET_W);
            pCal->headers().contentType().setCharset(mimepp::String(calCharset.empty() ? "utf-8" : Utf8(calCharset)));
            SetContent(*pCal, ics,
                       IsAsciiShortLines(ics) ? TransferEncodingType::SEVEN_BIT : TransferEncodingType::BASE64);
        }
        return S_OK;
    };
    auto fillRelated = [&](mimepp::Entity& e) -> HRESULT {
        if (inlines.empty())
            return fillAlternative(e);
        SetType(e, "multipart", "related");
        auto* pMain = mimepp::BodyPart::newBodyPart();
        e.body().addBodyPart(pMain);
        HRESULT hr = fillAlternative(*pMain);
        for (Attachment* a : inlines) {
            if (FAILED(hr))
                break;
            auto* pPart = mimepp::BodyPart::newBodyPart();
            e.body().addBodyPart(pPart);
            hr = FillAttachment(*a, *pPart, depth);
        }
        return hr;
    };
    if (others.empty())
        return fillRelated(target);
    // A plain body with images at places in it goes out as the texts around them, in that order.
    std::vector<Attachment*> placed;
    if (!bHtml && !pCalendar && messageClass.rfind(L"REPORT.", 0) != 0) {
        for (Attachment* a : others) {
            const LONG lPos = a->props.Long(PR_RENDERING_POSITION, -1);
            if (lPos > 0 && static_cast<size_t>(lPos) <= plain.size() &&
                a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) == ATTACH_BY_VALUE)
                placed.push_back(a);
        }
    }
    if (!placed.empty()) {
        std::stable_sort(placed.begin(), placed.end(), [](const Attachment* x, const Attachment* y) {
            return x->props.Long(PR_RENDERING_POSITION, -1) < y->props.Long(PR_RENDERING_POSITION, -1);
        });
        SetType(target, "multipart", "mixed");
        size_t from = 0;
        auto addText = [&](size_t to) {
            auto* pPart = mimepp::BodyPart::newBodyPart();
            target.body().addBodyPart(pPart);
            FillText(*pPart, plain.substr(from, to - from), charset);
            from = to;
        };
        HRESULT hr = S_OK;
        for (Attachment* a : placed) {
            const size_t pos = static_cast<size_t>(a->props.Long(PR_RENDERING_POSITION, -1));
            if (pos > from)
                addText(pos);
            a->bInline = true;  // shown where it stands, so not marked as an attachment
            auto* pPart = mimepp::BodyPart::newBodyPart();
            target.body().addBodyPart(pPart);
            if (FAILED(hr = FillAttachment(*a, *pPart, depth)))
                return hr;
        }
        if (from < plain.size())
            addText(plain.size());
        for (Attachment* a : others) {
            if (std::find(placed.begin(), placed.end(), a) != placed.end() ||
                (a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) != ATTACH_BY_VALUE &&
                 a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) != ATTACH_EMBEDDED_MSG))
                continue;
            auto* pPart = mimepp::BodyPart::newBodyPart();
            target.body().addBodyPart(pPart);
            if (FAILED(hr = FillAttachment(*a, *pPart, depth)))
                return hr;
        }
        return S_OK;
    }
    // A report whose status part was kept goes out as multipart/report around the same parts.
    std::string reportType;
    if (messageClass.rfind(L"REPORT.", 0) == 0) {
        for (Attachment* a : others) {
            const std::wstring tag = a->props.Str(PR_ATTACH_MIME_TAG_W);
            if (tag == L"message/delivery-status")
                reportType = "delivery-status";
            if (tag == L"message/disposition-notification")
                reportType = "disposition-notification";
        }
    }
    if (reportType.empty()) {
        SetType(target, "multipart", "mixed");
    } else {
        SetType(target, "multipart", "report");
        target.headers().contentType().setParameter("report-type", mimepp::String(reportType));
    }
    auto* pMain = mimepp::BodyPart::newBodyPart();
    target.body().addBodyPart(pMain);
    HRESULT hr = fillRelated(*pMain);
    for (Attachment* a : others) {
        if (FAILED(hr))
            break;
        if (a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) != ATTACH_BY_VALUE &&
            a->props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE) != ATTACH_EMBEDDED_MSG)
            continue;  // references to files elsewhere carry no content to send
        auto* pPart = mimepp::BodyPart::newBodyPart();
        target.body().addBodyPart(pPart);
        hr = FillAttachment(*a, *pPart, depth);
    }
    return hr;
}

}  // namespace Platform::Mapi::Convert
