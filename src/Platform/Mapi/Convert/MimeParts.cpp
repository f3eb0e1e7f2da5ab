#include "Platform/Mapi/Convert/MimeParts.h"

#include <cwctype>

#include "Platform/Base/Utf.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"

namespace Platform::Mapi::Convert {

namespace {

struct TypeExtension {
    const char* pszType;
    const wchar_t* pwszExtension;
};

// The first extension of a type is the one generated for it.
constexpr TypeExtension kTypes[] = {
    {"text/plain", L".txt"},
    {"text/html", L".htm"},
    {"text/html", L".html"},
    {"text/calendar", L".ics"},
    {"text/vcard", L".vcf"},
    {"text/x-vcard", L".vcf"},
    {"text/csv", L".csv"},
    {"text/xml", L".xml"},
    {"message/rfc822", L".eml"},
    {"image/png", L".png"},
    {"image/jpeg", L".jpg"},
    {"image/jpeg", L".jpeg"},
    {"image/gif", L".gif"},
    {"image/bmp", L".bmp"},
    {"image/tiff", L".tif"},
    {"image/svg+xml", L".svg"},
    {"application/pdf", L".pdf"},
    {"application/zip", L".zip"},
    {"application/msword", L".doc"},
    {"application/vnd.ms-excel", L".xls"},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", L".docx"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", L".xlsx"},
    {"application/pkcs7-mime", L".p7m"},
    {"application/pkcs7-signature", L".p7s"},
    {"application/x-pkcs7-signature", L".p7s"},
    {"application/ms-tnef", L".dat"},
    {"audio/mpeg", L".mp3"},
    {"video/mp4", L".mp4"},
    {"application/json", L".json"},
};

std::string Trim(std::string s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string Unfolded(const mimepp::String& value) {
    std::string out;
    out.reserve(value.length());
    for (size_t i = 0; i < value.length(); ++i)
        if (value[i] != '\r' && value[i] != '\n')
            out += value[i];
    return out;
}

// uuencoded lines between "begin" and "end"; lines that do not decode mark the data damaged.
std::string UuDecode(std::string_view text, bool* pbDamaged) {
    std::string out;
    size_t pos = 0;
    bool bInside = false;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!bInside) {
            bInside = line.rfind("begin ", 0) == 0;
            continue;
        }
        if (line == "end")
            return out;
        if (line.empty())
            continue;
        const size_t n = static_cast<size_t>((line[0] - 0x20) & 0x3F);
        std::string bytes;
        for (size_t i = 1; i < line.size() && bytes.size() < n; i += 4) {
            auto c = [&](size_t k) { return k < line.size() ? static_cast<unsigned>((line[k] - 0x20) & 0x3F) : 0u; };
            const unsigned v = (c(i) << 18) | (c(i + 1) << 12) | (c(i + 2) << 6) | c(i + 3);
            bytes += static_cast<char>((v >> 16) & 0xFF);
            bytes += static_cast<char>((v >> 8) & 0xFF);
            bytes += static_cast<char>(v & 0xFF);
        }
        if (bytes.size() < n)
            *pbDamaged = true;
        out.append(bytes, 0, std::min(n, bytes.size()));
    }
    *pbDamaged = true;  // no "end" line
    return out;
}

}  // namespace

bool SplitUuencoded(std::string_view text, std::string& rest, std::vector<UuBlock>& blocks, bool* pbDamaged) {
    rest.clear();
    blocks.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
        std::string_view line = text.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        // "begin", a blank, three or four octal digits, a blank, a name.
        size_t mode = 6;
        while (mode < line.size() && line[mode] >= '0' && line[mode] <= '7')
            ++mode;
        if (line.rfind("begin ", 0) != 0 || mode < 9 || mode > 10 || mode + 1 >= line.size() || line[mode] != ' ') {
            rest.append(text.substr(pos, next - pos));
            pos = next;
            continue;
        }
        size_t end = text.find("\nend", next - 1);
        while (end != std::string_view::npos && end + 4 < text.size() && text[end + 4] != '\r' && text[end + 4] != '\n')
            end = text.find("\nend", end + 1);
        const size_t blockEnd = end == std::string_view::npos ? text.size() : text.find('\n', end + 1);
        const std::string_view block =
            text.substr(pos, (blockEnd == std::string_view::npos ? text.size() : blockEnd + 1) - pos);
        blocks.push_back({Platform::FromUtf8(line.substr(mode + 1)), UuDecode(block, pbDamaged)});
        pos = blockEnd == std::string_view::npos ? text.size() : blockEnd + 1;
    }
    return !blocks.empty();
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    return Platform::FromUtf8(utf8);
}

MediaInfo TypeOf(mimepp::Entity& entity, bool bDigestChild) {
    MediaInfo info;
    if (mimepp::Field* field = entity.headers().findField("Content-Type")) {
        auto& type = static_cast<mimepp::MediaType&>(field->fieldBody());
        info.sType = LowerAscii(Trim(type.type().str()));
        info.sSubtype = LowerAscii(Trim(type.subtype().str()));
    }
    if (info.sType.empty() || info.sSubtype.empty()) {
        info = bDigestChild ? MediaInfo{"message", "rfc822"} : MediaInfo{"text", "plain"};
    }
    return info;
}

