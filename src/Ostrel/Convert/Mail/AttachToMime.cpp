#include "Ostrel/Convert/Mail/AttachToMime.h"

#include <cstring>
#include <cwctype>

#include "Ostrel/Convert/Mail/CharsetUtil.h"
#include "Ostrel/Convert/Mail/FixupStream.h"
#include "Ostrel/Convert/Mail/MapiMessageWrapper.h"
#include "Ostrel/Convert/Mail/MapiToMimeConverter.h"
#include "Ostrel/Store/Attachments.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/Disposition.h"
#include "Platform/Mime/Field.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/MsgId.h"
#include "Platform/Mime/TransferEncoding.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"
#include "Util/Text/CodePage.h"

using Ostrel::Util::CharsetUtil;

namespace {

constexpr ULONG kTagMethod = 0x37050003;
constexpr ULONG kTagContentId = 0x3712001E;
constexpr ULONG kTagLongFileName = 0x3707001E;
constexpr ULONG kTagFileName = 0x3704001E;
constexpr ULONG kTagMimeTag = 0x370E001E;
constexpr ULONG kTagDisplayName = 0x3001001E;
constexpr ULONG kTagContentLocation = 0x3713001E;
constexpr ULONG kTagDisposition = 0x3716001E;
constexpr ULONG kTagExtension = 0x3703001E;
constexpr ULONG kTagData = 0x37010102;

// Types for common extensions when the registry names none.
constexpr std::pair<const wchar_t*, const char*> kKnownTypes[] = {
    {L".txt", "text/plain"},
    {L".htm", "text/html"},
    {L".html", "text/html"},
    {L".csv", "text/csv"},
    {L".ics", "text/calendar"},
    {L".vcf", "text/x-vcard"},
    {L".pdf", "application/pdf"},
    {L".zip", "application/zip"},
    {L".xml", "text/xml"},
    {L".jpg", "image/jpeg"},
    {L".jpeg", "image/jpeg"},
    {L".png", "image/png"},
    {L".gif", "image/gif"},
    {L".bmp", "image/bmp"},
    {L".doc", "application/msword"},
    {L".xls", "application/vnd.ms-excel"},
    {L".ppt", "application/vnd.ms-powerpoint"},
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// "Content Type" of the extension's class key, the user's before the machine's.
std::string RegisteredType(const std::wstring& wsExtension) {
    if (wsExtension.empty())
        return std::string();
    for (HKEY hRoot : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(hRoot, (L"Software\\Classes\\" + wsExtension).c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            continue;
        std::wstring value;
        const LSTATUS status = Ostrel::Util::ReadRegString(hKey, L"Content Type", value);
        RegCloseKey(hKey);
        if (status == ERROR_SUCCESS && !value.empty())
            return Platform::ToUtf8(value);
    }
    const std::wstring lower = Lower(wsExtension);
    for (const auto& [pwszExtension, pszType] : kKnownTypes) {
        if (lower == pwszExtension)
            return pszType;
    }
    return std::string();
}

// type/subtype of a usable MIME tag; false for text a part cannot carry as its type.
bool SplitType(const std::string& tag, std::string& type, std::string& subtype) {
    const size_t slash = tag.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= tag.size())
        return false;
    type = tag.substr(0, slash);
    subtype = tag.substr(slash + 1);
    const size_t semicolon = subtype.find(';');
    if (semicolon != std::string::npos)
        subtype.erase(semicolon);
    for (const std::string* p : {&type, &subtype}) {
        for (char c : *p) {
            if (c <= ' ' || c >= 127 || std::strchr("()<>@,;:\\\"/[]?=", c))
                return false;
        }
    }
    return !subtype.empty();
}

}  // namespace

const std::vector<ULONG> AttachToMime::m_attachPropTags = {
    kTagMethod,      kTagContentId,       kTagLongFileName, kTagFileName,  kTagMimeTag,
    kTagDisplayName, kTagContentLocation, kTagDisposition,  kTagExtension, kTagData};
const unsigned char AttachToMime::m_BOM[5][4] = {
    {0x00, 0x00, 0xFE, 0xFF}, {0xFF, 0xFE, 0x00, 0x00}, {0xFE, 0xFF}, {0xFF, 0xFE}, {0xEF, 0xBB, 0xBF}};
const int AttachToMime::m_nBOMLength[5] = {4, 4, 2, 2, 3};
const char* const AttachToMime::m_pBOMCharSet[5] = {"UTF-32BE", "UTF-32LE", "UTF-16BE", "UTF-16LE", "UTF-8"};

AttachToMime::AttachToMime(IAttach* pAttach, UINT uiStringCodePage, int iDepth, IMimeConvertSupport* pSupport)
    : m_pAttach(pAttach), m_uiStringCodePage(uiStringCodePage), m_iDepth(iDepth), m_pSupport(pSupport) {}

AttachToMime::~AttachToMime() {
    MAPIFreeBuffer(m_pProps);
}

HRESULT AttachToMime::InitAttachToMime() {
    if (!m_pAttach)
        return E_INVALIDARG;
    LPSPropTagArray pTags = Ostrel::Convert::Fixup::NewTagArray(m_attachPropTags);
    if (!pTags)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr = m_pAttach->GetProps(pTags, 0, &m_cProps, &m_pProps);
    MAPIFreeBuffer(pTags);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to get attachment props: %x", hr);
        return hr;
    }
    // The data is used where it was read; large data may only be given as a stream.
    m_sData.clear();
    if (const SPropValue* p = PpropFindProp(m_pProps, m_cProps, kTagData)) {
        m_data = std::string_view(reinterpret_cast<const char*>(p->Value.bin.lpb), p->Value.bin.cb);
    } else {
        Ostrel::Convert::Fixup::GetBinaryProp(m_pAttach.Get(), PR_ATTACH_DATA_BIN, m_sData);
        m_data = m_sData;
    }
    return S_OK;
}

