// Asynchronous exchanges: the request runs on WinHTTP's callback thread and the caller reads the
// response through a stream while it arrives. Each exchange is registered under a number that
// the callbacks carry, so a callback for an exchange that is gone does nothing.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <map>
#include <utility>

#include "Platform/Com/ComPtr.h"

#include "Ostrel/Rpc/Soap/RequestUserAgent.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/ConnectionInternal.h"
#include "Ostrel/Rpc/Transport/LogMask.h"
#include "Ostrel/Zip/StreamFilters.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

constexpr HRESULT kWaitTimedOut = static_cast<HRESULT>(0x80040401);  // MAPI_E_TIMEOUT
constexpr HRESULT kStopped = static_cast<HRESULT>(0x8F0C0001);
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80040115);  // MAPI_E_NETWORK_ERROR
// Reading from the server pauses while this much is waiting for the caller.
constexpr size_t kMaxBuffered = 4u << 20;
constexpr size_t kResumeBelow = 1u << 20;
constexpr DWORD kReadPiece = 64 * 1024;

}  // namespace

void AsyncStopEvent::Set() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bSet = true;
        wake = m_wake;
    }
    if (wake)
        wake();
}

bool AsyncStopEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSet;
}

void AsyncStopEvent::Attach(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake = std::move(wake);
}

void AsyncStopEvent::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake = nullptr;
}

// The state of one asynchronous exchange, shared by the callbacks and the stream.
class Connection::AsyncExchange {
public:
    std::mutex mutex;
    std::condition_variable_any cv;
    std::string data;  // arrived, not yet read
    size_t pos = 0;
    bool bEnded = false;
    bool bHeaders = false;  // the status is known
    bool bStalled = false;
    bool bIsGet = false;
    DWORD dwError = 0;
    DWORD dwStatus = 0;
    ULONGLONG ullTotal = 0;
    ULONGLONG ullExpected = 0;
    ULONGLONG ullMaxBytes = kMaxResponseBytes;
    ULONGLONG ullStart = 0;     // ticks when the request was sent
    ULONGLONG ullHeaders = 0;   // ... when the headers arrived
    ULONGLONG ullLastRead = 0;  // ... when the last data arrived
    char buffer[kReadPiece];

    DWORD id = 0;
    HINTERNET hRequest = nullptr;
    Connection* pConnection = nullptr;  // null once the connection is gone (under the map lock)
    std::wstring wsDescription;
    long lRequest = 0;
    ProgressCallback progress;
    DWORD dwReceiveTimeout = 0;

    size_t Buffered() const { return data.size() - pos; }

    void Append(const char* p, size_t n) {
        if (pos == data.size()) {
            data.clear();
            pos = 0;
        } else if (pos > kReadPiece && pos * 2 > data.size()) {
            data.erase(0, pos);
            pos = 0;
        }
        data.append(p, n);
    }

    // The steps a synchronous exchange takes around its WinHTTP calls, on the callback's thread:
    // the gates before receiving and reading, and the certificate check after the send. The
    // error to end the exchange with, or 0. Called under `mutex`.
    DWORD BeforeReceive(bool bOffline);
    DWORD AfterSend(HINTERNET h);
    // Ends the exchange with `dwError`, recorded as the connection's last asynchronous error.
    void Fail(DWORD dwError);
    // Ends the exchange when the reply is larger than it may be (`ullSeen` announced or read):
    // nothing more is read, so a reply that never ends cannot fill memory or the spool folder.
    bool FailIfTooLarge(ULONGLONG ullSeen) {
        if (ullSeen <= ullMaxBytes)
            return false;
        OSTLOG_ERROR(L"%s: the reply is larger than %llu bytes (%llu seen): reading stopped", wsDescription.c_str(),
                     static_cast<unsigned long long>(ullMaxBytes), static_cast<unsigned long long>(ullSeen));
        Fail(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW);
        return true;
    }

    void End(DWORD error) {
        if (!bEnded) {
            ULONGLONG now = Util::CurrentClock().GetTickCount64();
            auto since = [now](ULONGLONG t) { return t ? static_cast<int>((now - t) / 1000) : -1; };
            OSTLOG_INFO(16, L"Since WinHttpSendRequestStart:           %ds", since(ullStart));
            OSTLOG_INFO(16, L"Since WinHttpReceiveResponse complete:   %ds", since(ullHeaders));
            OSTLOG_INFO(16, L"Since WinHttpReadData complete:          %ds", since(ullLastRead));
            OSTLOG_INFO(16, L"Total async file transfer time: %dms", static_cast<int>(now - ullStart));
        }
        bEnded = true;
        if (error && !dwError)
            dwError = error;
        cv.notify_all();
    }
};

