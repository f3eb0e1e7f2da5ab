#include "Ostrel/Rpc/Transport/Download.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/FileStream.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

constexpr int kReauthBudget = 4;
// Copies from the spool file go in pieces of this size.
constexpr ULONG kCopyPiece = 0x100000;
// Written content is handed to the disk in the background every this many bytes, so that the
// flush before the rename has little left to wait for.
constexpr ULONGLONG kWritebackEvery = 8u << 20;

// Size and, when the server gave one to check against, CRC-32 of the content as it passes.
struct Tally {
    explicit Tally(const DownloadExpectation& expect) : bCrc(expect.ulCrc32.has_value()) {}
    ULONGLONG ullSize = 0;
    bool bCrc;
    uLong crc = crc32(0L, Z_NULL, 0);
    void Add(const char* p, DWORD cb) {
        ullSize += cb;
        if (bCrc)
            crc = crc32(crc, reinterpret_cast<const Bytef*>(p), cb);
    }
};

// Throws when the content is not what the server said it would be.
void CheckAgainst(const DownloadExpectation& expect, const Tally& tally, const wchar_t* pwszUrl) {
    if (expect.ullSize && *expect.ullSize != tally.ullSize) {
        OSTLOG_ERROR(L"download of %s: %llu bytes where the server said %llu; refused", pwszUrl, tally.ullSize,
                     *expect.ullSize);
        throw FileDownloadFaultException("the downloaded content has not the size the server gave");
    }
    if (expect.ulCrc32 && *expect.ulCrc32 != static_cast<uint32_t>(tally.crc)) {
        OSTLOG_ERROR(L"download of %s: checksum %08x where the server said %08x; refused", pwszUrl,
                     static_cast<unsigned>(tally.crc), static_cast<unsigned>(*expect.ulCrc32));
        throw FileDownloadFaultException("the downloaded content has not the checksum the server gave");
    }
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
            m_ullWritten += static_cast<ULONGLONG>(n);
        }
        if (m_ullWritten - m_ullStarted >= kWritebackEvery) {
            sync_file_range(m_fd, static_cast<off_t>(m_ullStarted), static_cast<off_t>(m_ullWritten - m_ullStarted),
                            SYNC_FILE_RANGE_WRITE);
            m_ullStarted = m_ullWritten;
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
    ULONGLONG m_ullWritten = 0;
    ULONGLONG m_ullStarted = 0;  // written before this offset: handed to the disk already
};

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

// Runs `get(connection, headers)` with the session's token on the connection downloads use (the
// admin connection when there is one); a 401 invalidates the token as expired and runs it again,
// at most 4 times.
template <class Get>
void WithSessionToken(OstrelConnection& oc, const wchar_t* pwszHeaders, Get get) {
    IConnectionSession* pSession = oc.GetUserSession();
    Connection& connection = oc.GetAdminConnection() ? *oc.GetAdminConnection() : *oc.GetConnection();
    for (int reauth = kReauthBudget;; --reauth) {
        std::wstring wsHeaders = TokenHeaders(pSession, pwszHeaders);
        try {
            get(connection, wsHeaders.c_str());
            return;
        } catch (const FileDownloadFaultException& e) {
            if (e.StatusCode() != 401 || reauth <= 0 || !pSession)
                throw;
            OSTLOG_WARN(L"authtoken expired. Going to InvalidateAuthToken ...");
            pSession->InvalidateAuthToken(1);
        }
    }
}

// Downloads `pwszUrl` into `consume` with the session's token. A refusal of `consume` (its own
// failure, which it has logged) is thrown as FileDownloadFaultException with `pszWhy`.
void DownloadTo(OstrelConnection& oc, const wchar_t* pwszUrl, const Connection::BodyConsumer& consume,
                const char* pszWhy, const char* pszFunction, int iLine) {
    bool bRefused = false;
    auto guarded = [&](const char* p, DWORD cb) { return consume(p, cb) || (bRefused = true, false); };
    try {
        WithSessionToken(oc, nullptr, [&](Connection& connection, const wchar_t* pwszHeaders) {
            connection.DoGetSynchronousTo(pwszUrl, pwszHeaders, guarded, pszFunction, iLine);
        });
    } catch (const WinHttpException&) {
        if (bRefused)
            throw FileDownloadFaultException(pszWhy);
        throw;
    }
}

}  // namespace

