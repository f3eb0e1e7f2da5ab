// One exchange on a connection: header stamping, the gates in front of every send, receive, read
// and write, the request and response logs, reading the response into memory or a temporary
// file, and the SOAP call and download built from them.
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/LogMask.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <memory>

#include "Ostrel/Rpc/Soap/RequestUserAgent.h"
#include "Ostrel/Rpc/Transport/ConnectionInternal.h"
#include "Ostrel/Rpc/Transport/ConnectionTrust.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/FileStream.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Host/Host.h"
#include "Platform/Xml/Dom.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

constexpr DWORD kBufferWithoutLength = 0x20000;
static_assert(kMaxResponseBytes == Platform::Xml::kMaxDocumentBytes, "a reply may be as large as a document");
constexpr DWORD kBufferGrowSmall = 0x80000;
constexpr const wchar_t* kSoapContentType = L"Content-Type: application/soap+xml; charset=utf-8";

using ConnectionInternal::HideSecretsScope;
using ConnectionInternal::IsAuthenticationCall;

// Set while an authentication request is sent, so that its log shows no password.
thread_local bool t_bHideSecrets = false;

bool Equals(const wchar_t* a, const wchar_t* b) {
    return a && b && std::wcscmp(a, b) == 0;
}

// Appends `data`, writing every LF that does not follow a CR as CR LF. `bLastWasCR` carries the
// state across pieces.
void AppendConverted(std::string& out, const char* data, size_t n, bool& bLastWasCR) {
    size_t runStart = 0;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\n' && !(i == 0 ? bLastWasCR : data[i - 1] == '\r')) {
            out.append(data + runStart, i - runStart);
            out += "\r\n";
            runStart = i + 1;
        }
    }
    out.append(data + runStart, n - runStart);
    if (n)
        bLastWasCR = data[n - 1] == '\r';
}

std::wstring ErrorName(DWORD dwError) {
    return Util::WinHTTPErrorToString(dwError);
}

}  // namespace

bool ConnectionInternal::IsAuthenticationCall(const wchar_t* pwszCallName) {
    return Equals(pwszCallName, L"AuthRequest") || Equals(pwszCallName, L"AdminAuthRequest") ||
           Equals(pwszCallName, L"ChangePasswordRequest");
}

bool ConnectionInternal::IsHidingSecrets() {
    return t_bHideSecrets;
}

HideSecretsScope::HideSecretsScope(bool bHide) : m_bPrevious(t_bHideSecrets) {
    t_bHideSecrets = bHide;
}

HideSecretsScope::~HideSecretsScope() {
    t_bHideSecrets = m_bPrevious;
}

// ---------------------------------------------------------------------------------------------
// Gates and the WinHTTP calls behind them

// The reasons the connection may not go to the network now; 0 when it may.
DWORD Connection::GateError() {
    return GateError(ConnectionMgr::Get().IsOffline());
}

DWORD Connection::GateError(bool bOffline) {
    if (bOffline && !GetAllowConnectEvenWhenOLOffline()) {
        OSTLOG_WARN(L"Denying connect because working offline");
        return ERROR_WINHTTP_CANNOT_CONNECT;
    }
    if (IsTrustPeriodExpired()) {
        m_iTrusted = 0;
        // The kept-alive connection was opened with checks suppressed: it must not carry
        // another request. The next one starts a new session and is verified again.
        m_bDropSession = true;
        {
            std::lock_guard<std::mutex> lock(m_certMutex);
            m_pinnedFingerprint.reset();
        }
        OSTLOG_WARN(L"Denying connect because trust interval expired");
        return ERROR_WINHTTP_SECURE_FAILURE;
    }
    return 0;
}

void Connection::CheckGates() {
    if (DWORD dwError = GateError())
        ThrowWinHttp(dwError);
}

