#include "Ostrel/Rpc/Transport/Upload.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

// Characters a MIME boundary may hold (RFC 2046 bchars), 64 of them.
constexpr char kBoundaryAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+_";
static_assert(sizeof kBoundaryAlphabet == 65);

constexpr const char* kDefaultPreamble =
    "Content-Disposition: form-data; name=\"krlib32\"; filename=\"krlib32.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Transfer-Encoding: binary\r\n"
    "\r\n";

std::atomic<unsigned> g_boundaryCounter{0};

constexpr int kReauthBudget = 4;
constexpr int kThrottleBudget = 15;
constexpr DWORD kThrottleWaitMs = 1000;

bool IsTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           (c && std::strchr("!#$&-^_.+", c));
}

bool IsToken(std::string_view text, bool allowSlash) {
    if (text.empty())
        return false;
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return c && (IsTokenChar(c) || (allowSlash && c == '/')); });
}

bool HasLineBreak(std::wstring_view text) {
    return text.find_first_of(L"\r\n") != std::wstring_view::npos;
}

}  // namespace

std::string Rfc1876Helper::NewBoundary() {
    std::string boundary = "--B-";
    boundary += kBoundaryAlphabet[0];
    boundary += kBoundaryAlphabet[0];
    boundary += "=_";
    auto seconds = static_cast<uint64_t>(Util::CurrentClock().GetUnixTimeMs() / 1000);
    for (int i = 0; i < 4; ++i, seconds /= 36)
        boundary += kBoundaryAlphabet[seconds % 36];
    // Each upload seeds its own generator, so concurrent uploads never share a sequence.
    std::minstd_rand random(g_boundaryCounter.fetch_add(1) + 1 + 444444445u);
    for (int i = 0; i < 4; ++i) {
        uint32_t r = static_cast<uint32_t>(random());
        for (int shift = 0; shift < 24; shift += 6)
            boundary += kBoundaryAlphabet[(r >> shift) & 63];
    }
    return boundary;
}

bool Rfc1876Helper::BuildFilePreamble(std::string_view fieldName, std::string_view fileName,
                                      std::string_view contentType, std::string& preamble) {
    if (!IsToken(fieldName, false) || !IsToken(contentType, true))
        return false;
    std::string plain;
    std::string encoded;
    bool bReplaced = false;
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : fileName) {
        bool bSafe = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        plain += bSafe ? static_cast<char>(c) : '_';
        bReplaced |= !bSafe;
        // RFC 5987 attr-char: ALPHA / DIGIT / "!#$&+-.^_`|~"
        bool bAttrChar = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c && std::strchr("!#$&+-.^_`|~", c));
        if (bAttrChar)
            encoded += static_cast<char>(c);
        else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    preamble = "Content-Disposition: form-data; name=\"";
    preamble.append(fieldName);
    preamble += "\"";
    // The exact name first, for parsers that take the first of the two; the plain fallback after.
    if (bReplaced)
        preamble += "; filename*=UTF-8''" + encoded;
    preamble += "; filename=\"" + plain + "\"";
    preamble += "\r\nContent-Type: ";
    preamble.append(contentType);
    preamble += "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    return true;
}

bool Rfc1876Helper::IsSafePreamble(std::string_view preamble) {
    if (preamble.size() < 4 || preamble.substr(preamble.size() - 4) != "\r\n\r\n")
        return false;
    for (size_t i = 0; i < preamble.size(); ++i) {
        if (preamble[i] == '\r' && (i + 1 >= preamble.size() || preamble[i + 1] != '\n'))
            return false;
        if (preamble[i] == '\n' && (i == 0 || preamble[i - 1] != '\r'))
            return false;
    }
    return true;
}

bool Rfc1876Helper::Fill(IStream* pStream, size_t cbFrom, ULONGLONG ullWanted, ULONGLONG& ullRead, size_t& cbFilled) {
    cbFilled = cbFrom;
    while (cbFilled < m_buffer.size() && ullRead < ullWanted) {
        ULONG cbAsk = static_cast<ULONG>(std::min<ULONGLONG>(m_buffer.size() - cbFilled, ullWanted - ullRead));
        ULONG cbGot = 0;
        HRESULT hr = pStream->Read(m_buffer.data() + cbFilled, cbAsk, &cbGot);
        if (FAILED(hr) || cbGot == 0) {
            OSTLOG_ERROR(L"ReadFromFileStream() failed, bytes to be read: %d, bytes read: %d", static_cast<int>(cbAsk),
                         static_cast<int>(cbGot));
            return false;
        }
        cbFilled += cbGot;
        ullRead += cbGot;
    }
    return true;
}

