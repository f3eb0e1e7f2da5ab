#include "Platform/Mapi/Convert/MimeReader.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/Charset.h"
#include "Platform/Mapi/Convert/ConvertTags.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Convert/Flowed.h"
#include "Platform/Mapi/Convert/HtmlText.h"
#include "Platform/Mapi/Convert/Reports.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace Platform::Mapi::Convert {

namespace {

// iCalendar text with its folded lines joined.
std::string UnfoldedCalendar(mimepp::Entity& entity, bool* pbDamaged) {
    const std::string raw = DecodedContent(entity, pbDamaged);
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 2 < raw.size() && raw[i + 1] == '\n' && (raw[i + 2] == ' ' || raw[i + 2] == '\t')) {
            i += 2;
            continue;
        }
        if (raw[i] == '\n' && i + 1 < raw.size() && (raw[i + 1] == ' ' || raw[i + 1] == '\t')) {
            ++i;
            continue;
        }
        out += raw[i];
    }
    return out;
}

// The value of the first content line named `name` (with or without parameters).
std::string CalendarValue(const std::string& ics, const std::string& name) {
    const std::string upper = [&] {
        std::string u = ics;
        for (char& c : u)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        return u;
    }();
    for (size_t p = 0; p < upper.size();) {
        size_t nl = upper.find('\n', p);
        const size_t end = nl == std::string::npos ? upper.size() : nl;
        if (upper.compare(p, name.size(), name) == 0 && p + name.size() < end &&
            (upper[p + name.size()] == ':' || upper[p + name.size()] == ';')) {
            bool bQuoted = false;
            for (size_t q = p + name.size(); q < end; ++q) {
                if (upper[q] == '"')
                    bQuoted = !bQuoted;
                if (upper[q] == ':' && !bQuoted) {
                    std::string value = ics.substr(q + 1, end - q - 1);
                    if (!value.empty() && value.back() == '\r')
                        value.pop_back();
                    return value;
                }
            }
        }
        p = end + 1;
    }
    return std::string();
}

std::string CalendarMethod(mimepp::Entity& entity, bool* pbDamaged) {
    std::string method = TypeParameter(entity, "method");
    if (method.empty())
        method = CalendarValue(UnfoldedCalendar(entity, pbDamaged), "METHOD");
    for (char& c : method)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return method;
}

std::wstring CalendarText(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char c = value[++i];
            out += (c == 'n' || c == 'N') ? std::string("\r\n") : std::string(1, c);
        } else {
            out += value[i];
        }
    }
    return DecodeText(out, "utf-8").wsText;
}

// text/enriched without its formatting commands ("<<" stands for "<").
std::wstring EnrichedText(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'<') {
            if (i + 1 < text.size() && text[i + 1] == L'<') {
                out += L'<';
                ++i;
                continue;
            }
            const size_t end = text.find(L'>', i);
            if (end == std::wstring::npos)
                break;
            i = end;
            continue;
        }
        out += text[i];
    }
    return out;
}

// Soft line breaks of flowed text undone: the text is what the sender wrote.
void Unflow(mimepp::Entity& part, std::wstring& text) {
    if (LowerAscii(TypeParameter(part, "format")) == "flowed")
        text = Unflowed(text, LowerAscii(TypeParameter(part, "delsp")) == "yes");
}

bool IsInlineImageType(const MediaInfo& t) {
    if (t.sType != "image")
        return false;
    static constexpr const char* kTypes[] = {"jpeg", "jpg", "pjpeg", "gif", "bmp", "png", "x-png"};
    for (const char* s : kTypes)
        if (t.sSubtype == s)
            return true;
    return false;
}

// The entity as a standalone MIME entity: its Content- header fields and its body as read.
std::string WholeEntityText(mimepp::Entity& entity) {
    std::string out;
    mimepp::Headers& headers = entity.headers();
    for (int i = 0; i < headers.numFields(); ++i) {
        mimepp::Field& field = headers.fieldAt(i);
        if (mimepp::Strncasecmp(field.fieldName(), "Content-", 8) != 0)
            continue;
        out += field.getString().str();
        if (out.back() != '\n')
            out += "\r\n";
    }
    out += "\r\n";
    out += entity.body().getString().str();
    return out;
}

int AlternativeRank(mimepp::Entity& entity, bool* pbDamaged, int depth = 0) {
    if (depth > 8)
        return 0;
    std::string filename;
    if (DispositionOf(entity, &filename) == "attachment")
        return 0;
    const MediaInfo t = TypeOf(entity, false);
    mimepp::Body& body = entity.body();
    if (t.sType == "multipart") {
        if (body.numBodyParts() == 0)
            return 0;
        if (t.sSubtype == "alternative") {
            int best = 0;
            for (int i = 0; i < body.numBodyParts(); ++i)
                best = std::max(best, AlternativeRank(body.bodyPartAt(i), pbDamaged, depth + 1));
            return best;
        }
        const int first = AlternativeRank(body.bodyPartAt(0), pbDamaged, depth + 1);
        return t.sSubtype == "related" ? (first == 4 ? 4 : 0) : first;
    }
    if (t.sType != "text")
        return 0;
    if (t.sSubtype == "html")
        return 4;
    if (t.sSubtype == "enriched")
        return 3;
    if (t.sSubtype == "plain")
        return 2;
    if (t.sSubtype == "calendar") {
        const std::string method = CalendarMethod(entity, pbDamaged);
        return (method == "REQUEST" || method == "REPLY" || method == "CANCEL" || method == "PUBLISH") ? 1 : 0;
    }
    return 0;
}

