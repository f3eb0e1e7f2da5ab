// The HTTP connection to the Ostrel server (one request at a time), the admin connection, and
// the process-wide connection manager. Every transport failure becomes an exception of the
// RpcException tree; certificate failures go through the certificate trust decision.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"
#include "Ostrel/Rpc/Soap/Request.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"
#include "Platform/Http/WinHttp.h"
#include "Util/Progress.h"

namespace Ostrel::Rpc {

// What a connection is used for; the certificate trust dialog names it.
enum CONNECTION_PURPOSE {
    CONNECTION_PURPOSE_GENERAL = 0,
    CONNECTION_PURPOSE_SUBMIT = 1,
    CONNECTION_PURPOSE_SYNC = 2,
    CONNECTION_PURPOSE_GALSYNC = 3,
    CONNECTION_PURPOSE_WAITSET = 4,
    CONNECTION_PURPOSE_AUTOUPGRADE = 5,
};

// Proxy modes (flags).
constexpr DWORD kProxyModeNone = 1;
constexpr DWORD kProxyModeBrowser = 2;  // the user's settings: http_proxy, https_proxy, no_proxy
constexpr DWORD kProxyModeManual = 4;

// Defaults before the registry is read, and the connect floor.
constexpr DWORD kDefaultTimeoutMs = 900000;
constexpr DWORD kMinConnectTimeoutMs = 60000;
constexpr DWORD kDefaultMaxWriteSize = 0x10000;
// Responses up to this size stay in memory; larger ones go to a self-deleting temporary file.
constexpr DWORD kMaxInMemoryResponse = 0x100000;
// The largest reply read by default: the largest document the XML parser accepts.
constexpr ULONGLONG kMaxResponseBytes = ULONGLONG(1) << 30;

// Told the expected total (0 when unknown) and the bytes so far while a response is read.
using ProgressCallback = std::function<void(ULONGLONG ullDone, ULONGLONG ullTotal)>;

// Lets the caller of an asynchronous exchange stop a waiting Read from another thread.
class AsyncStopEvent {
public:
    void Set();
    bool IsSet() const;

private:
    friend class AsyncResponseStream;
    void Attach(std::function<void()> wake);
    void Detach();

    mutable std::mutex m_mutex;
    bool m_bSet = false;
    std::function<void()> m_wake;
};

class Connection : public IConnectionTrace {
public:
    Connection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL, DWORD dwProxyMode,
               const wchar_t* pwszManualProxy, int async);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // A new connection with the same owner, server, port, SSL, proxy and asynchronous settings.
    virtual Connection* CloneConnection();

    // One SOAP exchange: the parsed response document (the caller releases it), or an exception.
    // A server certificate that fails validation goes to the trust decision first; when it is
    // accepted the exchange is sent once more.
    void SendRequestSynchronous(Request* pRequest, IXMLDOMDocument2*& pResponse, const char* pszFunction, int iLine);
    // The same exchange with the answer left unparsed, for replies too large to hold as a tree:
    // its body as a stream at its start (in memory, or a self-deleting temporary file beyond
    // 1 MiB). A fault named in the headers throws ServiceFaultException as above; a fault in the
    // body, or a body that is not XML, is for the caller's reader to find.
    void SendRequestForStream(Request* pRequest, IStream*& pStream, const char* pszFunction, int iLine);
    // The same on an asynchronous connection: the response arrives through the returned stream
    // while it is read, line ends converted to CR LF and its first megabyte kept for seeking back
    // (the stream is an IStream). The gates and certificate checks apply as on a synchronous one.
    void SendRequestAsynchronous(Request* pRequest, std::shared_ptr<AsyncStopEvent> pStop, ISequentialStream*& pStream,
                                 const char* pszFunction, int iLine);
    // A GET of `url` (a path on the server) with extra headers; repeated while the certificate
    // decision grants a retry. Status below 300: the body, in memory (bIsStream false) or in a
    // self-deleting temporary file (pStream, positioned at its start). 300-499:
    // FileDownloadFaultException; 500 and above: NginxException.
    void DoGetSynchronous(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, std::string& body, IStream*& pStream,
                          bool& bIsStream, bool bConvertLineEnds, const char* pszFunction, int iLine);
    // Takes one piece of a body as it arrives; false stops the transfer.
    using BodyConsumer = std::function<bool(const char* pData, DWORD cbData)>;
    // The same GET with the body handed to `consume` piece by piece as it arrives, neither held
    // nor spooled; nothing reaches it unless the status is below 300 (statuses throw as above). A
    // refusal of `consume` ends the transfer with WinHttpException(ERROR_WINHTTP_OPERATION_CANCELLED).
    void DoGetSynchronousTo(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, const BodyConsumer& consume,
                            const char* pszFunction, int iLine);
    // The same on an asynchronous connection, delivered through a stream.
    void DoGetAsynchronous(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, std::shared_ptr<AsyncStopEvent> pStop,
                           ISequentialStream*& pStream, ProgressCallback progress, const char* pszFunction, int iLine);