void Connection::HttpSendRequest(const std::wstring& wsHeaders, const void* pData, DWORD cbData, DWORD cbTotal) {
    CheckGates();
    HINTERNET hRequest = GetRequestHandle();
    std::wstring wsAgent = std::wstring(UserAgentProduct()) + L"/" + UserAgentVersion(m_lRequestNumber);
    WinHttpSetOption(hRequest, WINHTTP_OPTION_USER_AGENT, wsAgent.data(), static_cast<DWORD>(wsAgent.size()));

    auto& clock = Util::CurrentClock();
    m_timing.send.ullStart = clock.GetTickCount64();
    BOOL bSent = WinHttpSendRequest(hRequest, wsHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wsHeaders.c_str(),
                                    static_cast<DWORD>(wsHeaders.size()), const_cast<void*>(pData), cbData, cbTotal,
                                    reinterpret_cast<DWORD_PTR>(this));
    DWORD dwError = bSent ? 0 : GetLastError();
    m_timing.send.ullEnd = clock.GetTickCount64();
    if (!bSent) {
        OSTLOG_ERROR(L"WinHttpSendRequest(%s:%d) for '%s' at '%hs#%d' returned %s after %dms. %s %hs#%d",
                     m_wsServer.c_str(), static_cast<int>(GetPort()), GetRequestDetails().c_str(), GetFn().c_str(),
                     GetLine(), ErrorName(dwError).c_str(), static_cast<int>(m_timing.send.Millis()),
                     m_wsDescription.c_str(), __func__, __LINE__);
        if (!m_iAsync && dwError == ERROR_WINHTTP_SECURE_FAILURE &&
            (GetCertIssuesBitmap() & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR)) {
            OSTLOG_WARN(
                L"Detected asynchronous WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR -> converting to "
                L"ERROR_WINHTTP_CANNOT_CONNECT");
            dwError = ERROR_WINHTTP_CANNOT_CONNECT;
        }
        ThrowWinHttp(dwError);
    }
    ConnectionMgr::Get().NotifyBytesSent(2ull * wsHeaders.size() + cbData);
    if (DWORD dwError = CheckCertificateAfterSend(hRequest))
        ThrowWinHttp(dwError);
}

DWORD Connection::CheckCertificateAfterSend(HINTERNET hRequest) {
    if (!m_iUseSSL)
        return 0;
    if (m_iCatchCertErrors) {
        auto manager = CurrentCertTrustManager();
        if (manager->TrustTimeExists()) {
            OSTLOG_INFO(4, L"Cert verified successfully without trust -> Clearing trust data.");
            manager->ClearTrust();
        }
        SaveServerCertificate(hRequest);
        return 0;
    }
    return m_iDoneCertCheck ? 0 : ChkGotExpectedCert(hRequest);
}

bool Connection::HttpWriteData(const void* pData, DWORD cbData, DWORD* pcbWritten) {
    if (DWORD dwError = GateError()) {
        SetLastWinHttpErr(dwError);
        return false;
    }
    auto& clock = Util::CurrentClock();
    m_timing.write.ullStart = clock.GetTickCount64();
    BOOL bOk = WinHttpWriteData(GetRequestHandle(), pData, cbData, pcbWritten);
    DWORD dwError = bOk ? 0 : GetLastError();
    m_timing.write.ullEnd = clock.GetTickCount64();
    if (!bOk) {
        OSTLOG_ERROR(L"WinHttpWriteData(%s:%d) for '%s' at '%hs#%d' returned %s after %dms. %s %hs#%d",
                     m_wsServer.c_str(), static_cast<int>(GetPort()), GetRequestDetails().c_str(), GetFn().c_str(),
                     GetLine(), ErrorName(dwError).c_str(), static_cast<int>(m_timing.write.Millis()),
                     m_wsDescription.c_str(), __func__, __LINE__);
        SetLastWinHttpErr(dwError);
        return false;
    }
    if (m_timing.write.Millis() > 1500)
        OSTLOG_WARN(L"WinHttpWriteData took %dms. Possible adverse network conditions %hs#%d",
                    static_cast<int>(m_timing.write.Millis()), GetFn().c_str(), GetLine());
    ConnectionMgr::Get().NotifyBytesSent(cbData);
    return true;
}

