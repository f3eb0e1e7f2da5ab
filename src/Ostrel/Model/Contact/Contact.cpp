#include "Ostrel/Model/Contact/Contact.h"

#include <climits>
#include <cwctype>

#include "Platform/Base/Text.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Sax.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mail {

namespace {

constexpr DWORD kTraceLevel = 16;

// The position of a character in UTF-16 code-unit order: characters beyond the BMP sort by their
// surrogate pair, so between U+D7FF and U+E000.
uint64_t Utf16Key(wchar_t c) {
    uint32_t u = static_cast<uint32_t>(c);
    if (u < 0x10000 || u > 0x10FFFF)
        return static_cast<uint64_t>(u) << 16;
    u -= 0x10000;
    return (static_cast<uint64_t>(0xD800 + (u >> 10)) << 16) | (0xDC00 + (u & 0x3FF));
}

bool IsSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Decimal conversion as the C library's: leading white space, an optional sign, the leading
// digits (0 when there are none); out-of-range values stop at the type's limits.
int64_t ToInt64(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        bNegative = text[i++] == L'-';
    uint64_t value = 0;
    const uint64_t limit = bNegative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        uint64_t digit = static_cast<uint64_t>(text[i] - L'0');
        if (value > (limit - digit) / 10) {
            value = limit;
            break;
        }
        value = value * 10 + digit;
    }
    return bNegative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int32_t ToInt32(std::wstring_view text) {
    int64_t value = ToInt64(text);
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

using Platform::EqualsNoCase;

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

FILETIME Now() {
    return Util::CurrentClock().GetSystemTimeAsFileTime();
}

std::optional<std::wstring> Attribute(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring value;
    if (pElement->getAttribute(pwszName, value) != S_OK)
        return std::nullopt;
    return value;
}

}  // namespace

bool Utf16Less::operator()(std::wstring_view a, std::wstring_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return Utf16Key(a[i]) < Utf16Key(b[i]);
    return a.size() < b.size();
}

// ---- ContactAttributes, ContactGroupMembers -------------------------------------------------

void ContactAttributes::put(std::wstring_view name, std::wstring_view value) {
    // A multimap inserts after the entries of an equal name, which keeps their order.
    m_map.emplace(std::wstring(name), std::wstring(value));
}

const wchar_t* ContactAttributes::get(std::wstring_view name) const {
    auto it = m_map.find(name);
    return it == m_map.end() ? nullptr : it->second.c_str();
}

int ContactAttributes::contains(std::wstring_view name, int requireValue) const {
    auto it = m_map.find(name);
    if (it == m_map.end())
        return 0;
    return !requireValue || !it->second.empty() ? 1 : 0;
}

void ContactGroupMembers::put(wchar_t type, const wchar_t* value) {
    if (value)
        put(type, std::wstring_view(value));
}

void ContactGroupMembers::put(wchar_t type, std::wstring_view value) {
    if (type != L'\0')
        m_members.push_back(Member{type, std::wstring(value)});
}

// ---- AttachmentInfo -------------------------------------------------------------------------

Contact::AttachmentInfo::AttachmentInfo(const AttachmentInfo& other)
    : m_iPartIndex(other.m_iPartIndex), m_llSize(other.m_llSize) {
    m_pwszFileName = Util::CopyString(other.m_pwszFileName);
    try {
        m_pwszContentType = Util::CopyString(other.m_pwszContentType);
    } catch (...) {
        Util::SafeDelete(m_pwszFileName);
        throw;
    }
}

Contact::AttachmentInfo& Contact::AttachmentInfo::operator=(const AttachmentInfo& other) {
    if (this != &other) {
        SetFileName(other.m_pwszFileName);
        SetContentType(other.m_pwszContentType);
        m_iPartIndex = other.m_iPartIndex;
        m_llSize = other.m_llSize;
    }
    return *this;
}

Contact::AttachmentInfo::~AttachmentInfo() {
    Util::SafeDelete(m_pwszFileName);
    Util::SafeDelete(m_pwszContentType);
}

void Contact::AttachmentInfo::SetFileName(const wchar_t* pwszFileName) {
    wchar_t* pwszCopy = Util::CopyString(pwszFileName);  // first, so a failure leaves the old value
    Util::SafeDelete(m_pwszFileName);
    m_pwszFileName = pwszCopy;
}

void Contact::AttachmentInfo::SetContentType(const wchar_t* pwszContentType) {
    wchar_t* pwszCopy = Util::CopyString(pwszContentType);
    Util::SafeDelete(m_pwszContentType);
    m_pwszContentType = pwszCopy;
}

// ---- Contact --------------------------------------------------------------------------------

Contact::Contact() : m_ftModified(Now()) {}

Contact::Contact(int newStyleGalIdMapper, IXMLDOMNode* pCn, bool mailNamespace) : Contact() {
    m_bNewStyleGalIdMapper = newStyleGalIdMapper ? 1 : 0;
    Platform::ComPtr<IXMLDOMElement> cn;
    if (!pCn || FAILED(pCn->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(cn.AddressOf()))))
        return;

