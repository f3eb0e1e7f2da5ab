#include "MailOutTestUtil.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace MailOutTest {

namespace {

struct Buf {
    void* p = nullptr;
    ~Buf() { MAPIFreeBuffer(p); }
};

struct Line {
    size_t indent = 0;
    std::string key;
    std::string value;
};

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<Line> Lines(const std::string& text) {
    std::vector<Line> lines;
    std::istringstream in(text);
    for (std::string raw; std::getline(in, raw);) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        const size_t indent = raw.find_first_not_of(' ');
        if (indent == std::string::npos || raw[indent] == '#')
            continue;
        const size_t colon = raw.find(':', indent);
        Line line;
        line.indent = indent;
        line.key = raw.substr(indent, colon - indent);
        if (colon != std::string::npos) {
            size_t start = colon + 1;
            if (start < raw.size() && raw[start] == ' ')
                ++start;
            line.value = Unescape(raw.substr(start));
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<unsigned char> Hex(const std::string& text) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

FILETIME ParseTime(const std::string& text) {
    std::tm tm{};
    std::istringstream in(text);
    in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%SZ");
    const long long seconds = static_cast<long long>(timegm(&tm));
    const unsigned long long ticks = static_cast<unsigned long long>(seconds) * 10000000ULL + 116444736000000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// "Name <address>" or a bare address.
void ParseAddress(const std::string& text, std::wstring& name, std::wstring& address) {
    const size_t lt = text.find('<');
    if (lt == std::string::npos) {
        name = address = Platform::FromUtf8(text);
        return;
    }
    std::string n = text.substr(0, lt);
    while (!n.empty() && n.back() == ' ')
        n.pop_back();
    name = Platform::FromUtf8(n);
    address = Platform::FromUtf8(text.substr(lt + 1, text.find('>', lt) - lt - 1));
}

HRESULT SetUnicode(IMAPIProp* p, ULONG ulTag, const std::string& utf8) {
    const std::wstring text = Platform::FromUtf8(utf8);
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(text.c_str());
    return HrSetOneProp(p, &v);
}

HRESULT SetString8(IMAPIProp* p, ULONG ulTag, const std::string& bytes) {
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszA = const_cast<char*>(bytes.c_str());
    return HrSetOneProp(p, &v);
}

HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = value;
    return HrSetOneProp(p, &v);
}

HRESULT SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& bytes) {
    SPropValue v{ulTag, 0, {}};
    v.Value.bin = {static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()))};
    return HrSetOneProp(p, &v);
}

HRESULT SetTime(IMAPIProp* p, ULONG ulTag, const std::string& text) {
    SPropValue v{ulTag, 0, {}};
    v.Value.ft = ParseTime(text);
    return HrSetOneProp(p, &v);
}

HRESULT AddRecipient(IMessage* pMessage, LONG lType, const std::string& text) {
    std::wstring name, address;
    ParseAddress(text, name, address);
    const std::string eid = Platform::Mapi::MakeOneOffEntryId(name, L"SMTP", address);
    SPropValue props[5]{};
    props[0].ulPropTag = PR_DISPLAY_NAME_W;
    props[0].Value.lpszW = const_cast<wchar_t*>(name.c_str());
    props[1].ulPropTag = PR_ADDRTYPE_W;
    props[1].Value.lpszW = const_cast<wchar_t*>(L"SMTP");
    props[2].ulPropTag = PR_EMAIL_ADDRESS_W;
    props[2].Value.lpszW = const_cast<wchar_t*>(address.c_str());
    props[3].ulPropTag = PR_RECIPIENT_TYPE;
    props[3].Value.l = lType;
    props[4].ulPropTag = PR_ENTRYID;
    props[4].Value.bin = {static_cast<ULONG>(eid.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(eid.data()))};
    Buf list;
    if (FAILED(MAPIAllocateBuffer(CbNewADRLIST(1), &list.p)))
        return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* pList = static_cast<LPADRLIST>(list.p);
    pList->cEntries = 1;
    pList->aEntries[0].ulReserved1 = 0;
    pList->aEntries[0].cValues = 5;
    pList->aEntries[0].rgPropVals = props;
    return pMessage->ModifyRecipients(MODRECIP_ADD, pList);
}

HRESULT Fill(IMessage* pMessage, const std::vector<Line>& lines, size_t& i, size_t indent);