std::wstring AttachToMime::Text(ULONG ulTag) const {
    const SPropValue* p = PpropFindProp(m_pProps, m_cProps, ulTag);
    return p ? Ostrel::Convert::Fixup::StoreString8(p->Value.lpszA, m_uiStringCodePage) : std::wstring();
}

std::wstring AttachToMime::FileName() const {
    std::wstring name = Text(kTagLongFileName);
    return name.empty() ? Text(kTagFileName) : name;
}

const char* AttachToMime::SetBOM(const std::string& data) {
    for (int i = 0; i < 5; ++i) {
        if (data.size() >= static_cast<size_t>(m_nBOMLength[i]) &&
            std::memcmp(data.data(), m_BOM[i], static_cast<size_t>(m_nBOMLength[i])) == 0)
            return m_pBOMCharSet[i];
    }
    return nullptr;
}

void AttachToMime::SetContentId(mimepp::BodyPart& part) const {
    std::string id = Platform::ToUtf8(Text(kTagContentId));
    if (!id.empty() && id.front() == '<')
        id.erase(0, 1);
    if (!id.empty() && id.back() == '>')
        id.pop_back();
    if (id.empty())
        return;
    const size_t at = id.rfind('@');
    mimepp::MsgId& contentId = part.headers().contentId();
    contentId.setLocalPart(mimepp::String(id.substr(0, at)));
    if (at != std::string::npos)
        contentId.setDomain(mimepp::String(id.substr(at + 1)));
}

void AttachToMime::SetContentLocation(mimepp::BodyPart& part) const {
    const std::wstring location = Text(kTagContentLocation);
    if (!location.empty())
        part.headers().addField(mimepp::Field::newField(
            "Content-Location", mimepp::detail::OneLine(mimepp::String(Platform::ToUtf8(location)))));
}

void AttachToMime::SetDisposition(mimepp::BodyPart& part) const {
    const std::string type = Platform::ToUtf8(Text(kTagDisposition));
    mimepp::DispositionType& disposition = part.headers().contentDisposition();
    if (type.empty()) {
        disposition.setType(mimepp::DispositionType::ATTACHMENT);
    } else {
        disposition.setType(mimepp::String(type));
    }
    const std::wstring name = FileName();
    if (!name.empty())
        disposition.setFilename(mimepp::String(Platform::ToUtf8(name)));
}

void AttachToMime::SetContentType(mimepp::BodyPart& part) const {
    std::string type, subtype;
    if (!SplitType(Platform::ToUtf8(Text(kTagMimeTag)), type, subtype)) {
        std::wstring extension = Text(kTagExtension);
        const std::wstring name = FileName();
        if (extension.empty() && name.rfind(L'.') != std::wstring::npos)
            extension = name.substr(name.rfind(L'.'));
        if (!SplitType(RegisteredType(extension), type, subtype)) {
            type = "application";
            subtype = "octet-stream";
        }
    }
    // Data given as a file cannot be a container or a message part of its own.
    if (mimepp::Strcasecmp(mimepp::String(type), "multipart") == 0 ||
        mimepp::Strcasecmp(mimepp::String(type), "message") == 0) {
        type = "application";
        subtype = "octet-stream";
    }
    mimepp::MediaType& media = part.headers().contentType();
    media.setType(mimepp::String(type));
    media.setSubtype(mimepp::String(subtype));
    if (mimepp::Strcasecmp(mimepp::String(type), "text") == 0) {
        if (const char* pszCharset = SetBOM(std::string(m_data.substr(0, 4))))
            media.setCharset(pszCharset);
    }
    const std::wstring name = FileName();
    if (!name.empty())
        media.setName(mimepp::String(Platform::ToUtf8(name)));
}