    // Each value other than 0xFFFFFFFF replaces that time-out (seconds); an open request gets
    // the new values at once.
    void SetConnTimeouts(DWORD dwConnectSeconds, DWORD dwSendSeconds, DWORD dwReceiveSeconds);
    void GetConnTimeouts(DWORD& dwConnectMs, DWORD& dwSendMs, DWORD& dwReceiveMs) const;
    DWORD GetMaxWriteSize() const { return m_dwMaxWriteSize; }
    // Closes the request, connect and session handles; the next request opens them again.
    void Disconnect();

    const std::wstring& GetServer() const { return m_wsServer; }
    DWORD GetPort() const;
    void SetPort(DWORD dwPort);
    int IsSecure() const { return m_iUseSSL; }
    bool IsAsynchronous() const { return m_iAsync != 0; }
    const std::wstring& GetDescription() const { return m_wsDescription; }
    DWORD GetConnectionNumber() const { return m_dwConnectionNumber; }
    long GetRequestNumber() const { return m_lRequestNumber; }
    const std::wstring& GetSoapPath() const { return m_wsSoapPath; }
    const std::wstring& GetOwner() const { return m_wsOwner; }

    void SetSSO(int sso) { m_iSSO = sso; }
    int IsSSO() const { return m_iSSO; }
    void SetNeedsCertAuth(int needs) { m_iNeedsCertAuth = needs; }
    int NeedsCertAuth() const { return m_iNeedsCertAuth; }
    void SetPurpose(CONNECTION_PURPOSE purpose) { m_purpose = purpose; }
    CONNECTION_PURPOSE GetPurpose() const { return m_purpose; }
    // The session whose token the requests carry; without one, the global profile's session.
    void SetUserSession(IConnectionSession* pSession) { m_pSession = pSession; }
    void SetCurrentUser(const wchar_t* pwszUser);
    std::wstring GetCurrentUser() const;
    void SetShouldLogBody(bool bLog) { m_bShouldLogBody = bLog; }
    // The most a reply may carry; reading stops with ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW as soon
    // as a reply passes it (synchronous and asynchronous), so a server that never ends cannot fill
    // the disk.
    void SetMaxResponseBytes(ULONGLONG cbMax) { m_ullMaxResponseBytes = cbMax; }

    // Certificate trust.
    void SetCertTrustDlgAllowed(int allowed);
    int IsCertTrustDlgAllowed() const { return m_iCertTrustDlgAllowed; }
    int IsTrusted() const { return m_iTrusted; }
    int IsTrustable() const { return m_iTrustable; }
    // Moving a connection with an open session from trusted back to untrusted is refused.
    void SetTrusted(int trusted);
    void SetTrustable(int trustable) { m_iTrustable = trustable; }
    int DoneTrustedConnCertChk() const { return m_iDoneCertCheck; }
    // A duplicate of the certificate of the last handshake (the caller frees it), or null.
    PCCERT_CONTEXT GetServerCert() const;
    Platform::CertFingerprint GetServerCertFingerprint() const;
    DWORD GetCertIssuesBitmap() const;
    void SetCertIssuesBitmap(DWORD dwBits);
    // The trust decision after certificate error `dwError`: sets `retry` when the connection is
    // now trusted; on refusal with `throwOnDeny` disconnects and throws WinHttpException carrying
    // the issue bitmap and the certificate. Returns non-zero when trusted.
    int HandleCertError(DWORD dwError, int& retry, int throwOnDeny);