void Connection::HttpReceiveResponse() {
    CheckGates();
    auto& clock = Util::CurrentClock();
    m_timing.receive.ullStart = clock.GetTickCount64();
    BOOL bOk = WinHttpReceiveResponse(GetRequestHandle(), nullptr);
    DWORD dwError = bOk ? 0 : GetLastError();
    m_timing.receive.ullEnd = clock.GetTickCount64();
    if (!bOk) {
        OSTLOG_ERROR(L"WinHttpReceiveResponse(%s:%d) for '%s' at '%hs#%d' returned %s after %dms. %s %hs#%d",
                     m_wsServer.c_str(), static_cast<int>(GetPort()), GetRequestDetails().c_str(), GetFn().c_str(),
                     GetLine(), ErrorName(dwError).c_str(), static_cast<int>(m_timing.receive.Millis()),
                     m_wsDescription.c_str(), __func__, __LINE__);
        ThrowWinHttp(dwError);
    }
    NoteResponseReceived();
}

DWORD Connection::ReadHttpStatus() {
    DWORD dwStatus = 0;
    DWORD cb = sizeof dwStatus;
    if (!WinHttpQueryHeaders(GetRequestHandle(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &dwStatus, &cb, WINHTTP_NO_HEADER_INDEX))
        ThrowWinHttp(GetLastError());
    SetLastHttpStatusCode(dwStatus);
    OSTLOG_INFO(16, L"Caching StatusCode %d", static_cast<int>(dwStatus));
    return dwStatus;
}

std::wstring Connection::QueryResponseHeader(DWORD dwLevel, const wchar_t* pwszName) {
    HINTERNET hRequest = GetRequestHandle();
    DWORD cb = 0;
    if (WinHttpQueryHeaders(hRequest, dwLevel, pwszName, nullptr, &cb, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::wstring();
    std::wstring value(cb / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(hRequest, dwLevel, pwszName, value.data(), &cb, nullptr))
        return std::wstring();
    value.resize(cb / sizeof(wchar_t));
    return value;
}

bool Connection::GetServiceFaultInfo(std::wstring& wsCode, std::wstring& wsMessage) {
    HINTERNET hRequest = GetRequestHandle();
    return Ostrel::Rpc::GetServiceFaultInfo(
        [hRequest](const wchar_t* pwszName, std::wstring& wsValue) -> DWORD {
            DWORD cb = 0;
            if (WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_CUSTOM, pwszName, nullptr, &cb, nullptr))
                return ERROR_SUCCESS;
            DWORD dwError = GetLastError();
            if (dwError != ERROR_INSUFFICIENT_BUFFER)
                return dwError;
            wsValue.assign(cb / sizeof(wchar_t), L'\0');
            if (!WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_CUSTOM, pwszName, wsValue.data(), &cb, nullptr))
                return GetLastError();
            wsValue.resize(cb / sizeof(wchar_t));
            return ERROR_SUCCESS;
        },
        wsCode, wsMessage);
}

// ---------------------------------------------------------------------------------------------
// Reading the response

void Connection::ThrowResponseTooLarge(ULONGLONG cbSeen) {
    OSTLOG_ERROR(L"the reply from %s is larger than %llu bytes (%llu seen): reading stopped", m_wsServer.c_str(),
                 static_cast<unsigned long long>(m_ullMaxResponseBytes), static_cast<unsigned long long>(cbSeen));
    ThrowWinHttp(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW);
}

ULONGLONG Connection::BeginResponseRead(bool& bHasLength) {
    OSTLOG_INFO(16,
                L"\n--------------------------------- RESPONSE %d http stream start "
                L"--------------------------------------------",
                static_cast<int>(m_lRequestNumber.load()));
    OSTLOG_INFO(16, L"%s", MaskedForLog(QueryResponseHeader(WINHTTP_QUERY_RAW_HEADERS_CRLF)).c_str());
    std::wstring wsLength = QueryResponseHeader(WINHTTP_QUERY_CONTENT_LENGTH);
    bHasLength = !wsLength.empty();
    if (!bHasLength) {
        OSTLOG_INFO(16, L"WinHttpQueryHeaders(CONTENT_LENGTH) returned %s",
                    ErrorName(ERROR_WINHTTP_HEADER_NOT_FOUND).c_str());
        return 0;
    }
    OSTLOG_INFO(16, L"Content-length in http response header: %s", wsLength.c_str());
    ULONGLONG ullExpected = std::wcstoull(wsLength.c_str(), nullptr, 10);
    if (ullExpected > m_ullMaxResponseBytes)
        ThrowResponseTooLarge(ullExpected);
    return ullExpected;
}

ULONGLONG Connection::ReadBody(ULONGLONG ullExpected, bool bHasLength, const BodyConsumer& consume) {
    HINTERNET hRequest = GetRequestHandle();
    std::shared_ptr<Util::ProgressTask> pTask = GetProgressTask();
    ProgressCallback progress;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        progress = m_progressCallback;
    }
    if (pTask)
        pTask->SetRange(0, ullExpected);
    if (progress)
        progress(0, ullExpected);

    // One piece holds what the transport has buffered (up to 1 MiB), grown on demand and not cleared.
    std::unique_ptr<char[]> piece;
    DWORD cbPiece = 0;
    ULONGLONG ullTotal = 0;
    auto& clock = Util::CurrentClock();
    const bool bThrottle = Platform::Host::IsTesting(L"ThrottleWinHTTPReads");
    for (;;) {
        if (bThrottle)
            clock.Sleep(500);
        if (DWORD dwGate = GateError())
            ThrowWinHttp(dwGate);
        DWORD cbAvailable = 0;
        m_timing.query.ullStart = clock.GetTickCount64();
        BOOL bOk = WinHttpQueryDataAvailable(hRequest, &cbAvailable);
        m_timing.query.ullEnd = clock.GetTickCount64();
        if (!bOk) {
            DWORD dwError = GetLastError();
            OSTLOG_ERROR(L"WinHttpQueryDataAvailable(%s:%d) for '%s' at '%hs#%d' returned %s after %dms. %s %hs#%d",
                         m_wsServer.c_str(), static_cast<int>(GetPort()), GetRequestDetails().c_str(), GetFn().c_str(),
                         GetLine(), ErrorName(dwError).c_str(), static_cast<int>(m_timing.query.Millis()),
                         m_wsDescription.c_str(), __func__, __LINE__);
            ThrowWinHttp(dwError);
        }
        if (cbAvailable == 0)
            break;
        cbAvailable = std::min<DWORD>(cbAvailable, kMaxInMemoryResponse);
        if (cbPiece < cbAvailable) {
            cbPiece = std::max<DWORD>(cbAvailable, std::min<DWORD>(2 * cbPiece, kMaxInMemoryResponse));
            piece.reset(new char[cbPiece]);
        }
        DWORD cbRead = 0;
        m_timing.read.ullStart = clock.GetTickCount64();
        bOk = WinHttpReadData(hRequest, piece.get(), cbAvailable, &cbRead);
        m_timing.read.ullEnd = clock.GetTickCount64();
        if (!bOk) {
            DWORD dwError = GetLastError();
            OSTLOG_ERROR(L"WinHttpReadData(%s:%d) for '%s' at '%hs#%d' returned %s after %dms. %s %hs#%d",
                         m_wsServer.c_str(), static_cast<int>(GetPort()), GetRequestDetails().c_str(), GetFn().c_str(),
                         GetLine(), ErrorName(dwError).c_str(), static_cast<int>(m_timing.read.Millis()),
                         m_wsDescription.c_str(), __func__, __LINE__);
            ThrowWinHttp(dwError);
        }
        ullTotal += cbRead;
        // Checked on every piece: a reply without a length (or one that lies) may never end, and
        // a server trickling bytes never lets the idle time-out fire.
        if (ullTotal > m_ullMaxResponseBytes)
            ThrowResponseTooLarge(ullTotal);
        OSTLOG_INFO(64, L"%d bytes this buffer. (%d total)", static_cast<int>(cbRead), static_cast<int>(ullTotal));
        if (!consume(piece.get(), cbRead))
            ThrowWinHttp(ERROR_WINHTTP_OPERATION_CANCELLED);
        if (pTask)
            pTask->SetPos(ullTotal);
        if (progress)
            progress(ullTotal, ullExpected);
    }

    OSTLOG_INFO(16, L"Total bytes read from wire this response: %d", static_cast<int>(ullTotal));
    if (bHasLength && ullExpected != ullTotal)
        OSTLOG_WARN(L"ContentLength (%d) does not match bytes read from wire (%d)!", static_cast<int>(ullExpected),
                    static_cast<int>(ullTotal));
    ConnectionMgr::Get().NotifyBytesReceived(ullTotal);
    return ullTotal;
}

