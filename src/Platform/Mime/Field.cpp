#include "Platform/Mime/Field.h"

#include "Platform/Mime/Address.h"
#include "Platform/Mime/DateTime.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/MsgId.h"
#include "Platform/Mime/TransferEncoding.h"

#include <utility>

namespace mimepp {

namespace {

constexpr size_t kFoldAt = 76;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

template <typename T>
std::unique_ptr<FieldBody> Make() {
    return std::make_unique<T>();
}

}  // namespace

std::unique_ptr<FieldBody> NewFieldBody(const String& fieldName) {
    static const std::pair<const char*, std::unique_ptr<FieldBody> (*)()> s_types[] = {
        {"to", Make<AddressList>},
        {"cc", Make<AddressList>},
        {"bcc", Make<AddressList>},
        {"reply-to", Make<AddressList>},
        {"resent-to", Make<AddressList>},
        {"resent-cc", Make<AddressList>},
        {"resent-bcc", Make<AddressList>},
        {"from", Make<MailboxList>},
        {"resent-from", Make<MailboxList>},
        {"sender", Make<Mailbox>},
        {"resent-sender", Make<Mailbox>},
        {"date", Make<DateTime>},
        {"resent-date", Make<DateTime>},
        {"message-id", Make<MsgId>},
        {"resent-message-id", Make<MsgId>},
        {"content-id", Make<MsgId>},
        {"received", Make<Stamp>},
        {"content-type", Make<MediaType>},
        {"content-disposition", Make<DispositionType>},
        {"content-transfer-encoding", Make<TransferEncodingType>},
    };
    for (const auto& [name, make] : s_types) {
        if (Strcasecmp(fieldName, name) == 0)
            return make();
    }
    return std::make_unique<Text>();
}

namespace detail {

String FoldHeaderLine(String line) {
    if (line.length() <= kFoldAt)
        return line;
    const size_t colon = line.find(':');
    const size_t firstBreak = colon == String::npos ? 1 : colon + 2;
    String out;
    size_t lineStart = 0;
    while (line.length() - lineStart > kFoldAt) {
        // Candidate break points are blanks outside quoted strings that are followed by text.
        size_t best = String::npos;
        size_t firstAfter = String::npos;
        bool bQuoted = false;
        for (size_t i = lineStart; i < line.length(); ++i) {
            const char c = line[i];
            if (c == '\\' && bQuoted) {
                ++i;
                continue;
            }
            if (c == '"')
                bQuoted = !bQuoted;
            if (bQuoted || !IsBlank(c) || i < firstBreak || i == lineStart)
                continue;
            size_t j = i;
            while (j < line.length() && IsBlank(line[j]))
                ++j;
            if (j == line.length())
                break;  // only blanks follow
            if (i - lineStart <= kFoldAt) {
                best = i;
            } else {
                firstAfter = i;
                break;
            }
        }
        const size_t at = best != String::npos ? best : firstAfter;
        if (at == String::npos)
            break;
        out += line.substr(lineStart, at - lineStart);
        out += "\r\n";
        lineStart = at;
    }
    out += line.substr(lineStart);
    return out;
}

}  // namespace detail

Field::Field(const Field& other)
    : Node(other),
      m_sName(other.m_sName),
      m_sValue(other.m_sValue),
      m_pBody(other.m_pBody ? static_cast<FieldBody*>(other.m_pBody->clone()) : nullptr) {
    if (m_pBody)
        m_pBody->setParent(this);
}

Field::~Field() = default;

Field* Field::newField(const String& name, const String& valueText) {
    auto* field = new Field();
    field->m_sName = detail::OneLine(name);
    field->m_sValue = valueText;
    field->m_bModified = true;
    return field;
}

void Field::setFieldName(const String& name) {
    m_sName = detail::OneLine(name);
    if (m_pBody) {
        // The value's type follows the name; keep its text and read it as the new type.
        m_pBody->assemble();
        m_sValue = m_pBody->getString();
        m_pBody.reset();
    }
    setModified();
}

FieldBody& Field::fieldBody() {
    if (!m_pBody)
        makeBody();
    return *m_pBody;
}

void Field::setFieldBodyText(const String& valueText) {
    m_pBody.reset();
    m_sValue = valueText;
    setModified();
}

void Field::makeBody() {
    m_pBody = NewFieldBody(m_sName);
    m_pBody->setString(m_sValue);
    m_pBody->parse();
    m_pBody->setParent(this);
}

void Field::parse() {
    m_pBody.reset();
    const String& s = m_string;
    // The field's own line ends at the first line break not followed by a blank.
    size_t end = s.length();
    for (size_t pos = 0;;) {
        const size_t nl = s.find('\n', pos);
        if (nl == String::npos)
            break;
        if (nl + 1 < s.length() && IsBlank(s[nl + 1])) {
            pos = nl + 1;
            continue;
        }
        end = nl;
        break;
    }
    if (end > 0 && s[end - 1] == '\r')
        --end;
    const size_t colon = s.find(':');
    if (colon == String::npos || colon >= end) {
        m_sName = detail::OneLine(s.substr(0, end));
        m_sValue.clear();
    } else {
        size_t nameEnd = colon;
        while (nameEnd > 0 && IsBlank(s[nameEnd - 1]))
            --nameEnd;
        m_sName = s.substr(0, nameEnd);
        size_t v = colon + 1;
        while (v < end && (IsBlank(s[v]) || s[v] == '\r' || s[v] == '\n'))
            ++v;
        m_sValue = s.substr(v, end - v);
    }
    m_bModified = false;
}

void Field::assemble() {
    if (!m_bModified)
        return;
    if (m_pBody) {
        m_pBody->assemble();
        m_sValue = m_pBody->getString();
    }
    const String& value = m_sValue;
    if (value.find('\n') == String::npos && value.find('\r') == String::npos) {
        String line;
        line.reserve(m_sName.length() + 2 + value.length() + 2);
        line.append(m_sName).append(": ", 2).append(value);
        m_string = detail::FoldHeaderLine(std::move(line));
    } else {
        // Text that is already folded is kept, but every line break must be followed by a blank
        // so that nothing in the value can start a header line of its own.
        String safe;
        for (size_t i = 0; i < value.length(); ++i) {
            const char c = value[i];
            if (c == '\r' && (i + 1 >= value.length() || value[i + 1] != '\n')) {
                safe += ' ';
                continue;
            }
            safe += c;
            if (c == '\n' && (i + 1 >= value.length() || !IsBlank(value[i + 1])))
                safe += ' ';
        }
        // Normalise the line ends to CRLF.
        String crlf;
        for (size_t i = 0; i < safe.length(); ++i) {
            if (safe[i] == '\n' && (i == 0 || safe[i - 1] != '\r'))
                crlf += '\r';
            crlf += safe[i];
        }
        m_string = m_sName + ": " + crlf;
    }
    m_string += "\r\n";
    m_bModified = false;
}

}  // namespace mimepp