    DWORD GetLastHttpStatusCode() const;
    void SetLastHttpStatusCode(DWORD dwStatus);
    DWORD GetLastWinHttpErr() const;
    void SetLastWinHttpErr(DWORD dwError);
    DWORD GetLastWinHttpErrAsync() const;
    void SetLastWinHttpErrAsync(DWORD dwError);
    bool GetAllowConnectEvenWhenOLOffline() const;
    void SetAllowConnectEvenWhenOLOffline(bool bAllow);

    // The caller and request of the exchange in flight (function without namespace).
    std::string GetFn() const;
    int GetLine() const;
    std::wstring GetRequestDetails() const override;
    std::string GetCallerFunction() const override { return GetFn(); }
    int GetCallerLine() const override { return GetLine(); }

    // Progress of transfers.
    std::shared_ptr<Util::ProgressTask> CreateProgressTask(const wchar_t* pwszName);
    std::shared_ptr<Util::ProgressTask> GetProgressTask() const;
    void ReleaseProgressTask();
    void SetSurrogateProgressTask(std::shared_ptr<Util::ProgressTask> pTask);
    void SetProgressCallback(ProgressCallback callback);

    // Reading the last response for the authentication steps of the session.
    // The authenticate header equals "negotiate" (any case).
    bool TestForNegotiateChallenge();
    // The value of the first set-cookie header when it is an OS_AUTH_TOKEN cookie.
    bool GetAuthToken(std::wstring& wsToken);
    bool GetRedirect(std::wstring& wsLocation);
    // The port after "<server>:" in the redirect location.
    bool GetRedirectPort(DWORD& dwPort);

    // Milliseconds spent in the last call of each kind.
    DWORD GetMillisecsWinHttpSendRequest() const { return m_timing.send.Millis(); }
    DWORD GetMillisecsWinHttpReceiveResponse() const { return m_timing.receive.Millis(); }
    DWORD GetMillisecsWinHttpQueryDataAvailable() const { return m_timing.query.Millis(); }
    DWORD GetMillisecsWinHttpReadData() const { return m_timing.read.Millis(); }
    DWORD GetMillisecsWinHttpWriteData() const { return m_timing.write.Millis(); }

    // The fault policy of the SOAP client and the SSL test of transport errors.
    static bool CheckForErrorAndReAuthIfReqd(Response* pResponse, bool throwAll, IUserSessionAuth* pSession);
    static int IsSSLError(DWORD dwError);

    // Building blocks of transfers (uploads and downloads use them as SOAP calls do).
    // Opens the handles and a request: POST of the SOAP path and call name, or, with a URL,
    // a GET (isGet) or POST of that URL.
    void ConfigureConnection(const wchar_t* pwszCallName, const wchar_t* pwszUrl, bool bIsGet);
    // Sends the request through the gates (offline, trust period); throws WinHttpException.
    void HttpSendRequest(const std::wstring& wsHeaders, const void* pData, DWORD cbData, DWORD cbTotal);
    // Writes more of the body through the gates; false with the error in GetLastWinHttpErr.
    bool HttpWriteData(const void* pData, DWORD cbData, DWORD* pcbWritten);
    void HttpReceiveResponse();
    // Queries, caches and logs the status of the response.
    DWORD ReadHttpStatus();
    // Holds the connection's single request slot for an exchange made of several calls (an
    // upload's body and its answer); SOAP calls and downloads take it themselves.
    std::unique_lock<std::recursive_mutex> LockRequestSlot() { return std::unique_lock(m_requestMutex); }
    // Reads the whole response: in memory up to 1 MiB, beyond that into a self-deleting
    // temporary file returned in pStream (positioned at its start) with bIsStream set.
    // bConvertLineEnds writes every LF not preceded by CR as CR LF. Throws WinHttpException
    // when the transfer fails; nothing of a failed response is returned.
    void ReadResponseSynchronous(std::string& body, IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                 bool bLogBody);
    // The service fault of the last response's headers, if any.
    bool GetServiceFaultInfo(std::wstring& wsCode, std::wstring& wsMessage);
    HINTERNET GetRequestHandle() const;
    // Records the caller for logs and NginxException; the namespace is stripped.
    void RecordCaller(const char* pszFunction, int iLine, const wchar_t* pwszDetails);