void Connection::EndResponseRead() {
    OSTLOG_INFO(16,
                L"\n- - - - - - - - - - - - - - - - - %s %d http stream end - - - - - - - - - - - - - - - - - - - - - "
                L"- - - \n\n",
                L"RESPONSE", static_cast<int>(m_lRequestNumber.load()));
}

void Connection::ReadResponseSynchronous(std::string& body, IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                         bool bLogBody) {
    body.clear();
    pStream = nullptr;
    bIsStream = false;
    bool bHasLength = false;
    ULONGLONG ullExpected = BeginResponseRead(bHasLength);

    std::string held;
    held.reserve(bHasLength ? static_cast<size_t>(std::min<ULONGLONG>(ullExpected + 256, kMaxInMemoryResponse))
                            : kBufferWithoutLength);
    Platform::ComPtr<IStream> file;
    std::string converted;
    bool bLastWasCR = false;
    ReadBody(ullExpected, bHasLength, [&](const char* pData, DWORD cbData) {
        if (!file && held.size() + cbData > kMaxInMemoryResponse) {
            OSTLOG_INFO(4, L"Max in-mem size %d exceeded -> switching to file", static_cast<int>(kMaxInMemoryResponse));
            HRESULT hr = Platform::CreateUniqueFileStream({}, "osn", true, file.AddressOf());
            ULONG cbWritten = 0;
            if (SUCCEEDED(hr) && !held.empty())
                hr = file->Write(held.data(), static_cast<ULONG>(held.size()), &cbWritten);
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"cannot spool the response to a temporary file: %08X", static_cast<unsigned>(hr));
                ThrowWinHttp(hr == STG_E_MEDIUMFULL ? ERROR_DISK_FULL : ERROR_NOT_ENOUGH_MEMORY);
            }
            held.clear();
            held.shrink_to_fit();
        }
        if (!file && held.capacity() < held.size() + cbData)
            held.reserve(held.size() + cbData > kBufferGrowSmall ? kMaxInMemoryResponse : kBufferGrowSmall);
        size_t cb = cbData;
        if (bConvertLineEnds) {
            converted.clear();
            AppendConverted(converted, pData, cbData, bLastWasCR);
            pData = converted.data();
            cb = converted.size();
        }
        if (!file) {
            held.append(pData, cb);
            return true;
        }
        ULONG cbWritten = 0;
        HRESULT hr = file->Write(pData, static_cast<ULONG>(cb), &cbWritten);
        if (FAILED(hr) || cbWritten != cb) {
            OSTLOG_ERROR(L"cannot write the response to its temporary file: %08X", static_cast<unsigned>(hr));
            ThrowWinHttp(hr == STG_E_MEDIUMFULL ? ERROR_DISK_FULL : ERROR_NOT_ENOUGH_MEMORY);
        }
        return true;
    });

    if (file) {
        LARGE_INTEGER zero{};
        file->Commit(STGC_DEFAULT);
        file->Seek(zero, STREAM_SEEK_SET, nullptr);
        pStream = file.Detach();
        bIsStream = true;
    } else {
        body = std::move(held);
        if (bLogBody && m_bShouldLogBody && Util::g_logger.GetLogDetailCmntHTTP()) {
            std::string logged = body;
            MaskSecretsForLog(logged);
            OSTLOG_INFO(16, L"%hs", logged.c_str());
        }
    }
    EndResponseRead();
}