// Cuts header fields of the message's own header block that are longer than kMaxHeaderValue (with
// their folded lines), so that a field of many megabytes costs neither the parser's time nor memory.
// True when something was cut.
bool CutLongHeaderFields(std::string& text) {
    size_t end = 0;  // end of the header block
    bool bLong = false;
    for (size_t fieldStart = 0, pos = 0;;) {
        const size_t nl = text.find('\n', pos);
        const size_t next = nl == std::string::npos ? text.size() : nl + 1;
        const bool bContinuation = pos > 0 && pos < text.size() && (text[pos] == ' ' || text[pos] == '\t');
        if (!bContinuation)
            fieldStart = pos;
        if (next - fieldStart > kMaxHeaderValue)
            bLong = true;
        const bool bEmpty = next - pos <= 2 && (text[pos] == '\n' || text.compare(pos, 2, "\r\n") == 0);
        if (nl == std::string::npos || bEmpty) {
            end = pos;
            break;
        }
        pos = next;
    }
    if (!bLong)
        return false;
    std::string out;
    out.reserve(std::min(text.size(), end + (text.size() - end)));
    for (size_t pos = 0; pos < end;) {
        size_t fieldEnd = pos;
        do {
            const size_t nl = text.find('\n', fieldEnd);
            fieldEnd = nl == std::string::npos || nl >= end ? end : nl + 1;
        } while (fieldEnd < end && (text[fieldEnd] == ' ' || text[fieldEnd] == '\t'));
        if (fieldEnd - pos > kMaxHeaderValue) {
            std::string field = text.substr(pos, kMaxHeaderValue);
            while (!field.empty() && (field.back() == '\r' || field.back() == '\n'))
                field.pop_back();
            out += field + "\r\n";
        } else {
            out.append(text, pos, fieldEnd - pos);
        }
        pos = fieldEnd;
    }
    out.append(text, end, std::string::npos);
    text = std::move(out);
    return true;
}

}  // namespace

HRESULT MimeReader::Convert(std::string text, IMessage* pMessage) {
    if (CutLongHeaderFields(text))
        m_bDamaged = true;
    mimepp::Message message{mimepp::String(std::move(text))};
    message.parse();
    HRESULT hr = ConvertEntity(message, pMessage, 0, true);
    if (FAILED(hr))
        return hr;
    return m_bDamaged ? MAPI_W_PARTIAL_COMPLETION : S_OK;
}

void MimeReader::CheckMultipart(mimepp::Entity& entity) {
    mimepp::Body& body = entity.body();
    if (body.numBodyParts() == 0) {
        m_bDamaged = true;
        return;
    }
    const std::string close = "--" + TypeParameter(entity, "boundary") + "--";
    if (body.getString().find(close.c_str()) == mimepp::String::npos)
        m_bDamaged = true;
}

bool MimeReader::IsBodyCandidate(mimepp::Entity& entity, const MediaInfo& type) {
    if (type.sType != "text")
        return false;
    std::string filename;
    if (DispositionOf(entity, &filename) == "attachment" || !filename.empty())
        return false;
    if (type.sSubtype == "plain" || type.sSubtype == "html" || type.sSubtype == "enriched")
        return true;
    if (type.sSubtype != "calendar")
        return false;
    const std::string method = CalendarMethod(entity, &m_bDamaged);
    return method == "REQUEST" || method == "REPLY" || method == "CANCEL" || method == "PUBLISH";
}

void MimeReader::NoteCalendar(mimepp::Entity& entity, Plan& plan) {
    if (plan.wsClass != L"IPM.Note")
        return;
    const std::string method = CalendarMethod(entity, &m_bDamaged);
    // A published calendar is an appointment to keep, not a meeting to answer.
    if (method == "PUBLISH")
        plan.wsClass = L"IPM.Appointment";
    if (method == "REQUEST")
        plan.wsClass = L"IPM.Schedule.Meeting.Request";
    if (method == "CANCEL")
        plan.wsClass = L"IPM.Schedule.Meeting.Canceled";
    if (method == "COUNTER")
        plan.wsClass = L"IPM.Schedule.Meeting.Resp.Tent";
    if (method == "REPLY") {
        const std::string ics = LowerAscii(UnfoldedCalendar(entity, &m_bDamaged));
        const size_t at = ics.find("partstat=");
        const std::string status = at == std::string::npos ? std::string() : ics.substr(at + 9, 9);
        plan.wsClass = status.rfind("declined", 0) == 0    ? L"IPM.Schedule.Meeting.Resp.Neg"
                       : status.rfind("tentative", 0) == 0 ? L"IPM.Schedule.Meeting.Resp.Tent"
                                                           : L"IPM.Schedule.Meeting.Resp.Pos";
    }
}

