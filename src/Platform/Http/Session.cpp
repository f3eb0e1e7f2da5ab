// Handles and their settings: sessions, connections, requests, options, time-outs, credentials
// and status callbacks.
#include "Platform/Http/Internal.h"

#include "Platform/Base/HResult.h"
#include "Platform/Base/Utf.h"

#include <atomic>
#include <cstring>
#include <cwchar>

using namespace Platform::Http::Detail;

namespace {

std::string Narrow(LPCWSTR text) {
    return text ? Platform::ToUtf8(text) : std::string();
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

void Inherit(Object& child, Object& parent) {
    std::lock_guard<std::mutex> lock(parent.optMutex);
    child.callback = parent.callback;
    child.notifyFlags = parent.notifyFlags;
    child.timeouts = parent.timeouts;
    child.userAgent = parent.userAgent;
}

template <class T>
bool ReadValue(LPVOID buffer, DWORD length, T& out) {
    if (!buffer || length < sizeof(T))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(&out, buffer, sizeof(T));
    return true;
}

template <class T>
BOOL WriteValue(LPVOID buffer, LPDWORD length, const T& value) {
    if (!length)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!buffer || *length < sizeof(T)) {
        *length = sizeof(T);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(T));
    *length = sizeof(T);
    return TRUE;
}

BOOL WriteText(LPVOID buffer, LPDWORD length, const std::wstring& text) {
    if (!length)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::wmemcpy(static_cast<wchar_t*>(buffer), text.c_str(), text.size() + 1);
    *length = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    return TRUE;
}

bool IsValidAccessType(DWORD type) {
    return type == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY || type == WINHTTP_ACCESS_TYPE_NO_PROXY ||
           type == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW, LPCWSTR pszProxyBypassW,
                      DWORD dwFlags) {
    if (!IsValidAccessType(dwAccessType) ||
        (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && (!pszProxyW || !*pszProxyW))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    session->userAgent = Narrow(pszAgentW);
    session->async = (dwFlags & WINHTTP_FLAG_ASYNC) != 0;
    session->proxy.accessType = dwAccessType;
    if (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        session->proxy.proxy = pszProxyW;
        session->proxy.bypass = pszProxyBypassW ? pszProxyBypassW : L"";
    }
    return RegisterHandle(session);
}

HINTERNET WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName, INTERNET_PORT nServerPort, DWORD) {
    auto session = LookupAs<Session>(hSession, WINHTTP_HANDLE_TYPE_SESSION);
    if (!session)
        return nullptr;
    std::string host = Narrow(pswzServerName);
    // A host name with separators or spaces cannot be part of a URL.
    if (host.empty() || host.find_first_of("/?#@ \t\r\n") != std::string::npos) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return nullptr;
    }
    auto connect = std::make_shared<Connect>();
    Inherit(*connect, *session);
    connect->session = session;
    connect->host = host;
    connect->port = nServerPort;
    if (!session->async && !(connect->multi = curl_multi_init())) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return RegisterHandle(connect);
}

HINTERNET WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName, LPCWSTR, LPCWSTR, LPCWSTR*,
                             DWORD dwFlags) {
    auto connect = LookupAs<Connect>(hConnect, WINHTTP_HANDLE_TYPE_CONNECT);
    if (!connect)
        return nullptr;
    std::string verb = pwszVerb && *pwszVerb ? Narrow(pwszVerb) : "GET";
    if (verb.find_first_of(" \t\r\n") != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto request = std::make_shared<Request>();
    Inherit(*request, *connect);
    request->connect = connect;
    request->async = connect->session->async;
    request->verb = verb;
    request->object = Narrow(pwszObjectName);
    request->secure = (dwFlags & WINHTTP_FLAG_SECURE) != 0;
    return RegisterHandle(request);
}

BOOL WinHttpCloseHandle(HINTERNET hInternet) {
    std::shared_ptr<Object> object = UnregisterHandle(hInternet);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (object->type == WINHTTP_HANDLE_TYPE_REQUEST) {
        auto request = std::static_pointer_cast<Request>(object);
        if (request->async) {
            PostToWorker(request, [request] {
                request->closing = true;
                request->pending = PendingOp::None;
                DetachTransfer(*request);
                HINTERNET h = request->handle;
                Notify(*request, WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &h, sizeof h);
            });
            return TRUE;
        }
        // A call pumping this request on another thread gives up at once.
        request->cancelled = true;
        curl_multi_wakeup(request->connect->multi);
        {
            std::lock_guard<std::mutex> lock(request->connect->pumpMutex);
            DetachTransfer(*request);
        }
        HINTERNET h = request->handle;
        Notify(*request, WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &h, sizeof h);
    }
    return TRUE;
}

BOOL WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout, int nSendTimeout,
                        int nReceiveTimeout) {
    std::shared_ptr<Object> object = LookupHandle(hInternet);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (nResolveTimeout < -1 || nConnectTimeout < -1 || nSendTimeout < -1 || nReceiveTimeout < -1)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(object->optMutex);
    object->timeouts = Timeouts{nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout};
    return TRUE;
}

