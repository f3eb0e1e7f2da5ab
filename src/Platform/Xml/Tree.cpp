// Tree helpers shared by the DOM wrappers: names, text, linking, namespaces and serialisation.
#include <libxml/xmlsave.h>

#include <cstring>
#include <functional>
#include <mutex>

#include "Platform/Base/Utf.h"
#include "Platform/Xml/DomImpl.h"

namespace Platform::Xml::Detail {

namespace {

const char* Chars(const xmlChar* text) {
    return reinterpret_cast<const char*>(text);
}
const xmlChar* XmlChars(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

bool IsContainer(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE;
}

// Pre-order successor within the subtree of root, visiting children of elements and attributes
// and the attributes of elements (before the element's children).
xmlNodePtr NextInSubtree(xmlNodePtr node, xmlNodePtr root) {
    if (node->type == XML_ELEMENT_NODE && node->properties)
        return reinterpret_cast<xmlNodePtr>(node->properties);
    if (IsContainer(node) && node->children)
        return node->children;
    while (node != root) {
        if (node->next)
            return node->next;
        xmlNodePtr parent = node->parent;
        if (node->type == XML_ATTRIBUTE_NODE && parent && parent->children)
            return parent->children;  // attributes done: continue with the element's children
        node = parent;
    }
    return nullptr;
}

xmlNsPtr DeclareOn(xmlNodePtr element, xmlNsPtr ns) {
    if (xmlNsPtr declared = xmlNewNs(element, ns->href, ns->prefix))
        return declared;
    // The prefix is already bound to another URI on this element: pick a free one.
    for (int i = 0; i < 1000; ++i) {
        std::string prefix = "ns" + std::to_string(i);
        xmlNsPtr bound = xmlSearchNs(element->doc, element, XmlChars(prefix));
        if (!bound)
            return xmlNewNs(element, ns->href, XmlChars(prefix));
    }
    return nullptr;
}

void FixNamespace(xmlNodePtr node, xmlNodePtr element) {
    xmlNsPtr ns = node->ns;
    if (!ns || !ns->href)
        return;
    xmlNsPtr inScope = xmlSearchNs(element->doc, element, ns->prefix);
    if (inScope && xmlStrEqual(inScope->href, ns->href)) {
        node->ns = inScope;
        return;
    }
    if (node->type == XML_ATTRIBUTE_NODE && !ns->prefix)
        return;  // attributes have no default namespace; a prefixed one always exists on parse
    if (xmlNsPtr declared = DeclareOn(element, ns))
        node->ns = declared;
}

}  // namespace

std::string Narrow(std::wstring_view text) {
    return Platform::ToUtf8(text);
}

namespace {

// Function-local, so that another library's static initialiser may set it before this file's run.
struct RepairObserver {
    std::mutex mutex;
    std::function<void(size_t)> observer;
};

RepairObserver& TheRepairObserver() {
    static RepairObserver instance;
    return instance;
}

// What a character XML 1.0 cannot hold is replaced by; 0 for one it can.
wchar_t Replacement(wchar_t c) {
    if (c == L'\v')
        return L'\n';
    if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF)
        return 0xFFFD;
    return 0;
}

}  // namespace

std::string NarrowText(std::wstring_view text) {
    size_t cReplaced = 0;
    std::wstring repaired;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t replacement = Replacement(text[i]);
        if (!replacement)
            continue;
        if (repaired.empty())
            repaired.assign(text);
        repaired[i] = replacement;
        ++cReplaced;
    }
    if (!cReplaced)
        return Narrow(text);
    std::function<void(size_t)> observer;
    {
        RepairObserver& repair = TheRepairObserver();
        std::lock_guard<std::mutex> lock(repair.mutex);
        observer = repair.observer;
    }
    if (observer)
        observer(cReplaced);
    return Narrow(repaired);
}

