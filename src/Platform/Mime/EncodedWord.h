// EncodedWord: RFC 2047 encoded words ("=?charset?B?...?=" or "=?charset?Q?...?=").
// The decoded text is held as bytes in the word's charset; no charset conversion happens here.
#pragma once

#include "Platform/Mime/Node.h"

namespace mimepp {

class EncodedWord : public Node {
public:
    static constexpr Class kClass{"EncodedWord", &Node::kClass};

    EncodedWord() = default;
    explicit EncodedWord(const String& text, Node* parent = nullptr) : Node(text, parent) {}
    EncodedWord(const String& charset, char encodingType, const String& decodedText);

    const Class& class_() const override { return kClass; }

    const String& charset() const { return m_sCharset; }
    void setCharset(const String& charset);
    // 'B' or 'Q'; any other value writes Q.
    char encodingType() const { return m_cEncoding; }
    void setEncodingType(char type);
    const String& decodedText() const { return m_sDecoded; }
    void setDecodedText(const String& text);

    // Reads one word, or several separated by blanks as assemble() writes them. Text that is not
    // an encoded word is kept as the decoded text with an empty charset.
    void parse() override;
    // Writes words of at most 75 characters, splitting long text between characters.
    void assemble() override;
    Node* clone() const override { return new EncodedWord(*this); }

private:
    String m_sCharset;
    char m_cEncoding = 'Q';
    String m_sDecoded;
};

}  // namespace mimepp
