#include "Platform/Mime/Node.h"

namespace mimepp {

void Node::setString(const String& text) {
    m_string = text;
    m_bModified = false;
    if (m_pParent) m_pParent->childModified(*this);
}

void Node::setModified() {
    m_bModified = true;
    if (m_pParent) m_pParent->childModified(*this);
}

void Node::childModified(Node&) { setModified(); }

}  // namespace mimepp