void MimeReader::NoteReport(mimepp::Entity& root, const std::string& reportType, Plan& plan, PropList& props) {
    mimepp::Body& body = root.body();
    for (int i = 0; i < body.numBodyParts(); ++i) {
        mimepp::Entity& part = body.bodyPartAt(i);
        const MediaInfo t = TypeOf(part, false);
        bool bDamaged = false;
        const std::string text = LowerAscii(DecodedContent(part, &bDamaged));
        if (reportType == "delivery-status" && t.Is("message", "delivery-status")) {
            const DeliveryStatus status = ReadDeliveryStatus(DecodedContent(part, &bDamaged));
            if (status.action != DeliveryAction::None)
                plan.wsClass = std::wstring(L"REPORT.IPM.Note") + ReportClassSuffix(status.action);
            plan.wsReportingMta = status.wsReportingMta;
            for (const DeliveryRecipient& r : status.recipients)
                plan.reportRecipients.push_back(
                    {Address{r.wsAddress, L"SMTP", r.wsAddress}, MAPI_TO, r.wsRemoteMta, r.wsSupplementaryInfo});
        }
        if (reportType == "disposition-notification" && t.Is("message", "disposition-notification")) {
            const size_t p = text.find("disposition:");
            const size_t semi = p == std::string::npos ? std::string::npos : text.find(';', p);
            std::string disposition;
            if (semi != std::string::npos) {
                const size_t e = text.find_first_of("\r\n", semi);
                disposition = text.substr(semi + 1, e == std::string::npos ? std::string::npos : e - semi - 1);
                const size_t b = disposition.find_first_not_of(" \t");
                disposition = b == std::string::npos ? std::string() : disposition.substr(b);
            }
            plan.wsClass =
                disposition.rfind("displayed", 0) == 0 ? L"REPORT.IPM.Note.IPNRN" : L"REPORT.IPM.Note.IPNNRN";
            if (!disposition.empty())
                props.String(kTagReportDisposition, Utf8ToWide(disposition));
            const std::string original = DecodedContent(part, &bDamaged);
            const std::string lower = LowerAscii(original);
            const size_t o = lower.find("original-message-id:");
            if (o != std::string::npos) {
                const size_t e = original.find_first_of("\r\n", o);
                std::string id = original.substr(o + 20, e == std::string::npos ? std::string::npos : e - o - 20);
                const size_t b = id.find_first_not_of(" \t");
                if (b != std::string::npos)
                    props.String(PR_ORIGINAL_MESSAGE_ID_W, Utf8ToWide(id.substr(b)));
            }
        }
    }
}

void MimeReader::PlanRoot(mimepp::Entity& root, Plan& plan, PropList& props,
                          std::vector<std::pair<std::wstring, std::wstring>>& headers) {
    const MediaInfo t = TypeOf(root, false);
    if (t.Is("multipart", "signed") && root.body().numBodyParts() > 0) {
        CheckMultipart(root);
        plan.wsClass = L"IPM.Note.SMIME.MultipartSigned";
        Walk(root.body().bodyPartAt(0), true, false, false, plan);
        Attachment blob(&root);
        blob.bWholeEntity = true;
        blob.wsName = L"smime.p7m";
        blob.bHidden = true;
        plan.attachments.push_back(blob);
        return;
    }
    std::string filename;
    DispositionOf(root, &filename);
    if (filename.empty())
        filename = TypeParameter(root, "name");
    const bool bP7m = LowerAscii(filename).ends_with(".p7m");
    if (t.Is("application", "pkcs7-mime") || t.Is("application", "x-pkcs7-mime") ||
        (t.Is("application", "octet-stream") && bP7m)) {
        plan.wsClass = L"IPM.Note.SMIME";
        Attachment blob(&root);
        blob.wsName = L"smime.p7m";
        plan.attachments.push_back(blob);
        headers.emplace_back(L"content-type", Utf8ToWide(HeaderRaw(root.headers(), "Content-Type")));
        return;
    }
    // Text without MIME structure may carry uuencoded files.
    if (!root.headers().findField("Content-Type") && !root.headers().findField("MIME-Version")) {
        std::vector<UuBlock> blocks;
        if (SplitUuencoded(DecodedContent(root, &m_bDamaged), plan.sText, blocks, &m_bDamaged)) {
            plan.pBody = &root;
            plan.bodyType = MediaInfo{"text", "plain"};
            plan.bTextOverride = true;
            for (UuBlock& block : blocks) {
                Attachment file(&root);
                file.wsName = SanitizedFileName(block.wsName);
                file.bData = true;
                file.sData = std::move(block.sData);
                plan.attachments.push_back(std::move(file));
            }
            return;
        }
    }
    if (t.Is("multipart", "report"))
        NoteReport(root, LowerAscii(TypeParameter(root, "report-type")), plan, props);
    Walk(root, true, false, false, plan);
}