    if (auto id = Attribute(cn.Get(), L"id")) {
        m_wsTextId = *id;
        SetId(*id, L"Contact::Contact hashed %s to %d");
    }
    if (auto ref = Attribute(cn.Get(), L"ref"))
        m_wsGalRef = *ref;
    if (auto folder = Attribute(cn.Get(), L"l"))
        m_iParentFolderId = ToInt32(*folder);
    if (auto tags = Attribute(cn.Get(), L"t"))
        SetTagIds(*tags);
    if (auto tagNames = Attribute(cn.Get(), L"tn"))
        SetTagNames(*tagNames);
    if (auto modified = Attribute(cn.Get(), L"md"))
        SetModified(*modified);
    if (auto flags = Attribute(cn.Get(), L"f"))
        SetFlag(*flags);

    Platform::ComPtr<IXMLDOMNodeList> attributes;
    if (FAILED(pCn->selectNodes(mailNamespace ? L"mail:a" : L"account:a", attributes.AddressOf())) || !attributes)
        return;
    Platform::ComPtr<IXMLDOMNode> node;
    while (attributes->nextNode(node.AddressOf()) == S_OK) {
        Platform::ComPtr<IXMLDOMElement> a;
        if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(a.AddressOf()))))
            continue;
        auto name = Attribute(a.Get(), L"n");
        if (!name || name->empty())
            continue;
        if (EqualsNoCase(*name, A_image)) {
            SetImage(Attribute(a.Get(), L"part"), Attribute(a.Get(), L"s"), Attribute(a.Get(), L"filename"),
                     Attribute(a.Get(), L"ct"));
            continue;
        }
        std::wstring text;
        if (SUCCEEDED(a->get_text(text)))
            m_attributes.put(*name, text);
    }

    Platform::ComPtr<IXMLDOMNodeList> members;
    if (SUCCEEDED(pCn->selectNodes(mailNamespace ? L"mail:m" : L"account:m", members.AddressOf())) && members) {
        while (members->nextNode(node.AddressOf()) == S_OK) {
            Platform::ComPtr<IXMLDOMElement> m;
            if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(m.AddressOf()))))
                continue;
            auto value = Attribute(m.Get(), L"value");
            auto type = Attribute(m.Get(), L"type");
            if (value && type && !value->empty() && !type->empty())
                m_groupMembers.put((*type)[0], *value);
        }
    }

    SetDefaultFileAs();
    SetDefaultFullName();
}