// ---------------------------------------------------------------------------------------------
// SOAP exchange

void Connection::EnsureAuthTokenAndNoSession(Request* pRequest, std::wstring& wsHeaders) {
    const wchar_t* pwszCallName = pRequest->CallName();
    if (!IsAuthenticationCall(pwszCallName)) {
        IConnectionSession* pSession = m_pSession ? m_pSession : FindSession(L"");
        if (pSession) {
            std::wstring wsToken = pSession->AuthToken();
            pRequest->SetAuthTokenNode(wsToken.c_str());
            if (!Equals(pwszCallName, L"GetInfoRequest") && !Equals(pwszCallName, L"NoOpRequest") &&
                pSession->SetNoSession())
                pRequest->SetNoSessionNode();
            wsHeaders = L"Cookie: OS_AUTH_TOKEN=" + wsToken + L"\r\n" + kSoapContentType;
        } else {
            wsHeaders = kSoapContentType;
        }
    } else {
        wsHeaders = kSoapContentType;
    }
    pRequest->SetUserAgentNode(UserAgentVersion(m_lRequestNumber).c_str());
    if (!WinHttpAddRequestHeaders(GetRequestHandle(), wsHeaders.c_str(), static_cast<DWORD>(-1),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        DWORD dwError = GetLastError();
        WinHttpException e(dwError, IsSSLError(dwError));
        OSTLOG_ERROR(L"*%d* %hs %s %ls", static_cast<int>(m_lRequestNumber.load()), GetFn().c_str(),
                     ErrorName(dwError).c_str(), e.ExcepText());
        SetLastWinHttpErr(dwError);
        throw e;
    }
}

void Connection::LogRequest(const std::wstring& wsCallName, const std::string& body) {
    if (!Util::g_logger.WouldLog(16, Util::kLogCategoryInfo))
        return;
    long lRequest = m_lRequestNumber;
    OSTLOG_INFO(16,
                L"\n\n================================= REQUEST %d http stream start "
                L"=============================================",
                static_cast<int>(lRequest));
    DWORD cb = 0;
    HINTERNET hRequest = GetRequestHandle();
    DWORD dwLevel = WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS;
    if (!WinHttpQueryHeaders(hRequest, dwLevel, nullptr, nullptr, &cb, nullptr) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        std::wstring headers(cb / sizeof(wchar_t), L'\0');
        if (WinHttpQueryHeaders(hRequest, dwLevel, nullptr, headers.data(), &cb, nullptr)) {
            headers.resize(cb / sizeof(wchar_t));
            OSTLOG_INFO(16, L"%s", MaskedForLog(headers).c_str());
        }
    }
    if (m_bShouldLogBody && Util::g_logger.GetLogDetailCmntHTTP()) {
        std::string logged = body;
        MaskSecretsForLog(logged);
        OSTLOG_INFO(16, L"%hs", logged.c_str());
    } else {
        OSTLOG_INFO(16, L"%s (%d bytes)", wsCallName.c_str(), static_cast<int>(body.size()));
    }
    OSTLOG_INFO(16,
                L"\n- - - - - - - - - - - - - - - - - %s %d http stream end - - - - - - - - - - - - - - - - - - - - - "
                L"- - - \n\n",
                L"REQUEST", static_cast<int>(lRequest));
}

void Connection::ExchangeSoap(Request* pRequest, const char* pszFunction, int iLine, std::string& response,
                              Platform::ComPtr<IStream>& stream) {
    const wchar_t* pwszCallName = pRequest->CallName();
    std::wstring wsCallName = pwszCallName ? pwszCallName : L"";
    bool bCertRetried = false;
    for (;;) {
        m_lRequestNumber = NextRequestNumber();
        ConfigureConnection(pwszCallName, nullptr, false);
        std::wstring wsHeaders;
        EnsureAuthTokenAndNoSession(pRequest, wsHeaders);
        std::string body;
        if (FAILED(pRequest->GetDocument()->get_xmlUtf8(body)))
            ThrowWinHttp(ERROR_WINHTTP_INTERNAL_ERROR);
        LogRequest(wsCallName, body);

        // The headers went in with the stamping; the body is sent whole.
        try {
            HttpSendRequest(std::wstring(), body.data(), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()));
            HttpReceiveResponse();
        } catch (const WinHttpException& e) {
            if (bCertRetried || !RetryAfterCertError(e))
                throw;
            bCertRetried = true;
            continue;
        }

        bool bIsStream = false;
        stream = nullptr;
        ReadResponseSynchronous(response, *stream.AddressOf(), bIsStream, true, true);
        DWORD dwStatus = ReadHttpStatus();
        if (!Mapi::IsBESOSN() && (dwStatus == 401 || dwStatus == 407) && DoHttpAuthentication(dwStatus == 407 ? 1 : 0))
            continue;
        CheckHttpStatus(dwStatus, pszFunction, iLine, this);
        return;
    }
}

