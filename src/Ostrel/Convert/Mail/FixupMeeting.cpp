#include <cwctype>
#include <memory>

#include "Ostrel/Convert/Mail/CharsetUtil.h"
#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Convert::Fixup;
using Ostrel::Util::CharsetUtil;

namespace {

constexpr const char* kEmptyHtml =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2//EN\">\r\n"
    "<HTML>\r\n"
    "<HEAD>\r\n"
    "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=utf-8\">\r\n"
    "</HEAD>\r\n"
    "<BODY>\r\n"
    "</BODY>\r\n"
    "</HTML>\r\n";

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsType(mimepp::Entity& entity, const char* pszType, const char* pszSubtype) {
    if (!entity.headers().hasField("Content-Type"))
        return false;
    mimepp::MediaType& type = entity.headers().contentType();
    return mimepp::Strcasecmp(type.type(), pszType) == 0 && mimepp::Strcasecmp(type.subtype(), pszSubtype) == 0;
}

// The decoded content of a part and the encoding to put it back in.
std::string Decoded(mimepp::Entity& entity) {
    const mimepp::String& raw = entity.body().getString();
    mimepp::String out;
    switch (entity.headers().hasField("Content-Transfer-Encoding") ? entity.headers().contentTransferEncoding().asEnum()
                                                                   : mimepp::TransferEncodingType::NONE) {
        case mimepp::TransferEncodingType::BASE64:
            mimepp::Base64Decoder().decode(raw, out);
            return out.str();
        case mimepp::TransferEncodingType::QUOTED_PRINTABLE:
            mimepp::QuotedPrintableDecoder().decode(raw, out);
            return out.str();
        default:
            return raw.str();
    }
}

void SetEncodedContent(mimepp::Entity& entity, const std::string& content) {
    mimepp::String out;
    switch (entity.headers().hasField("Content-Transfer-Encoding") ? entity.headers().contentTransferEncoding().asEnum()
                                                                   : mimepp::TransferEncodingType::NONE) {
        case mimepp::TransferEncodingType::BASE64:
            mimepp::Base64Encoder().encode(mimepp::String(content), out);
            break;
        case mimepp::TransferEncodingType::QUOTED_PRINTABLE:
            mimepp::QuotedPrintableEncoder().encode(mimepp::String(content), out);
            break;
        default:
            out = mimepp::String(content);
    }
    entity.body().setString(out);
}

// A text part with the encoding FindBestEncoding picks for its bytes.
mimepp::BodyPart* NewTextPart(const char* pszSubtype, const std::string& charset, const std::string& bytes) {
    auto* pPart = mimepp::BodyPart::newBodyPart();
    mimepp::MediaType& type = pPart->headers().contentType();
    type.setType("text");
    type.setSubtype(pszSubtype);
    type.setCharset(mimepp::String(charset));
    const auto encoding = CharsetUtil::FindBestEncoding(bytes.data(), static_cast<int>(bytes.size()), false, false);
    pPart->headers().contentTransferEncoding().fromEnum(CharsetUtil::TEFromME(encoding));
    mimepp::String encoded;
    CharsetUtil::EncodeBody(encoding, mimepp::String(bytes), encoded);
    pPart->body().setString(encoded);
    return pPart;
}

// One logical line of iCalendar text: as written (folded) and unfolded.
struct CalLine {
    std::string sRaw;
    std::string sText;
    bool bChanged = false;
};

std::vector<CalLine> SplitCalendar(const std::string& text) {
    std::vector<CalLine> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        const size_t next = eol == std::string::npos ? text.size() : eol + 1;
        std::string raw = text.substr(pos, next - pos);
        std::string content = raw;
        while (!content.empty() && (content.back() == '\n' || content.back() == '\r'))
            content.pop_back();
        if (!lines.empty() && !content.empty() && (content[0] == ' ' || content[0] == '\t')) {
            lines.back().sRaw += raw;
            lines.back().sText += content.substr(1);
        } else {
            lines.push_back({raw, content, false});
        }
        pos = next;
    }
    return lines;
}

