// Downloads with the session's token, into a caller's stream or a local file, checked against
// the size and checksum the caller learnt from the server. The body goes from the wire straight
// into the file (or a self-deleting spool file for a stream), so memory use stays flat whatever
// the size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Ostrel/Rpc/Transport/Connection.h"

namespace Ostrel::Rpc {

class OstrelConnection;

// What the server said of the content (e.g. in the item's metadata); unset values are not checked.
struct DownloadExpectation {
    std::optional<ULONGLONG> ullSize;
    std::optional<uint32_t> ulCrc32;  // zlib's CRC-32 of the content
};

// A GET with "Cookie: OS_AUTH_TOKEN=<token>" (and `pwszHeaders` after it): on status 401 the
// token is invalidated as expired and the download sent again, at most 4 times; other failures
// are thrown as DoGetSynchronous throws them.
void DoGetSynchronousUsingSessAuthTokOC(OstrelConnection& oc, const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                                        std::string& body, IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                        const char* pszFunction, int iLine);

// The asynchronous download with the session's token, on the admin connection when there is one,
// else on the connection. The stream is handed over once the reply's status is known, so that a
// rejected token (401) is invalidated as expired and the download sent again, at most 4 times;
// any other failure reaches the caller through the stream's Read, as with DoGetAsynchronous.
void DoGetAsyncOC(OstrelConnection& oc, const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                  std::shared_ptr<AsyncStopEvent> pStop, ISequentialStream*& pStream, ProgressCallback progress,
                  const char* pszFunction, int iLine);

// Downloads `pwszUrl` and appends it to `pTarget`. The content is checked before anything is
// written: a size or checksum that disagrees throws FileDownloadFaultException and leaves the
// target as it was. Returns the number of bytes written.
ULONGLONG DownloadToStream(OstrelConnection& oc, const wchar_t* pwszUrl, IStream* pTarget,
                           const DownloadExpectation& expect, const char* pszFunction, int iLine);

// Downloads `pwszUrl` into `target`: written as it arrives to a new temporary file beside it
// (created exclusively, not following links, mode 0600), checked, flushed and then renamed over
// the target. On any failure the temporary file is removed and the target is untouched.
ULONGLONG DownloadToFile(OstrelConnection& oc, const wchar_t* pwszUrl, const std::filesystem::path& target,
                         const DownloadExpectation& expect, const char* pszFunction, int iLine);

// The Briefcase document `pwszName` into `target` (GetImgFileFromOSV). Non-zero on success;
// failures are logged. The name is percent-encoded into the path, so it cannot leave the folder.
int GetImgFileFromOSV(OstrelConnection& oc, const wchar_t* pwszName, const std::filesystem::path& target);

// A name as one percent-encoded URL path segment (UTF-8).
std::wstring EncodePathSegment(const wchar_t* pwszName);

}  // namespace Ostrel::Rpc