std::wstring Widen(const xmlChar* text) {
    return text ? Platform::FromUtf8(Chars(text)) : std::wstring();
}

std::wstring Widen(const xmlChar* text, size_t len) {
    return text ? Platform::FromUtf8(std::string_view(Chars(text), len)) : std::wstring();
}

DocumentImpl* OwnerOf(xmlNodePtr node) {
    return static_cast<DocumentImpl*>(node->doc->_private);
}

IXMLDOMNode* Wrap(xmlNodePtr node) {
    if (!node)
        return nullptr;
    if (node->type == XML_DOCUMENT_NODE) {
        auto* doc = static_cast<DocumentImpl*>(reinterpret_cast<xmlDocPtr>(node)->_private);
        doc->AddRef();
        return doc;
    }
    if (node->_private) {
        auto* wrapper = static_cast<NodeImpl*>(node->_private);
        wrapper->AddRef();
        return wrapper;
    }
    return new NodeImpl(node);
}

xmlNodePtr Unwrap(IXMLDOMNode* node) {
    if (auto* impl = dynamic_cast<NodeImpl*>(node))
        return impl->XmlNode();
    if (auto* doc = dynamic_cast<DocumentImpl*>(node))
        return doc->XmlNode();
    return nullptr;
}

std::wstring LocalName(xmlNodePtr node) {
    if (node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE && node->type != XML_PI_NODE)
        return std::wstring();
    std::wstring name = Widen(node->name);
    // Created elements keep a prefixed name as they were given it.
    if (!node->ns) {
        size_t colon = name.find(L':');
        if (colon != std::wstring::npos)
            return name.substr(colon + 1);
    }
    return name;
}

std::wstring PrefixOf(xmlNodePtr node) {
    if (node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE)
        return std::wstring();
    if (node->ns)
        return Widen(node->ns->prefix);
    std::wstring name = Widen(node->name);
    size_t colon = name.find(L':');
    return colon == std::wstring::npos ? std::wstring() : name.substr(0, colon);
}

std::wstring QualifiedName(xmlNodePtr node) {
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
            if (node->ns && node->ns->prefix)
                return Widen(node->ns->prefix) + L":" + Widen(node->name);
            return Widen(node->name);
        case XML_TEXT_NODE:
            return L"#text";
        case XML_CDATA_SECTION_NODE:
            return L"#cdata-section";
        case XML_COMMENT_NODE:
            return L"#comment";
        case XML_DOCUMENT_NODE:
            return L"#document";
        default:
            return Widen(node->name);
    }
}

std::string TextContent(xmlNodePtr node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? Chars(content) : "";
    xmlFree(content);
    return text;
}

bool IsValidName(const std::string& name) {
    return !name.empty() && xmlValidateQName(XmlChars(name), 0) == 0;
}

bool IsStorableText(std::wstring_view text) {
    return text.find(L'\0') == std::wstring_view::npos;
}

void LinkChild(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before) {
    // Linked by hand: libxml2's own helpers merge adjacent text nodes and free one of them,
    // which would leave a wrapper dangling.
    child->parent = parent;
    if (!before) {
        child->prev = parent->last;
        child->next = nullptr;
        if (parent->last)
            parent->last->next = child;
        else
            parent->children = child;
        parent->last = child;
    } else {
        child->next = before;
        child->prev = before->prev;
        if (before->prev)
            before->prev->next = child;
        else
            parent->children = child;
        before->prev = child;
    }
}

void ReconcileNamespaces(xmlNodePtr subtree) {
    for (xmlNodePtr node = subtree; node; node = NextInSubtree(node, subtree)) {
        if (node->type == XML_ELEMENT_NODE)
            FixNamespace(node, node);
        else if (node->type == XML_ATTRIBUTE_NODE && node->parent)
            FixNamespace(node, node->parent);
    }
}