void MimeReader::Walk(mimepp::Entity& entity, bool bBodyAllowed, bool bRelated, bool bDigestChild, Plan& plan) {
    const MediaInfo t = TypeOf(entity, bDigestChild);
    mimepp::Body& body = entity.body();
    if (t.sType == "multipart") {
        CheckMultipart(entity);
        if (body.numBodyParts() == 0) {
            // Nothing could be split (no boundary, or nested too deep): the text stays whole.
            if (bBodyAllowed && !plan.pBody) {
                plan.pBody = &entity;
                plan.bodyType = MediaInfo{"text", "plain"};
            } else {
                plan.attachments.push_back(Attachment(&entity, bRelated, bDigestChild));
            }
            return;
        }
        if (t.sSubtype == "alternative") {
            WalkAlternative(entity, bBodyAllowed, bRelated, plan);
        } else if (t.sSubtype == "related") {
            Walk(body.bodyPartAt(0), bBodyAllowed, false, false, plan);
            for (int i = 1; i < body.numBodyParts(); ++i)
                Walk(body.bodyPartAt(i), false, true, false, plan);
        } else {
            const bool bDigest = t.sSubtype == "digest";
            Walk(body.bodyPartAt(0), bBodyAllowed, false, bDigest, plan);
            if (!bDigest && bBodyAllowed && plan.pBody == &body.bodyPartAt(0) &&
                (plan.bodyType.Is("text", "plain") || plan.bodyType.Is("text", "html")) && !plan.bTextOverride) {
                WalkAggregate(body, plan);
                return;
            }
            for (int i = 1; i < body.numBodyParts(); ++i)
                Walk(body.bodyPartAt(i), false, false, bDigest, plan);
        }
        return;
    }
    if (bBodyAllowed && !plan.pBody && IsBodyCandidate(entity, t)) {
        plan.pBody = &entity;
        plan.bodyType = t;
        if (t.sSubtype == "calendar") {
            NoteCalendar(entity, plan);
            plan.attachments.push_back(Attachment(&entity));
        }
        return;
    }
    plan.attachments.push_back(Attachment(&entity, bRelated, bDigestChild));
}

void MimeReader::WalkAggregate(mimepp::Body& body, Plan& plan) {
    for (int i = 1; i < body.numBodyParts(); ++i) {
        mimepp::Entity& part = body.bodyPartAt(i);
        const MediaInfo t = TypeOf(part, false);
        const bool bHtmlBody = plan.bodyType.sSubtype == "html";
        if ((t.Is("text", "plain") || (bHtmlBody && t.Is("text", "html"))) && IsBodyCandidate(part, t)) {
            plan.moreTexts.push_back(&part);
            continue;
        }
        std::string filename;
        if (IsInlineImageType(t) && DispositionOf(part, &filename) != "attachment") {
            // In an HTML body the image is shown through a cid: reference, made up when it has no id.
            Attachment image(&part, bHtmlBody);
            image.cTextsBefore = plan.moreTexts.size() + 1;
            if (bHtmlBody) {
                image.sContentId = StripAngles(HeaderRaw(part.headers(), "Content-ID"));
                if (image.sContentId.empty())
                    image.sContentId = "part" + std::to_string(i + 1) + "@joined-body.invalid";
            }
            plan.attachments.push_back(image);
            continue;
        }
        Walk(part, false, false, false, plan);
    }
}

void MimeReader::WalkAlternative(mimepp::Entity& entity, bool bBodyAllowed, bool bRelated, Plan& plan) {
    mimepp::Body& body = entity.body();
    int chosen = -1;
    int best = 0;
    if (bBodyAllowed && !plan.pBody) {
        for (int i = 0; i < body.numBodyParts(); ++i) {
            const int rank = AlternativeRank(body.bodyPartAt(i), &m_bDamaged);
            if (rank > 0 && rank >= best) {
                best = rank;
                chosen = i;
            }
        }
    }
    if (chosen < 0) {
        for (int i = 0; i < body.numBodyParts(); ++i)
            Walk(body.bodyPartAt(i), false, bRelated, false, plan);
        return;
    }
    Walk(body.bodyPartAt(chosen), true, bRelated, false, plan);
    for (int i = 0; i < body.numBodyParts(); ++i) {
        if (i == chosen)
            continue;
        mimepp::Entity& part = body.bodyPartAt(i);
        const MediaInfo t = TypeOf(part, false);
        if (t.Is("text", "calendar")) {
            // The meeting itself: kept beside the body, and it sets the class.
            NoteCalendar(part, plan);
            plan.attachments.push_back(Attachment(&part));
        } else if (t.Is("text", "plain") && best >= 3 && !plan.pPlainAlternative) {
            plan.pPlainAlternative = &part;
        }
    }
}

std::wstring MimeReader::JoinHtml(const Plan& plan, const std::wstring& first, bool* pbDamaged) {
    std::wstring fragments;
    auto images = [&](size_t cTexts) {
        for (const Attachment& a : plan.attachments)
            if (a.cTextsBefore == cTexts && !a.sContentId.empty())
                fragments += L"<img src=\"cid:" + Utf8ToWide(a.sContentId) + L"\">";
    };
    for (size_t k = 0; k < plan.moreTexts.size(); ++k) {
        images(k + 1);
        mimepp::Entity& part = *plan.moreTexts[k];
        const std::string bytes = DecodedContent(part, pbDamaged);
        std::string charset = TypeParameter(part, "charset");
        if (TypeOf(part, false).Is("text", "html")) {
            if (charset.empty())
                charset = HtmlMetaCharset(bytes);
            fragments += HtmlBodyContent(DecodeText(bytes, charset.empty() ? "utf-8" : charset).wsText);
        } else {
            std::wstring text = DecodeText(bytes, charset).wsText;
            Unflow(part, text);
            fragments += HtmlOfText(text);
        }
    }
    images(plan.moreTexts.size() + 1);
    return HtmlWithAppended(first, fragments);
}