std::string Rfc1876Helper::Head(std::string_view preamble) const {
    std::string head = "--" + m_sBoundary + "\r\n";
    head += "Content-Disposition: form-data; name=\"requestId\"\r\n\r\n";
    head += kUploadClientId;
    head += "\r\n--" + m_sBoundary + "\r\n";
    head.append(preamble);
    return head;
}

std::string Rfc1876Helper::Tail() const {
    return "\r\n--" + m_sBoundary + "--\r\n";
}

bool Rfc1876Helper::StreamBody(IStream* pStream, ULONGLONG ullSize, std::string_view preamble, DWORD cbMaxWrite,
                               const BodyWriter& write) {
    if (m_buffer.empty()) {
        try {
            m_buffer.resize(kBufferSize);
        } catch (const std::bad_alloc&) {
            OSTLOG_ERROR(L"failed to Allocate memory for pBuff");
            return false;
        }
    }
    std::string head = Head(preamble);
    std::string tail = Tail();
    if (head.size() > m_buffer.size() / 2)
        return false;
    std::memcpy(m_buffer.data(), head.data(), head.size());
    LARGE_INTEGER zero{};
    if (HRESULT hr = pStream->Seek(zero, STREAM_SEEK_SET, nullptr); FAILED(hr)) {
        OSTLOG_ERROR(L"failed to Seek the beginning in IStream: %x", static_cast<unsigned>(hr));
        return false;
    }
    cbMaxWrite = std::max<DWORD>(cbMaxWrite, 1);
    ULONGLONG ullRead = 0;
    ULONGLONG ullWritten = 0;
    size_t cbStart = head.size();
    for (bool bLast = false; !bLast;) {
        size_t cbFilled = 0;
        if (!Fill(pStream, cbStart, ullSize, ullRead, cbFilled))
            return false;
        cbStart = 0;
        if (ullRead == ullSize && cbFilled + tail.size() <= m_buffer.size()) {
            std::memcpy(m_buffer.data() + cbFilled, tail.data(), tail.size());
            cbFilled += tail.size();
            bLast = true;
        }
        for (size_t off = 0; off < cbFilled;) {
            DWORD cbPiece = static_cast<DWORD>(std::min<size_t>(cbMaxWrite, cbFilled - off));
            if (!write(m_buffer.data() + off, cbPiece))
                return false;
            off += cbPiece;
            ullWritten += cbPiece;
        }
        OSTLOG_INFO(64, L"Total written so far: %d", static_cast<int>(ullWritten));
    }
    OSTLOG_INFO(16, L"Done with read from file stream, total bytes to read: %d, total bytes read: %d",
                static_cast<int>(ullSize), static_cast<int>(ullRead));
    OSTLOG_INFO(16, L"Done with written to Http, total bytes to write: %d, total bytes written: %d",
                static_cast<int>(head.size() + ullSize + tail.size()), static_cast<int>(ullWritten));
    return true;
}