HRESULT FillAttachment(IMessage* pMessage, const std::vector<Line>& lines, size_t& i, size_t indent) {
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    LONG lMethod = ATTACH_BY_VALUE;
    for (; i < lines.size() && lines[i].indent >= indent && SUCCEEDED(hr); ++i) {
        const Line& l = lines[i];
        if (l.key == "method") {
            lMethod = std::stol(l.value);
        } else if (l.key == "name") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_FILENAME_W, l.value);
        } else if (l.key == "long-name") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W, l.value);
        } else if (l.key == "long-name8") {
            hr = SetString8(pAttach.Get(), PR_ATTACH_LONG_FILENAME_A, l.value);
        } else if (l.key == "display-name") {
            hr = SetUnicode(pAttach.Get(), PR_DISPLAY_NAME_W, l.value);
        } else if (l.key == "mime") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_MIME_TAG_W, l.value);
        } else if (l.key == "cid") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_CONTENT_ID_W, l.value);
        } else if (l.key == "location") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_CONTENT_LOCATION_W, l.value);
        } else if (l.key == "disposition") {
            hr = SetUnicode(pAttach.Get(), PR_ATTACH_CONTENT_DISPOSITION_W, l.value);
        } else if (l.key == "flags") {
            hr = SetLong(pAttach.Get(), PR_ATTACH_FLAGS, std::stol(l.value));
        } else if (l.key == "attachment-flags") {
            hr = SetLong(pAttach.Get(), PR_ATTACHMENT_FLAGS, std::stol(l.value));
        } else if (l.key == "data") {
            hr = SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, l.value);
        } else if (l.key == "data-hex") {
            const auto bytes = Hex(l.value);
            hr = SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, std::string(bytes.begin(), bytes.end()));
        } else if (l.key == "embedded") {
            lMethod = ATTACH_EMBEDDED_MSG;
            ComPtr<IUnknown> pUnk;
            hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                       pUnk.AddressOf());
            if (FAILED(hr))
                return hr;
            ComPtr<IMessage> pInner;
            pInner.Attach(static_cast<IMessage*>(pUnk.Detach()));
            ++i;
            hr = Fill(pInner.Get(), lines, i, indent + 2);
            if (SUCCEEDED(hr))
                hr = pInner->SaveChanges(KEEP_OPEN_READWRITE);
            --i;
        } else {
            ADD_FAILURE() << "unknown attachment key " << l.key;
        }
    }
    if (SUCCEEDED(hr))
        hr = SetLong(pAttach.Get(), PR_ATTACH_METHOD, lMethod);
    return SUCCEEDED(hr) ? pAttach->SaveChanges(KEEP_OPEN_READWRITE) : hr;
}

HRESULT Fill(IMessage* pMessage, const std::vector<Line>& lines, size_t& i, size_t indent) {
    HRESULT hr = S_OK;
    std::vector<std::string> replyTo;
    while (i < lines.size() && lines[i].indent >= indent && SUCCEEDED(hr)) {
        const Line& l = lines[i];
        if (l.indent > indent) {
            ADD_FAILURE() << "unexpected indentation at " << l.key;
            return E_FAIL;
        }
        ++i;
        if (l.key == "attach") {
            hr = FillAttachment(pMessage, lines, i, indent + 2);
        } else if (l.key == "class") {
            hr = SetUnicode(pMessage, PR_MESSAGE_CLASS_W, l.value);
        } else if (l.key == "subject") {
            hr = SetUnicode(pMessage, PR_SUBJECT_W, l.value);
        } else if (l.key == "topic") {
            hr = SetUnicode(pMessage, PR_CONVERSATION_TOPIC_W, l.value);
        } else if (l.key == "body") {
            hr = SetUnicode(pMessage, PR_BODY_W, l.value);
        } else if (l.key == "html") {
            hr = SetBinary(pMessage, PR_HTML, l.value);
        } else if (l.key == "cpid") {
            hr = SetLong(pMessage, PR_INTERNET_CPID, std::stol(l.value));
        } else if (l.key == "codepage") {
            hr = SetLong(pMessage, PR_MESSAGE_CODEPAGE, std::stol(l.value));
        } else if (l.key == "submit") {
            hr = SetTime(pMessage, PR_CLIENT_SUBMIT_TIME, l.value);
        } else if (l.key == "delivery") {
            hr = SetTime(pMessage, PR_MESSAGE_DELIVERY_TIME, l.value);
        } else if (l.key == "importance") {
            hr = SetLong(pMessage, PR_IMPORTANCE, std::stol(l.value));
        } else if (l.key == "index") {
            const auto bytes = Hex(l.value);
            hr = SetBinary(pMessage, PR_CONVERSATION_INDEX, std::string(bytes.begin(), bytes.end()));
        } else if (l.key == "from" || l.key == "sender") {
            // "from" sets who the message is for and who sends it; a later "sender" another sender.
            std::wstring name, address;
            ParseAddress(l.value, name, address);
            const bool bFrom = l.key == "from";
            const std::string eid = Platform::Mapi::MakeOneOffEntryId(name, L"SMTP", address);
            const std::string utf8Name = Platform::ToUtf8(name), utf8Address = Platform::ToUtf8(address);
            if (bFrom) {
                SetUnicode(pMessage, PR_SENT_REPRESENTING_NAME_W, utf8Name);
                SetUnicode(pMessage, PR_SENT_REPRESENTING_ADDRTYPE_W, "SMTP");
                SetUnicode(pMessage, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, utf8Address);
                SetBinary(pMessage, PR_SENT_REPRESENTING_ENTRYID, eid);
            }
            SetUnicode(pMessage, PR_SENDER_NAME_W, utf8Name);
            SetUnicode(pMessage, PR_SENDER_ADDRTYPE_W, "SMTP");
            SetUnicode(pMessage, PR_SENDER_EMAIL_ADDRESS_W, utf8Address);
            hr = SetBinary(pMessage, PR_SENDER_ENTRYID, eid);
        } else if (l.key == "to" || l.key == "cc" || l.key == "bcc") {
            hr = AddRecipient(pMessage, l.key == "to" ? MAPI_TO : l.key == "cc" ? MAPI_CC : MAPI_BCC, l.value);
        } else if (l.key == "reply-to") {
            replyTo.push_back(l.value);
        } else if (l.key == "flags") {
            hr = SetLong(pMessage, PR_MESSAGE_FLAGS, std::stol(l.value));
        } else {
            ADD_FAILURE() << "unknown message key " << l.key;
        }
    }
    if (SUCCEEDED(hr) && !replyTo.empty()) {
        std::string flat;
        std::wstring names;
        auto put32 = [&](uint32_t v) {
            for (int b = 0; b < 4; ++b)
                flat += static_cast<char>((v >> (8 * b)) & 0xFF);
        };
        std::vector<std::string> eids;
        for (const std::string& text : replyTo) {
            std::wstring name, address;
            ParseAddress(text, name, address);
            eids.push_back(Platform::Mapi::MakeOneOffEntryId(name, L"SMTP", address));
            names += (names.empty() ? L"" : L"; ") + name;
        }
        std::string entries;
        for (const std::string& eid : eids) {
            std::string one;
            for (int b = 0; b < 4; ++b)
                one += static_cast<char>((eid.size() >> (8 * b)) & 0xFF);
            one += eid;
            while (one.size() % 4)
                one += '\0';
            entries += one;
        }
        put32(static_cast<uint32_t>(eids.size()));
        put32(static_cast<uint32_t>(entries.size()));
        flat += entries;
        hr = SetBinary(pMessage, PR_REPLY_RECIPIENT_ENTRIES, flat);
        if (SUCCEEDED(hr))
            hr = SetUnicode(pMessage, PR_REPLY_RECIPIENT_NAMES_W, Platform::ToUtf8(names));
    }
    return hr;
}