namespace {

std::mutex g_exchangesMutex;
std::map<DWORD, std::shared_ptr<Connection::AsyncExchange>> g_exchanges;
std::atomic<DWORD> g_nextExchange{0};

// The response headers, as the synchronous read logs them.
std::wstring RawHeaders(HINTERNET h) {
    DWORD cb = 0;
    if (WinHttpQueryHeaders(h, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr, nullptr, &cb, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::wstring();
    std::wstring headers(cb / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr, headers.data(), &cb, nullptr))
        return std::wstring();
    headers.resize(cb / sizeof(wchar_t));
    return headers;
}

std::shared_ptr<Connection::AsyncExchange> FindExchange(DWORD id) {
    std::lock_guard<std::mutex> lock(g_exchangesMutex);
    auto it = g_exchanges.find(id);
    return it == g_exchanges.end() ? nullptr : it->second;
}

void ForgetExchange(DWORD id) {
    std::lock_guard<std::mutex> lock(g_exchangesMutex);
    g_exchanges.erase(id);
}

}  // namespace

DWORD Connection::AsyncExchange::BeforeReceive(bool bOffline) {
    std::lock_guard<std::mutex> mapLock(g_exchangesMutex);
    return pConnection ? pConnection->GateError(bOffline) : 0;
}

DWORD Connection::AsyncExchange::AfterSend(HINTERNET h) {
    std::lock_guard<std::mutex> mapLock(g_exchangesMutex);
    return pConnection ? pConnection->CheckCertificateAfterSend(h) : 0;
}

void Connection::AsyncExchange::Fail(DWORD dwError) {
    {
        std::lock_guard<std::mutex> mapLock(g_exchangesMutex);
        if (pConnection)
            pConnection->SetLastWinHttpErrAsync(dwError);
    }
    End(dwError);
}

// The caller's side of an asynchronous exchange.
class AsyncResponseStream : public Platform::ComObject<ISequentialStream> {
public:
    AsyncResponseStream(std::shared_ptr<Connection::AsyncExchange> exchange, std::shared_ptr<AsyncStopEvent> pStop)
        : m_exchange(std::move(exchange)), m_pStop(std::move(pStop)) {
        if (m_pStop) {
            std::weak_ptr<Connection::AsyncExchange> weak = m_exchange;
            m_pStop->Attach([weak] {
                if (auto exchange = weak.lock()) {
                    std::lock_guard<std::mutex> lock(exchange->mutex);
                    exchange->cv.notify_all();
                }
            });
        }
    }

    ~AsyncResponseStream() override {
        if (m_pStop)
            m_pStop->Detach();
        ForgetExchange(m_exchange->id);
        HINTERNET h;
        {
            std::lock_guard<std::mutex> lock(m_exchange->mutex);
            h = std::exchange(m_exchange->hRequest, nullptr);
        }
        if (h)
            WinHttpCloseHandle(h);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISequentialStream, IUnknown>(riid, ppv);
    }

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead)
            *pcbRead = 0;
        if (!pv && cb)
            return STG_E_INVALIDPOINTER;
        Connection::AsyncExchange& x = *m_exchange;
        std::unique_lock<std::mutex> lock(x.mutex);
        if (!m_pStop && !m_bWarnedNoStop) {
            OSTLOG_WARN(L"Possible hang. NO STOP EVENT.");
            m_bWarnedNoStop = true;
        }
        auto stopped = [&] { return m_pStop && m_pStop->IsSet(); };
        auto& clock = Util::CurrentClock();
        DWORD dwTimeout = x.dwReceiveTimeout ? x.dwReceiveTimeout : INFINITE;

