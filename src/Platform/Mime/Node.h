// Node: the base of every piece of a MIME tree (entities, headers, fields, field values, bodies).
//
// Each node holds its text. parse() breaks the text down into the node's parts; assemble() writes
// the parts back into the text, but only for nodes that were changed since they were parsed, so an
// untouched node keeps the exact bytes it was read from. Changing a part marks it and all of its
// ancestors as modified; call assemble() on the top node before taking its text.
//
// Entities and bodies with parts do not copy their parts' texts when assembled: their text is put
// together from the parts when first asked for, so a message is copied once into its final text
// instead of once per level of nesting. (Until then, parts changed since show in it as they are.)
#pragma once

#include "Platform/Mime/String.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mimepp {

// Run-time class of a node, for tests such as address.class_().isA(Mailbox::kClass).
class Class {
public:
    constexpr Class(const char* name, const Class* base) : m_name(name), m_pBase(base) {}
    const char* name() const { return m_name; }
    bool isA(const Class& other) const {
        for (const Class* c = this; c; c = c->m_pBase) {
            if (c == &other)
                return true;
        }
        return false;
    }

private:
    const char* m_name;
    const Class* m_pBase;
};

class Node {
public:
    static constexpr Class kClass{"Node", nullptr};

    Node() = default;
    explicit Node(const String& text, Node* parent = nullptr) : m_string(text), m_pParent(parent) {}
    Node(const Node& other)
        : m_string(other.m_string),
          m_pSlice(other.m_pSlice),
          m_sliceStart(other.m_sliceStart),
          m_sliceLength(other.m_sliceLength),
          m_bModified(other.m_bModified),
          m_bComposed(other.m_bComposed) {}
    Node& operator=(const Node&) = delete;
    virtual ~Node() = default;

    virtual const Class& class_() const { return kClass; }

    // The node's text as last parsed, set or assembled.
    const String& getString() const {
        if (m_pSlice)
            materialize();
        else if (m_bComposed)
            compose();
        return m_string;
    }
    // The length of getString(), and its text appended to out, without keeping a copy in the node.
    size_t textLength() const;
    void appendText(std::string& out) const;
    // Calls sink with the pieces of getString() in order. Nodes whose text is left to be put
    // together from their parts give their own separators and their parts' pieces.
    virtual void forEachPiece(const std::function<void(std::string_view)>& sink) const;
    // Replaces the text; parse() rebuilds the parts from it. Ancestors are marked modified.
    virtual void setString(const String& text);
    virtual void setString(String&& text);
    // Moves the text out and leaves the node's text empty: for a caller that is done with the tree
    // and keeps only its text (after assemble()).
    String takeString();

    virtual void parse() = 0;
    virtual void assemble() = 0;
    virtual Node* clone() const = 0;

    Node* parent() const { return m_pParent; }
    void setParent(Node* parent) { m_pParent = parent; }

    bool isModified() const { return m_bModified; }
    // Marks this node and every ancestor so that assemble() rewrites them.
    void setModified();

protected:
    // Called on the parent when a child becomes modified.
    virtual void childModified(Node& child);

    // The text as a range of a text shared with other nodes of the same parse; it is copied out
    // only when asked for, so that parsing large messages does not copy every level's text.
    void setSlice(std::shared_ptr<const std::string> source, size_t start, size_t length);
    // Replaces the text (and any slice).
    void setText(String text);
    // Drops the text: until it is replaced, it is put together from the parts (by forEachPiece).
    void setComposed();
    bool isComposed() const { return m_bComposed; }

    // Read through getString() in nodes that can hold a slice (entities, headers, bodies).
    mutable String m_string;
    mutable std::shared_ptr<const std::string> m_pSlice;
    mutable size_t m_sliceStart = 0;
    mutable size_t m_sliceLength = 0;
    Node* m_pParent = nullptr;
    bool m_bModified = false;

private:
    void materialize() const;
    void compose() const;

    mutable bool m_bComposed = false;  // the text is left to be put together from the parts
};

}  // namespace mimepp
