// Entity: headers and a body. Message is a whole message (or one encapsulated in
// message/rfc822); BodyPart is one part of a multipart body.
#pragma once

#include "Platform/Mime/Body.h"
#include "Platform/Mime/Headers.h"

namespace mimepp {

class Entity : public Node {
public:
    static constexpr Class kClass{"Entity", &Node::kClass};

    ~Entity() override;
    const Class& class_() const override { return kClass; }

    Headers& headers() { return m_headers; }
    const Headers& headers() const { return m_headers; }
    Body& body() { return m_body; }
    const Body& body() const { return m_body; }

    // Builds the whole tree from the text with GMime. Any text gives a usable tree: text without
    // headers becomes a body, a multipart without its closing boundary ends at the end of the
    // text, and parts GMime cannot place are split at their boundary lines. Trees nested deeper
    // than kMaxDepth keep their innermost content as text.
    void parse() override;
    // Writes back what changed. A multipart body gets a Content-Type of type multipart with a
    // boundary that occurs in none of its parts; a Base64 or quoted-printable transfer encoding,
    // which multiparts may not have, is removed.
    void assemble() override;

    void forEachPiece(const std::function<void(std::string_view)>& sink) const override;

    static constexpr int kMaxDepth = 64;

protected:
    Entity();
    explicit Entity(const String& text, Node* parent);
    Entity(const Entity& other);

private:
    friend class detail::Builder;
    friend class Body;

    // Makes the headers fit a multipart body: type, unique boundary, transfer encoding.
    void prepareMultipart();

    Headers m_headers;
    Body m_body;
};

class BodyPart : public Entity {
public:
    static constexpr Class kClass{"BodyPart", &Entity::kClass};

    BodyPart() = default;
    explicit BodyPart(const String& text, Node* parent = nullptr) : Entity(text, parent) {}
    BodyPart(const BodyPart& other) = default;
    const Class& class_() const override { return kClass; }

    // An empty part, owned by the caller.
    static BodyPart* newBodyPart() { return new BodyPart(); }

    Node* clone() const override { return new BodyPart(*this); }
};

class Message : public Entity {
public:
    static constexpr Class kClass{"Message", &Entity::kClass};

    Message() = default;
    explicit Message(const String& text, Node* parent = nullptr) : Entity(text, parent) {}
    Message(const Message& other) = default;
    const Class& class_() const override { return kClass; }

    Node* clone() const override { return new Message(*this); }
};

}  // namespace mimepp
