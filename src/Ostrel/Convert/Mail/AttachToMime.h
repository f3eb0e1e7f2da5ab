// One attachment of a store message as a MIME body part: a file with its type, disposition, names
// and content, or an embedded message (a vCard for a contact, message/rfc822 for any other).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Ostrel/Convert/Mail/MimeConvertSupport.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mime/Entity.h"

class AttachToMime {
public:
    static const std::vector<ULONG> m_attachPropTags;
    // Byte-order marks and the charsets they announce, longest first where one begins another.
    static const unsigned char m_BOM[5][4];
    static const int m_nBOMLength[5];
    static const char* const m_pBOMCharSet[5];

    // uiStringCodePage: the code page the 8-bit properties are stored in. iDepth: how deep the
    // attachment's message is embedded (0 for the message being sent).
    AttachToMime(IAttach* pAttach, UINT uiStringCodePage, int iDepth, IMimeConvertSupport* pSupport);
    ~AttachToMime();
    AttachToMime(const AttachToMime&) = delete;
    AttachToMime& operator=(const AttachToMime&) = delete;

    HRESULT InitAttachToMime();
    // A new part owned by the caller, or null (*phr tells why).
    mimepp::BodyPart* ToMimePart(HRESULT* phr = nullptr);

    // The charset a byte-order mark at the start of the data announces, or null.
    static const char* SetBOM(const std::string& data);

private:
    std::wstring Text(ULONG ulTag) const;
    std::wstring FileName() const;
    void SetContentId(mimepp::BodyPart& part) const;
    void SetContentLocation(mimepp::BodyPart& part) const;
    void SetDisposition(mimepp::BodyPart& part) const;
    void SetContentType(mimepp::BodyPart& part) const;
    HRESULT AttachValueContent(mimepp::BodyPart& part) const;
    HRESULT AttachEmbeddedMsgContent(mimepp::BodyPart& part) const;

    Platform::ComPtr<IAttach> m_pAttach;
    UINT m_uiStringCodePage;
    int m_iDepth;
    IMimeConvertSupport* m_pSupport;
    LPSPropValue m_pProps = nullptr;
    ULONG m_cProps = 0;
    std::string_view m_data;  // in m_pProps, or in m_sData when it was read as a stream
    std::string m_sData;
};