BOOL WinHttpSetCredentials(HINTERNET hRequest, DWORD AuthTargets, DWORD AuthScheme, LPCWSTR pwszUserName,
                           LPCWSTR pwszPassword, LPVOID) {
    auto request = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!request)
        return FALSE;
    if (AuthScheme != WINHTTP_AUTH_SCHEME_BASIC || !pwszUserName ||
        (AuthTargets != WINHTTP_AUTH_TARGET_SERVER && AuthTargets != WINHTTP_AUTH_TARGET_PROXY))
        return Fail(ERROR_INVALID_PARAMETER);
    std::pair<std::string, std::string> credentials(Narrow(pwszUserName), Narrow(pwszPassword));
    std::lock_guard<std::mutex> lock(request->optMutex);
    if (AuthTargets == WINHTTP_AUTH_TARGET_PROXY)
        request->proxyCredentials = std::move(credentials);
    else
        request->serverCredentials = std::move(credentials);
    return TRUE;
}

WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                                                 DWORD dwNotificationFlags, DWORD_PTR) {
    std::shared_ptr<Object> object = LookupHandle(hInternet);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WINHTTP_INVALID_STATUS_CALLBACK;
    }
    std::lock_guard<std::mutex> lock(object->optMutex);
    WINHTTP_STATUS_CALLBACK previous = object->callback;
    object->callback = lpfnInternetCallback;
    object->notifyFlags = lpfnInternetCallback ? dwNotificationFlags : 0;
    return previous;
}

BOOL WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
    std::shared_ptr<Object> object = LookupHandle(hInternet);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    auto* request = object->type == WINHTTP_HANDLE_TYPE_REQUEST ? static_cast<Request*>(object.get()) : nullptr;
    auto* session = object->type == WINHTTP_HANDLE_TYPE_SESSION ? static_cast<Session*>(object.get()) : nullptr;
    DWORD value = 0;
    switch (dwOption) {
        case WINHTTP_OPTION_PROXY: {
            WINHTTP_PROXY_INFO info{};
            if (!ReadValue(lpBuffer, dwBufferLength, info))
                return FALSE;
            if (!IsValidAccessType(info.dwAccessType) || (!request && !session))
                return Fail(ERROR_INVALID_PARAMETER);
            ProxySetting setting{info.dwAccessType, info.lpszProxy ? info.lpszProxy : L"",
                                 info.lpszProxyBypass ? info.lpszProxyBypass : L""};
            std::lock_guard<std::mutex> lock(object->optMutex);
            if (request)
                request->proxy = setting;
            else
                session->proxy = setting;
            return TRUE;
        }
        case WINHTTP_OPTION_SECURITY_FLAGS: {
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            if (!ReadValue(lpBuffer, dwBufferLength, value))
                return FALSE;
            std::lock_guard<std::mutex> lock(object->optMutex);
            request->securityFlags = value;
            return TRUE;
        }
        case WINHTTP_OPTION_DISABLE_FEATURE: {
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            if (!ReadValue(lpBuffer, dwBufferLength, value))
                return FALSE;
            // Cookies, redirects and automatic authentication are never handled here anyway.
            if (value & WINHTTP_DISABLE_KEEP_ALIVE) {
                std::lock_guard<std::mutex> lock(object->optMutex);
                request->headers.emplace_back("Connection", "close");
            }
            return TRUE;
        }
        case WINHTTP_OPTION_REDIRECT_POLICY:
            if (!ReadValue(lpBuffer, dwBufferLength, value))
                return FALSE;
            return value == WINHTTP_OPTION_REDIRECT_POLICY_NEVER ? TRUE : Fail(ERROR_NOT_SUPPORTED);
        case WINHTTP_OPTION_USER_AGENT: {
            if (!lpBuffer)
                return Fail(ERROR_INVALID_PARAMETER);
            std::wstring agent(static_cast<const wchar_t*>(lpBuffer), dwBufferLength);
            std::lock_guard<std::mutex> lock(object->optMutex);
            object->userAgent = Platform::ToUtf8(agent.c_str());
            return TRUE;
        }
        case WINHTTP_OPTION_RESOLVE_TIMEOUT:
        case WINHTTP_OPTION_CONNECT_TIMEOUT:
        case WINHTTP_OPTION_SEND_TIMEOUT:
        case WINHTTP_OPTION_RECEIVE_TIMEOUT: {
            if (!ReadValue(lpBuffer, dwBufferLength, value))
                return FALSE;
            std::lock_guard<std::mutex> lock(object->optMutex);
            int ms = static_cast<int>(value);
            if (dwOption == WINHTTP_OPTION_RESOLVE_TIMEOUT)
                object->timeouts.resolve = ms;
            else if (dwOption == WINHTTP_OPTION_CONNECT_TIMEOUT)
                object->timeouts.connect = ms;
            else if (dwOption == WINHTTP_OPTION_SEND_TIMEOUT)
                object->timeouts.send = ms;
            else
                object->timeouts.receive = ms;
            return TRUE;
        }
        case WINHTTP_OPTION_CONTEXT_VALUE: {
            DWORD_PTR context = 0;
            if (!ReadValue(lpBuffer, dwBufferLength, context))
                return FALSE;
            std::lock_guard<std::mutex> lock(object->optMutex);
            object->context = context;
            return TRUE;
        }
        case WINHTTP_OPTION_CLIENT_CERT_CONTEXT:
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            // Going on without a client certificate is supported; presenting one needs its private
            // key, which a certificate context does not carry here.
            return lpBuffer == WINHTTP_NO_CLIENT_CERT_CONTEXT ? TRUE : Fail(ERROR_NOT_SUPPORTED);
        case WINHTTP_OPTION_OSTREL_PINNED_CERT_SHA1: {
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            std::lock_guard<std::mutex> lock(object->optMutex);
            if (dwBufferLength == 0) {
                request->pin.reset();
                return TRUE;
            }
            if (!lpBuffer || dwBufferLength != 20)
                return Fail(ERROR_INVALID_PARAMETER);
            std::array<BYTE, 20> pin;
            std::memcpy(pin.data(), lpBuffer, 20);
            request->pin = pin;
            return TRUE;
        }
        default:
            return Fail(ERROR_WINHTTP_INVALID_OPTION);
    }
}

