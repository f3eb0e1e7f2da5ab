#include "Platform/Mime/Node.h"

namespace mimepp {

void Node::setString(const String& text) {
    setString(String(text));
}

void Node::setString(String&& text) {
    setText(std::move(text));
    m_bModified = false;
    if (m_pParent)
        m_pParent->childModified(*this);
}

String Node::takeString() {
    getString();
    return std::move(m_string);
}

size_t Node::textLength() const {
    size_t length = 0;
    forEachPiece([&](std::string_view piece) { length += piece.size(); });
    return length;
}

void Node::appendText(std::string& out) const {
    forEachPiece([&](std::string_view piece) { out.append(piece); });
}

void Node::forEachPiece(const std::function<void(std::string_view)>& sink) const {
    if (m_pSlice)
        sink(std::string_view(m_pSlice->data() + m_sliceStart, m_sliceLength));
    else
        sink(m_string);
}

void Node::setModified() {
    m_bModified = true;
    if (m_pParent)
        m_pParent->childModified(*this);
}

void Node::childModified(Node&) {
    setModified();
}

void Node::setSlice(std::shared_ptr<const std::string> source, size_t start, size_t length) {
    m_pSlice = std::move(source);
    m_sliceStart = start;
    m_sliceLength = length;
    m_string.clear();
    m_bComposed = false;
}

void Node::setText(String text) {
    m_pSlice.reset();
    m_bComposed = false;
    m_string = std::move(text);
}

void Node::setComposed() {
    m_pSlice.reset();
    m_string = String();
    m_bComposed = true;
}

void Node::compose() const {
    std::string text;
    text.reserve(textLength());
    appendText(text);
    m_string = String(std::move(text));
    m_bComposed = false;
}

void Node::materialize() const {
    m_string = String(m_pSlice->data() + m_sliceStart, m_sliceLength);
    m_pSlice.reset();
}

}  // namespace mimepp
