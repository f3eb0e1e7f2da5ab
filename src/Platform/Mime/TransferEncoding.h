// TransferEncodingType: the value of Content-Transfer-Encoding.
#pragma once

#include "Platform/Mime/FieldBody.h"

namespace mimepp {

class TransferEncodingType : public FieldBody {
public:
    static constexpr Class kClass{"TransferEncodingType", &FieldBody::kClass};

    enum Type { NONE = 0, UNKNOWN, SEVEN_BIT, EIGHT_BIT, BINARY, QUOTED_PRINTABLE, BASE64 };

    TransferEncodingType() = default;
    explicit TransferEncodingType(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    // Compared case-insensitively; NONE for an empty value.
    Type asEnum() const { return m_type; }
    // Writes the standard lower-case name ("7bit", "quoted-printable", "base64", ...).
    void fromEnum(Type type);

    void parse() override;
    void assemble() override { m_bModified = false; }
    Node* clone() const override { return new TransferEncodingType(*this); }

private:
    Type m_type = NONE;
};

}  // namespace mimepp
