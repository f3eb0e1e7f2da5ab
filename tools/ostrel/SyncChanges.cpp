#include "SyncChanges.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Xml/Sax.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>
#include <stdexcept>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

// The elements of the items a synchronisation keeps; others (conversations) are skipped.
bool IsItemElement(std::wstring_view name, SyncItemKind& kind) {
    kind = name == L"m"      ? SyncItemKind::Message
           : name == L"cn"   ? SyncItemKind::Contact
           : name == L"appt" ? SyncItemKind::Appointment
           : name == L"task" ? SyncItemKind::Task
                             : SyncItemKind::Other;
    return kind != SyncItemKind::Other || name == L"doc" || name == L"note";
}

std::optional<int32_t> ToId(std::wstring_view text) {
    const std::string narrow = Platform::ToUtf8(text);
    int32_t id = 0;
    auto [ptr, ec] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), id);
    if (narrow.empty() || ec != std::errc() || ptr != narrow.data() + narrow.size())
        return std::nullopt;
    return id;
}

// Which parts of a reply a read keeps.
enum class ReadPart {
    All,      // everything
    Listing,  // all but the items, which are checked and left out
    Items,    // the items alone, of a reply already checked: nothing is logged again
};

// The events of a reply turned into its changes. The SyncResponse may stand anywhere (inside an
// envelope); what is outside it is ignored. Elements are looked at inside the response and inside
// folders only, as the server nests them.
class SyncReplyHandler final : public Platform::ComObject<ISAXContentHandler> {
public:
    SyncReplyHandler(ReadPart part, SyncChanges& changes, const SyncItemSink& sink)
        : m_part(part), m_changes(changes), m_sink(sink) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
    }

    HRESULT startDocument() override { return S_OK; }
    HRESULT endDocument() override { return S_OK; }
    HRESULT characters(std::wstring_view) override { return S_OK; }

    HRESULT startElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view,
                         ISAXAttributes* pAttributes) override {
        if (m_bDone)
            return S_OK;
        try {
            if (!m_bSeen) {
                if (uri == Ostrel::Rpc::Soap::kNsMail && localName == L"SyncResponse") {
                    m_bSeen = true;
                    const std::wstring_view token = Attribute(pAttributes, L"token");
                    if (token.empty())
                        throw std::runtime_error("the synchronisation reply carries no token");
                    m_changes.sToken = Platform::ToUtf8(token);
                    m_open.push_back(true);
                }
                return S_OK;
            }
            const bool bRead = m_open.back() && Element(localName, pAttributes);
            m_open.push_back(bRead);
            return S_OK;
        } catch (...) {
            // Carried past the parser to the caller as it is: a reply that breaks the rules, or
            // whatever the sink threw.
            m_failure = std::current_exception();
        }
        return E_FAIL;
    }

    HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view) override {
        if (m_bSeen && !m_bDone) {
            m_open.pop_back();
            m_bDone = m_open.empty();
        }
        return S_OK;
    }

    bool Seen() const { return m_bSeen; }
    std::exception_ptr Failure() const { return m_failure; }