BOOL WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
    std::shared_ptr<Object> object = LookupHandle(hInternet);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    auto* request = object->type == WINHTTP_HANDLE_TYPE_REQUEST ? static_cast<Request*>(object.get()) : nullptr;
    switch (dwOption) {
        case WINHTTP_OPTION_SERVER_CERT_CONTEXT: {
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            std::lock_guard<std::mutex> lock(request->infoMutex);
            if (!request->serverCert)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
            if (!lpdwBufferLength || !lpBuffer || *lpdwBufferLength < sizeof(PCCERT_CONTEXT)) {
                if (lpdwBufferLength)
                    *lpdwBufferLength = sizeof(PCCERT_CONTEXT);
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            PCCERT_CONTEXT dup = CertDuplicateCertificateContext(request->serverCert);
            std::memcpy(lpBuffer, &dup, sizeof dup);
            *lpdwBufferLength = sizeof dup;
            return TRUE;
        }
        case WINHTTP_OPTION_SECURITY_FLAGS: {
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            std::lock_guard<std::mutex> lock(request->optMutex);
            DWORD flags = request->securityFlags | (request->secure ? SECURITY_FLAG_SECURE : 0);
            return WriteValue(lpBuffer, lpdwBufferLength, flags);
        }
        case WINHTTP_OPTION_HANDLE_TYPE:
            return WriteValue(lpBuffer, lpdwBufferLength, object->type);
        case WINHTTP_OPTION_CONTEXT_VALUE: {
            std::lock_guard<std::mutex> lock(object->optMutex);
            return WriteValue(lpBuffer, lpdwBufferLength, object->context);
        }
        case WINHTTP_OPTION_RESOLVE_TIMEOUT:
        case WINHTTP_OPTION_CONNECT_TIMEOUT:
        case WINHTTP_OPTION_SEND_TIMEOUT:
        case WINHTTP_OPTION_RECEIVE_TIMEOUT: {
            std::lock_guard<std::mutex> lock(object->optMutex);
            const Timeouts& t = object->timeouts;
            int ms = dwOption == WINHTTP_OPTION_RESOLVE_TIMEOUT   ? t.resolve
                     : dwOption == WINHTTP_OPTION_CONNECT_TIMEOUT ? t.connect
                     : dwOption == WINHTTP_OPTION_SEND_TIMEOUT    ? t.send
                                                                  : t.receive;
            return WriteValue(lpBuffer, lpdwBufferLength, static_cast<DWORD>(ms));
        }
        case WINHTTP_OPTION_USER_AGENT: {
            std::lock_guard<std::mutex> lock(object->optMutex);
            return WriteText(lpBuffer, lpdwBufferLength, Platform::FromUtf8(object->userAgent));
        }
        case WINHTTP_OPTION_URL:
            if (!request)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            return WriteText(lpBuffer, lpdwBufferLength, Platform::FromUtf8(BuildUrl(*request)));
        default:
            return Fail(ERROR_WINHTTP_INVALID_OPTION);
    }
}

namespace Platform::Http {

namespace {

std::atomic<bool (*)()> g_stopCheck{nullptr};

}  // namespace

void SetTransferStopCheck(bool (*check)()) {
    g_stopCheck.store(check);
}

bool TransferStopRequested() {
    bool (*check)() = g_stopCheck.load();
    return check && check();
}

}  // namespace Platform::Http
