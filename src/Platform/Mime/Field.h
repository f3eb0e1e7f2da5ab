// Field: one header line, "Name: value", with the value as a typed FieldBody.
#pragma once

#include "Platform/Mime/FieldBody.h"

#include <memory>

namespace mimepp {

class Field : public Node {
public:
    static constexpr Class kClass{"Field", &Node::kClass};

    Field() = default;
    // The text of one header line (with any folded continuation lines); call parse().
    explicit Field(const String& text, Node* parent = nullptr) : Node(text, parent) {}
    Field(const Field& other);
    ~Field() override;
    const Class& class_() const override { return kClass; }

    // A new field with the given name and raw value text, ready to be added to headers.
    static Field* newField(const String& name, const String& valueText);

    const String& fieldName() const { return m_sName; }
    void setFieldName(const String& name);

    // The value, typed by the field name: AddressList (To, Cc, Bcc, Reply-To, Resent-To/Cc/Bcc),
    // MailboxList (From, Resent-From), Mailbox (Sender, Resent-Sender), DateTime (Date,
    // Resent-Date), MsgId (Message-ID, Content-ID, Resent-Message-ID), Stamp (Received),
    // MediaType (Content-Type), DispositionType (Content-Disposition), TransferEncodingType
    // (Content-Transfer-Encoding), otherwise Text. Its text is the value as read: folded, without
    // the leading blanks and the line break.
    FieldBody& fieldBody();
    // Replaces the value with raw text (already encoded as the header needs it).
    void setFieldBodyText(const String& valueText);

    // Splits the text into name and value. Lines after the field's own (folded) line that are not
    // headers are kept in the text but are not part of the value.
    void parse() override;
    // Writes "Name: value" and a CRLF, folding long lines at blanks.
    void assemble() override;
    Node* clone() const override { return new Field(*this); }

private:
    void makeBody();

    String m_sName;
    String m_sValue;
    std::unique_ptr<FieldBody> m_pBody;  // created on first use
};

// The typed value for a field name (see Field::fieldBody).
std::unique_ptr<FieldBody> NewFieldBody(const String& fieldName);

namespace detail {
// Folds "Name: value" at blanks outside quoted strings so lines stay within 78 characters where
// possible; the result has no final line break.
String FoldHeaderLine(String line);
}  // namespace detail

}  // namespace mimepp