void DoGetSynchronousUsingSessAuthTokOC(OstrelConnection& oc, const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                                        std::string& body, IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                        const char* pszFunction, int iLine) {
    WithSessionToken(oc, pwszHeaders, [&](Connection& connection, const wchar_t* pwszAllHeaders) {
        connection.DoGetSynchronous(pwszUrl, pwszAllHeaders, body, pStream, bIsStream, bConvertLineEnds, pszFunction,
                                    iLine);
    });
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
    // The content waits in a self-deleting file until it has been checked.
    Platform::ComPtr<IStream> spool;
    if (HRESULT hr = Platform::CreateUniqueFileStream({}, "osn", true, spool.AddressOf()); FAILED(hr)) {
        OSTLOG_ERROR(L"cannot create a temporary file for the download: %08X", static_cast<unsigned>(hr));
        throw FileDownloadFaultException("the downloaded content could not be stored");
    }
    Tally tally(expect);
    DownloadTo(
        oc, pwszUrl,
        [&](const char* p, DWORD cb) {
            ULONG cbDone = 0;
            HRESULT hr = spool->Write(p, cb, &cbDone);
            if (FAILED(hr) || cbDone != cb) {
                OSTLOG_ERROR(L"cannot write the download to its temporary file: %08X", static_cast<unsigned>(hr));
                return false;
            }
            tally.Add(p, cb);
            return true;
        },
        "the downloaded content could not be stored", pszFunction, iLine);
    CheckAgainst(expect, tally, pwszUrl);

    LARGE_INTEGER zero{};
    if (HRESULT hr = spool->Seek(zero, STREAM_SEEK_SET, nullptr); FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to Seek in IStream: %x", static_cast<unsigned>(hr));
        throw FileDownloadFaultException("the downloaded content could not be read back");
    }
    std::unique_ptr<char[]> buffer(new char[kCopyPiece]);
    ULONGLONG ullWritten = 0;
    while (ullWritten < tally.ullSize) {
        ULONG cbRead = 0;
        HRESULT hr = spool->Read(buffer.get(), kCopyPiece, &cbRead);
        if (FAILED(hr) || cbRead == 0) {
            OSTLOG_ERROR(L"Failed to Read from IStream: %x", static_cast<unsigned>(hr));
            throw FileDownloadFaultException("the downloaded content could not be read back");
        }
        ULONG cbDone = 0;
        if (FAILED(pTarget->Write(buffer.get(), cbRead, &cbDone)) || cbDone != cbRead)
            throw FileDownloadFaultException("the downloaded content could not be written to the stream");
        ullWritten += cbRead;
    }
    return ullWritten;
}

ULONGLONG DownloadToFile(OstrelConnection& oc, const wchar_t* pwszUrl, const std::filesystem::path& target,
                         const DownloadExpectation& expect, const char* pszFunction, int iLine) {
    TempFile file(target);
    if (file.Fd() < 0) {
        OSTLOG_ERROR(L"Could not open the file for writing");
        throw FileDownloadFaultException("the downloaded content could not be stored");
    }
    // Straight from the wire into the file beside the target, counted and summed on the way.
    Tally tally(expect);
    DownloadTo(
        oc, pwszUrl,
        [&](const char* p, DWORD cb) {
            tally.Add(p, cb);
            return file.Write(p, cb);
        },
        "the downloaded content could not be stored", pszFunction, iLine);
    CheckAgainst(expect, tally, pwszUrl);
    if (!file.Commit(target))
        throw FileDownloadFaultException("the downloaded content could not be stored");
    OSTLOG_INFO(4, L"%d bytes written to image file", static_cast<int>(tally.ullSize));
    return tally.ullSize;
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