void MimeReader::ReadBody(Plan& plan, PropList& props, std::string& htmlBytes) {
    if (!plan.pBody)
        return;
    mimepp::Entity& entity = *plan.pBody;
    bool bDamaged = false;
    std::string bytes = plan.bTextOverride ? plan.sText : DecodedContent(entity, &bDamaged);
    std::string charset = TypeParameter(entity, "charset");
    const std::string& subtype = plan.bodyType.sSubtype;
    if (subtype == "html") {
        if (charset.empty())
            charset = HtmlMetaCharset(bytes);
        DecodedText text = DecodeText(bytes, charset.empty() ? "utf-8" : charset);
        if (!plan.moreTexts.empty()) {
            // The joined HTML stays in the first part's charset when that can carry it, else UTF-8,
            // and a <meta> charset then says so.
            text.wsText = JoinHtml(plan, text.wsText, &bDamaged);
            if (!CodePageOfCharset(text.sCharset) || !EncodeText(text.wsText, text.sCharset, bytes)) {
                bytes = HtmlWithMetaCharset(Platform::ToUtf8(text.wsText), "utf-8");
                text.sCharset = "utf-8";
            }
        }
        std::wstring plain;
        if (plan.pPlainAlternative) {
            const std::string plainBytes = DecodedContent(*plan.pPlainAlternative, &bDamaged);
            plain = DecodeText(plainBytes, TypeParameter(*plan.pPlainAlternative, "charset")).wsText;
            Unflow(*plan.pPlainAlternative, plain);
        } else {
            plain = HtmlToText(text.wsText);
        }
        props.String(PR_BODY_W, std::move(plain));
        // PR_HTML holds bytes in the code page PR_INTERNET_CPID names; a charset without a known code
        // page is stored as UTF-8 instead, and its <meta> says so.
        ULONG cp = CodePageOfCharset(text.sCharset);
        if (!cp) {
            bytes = HtmlWithMetaCharset(Platform::ToUtf8(text.wsText), "utf-8");
            cp = 65001;
        }
        props.Long(PR_INTERNET_CPID, static_cast<LONG>(cp));
        props.Long(PR_NATIVE_BODY_INFO, kNativeBodyHtml);
        htmlBytes = bytes;
        props.Binary(PR_HTML, std::move(bytes));
    } else if (subtype == "calendar") {
        bool bIgnored = false;
        const std::string description = CalendarValue(UnfoldedCalendar(entity, &bIgnored), "DESCRIPTION");
        if (!description.empty()) {
            // iCalendar text is UTF-8.
            props.String(PR_BODY_W, CalendarText(description));
            props.Long(PR_INTERNET_CPID, 65001);
        }
        props.Long(PR_NATIVE_BODY_INFO, kNativeBodyPlain);
    } else {
        DecodedText text = DecodeText(bytes, charset);
        if (subtype == "plain" && !plan.bTextOverride)
            Unflow(entity, text.wsText);
        if (subtype == "enriched")
            text.wsText = EnrichedText(text.wsText);
        // Each joined text starts on a line of its own.
        auto endLine = [&] {
            if (!plan.moreTexts.empty() && !text.wsText.empty() && text.wsText.back() != L'\n')
                text.wsText += L"\r\n";
            plan.textEnds.push_back(text.wsText.size());
        };
        endLine();
        for (mimepp::Entity* pMore : plan.moreTexts) {
            std::wstring more = DecodeText(DecodedContent(*pMore, &bDamaged), TypeParameter(*pMore, "charset")).wsText;
            Unflow(*pMore, more);
            text.wsText += more;
            if (pMore != plan.moreTexts.back())
                endLine();
            else
                plan.textEnds.push_back(text.wsText.size());
        }
        props.String(PR_BODY_W, std::move(text.wsText));
        if (ULONG cp = CodePageOfCharset(text.sCharset))
            props.Long(PR_INTERNET_CPID, static_cast<LONG>(cp));
        props.Long(PR_NATIVE_BODY_INFO, kNativeBodyPlain);
    }
    m_bDamaged = m_bDamaged || bDamaged;
    const std::string contentId = StripAngles(HeaderRaw(entity.headers(), "Content-ID"));
    if (!contentId.empty())
        props.String(PR_BODY_CONTENT_ID_W, Utf8ToWide(contentId));
    const std::string location = HeaderRaw(entity.headers(), "Content-Location");
    if (!location.empty())
        props.String(PR_BODY_CONTENT_LOCATION_W, Utf8ToWide(location));
}

