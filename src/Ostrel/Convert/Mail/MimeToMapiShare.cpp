// Share notifications: a message carrying an xml/x-ostrel-share part tells of a folder shared
// with, changed for or taken from the mailbox owner. Its XML and action are kept on the message
// so that the store provider can act on them.
#include <strings.h>
#include <algorithm>
#include <cstring>
#include <cwctype>

#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mime/Mime.h"
#include "Util/Log/Log.h"

using Ostrel::Mapi::NamedProps;

namespace {

constexpr char kShareType[] = "xml/x-ostrel-share";

enum ShareAction : LONG { kActionUnknown = 0, kActionNew = 1, kActionEdit = 2, kActionDelete = 3 };

bool ContainsNoCase(const std::string& sText, const char* pszPart) {
    // The C library's search is several times faster; it stops at a NUL, which MIME text rarely holds.
    if (std::strlen(sText.c_str()) == sText.size())
        return strcasestr(sText.c_str(), pszPart) != nullptr;
    const std::string_view sPart(pszPart);
    auto it = std::search(sText.begin(), sText.end(), sPart.begin(), sPart.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != sText.end();
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && Platform::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The first entity of the tree (the message itself included) whose type is the share type.
mimepp::Entity* FindSharePart(mimepp::Entity& entity, bool& bAnyParts) {
    mimepp::Headers& headers = entity.headers();
    if (headers.hasField("Content-Type")) {
        mimepp::String type = headers.contentType().type();
        type += "/";
        type += headers.contentType().subtype();
        type.convertToLowerCase();
        if (type == kShareType)
            return &entity;
    } else if (entity.parent()) {
        OSTLOG_INFO(16, L"Part has no Content-Type.");
    }
    mimepp::Body& body = entity.body();
    for (int i = 0; i < body.numBodyParts(); ++i) {
        bAnyParts = true;
        if (mimepp::Entity* pFound = FindSharePart(body.bodyPartAt(i), bAnyParts))
            return pFound;
    }
    return nullptr;
}

// The value of the attribute that starts at pos (after `name="`), up to the next quotation mark.
bool AttributeAfter(const std::wstring& wsXml, size_t from, std::wstring_view name, std::wstring& value) {
    const size_t pos = wsXml.find(name, from);
    if (pos == std::wstring::npos)
        return false;
    const size_t start = pos + name.size();
    const size_t end = wsXml.find(L'"', start);
    value = wsXml.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    return true;
}

}  // namespace

void MimeToMapiConverter::ExtractShareXML(IMessage* pMsg) {
    // Parsing the whole text again is only worth it when the share type occurs in it at all.
    if (!ContainsNoCase(m_sMime, kShareType)) {
        OSTLOG_INFO(16, L"No xml/x-ostrel-share part found.");
        return;
    }
    mimepp::Message message;
    message.setString(mimepp::String(m_sMime));
    message.parse();
    bool bAnyParts = false;
    mimepp::Entity* pPart = FindSharePart(message, bAnyParts);
    if (!pPart) {
        OSTLOG_INFO(16, bAnyParts ? L"No xml/x-ostrel-share part found." : L"No parts found.");
        return;
    }
    const mimepp::String& raw = pPart->body().getString();
    mimepp::String decoded;
    mimepp::Headers& headers = pPart->headers();
    if (mimepp::Field* pEncoding = headers.findField("content-transfer-encoding")) {
        mimepp::String encoding = pEncoding->fieldBody().getString();
        encoding.convertToLowerCase();
        const std::string sEncoding(encoding.data(), encoding.size());
        if (sEncoding.find("base64") != std::string::npos) {
            OSTLOG_INFO(16, L"Decoding xml/x-ostrel-share part with base64 encoding.");
            mimepp::Base64Decoder().decode(raw, decoded);
        } else if (sEncoding.find("quoted-printable") != std::string::npos) {
            OSTLOG_INFO(16, L"Decoding xml/x-ostrel-share part with quoted-printable encoding.");
            mimepp::QuotedPrintableDecoder().decode(raw, decoded);
        } else {
            OSTLOG_INFO(16, L"Got xml/x-ostrel-share part with %hs encoding.", sEncoding.c_str());
            decoded = raw;
        }
    } else {
        OSTLOG_INFO(16, L"No encoding field on xml/x-ostrel-share part.");
        decoded = raw;
    }
    bool bInvalid = false;
    const std::wstring wsXml = Platform::FromUtf8(std::string_view(decoded.data(), decoded.size()), &bInvalid);
    if (bInvalid) {
        OSTLOG_ERROR(L"Conversion to wide chars failed");
        return;
    }
    OSTLOG_INFO(16, L"Share XML to parse:\n%s", wsXml.c_str());
    ParseShareXML(pMsg, wsXml);
}

void MimeToMapiConverter::ParseShareXML(IMessage* pMsg, const std::wstring& wsXml) {
    const size_t first = wsXml.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos || !StartsWithNoCase(std::wstring_view(wsXml).substr(first), L"<share")) {
        OSTLOG_INFO(16, L"Not a share message");
        return;
    }
    const size_t grantor = wsXml.find(L"<grantor");
    if (grantor == std::wstring::npos) {
        OSTLOG_INFO(16, L"Grantor not found");
        return;
    }
    std::wstring wsGrantor;
    if (!AttributeAfter(wsXml, grantor, L"email=\"", wsGrantor)) {
        OSTLOG_INFO(16, L"Grantor email not found");
        return;
    }
    if (m_pNamedProps) {
        LPSPropValue pOwner = nullptr;
        if (SUCCEEDED(HrGetOneProp(m_pStore.Get(), m_pNamedProps->GetPropTag(NamedProps::OWNER_EMAIL, PT_UNICODE),
                                   &pOwner))) {
            // An empty owner would match every grantor.
            const std::wstring_view owner = pOwner->Value.lpszW;
            const bool bOwnShare = !owner.empty() && StartsWithNoCase(wsGrantor, owner);
            MAPIFreeBuffer(pOwner);
            if (bOwnShare) {
                OSTLOG_INFO(16, L"Ignoring - grantor is store owner");
                return;
            }
        } else {
            OSTLOG_INFO(16, L"Couldn't read store owner");
        }
    }
    std::wstring wsAction;
    if (!AttributeAfter(wsXml, 0, L"action=\"", wsAction)) {
        OSTLOG_INFO(16, L"Action not found");
        return;
    }
    LONG lAction = kActionUnknown;
    if (wsAction.starts_with(L"new"))
        lAction = kActionNew;
    else if (wsAction.starts_with(L"edit"))
        lAction = kActionEdit;
    else if (wsAction.starts_with(L"delete"))
        lAction = kActionDelete;
    if (!m_pNamedProps)
        return;
    SPropValue values[2] = {};
    values[0].ulPropTag = m_pNamedProps->GetPropTag(NamedProps::SHARE_ID, PT_LONG);
    values[0].Value.l = lAction;
    values[1].ulPropTag = m_pNamedProps->GetPropTag(NamedProps::SHARE_INFO, PT_UNICODE);
    values[1].Value.lpszW = const_cast<wchar_t*>(wsXml.c_str());
    HRESULT hr = pMsg->SetProps(2, values, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Couldn't set custom properties on share message hr=%x", hr);
        return;
    }
    if (lAction == kActionNew) {
        SPropValue cls{PR_MESSAGE_CLASS_W, 0, {}};
        cls.Value.lpszW = const_cast<wchar_t*>(L"IPM.Sharing");
        if (FAILED(hr = HrSetOneProp(pMsg, &cls)))
            OSTLOG_ERROR(L"Couldn't set IPM.Sharing on share message hr=%x", hr);
    }
}
