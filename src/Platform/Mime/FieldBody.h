// FieldBody: the value of a header field; Text: an unstructured value such as Subject.
#pragma once

#include "Platform/Mime/Node.h"

namespace mimepp {

class FieldBody : public Node {
public:
    static constexpr Class kClass{"FieldBody", &Node::kClass};

    FieldBody() = default;
    explicit FieldBody(const String& text, Node* parent = nullptr) : Node(text, parent) {}
    const Class& class_() const override { return kClass; }
};

class Text : public FieldBody {
public:
    static constexpr Class kClass{"Text", &FieldBody::kClass};

    Text() = default;
    explicit Text(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    // The text with RFC 2047 words decoded and raw 8-bit bytes read as UTF-8 (else
    // windows-1252), as UTF-8.
    String textUtf8() const;
    // Sets UTF-8 text; non-ASCII text is written as RFC 2047 UTF-8 words. Line breaks become blanks.
    void setTextUtf8(const String& utf8);

    void parse() override { m_bModified = false; }
    void assemble() override { m_bModified = false; }
    Node* clone() const override { return new Text(*this); }
};

namespace detail {
// Replaces CR and LF by blanks so that a value cannot end its header line early.
String OneLine(const String& text);
// True when every byte is printable ASCII or a blank.
bool IsPlainAscii(const String& text);
}  // namespace detail

}  // namespace mimepp