int Rfc1876Helper::DoPutSynchronous(const wchar_t* pwszAuthToken, IStream* pStream, ULONGLONG ullSize,
                                    const wchar_t* pwszUrl, const char* pszPreamble) {
    std::wstring wsToken = pwszAuthToken ? pwszAuthToken : L"";
    std::string_view preamble = pszPreamble ? pszPreamble : kDefaultPreamble;
    if (!pStream || !pwszUrl || HasLineBreak(wsToken) || !IsSafePreamble(preamble)) {
        OSTLOG_ERROR(
            L"refusing an upload without a stream or URL, or with a token or preamble that would break the request");
        return 0;
    }
    m_connection.ConfigureConnection(nullptr, pwszUrl, false);
    OSTLOG_INFO(16, L"\n--------------------------------- REQUEST %d upload to %s ---------------------------------",
                static_cast<int>(m_connection.GetRequestNumber()), pwszUrl);
    m_sBoundary = NewBoundary();
    ULONGLONG ullTotal = Head(preamble).size() + ullSize + Tail().size();
    if (ullTotal > 0xFFFFFFFFull) {
        OSTLOG_ERROR(L"File is too big");
        return 0;
    }
    std::wstring wsHeaders = L"Cookie: OS_AUTH_TOKEN=" + wsToken +
                             L"\r\nContent-Type: multipart/form-data; boundary=\"" + Platform::FromUtf8(m_sBoundary) +
                             L"\"\r\n";
    m_connection.HttpSendRequest(wsHeaders, nullptr, 0, static_cast<DWORD>(ullTotal));

    std::shared_ptr<Util::ProgressTask> pTask = m_connection.GetProgressTask();
    if (pTask)
        pTask->SetRange(0, ullTotal);
    ULONGLONG ullWritten = 0;
    bool bOk = StreamBody(pStream, ullSize, preamble, m_connection.GetMaxWriteSize(), [&](const char* p, DWORD cb) {
        DWORD cbDone = 0;
        if (!m_connection.HttpWriteData(p, cb, &cbDone) || cbDone != cb) {
            OSTLOG_ERROR(L"WriteToServer() failed, bytes to write: %d, bytes written: %d", static_cast<int>(cb),
                         static_cast<int>(cbDone));
            return false;
        }
        ullWritten += cb;
        if (pTask) {
            pTask->SetPos(ullWritten);
            if (pTask->IsCancelled()) {
                OSTLOG_WARN(L"upload cancelled after %d bytes", static_cast<int>(ullWritten));
                return false;
            }
        }
        return true;
    });
    if (!bOk) {
        // The server must not take a short body for a whole one.
        m_connection.Disconnect();
        return 0;
    }
    m_connection.HttpReceiveResponse();
    m_connection.ReadHttpStatus();
    return 1;
}

UploadAnswer ParseUploadAnswer(std::string_view answer) {
    UploadAnswer parsed;
    answer = answer.substr(0, 255);
    size_t comma = answer.find(',');
    parsed.sStatus = std::string(answer.substr(0, comma));
    if (comma == std::string_view::npos)
        return parsed;
    std::string_view rest = answer.substr(comma + 1);
    parsed.bHasClientId = rest.find(kUploadClientId) != std::string_view::npos;
    size_t second = rest.find(',');
    if (second == std::string_view::npos || second + 2 > rest.size())
        return parsed;
    std::string_view id = rest.substr(second + 2);  // past the comma and the opening quote
    size_t quote = id.find('\'');
    if (quote == std::string_view::npos)
        return parsed;
    parsed.sUploadId = std::string(id.substr(0, quote));
    return parsed;
}

int ParseHtmlError(std::string_view text, std::string& sMessage) {
    sMessage.clear();
    if (text.substr(0, 6) != "<html>")
        return -1;
    size_t start = text.find("<title>");
    size_t end = start == std::string_view::npos ? start : text.find("</title>", start);
    if (end == std::string_view::npos)
        return -1;
    std::string_view title = text.substr(start + 7, end - start - 7);
    if (title.substr(0, 5) != "Error")
        return -1;
    sMessage = std::string(title);
    return static_cast<int>(sMessage.size());
}

int DoPutSynchronous(Connection& connection, const wchar_t* pwszAuthToken, IStream* pStream, ULONGLONG ullSize,
                     const wchar_t* pwszUrl, const char* pszPreamble, std::string& response, const char* pszFunction,
                     int iLine) {
    response.clear();
    // The body and its answer are one exchange: no other request may use the handle in between.
    auto slot = connection.LockRequestSlot();
    OSTLOG_BLOCK(4, 8192, connection.GetDescription().c_str());
    connection.RecordCaller(pszFunction, iLine, pwszUrl);
    OSTLOG_INFO(16, L"AuthToken = %s", L"<hidden>");
    OSTLOG_INFO(16, L"Url = %s", pwszUrl ? pwszUrl : L"");
    OSTLOG_INFO(16, L"FilePreamble: %hs", pszPreamble ? pszPreamble : kDefaultPreamble);
    OSTLOG_INFO(16, L"Original file contents with length of %d bytes:", static_cast<int>(ullSize));
    Rfc1876Helper helper(connection);
    if (!helper.DoPutSynchronous(pwszAuthToken, pStream, ullSize, pwszUrl, pszPreamble))
        return 0;
    Platform::ComPtr<IStream> spooled;
    bool bIsStream = false;
    connection.ReadResponseSynchronous(response, *spooled.AddressOf(), bIsStream, true, false);
    if (bIsStream) {
        // An upload answer is one short line; a spooled one is not an answer of the upload service.
        OSTLOG_ERROR(L"the upload answer is larger than %d bytes; refused", static_cast<int>(kMaxInMemoryResponse));
        return 0;
    }
    DWORD dwStatus = connection.GetLastHttpStatusCode();
    if (dwStatus >= 500)
        throw NginxException(dwStatus, pszFunction, iLine, &connection);
    std::wstring wsCode, wsMessage;
    if (connection.GetServiceFaultInfo(wsCode, wsMessage))
        throw ServiceFaultException(wsCode.c_str(), wsMessage.c_str(), response.c_str());
    return 1;
}

