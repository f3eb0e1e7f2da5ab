// The metadata the server sends ahead of each message of a download: one element such as
// <m id="12" l="2" f="su" t="3,7" tn="Work,Home" d="1700000000123" cid="5" .../>.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Convert {

struct IncomingMeta {
    LONG lId = 0;
    // The attribute texts as the server writes them (UTF-8), empty when absent.
    std::string sFlags;     // f: flag letters
    std::string sTagIds;    // t: comma-separated tag ids
    std::string sTagNames;  // tn: comma-separated tag names
    std::string sReceived;  // d: received time, milliseconds since 1970
    std::string sConvId;    // cid: conversation id
};

// Reads one metadata entry. False, with the reason in wsError, when the text is not XML, its
// element is not a message's, or the id is missing or not a 32-bit number.
bool ParseIncomingMeta(std::string_view bytes, IncomingMeta& meta, std::wstring& wsError);

}  // namespace Ostrel::Convert