void ReplaceChildrenWithText(xmlNodePtr node, const std::string& text) {
    DocumentImpl* owner = OwnerOf(node);
    while (xmlNodePtr child = node->children) {
        xmlUnlinkNode(child);
        owner->AddOrphan(child);
    }
    if (text.empty())
        return;
    xmlNodePtr textNode = xmlNewDocTextLen(node->doc, XmlChars(text), static_cast<int>(text.size()));
    if (textNode)
        LinkChild(node, textNode, nullptr);
}

void ClearWrappers(xmlNodePtr subtree) {
    for (xmlNodePtr node = subtree; node; node = NextInSubtree(node, subtree))
        node->_private = nullptr;
}

namespace {

// One node without its children. Namespace pointers still refer to the original's declarations;
// ReconcileNamespaces settles them once the copy is linked.
xmlNodePtr CopyShallow(xmlNodePtr node, xmlDocPtr target) {
    xmlNodePtr copy = nullptr;
    switch (node->type) {
        case XML_ELEMENT_NODE: {
            copy = xmlNewDocNode(target, nullptr, node->name, nullptr);
            if (!copy)
                return nullptr;
            copy->ns = node->ns;
            for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
                xmlNewNs(copy, ns->href, ns->prefix);
            for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
                std::string value = TextContent(reinterpret_cast<xmlNodePtr>(attr));
                xmlAttrPtr attrCopy = xmlNewNsProp(copy, nullptr, attr->name, XmlChars(value));
                if (!attrCopy) {
                    xmlFreeNode(copy);
                    return nullptr;
                }
                attrCopy->ns = attr->ns;
            }
            break;
        }
        case XML_TEXT_NODE:
            copy = xmlNewDocText(target, node->content);
            break;
        case XML_CDATA_SECTION_NODE:
            copy = xmlNewCDataBlock(target, node->content, node->content ? xmlStrlen(node->content) : 0);
            break;
        case XML_COMMENT_NODE:
            copy = xmlNewDocComment(target, node->content);
            break;
        case XML_PI_NODE:
            copy = xmlNewDocPI(target, node->name, node->content);
            break;
        default:
            // Entity references cannot occur (documents with a DTD are refused); keep their text.
            copy = xmlNewDocText(target, XmlChars(TextContent(node)));
            break;
    }
    return copy;
}

// Hands the wrappers of an original node (and of its attributes) to its copy.
void MoveWrappers(xmlNodePtr original, xmlNodePtr copy) {
    if (original->_private)
        static_cast<NodeImpl*>(original->_private)->Retarget(copy);
    if (original->type != XML_ELEMENT_NODE)
        return;
    xmlAttrPtr to = copy->properties;
    for (xmlAttrPtr from = original->properties; from && to; from = from->next, to = to->next) {
        if (from->_private)
            static_cast<NodeImpl*>(from->_private)->Retarget(reinterpret_cast<xmlNodePtr>(to));
        if (from->children && from->children->_private && to->children)
            static_cast<NodeImpl*>(from->children->_private)->Retarget(to->children);
    }
}

}  // namespace

xmlNodePtr CopyNode(xmlNodePtr node, xmlDocPtr target, bool deep, bool bMoveWrappers) {
    // Node by node and linked by hand, so that adjacent text nodes stay separate and every
    // original has exactly one counterpart. Wrappers move only once the whole copy exists.
    xmlNodePtr root = CopyShallow(node, target);
    if (!root)
        return nullptr;
    std::vector<std::pair<xmlNodePtr, xmlNodePtr>> copied{{node, root}};  // original, copy
    std::vector<std::pair<xmlNodePtr, xmlNodePtr>> pending;
    if (deep && node->type == XML_ELEMENT_NODE)
        pending.emplace_back(node, root);
    while (!pending.empty()) {
        auto [original, copy] = pending.back();
        pending.pop_back();
        for (xmlNodePtr child = original->children; child; child = child->next) {
            xmlNodePtr childCopy = CopyShallow(child, target);
            if (!childCopy) {
                xmlFreeNode(root);
                return nullptr;
            }
            LinkChild(copy, childCopy, nullptr);
            copied.emplace_back(child, childCopy);
            if (child->type == XML_ELEMENT_NODE && child->children)
                pending.emplace_back(child, childCopy);
        }
    }
    if (bMoveWrappers)
        for (const auto& [original, copy] : copied)
            MoveWrappers(original, copy);
    return root;
}