void Connection::SendRequestSynchronous(Request* pRequest, IXMLDOMDocument2*& pResponse, const char* pszFunction,
                                        int iLine) {
    pResponse = nullptr;
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    const wchar_t* pwszCallName = pRequest->CallName();
    std::wstring wsCallName = pwszCallName ? pwszCallName : L"";
    RecordCaller(pszFunction, iLine, nullptr);
    HideSecretsScope hide(IsAuthenticationCall(pwszCallName));

    std::string response;
    Platform::ComPtr<IStream> stream;
    ExchangeSoap(pRequest, pszFunction, iLine, response, stream);
    if (stream) {
        STATSTG stat{};
        LARGE_INTEGER zero{};
        HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
        if (SUCCEEDED(hr))
            hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        ULONG cbRead = 0;
        if (SUCCEEDED(hr) && stat.cbSize.QuadPart <= Platform::Xml::kMaxDocumentBytes) {
            response.resize(static_cast<size_t>(stat.cbSize.QuadPart));
            hr = stream->Read(response.data(), static_cast<ULONG>(response.size()), &cbRead);
        }
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"failed to readm, error code: %d", static_cast<int>(hr));
            response.clear();
        } else if (cbRead != stat.cbSize.QuadPart) {
            OSTLOG_ERROR(L"it seems that it did not read all the data out from the stream");
            response.clear();
        }
    }

    std::wstring wsCode, wsMessage;
    bool bFault = GetServiceFaultInfo(wsCode, wsMessage);
    Platform::ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(Platform::Xml::CreateDocument(doc.AddressOf())))
        ThrowWinHttp(ERROR_NOT_ENOUGH_MEMORY);
    HRESULT hrLoad = doc->loadXMLBytes(response);
    if (bFault)
        throw ServiceFaultException(wsCode.c_str(), wsMessage.c_str(), response.c_str());
    if (hrLoad != S_OK) {
        XmlParseError error;
        doc->get_parseError(error);
        OSTLOG_ERROR(L"the response to %s is not XML (status %d, %d bytes): %s", wsCallName.c_str(),
                     static_cast<int>(GetLastHttpStatusCode()), static_cast<int>(response.size()),
                     error.reason.c_str());
        ThrowWinHttp(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }
    pResponse = doc.Detach();
}

