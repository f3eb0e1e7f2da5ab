// Finding one part of a stored MIME message by its part number, for the content download: "1",
// "2", "2.1" ... numbered as IMAP does (the body of a single-part message is part 1; the parts of
// an attached message continue below its number). The content comes back decoded from base64 or
// quoted-printable. Hostile input is bounded: nesting deeper than kMaxDepth is not followed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OstrelServer {

struct MimePart {
    std::string contentType;  // "type/subtype" in lower case; "text/plain" when the part names none
    std::string fileName;     // the filename (or name) parameter; may be empty
    std::string content;      // decoded
};

inline constexpr int kMaxMimeDepth = 32;

// The part, or nothing when `path` is malformed or names no part.
std::optional<MimePart> FindMimePart(std::string_view mime, std::string_view path);

}  // namespace OstrelServer