std::string TypeParameter(mimepp::Entity& entity, const char* pszName) {
    mimepp::Field* field = entity.headers().findField("Content-Type");
    if (!field)
        return std::string();
    return static_cast<mimepp::MediaType&>(field->fieldBody()).parameter(pszName).str();
}

std::string DispositionOf(mimepp::Entity& entity, std::string* pFilename) {
    if (pFilename)
        pFilename->clear();
    mimepp::Field* field = entity.headers().findField("Content-Disposition");
    if (!field)
        return std::string();
    auto& disposition = static_cast<mimepp::DispositionType&>(field->fieldBody());
    if (pFilename)
        *pFilename = disposition.filename().str();
    return LowerAscii(Trim(disposition.type().str()));
}

std::string DecodedContent(mimepp::Entity& entity, bool* pbDamaged) {
    const mimepp::String& raw = entity.body().getString();
    mimepp::Field* field = entity.headers().findField("Content-Transfer-Encoding");
    if (!field)
        return raw.str();
    auto& cte = static_cast<mimepp::TransferEncodingType&>(field->fieldBody());
    mimepp::String out;
    switch (cte.asEnum()) {
        case mimepp::TransferEncodingType::BASE64:
            if (mimepp::Base64Decoder().decode(raw, out) != 0)
                *pbDamaged = true;
            return std::move(out.str());
        case mimepp::TransferEncodingType::QUOTED_PRINTABLE:
            // A stray '=' is common in real mail and kept as it is; nothing is lost.
            mimepp::QuotedPrintableDecoder().decode(raw, out);
            return std::move(out.str());
        case mimepp::TransferEncodingType::UNKNOWN: {
            const std::string name = LowerAscii(Trim(Unfolded(field->fieldBody().getString())));
            if (name == "x-uuencode" || name == "x-uue" || name == "uuencode")
                return UuDecode(raw.str(), pbDamaged);
            return raw.str();
        }
        default:
            return raw.str();
    }
}

std::wstring HeaderText(mimepp::Headers& headers, const char* pszName) {
    mimepp::Field* field = headers.findField(pszName);
    if (!field)
        return std::wstring();
    mimepp::Text text(mimepp::String(Unfolded(field->fieldBody().getString())));
    std::wstring out = Utf8ToWide(Trim(text.textUtf8().str()));
    return out;
}

std::string HeaderRaw(mimepp::Headers& headers, const char* pszName) {
    mimepp::Field* field = headers.findField(pszName);
    return field ? Trim(Unfolded(field->fieldBody().getString())) : std::string();
}

std::string StripAngles(std::string value) {
    value = Trim(std::move(value));
    if (value.size() >= 2 && value.front() == '<' && value.back() == '>')
        value = Trim(value.substr(1, value.size() - 2));
    return value;
}

std::wstring SanitizedFileName(std::wstring name) {
    for (wchar_t& c : name)
        if (c < 0x20 || c == L'/' || c == L'\\' || c == 0x7F)
            c = L'_';
    size_t b = name.find_first_not_of(L" .");
    size_t e = name.find_last_not_of(L" .");
    name = b == std::wstring::npos ? std::wstring() : name.substr(b, e - b + 1);
    if (name.size() > 255) {
        const std::wstring ext = FileExtension(name);
        name = name.substr(0, 255 - std::min<size_t>(ext.size(), 16)) + ext.substr(0, 16);
    }
    return name;
}

std::wstring ShortFileName(const std::wstring& longName) {
    std::wstring ext = FileExtension(longName);
    std::wstring base = longName.substr(0, longName.size() - ext.size());
    auto clean = [](const std::wstring& s) {
        std::wstring out;
        for (wchar_t c : s)
            if (c != L' ' && c != L'.')
                out += static_cast<wchar_t>(std::towupper(c));
        return out;
    };
    base = clean(base);
    ext = clean(ext);
    if (base.size() > 8)
        base = base.substr(0, 6) + L"~1";
    if (ext.size() > 3)
        ext = ext.substr(0, 3);
    return ext.empty() ? base : base + L"." + ext;
}

std::wstring FileExtension(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0 || dot + 1 == name.size())
        return std::wstring();
    return name.substr(dot);
}

std::wstring ExtensionOfType(const std::string& mimeType) {
    for (const TypeExtension& t : kTypes)
        if (mimeType == t.pszType)
            return t.pwszExtension;
    return L".dat";
}

std::string TypeOfExtension(const std::wstring& extension) {
    std::wstring lower;
    for (wchar_t c : extension)
        lower += static_cast<wchar_t>(std::towlower(c));
    for (const TypeExtension& t : kTypes)
        if (lower == t.pwszExtension && std::string_view(t.pszType) != "application/ms-tnef")
            return t.pszType;
    return "application/octet-stream";
}

}  // namespace Platform::Mapi::Convert