// Folds a changed line at 75 octets without splitting a UTF-8 sequence.
std::string Fold(const std::string& text) {
    std::string out;
    size_t start = 0;
    size_t limit = 75;
    while (text.size() - start > limit) {
        size_t cut = start + limit;
        while (cut > start + 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        out += text.substr(start, cut - start) + "\r\n ";
        start = cut;
        limit = 74;
    }
    return out + text.substr(start) + "\r\n";
}

// Position of the ':' that ends a property's name and parameters (outside quoted values).
size_t ValueStart(const std::string& line) {
    bool bQuoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            bQuoted = !bQuoted;
        } else if (line[i] == ':' && !bQuoted) {
            return i;
        }
    }
    return std::string::npos;
}

// The value of a parameter (without quotes), or empty.
std::string Param(const std::string& head, const std::string& name) {
    const std::string upper = Upper(head);
    size_t pos = 0;
    while ((pos = upper.find(";" + name + "=", pos)) != std::string::npos) {
        size_t start = pos + name.size() + 2;
        if (start < head.size() && head[start] == '"') {
            const size_t end = head.find('"', start + 1);
            return head.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        }
        const size_t end = head.find(';', start);
        return head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return std::string();
}

// The head without the named parameter.
std::string WithoutParam(const std::string& head, const std::string& name) {
    const std::string upper = Upper(head);
    const size_t pos = upper.find(";" + name + "=");
    if (pos == std::string::npos)
        return head;
    size_t end = pos + name.size() + 2;
    if (end < head.size() && head[end] == '"') {
        const size_t close = head.find('"', end + 1);
        end = close == std::string::npos ? head.size() : close + 1;
    } else {
        end = head.find(';', end);
        if (end == std::string::npos)
            end = head.size();
    }
    return head.substr(0, pos) + head.substr(end);
}

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    }
    return true;
}

std::wstring StripMailto(std::wstring value) {
    if (StartsWithNoCase(value, L"mailto:"))
        value.erase(0, 7);
    return value;
}

// The recipients a meeting's attendees are looked up among.
HRESULT GetMeetingRecipients(IMessage* pMessage, std::vector<RecipientRow>& rows) {
    HRESULT hr = ReadRecipientRows(pMessage, rows);
    if (FAILED(hr))
        OSTLOG_ERROR(L"GetMeetingRecipients() failed: %x", hr);
    return hr;
}

