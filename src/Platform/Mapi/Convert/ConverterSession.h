// The host's MIME converter: IConverterSession turns MIME text into a MAPI message (MIMEToMAPI)
// and a MAPI message into MIME text (MAPIToMIMEStm), with the Windows names and values.
#pragma once

#include "Platform/Com/Stream.h"
#include "Platform/Mapi/MapiInterfaces.h"

inline constexpr CLSID CLSID_IConverterSession = {
    0x4e3a7680, 0xb77a, 0x11d0, {0x9d, 0xa5, 0x00, 0xc0, 0x4f, 0xd6, 0x56, 0x85}};
inline constexpr IID IID_IConverterSession = {
    0x4b401570, 0xb77b, 0x11d0, {0x9d, 0xa5, 0x00, 0xc0, 0x4f, 0xd6, 0x56, 0x85}};

// Conversion flags.
#define CCSF_SMTP ((ULONG)0x00000002)              // MIME text of Internet mail (always set)
#define CCSF_NOHEADERS ((ULONG)0x00000004)         // reading: leave out the outer message's headers
#define CCSF_USE_TNEF ((ULONG)0x00000010)          // writing: TNEF output (not offered: MAPI_E_NO_SUPPORT)
#define CCSF_INCLUDE_BCC ((ULONG)0x00000020)       // Bcc header and Bcc recipients, both ways
#define CCSF_8BITHEADERS ((ULONG)0x00000040)       // writing: raw UTF-8 header text instead of RFC 2047 words
#define CCSF_USE_RTF ((ULONG)0x00000080)           // RTF bodies (this store keeps none: accepted, no effect)
#define CCSF_PLAIN_TEXT_ONLY ((ULONG)0x00001000)   // writing: text/plain body only
#define CCSF_NO_MSGID ((ULONG)0x00004000)          // writing: no Message-ID header
#define CCSF_EMBEDDED_MESSAGE ((ULONG)0x00008000)  // unsent state carried in "X-Unsent: 1"

// Content transfer encoding of the outermost body (SetEncoding).
enum ENCODINGTYPE : ULONG {
    IET_BINARY = 0,
    IET_BASE64 = 1,
    IET_UUENCODE = 2,
    IET_QP = 3,
    IET_7BIT = 4,
    IET_8BIT = 5,
    IET_INETCSET = 6,
    IET_UNICODE = 7,
    IET_RFC1522 = 8,
    IET_ENCODED = 9,
    IET_CURRENT = 10,
    IET_UNKNOWN = 11,
};

// Output form (SetSaveFormat): MIME, or RFC 822 text with uuencoded attachments.
enum MIMESAVETYPE : ULONG { SAVE_RFC822 = 0, SAVE_RFC1521 = 1 };

// Which body texts SetCharset's charset is for: those of messages that name none (PR_INTERNET_CPID
// unset), or all of them.
enum CSETAPPLYTYPE : ULONG { CSET_APPLY_UNTAGGED = 0, CSET_APPLY_ALL = 1, CSET_APPLY_TAG_ALL = 2 };

struct IConverterSession : public IUnknown {
    // The address book that resolves addresses into entry ids; null: one-off entry ids only.
    virtual HRESULT SetAdrBook(LPADRBOOK pab) = 0;
    virtual HRESULT SetEncoding(ENCODINGTYPE et) = 0;
    // Fills the (empty) message from the MIME text of the stream, read from its current position,
    // and saves it with KEEP_OPEN_READWRITE. MAPI_W_PARTIAL_COMPLETION when parts of a damaged text
    // could not be read; what could be read is in the message.
    virtual HRESULT MIMEToMAPI(LPSTREAM pstm, LPMESSAGE pmsg, LPCSTR pszSrcSrv, ULONG ulFlags) = 0;
    // Writes the message as MIME text at the stream's current position.
    virtual HRESULT MAPIToMIMEStm(LPMESSAGE pmsg, LPSTREAM pstm, ULONG ulFlags) = 0;
    virtual HRESULT SetSaveFormat(MIMESAVETYPE mstSaveFormat) = 0;
    // Writing: plain text lines longer than ulWrapWidth characters go out wrapped as flowed text
    // (format=flowed), which readers join again; FALSE turns wrapping off (the default).
    virtual HRESULT SetTextWrapping(BOOL fWrapText, ULONG ulWrapWidth) = 0;
    // Writing: the charset of the body texts (an IANA name such as "iso-8859-1"); a text the charset
    // cannot carry goes out in UTF-8. fApply FALSE returns to the message's own charset.
    virtual HRESULT SetCharset(BOOL fApply, LPCSTR pszCharset, CSETAPPLYTYPE csetapplytype) = 0;
};
typedef IConverterSession* LPCONVERTERSESSION;

namespace Platform {
template <>
struct InterfaceId<IConverterSession> {
    static const IID& Get() { return IID_IConverterSession; }
};
}  // namespace Platform

namespace Platform::Mapi {

// A new converter session with one reference (what CoCreateInstance of CLSID_IConverterSession gives
// on Windows).
HRESULT CreateConverterSession(IConverterSession** ppSession);

}  // namespace Platform::Mapi