HRESULT MimeReader::WriteRecipients(IMessage* pMessage, const std::vector<Recipient>& recipients) {
    if (recipients.empty())
        return S_OK;
    std::vector<PropList> rows(recipients.size());
    std::vector<char> buffer(CbNewADRLIST(recipients.size()));
    auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
    pList->cEntries = static_cast<ULONG>(recipients.size());
    for (size_t i = 0; i < recipients.size(); ++i) {
        const Address& a = recipients[i].address;
        PropList& row = rows[i];
        row.String(PR_DISPLAY_NAME_W, a.wsName);
        row.String(PR_ADDRTYPE_W, a.wsType);
        row.String(PR_EMAIL_ADDRESS_W, a.wsAddress);
        row.String(PR_SMTP_ADDRESS_W, a.wsAddress);
        row.Binary(PR_ENTRYID, AddressEntryId(m_pAdrBook, a));
        row.Binary(PR_SEARCH_KEY, AddressSearchKey(a));
        row.Long(PR_RECIPIENT_TYPE, recipients[i].lType);
        row.Long(PR_OBJECT_TYPE, MAPI_MAILUSER);
        row.Long(PR_DISPLAY_TYPE, DT_MAILUSER);
        row.Bool(PR_SEND_RICH_INFO, false);
        if (!recipients[i].wsRemoteMta.empty())
            row.String(kTagRemoteMta, recipients[i].wsRemoteMta);
        if (!recipients[i].wsSupplementaryInfo.empty())
            row.String(kTagSupplementaryInfo, recipients[i].wsSupplementaryInfo);
        pList->aEntries[i] = ADRENTRY{0, row.Count(), row.Values()};
    }
    return pMessage->ModifyRecipients(MODRECIP_ADD, pList);
}

HRESULT MimeReader::WriteNamedHeaders(IMessage* pMessage, const Envelope& envelope,
                                      const std::vector<std::pair<std::wstring, std::wstring>>& extra,
                                      PropList& props) {
    std::vector<std::pair<std::wstring, std::wstring>> headers = envelope.internetHeaders;
    headers.insert(headers.end(), extra.begin(), extra.end());
    std::vector<MAPINAMEID> names;
    for (const auto& [name, value] : headers)
        names.push_back(
            {const_cast<GUID*>(&PS_INTERNET_HEADERS), MNID_STRING, {.lpwstrName = const_cast<wchar_t*>(name.c_str())}});
    const bool bKeywords = !envelope.keywords.empty();
    if (bKeywords)
        names.push_back(
            {const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {.lpwstrName = const_cast<wchar_t*>(L"Keywords")}});
    const Classification& classification = envelope.classification;
    static constexpr LONG kClassLids[] = {kLidClassified, kLidClassificationKeep, kLidClassification,
                                          kLidClassificationDescription, kLidClassificationGuid};
    const size_t firstClass = names.size();
    if (classification.bClassified)
        for (LONG lid : kClassLids)
            names.push_back({const_cast<GUID*>(&PSETID_Common), MNID_ID, {.lID = lid}});
    if (names.empty())
        return S_OK;
    std::vector<LPMAPINAMEID> pointers;
    for (MAPINAMEID& name : names)
        pointers.push_back(&name);
    LPSPropTagArray pTags = nullptr;
    HRESULT hr = pMessage->GetIDsFromNames(static_cast<ULONG>(pointers.size()), pointers.data(), MAPI_CREATE, &pTags);
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < headers.size() && i < pTags->cValues; ++i) {
        if (PROP_TYPE(pTags->aulPropTag[i]) == PT_ERROR)
            continue;
        props.String(CHANGE_PROP_TYPE(pTags->aulPropTag[i], PT_UNICODE), headers[i].second);
    }
    if (bKeywords && pTags->cValues == names.size() && PROP_TYPE(pTags->aulPropTag[headers.size()]) != PT_ERROR)
        props.StringList(CHANGE_PROP_TYPE(pTags->aulPropTag[headers.size()], PT_MV_UNICODE), envelope.keywords);
    if (classification.bClassified && pTags->cValues == names.size()) {
        auto tag = [&](size_t k, ULONG ulType) {
            const ULONG ulTag = pTags->aulPropTag[firstClass + k];
            return PROP_TYPE(ulTag) == PT_ERROR ? 0 : CHANGE_PROP_TYPE(ulTag, ulType);
        };
        if (ULONG t = tag(0, PT_BOOLEAN))
            props.Bool(t, true);
        if (ULONG t = tag(1, PT_BOOLEAN))
            props.Bool(t, classification.bKeep);
        const std::wstring* texts[] = {&classification.wsText, &classification.wsDescription, &classification.wsGuid};
        for (size_t k = 0; k < 3; ++k)
            if (ULONG t = tag(k + 2, PT_UNICODE); t && !texts[k]->empty())
                props.String(t, *texts[k]);
    }
    MAPIFreeBuffer(pTags);
    return hr == MAPI_W_ERRORS_RETURNED ? S_OK : hr;
}