void Connection::SendRequestForStream(Request* pRequest, IStream*& pStream, const char* pszFunction, int iLine) {
    pStream = nullptr;
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    RecordCaller(pszFunction, iLine, nullptr);
    HideSecretsScope hide(IsAuthenticationCall(pRequest->CallName()));

    std::string response;
    Platform::ComPtr<IStream> stream;
    ExchangeSoap(pRequest, pszFunction, iLine, response, stream);
    std::wstring wsCode, wsMessage;
    if (GetServiceFaultInfo(wsCode, wsMessage))
        throw ServiceFaultException(wsCode.c_str(), wsMessage.c_str(), response.c_str());
    if (!stream)
        stream = Platform::ComPtr<IStream>(Platform::MemStream::Create(response).Get());
    pStream = stream.Detach();
}

// ---------------------------------------------------------------------------------------------
// Download

void Connection::DoGetSynchronous(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, std::string& body,
                                  IStream*& pStream, bool& bIsStream, bool bConvertLineEnds, const char* pszFunction,
                                  int iLine) {
    body.clear();
    pStream = nullptr;
    bIsStream = false;
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    RecordCaller(pszFunction, iLine, nullptr);
    std::wstring wsHeaders = pwszHeaders ? pwszHeaders : L"";
    for (;;) {
        try {
            m_lRequestNumber = NextRequestNumber();
            ConfigureConnection(nullptr, pwszUrl, true);
            HttpSendRequest(wsHeaders, nullptr, 0, 0);
            HttpReceiveResponse();
            std::string received;
            Platform::ComPtr<IStream> stream;
            bool bStream = false;
            ReadResponseSynchronous(received, *stream.AddressOf(), bStream, bConvertLineEnds, false);
            DWORD dwStatus = ReadHttpStatus();
            if (dwStatus < 300) {
                body = std::move(received);
                pStream = stream.Detach();
                bIsStream = bStream;
                return;
            }
            if (dwStatus < 500) {
                if (dwStatus == 302)
                    OSTLOG_WARN(L"HTTP_STATUS_REDIRECT");
                else
                    OSTLOG_WARN(L"HTTP status code=%d", static_cast<int>(dwStatus));
                throw FileDownloadFaultException(dwStatus, received.c_str());
            }
            throw NginxException(dwStatus, pszFunction, iLine, this);
        } catch (const WinHttpException& e) {
            if (!RetryAfterCertError(e))
                throw;
        }
    }
}

