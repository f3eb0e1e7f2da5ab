#include "MimeParts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace OstrelServer {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

struct Entity {
    std::string contentType = "text/plain";
    std::string boundary;
    std::string fileName;
    std::string encoding;
    std::string_view body;
};

// The value of parameter `name` (lower case) in a header value "x/y; a=b; c=\"d\"".
std::string Parameter(std::string_view value, std::string_view name) {
    size_t pos = value.find(';');
    while (pos != std::string_view::npos) {
        size_t eq = value.find('=', pos + 1);
        if (eq == std::string_view::npos)
            return std::string();
        std::string key = Lower(Trim(value.substr(pos + 1, eq - pos - 1)));
        size_t at = eq + 1;
        while (at < value.size() && (value[at] == ' ' || value[at] == '\t'))
            ++at;
        std::string text;
        if (at < value.size() && value[at] == '"') {
            for (++at; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size())
                    ++at;
                text += value[at];
            }
            pos = value.find(';', at);
        } else {
            pos = value.find(';', at);
            text = std::string(Trim(value.substr(at, pos == std::string_view::npos ? pos : pos - at)));
        }
        if (key == name)
            return text;
    }
    return std::string();
}

// Splits the header block from the body and reads the headers that matter here (unfolded).
Entity ParseEntity(std::string_view text) {
    Entity entity;
    size_t end = 0;
    std::vector<std::string> fields;
    while (end < text.size()) {
        size_t eol = text.find('\n', end);
        std::string_view line = text.substr(end, eol == std::string_view::npos ? eol : eol - end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        end = eol == std::string_view::npos ? text.size() : eol + 1;
        if (line.empty())
            break;
        if ((line.front() == ' ' || line.front() == '\t') && !fields.empty())
            fields.back().append(" ").append(Trim(line));
        else
            fields.emplace_back(line);
    }
    entity.body = text.substr(end);
    for (const std::string& field : fields) {
        size_t colon = field.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = Lower(Trim(std::string_view(field).substr(0, colon)));
        std::string_view value = Trim(std::string_view(field).substr(colon + 1));
        if (name == "content-type") {
            std::string type = Lower(Trim(value.substr(0, value.find(';'))));
            if (type.find('/') != std::string::npos)
                entity.contentType = type;
            entity.boundary = Parameter(value, "boundary");
            if (entity.fileName.empty())
                entity.fileName = Parameter(value, "name");
        } else if (name == "content-disposition") {
            std::string file = Parameter(value, "filename");
            if (!file.empty())
                entity.fileName = file;
        } else if (name == "content-transfer-encoding") {
            entity.encoding = Lower(value);
        }
    }
    return entity;
}

// The bodies between the delimiter lines "--boundary" of a multipart body.
std::vector<std::string_view> SplitMultipart(std::string_view body, const std::string& boundary) {
    std::vector<std::string_view> parts;
    const std::string delimiter = "--" + boundary;
    size_t start = std::string_view::npos;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t eol = body.find('\n', pos);
        size_t lineEnd = eol == std::string_view::npos ? body.size() : eol + 1;
        std::string_view line = body.substr(pos, lineEnd - pos);
        if (line.substr(0, delimiter.size()) == delimiter) {
            std::string_view rest = Trim(line.substr(delimiter.size()));
            while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r'))
                rest.remove_suffix(1);
            bool bClose = rest.substr(0, 2) == "--";
            if (rest.empty() || bClose) {
                if (start != std::string_view::npos) {
                    // The line break before the delimiter belongs to the delimiter.
                    size_t stop = pos;
                    if (stop > start && body[stop - 1] == '\n')
                        --stop;
                    if (stop > start && body[stop - 1] == '\r')
                        --stop;
                    parts.push_back(body.substr(start, stop - start));
                }
                if (bClose)
                    return parts;
                start = lineEnd;
            }
        }
        pos = lineEnd;
    }
    return parts;  // no closing delimiter: the last part runs to the end, unterminated, and is left out
}

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string DecodeBase64(std::string_view text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        size_t v = kAlphabet.find(c);
        if (v == std::string::npos)
            continue;  // line breaks and stray characters
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count == 2)
        out += static_cast<char>(bits >> 4);
    else if (count == 3) {
        out += static_cast<char>(bits >> 10);
        out += static_cast<char>(bits >> 2);
    }
    return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;  // soft line break
        } else if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2;
        } else if (i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
            out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
            i += 2;
        } else {
            out += '=';
        }
    }
    return out;
}

MimePart Decoded(const Entity& entity) {
    MimePart part;
    part.contentType = entity.contentType;
    part.fileName = entity.fileName;
    if (entity.encoding == "base64")
        part.content = DecodeBase64(entity.body);
    else if (entity.encoding == "quoted-printable")
        part.content = DecodeQuotedPrintable(entity.body);
    else
        part.content = std::string(entity.body);
    return part;
}

bool ParsePath(std::string_view path, std::vector<int>& numbers) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t dot = path.find('.', pos);
        size_t end = dot == std::string_view::npos ? path.size() : dot;
        int n = 0;
        auto [ptr, ec] = std::from_chars(path.data() + pos, path.data() + end, n);
        if (ec != std::errc() || ptr != path.data() + end || n < 1)
            return false;
        numbers.push_back(n);
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return !numbers.empty() && numbers.size() <= static_cast<size_t>(kMaxMimeDepth);
}

// Part `numbers[at...]` of a message whose top entity is `message`.
std::optional<MimePart> Find(const Entity& message, const std::vector<int>& numbers, size_t at, int depth) {
    if (depth > kMaxMimeDepth)
        return std::nullopt;
    const int n = numbers[at];
    Entity child;
    if (message.contentType.rfind("multipart/", 0) == 0 && !message.boundary.empty()) {
        std::vector<std::string_view> parts = SplitMultipart(message.body, message.boundary);
        if (static_cast<size_t>(n) > parts.size())
            return std::nullopt;
        child = ParseEntity(parts[n - 1]);
    } else if (n == 1) {
        child = message;  // the body of a single-part message
        if (at + 1 == numbers.size())
            return Decoded(child);
    } else {
        return std::nullopt;
    }
    if (at + 1 == numbers.size())
        return Decoded(child);
    if (child.contentType == "message/rfc822") {
        const std::string inner = Decoded(child).content;  // the entity below points into it
        return Find(ParseEntity(inner), numbers, at + 1, depth + 1);
    }
    if (child.contentType.rfind("multipart/", 0) == 0)
        return Find(child, numbers, at + 1, depth + 1);
    return std::nullopt;
}

}  // namespace

std::optional<MimePart> FindMimePart(std::string_view mime, std::string_view path) {
    std::vector<int> numbers;
    if (!ParsePath(path, numbers))
        return std::nullopt;
    return Find(ParseEntity(mime), numbers, 0, 0);
}

}  // namespace OstrelServer
