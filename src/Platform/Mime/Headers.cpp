#include "Platform/Mime/Headers.h"

#include "Platform/Mime/Address.h"
#include "Platform/Mime/Builder.h"
#include "Platform/Mime/DateTime.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/MsgId.h"
#include "Platform/Mime/TransferEncoding.h"

#include <algorithm>

namespace mimepp {

Headers::Headers(const Headers& other) : Node(other), m_sEnd(other.m_sEnd) {
    for (const auto& field : other.m_fields) {
        m_fields.emplace_back(static_cast<Field*>(field->clone()));
        m_fields.back()->setParent(this);
    }
}

Headers::~Headers() = default;

Field* Headers::findField(const String& name) const {
    for (const auto& field : m_fields) {
        if (Strcasecmp(field->fieldName(), name) == 0)
            return field.get();
    }
    return nullptr;
}

FieldBody& Headers::fieldBody(const String& name) {
    if (Field* field = findField(name))
        return field->fieldBody();
    for (const auto& field : m_pending) {
        if (Strcasecmp(field->fieldName(), name) == 0)
            return field->fieldBody();
    }
    std::unique_ptr<Field> field(Field::newField(name, String()));
    field->assemble();
    field->setParent(this);
    m_pending.push_back(std::move(field));
    return m_pending.back()->fieldBody();
}

void Headers::childModified(Node& child) {
    auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](const auto& f) { return f.get() == &child; });
    if (it != m_pending.end()) {
        m_fields.push_back(std::move(*it));
        m_pending.erase(it);
    }
    setModified();
}

void Headers::addField(Field* field) {
    field->setParent(this);
    m_fields.emplace_back(field);
    setModified();
}

void Headers::insertFieldAt(int index, Field* field) {
    const size_t at = std::min(static_cast<size_t>(std::max(index, 0)), m_fields.size());
    field->setParent(this);
    m_fields.emplace(m_fields.begin() + static_cast<std::ptrdiff_t>(at), field);
    setModified();
}

std::unique_ptr<Field> Headers::removeFieldAt(int index) {
    std::unique_ptr<Field> field = std::move(m_fields.at(static_cast<size_t>(index)));
    m_fields.erase(m_fields.begin() + index);
    field->setParent(nullptr);
    setModified();
    return field;
}

int Headers::removeField(const String& name) {
    const size_t before = m_fields.size();
    std::erase_if(m_fields, [&](const auto& f) { return Strcasecmp(f->fieldName(), name) == 0; });
    const int removed = static_cast<int>(before - m_fields.size());
    if (removed)
        setModified();
    return removed;
}

AddressList& Headers::to() {
    return static_cast<AddressList&>(fieldBody("To"));
}
AddressList& Headers::cc() {
    return static_cast<AddressList&>(fieldBody("Cc"));
}
AddressList& Headers::bcc() {
    return static_cast<AddressList&>(fieldBody("Bcc"));
}
MailboxList& Headers::from() {
    return static_cast<MailboxList&>(fieldBody("From"));
}
Mailbox& Headers::sender() {
    return static_cast<Mailbox&>(fieldBody("Sender"));
}
AddressList& Headers::replyTo() {
    return static_cast<AddressList&>(fieldBody("Reply-To"));
}
Text& Headers::subject() {
    return static_cast<Text&>(fieldBody("Subject"));
}
DateTime& Headers::date() {
    return static_cast<DateTime&>(fieldBody("Date"));
}
MsgId& Headers::messageId() {
    return static_cast<MsgId&>(fieldBody("Message-ID"));
}
Stamp& Headers::received() {
    return static_cast<Stamp&>(fieldBody("Received"));
}
MediaType& Headers::contentType() {
    return static_cast<MediaType&>(fieldBody("Content-Type"));
}
DispositionType& Headers::contentDisposition() {
    return static_cast<DispositionType&>(fieldBody("Content-Disposition"));
}
TransferEncodingType& Headers::contentTransferEncoding() {
    return static_cast<TransferEncodingType&>(fieldBody("Content-Transfer-Encoding"));
}
MsgId& Headers::contentId() {
    return static_cast<MsgId&>(fieldBody("Content-ID"));
}

void Headers::parse() {
    detail::Builder::ParseHeaders(*this);
}

void Headers::assemble() {
    if (!m_bModified)
        return;
    size_t size = 2 + m_sEnd.length();
    for (auto& field : m_fields) {
        field->assemble();
        size += field->getString().length() + 2;
    }
    String out;
    out.reserve(size);
    for (auto& field : m_fields) {
        const String& text = field->getString();
        if (text.empty())
            continue;
        out += text;
        // A field read from the last line of a text may lack its line break.
        if (text[text.length() - 1] != '\n')
            out += "\r\n";
    }
    out += m_sEnd.empty() ? String("\r\n") : m_sEnd;
    setText(std::move(out));
    m_bModified = false;
}

}  // namespace mimepp
