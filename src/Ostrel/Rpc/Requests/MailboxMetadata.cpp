#include "Ostrel/Rpc/Requests/MailboxMetadata.h"

#include <zlib.h>

#include <cstdio>
#include <vector>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Util/Exception.h"
#include "Util/Log/Log.h"
#include "Util/Text/CodePage.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Rpc {

namespace {

size_t Utf16Length(const std::wstring& ws) {
    size_t n = ws.size();
    for (wchar_t wc : ws)
        if (static_cast<uint32_t>(wc) > 0xFFFF)
            ++n;
    return n;
}

std::wstring HexKey(uint32_t key) {
    wchar_t wsz[16];
    std::swprintf(wsz, std::size(wsz), L"%x", key);
    return wsz;
}

}  // namespace

GetMailboxMetadataRequest::GetMailboxMetadataRequest(const wchar_t* pwszSection)
    : ItemRequestBase(L"GetMailboxMetadataRequest") {
    CreateBody(L"GetMailboxMetadataRequest", Soap::kNsMail);
    SetAttr(AddChild(Body(), L"meta").Get(), L"section", pwszSection ? pwszSection : L"");
}

SetMailboxMetadataRequest::SetMailboxMetadataRequest(const wchar_t* pwszSection, const BESConfigAttributes* pAttrs)
    : ItemRequestBase(L"SetMailboxMetadataRequest") {
    const wchar_t* pwszSectionText = pwszSection ? pwszSection : L"";
    CreateBody(L"SetMailboxMetadataRequest", Soap::kNsMail);
    auto meta = NewElement(L"meta");
    SetAttr(meta.Get(), L"section", pwszSectionText);
    if (pAttrs)
        for (const auto& [key, wsValue] : *pAttrs)
            AddPair(meta.Get(), HexKey(key), wsValue);

    if (!IsCompressionNeeded(pAttrs)) {
        if (FAILED(Body()->appendChild(meta.Get(), nullptr)))
            OST_THROW_C_EXCEPTION(E_FAIL, L"the metadata section could not be added");
        return;
    }
    std::wstring wsCompressed = Compress(meta.Get());
    if (wsCompressed.empty())
        OST_THROW_C_EXCEPTION(E_INVALIDARG, L"the metadata section is too large to be stored");
    auto meta2 = AddChild(Body(), L"meta");
    SetAttr(meta2.Get(), L"section", pwszSectionText);
    AddPair(meta2.Get(), L"compressed", wsCompressed);
}

void SetMailboxMetadataRequest::AddPair(IXMLDOMElement* pMeta, const std::wstring& wsName,
                                        const std::wstring& wsValue) {
    auto a = AddChild(pMeta, L"a");
    SetAttr(a.Get(), L"n", wsName);
    SetText(a.Get(), wsValue);
}

bool SetMailboxMetadataRequest::IsCompressionNeeded(const BESConfigAttributes* pAttrs) {
    size_t size = 0;
    if (pAttrs)
        for (const auto& entry : *pAttrs)
            size += Utf16Length(entry.second) + 8;
    OSTLOG_INFO(16, L"IsCompressionNeeded size=%d", static_cast<int>(size));
    return size >= kCompressionThreshold;
}

std::wstring SetMailboxMetadataRequest::Compress(IXMLDOMElement* pMeta) {
    if (!pMeta)
        return std::wstring();
    std::wstring wsXml;
    if (FAILED(pMeta->get_xml(wsXml)))
        return std::wstring();
    std::string sXml;
    if (!Util::UnicodeToAnsii(wsXml, Util::CP_ACP, sXml) || sXml.size() > kMaxCompressedInput) {
        OSTLOG_WARN(L"metadata of %zu bytes is not compressed", sXml.size());
        return std::wstring();
    }

    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK)
        return std::wstring();
    std::vector<BYTE> out(deflateBound(&stream, static_cast<uLong>(sXml.size())) + 64);
    stream.next_in = reinterpret_cast<Bytef*>(sXml.data());
    stream.avail_in = static_cast<uInt>(sXml.size());
    int rc;
    for (;;) {
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
        rc = deflate(&stream, Z_SYNC_FLUSH);
        // Output space left over means the input is consumed and the flush complete; never cut short.
        if (rc != Z_OK || stream.avail_out > 0)
            break;
        out.resize(out.size() * 2);
    }
    size_t written = stream.total_out;
    bool bComplete = rc == Z_OK && stream.avail_in == 0;
    // Finishing would add the final block and the checksum; the server reads the data without them.
    deflateEnd(&stream);
    if (!bComplete) {
        OSTLOG_ERROR(L"deflate of the metadata failed (%d)", rc);
        return std::wstring();
    }
    return Util::HexEncode(out.data(), written);
}

}  // namespace Ostrel::Rpc
