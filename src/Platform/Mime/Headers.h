// Headers: the header block of an entity, an ordered list of fields ending in an empty line.
#pragma once

#include "Platform/Mime/Field.h"

#include <memory>
#include <vector>

namespace mimepp {

class AddressList;
class MailboxList;
class Mailbox;
class Text;
class DateTime;
class MsgId;
class Stamp;
class MediaType;
class DispositionType;
class TransferEncodingType;

namespace detail {
class Builder;
}

class Headers : public Node {
public:
    static constexpr Class kClass{"Headers", &Node::kClass};

    Headers() = default;
    explicit Headers(const String& text, Node* parent = nullptr) : Node(text, parent) {}
    Headers(const Headers& other);
    ~Headers() override;
    const Class& class_() const override { return kClass; }

    // Names are compared case-insensitively.
    int numFields() const { return static_cast<int>(m_fields.size()); }
    Field& fieldAt(int index) { return *m_fields.at(static_cast<size_t>(index)); }
    const Field& fieldAt(int index) const { return *m_fields.at(static_cast<size_t>(index)); }
    // The first field of that name, or null.
    Field* findField(const String& name) const;
    bool hasField(const String& name) const { return findField(name) != nullptr; }
    // The value of the first field of that name. When there is none, an empty value is returned
    // that joins the headers (at the end) only once something is set in it, so reading a
    // missing field changes nothing.
    FieldBody& fieldBody(const String& name);

    // Take ownership of the field.
    void addField(Field* field);
    void insertFieldAt(int index, Field* field);
    std::unique_ptr<Field> removeFieldAt(int index);
    // Removes every field of that name; returns how many were removed.
    int removeField(const String& name);

    // Typed values of the common fields, with the same rule as fieldBody().
    AddressList& to();
    AddressList& cc();
    AddressList& bcc();
    MailboxList& from();
    Mailbox& sender();
    AddressList& replyTo();
    Text& subject();
    DateTime& date();
    MsgId& messageId();
    Stamp& received();
    MediaType& contentType();
    DispositionType& contentDisposition();
    TransferEncodingType& contentTransferEncoding();
    MsgId& contentId();

    void parse() override;
    // Writes the fields, CRLF-terminated, and the empty line that ends the block.
    void assemble() override;
    Node* clone() const override { return new Headers(*this); }

protected:
    void childModified(Node& child) override;

private:
    friend class detail::Builder;

    std::vector<std::unique_ptr<Field>> m_fields;
    std::vector<std::unique_ptr<Field>> m_pending;  // read but never set; not part of the block
    String m_sEnd;                                  // the empty line that ended the block as read
};

}  // namespace mimepp