HRESULT MimeReader::WriteEmbedded(IMessage* pMessage, mimepp::Entity& entity, const std::wstring& wsName, int depth) {
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    mimepp::Message& inner = *entity.body().message();
    PropList props;
    std::wstring name = wsName;
    if (name.empty())
        name = HeaderText(inner.headers(), "Subject");
    props.Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
    props.String(PR_DISPLAY_NAME_W, name.empty() ? std::wstring(L"Untitled Attachment") : name);
    props.String(PR_ATTACH_MIME_TAG_W, L"message/rfc822");
    props.Long(PR_RENDERING_POSITION, -1);
    hr = pAttach->SetProps(props.Count(), props.Values(), nullptr);
    if (FAILED(hr))
        return hr;
    ComPtr<IUnknown> pUnk;
    hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    ComPtr<IMessage> pInner;
    pInner.Attach(static_cast<IMessage*>(pUnk.Detach()));
    hr = ConvertEntity(inner, pInner.Get(), depth + 1, false);
    if (FAILED(hr))
        return hr;
    return pAttach->SaveChanges(KEEP_OPEN_READWRITE);
}

HRESULT MimeReader::WriteAttachment(IMessage* pMessage, const Attachment& attachment, const Plan& plan,
                                    const std::string& html, ULONG index, int depth) {
    mimepp::Entity& entity = *attachment.pEntity;
    MediaInfo t = attachment.bWholeEntity ? MediaInfo{"multipart", "signed"} : TypeOf(entity, attachment.bDigestChild);
    if (attachment.bData) {
        const std::string type = TypeOfExtension(FileExtension(attachment.wsName));
        t = MediaInfo{type.substr(0, type.find('/')), type.substr(type.find('/') + 1)};
    }
    std::string filename;
    const std::string disposition = DispositionOf(entity, &filename);
    if (filename.empty())
        filename = TypeParameter(entity, "name");
    std::wstring name = attachment.wsName.empty() ? SanitizedFileName(Utf8ToWide(filename)) : attachment.wsName;
    const std::wstring description = HeaderText(entity.headers(), "Content-Description");
    if (t.Is("message", "rfc822") && !attachment.bWholeEntity) {
        if (entity.body().message() && depth < kMaxEmbeddedDepth)
            return WriteEmbedded(pMessage, entity, name.empty() ? description : name, depth);
        m_bDamaged = true;  // too deep to open: kept as a message file
    }
    if (name.empty())
        name = SanitizedFileName(description);
    if (name.empty()) {
        wchar_t generated[16];
        std::swprintf(generated, 16, L"ATT%05u", static_cast<unsigned>(index + 1));
        name = generated + ExtensionOfType(t.Full());
    }
    bool bDamaged = false;
    std::string data = attachment.bData          ? attachment.sData
                       : attachment.bWholeEntity ? WholeEntityText(entity)
                                                 : DecodedContent(entity, &bDamaged);
    m_bDamaged = m_bDamaged || bDamaged;

    PropList props;
    props.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    props.String(PR_ATTACH_LONG_FILENAME_W, name);
    props.String(PR_ATTACH_FILENAME_W, ShortFileName(name));
    const std::wstring extension = FileExtension(name);
    if (!extension.empty())
        props.String(PR_ATTACH_EXTENSION_W, extension);
    props.String(PR_DISPLAY_NAME_W, description.empty() ? name : description);
    props.String(PR_ATTACH_MIME_TAG_W, Utf8ToWide(t.Full()));
    // A plain body shows the image at this character.
    const bool bPositioned = attachment.cTextsBefore > 0 && attachment.cTextsBefore <= plan.textEnds.size();
    props.Long(PR_RENDERING_POSITION, bPositioned ? static_cast<LONG>(plan.textEnds[attachment.cTextsBefore - 1]) : -1);
    // "attachment" is what an absent disposition means; only other ones are kept.
    if (!disposition.empty() && disposition != "attachment")
        props.String(PR_ATTACH_CONTENT_DISPOSITION_W, Utf8ToWide(disposition));
    if (t.sType == "text") {
        const std::string charset = TypeParameter(entity, "charset");
        if (!charset.empty())
            props.String(PR_TEXT_ATTACHMENT_CHARSET_W, Utf8ToWide(charset));
    }
    const std::string contentId =
        attachment.sContentId.empty() ? StripAngles(HeaderRaw(entity.headers(), "Content-ID")) : attachment.sContentId;
    const std::string location = HeaderRaw(entity.headers(), "Content-Location");
    const std::string base = HeaderRaw(entity.headers(), "Content-Base");
    if (!contentId.empty())
        props.String(PR_ATTACH_CONTENT_ID_W, Utf8ToWide(contentId));
    if (!location.empty())
        props.String(PR_ATTACH_CONTENT_LOCATION_W, Utf8ToWide(location));
    if (!base.empty())
        props.String(PR_ATTACH_CONTENT_BASE_W, Utf8ToWide(base));
    const bool bInline = attachment.bRelated && (!contentId.empty() || !location.empty()) && IsInlineImageType(t) &&
                         HtmlRefersTo(html, contentId, location);
    if (bInline)
        props.Long(PR_ATTACH_FLAGS, kAttachRenderedInBody);
    if (bInline || attachment.bHidden)
        props.Bool(PR_ATTACHMENT_HIDDEN, true);
    props.Binary(PR_ATTACH_DATA_BIN, std::move(data));

    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (SUCCEEDED(hr))
        hr = pAttach->SetProps(props.Count(), props.Values(), nullptr);
    if (SUCCEEDED(hr))
        hr = pAttach->SaveChanges(KEEP_OPEN_READWRITE);
    return hr;
}