    // The state of one asynchronous exchange (ConnectionAsync.cpp).
    class AsyncExchange;

protected:
    void SetSoapPath(const wchar_t* pwszPath) { m_wsSoapPath = pwszPath; }
    DWORD GetProxyMode() const { return m_dwProxyMode; }
    const std::wstring& GetManualProxy() const { return m_wsManualProxy; }

private:
    // Sends a SOAP request and reads its answer, with the certificate retry and HTTP
    // authentication, and checks the status: the body in `response`, or in `stream` when it was
    // too large to hold (called with the request slot held).
    void ExchangeSoap(Request* pRequest, const char* pszFunction, int iLine, std::string& response,
                      Platform::ComPtr<IStream>& stream);

    struct Span {
        ULONGLONG ullStart = 0;
        ULONGLONG ullEnd = 0;
        DWORD Millis() const { return static_cast<DWORD>(ullEnd - ullStart); }
    };
    struct Timing {
        Span send, receive, query, read, write;
    };
    void InitConn(DWORD dwPort, const wchar_t* pwszManualProxy);
    void ReadRegistrySettings();
    void StartWinHttpSess();
    void InitProxySettings();
    void ApplyTimeouts(HINTERNET h) const;
    void SetSecurityOptions(HINTERNET hRequest);
    [[noreturn]] void ThrowResponseTooLarge(ULONGLONG cbSeen);
    // Reading a response: the banner, headers and announced length (refused past the limit); the
    // body piece by piece through the gates, the limit and progress; the closing banner.
    ULONGLONG BeginResponseRead(bool& bHasLength);
    ULONGLONG ReadBody(ULONGLONG ullExpected, bool bHasLength, const BodyConsumer& consume);
    void EndResponseRead();
    void SetCredentials(HINTERNET hRequest);
    void SetCertAuthOptions(HINTERNET hRequest);
    void EnsureAuthTokenAndNoSession(Request* pRequest, std::wstring& wsHeaders);
    // For an exchange that failed with `e`: a certificate failure on HTTPS goes to the trust
    // decision (which may ask the user through the trust manager); true when the exchange is to
    // be sent again. A refusal throws as HandleCertError does.
    bool RetryAfterCertError(const WinHttpException& e);
    DWORD GateError();
    // The same with the manager's offline state given (read by a caller that may not take the
    // manager's lock where it is).
    DWORD GateError(bool bOffline);
    void CheckGates();
    bool IsTrustPeriodExpired();
    // After a successful HTTPS send: a verified certificate clears any stored trust; a trusted
    // connection checks once that it met the trusted certificate. The error to fail with, or 0.
    DWORD CheckCertificateAfterSend(HINTERNET hRequest);
    DWORD ChkGotExpectedCert(HINTERNET hRequest);
    void SaveServerCertificate(HINTERNET hRequest);
    void ClearCertificateState();
    [[noreturn]] void ThrowWinHttp(DWORD dwError);
    void LogRequest(const std::wstring& wsCallName, const std::string& body);
    std::wstring QueryResponseHeader(DWORD dwLevel, const wchar_t* pwszName = nullptr);
    int DoHttpAuthentication(int target);
    static void StatusCallback(HINTERNET h, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);
    void OnSecureFailure(DWORD dwFlags, HINTERNET hRequest);
    void AbortAsyncExchanges();
    void StartAsync(const std::wstring& wsHeaders, const std::string& body, std::shared_ptr<AsyncStopEvent> pStop,
                    ProgressCallback progress, ISequentialStream*& pStream);

    // Settings.
    std::wstring m_wsOwner;
    std::wstring m_wsServer;
    std::atomic<DWORD> m_dwPort{0};
    int m_iUseSSL = 0;
    DWORD m_dwProxyMode = kProxyModeNone;
    std::wstring m_wsManualProxy;
    int m_iAsync = 0;
    std::wstring m_wsSoapPath;
    DWORD m_dwConnectTimeout = kDefaultTimeoutMs;
    DWORD m_dwSendTimeout = kDefaultTimeoutMs;
    DWORD m_dwReceiveTimeout = kDefaultTimeoutMs;
    DWORD m_dwMaxWriteSize = kDefaultMaxWriteSize;
    DWORD m_dwConnectionNumber = 0;
    std::wstring m_wsDescription;
    IConnectionSession* m_pSession = nullptr;
    int m_iSSO = 0;
    int m_iNeedsCertAuth = 0;
    CONNECTION_PURPOSE m_purpose = CONNECTION_PURPOSE_GENERAL;
    bool m_bShouldLogBody = true;
    ULONGLONG m_ullMaxResponseBytes = kMaxResponseBytes;