// Repairs the attendees and the organizer of a request; true when a line changed.
bool RepairCalendar(IMessage* pMessage, std::vector<CalLine>& lines, bool bAttendees, const wchar_t* pwszSenderAddress,
                    const wchar_t* pwszOrganizerAddress) {
    std::vector<RecipientRow> recipients;
    bool bRecipientsRead = false;
    bool bChanged = false;
    for (auto it = lines.begin(); it != lines.end();) {
        const size_t colon = ValueStart(it->sText);
        if (colon == std::string::npos) {
            ++it;
            continue;
        }
        const std::string head = it->sText.substr(0, colon);
        const std::string name = Upper(head.substr(0, head.find(';')));
        const std::wstring value = Platform::FromUtf8(it->sText.substr(colon + 1));
        if (bAttendees && name == "ATTENDEE" && SameNoCase(value, L"invalid:nomail")) {
            if (!bRecipientsRead) {
                bRecipientsRead = true;
                GetMeetingRecipients(pMessage, recipients);
            }
            const std::wstring cn = Platform::FromUtf8(Param(head, "CN"));
            const RecipientRow* pMatch = nullptr;
            for (const RecipientRow& r : recipients) {
                if (!cn.empty() && !r.wsAddress.empty() && (SameNoCase(r.wsName, cn) || SameNoCase(r.wsAddress, cn))) {
                    pMatch = &r;
                    break;
                }
            }
            if (!pMatch) {
                OSTLOG_INFO(16, "Failed to fix attendee, removing '%hs'.", it->sText.c_str());
                it = lines.erase(it);
                bChanged = true;
                continue;
            }
            std::string newHead = head;
            if (Param(head, "RSVP").empty())
                newHead += ";RSVP=TRUE";
            const std::string mailto = "mailto:" + Platform::ToUtf8(pMatch->wsAddress);
            it->sText = newHead + ":" + mailto;
            it->bChanged = true;
            bChanged = true;
            OSTLOG_INFO(16, L"':invalid:nomail' replaced with '%hs' for '%s'", mailto.c_str(), cn.c_str());
        } else if (bAttendees && name == "ORGANIZER") {
            // Only a request names who sends it for the organizer; a response comes from an attendee.
            std::wstring organizer = StripMailto(value);
            std::string newHead = head;
            if (SameNoCase(value, L"invalid:nomail") && pwszOrganizerAddress && *pwszOrganizerAddress)
                organizer = pwszOrganizerAddress;
            const std::wstring sentBy = StripMailto(Platform::FromUtf8(Param(head, "SENT-BY")));
            if (pwszSenderAddress && *pwszSenderAddress && !SameNoCase(organizer, pwszSenderAddress) &&
                !SameNoCase(sentBy, pwszSenderAddress)) {
                newHead = WithoutParam(newHead, "SENT-BY") +
                          ";SENT-BY=\"mailto:" + Platform::ToUtf8(pwszSenderAddress) + "\"";
            }
            const std::string newText = newHead + ":" +
                                        (organizer == StripMailto(value) ? it->sText.substr(colon + 1)
                                                                         : "mailto:" + Platform::ToUtf8(organizer));
            if (newText != it->sText) {
                it->sText = newText;
                it->bChanged = true;
                bChanged = true;
            }
        }
        ++it;
    }
    return bChanged;
}

// The first text/calendar part of the tree, not looking into attached messages.
mimepp::Entity* FindCalendar(mimepp::Entity& entity) {
    if (IsType(entity, "text", "calendar"))
        return &entity;
    for (int i = 0; i < entity.body().numBodyParts(); ++i) {
        if (mimepp::Entity* p = FindCalendar(entity.body().bodyPartAt(i)))
            return p;
    }
    return nullptr;
}

}  // namespace

HRESULT MtgRequestFix(IMessage* pMessage, IStream** ppStream, unsigned int& size, const wchar_t* pwszSenderAddress,
                      const wchar_t* pwszOrganizerAddress) {
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream || !*ppStream)
        return E_POINTER;
    std::wstring wsClass;
    GetUnicodeProp(pMessage, PR_MESSAGE_CLASS_W, wsClass);
    return MtgRequestFixForClass(pMessage, wsClass, ppStream, size, pwszSenderAddress, pwszOrganizerAddress);
}