// Replaces every value of a header (up to its line end) with the placeholder.
std::string ReplaceHeader(const std::string& text, const std::string& name, const std::string& placeholder) {
    std::regex re("(^|\n)(" + name + "): [^\r\n]*(\r?\n[ \t][^\r\n]*)*", std::regex::icase);
    return std::regex_replace(text, re, "$1$2: " + placeholder);
}

}  // namespace

ComPtr<IMessage> StoreFixture::FromDescription(const std::string& text) {
    ComPtr<IMessage> pMessage = NewMessage();
    EXPECT_EQ(BuildMessage(pMessage.Get(), text), S_OK);
    EXPECT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    return pMessage;
}

ComPtr<IMessage> StoreFixture::FromMime(const std::string& mime) {
    ComPtr<IConverterSession> pSession;
    EXPECT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<IMessage> pMessage = NewMessage();
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(mime);
    pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    return pMessage;
}

HRESULT BuildMessage(IMessage* pMessage, const std::string& description) {
    const std::vector<Line> lines = Lines(description);
    size_t i = 0;
    return Fill(pMessage, lines, i, 0);
}

std::string StreamText(IStream* pStream) {
    std::string out;
    LARGE_INTEGER zero{};
    if (!pStream || FAILED(pStream->Seek(zero, STREAM_SEEK_SET, nullptr)))
        return out;
    char buf[8192];
    ULONG cb = 0;
    while (SUCCEEDED(pStream->Read(buf, sizeof buf, &cb)) && cb > 0)
        out.append(buf, cb);
    pStream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return out;
}

std::string Normalise(const std::string& mime) {
    std::string text = mime;
    // Boundaries in order of first appearance.
    std::map<std::string, std::string> names;
    std::regex boundary("boundary=\"?([^\";\r\n]+)\"?", std::regex::icase);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), boundary); it != std::sregex_iterator(); ++it) {
        const std::string value = (*it)[1];
        if (!names.count(value))
            names[value] = "BOUNDARY-" + std::to_string(names.size() + 1);
    }
    // Longest first, so that a boundary that begins another is not replaced inside it.
    std::vector<std::pair<std::string, std::string>> order(names.begin(), names.end());
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [value, name] : order) {
        for (size_t pos = 0; (pos = text.find(value, pos)) != std::string::npos; pos += name.size())
            text.replace(pos, value.size(), name);
    }
    text = ReplaceHeader(text, "Date", "DATE");
    text = ReplaceHeader(text, "Message-ID", "<MESSAGE-ID>");
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += '\n';
            ++i;
        } else if (text[i] == '\r') {
            out += "<CR>";
        } else if (text[i] == '\n') {
            out += "<LF>\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

std::filesystem::path DataDir() {
    return TestSupport::DataDir() / "mail-out";
}

}  // namespace MailOutTest