Contact::Contact(int newStyleGalIdMapper, ISAXAttributes* pAttributes) : Contact() {
    m_bNewStyleGalIdMapper = newStyleGalIdMapper ? 1 : 0;
    int nAttributes = 0;
    if (!pAttributes || FAILED(pAttributes->getLength(&nAttributes)))
        nAttributes = 0;
    for (int i = 0; i < nAttributes; ++i) {
        std::wstring_view name, value;
        if (FAILED(pAttributes->getLocalName(i, name)) || FAILED(pAttributes->getValue(i, value)) || name.empty() ||
            value.empty())
            continue;
        if (EqualsNoCase(name, L"id")) {
            m_wsTextId = value;
            // "account:item" names an item of another mailbox by its number there.
            size_t colon = value.find(L':');
            int32_t itemId = colon == std::wstring_view::npos ? 0 : ToInt32(value.substr(colon + 1));
            if (itemId != 0)
                _contactId = itemId;
            else
                SetId(value, L"Contact::Contact hashed '%s' to %d");
        } else if (EqualsNoCase(name, L"ref")) {
            m_wsGalRef = value;
        } else if (EqualsNoCase(name, L"l")) {
            m_iParentFolderId = ToInt32(value);
        } else if (EqualsNoCase(name, L"t")) {
            SetTagIds(value);
        } else if (EqualsNoCase(name, L"tn")) {
            SetTagNames(value);
        } else if (EqualsNoCase(name, L"md")) {
            SetModified(value);
        } else if (EqualsNoCase(name, L"f")) {
            SetFlag(value);
        } else if (EqualsNoCase(name, L"tooManyMembers")) {
            if (ToInt32(value) == 1) {
                m_bTooManyMembers = 1;
                OSTLOG(kTraceLevel, Util::kLogCategoryInfo, L"GetContactsRequest returned tooManyMembers=1");
            }
        }
    }
    if (m_bNewStyleGalIdMapper)
        _sUniqueId = !m_wsGalRef.empty() ? m_wsGalRef : m_wsTextId;
    OSTLOG(kTraceLevel, Util::kLogCategoryInfo, L"_contactId:%d _sUniqueID:'%s'", _contactId, _sUniqueId.c_str());
}

std::unique_ptr<Contact::List> Contact::CreateContactList(IXMLDOMDocument2* pDoc, bool mailNamespace) {
    auto list = std::make_unique<List>();
    Platform::ComPtr<IXMLDOMNodeList> nodes;
    if (!pDoc || FAILED(pDoc->selectNodes(mailNamespace ? L"//mail:cn" : L"//account:cn", nodes.AddressOf())) || !nodes)
        return list;
    Platform::ComPtr<IXMLDOMNode> node;
    while (nodes->nextNode(node.AddressOf()) == S_OK) {
        std::unique_ptr<Contact> pContact(new Contact(0, node.Get(), mailNamespace));
        list->push_back(pContact.get());
        pContact.release();
    }
    return list;
}

int32_t Contact::HashId(std::wstring_view wsId) {
    uint32_t h = 5381;
    auto step = [&h](uint32_t unit) { h = h * 33 + unit; };
    for (wchar_t c : wsId) {
        uint32_t u = static_cast<uint32_t>(c);
        if (u >= 0x10000 && u <= 0x10FFFF) {
            u -= 0x10000;
            step(0xD800 + (u >> 10));
            step(0xDC00 + (u & 0x3FF));
        } else {
            step(u);
        }
    }
    return static_cast<int32_t>(h & 0x7FFFFFFF);
}

void Contact::SetId(std::wstring_view wsId, const wchar_t* pwszHashTrace) {
    if (wsId.empty() || !IsAsciiLetter(wsId[0])) {
        _contactId = ToInt32(wsId);
        return;
    }
    // An entry whose server id is not a number (a global address list entry): the id travels in
    // the bag, and the number is only a stand-in.
    m_attributes.put(L"id", wsId);
    if (m_bNewStyleGalIdMapper) {
        _contactId = 0;
        OSTLOG(kTraceLevel, Util::kLogCategoryInfo, L"Contact::Contact _contactId zeroed");
    } else {
        _contactId = HashId(wsId);
        OSTLOG(kTraceLevel, Util::kLogCategoryInfo, pwszHashTrace, std::wstring(wsId).c_str(), _contactId);
    }
}

void Contact::SetTagIds(std::wstring_view wsValue) {
    if (wsValue.empty())
        return;
    for (size_t start = 0;;) {
        size_t comma = wsValue.find(L',', start);
        m_tagIds.push_back(
            ToInt32(wsValue.substr(start, comma == std::wstring_view::npos ? wsValue.npos : comma - start)));
        if (comma == std::wstring_view::npos)
            break;
        start = comma + 1;
    }
}