int DoPutSynchronousOC(OstrelConnection& oc, IStream* pStream, ULONGLONG ullSize, const wchar_t* pwszUrl,
                       std::wstring& wsUploadId, const char* pszPreamble, const char* pszFunction, int iLine) {
    wsUploadId.clear();
    Connection& connection = *oc.GetConnection();
    IConnectionSession* pSession = oc.GetUserSession();
    int reauth = kReauthBudget;
    int throttle = kThrottleBudget;
    for (;;) {
        std::string answer;
        try {
            std::wstring wsToken = pSession ? pSession->AuthToken() : std::wstring();
            if (!DoPutSynchronous(connection, wsToken.c_str(), pStream, ullSize, pwszUrl, pszPreamble, answer,
                                  pszFunction, iLine))
                return 0;
        } catch (const ServiceFaultException& e) {
            if (std::wstring_view(e.FaultCode()) != L"DoSFilter" || std::wstring_view(e.ExcepText()) != L"unavailable")
                throw;
            if (throttle-- > 0) {
                OSTLOG_WARN(L"ServiceFaultException: '%s': '%s', retrying the request ...", e.FaultCode(),
                            e.ExcepText());
                Util::CurrentClock().Sleep(kThrottleWaitMs);
                continue;
            }
            OSTLOG_ERROR(L"ServiceFaultException: '%s': '%s', Max request retries reached.", e.FaultCode(),
                         e.ExcepText());
            throw;
        } catch (const WinHttpException& e) {
            DWORD dwError = e.ExcepNum(0);
            if (dwError != ERROR_WINHTTP_OPERATION_CANCELLED && dwError != ERROR_WINHTTP_SECURE_FAILURE)
                throw;
            OSTLOG_ERROR(L"SendRequest failed with error %d '%ls'", static_cast<int>(dwError), e.ExcepText());
            if (dwError != ERROR_WINHTTP_SECURE_FAILURE)
                throw;
            int retry = 0;
            connection.HandleCertError(dwError, retry, 1);
            if (!retry)
                throw;
            continue;
        }

        std::string head = answer.substr(0, 255);
        if (connection.GetLastHttpStatusCode() == 401 || head.find("authtoken expired") != std::string::npos ||
            head.find("401,") != std::string::npos) {
            if (reauth-- > 0 && pSession) {
                OSTLOG_WARN(L"authtoken expired. Going to InvalidateAuthToken ...");
                pSession->InvalidateAuthToken(1);
                OSTLOG_INFO(4, L"InvalidateAuthToken successful. Retrying for File upload.");
                continue;
            }
        } else {
            std::string sMessage;
            if (ParseHtmlError(head, sMessage) >= 0) {
                OSTLOG_ERROR(L"Server error message: %hs", sMessage.c_str());
                throw FileUploadFaultException(sMessage.c_str());
            }
        }
        UploadAnswer parsed = ParseUploadAnswer(head);
        if (parsed.bHasClientId && !parsed.sUploadId.empty()) {
            wsUploadId = Platform::FromUtf8(parsed.sUploadId);
            OSTLOG_INFO(4, L"uploaded %d bytes to %s as '%s'", static_cast<int>(ullSize), pwszUrl, wsUploadId.c_str());
            return 1;
        }
        OSTLOG_ERROR(L"no server token returned, error status: %hs", parsed.sStatus.c_str());
        throw FileUploadFaultException(parsed.sStatus.c_str(), answer.c_str());
    }
}

}  // namespace Ostrel::Rpc
