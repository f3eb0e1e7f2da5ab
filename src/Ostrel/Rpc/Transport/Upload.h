// Uploads to the server's upload service: the multipart/form-data writer (Rfc1876Helper), one
// upload and its answer on a connection, and the upload with the facade's session token,
// re-authentication and throttling retries. The file content streams from an IStream through one
// 1 MiB buffer; the whole file is never held in memory.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Ostrel/Rpc/Transport/Connection.h"

namespace Ostrel::Rpc {

class OstrelConnection;

// The client id the upload service echoes in its answer.
inline constexpr const char* kUploadClientId = "krrpc32-client-id";

class Rfc1876Helper {
public:
    static constexpr DWORD kBufferSize = 0x100000;

    explicit Rfc1876Helper(Connection& connection) : m_connection(connection) {}

    // Writes one upload of `ullSize` bytes from the start of `pStream` (the caller has configured
    // nothing; this opens the request). `pszPreamble` null gives the default file part headers.
    // Non-zero on success; on failure the reason is logged and nothing of the request is left open.
    int DoPutSynchronous(const wchar_t* pwszAuthToken, IStream* pStream, ULONGLONG ullSize, const wchar_t* pwszUrl,
                         const char* pszPreamble);

    // A new boundary: "--B-00=_", four characters of the time in seconds, sixteen pseudo-random
    // ones. Every character is one a boundary may hold.
    static std::string NewBoundary();
    // The headers of a file part for `fileName` (UTF-8), ending with the empty line. The name goes
    // into `filename` with quotes, backslashes, control and non-ASCII characters replaced by '_',
    // and, when anything was replaced, whole and first into `filename*` (UTF-8, percent-encoded),
    // so that no name can end the header or add one. False (nothing written) when the field name or the
    // content type is not a plain token.
    static bool BuildFilePreamble(std::string_view fieldName, std::string_view fileName, std::string_view contentType,
                                  std::string& preamble);
    // A caller's preamble is used only when its lines end with CR LF, it holds no other CR or LF
    // and it ends with the empty line.
    static bool IsSafePreamble(std::string_view preamble);

    const std::string& GetBoundary() const { return m_sBoundary; }
    void SetBoundary(std::string sBoundary) { m_sBoundary = std::move(sBoundary); }

    // Streams the whole body (request-id part, file part with `preamble`, closing boundary) with
    // the current boundary through `write`, in pieces of at most `cbMaxWrite` bytes. False when
    // the stream cannot be read or `write` fails.
    using BodyWriter = std::function<bool(const char* pData, DWORD cbData)>;
    bool StreamBody(IStream* pStream, ULONGLONG ullSize, std::string_view preamble, DWORD cbMaxWrite,
                    const BodyWriter& write);

private:
    std::string Head(std::string_view preamble) const;
    std::string Tail() const;
    bool Fill(IStream* pStream, size_t cbFrom, ULONGLONG ullWanted, ULONGLONG& ullRead, size_t& cbFilled);

    Connection& m_connection;
    std::string m_sBoundary;
    std::string m_buffer;  // allocated on first use and kept
};

// The answer of the upload service: "status,'client id','upload id'".
struct UploadAnswer {
    std::string sStatus;    // the text before the first comma
    std::string sUploadId;  // empty when there is none
    bool bHasClientId = false;
};
UploadAnswer ParseUploadAnswer(std::string_view answer);

// The message of an HTML error page: the text of a <title> that starts with "Error". -1 when the
// text is not such a page (it does not start with "<html>"), else its length.
int ParseHtmlError(std::string_view text, std::string& sMessage);

// One upload and its answer on `connection`. Returns non-zero with the answer's body. Status 500
// and above throws NginxException; the fault headers throw ServiceFaultException.
int DoPutSynchronous(Connection& connection, const wchar_t* pwszAuthToken, IStream* pStream, ULONGLONG ullSize,
                     const wchar_t* pwszUrl, const char* pszPreamble, std::string& response, const char* pszFunction,
                     int iLine);

// An upload with the session's token: re-authenticates up to 4 times on an expired token, waits
// up to 15 times one second while the server throttles (DoSFilter), and lets the certificate
// decision grant a retry. Non-zero with the upload id; FileUploadFaultException when the answer
// is an error page or carries no id.
int DoPutSynchronousOC(OstrelConnection& oc, IStream* pStream, ULONGLONG ullSize, const wchar_t* pwszUrl,
                       std::wstring& wsUploadId, const char* pszPreamble, const char* pszFunction, int iLine);

}  // namespace Ostrel::Rpc
