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
    if (m_pSlice)
        materialize();
    return std::move(m_string);
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
}

void Node::setText(String text) {
    m_pSlice.reset();
    m_string = std::move(text);
}

void Node::materialize() const {
    m_string = String(m_pSlice->data() + m_sliceStart, m_sliceLength);
    m_pSlice.reset();
}

}  // namespace mimepp