        if (!clock.WaitFor(x.cv, lock, dwTimeout, [&] { return x.Buffered() > 0 || x.bEnded || stopped(); })) {
            OSTLOG_ERROR(L"WAIT_FAILED by timeout");
            return kWaitTimedOut;
        }
        if (stopped()) {
            OSTLOG_WARN(L"ISequentialStreamImpl::Read got stop event. Aborting.");
            return kStopped;
        }
        if (x.dwError) {
            if (x.dwError == ERROR_WINHTTP_SECURE_FAILURE)
                OSTLOG_ERROR(L"Caught cert error");
            else
                OSTLOG_ERROR(L"HTTP error %s", Util::WinHTTPErrorToString(x.dwError).c_str());
            return kNetworkError;
        }
        if (!clock.WaitFor(x.cv, lock, dwTimeout,
                           [&] { return x.Buffered() >= cb || x.bEnded || stopped() || x.bStalled; })) {
            OSTLOG_ERROR(L"WAIT_FAILED by timeout");
            return kWaitTimedOut;
        }
        if (stopped()) {
            OSTLOG_WARN(L"ISequentialStreamImpl::Read got stop event. Aborting.");
            return kStopped;
        }
        if (x.dwError && x.Buffered() == 0)
            return kNetworkError;
        size_t n = std::min<size_t>(cb, x.Buffered());
        if (n == 0)
            return S_FALSE;
        std::memcpy(pv, x.data.data() + x.pos, n);
        x.pos += n;
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(n);
        // The reader caught up: ask the server side for more.
        if (x.bStalled && x.Buffered() < kResumeBelow && x.hRequest) {
            x.bStalled = false;
            WinHttpQueryDataAvailable(x.hRequest, nullptr);
        }
        return S_OK;
    }

    DWORD AwaitStatus() {
        Connection::AsyncExchange& x = *m_exchange;
        std::unique_lock<std::mutex> lock(x.mutex);
        DWORD dwTimeout = x.dwReceiveTimeout ? x.dwReceiveTimeout : INFINITE;
        Util::CurrentClock().WaitFor(x.cv, lock, dwTimeout,
                                     [&] { return x.bHeaders || x.bEnded || (m_pStop && m_pStop->IsSet()); });
        return x.bHeaders ? x.dwStatus : 0;
    }

    HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override {
        if (pcbWritten)
            *pcbWritten = 0;
        return STG_E_ACCESSDENIED;
    }

private:
    std::shared_ptr<Connection::AsyncExchange> m_exchange;
    std::shared_ptr<AsyncStopEvent> m_pStop;
    bool m_bWarnedNoStop = false;
};

namespace {

// One status of an exchange, under its lock. True when the reply has been read to its end
// (`ullReceived` bytes).
bool OnStatus(Connection::AsyncExchange& x, HINTERNET h, DWORD status, LPVOID info, DWORD length, bool bOffline,
              ULONGLONG& ullReceived) {
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            OSTLOG_WARN(L"Async callback detected certificate issue");
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            if (DWORD dwError = x.AfterSend(h)) {
                x.Fail(dwError);
            } else if (DWORD dwGate = x.BeforeReceive(bOffline)) {
                x.Fail(dwGate);
            } else {
                WinHttpReceiveResponse(h, nullptr);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
            x.ullHeaders = Util::CurrentClock().GetTickCount64();
            x.bHeaders = true;
            DWORD cb = sizeof x.dwStatus;
            WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &x.dwStatus, &cb,
                                nullptr);
            NoteResponseReceived();
            wchar_t length[32];
            cb = sizeof length;
            if (WinHttpQueryHeaders(h, WINHTTP_QUERY_CONTENT_LENGTH, nullptr, length, &cb, nullptr))
                x.ullExpected = std::wcstoull(length, nullptr, 10);
            OSTLOG_INFO(16,
                        L"\n--------------------------------- RESPONSE %d http stream start "
                        L"--------------------------------------------",
                        static_cast<int>(x.lRequest));
            OSTLOG_INFO(16, L"%s", MaskedForLog(RawHeaders(h)).c_str());
            // A download answered with anything but success has no content for the caller.
            if (x.bIsGet && x.dwStatus >= 300) {
                OSTLOG_ERROR(L"HTTP status code=%d", static_cast<int>(x.dwStatus));
                x.End(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                break;
            }
            if (x.FailIfTooLarge(x.ullExpected))
                break;
            if (x.progress)
                x.progress(0, x.ullExpected);
            WinHttpQueryDataAvailable(h, nullptr);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
            DWORD available = *static_cast<DWORD*>(info);
            OSTLOG_INFO(64, L"%d byte(s) available to read", static_cast<int>(available));
            if (available == 0) {
                OSTLOG_INFO(16,
                            L"\n- - - - - - - - - - - - - - - - - %s %d http stream end - - - - - - - - - - - - - - - "
                            L"- - - - - - - - - \n\n",
                            L"RESPONSE", static_cast<int>(x.lRequest));
                ullReceived = x.ullTotal;
                x.End(0);
                return true;
            } else if (DWORD dwGate = x.BeforeReceive(bOffline)) {
                x.Fail(dwGate);
            } else {
                WinHttpReadData(h, x.buffer, std::min<DWORD>(available, kReadPiece), nullptr);
            }
            break;
        }
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            if (x.bEnded || x.FailIfTooLarge(x.ullTotal + length))
                break;
            x.Append(static_cast<const char*>(info), length);
            x.ullTotal += length;
            x.ullLastRead = Util::CurrentClock().GetTickCount64();
            if (x.progress)
                x.progress(x.ullTotal, x.ullExpected);
            x.cv.notify_all();
            if (x.Buffered() < kMaxBuffered)
                WinHttpQueryDataAvailable(h, nullptr);
            else
                x.bStalled = true;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
            if (result->dwError == ERROR_WINHTTP_SECURE_FAILURE)
                OSTLOG_WARN(L"Async callback detected certificate issue");
            x.Fail(result->dwError);
            break;
        }
        default:
            break;
    }
    return false;
}

