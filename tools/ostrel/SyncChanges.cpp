#include "SyncChanges.h"

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string_view>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

// The elements of the items a synchronisation keeps; others (conversations) are skipped.
bool IsItemElement(const std::wstring& name, SyncItemKind& kind) {
    kind = name == L"m"      ? SyncItemKind::Message
           : name == L"cn"   ? SyncItemKind::Contact
           : name == L"appt" ? SyncItemKind::Appointment
           : name == L"task" ? SyncItemKind::Task
                             : SyncItemKind::Other;
    return kind != SyncItemKind::Other || name == L"doc" || name == L"note";
}

std::optional<int32_t> ToId(const std::wstring& text) {
    const std::string narrow = Platform::ToUtf8(text);
    int32_t id = 0;
    auto [ptr, ec] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), id);
    if (narrow.empty() || ec != std::errc() || ptr != narrow.data() + narrow.size())
        return std::nullopt;
    return id;
}

std::wstring Attribute(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring value;
    if (FAILED(pElement->getAttribute(pwszName, value)))
        value.clear();
    return value;
}

// An optional number: 0 when absent, a failure when present and not a 32-bit number.
int32_t OptionalNumber(IXMLDOMElement* pElement, const wchar_t* pwszName, const std::wstring& element) {
    const std::wstring text = Attribute(pElement, pwszName);
    if (text.empty())
        return 0;
    auto value = ToId(text);
    if (!value)
        throw std::runtime_error("the synchronisation reply has a <" + Platform::ToUtf8(element) + "> whose \"" +
                                 Platform::ToUtf8(pwszName) + "\" is not a number");
    return *value;
}

int32_t RequiredId(IXMLDOMElement* pElement, const wchar_t* pwszName, const std::wstring& element) {
    auto id = ToId(Attribute(pElement, pwszName));
    if (!id)
        throw std::runtime_error("the synchronisation reply has a <" + Platform::ToUtf8(element) +
                                 "> without a valid \"" + Platform::ToUtf8(pwszName) + "\"");
    return *id;
}

ComPtr<IXMLDOMElement> AsElement(IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMElement> element;
    DOMNodeType type = NODE_INVALID;
    if (SUCCEEDED(pNode->get_nodeType(&type)) && type == NODE_ELEMENT)
        pNode->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.AddressOf()));
    return element;
}

ComPtr<IXMLDOMNode> FirstChild(IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMNode> child;
    if (FAILED(pNode->get_firstChild(child.AddressOf())))
        child = nullptr;
    return child;
}

// The serialiser writes characters beyond ASCII as character references; the metadata files keep
// them as UTF-8, as the server writes them. Markup characters stay escaped.
std::string WithUtf8Characters(const std::string& xml) {
    std::string out;
    out.reserve(xml.size());
    size_t pos = 0;
    while (pos < xml.size()) {
        const size_t ref = xml.find("&#x", pos);
        const size_t end = ref == std::string::npos ? std::string::npos : xml.find(';', ref);
        if (end == std::string::npos) {
            out.append(xml, pos, std::string::npos);
            break;
        }
        out.append(xml, pos, ref - pos);
        uint32_t code = 0;
        auto [ptr, ec] = std::from_chars(xml.data() + ref + 3, xml.data() + end, code, 16);
        if (ec == std::errc() && ptr == xml.data() + end && code >= 0x80 && code <= 0x10FFFF &&
            (code < 0xD800 || code > 0xDFFF))
            out += Platform::ToUtf8(std::wstring(1, static_cast<wchar_t>(code)));
        else
            out.append(xml, ref, end + 1 - ref);
        pos = end + 1;
    }
    return out;
}

ComPtr<IXMLDOMNode> NextSibling(IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMNode> sibling;
    if (FAILED(pNode->get_nextSibling(sibling.AddressOf())))
        sibling = nullptr;
    return sibling;
}

// An item's element carries the reply's namespace declaration once taken out of the reply; the
// metadata files have the form of the message archives' entries, without it.
std::string WithoutReplyNamespace(std::string xml) {
    static constexpr std::string_view kDeclaration = " xmlns=\"urn:ostrelMail\"";
    const size_t end = xml.find('>');
    const size_t pos = xml.find(kDeclaration);
    if (pos != std::string::npos && pos < end)
        xml.erase(pos, kDeclaration.size());
    return xml;
}

}  // namespace

