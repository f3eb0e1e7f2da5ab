// Body: the content of an entity. A multipart body holds body parts, a message/rfc822 body holds
// a message, any other body is its (still transfer-encoded) text.
#pragma once

#include "Platform/Mime/Node.h"

#include <memory>
#include <vector>

namespace mimepp {

class BodyPart;
class Message;

namespace detail {
class Builder;
}

class Body : public Node {
public:
    static constexpr Class kClass{"Body", &Node::kClass};

    Body();
    explicit Body(const String& text, Node* parent = nullptr);
    Body(const Body& other);
    ~Body() override;
    const Class& class_() const override { return kClass; }

    int numBodyParts() const { return static_cast<int>(m_parts.size()); }
    BodyPart& bodyPartAt(int index) { return *m_parts.at(static_cast<size_t>(index)); }
    const BodyPart& bodyPartAt(int index) const { return *m_parts.at(static_cast<size_t>(index)); }
    // Take ownership. Adding parts makes the body multipart when it is assembled.
    void addBodyPart(BodyPart* part);
    void insertBodyPartAt(int index, BodyPart* part);
    // Ownership passes to the caller.
    std::unique_ptr<BodyPart> removeBodyPartAt(int index);

    // The encapsulated message of a message/rfc822 body, or null.
    Message* message() const { return m_pMessage.get(); }
    // Takes ownership; null removes the message.
    void setMessage(Message* message);

    // Text before the first and after the last boundary of a multipart body.
    const String& preamble() const { return m_sPreamble; }
    const String& epilogue() const { return m_sEpilogue; }

    // Replaces the text and drops the parts and the message; parse() reads them from the text.
    void setString(const String& text) override;
    void setString(String&& text) override;
    // Rebuilds the parts from the text according to the owning entity's Content-Type.
    void parse() override;
    // Multipart (parsed as one, or given parts): preamble, each part between boundary lines of
    // the owning entity's boundary, the closing boundary and the epilogue. Message: the message's
    // text. Otherwise the text. Parts are written only by a body that belongs to an entity.
    void assemble() override;
    Node* clone() const override { return new Body(*this); }

    void forEachPiece(const std::function<void(std::string_view)>& sink) const override;

private:
    friend class detail::Builder;
    friend class Entity;

    void clearParts();

    std::vector<std::unique_ptr<BodyPart>> m_parts;
    std::unique_ptr<Message> m_pMessage;
    String m_sPreamble;  // as read, up to and including the line break before the first boundary
    String m_sEpilogue;  // as read, everything after the closing "--boundary--"
    bool m_bMultipart = false;
    String m_sBoundary;  // of the parts as last assembled; empty when the text is the message's
};

}  // namespace mimepp