void AsyncCallback(HINTERNET h, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
        return;
    std::shared_ptr<Connection::AsyncExchange> exchange = FindExchange(static_cast<DWORD>(context));
    if (!exchange) {
        OSTLOG_INFO(16, L"Associated connection has been destructed, suppressing async callback");
        return;
    }
    Connection::AsyncExchange& x = *exchange;
    // The manager's lock is never taken under the exchange's: disconnecting every connection
    // holds the manager's lock while it ends their exchanges.
    const bool bOffline =
        (status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE || status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE) &&
        ConnectionMgr::Get().IsOffline();
    ULONGLONG ullReceived = 0;
    bool bEnded = false;
    {
        std::lock_guard<std::mutex> lock(x.mutex);
        bEnded = OnStatus(x, h, status, info, length, bOffline, ullReceived);
    }
    if (bEnded)
        ConnectionMgr::Get().NotifyBytesReceived(ullReceived);
}

}  // namespace

void Connection::StartAsync(const std::wstring& wsHeaders, const std::string& body,
                            std::shared_ptr<AsyncStopEvent> pStop, ProgressCallback progress,
                            ISequentialStream*& pStream) {
    pStream = nullptr;
    CheckGates();
    auto exchange = std::make_shared<AsyncExchange>();
    exchange->id = ++g_nextExchange;
    exchange->bIsGet = body.empty() && GetRequestDetails().rfind(L"GET ", 0) == 0;
    exchange->pConnection = this;
    exchange->wsDescription = m_wsDescription;
    exchange->lRequest = m_lRequestNumber;
    exchange->progress = std::move(progress);
    exchange->dwReceiveTimeout = m_dwReceiveTimeout;
    exchange->ullMaxBytes = m_ullMaxResponseBytes;
    exchange->ullStart = Util::CurrentClock().GetTickCount64();
    {
        // The exchange owns the request handle from now on; the next request of the connection
        // opens its own.
        std::lock_guard<std::mutex> lock(m_handleMutex);
        exchange->hRequest = std::exchange(m_hRequest, nullptr);
    }
    HINTERNET h = exchange->hRequest;
    WinHttpSetStatusCallback(
        h, AsyncCallback,
        WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_HANDLES,
        0);
    std::wstring wsAgent = std::wstring(UserAgentProduct()) + L"/" + UserAgentVersion(m_lRequestNumber);
    WinHttpSetOption(h, WINHTTP_OPTION_USER_AGENT, wsAgent.data(), static_cast<DWORD>(wsAgent.size()));
    {
        std::lock_guard<std::mutex> lock(g_exchangesMutex);
        g_exchanges[exchange->id] = exchange;
    }
    Platform::ComPtr<ISequentialStream> stream;
    stream.Attach(new AsyncResponseStream(exchange, std::move(pStop)));
    m_timing.send.ullStart = Util::CurrentClock().GetTickCount64();
    BOOL bSent = WinHttpSendRequest(h, wsHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wsHeaders.c_str(),
                                    static_cast<DWORD>(wsHeaders.size()), const_cast<char*>(body.data()),
                                    static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), exchange->id);
    m_timing.send.ullEnd = Util::CurrentClock().GetTickCount64();
    if (!bSent)
        ThrowWinHttp(GetLastError());  // the stream's release closes the handle
    ConnectionMgr::Get().NotifyBytesSent(2ull * wsHeaders.size() + body.size());
    {
        std::lock_guard<std::mutex> lock(m_asyncMutex);
        m_asyncExchanges.push_back(exchange);
    }
    pStream = stream.Detach();
}

