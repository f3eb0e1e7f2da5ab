#include "Platform/Mime/Body.h"

#include "Platform/Mime/Builder.h"
#include "Platform/Mime/Entity.h"
#include "Platform/Mime/MediaType.h"

#include <algorithm>

namespace mimepp {

namespace {

const String kCrLf("\r\n");

}  // namespace

Body::Body() = default;

Body::Body(const String& text, Node* parent) : Node(text, parent) {}

Body::Body(const Body& other)
    : Node(other), m_sPreamble(other.m_sPreamble), m_sEpilogue(other.m_sEpilogue), m_bMultipart(other.m_bMultipart) {
    for (const auto& part : other.m_parts) {
        m_parts.emplace_back(static_cast<BodyPart*>(part->clone()));
        m_parts.back()->setParent(this);
    }
    if (other.m_pMessage) {
        m_pMessage.reset(static_cast<Message*>(other.m_pMessage->clone()));
        m_pMessage->setParent(this);
    }
}

Body::~Body() = default;

void Body::clearParts() {
    m_parts.clear();
    m_pMessage.reset();
    m_bMultipart = false;
}

void Body::setString(const String& text) {
    setString(String(text));
}

void Body::setString(String&& text) {
    clearParts();
    Node::setString(std::move(text));
}

void Body::addBodyPart(BodyPart* part) {
    m_bMultipart = true;
    part->setParent(this);
    m_parts.emplace_back(part);
    setModified();
}

void Body::insertBodyPartAt(int index, BodyPart* part) {
    const size_t at = std::min(static_cast<size_t>(std::max(index, 0)), m_parts.size());
    m_bMultipart = true;
    part->setParent(this);
    m_parts.emplace(m_parts.begin() + static_cast<std::ptrdiff_t>(at), part);
    setModified();
}

std::unique_ptr<BodyPart> Body::removeBodyPartAt(int index) {
    std::unique_ptr<BodyPart> part = std::move(m_parts.at(static_cast<size_t>(index)));
    m_parts.erase(m_parts.begin() + index);
    part->setParent(nullptr);
    setModified();
    return part;
}

void Body::setMessage(Message* message) {
    m_pMessage.reset(message);
    if (message)
        message->setParent(this);
    setModified();
}

void Body::parse() {
    detail::Builder::ParseBody(*this);
}

void Body::assemble() {
    if (!m_bModified)
        return;
    auto* entity = dynamic_cast<Entity*>(m_pParent);
    if (m_bMultipart && entity) {
        entity->prepareMultipart();
        const String boundary = entity->headers().contentType().boundary();
        const bool bPreambleBreak = !m_sPreamble.empty() && m_sPreamble[m_sPreamble.length() - 1] != '\n';
        const String& epilogue = m_sEpilogue.empty() ? kCrLf : m_sEpilogue;
        // The text is written once into a buffer of its final size: parts can be large.
        size_t size = m_sPreamble.length() + (bPreambleBreak ? 2 : 0) + boundary.length() + 4 + epilogue.length();
        for (auto& part : m_parts) {
            part->assemble();
            size += boundary.length() + 6 + part->getString().length();
        }
        String out;
        out.reserve(size);
        out += m_sPreamble;
        if (bPreambleBreak)
            out += kCrLf;
        for (auto& part : m_parts) {
            out.append("--", 2).append(boundary).append(kCrLf);
            out += part->getString();
            out += kCrLf;
        }
        out.append("--", 2).append(boundary).append("--", 2);
        out += epilogue;
        setText(std::move(out));
    } else if (m_pMessage) {
        m_pMessage->assemble();
        setText(m_pMessage->getString());
    }
    m_bModified = false;
}

}  // namespace mimepp