void Connection::DoGetSynchronousTo(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, const BodyConsumer& consume,
                                    const char* pszFunction, int iLine) {
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    RecordCaller(pszFunction, iLine, nullptr);
    std::wstring wsHeaders = pwszHeaders ? pwszHeaders : L"";
    bool bConsumed = false;
    for (;;) {
        try {
            m_lRequestNumber = NextRequestNumber();
            ConfigureConnection(nullptr, pwszUrl, true);
            HttpSendRequest(wsHeaders, nullptr, 0, 0);
            HttpReceiveResponse();
            DWORD dwStatus = ReadHttpStatus();
            if (dwStatus >= 300) {
                // The text of a refusal goes into the exception; it is not content.
                std::string received;
                Platform::ComPtr<IStream> stream;
                bool bStream = false;
                ReadResponseSynchronous(received, *stream.AddressOf(), bStream, false, false);
                if (dwStatus >= 500)
                    throw NginxException(dwStatus, pszFunction, iLine, this);
                if (dwStatus == 302)
                    OSTLOG_WARN(L"HTTP_STATUS_REDIRECT");
                else
                    OSTLOG_WARN(L"HTTP status code=%d", static_cast<int>(dwStatus));
                throw FileDownloadFaultException(dwStatus, received.c_str());
            }
            bool bHasLength = false;
            ULONGLONG ullExpected = BeginResponseRead(bHasLength);
            bConsumed = true;
            ReadBody(ullExpected, bHasLength, consume);
            EndResponseRead();
            return;
        } catch (const WinHttpException& e) {
            if (bConsumed || !RetryAfterCertError(e))
                throw;
        }
    }
}

bool Connection::RetryAfterCertError(const WinHttpException& e) {
    if (e.ExcepNum(0) != ERROR_WINHTTP_SECURE_FAILURE || !m_iUseSSL)
        return false;
    int retry = 0;
    HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 1);
    return retry != 0;
}

}  // namespace Ostrel::Rpc