namespace {

// The declaration of a prefix as serialising the subtree from root would see it at node.
xmlNsPtr FindWithin(xmlNodePtr node, xmlNodePtr root, const xmlChar* prefix) {
    for (; node; node = node->parent) {
        for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
            if (xmlStrEqual(ns->prefix, prefix))
                return ns;
        if (node == root)
            break;
    }
    return nullptr;
}

// Adds to the subtree the declarations it uses but that only its ancestors (or nobody, for created
// nodes not yet appended) declare, each on the topmost element that needs it. Returns what was
// added so that it can be taken out again.
std::vector<std::pair<xmlNodePtr, xmlNsPtr>> DeclareOutOfScope(xmlNodePtr root) {
    std::vector<std::pair<xmlNodePtr, xmlNsPtr>> added;
    for (xmlNodePtr node = root; node; node = NextInSubtree(node, root)) {
        xmlNodePtr element = node->type == XML_ATTRIBUTE_NODE ? node->parent : node;
        if ((node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE) || !node->ns)
            continue;
        const xmlChar* prefix = node->ns->prefix;
        if (xmlStrEqual(prefix, reinterpret_cast<const xmlChar*>("xml")))
            continue;
        xmlNsPtr seen = FindWithin(element, root, prefix);
        if (seen && xmlStrEqual(seen->href, node->ns->href))
            continue;
        xmlNsPtr ns = xmlNewNs(nullptr, node->ns->href, prefix);
        if (!ns)
            continue;
        ns->next = element->nsDef;
        element->nsDef = ns;
        added.emplace_back(element, ns);
    }
    return added;
}

void Undeclare(const std::vector<std::pair<xmlNodePtr, xmlNsPtr>>& added) {
    for (const auto& [element, ns] : added) {
        for (xmlNsPtr* link = &element->nsDef; *link; link = &(*link)->next)
            if (*link == ns) {
                *link = ns->next;
                break;
            }
        xmlFreeNs(ns);
    }
}

}  // namespace

std::string Serialize(xmlNodePtr node) {
    ErrorSilencer silencer;
    xmlOutputBufferPtr out = xmlAllocOutputBuffer(nullptr);
    if (!out)
        return std::string();
    xmlDocPtr doc = node->doc;
    if (node->type == XML_DOCUMENT_NODE) {
        for (xmlNodePtr child = node->children; child; child = child->next)
            xmlNodeDumpOutput(out, doc, child, 0, 0, "UTF-8");
    } else if (node->type == XML_ELEMENT_NODE) {
        auto added = DeclareOutOfScope(node);
        xmlNodeDumpOutput(out, doc, node, 0, 0, "UTF-8");
        Undeclare(added);
    } else {
        xmlNodeDumpOutput(out, doc, node, 0, 0, "UTF-8");
    }
    std::string text(Chars(xmlOutputBufferGetContent(out)), xmlOutputBufferGetSize(out));
    xmlOutputBufferClose(out);
    if (node->type == XML_ATTRIBUTE_NODE && !text.empty() && text.front() == ' ')
        text.erase(0, 1);
    return text;
}

}  // namespace Platform::Xml::Detail

namespace Platform::Xml {

void SetTextRepairObserver(std::function<void(size_t cReplaced)> observer) {
    Detail::RepairObserver& repair = Detail::TheRepairObserver();
    std::lock_guard<std::mutex> lock(repair.mutex);
    repair.observer = std::move(observer);
}

}  // namespace Platform::Xml