void Contact::SetTagNames(std::wstring_view wsValue) {
    std::vector<std::wstring> names = Util::TagNameStrToTagNameList(wsValue);
    m_tagNames.assign(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
}

void Contact::SetFlag(std::wstring_view wsValue) {
    m_bHasAttachments = EqualsNoCase(wsValue, L"a") ? 1 : 0;
}

void Contact::SetModified(std::wstring_view wsValue) {
    // A time the FILETIME range cannot hold would read as 1601; the construction time is nearer.
    FILETIME ft{};
    if (Util::UnixTimeToFileTime(ToInt64(wsValue), &ft))
        m_ftModified = ft;
}

void Contact::SetImage(const std::optional<std::wstring>& part, const std::optional<std::wstring>& size,
                       const std::optional<std::wstring>& fileName, const std::optional<std::wstring>& contentType) {
    int64_t llPart = part ? int64_t(ToInt32(*part)) - 1 : -1;
    m_imageAttachment.SetPartIndex(llPart < INT32_MIN ? INT32_MIN : int32_t(llPart));
    m_imageAttachment.SetSize(size ? ToInt64(*size) : 0);
    m_imageAttachment.SetFileName(fileName ? fileName->c_str() : nullptr);
    if (contentType) {
        // "image/jpeg; name=x" is kept as "image/jpeg".
        std::wstring type = contentType->substr(0, contentType->find(L';'));
        m_imageAttachment.SetContentType(type.c_str());
    } else {
        m_imageAttachment.SetContentType(nullptr);
    }
}

void Contact::SetDefaultFileAs() {
    if (m_attributes.contains(A_outlookFileAs))
        return;
    const wchar_t* pwszFileAs = m_attributes.get(A_fileAs);
    std::wstring_view fileAs = pwszFileAs ? pwszFileAs : L"1";
    int code = !fileAs.empty() && fileAs[0] >= L'0' && fileAs[0] <= L'9' ? fileAs[0] - L'0' : 0;
    if (code == 0)
        code = 1;

    auto value = [this](const wchar_t* pwszName) {
        const wchar_t* pwsz = m_attributes.get(pwszName);
        return std::wstring(pwsz ? pwsz : L"");
    };
    std::wstring first = value(A_firstName), last = value(A_lastName), company = value(A_company);
    bool bBoth = !first.empty() && !last.empty();
    std::wstring lastFirst = last + (bBoth ? L", " : L"") + first;
    std::wstring firstLast = first + (bBoth ? L" " : L"") + last;

    std::wstring result;
    switch (code) {
        case 1:
            result = lastFirst;
            break;
        case 2:
            result = firstLast;
            break;
        case 3:
            result = company;
            break;
        case 4:
            result = lastFirst + L"\n" + company;
            break;
        case 5:
            result = firstLast + L"\n" + company;
            break;
        case 6:
            result = company + L"\n" + lastFirst;
            break;
        case 7:
            result = company + L"\n" + firstLast;
            break;
        case 8:
            result = fileAs.size() > 2 ? std::wstring(fileAs.substr(2)) : std::wstring();
            break;  // "8:label"
        default:
            break;
    }
    m_attributes.put(A_outlookFileAs, result);
}

void Contact::SetDefaultFullName() {
    if (m_attributes.contains(A_fullName))
        return;
    const wchar_t* pwszFirst = m_attributes.get(A_firstName);
    const wchar_t* pwszLast = m_attributes.get(A_lastName);
    std::wstring result = pwszFirst ? pwszFirst : L"";
    // No trailing space when the last name is there but empty.
    if (!result.empty() && pwszLast && *pwszLast)
        result += L' ';
    if (pwszLast)
        result += pwszLast;
    if (!result.empty())
        m_attributes.put(A_fullName, result);
}

void Contact::SetGalRef() {
    const wchar_t* pwszDn = m_attributes.get(A_dn);
    if (!pwszDn)
        return;
    m_wsGalRef = pwszDn;
    if (m_bNewStyleGalIdMapper) {
        std::wstring old = std::move(_sUniqueId);
        _sUniqueId = m_wsGalRef;
        if (!old.empty())
            OSTLOG(kTraceLevel, Util::kLogCategoryInfo,
                   L"Overriding _sUniqueId with GetContactsResponse 'dn' attr ('%s'->'%s')", old.c_str(),
                   _sUniqueId.c_str());
    }
}

}  // namespace Ostrel::Mail
