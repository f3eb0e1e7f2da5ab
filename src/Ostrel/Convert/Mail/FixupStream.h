// What the message fix-ups share: the MIME text of a stream read whole and written back, a new
// stream for a text, a message's recipient rows, and single properties.
#pragma once

#include <string>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mime/Entity.h"

namespace Ostrel::Convert::Fixup {

// The stream's whole content from its start; the stream is left at its end.
HRESULT ReadWholeStream(IStream* pStream, std::string& sText);
// The stream's header block from its start (up to and including the empty line that ends it, or
// all of a text without one); the stream is left after what was read.
HRESULT ReadHeaderBlock(IStream* pStream, std::string& sHeaders);
// Replaces the stream's content with the text (from the start, cut to its length) and moves back to
// the start. Every write is checked.
HRESULT RewriteStream(IStream* pStream, const std::string& sText);
// RewriteStream with the new text; when that fails, the old text is written back so that the
// stream is not left half rewritten. Returns the failure of the first attempt.
HRESULT RewriteOrRestore(IStream* pStream, const std::string& sNew, const std::string& sOld);
// A new stream holding the text, at its start: in memory up to 1,000,000 bytes, beyond that a
// temporary file (prefix "osn") that goes with the stream.
HRESULT NewStreamWithText(const std::string& sText, IStream** ppStream);

// SetThreadTopic with the conversation topic already read (empty: the subject is used).
HRESULT SetThreadTopicWithTopic(IStream** ppStream, unsigned int& size, const std::wstring& wsTopic);
// MtgRequestFix with the message class already read.
HRESULT MtgRequestFixForClass(IMessage* pMessage, const std::wstring& wsClass, IStream** ppStream, unsigned int& size,
                              const wchar_t* pwszSenderAddress, const wchar_t* pwszOrganizerAddress);

// The header block of a MIME text (up to and including the empty line that ends it) and the rest.
struct HeaderSplit {
    std::string sHeaders;
    std::string sRest;
};
HeaderSplit SplitHeaderBlock(const std::string& sMime);
// The text with the parsed (and possibly changed) header block put back in front of the rest.
std::string JoinHeaderBlock(mimepp::Message& headersOnly, const std::string& sRest);

struct RecipientRow {
    LONG lType = 0;
    std::wstring wsName;
    std::wstring wsAddrType;
    std::wstring wsAddress;  // the SMTP address when one is known, else the stored address
};
// The message's recipients (only those of lOnlyType when it is not -1), at most 65,535.
HRESULT ReadRecipientRows(IMessage* pMessage, std::vector<RecipientRow>& rows, LONG lOnlyType = -1);

// Single properties; false when absent or unreadable.
bool GetLongProp(IMAPIProp* pProp, ULONG ulTag, LONG& lValue);
bool GetUnicodeProp(IMAPIProp* pProp, ULONG ulTag, std::wstring& wsValue);
bool GetBinaryProp(IMAPIProp* pProp, ULONG ulTag, std::string& sValue);

// An 8-bit string property's text. The store keeps values written as Unicode as UTF-8 and gives
// those bytes back for an 8-bit read; bytes that are not UTF-8 were written in the code page the
// message names (uiCodePage) and are converted from it.
std::wstring StoreString8(const char* pszBytes, UINT uiCodePage);

// The tags as an SPropTagArray in a MAPI buffer (freed with MAPIFreeBuffer), or null.
LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags);

// ASCII case-insensitive prefix test.
bool StartsWithNoCase(const std::wstring& wsText, const wchar_t* pwszPrefix);

}  // namespace Ostrel::Convert::Fixup