HRESULT Ostrel::Convert::Fixup::MtgRequestFixForClass(IMessage* pMessage, const std::wstring& wsClass,
                                                      IStream** ppStream, unsigned int& size,
                                                      const wchar_t* pwszSenderAddress,
                                                      const wchar_t* pwszOrganizerAddress) {
    if (!pMessage)
        return E_INVALIDARG;
    if (!ppStream || !*ppStream)
        return E_POINTER;
    if (!StartsWithNoCase(wsClass, L"ipm.schedule.meeting"))
        return S_OK;
    const bool bAttendees = !StartsWithNoCase(wsClass, L"ipm.schedule.meeting.Resp");
    if (size > Ostrel::Mapi::GetMaxMimeBufferSize()) {
        OSTLOG_INFO(16, L"Message is too large to process -- returning");
        return S_OK;
    }
    std::string mime;
    HRESULT hr = ReadWholeStream(*ppStream, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"ERROR: MtgRequestFix - failed to Seek in IStream: %x", hr);
        return hr;
    }
    if (mime.size() > Ostrel::Mapi::GetMaxMimeBufferSize()) {
        OSTLOG_INFO(16, L"Message is too large to process -- returning");
        return S_OK;
    }

    mimepp::Message message{mimepp::String(mime)};
    message.parse();
    bool bChanged = false;
    mimepp::Entity* pCalendar = FindCalendar(message);
    if (IsType(message, "multipart", "alternative")) {
        OSTLOG_INFO(16, L"Already multipart/alternative - no change.");
    } else if (pCalendar &&
               (pCalendar == &message || (IsType(message, "multipart", "mixed") && message.body().numBodyParts() > 0 &&
                                          pCalendar == &message.body().bodyPartAt(0)))) {
        // The calendar alone (at the top, or as the first part before attachments) becomes the
        // alternative of a text, an HTML and the calendar part.
        std::wstring wsText;
        GetUnicodeProp(pMessage, PR_BODY_W, wsText);
        std::string html;
        LONG lCodePage = 0;
        std::string htmlCharset = "utf-8";
        if (GetBinaryProp(pMessage, PR_HTML, html) && !html.empty()) {
            if (GetLongProp(pMessage, PR_INTERNET_CPID, lCodePage) && lCodePage > 0)
                htmlCharset = CharsetUtil::CharsetStringFromCodePageId(static_cast<unsigned>(lCodePage));
        } else {
            html = kEmptyHtml;
        }
        mimepp::BodyPart* pCalPart = nullptr;
        if (pCalendar == &message) {
            pCalPart = mimepp::BodyPart::newBodyPart();
            // The top entity's calendar content moves into a part of its own.
            mimepp::Headers& from = message.headers();
            for (const char* pszName :
                 {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition", "Content-ID"}) {
                if (mimepp::Field* pField = from.findField(pszName))
                    pCalPart->headers().addField(static_cast<mimepp::Field*>(pField->clone()));
                from.removeField(pszName);
            }
            pCalPart->body().setString(message.body().getString());
            message.body().setString("");
        } else {
            pCalPart = static_cast<mimepp::BodyPart*>(message.body().removeBodyPartAt(0).release());
        }
        std::unique_ptr<mimepp::BodyPart> pAlternative;
        if (pCalendar != &message)
            pAlternative.reset(mimepp::BodyPart::newBodyPart());
        mimepp::Entity& target = pAlternative ? static_cast<mimepp::Entity&>(*pAlternative) : message;
        target.headers().contentType().setType("multipart");
        target.headers().contentType().setSubtype("alternative");
        target.body().addBodyPart(NewTextPart("plain", "utf-8", Platform::ToUtf8(wsText)));
        target.body().addBodyPart(NewTextPart("html", htmlCharset, html));
        target.body().addBodyPart(pCalPart);
        if (pAlternative)
            message.body().insertBodyPartAt(0, pAlternative.release());
        pCalendar = pCalPart;
        bChanged = true;
    }

    if (pCalendar) {
        const std::string ics = Decoded(*pCalendar);
        OSTLOG_INFO(64, "Calendar body is %hs", ics.c_str());
        std::vector<CalLine> lines = SplitCalendar(ics);
        if (RepairCalendar(pMessage, lines, bAttendees, pwszSenderAddress, pwszOrganizerAddress)) {
            std::string repaired;
            for (const CalLine& line : lines)
                repaired += line.bChanged ? Fold(line.sText) : line.sRaw;
            SetEncodedContent(*pCalendar, repaired);
            bChanged = true;
        }
    }
    if (!bChanged)
        return S_OK;

    message.assemble();
    const std::string& updated = message.getString().str();
    hr = RewriteOrRestore(*ppStream, updated, mime);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"ERROR: MtgRequestFix - failed to write into istream: %x", hr);
        return hr;
    }
    size = static_cast<unsigned int>(updated.size());
    OSTLOG_INFO(16, L"MIME updated. Returning %x", hr);
    return hr;
}
