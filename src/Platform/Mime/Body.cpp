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
    : Node(other),
      m_sPreamble(other.m_sPreamble),
      m_sEpilogue(other.m_sEpilogue),
      m_bMultipart(other.m_bMultipart),
      m_sBoundary(other.m_sBoundary) {
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
        m_sBoundary = entity->headers().contentType().boundary();
        setComposed();
    } else if (m_pMessage) {
        m_pMessage->assemble();
        m_sBoundary.clear();
        setComposed();
    }
    m_bModified = false;
}

void Body::forEachPiece(const std::function<void(std::string_view)>& sink) const {
    if (!isComposed()) {
        Node::forEachPiece(sink);
        return;
    }
    if (m_sBoundary.empty()) {
        if (m_pMessage)
            m_pMessage->forEachPiece(sink);
        return;
    }
    sink(m_sPreamble);
    if (!m_sPreamble.empty() && m_sPreamble[m_sPreamble.length() - 1] != '\n')
        sink(kCrLf);
    for (const auto& part : m_parts) {
        sink("--");
        sink(m_sBoundary);
        sink(kCrLf);
        part->forEachPiece(sink);
        sink(kCrLf);
    }
    sink("--");
    sink(m_sBoundary);
    sink("--");
    sink(m_sEpilogue.empty() ? kCrLf : m_sEpilogue);
}

}  // namespace mimepp
