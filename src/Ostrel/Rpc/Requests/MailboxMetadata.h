// Mailbox metadata: named sections of key/value pairs the server keeps for the account. The
// handheld-server configuration is stored here; a large section is sent deflated.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// The handheld-server configuration attributes: key to value.
using BESConfigAttributes = std::map<uint32_t, std::wstring>;

class GetMailboxMetadataRequest : public ItemRequestBase {
public:
    explicit GetMailboxMetadataRequest(const wchar_t* pwszSection);
};

// Writes the attributes as <meta section><a n="key in hex">value</a>...</meta>. From
// kCompressionThreshold on, the section is sent as one entry "compressed" holding the
// hex-encoded deflated text of that element; a section too large to compress throws
// Util::C_Exception (E_INVALIDARG) rather than storing an empty entry.
class SetMailboxMetadataRequest : public ItemRequestBase {
public:
    static constexpr size_t kCompressionThreshold = 32000;
    // The largest element text (UTF-8 bytes) that is compressed.
    static constexpr size_t kMaxCompressedInput = 200000;

    SetMailboxMetadataRequest(const wchar_t* pwszSection, const BESConfigAttributes* pAttrs);

    // Whether the sum over the entries of (value length in UTF-16 units + 8) reaches the threshold.
    static bool IsCompressionNeeded(const BESConfigAttributes* pAttrs);
    // The element's XML text, deflated (zlib header, data ending in a sync-flush marker, no final
    // block and no checksum) and hex-encoded. Empty for a null element, a text above
    // kMaxCompressedInput bytes, or a zlib failure.
    static std::wstring Compress(IXMLDOMElement* pMeta);

private:
    void AddPair(IXMLDOMElement* pMeta, const std::wstring& wsName, const std::wstring& wsValue);
};

}  // namespace Ostrel::Rpc