private:
    static std::wstring_view Attribute(ISAXAttributes* pAttributes, const wchar_t* pwszName) {
        std::wstring_view value;
        if (FAILED(pAttributes->getValueFromQName(pwszName, value)))
            return {};
        return value;
    }

    static std::string Text(ISAXAttributes* pAttributes, const wchar_t* pwszName) {
        return Platform::ToUtf8(Attribute(pAttributes, pwszName));
    }

    // An optional number: 0 when absent, a failure when present and not a 32-bit number.
    static int32_t OptionalNumber(ISAXAttributes* pAttributes, const wchar_t* pwszName, std::wstring_view element) {
        const std::wstring_view text = Attribute(pAttributes, pwszName);
        if (text.empty())
            return 0;
        auto value = ToId(text);
        if (!value)
            throw std::runtime_error("the synchronisation reply has a <" + Platform::ToUtf8(element) + "> whose \"" +
                                     Platform::ToUtf8(pwszName) + "\" is not a number");
        return *value;
    }

    static int32_t RequiredId(ISAXAttributes* pAttributes, const wchar_t* pwszName, std::wstring_view element) {
        auto id = ToId(Attribute(pAttributes, pwszName));
        if (!id)
            throw std::runtime_error("the synchronisation reply has a <" + Platform::ToUtf8(element) +
                                     "> without a valid \"" + Platform::ToUtf8(pwszName) + "\"");
        return *id;
    }

    // One element inside the response or a folder; true when its own contents are read (a folder).
    bool Element(std::wstring_view name, ISAXAttributes* pAttributes) {
        SyncItemKind kind = SyncItemKind::Other;
        if (name == L"folder") {
            // Its contents are read either way: what cannot be placed is left out item by item.
            const int32_t id = RequiredId(pAttributes, L"id", name);
            if (m_part != ReadPart::Items)
                Folder(id, pAttributes);
            return true;
        }
        if (IsItemElement(name, kind)) {
            Item(kind, name, pAttributes);
        } else if (m_part == ReadPart::Items) {
            return false;
        } else if (name == L"tag") {
            SyncTag tag;
            tag.iId = RequiredId(pAttributes, L"id", name);
            tag.sName = Text(pAttributes, L"name");
            tag.sRgb = Text(pAttributes, L"rgb");
            if (tag.sName.empty())
                throw std::runtime_error("the synchronisation reply has a tag " + std::to_string(tag.iId) +
                                         " without a name");
            m_changes.tags.push_back(std::move(tag));
        } else if (name == L"deleted") {
            const std::wstring_view ids = Attribute(pAttributes, L"ids");
            size_t pos = 0;
            while (pos < ids.size()) {
                size_t end = ids.find(L',', pos);
                if (end == std::wstring_view::npos)
                    end = ids.size();
                auto id = ToId(ids.substr(pos, end - pos));
                if (!id)
                    throw std::runtime_error("the synchronisation reply lists a deleted id that is not a number");
                m_changes.deleted.push_back(*id);
                pos = end + 1;
            }
        }
        return false;
    }

    void Folder(int32_t id, ISAXAttributes* pAttributes) {
        SyncFolder folder;
        try {
            folder.iParent = id == kRootFolderId ? 0 : RequiredId(pAttributes, L"l", L"folder");
            folder.iSeq = OptionalNumber(pAttributes, L"ms", L"folder");
            folder.sName = Text(pAttributes, L"name");
            folder.sView = Text(pAttributes, L"view");
            if (id != kRootFolderId && (folder.sName.empty() || folder.iParent == id))
                throw std::runtime_error("it has no name or lies inside itself");
        } catch (const std::runtime_error& e) {
            OSTLOG_ERROR(L"Folder %d skipped: %hs", id, e.what());
            m_changes.skipped.push_back(id);
            return;
        }
        m_changes.folders.emplace_back(id, std::move(folder));
    }

    void Item(SyncItemKind kind, std::wstring_view name, ISAXAttributes* pAttributes) {
        m_item.iId = RequiredId(pAttributes, L"id", name);
        m_item.kind = kind;
        try {
            m_item.iFolder = RequiredId(pAttributes, L"l", name);
            m_item.iSeq = OptionalNumber(pAttributes, L"ms", name);
        } catch (const std::runtime_error& e) {
            // One item that breaks the rules is left out; the rest of the reply stands.
            if (m_part != ReadPart::Items) {
                OSTLOG_ERROR(L"Item %d skipped: %hs", m_item.iId, e.what());
                m_changes.skipped.push_back(m_item.iId);
                m_changes.skippedItems.emplace_back(m_item.iId, kind);
            }
            return;
        }
        if (m_part == ReadPart::Listing)
            return;
        m_item.sFlags = Text(pAttributes, L"f");
        m_item.sTagIds = Text(pAttributes, L"t");
        m_item.sTagNames = Text(pAttributes, L"tn");
        // Only a message's "s" is its size (an appointment's is its start); one that cannot be read
        // leaves the size unknown rather than losing the item.
        m_item.iSize =
            kind == SyncItemKind::Message ? std::max(ToId(Attribute(pAttributes, L"s")).value_or(-1), -1) : -1;
        if (m_sink)
            m_sink(m_item);
        else
            m_changes.items.push_back(m_item);
    }

    const ReadPart m_part;
    SyncChanges& m_changes;
    const SyncItemSink& m_sink;
    SyncItem m_item;  // reused, so that its strings keep their buffers
    bool m_bSeen = false;
    bool m_bDone = false;
    // For each open element inside the response (the response first): whether its children are
    // looked at. Its depth is bounded by the reader's nesting limit.
    std::vector<bool> m_open;
    std::exception_ptr m_failure;
};

SyncChanges Read(IStream* pBody, ReadPart part, const SyncItemSink& sink) {
    LARGE_INTEGER zero{};
    if (!pBody || FAILED(pBody->Seek(zero, STREAM_SEEK_SET, nullptr)))
        throw std::runtime_error("the synchronisation reply cannot be read");
    SyncChanges changes;
    ComPtr<ISAXXMLReader> reader;
    ComPtr<SyncReplyHandler> handler;
    handler.Attach(new SyncReplyHandler(part, changes, sink));
    if (FAILED(Platform::Xml::CreateSaxReader(reader.AddressOf())))
        throw std::runtime_error("the synchronisation reply does not fit in memory");
    reader->putContentHandler(handler.Get());
    const HRESULT hr = reader->parseStream(pBody);
    if (handler->Failure())
        std::rethrow_exception(handler->Failure());
    if (FAILED(hr)) {
        XmlParseError error;
        reader->getParseError(error);
        throw std::runtime_error("the synchronisation reply is not well-formed XML: " + Platform::ToUtf8(error.reason));
    }
    if (!handler->Seen())
        throw std::runtime_error("the synchronisation reply has no SyncResponse");
    return changes;
}

}  // namespace

SyncChanges ReadSyncChanges(IXMLDOMDocument2* pDocument) {
    std::string xml;
    if (!pDocument || FAILED(pDocument->get_xmlUtf8(xml)))
        throw std::runtime_error("the synchronisation reply has no SyncResponse");
    return ReadSyncChanges(Platform::MemStream::Create(xml).Get());
}

SyncChanges ReadSyncChanges(IStream* pBody) {
    return Read(pBody, ReadPart::All, nullptr);
}

SyncChanges ReadSyncChanges(IStream* pBody, const std::function<void(const SyncChanges& listing)>& listed,
                            const SyncItemSink& item) {
    SyncChanges listing = Read(pBody, ReadPart::Listing, nullptr);
    listed(listing);
    Read(pBody, ReadPart::Items, item);
    return listing;
}

}  // namespace OstrelCli
