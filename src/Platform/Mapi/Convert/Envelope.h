// The header block of a MIME message as MAPI properties: subject, addresses, dates, identifiers,
// importance and sensitivity, receipts, list headers, the transport headers and the headers kept
// as PS_INTERNET_HEADERS named properties.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Platform/Mapi/Convert/Addresses.h"
#include "Platform/Mapi/Convert/PropList.h"
#include "Platform/Mime/Headers.h"

namespace Platform::Mapi::Convert {

struct Recipient {
    Address address;
    LONG lType;  // MAPI_TO, MAPI_CC, MAPI_BCC
    // A recipient a delivery report speaks of: the MTA that answered and what it said.
    std::wstring wsRemoteMta;
    std::wstring wsSupplementaryInfo;
};

// The classification headers, taken only when X-Microsoft-Classified is "true".
struct Classification {
    bool bClassified = false;
    bool bKeep = false;
    std::wstring wsText;
    std::wstring wsDescription;
    std::wstring wsGuid;
};

struct Envelope {
    PropList props;
    std::vector<Recipient> recipients;
    std::vector<std::pair<std::wstring, std::wstring>> internetHeaders;  // lower-case name, value
    std::vector<std::wstring> keywords;
    Classification classification;
    std::wstring wsNormalizedSubject;
    bool bUnsent = false;   // "X-Unsent: 1"
    bool bDamaged = false;  // something could not be kept whole
};

// Transport headers longer than this are cut at a line end (the rest stays in the MIME text only).
constexpr size_t kMaxTransportHeaders = 1 << 20;
// At most this many headers become named properties, each name at most kMaxHeaderName long, so that
// a hostile message cannot fill the store's named-property space.
constexpr size_t kMaxInternetHeaders = 32;
constexpr size_t kMaxHeaderName = 64;
// Longer header values are cut (a 50 MB Subject gains nothing stored whole).
constexpr size_t kMaxHeaderValue = 64 * 1024;

// Reads the headers. bTopLevel: the message itself, not one embedded in it (only the top level keeps
// its transport headers).
void ReadEnvelope(mimepp::Headers& headers, IAddrBook* pAdrBook, ULONG ulFlags, bool bTopLevel, Envelope& out);

// The subject prefix ("RE: ") of a subject: one to three characters, none of them a digit, a blank or
// a colon, then a colon and any blanks; empty when there is none.
std::wstring SubjectPrefix(const std::wstring& subject);

FILETIME UnixToFileTime(int64_t seconds);

// Headers (lower-case names) with properties of their own or that describe the MIME structure:
// never kept as PS_INTERNET_HEADERS properties, nor written again from such properties.
bool IsMappedHeader(const std::string& lowerName);

// Transport headers of the sending organisation, dropped in both directions.
bool IsDroppedHeader(const std::string& lowerName);

// One of the five X-Microsoft-Class... headers (lower-case name).
bool IsClassificationHeader(const std::string& lowerName);

}  // namespace Platform::Mapi::Convert