void MimeReader::ApplyContentClass(const Envelope& envelope, Plan& plan) {
    if (plan.wsClass != L"IPM.Note")
        return;
    std::wstring contentClass;
    for (const auto& [name, value] : envelope.internetHeaders)
        if (name == L"content-class")
            contentClass = value;
    const std::string cls = LowerAscii(Platform::ToUtf8(contentClass));
    // A fax needs its pages (TIFF or PDF), a voice message its recording; a missed call is a notice.
    bool bFaxPages = false;
    bool bRecording = false;
    for (const Attachment& a : plan.attachments) {
        if (a.bData || a.bWholeEntity)
            continue;
        const MediaInfo t = TypeOf(*a.pEntity, a.bDigestChild);
        bFaxPages = bFaxPages || t.Is("image", "tiff") || t.Is("application", "pdf");
        bRecording = bRecording || t.sType == "audio";
    }
    if ((cls == "fax" || cls == "fax-ca") && bFaxPages)
        plan.wsClass = cls == "fax" ? L"IPM.Note.Microsoft.Fax" : L"IPM.Note.Microsoft.Fax.CA";
    else if (cls == "missedcall")
        plan.wsClass = L"IPM.Note.Microsoft.Missed.Voice";
    else if (cls == "voice-uc" && bRecording)
        plan.wsClass = L"IPM.Note.Microsoft.Conversation.Voice";
    else if (cls == "voice-ca" && bRecording)
        plan.wsClass = L"IPM.Note.Microsoft.Voicemail.UM.CA";
}

void MimeReader::ApplyReportRecipients(Envelope& envelope, Plan& plan) {
    PropList& props = envelope.props;
    if (!plan.wsReportingMta.empty())
        props.String(kTagReportingMta, plan.wsReportingMta);
    if (plan.reportRecipients.empty())
        return;
    for (const Recipient& r : envelope.recipients) {
        if (r.lType != MAPI_TO)
            continue;
        props.String(PR_RECEIVED_BY_NAME_W, r.address.wsName);
        props.String(PR_RECEIVED_BY_ADDRTYPE_W, r.address.wsType);
        props.String(PR_RECEIVED_BY_EMAIL_ADDRESS_W, r.address.wsAddress);
        props.Binary(PR_RECEIVED_BY_ENTRYID, AddressEntryId(m_pAdrBook, r.address));
        props.Binary(PR_RECEIVED_BY_SEARCH_KEY, AddressSearchKey(r.address));
        break;
    }
    envelope.recipients = std::move(plan.reportRecipients);
    std::wstring display;
    for (const Recipient& r : envelope.recipients)
        display += (display.empty() ? L"" : L"; ") + r.address.wsName;
    props.String(PR_DISPLAY_TO_W, display);
    props.String(PR_DISPLAY_CC_W, L"");
    props.String(PR_DISPLAY_BCC_W, L"");
}

HRESULT MimeReader::ConvertEntity(mimepp::Entity& root, IMessage* pMessage, int depth, bool bTopLevel) {
    Envelope envelope;
    if (!(bTopLevel && (m_ulFlags & CCSF_NOHEADERS)))
        ReadEnvelope(root.headers(), m_pAdrBook, m_ulFlags, bTopLevel, envelope);
    m_bDamaged = m_bDamaged || envelope.bDamaged;
    PropList& props = envelope.props;
    Plan plan;
    std::vector<std::pair<std::wstring, std::wstring>> extraHeaders;
    PlanRoot(root, plan, props, extraHeaders);
    std::string html;
    ReadBody(plan, props, html);
    ApplyContentClass(envelope, plan);
    ApplyReportRecipients(envelope, plan);
    props.String(PR_MESSAGE_CLASS_W, plan.wsClass);

    LONG lFlags = MSGFLAG_READ;
    SPropValue* pFlags = nullptr;
    if (SUCCEEDED(HrGetOneProp(pMessage, PR_MESSAGE_FLAGS, &pFlags)))
        lFlags = pFlags->Value.l;
    MAPIFreeBuffer(pFlags);
    lFlags &= ~MSGFLAG_UNSENT;
    if (envelope.bUnsent && (m_ulFlags & CCSF_EMBEDDED_MESSAGE))
        lFlags |= MSGFLAG_UNSENT;
    props.Long(PR_MESSAGE_FLAGS, lFlags);

    HRESULT hr = WriteNamedHeaders(pMessage, envelope, extraHeaders, props);
    if (SUCCEEDED(hr))
        hr = pMessage->SetProps(props.Count(), props.Values(), nullptr);
    if (SUCCEEDED(hr))
        hr = WriteRecipients(pMessage, envelope.recipients);
    for (size_t i = 0; SUCCEEDED(hr) && i < plan.attachments.size(); ++i)
        hr = WriteAttachment(pMessage, plan.attachments[i], plan, html, static_cast<ULONG>(i), depth);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    return hr;
}

}  // namespace Platform::Mapi::Convert