    // Handles (m_handleMutex). The request mutex keeps one exchange at a time.
    mutable std::mutex m_handleMutex;
    std::recursive_mutex m_requestMutex;
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnect = nullptr;
    HINTERNET m_hRequest = nullptr;
    std::wstring m_wsProxyList;
    std::wstring m_wsProxyBypass;
    DWORD m_dwProxyAccess = WINHTTP_ACCESS_TYPE_NO_PROXY;

    // Trust.
    std::atomic<int> m_iTrustable{1};
    std::atomic<int> m_iTrusted{0};
    std::atomic<int> m_iCatchCertErrors{0};
    std::atomic<int> m_iDoneCertCheck{0};
    std::atomic<bool> m_bDropSession{false};  // trust ended: the next request starts a new session
    std::atomic<int> m_iCertTrustDlgAllowed{1};
    std::optional<Platform::CertFingerprint> m_pinnedFingerprint;  // the certificate the user accepted

    // Certificate of the last handshake (m_certMutex).
    mutable std::mutex m_certMutex;
    PCCERT_CONTEXT m_pServerCert = nullptr;
    Platform::CertFingerprint m_fingerprint{};
    DWORD m_dwCertIssues = 0;

    mutable std::mutex m_statusMutex;
    DWORD m_dwLastHttpStatus = 0;
    DWORD m_dwLastWinHttpErr = 0;
    mutable std::mutex m_asyncMutex;
    DWORD m_dwLastWinHttpErrAsync = 0;
    std::vector<std::weak_ptr<AsyncExchange>> m_asyncExchanges;
    mutable std::mutex m_offlineMutex;
    bool m_bAllowConnectWhenOffline = false;

    // The exchange in flight.
    mutable std::mutex m_callerMutex;
    std::string m_sFunction;
    int m_iLine = 0;
    std::wstring m_wsRequestDetails;
    std::wstring m_wsCurrentUser;
    std::atomic<long> m_lRequestNumber{0};
    Timing m_timing;

    mutable std::mutex m_progressMutex;
    std::shared_ptr<Util::ProgressTask> m_pProgressTask;
    std::shared_ptr<Util::ProgressTask> m_pSurrogateProgressTask;
    ProgressCallback m_progressCallback;
};

// A connection to the admin SOAP path.
class AdminConnection : public Connection {
public:
    AdminConnection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL, DWORD dwProxyMode,
                    const wchar_t* pwszManualProxy, int async);
    Connection* CloneConnection() override;
};

// Waits until the reply of an asynchronous download (DoGetAsynchronous) has its status (at most the
// receive time-out, or until the stop event is set) and returns it; 0 when the exchange ended
// without one or `pStream` is not such a reply.
DWORD AwaitAsyncStatus(ISequentialStream* pStream);

// The next request number of the process (the first is 1).
long NextRequestNumber();

// Knows every live connection, the online state of the client and the bytes moved. The online
// flag starts as the host's and follows every online report of the host (Platform::Host); the
// library may also set it itself, for instance right after asking the host to go offline.
class ConnectionMgr {
public:
    static ConnectionMgr& Get();

    void RegisterConnection(Connection* pConnection);
    void UnregisterConnection(Connection* pConnection);
    size_t GetCount() const;
    bool IsOffline() const;
    void NotifyOnlineOfflineTransition(int nowOnline);
    // Every connection on another port is disconnected and moved to `dwPort`.
    void RedirectAll(DWORD dwPort);
    void DisconnectAll();
    void NotifyBytesSent(ULONGLONG ullBytes);
    void NotifyBytesReceived(ULONGLONG ullBytes);
    ULONGLONG GetBytesSent() const;
    ULONGLONG GetBytesReceived() const;
    void LogConnections() const;
    void LogConnectionStats() const;

private:
    ConnectionMgr() = default;

    mutable std::recursive_mutex m_mutex;
    std::list<Connection*> m_connections;
    bool m_bOnline = true;
    ULONGLONG m_ullSent = 0;
    ULONGLONG m_ullReceived = 0;
};

}  // namespace Ostrel::Rpc