HRESULT AttachToMime::AttachValueContent(mimepp::BodyPart& part) const {
    mimepp::MediaType& media = part.headers().contentType();
    const std::string contentType = media.type().str() + "/" + media.subtype().str();
    Ostrel::Util::MIME_ENCODING encoding = CharsetUtil::FindEncoding(contentType.c_str());
    mimepp::String encoded;
    if (!CharsetUtil::EncodeBody(encoding, m_data.data(), m_data.size(), encoded)) {
        encoding = Ostrel::Util::ME_BASE64;
        CharsetUtil::EncodeBody(encoding, m_data.data(), m_data.size(), encoded);
    }
    part.headers().contentTransferEncoding().fromEnum(CharsetUtil::TEFromME(encoding));
    part.body().setString(std::move(encoded));
    return S_OK;
}

HRESULT AttachToMime::AttachEmbeddedMsgContent(mimepp::BodyPart& part) const {
    Platform::ComPtr<IMessage> pEmbedded;
    HRESULT hr = m_pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                         reinterpret_cast<LPUNKNOWN*>(pEmbedded.AddressOf()));
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to open the embedded message: 0x%x", hr);
        return hr;
    }
    std::wstring wsClass;
    Ostrel::Convert::Fixup::GetUnicodeProp(pEmbedded.Get(), PR_MESSAGE_CLASS_W, wsClass);
    std::wstring name = Text(kTagDisplayName);
    if (name.empty())
        Ostrel::Convert::Fixup::GetUnicodeProp(pEmbedded.Get(), PR_SUBJECT_W, name);
    mimepp::MediaType& media = part.headers().contentType();
    const Ostrel::Mapi::ContactToVCard toVCard = Ostrel::Mapi::GetContactAttachmentConverter();
    std::string vcard;
    if (Ostrel::Convert::Fixup::StartsWithNoCase(wsClass, L"IPM.CONTACT") && toVCard) {
        hr = toVCard(pEmbedded.Get(), vcard);
        if (FAILED(hr))
            OSTLOG_ERROR(L"Failed to convert vCard : 0x%x", hr);
    }
    if (!vcard.empty()) {
        // The vCard text is UTF-8; it is labelled so, and encoded when it is not plain ASCII.
        media.setType("text");
        media.setSubtype("x-vcard");
        media.setCharset("utf-8");
        const std::string fileName = Platform::ToUtf8(name.empty() ? L"contact" : name) + ".vcf";
        media.setName(mimepp::String(fileName));
        part.headers().contentDisposition().setFilename(mimepp::String(fileName));
        const auto encoding = CharsetUtil::FindBestEncoding(vcard.data(), static_cast<int>(vcard.size()), false, false);
        mimepp::String encoded;
        CharsetUtil::EncodeBody(encoding, vcard.data(), vcard.size(), encoded);
        part.headers().contentTransferEncoding().fromEnum(CharsetUtil::TEFromME(encoding));
        part.body().setString(std::move(encoded));
    } else {
        if (m_iDepth + 1 > MapiMessageWrapper::kMaxEmbeddedDepth) {
            OSTLOG_ERROR(L"embedded messages nested too deep: %d", m_iDepth + 1);
            return MAPI_E_TOO_COMPLEX;
        }
        mimepp::Message inner;
        MapiToMimeConverter converter(inner, m_pSupport, m_iDepth + 1);
        hr = converter.Convert(pEmbedded.Get());
        if (FAILED(hr))
            return hr;
        inner.assemble();
        media.setType("message");
        media.setSubtype("rfc822");
        part.headers().contentTransferEncoding().fromEnum(mimepp::TransferEncodingType::SEVEN_BIT);
        part.body().setString(inner.takeString());
    }
    part.headers().contentDisposition().setType(mimepp::DispositionType::ATTACHMENT);
    return S_OK;
}

mimepp::BodyPart* AttachToMime::ToMimePart(HRESULT* phr) {
    auto part = std::unique_ptr<mimepp::BodyPart>(mimepp::BodyPart::newBodyPart());
    SetContentId(*part);
    SetContentLocation(*part);
    SetDisposition(*part);
    HRESULT hr = S_OK;
    const SPropValue* pMethod = PpropFindProp(m_pProps, m_cProps, kTagMethod);
    if (pMethod && static_cast<ULONG>(pMethod->Value.l) == ATTACH_EMBEDDED_MSG) {
        hr = AttachEmbeddedMsgContent(*part);
    } else {
        SetContentType(*part);
        hr = AttachValueContent(*part);
    }
    if (phr)
        *phr = hr;
    return SUCCEEDED(hr) ? part.release() : nullptr;
}