void Connection::SendRequestAsynchronous(Request* pRequest, std::shared_ptr<AsyncStopEvent> pStop,
                                         ISequentialStream*& pStream, const char* pszFunction, int iLine) {
    pStream = nullptr;
    if (!m_iAsync)
        ThrowWinHttp(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    RecordCaller(pszFunction, iLine, nullptr);
    const wchar_t* pwszCallName = pRequest->CallName();
    ConnectionInternal::HideSecretsScope hide(ConnectionInternal::IsAuthenticationCall(pwszCallName));
    m_lRequestNumber = NextRequestNumber();
    ConfigureConnection(pwszCallName, nullptr, false);
    std::wstring wsHeaders;
    EnsureAuthTokenAndNoSession(pRequest, wsHeaders);
    std::string body;
    if (FAILED(pRequest->GetDocument()->get_xmlUtf8(body)))
        ThrowWinHttp(ERROR_WINHTTP_INTERNAL_ERROR);
    LogRequest(pwszCallName ? pwszCallName : L"", body);
    Platform::ComPtr<ISequentialStream> raw;
    StartAsync(std::wstring(), body, std::move(pStop), nullptr, *raw.AddressOf());
    // The reply is read as every response is: line ends made CR LF, its first megabyte kept so
    // that the reader can seek back.
    IStream* pBuffered = nullptr;
    if (FAILED(CreateBufferedCRLFStream(raw.Get(), &pBuffered)))
        ThrowWinHttp(ERROR_NOT_ENOUGH_MEMORY);
    pStream = pBuffered;
}

void Connection::DoGetAsynchronous(const wchar_t* pwszUrl, const wchar_t* pwszHeaders,
                                   std::shared_ptr<AsyncStopEvent> pStop, ISequentialStream*& pStream,
                                   ProgressCallback progress, const char* pszFunction, int iLine) {
    pStream = nullptr;
    if (!m_iAsync)
        ThrowWinHttp(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    std::lock_guard<std::recursive_mutex> exchange(m_requestMutex);
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    RecordCaller(pszFunction, iLine, nullptr);
    m_lRequestNumber = NextRequestNumber();
    ConfigureConnection(nullptr, pwszUrl, true);
    // A download is handed over byte for byte (archives and files are binary).
    StartAsync(pwszHeaders ? pwszHeaders : L"", std::string(), std::move(pStop), std::move(progress), pStream);
}

DWORD AwaitAsyncStatus(ISequentialStream* pStream) {
    auto* pAsync = dynamic_cast<AsyncResponseStream*>(pStream);
    return pAsync ? pAsync->AwaitStatus() : 0;
}

void Connection::AbortAsyncExchanges() {
    std::vector<std::weak_ptr<AsyncExchange>> exchanges;
    {
        std::lock_guard<std::mutex> lock(m_asyncMutex);
        exchanges.swap(m_asyncExchanges);
    }
    for (auto& weak : exchanges) {
        auto exchange = weak.lock();
        if (!exchange)
            continue;
        // Later callbacks find nothing and are suppressed; a reader is told at once.
        {
            std::lock_guard<std::mutex> mapLock(g_exchangesMutex);
            exchange->pConnection = nullptr;
            g_exchanges.erase(exchange->id);
        }
        HINTERNET h;
        {
            std::lock_guard<std::mutex> lock(exchange->mutex);
            if (!exchange->bEnded)
                OSTLOG_WARN(L"%s: connection closed while an asynchronous transfer was running",
                            exchange->wsDescription.c_str());
            exchange->End(ERROR_WINHTTP_OPERATION_CANCELLED);
            h = std::exchange(exchange->hRequest, nullptr);
        }
        if (h)
            WinHttpCloseHandle(h);
    }
}

}  // namespace Ostrel::Rpc
