// The server's MIME form of a calendar item carries its description twice (plain and HTML, or
// plain only) beside a text/calendar part. Before the MIME conversion the calendar part is
// dropped, since the item's properties come from the model, and a missing HTML alternative is
// made from the plain text, so the store item always gets both bodies.
#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Platform/Mime/Coders.h"
#include "Platform/Mime/Entity.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"
#include "Util/Log/Log.h"

#include <cctype>

namespace Ostrel::Mail {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The part's type and subtype joined by a slash, lower case; "text/plain" without a header.
std::string GetContentType(mimepp::Entity& entity) {
    if (!entity.headers().hasField("Content-Type"))
        return "text/plain";
    const mimepp::MediaType& type = entity.headers().contentType();
    return Lower(type.type().str() + "/" + type.subtype().str());
}

// The part's body decoded from base64 or quoted-printable as its header says.
std::string DecodedBody(mimepp::Entity& entity) {
    const mimepp::String& raw = entity.body().getString();
    std::string encoding;
    if (mimepp::Field* pField = entity.headers().findField("Content-Transfer-Encoding"))
        encoding = Lower(std::string(pField->fieldBody().getString().str()));
    while (!encoding.empty() && std::isspace(static_cast<unsigned char>(encoding.front())))
        encoding.erase(encoding.begin());
    mimepp::String out;
    if (encoding.rfind("base64", 0) == 0) {
        mimepp::Base64Decoder().decode(raw, out);
        return out.str();
    }
    if (encoding.rfind("quoted-printable", 0) == 0) {
        mimepp::QuotedPrintableDecoder().decode(raw, out);
        return out.str();
    }
    return raw.str();
}

void NormalizeMultipartAlternative(mimepp::Body& body) {
    int iPlain = -1;
    bool bHtml = false;
    for (int i = body.numBodyParts() - 1; i >= 0; --i) {
        const std::string type = GetContentType(body.bodyPartAt(i));
        if (type == "text/calendar") {
            OSTLOG_INFO(16, L"NormalizeMultipartAlternative() - found calendar part of MIME. Removing it.");
            body.removeBodyPartAt(i);
            iPlain = iPlain >= 0 ? iPlain - 1 : iPlain;
        } else if (type == "text/html") {
            bHtml = true;
        } else if (type == "text/plain") {
            iPlain = i;
        }
    }
    if (bHtml || iPlain < 0)
        return;
    OSTLOG_INFO(16, L"NormalizeMultipartAlternative() - HTML missing. Using plain text.");
    mimepp::BodyPart& plain = body.bodyPartAt(iPlain);
    const std::string charset =
        plain.headers().hasField("Content-Type") ? plain.headers().contentType().charset().str() : std::string();
    std::string html = "<html><body>";
    const std::string text = DecodedBody(plain);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' || text[i] == '\r')
            html += "<br>";
        else
            html += text[i];
    }
    html += "</body></html>";
    auto* pPart = new mimepp::BodyPart(mimepp::String("Content-Type: text/html; charset=\"" +
                                                      (charset.empty() ? std::string("us-ascii") : charset) +
                                                      "\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + html));
    pPart->parse();
    body.addBodyPart(pPart);
}

// Walks multipart containers (alternatives and what holds them); other parts are left alone.
void InjectHTMLAndRemoveCalendarPart(mimepp::Entity& entity) {
    const std::string type = GetContentType(entity);
    if (type.rfind("multipart/", 0) != 0)
        return;
    if (type == "multipart/alternative")
        NormalizeMultipartAlternative(entity.body());
    for (int i = 0; i < entity.body().numBodyParts(); ++i)
        InjectHTMLAndRemoveCalendarPart(entity.body().bodyPartAt(i));
}

}  // namespace

bool OstrelToOL::FixMimeWithHTMLAndCalendar(const std::string& sMime, std::string& sFixed) {
    mimepp::Message message{mimepp::String(sMime)};
    message.parse();
    InjectHTMLAndRemoveCalendarPart(message);
    message.assemble();
    sFixed = message.getString().str();
    return !sFixed.empty();
}

}  // namespace Ostrel::Mail
