#include "Ostrel/Rpc/Transport/Download.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

constexpr int kReauthBudget = 4;
constexpr ULONG kPiece = 0x10000;

// Feeds the downloaded content to `consume` piece by piece from the body or the spool file.
bool ForEachPiece(const std::string& body, IStream* pStream, bool bIsStream,
                  const std::function<bool(const char*, ULONG)>& consume) {
    if (!bIsStream) {
        for (size_t off = 0; off < body.size(); off += kPiece)
            if (!consume(body.data() + off, static_cast<ULONG>(std::min<size_t>(kPiece, body.size() - off))))
                return false;
        return true;
    }
    if (!pStream) {
        OSTLOG_ERROR(L"bUseFile TRUE but iStream NULL");
        return false;
    }
    LARGE_INTEGER zero{};
    if (HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr); FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to Seek in IStream: %x", static_cast<unsigned>(hr));
        return false;
    }
    std::string buffer(kPiece, '\0');
    for (;;) {
        ULONG cbRead = 0;
        HRESULT hr = pStream->Read(buffer.data(), kPiece, &cbRead);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"Failed to Read from IStream: %x", static_cast<unsigned>(hr));
            return false;
        }
        if (cbRead == 0)
            return true;
        if (!consume(buffer.data(), cbRead))
            return false;
    }
}

struct Fetched {
    std::string body;
    Platform::ComPtr<IStream> stream;
    bool bIsStream = false;
};

// Downloads and checks the content against what the server said; throws on disagreement.
Fetched FetchChecked(OstrelConnection& oc, const wchar_t* pwszUrl, const DownloadExpectation& expect,
                     const char* pszFunction, int iLine) {
    Fetched fetched;
    DoGetSynchronousUsingSessAuthTokOC(oc, pwszUrl, nullptr, fetched.body, *fetched.stream.AddressOf(),
                                       fetched.bIsStream, false, pszFunction, iLine);
    ULONGLONG ullSize = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    bool bRead = ForEachPiece(fetched.body, fetched.stream.Get(), fetched.bIsStream, [&](const char* p, ULONG cb) {
        ullSize += cb;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(p), cb);
        return true;
    });
    if (!bRead)
        throw FileDownloadFaultException("the downloaded content could not be read back");
    if (expect.ullSize && *expect.ullSize != ullSize) {
        OSTLOG_ERROR(L"download of %s: %llu bytes where the server said %llu; refused", pwszUrl, ullSize,
                     *expect.ullSize);
        throw FileDownloadFaultException("the downloaded content has not the size the server gave");
    }
    if (expect.ulCrc32 && *expect.ulCrc32 != static_cast<uint32_t>(crc)) {
        OSTLOG_ERROR(L"download of %s: checksum %08x where the server said %08x; refused", pwszUrl,
                     static_cast<unsigned>(crc), static_cast<unsigned>(*expect.ulCrc32));
        throw FileDownloadFaultException("the downloaded content has not the checksum the server gave");
    }
    return fetched;
}

// Removes the temporary file unless released.
class TempFile {
public:
    explicit TempFile(const std::filesystem::path& target) {
        std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
        m_path.assign(pattern.begin(), pattern.end());
        m_path.push_back('\0');
        m_fd = mkostemp(m_path.data(), O_CLOEXEC | O_NOFOLLOW);
    }
    ~TempFile() {
        if (m_fd >= 0)
            close(m_fd);
        if (!m_bKept && m_fd >= 0)
            unlink(m_path.data());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Fd() const { return m_fd; }
    const char* Path() const { return m_path.data(); }
    bool Write(const char* p, size_t cb) {
        while (cb > 0) {
            ssize_t n = write(m_fd, p, cb);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                OSTLOG_ERROR(L"WriteFile() failed: %d", errno);
                return false;
            }
            p += n;
            cb -= static_cast<size_t>(n);
        }
        return true;
    }
    // Flushes and renames over the target; the file is then no longer removed.
    bool Commit(const std::filesystem::path& target) {
        if (fsync(m_fd) != 0 || close(m_fd) != 0) {
            m_fd = -1;
            unlink(m_path.data());
            return false;
        }
        m_fd = -1;
        if (rename(m_path.data(), target.c_str()) != 0) {
            unlink(m_path.data());
            return false;
        }
        m_bKept = true;
        return true;
    }

private:
    std::vector<char> m_path;
    int m_fd = -1;
    bool m_bKept = false;
};

}  // namespace

namespace {

// The session's token as the download's cookie, with the caller's headers after it.
std::wstring TokenHeaders(IConnectionSession* pSession, const wchar_t* pwszHeaders) {
    std::wstring wsToken = pSession ? pSession->AuthToken() : std::wstring();
    if (wsToken.find_first_of(L"\r\n") != std::wstring::npos)
        throw FileDownloadFaultException("the session's token cannot go into a header");
    std::wstring wsHeaders = L"Cookie: OS_AUTH_TOKEN=" + wsToken;
    if (pwszHeaders && *pwszHeaders)
        wsHeaders += std::wstring(L"\r\n") + pwszHeaders;
    return wsHeaders;
}

}  // namespace

