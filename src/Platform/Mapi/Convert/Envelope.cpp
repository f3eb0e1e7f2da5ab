#include "Platform/Mapi/Convert/Envelope.h"

#include <cwctype>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Convert/Charset.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Convert/MimeParts.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mime/Address.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/DateTime.h"

namespace Platform::Mapi::Convert {

namespace {

// Headers that map to properties of their own (or describe the MIME structure).
constexpr const char* kMappedHeaders[] = {
    "from",
    "sender",
    "to",
    "cc",
    "bcc",
    "reply-to",
    "subject",
    "date",
    "message-id",
    "in-reply-to",
    "references",
    "thread-topic",
    "thread-index",
    "importance",
    "priority",
    "x-priority",
    "x-msmail-priority",
    "sensitivity",
    "disposition-notification-to",
    "return-receipt-to",
    "mime-version",
    "content-type",
    "content-transfer-encoding",
    "content-disposition",
    "content-id",
    "content-description",
    "content-location",
    "content-base",
    "content-length",
    "received",
    "keywords",
    "list-help",
    "list-subscribe",
    "list-unsubscribe",
    "x-unsent",
    "expires",
    "expiry-date",
    "reply-by",
};

}  // namespace

bool IsDroppedHeader(const std::string& lowerName) {
    return lowerName.rfind("x-ms-exchange-organization-", 0) == 0 || lowerName.rfind("x-ms-exchange-forest-", 0) == 0;
}

bool IsMappedHeader(const std::string& lowerName) {
    for (const char* name : kMappedHeaders)
        if (lowerName == name)
            return true;
    return false;
}

bool IsClassificationHeader(const std::string& lowerName) {
    return lowerName == "x-microsoft-classified" || lowerName == "x-microsoft-classkeep" ||
           lowerName == "x-microsoft-classification" || lowerName == "x-microsoft-classdesc" ||
           lowerName == "x-microsoft-classid";
}

namespace {

bool IsTokenName(const std::string& name) {
    if (name.empty() || name.size() > kMaxHeaderName)
        return false;
    for (char c : name)
        if (c <= 32 || c >= 127 || c == ':')
            return false;
    return true;
}

std::wstring Cut(std::wstring text, size_t max, bool& bDamaged) {
    if (text.size() > max) {
        text.resize(max);
        bDamaged = true;
    }
    return text;
}

// The decoded value of one field, cut to kMaxHeaderValue.
std::wstring FieldText(mimepp::Field& field, bool& bDamaged) {
    const mimepp::String& raw = field.fieldBody().getString();
    std::string unfolded;
    unfolded.reserve(std::min(raw.length(), kMaxHeaderValue));
    for (size_t i = 0; i < raw.length() && unfolded.size() < kMaxHeaderValue; ++i)
        if (raw[i] != '\r' && raw[i] != '\n')
            unfolded += raw[i];
    if (unfolded.size() >= kMaxHeaderValue)
        bDamaged = true;
    mimepp::Text text{mimepp::String(std::move(unfolded))};
    std::wstring out = Utf8ToWide(text.textUtf8().str());
    size_t b = out.find_first_not_of(L" \t");
    size_t e = out.find_last_not_of(L" \t");
    return b == std::wstring::npos ? std::wstring() : out.substr(b, e - b + 1);
}

Address FromMailbox(const mimepp::Mailbox& mailbox) {
    Address a;
    a.wsType = L"SMTP";
    std::string addr = mailbox.localPart().str();
    if (!mailbox.domain().empty())
        addr += "@" + mailbox.domain().str();
    a.wsAddress = Utf8ToWide(addr);
    a.wsName = Utf8ToWide(mailbox.displayNameUtf8().str());
    if (a.wsName.empty())
        a.wsName = a.wsAddress;
    return a;
}

// Every mailbox of every field of that name, groups opened up.
std::vector<Address> AddressesOf(mimepp::Headers& headers, const char* pszName) {
    std::vector<Address> out;
    for (int i = 0; i < headers.numFields(); ++i) {
        mimepp::Field& field = headers.fieldAt(i);
        if (mimepp::Strcasecmp(field.fieldName(), pszName) != 0)
            continue;
        mimepp::FieldBody& body = field.fieldBody();
        auto add = [&](const mimepp::Mailbox& m) {
            if (!m.localPart().empty())
                out.push_back(FromMailbox(m));
        };
        if (body.class_().isA(mimepp::AddressList::kClass)) {
            auto& list = static_cast<mimepp::AddressList&>(body);
            for (int a = 0; a < list.numAddresses(); ++a) {
                const mimepp::Address& address = list.addressAt(a);
                if (address.class_().isA(mimepp::Group::kClass)) {
                    const auto& members = static_cast<const mimepp::Group&>(address).mailboxList();
                    for (int m = 0; m < members.numMailboxes(); ++m)
                        add(members.mailboxAt(m));
                } else {
                    add(static_cast<const mimepp::Mailbox&>(address));
                }
            }
        } else if (body.class_().isA(mimepp::MailboxList::kClass)) {
            auto& list = static_cast<mimepp::MailboxList&>(body);
            for (int m = 0; m < list.numMailboxes(); ++m)
                add(list.mailboxAt(m));
        } else if (body.class_().isA(mimepp::Mailbox::kClass)) {
            add(static_cast<mimepp::Mailbox&>(body));
        } else {
            mimepp::AddressList list(body.getString());
            list.parse();
            for (int a = 0; a < list.numAddresses(); ++a)
                if (list.addressAt(a).class_().isA(mimepp::Mailbox::kClass))
                    add(static_cast<const mimepp::Mailbox&>(list.addressAt(a)));
        }
    }
    return out;
}

// Sets the property group of one address: name, type, address, entry id, search key.
void SetGroup(PropList& props, IAddrBook* pAdrBook, const Address& a, ULONG ulName, ULONG ulType, ULONG ulAddress,
              ULONG ulEntryId, ULONG ulSearchKey, ULONG ulSmtp) {
    props.String(ulName, a.wsName);
    props.String(ulType, a.wsType);
    props.String(ulAddress, a.wsAddress);
    props.Binary(ulEntryId, AddressEntryId(pAdrBook, a));
    props.Binary(ulSearchKey, AddressSearchKey(a));
    if (ulSmtp)
        props.String(ulSmtp, a.wsAddress);
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

LONG ImportanceOf(mimepp::Headers& headers) {
    const std::wstring importance = Lower(HeaderText(headers, "Importance"));
    if (importance == L"low")
        return 0;
    if (importance == L"normal")
        return 1;
    if (importance == L"high")
        return 2;
    const std::wstring priority = Lower(HeaderText(headers, "Priority"));
    if (priority == L"non-urgent")
        return 0;
    if (priority == L"normal")
        return 1;
    if (priority == L"urgent")
        return 2;
    const std::wstring x = HeaderText(headers, "X-Priority");
    if (!x.empty() && x[0] >= L'1' && x[0] <= L'5')
        return x[0] <= L'2' ? 2 : x[0] == L'3' ? 1 : 0;
    const std::wstring ms = Lower(HeaderText(headers, "X-MSMail-Priority"));
    if (ms == L"low")
        return 0;
    if (ms == L"normal")
        return 1;
    if (ms == L"high")
        return 2;
    return 1;
}

LONG SensitivityOf(mimepp::Headers& headers) {
    const std::wstring s = Lower(HeaderText(headers, "Sensitivity"));
    if (s == L"personal")
        return 1;
    if (s == L"private")
        return 2;
    if (s == L"company-confidential")
        return 3;
    return 0;
}

bool DateOf(mimepp::Headers& headers, const char* pszName, FILETIME& ft) {
    mimepp::Field* field = headers.findField(pszName);
    if (!field)
        return false;
    mimepp::DateTime date(field->fieldBody().getString());
    date.parse();
    if (!date.isValid())
        return false;
    ft = UnixToFileTime(date.asUnixTime());
    return true;
}

// The date of the first (most recent) Received line: when our side received the message.
bool ReceivedDate(mimepp::Headers& headers, FILETIME& ft) {
    mimepp::Field* field = headers.findField("Received");
    if (!field)
        return false;
    mimepp::Stamp stamp(field->fieldBody().getString());
    stamp.parse();
    if (!stamp.date().isValid())
        return false;
    ft = UnixToFileTime(stamp.date().asUnixTime());
    return true;
}

// The header block as text without the fields that never leave the server's organisation.
std::wstring TransportHeaders(mimepp::Headers& headers, bool& bDamaged) {
    std::string block;
    for (int i = 0; i < headers.numFields(); ++i) {
        mimepp::Field& field = headers.fieldAt(i);
        if (IsDroppedHeader(LowerAscii(field.fieldName().str())))
            continue;
        const mimepp::String& text = field.getString();
        if (block.size() + text.length() > kMaxTransportHeaders) {
            bDamaged = true;
            break;
        }
        block += text.str();
        if (!block.empty() && block.back() != '\n')
            block += "\r\n";
    }
    return DecodeText(block, "utf-8").wsText;
}

}  // namespace

FILETIME UnixToFileTime(int64_t seconds) {
    const int64_t kMin = -11644473600LL;  // 1601-01-01
    if (seconds < kMin)
        seconds = kMin;
    const uint64_t ticks = static_cast<uint64_t>(seconds - kMin) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

std::wstring SubjectPrefix(const std::wstring& subject) {
    const size_t colon = subject.find(L':');
    if (colon == std::wstring::npos || colon == 0 || colon > 3)
        return std::wstring();
    for (size_t i = 0; i < colon; ++i) {
        const wchar_t c = subject[i];
        if (std::iswdigit(c) || std::iswspace(c) || std::iswpunct(c))
            return std::wstring();
    }
    size_t end = colon + 1;
    while (end < subject.size() && subject[end] == L' ')
        ++end;
    if (end >= subject.size())
        return std::wstring();
    return subject.substr(0, colon) + L": ";
}

void ReadEnvelope(mimepp::Headers& headers, IAddrBook* pAdrBook, ULONG ulFlags, bool bTopLevel, Envelope& out) {
    PropList& props = out.props;
    bool& bDamaged = out.bDamaged;

    // Subject, prefix, normalized subject, conversation topic.
    std::wstring subject;
    if (mimepp::Field* field = headers.findField("Subject"))
        subject = FieldText(*field, bDamaged);
    subject = Cut(subject, 255 * 16, bDamaged);
    const std::wstring prefix = SubjectPrefix(subject);
    size_t start = prefix.empty() ? 0 : subject.find(L':') + 1;
    while (!prefix.empty() && start < subject.size() && subject[start] == L' ')
        ++start;
    out.wsNormalizedSubject = subject.substr(start);
    if (headers.findField("Subject")) {
        props.String(PR_SUBJECT_W, subject);
        props.String(PR_SUBJECT_PREFIX_W, prefix);
        props.String(PR_NORMALIZED_SUBJECT_W, out.wsNormalizedSubject);
    }
    if (mimepp::Field* field = headers.findField("Thread-Topic")) {
        props.String(PR_CONVERSATION_TOPIC_W, FieldText(*field, bDamaged));
    } else if (headers.findField("Subject")) {
        props.String(PR_CONVERSATION_TOPIC_W, out.wsNormalizedSubject);
    }
    if (mimepp::Field* field = headers.findField("Thread-Index")) {
        mimepp::String index;
        mimepp::Base64Decoder().decode(field->fieldBody().getString(), index);
        if (!index.empty())
            props.Binary(PR_CONVERSATION_INDEX, index.str());
    }

    // Dates: the Date header is the submit time; the first Received line the delivery time.
    FILETIME ftDate{};
    FILETIME ftReceived{};
    const bool bDate = DateOf(headers, "Date", ftDate);
    const bool bReceived = ReceivedDate(headers, ftReceived);
    if (bDate)
        props.Time(PR_CLIENT_SUBMIT_TIME, ftDate);
    if (bReceived || bDate)
        props.Time(PR_MESSAGE_DELIVERY_TIME, bReceived ? ftReceived : ftDate);
    FILETIME ft{};
    if (DateOf(headers, "Expires", ft) || DateOf(headers, "Expiry-Date", ft))
        props.Time(PR_EXPIRY_TIME, ft);
    if (DateOf(headers, "Reply-By", ft))
        props.Time(PR_REPLY_TIME, ft);

    // Identifiers.
    auto id = [&](const char* pszName, ULONG ulTag) {
        if (!headers.findField(pszName))
            return;
        std::string raw = HeaderRaw(headers, pszName);
        if (raw.size() > kMaxHeaderValue) {
            raw.resize(kMaxHeaderValue);
            bDamaged = true;
        }
        props.String(ulTag, DecodeText(raw, "utf-8").wsText);
    };
    id("Message-ID", PR_INTERNET_MESSAGE_ID_W);
    id("In-Reply-To", PR_IN_REPLY_TO_ID_W);
    id("References", PR_INTERNET_REFERENCES_W);
    id("List-Help", PR_LIST_HELP_W);
    id("List-Subscribe", PR_LIST_SUBSCRIBE_W);
    id("List-Unsubscribe", PR_LIST_UNSUBSCRIBE_W);

    props.Long(PR_IMPORTANCE, ImportanceOf(headers));
    props.Long(PR_SENSITIVITY, SensitivityOf(headers));

    // Addresses: From is the sent-representing group; Sender, or From when there is none, the sender group.
    std::vector<Address> from = AddressesOf(headers, "From");
    std::vector<Address> sender = AddressesOf(headers, "Sender");
    if (!from.empty()) {
        SetGroup(props, pAdrBook, from[0], PR_SENT_REPRESENTING_NAME_W, PR_SENT_REPRESENTING_ADDRTYPE_W,
                 PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, PR_SENT_REPRESENTING_ENTRYID, PR_SENT_REPRESENTING_SEARCH_KEY,
                 PR_SENT_REPRESENTING_SMTP_ADDRESS_W);
    }
    const Address* pSender = !sender.empty() ? &sender[0] : !from.empty() ? &from[0] : nullptr;
    if (pSender) {
        SetGroup(props, pAdrBook, *pSender, PR_SENDER_NAME_W, PR_SENDER_ADDRTYPE_W, PR_SENDER_EMAIL_ADDRESS_W,
                 PR_SENDER_ENTRYID, PR_SENDER_SEARCH_KEY, PR_SENDER_SMTP_ADDRESS_W);
    }
    std::vector<Address> replyTo = AddressesOf(headers, "Reply-To");
    if (!replyTo.empty()) {
        std::vector<std::string> entryIds;
        std::wstring names;
        for (const Address& a : replyTo) {
            entryIds.push_back(AddressEntryId(pAdrBook, a));
            names += (names.empty() ? L"" : L";") + a.wsName;
        }
        props.Binary(PR_REPLY_RECIPIENT_ENTRIES, MakeFlatEntryList(entryIds));
        props.String(PR_REPLY_RECIPIENT_NAMES_W, names);
    }
    std::vector<Address> notify = AddressesOf(headers, "Disposition-Notification-To");
    if (!notify.empty()) {
        props.Bool(PR_READ_RECEIPT_REQUESTED, true);
        props.Binary(PR_READ_RECEIPT_ENTRYID, AddressEntryId(pAdrBook, notify[0]));
        props.Binary(PR_READ_RECEIPT_SEARCH_KEY, AddressSearchKey(notify[0]));
    }
    if (headers.findField("Return-Receipt-To"))
        props.Bool(PR_ORIGINATOR_DELIVERY_REPORT_REQUESTED, true);

    // Recipients and the display lists.
    struct Kind {
        const char* pszHeader;
        LONG lType;
        ULONG ulDisplay;
    };
    const Kind kinds[] = {
        {"To", MAPI_TO, PR_DISPLAY_TO_W}, {"Cc", MAPI_CC, PR_DISPLAY_CC_W}, {"Bcc", MAPI_BCC, PR_DISPLAY_BCC_W}};
    for (const Kind& kind : kinds) {
        if (kind.lType == MAPI_BCC && !(ulFlags & CCSF_INCLUDE_BCC))
            continue;
        std::wstring display;
        for (Address& a : AddressesOf(headers, kind.pszHeader)) {
            display += (display.empty() ? L"" : L"; ") + a.wsName;
            out.recipients.push_back({std::move(a), kind.lType, {}, {}});
        }
        props.String(kind.ulDisplay, display);
    }

    // Keywords, the unsent mark, and the other headers as named properties.
    if (mimepp::Field* field = headers.findField("Keywords")) {
        const std::wstring text = FieldText(*field, bDamaged);
        for (size_t p = 0; p <= text.size();) {
            size_t comma = text.find(L',', p);
            std::wstring word = text.substr(p, comma == std::wstring::npos ? std::wstring::npos : comma - p);
            size_t b = word.find_first_not_of(L" \t");
            size_t e = word.find_last_not_of(L" \t");
            if (b != std::wstring::npos)
                out.keywords.push_back(word.substr(b, std::min<size_t>(e - b + 1, 255)));
            if (comma == std::wstring::npos)
                break;
            p = comma + 1;
        }
    }
    out.bUnsent = HeaderRaw(headers, "X-Unsent") == "1";
    // Without the gate the marks mean nothing and stay ordinary headers.
    Classification& classification = out.classification;
    classification.bClassified = LowerAscii(HeaderRaw(headers, "X-Microsoft-Classified")) == "true";
    if (classification.bClassified) {
        classification.bKeep = LowerAscii(HeaderRaw(headers, "X-Microsoft-ClassKeep")) == "true";
        classification.wsText = HeaderText(headers, "X-Microsoft-Classification");
        classification.wsDescription = HeaderText(headers, "X-Microsoft-ClassDesc");
        classification.wsGuid = HeaderText(headers, "X-Microsoft-ClassID");
    }
    for (int i = 0; i < headers.numFields(); ++i) {
        mimepp::Field& field = headers.fieldAt(i);
        const std::string name = LowerAscii(field.fieldName().str());
        if (!IsTokenName(name) || IsMappedHeader(name) || IsDroppedHeader(name) ||
            (classification.bClassified && IsClassificationHeader(name)))
            continue;
        bool bSeen = false;
        for (const auto& [seen, value] : out.internetHeaders)
            bSeen = bSeen || Platform::ToUtf8(seen) == name;
        if (bSeen)
            continue;
        // The rest stays in the transport headers; ordinary mail with many trace headers is no damage.
        if (out.internetHeaders.size() >= kMaxInternetHeaders)
            break;
        out.internetHeaders.emplace_back(Utf8ToWide(name), FieldText(field, bDamaged));
    }

    if (bTopLevel && !(ulFlags & CCSF_NOHEADERS))
        props.String(PR_TRANSPORT_MESSAGE_HEADERS_W, TransportHeaders(headers, bDamaged));
}

}  // namespace Platform::Mapi::Convert
