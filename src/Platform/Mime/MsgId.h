// MsgId: a message identifier such as Message-ID or Content-ID ("<local@domain>").
#pragma once

#include "Platform/Mime/FieldBody.h"

namespace mimepp {

class MsgId : public FieldBody {
public:
    static constexpr Class kClass{"MsgId", &FieldBody::kClass};

    MsgId() = default;
    explicit MsgId(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    const String& localPart() const { return m_sLocalPart; }
    void setLocalPart(const String& localPart);
    const String& domain() const { return m_sDomain; }
    void setDomain(const String& domain);
    // "local@domain" without the angle brackets.
    String id() const { return m_sDomain.empty() ? m_sLocalPart : m_sLocalPart + "@" + m_sDomain; }

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new MsgId(*this); }

private:
    String m_sLocalPart;
    String m_sDomain;
};

}  // namespace mimepp