void DoGetSynchronousUsingSessAuthTokOC(OstrelConnection& oc, const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                                        std::string& body, IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                        const char* pszFunction, int iLine) {
    IConnectionSession* pSession = oc.GetUserSession();
    for (int reauth = kReauthBudget;; --reauth) {
        std::wstring wsHeaders = TokenHeaders(pSession, pwszHeaders);
        try {
            oc.DoGetSynchronousOC(pwszUrl, wsHeaders.c_str(), body, pStream, bIsStream, bConvertLineEnds, pszFunction,
                                  iLine);
            return;
        } catch (const FileDownloadFaultException& e) {
            if (e.StatusCode() != 401 || reauth <= 0 || !pSession)
                throw;
            OSTLOG_WARN(L"authtoken expired. Going to InvalidateAuthToken ...");
            pSession->InvalidateAuthToken(1);
        }
    }
}

void DoGetAsyncOC(OstrelConnection& oc, const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                  std::shared_ptr<AsyncStopEvent> pStop, ISequentialStream*& pStream, ProgressCallback progress,
                  const char* pszFunction, int iLine) {
    pStream = nullptr;
    IConnectionSession* pSession = oc.GetUserSession();
    Connection* pConnection = oc.GetAdminConnection() ? oc.GetAdminConnection() : oc.GetConnection();
    for (int reauth = kReauthBudget;; --reauth) {
        std::wstring wsHeaders = TokenHeaders(pSession, pwszHeaders);
        Platform::ComPtr<ISequentialStream> stream;
        pConnection->DoGetAsynchronous(pwszUrl, wsHeaders.c_str(), pStop, *stream.AddressOf(), progress, pszFunction,
                                       iLine);
        if (AwaitAsyncStatus(stream.Get()) != 401 || reauth <= 0 || !pSession) {
            pStream = stream.Detach();
            return;
        }
        OSTLOG_WARN(L"authtoken expired. Going to InvalidateAuthToken ...");
        pSession->InvalidateAuthToken(1);
    }
}

ULONGLONG DownloadToStream(OstrelConnection& oc, const wchar_t* pwszUrl, IStream* pTarget,
                           const DownloadExpectation& expect, const char* pszFunction, int iLine) {
    if (!pTarget)
        throw FileDownloadFaultException("no stream to download into");
    Fetched fetched = FetchChecked(oc, pwszUrl, expect, pszFunction, iLine);
    ULONGLONG ullWritten = 0;
    bool bOk = ForEachPiece(fetched.body, fetched.stream.Get(), fetched.bIsStream, [&](const char* p, ULONG cb) {
        ULONG cbDone = 0;
        if (FAILED(pTarget->Write(p, cb, &cbDone)) || cbDone != cb)
            return false;
        ullWritten += cb;
        return true;
    });
    if (!bOk)
        throw FileDownloadFaultException("the downloaded content could not be written to the stream");
    return ullWritten;
}

ULONGLONG DownloadToFile(OstrelConnection& oc, const wchar_t* pwszUrl, const std::filesystem::path& target,
                         const DownloadExpectation& expect, const char* pszFunction, int iLine) {
    Fetched fetched = FetchChecked(oc, pwszUrl, expect, pszFunction, iLine);
    TempFile file(target);
    if (file.Fd() < 0) {
        OSTLOG_ERROR(L"Could not open the file for writing");
        throw FileDownloadFaultException("the downloaded content could not be stored");
    }
    ULONGLONG ullWritten = 0;
    bool bOk = ForEachPiece(fetched.body, fetched.stream.Get(), fetched.bIsStream, [&](const char* p, ULONG cb) {
        ullWritten += cb;
        return file.Write(p, cb);
    });
    if (!bOk || !file.Commit(target))
        throw FileDownloadFaultException("the downloaded content could not be stored");
    OSTLOG_INFO(4, L"%d bytes written to image file", static_cast<int>(ullWritten));
    return ullWritten;
}

std::wstring EncodePathSegment(const wchar_t* pwszName) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string utf8 = Platform::ToUtf8(pwszName ? pwszName : L"");
    std::wstring encoded;
    for (unsigned char c : utf8) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
            c == '~' || (c == '.' && utf8 != "." && utf8 != "..")) {
            encoded += static_cast<wchar_t>(c);
        } else {
            encoded += L'%';
            encoded += static_cast<wchar_t>(kHex[c >> 4]);
            encoded += static_cast<wchar_t>(kHex[c & 15]);
        }
    }
    return encoded;
}

int GetImgFileFromOSV(OstrelConnection& oc, const wchar_t* pwszName, const std::filesystem::path& target) {
    IConnectionSession* pSession = oc.GetUserSession();
    if (!pSession || pSession->AuthToken().empty()) {
        OSTLOG_ERROR(L"No auth token.");
        return 0;
    }
    std::wstring wsUrl = L"/home/~/Briefcase/" + EncodePathSegment(pwszName);
    OSTLOG_INFO(4, L"Image file request URL = '%s'", wsUrl.c_str());
    try {
        DownloadToFile(oc, wsUrl.c_str(), target, DownloadExpectation{}, __func__, __LINE__);
        return 1;
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"fetching '%s' from the briefcase failed: %s", pwszName ? pwszName : L"", e.ExcepText());
        return 0;
    }
}

}  // namespace Ostrel::Rpc