SyncChanges ReadSyncChanges(IXMLDOMDocument2* pDocument) {
    ComPtr<IXMLDOMNode> root;
    if (!pDocument || FAILED(pDocument->selectSingleNode(L"//mail:SyncResponse", root.AddressOf())) || !root)
        throw std::runtime_error("the synchronisation reply has no SyncResponse");
    ComPtr<IXMLDOMElement> response = AsElement(root.Get());
    if (!response)
        throw std::runtime_error("the synchronisation reply has no SyncResponse");
    SyncChanges changes;
    const std::wstring wsToken = Attribute(response.Get(), L"token");
    if (wsToken.empty())
        throw std::runtime_error("the synchronisation reply carries no token");
    changes.sToken = Platform::ToUtf8(wsToken);

    // Depth first: each entry is the next node to look at on one level.
    std::vector<ComPtr<IXMLDOMNode>> stack;
    stack.push_back(FirstChild(root.Get()));
    while (!stack.empty()) {
        ComPtr<IXMLDOMNode> node = std::move(stack.back());
        if (!node) {
            stack.pop_back();
            continue;
        }
        stack.back() = NextSibling(node.Get());
        ComPtr<IXMLDOMElement> element = AsElement(node.Get());
        if (!element)
            continue;
        std::wstring name;
        element->get_baseName(name);
        SyncItemKind kind = SyncItemKind::Other;
        if (name == L"folder") {
            const int32_t id = RequiredId(element.Get(), L"id", name);
            // Its contents are read either way: what cannot be placed is left out item by item.
            stack.push_back(FirstChild(node.Get()));
            SyncFolder folder;
            try {
                folder.iParent = id == kRootFolderId ? 0 : RequiredId(element.Get(), L"l", name);
                folder.iSeq = OptionalNumber(element.Get(), L"ms", name);
                folder.sName = Platform::ToUtf8(Attribute(element.Get(), L"name"));
                folder.sView = Platform::ToUtf8(Attribute(element.Get(), L"view"));
                if (id != kRootFolderId && (folder.sName.empty() || folder.iParent == id))
                    throw std::runtime_error("it has no name or lies inside itself");
            } catch (const std::runtime_error& e) {
                OSTLOG_ERROR(L"Folder %d skipped: %hs", id, e.what());
                changes.skipped.push_back(id);
                continue;
            }
            changes.folders.emplace_back(id, std::move(folder));
        } else if (name == L"tag") {
            SyncTag tag;
            tag.iId = RequiredId(element.Get(), L"id", name);
            tag.sName = Platform::ToUtf8(Attribute(element.Get(), L"name"));
            tag.sRgb = Platform::ToUtf8(Attribute(element.Get(), L"rgb"));
            if (tag.sName.empty())
                throw std::runtime_error("the synchronisation reply has a tag " + std::to_string(tag.iId) +
                                         " without a name");
            changes.tags.push_back(std::move(tag));
        } else if (name == L"deleted") {
            const std::wstring ids = Attribute(element.Get(), L"ids");
            size_t pos = 0;
            while (pos < ids.size()) {
                size_t end = ids.find(L',', pos);
                if (end == std::wstring::npos)
                    end = ids.size();
                auto id = ToId(ids.substr(pos, end - pos));
                if (!id)
                    throw std::runtime_error("the synchronisation reply lists a deleted id that is not a number");
                changes.deleted.push_back(*id);
                pos = end + 1;
            }
        } else if (IsItemElement(name, kind)) {
            SyncItem item;
            item.iId = RequiredId(element.Get(), L"id", name);
            item.kind = kind;
            try {
                item.iFolder = RequiredId(element.Get(), L"l", name);
                item.iSeq = OptionalNumber(element.Get(), L"ms", name);
            } catch (const std::runtime_error& e) {
                // One item that breaks the rules is left out; the rest of the reply stands.
                OSTLOG_ERROR(L"Item %d skipped: %hs", item.iId, e.what());
                changes.skipped.push_back(item.iId);
                continue;
            }
            item.sFlags = Platform::ToUtf8(Attribute(element.Get(), L"f"));
            item.sTagIds = Platform::ToUtf8(Attribute(element.Get(), L"t"));
            item.sTagNames = Platform::ToUtf8(Attribute(element.Get(), L"tn"));
            // Only a message's "s" is its size (an appointment's is its start); one that cannot be
            // read leaves the size unknown rather than losing the item.
            if (kind == SyncItemKind::Message)
                item.iSize = std::max(ToId(Attribute(element.Get(), L"s")).value_or(-1), -1);
            if (kind != SyncItemKind::Message) {
                element->get_xmlUtf8(item.sMeta);
                item.sMeta = WithUtf8Characters(WithoutReplyNamespace(item.sMeta));
            }
            changes.items.push_back(std::move(item));
        }
    }
    return changes;
}

}  // namespace OstrelCli
