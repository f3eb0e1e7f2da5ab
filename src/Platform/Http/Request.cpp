// Sending requests and reading responses. Synchronous requests pump their connect handle's multi
// handle on the calling thread; asynchronous ones hand each operation to the worker.
#include "Platform/Http/Internal.h"

#include "Platform/Base/HResult.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

using namespace Platform::Http::Detail;

namespace {

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool HeadersDone(Request& r) {
    std::lock_guard<std::mutex> lock(r.infoMutex);
    return r.headersDone;
}

// Runs the connect handle's transfers until `ready` holds, the transfer ends, or the current
// phase's idle time-out passes. Called with connect->pumpMutex held.
template <class Ready>
bool Pump(Request& r, Ready ready) {
    CURLM* multi = r.connect->multi;
    {
        std::lock_guard<std::mutex> lock(r.optMutex);
        r.activeTimeouts.send = r.timeouts.send;
        r.activeTimeouts.receive = r.timeouts.receive;
    }
    r.waitStart = SteadyClock::now();
    for (;;) {
        if (ready())
            return true;
        if (r.cancelled || Platform::Http::TransferStopRequested()) {
            FailTransfer(r, ERROR_WINHTTP_OPERATION_CANCELLED);
            return false;
        }
        if (r.done || !r.multi)
            return false;
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            FailTransfer(r, ERROR_WINHTTP_INTERNAL_ERROR);
            return false;
        }
        DrainMessages(multi);
        if (ready())
            return true;
        if (r.done)
            return false;
        int waitMs = 1000;
        if (int timeout = IdleTimeout(r)) {
            auto idleSince = std::max(r.lastActivity, r.waitStart);
            auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - idleSince).count();
            if (idle >= timeout) {
                FailTransfer(r, ERROR_WINHTTP_TIMEOUT);
                return false;
            }
            waitMs = static_cast<int>(std::min<long long>(waitMs, timeout - idle));
        }
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
}

// Splits header text into lines and checks each; false for a malformed line.
bool ParseHeaders(LPCWSTR text, DWORD length, std::vector<std::pair<std::string, std::string>>& out) {
    std::wstring wide =
        length == static_cast<DWORD>(-1) ? std::wstring(text) : std::wstring(text, wcsnlen(text, length));
    std::string all = Platform::ToUtf8(wide);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos)
            return false;
        std::string name = line.substr(0, colon);
        if (name.find_first_of(" \t\r") != std::string::npos)
            return false;
        std::string value = line.substr(colon + 1);
        size_t b = value.find_first_not_of(" \t");
        value = b == std::string::npos ? std::string() : value.substr(b);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        for (unsigned char c : value)
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                return false;
        out.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool AddHeaders(Request& r, LPCWSTR text, DWORD length, DWORD modifiers) {
    std::vector<std::pair<std::string, std::string>> parsed;
    if (!ParseHeaders(text, length, parsed))
        return Fail(ERROR_WINHTTP_INVALID_HEADER);
    std::lock_guard<std::mutex> lock(r.optMutex);
    auto& headers = r.headers;
    for (auto& header : parsed) {
        // Named references rather than a structured binding: clang 14 cannot capture those.
        const std::string& name = header.first;
        const std::string& value = header.second;
        // The body length is the one given to WinHttpSendRequest.
        if (Platform::EqualsNoCaseAscii(name, "Content-Length"))
            continue;
        auto same = [&](const std::pair<std::string, std::string>& h) {
            return Platform::EqualsNoCaseAscii(h.first, name);
        };
        auto existing = std::find_if(headers.begin(), headers.end(), same);
        if (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
            headers.erase(std::remove_if(headers.begin(), headers.end(), same), headers.end());
            if (!value.empty())
                headers.emplace_back(name, value);
        } else if (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW) {
            if (existing != headers.end())
                return Fail(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
            headers.emplace_back(name, value);
        } else if ((modifiers &
                    (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) &&
                   existing != headers.end()) {
            existing->second += (modifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON) ? "; " : ", ";
            existing->second += value;
        } else {
            headers.emplace_back(name, value);
        }
    }
    return true;
}

const char* HeaderNameForLevel(DWORD level) {
    switch (level) {
        case WINHTTP_QUERY_MIME_VERSION:
            return "MIME-Version";
        case WINHTTP_QUERY_CONTENT_TYPE:
            return "Content-Type";
        case WINHTTP_QUERY_CONTENT_TRANSFER_ENCODING:
            return "Content-Transfer-Encoding";
        case WINHTTP_QUERY_CONTENT_ID:
            return "Content-ID";
        case WINHTTP_QUERY_CONTENT_DESCRIPTION:
            return "Content-Description";
        case WINHTTP_QUERY_CONTENT_LENGTH:
            return "Content-Length";
        case WINHTTP_QUERY_CONTENT_LANGUAGE:
            return "Content-Language";
        case WINHTTP_QUERY_ALLOW:
            return "Allow";
        case WINHTTP_QUERY_PUBLIC:
            return "Public";
        case WINHTTP_QUERY_DATE:
            return "Date";
        case WINHTTP_QUERY_EXPIRES:
            return "Expires";
        case WINHTTP_QUERY_LAST_MODIFIED:
            return "Last-Modified";
        case WINHTTP_QUERY_CONNECTION:
            return "Connection";
        case WINHTTP_QUERY_ACCEPT:
            return "Accept";
        case WINHTTP_QUERY_AUTHORIZATION:
            return "Authorization";
        case WINHTTP_QUERY_CONTENT_ENCODING:
            return "Content-Encoding";
        case WINHTTP_QUERY_LOCATION:
            return "Location";
        case WINHTTP_QUERY_RETRY_AFTER:
            return "Retry-After";
        case WINHTTP_QUERY_SERVER:
            return "Server";
        case WINHTTP_QUERY_USER_AGENT:
            return "User-Agent";
        case WINHTTP_QUERY_WWW_AUTHENTICATE:
            return "WWW-Authenticate";
        case WINHTTP_QUERY_PROXY_AUTHENTICATE:
            return "Proxy-Authenticate";
        case WINHTTP_QUERY_SET_COOKIE:
            return "Set-Cookie";
        case WINHTTP_QUERY_COOKIE:
            return "Cookie";
        case WINHTTP_QUERY_CONTENT_DISPOSITION:
            return "Content-Disposition";
        case WINHTTP_QUERY_CACHE_CONTROL:
            return "Cache-Control";
        case WINHTTP_QUERY_HOST:
            return "Host";
        case WINHTTP_QUERY_PROXY_AUTHORIZATION:
            return "Proxy-Authorization";
        case WINHTTP_QUERY_TRANSFER_ENCODING:
            return "Transfer-Encoding";
        default:
            return nullptr;
    }
}

// The request as it goes out: request line, Host, User-Agent, the added headers, the length.
void RequestHeaderView(Request& r, std::string& firstLine, std::vector<std::pair<std::string, std::string>>& headers) {
    std::string host = r.connect->host;
    if (r.connect->port && r.connect->port != (r.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT))
        host += ":" + std::to_string(r.connect->port);
    std::lock_guard<std::mutex> lock(r.optMutex);
    firstLine = r.verb + " " + (r.object.empty() ? "/" : r.object) + " HTTP/1.1";
    headers.clear();
    headers.emplace_back("Host", host);
    if (!r.userAgent.empty())
        headers.emplace_back("User-Agent", r.userAgent);
    for (const auto& h : r.headers)
        headers.push_back(h);
    if (r.declaredLength > 0 || r.verb == "POST" || r.verb == "PUT")
        headers.emplace_back("Content-Length", std::to_string(r.declaredLength));
}

BOOL WriteWide(const std::string& text, LPVOID buffer, LPDWORD length, bool doubleNull = false) {
    std::wstring wide = Platform::FromUtf8(text);
    DWORD needed = static_cast<DWORD>((wide.size() + 1 + (doubleNull ? 1 : 0)) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<wchar_t*>(buffer);
    std::wmemcpy(out, wide.data(), wide.size());
    out[wide.size()] = L'\0';
    if (doubleNull)
        out[wide.size() + 1] = L'\0';
    *length = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    return TRUE;
}

template <class Op>
BOOL SyncCall(Request& r, Op op) {
    BOOL result;
    {
        std::lock_guard<std::mutex> lock(r.connect->pumpMutex);
        result = op();
    }
    ReportSecureFailure(r);
    return result;
}

}  // namespace

BOOL WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength, DWORD dwModifiers) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (!lpszHeaders)
        return Fail(ERROR_INVALID_PARAMETER);
    return AddHeaders(*r, lpszHeaders, dwHeadersLength, dwModifiers) ? TRUE : FALSE;
}

BOOL WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                        DWORD dwOptionalLength, DWORD dwTotalLength, DWORD_PTR dwContext) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (lpszHeaders && dwHeadersLength && !AddHeaders(*r, lpszHeaders, dwHeadersLength, WINHTTP_ADDREQ_FLAG_ADD))
        return FALSE;
    if (dwOptionalLength && !lpOptional)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string optional(static_cast<const char*>(lpOptional), lpOptional ? dwOptionalLength : 0);
    uint64_t total = std::max<uint64_t>(dwTotalLength, dwOptionalLength);
    {
        std::lock_guard<std::mutex> lock(r->optMutex);
        r->context = dwContext;
        r->declaredLength = total;
    }

    if (r->async) {
        PostToWorker(r, [r, optional = std::move(optional), total]() mutable {
            if (r->closing)
                return;
            r->upload = std::move(optional);
            r->uploadDiscarded = 0;
            r->uploadFed = r->upload.size();
            r->uploadTotal = total;
            StartTransfer(*r, WorkerMulti());
            r->pending = PendingOp::Send;
            r->waitStart = SteadyClock::now();
        });
        return TRUE;
    }
    return SyncCall(*r, [&]() -> BOOL {
        r->upload = std::move(optional);
        r->uploadDiscarded = 0;
        r->uploadFed = r->upload.size();
        r->uploadTotal = total;
        if (!StartTransfer(*r, r->connect->multi))
            return Fail(r->error);
        // An error after the request went out (say in the body) is reported by the call that meets it.
        if (Pump(*r, [&] { return (r->prereq && r->uploadPos == r->upload.size()) || HeadersDone(*r); }))
            return TRUE;
        return r->error ? Fail(r->error) : TRUE;
    });
}

BOOL WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                      LPDWORD lpdwNumberOfBytesWritten) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (dwNumberOfBytesToWrite && !lpBuffer)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string data(static_cast<const char*>(lpBuffer), lpBuffer ? dwNumberOfBytesToWrite : 0);
    if (r->async) {
        PostToWorker(r, [r, data = std::move(data)]() mutable {
            if (r->closing)
                return;
            r->readSize = static_cast<DWORD>(data.size());
            if (!r->sent || r->uploadFed + data.size() > r->uploadTotal) {
                r->pending = PendingOp::Write;
                FailTransfer(*r, r->sent ? ERROR_INVALID_PARAMETER : ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
                return;
            }
            if (r->uploadPos == r->upload.size()) {
                r->uploadDiscarded += r->upload.size();
                r->upload.clear();
                r->uploadPos = 0;
            }
            r->upload += data;
            r->uploadFed += data.size();
            AfterFeed(*r);
            r->pending = PendingOp::Write;
            r->waitStart = SteadyClock::now();
        });
        return TRUE;
    }
    return SyncCall(*r, [&]() -> BOOL {
        if (!r->sent || r->done)
            return Fail(r->done && r->error ? r->error : ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (r->uploadFed + data.size() > r->uploadTotal)
            return Fail(ERROR_INVALID_PARAMETER);
        if (r->uploadPos == r->upload.size()) {
            r->uploadDiscarded += r->upload.size();
            r->upload.clear();
            r->uploadPos = 0;
        }
        r->upload += data;
        r->uploadFed += data.size();
        AfterFeed(*r);
        bool ok = Pump(*r, [&] { return r->uploadPos == r->upload.size(); });
        if (!ok && r->error)
            return Fail(r->error);
        if (lpdwNumberOfBytesWritten)
            *lpdwNumberOfBytesWritten = dwNumberOfBytesToWrite;
        return TRUE;
    });
}

BOOL WinHttpReceiveResponse(HINTERNET hRequest, LPVOID) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (r->async) {
        PostToWorker(r, [r] {
            if (r->closing)
                return;
            r->pending = PendingOp::Receive;
            r->waitStart = SteadyClock::now();
        });
        return TRUE;
    }
    return SyncCall(*r, [&]() -> BOOL {
        if (!r->sent)
            return Fail(ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND);
        if (Pump(*r, [&] { return HeadersDone(*r); }))
            return TRUE;
        return Fail(r->error ? r->error : ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    });
}

BOOL WinHttpQueryDataAvailable(HINTERNET hRequest, LPDWORD lpdwNumberOfBytesAvailable) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (r->async) {
        PostToWorker(r, [r] {
            if (r->closing)
                return;
            r->pending = PendingOp::QueryData;
            r->waitStart = SteadyClock::now();
        });
        return TRUE;
    }
    return SyncCall(*r, [&]() -> BOOL {
        if (!HeadersDone(*r))
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        Pump(*r, [&] { return r->Buffered() > 0; });
        if (r->Buffered() == 0 && r->error)
            return Fail(r->error);
        if (lpdwNumberOfBytesAvailable)
            *lpdwNumberOfBytesAvailable = static_cast<DWORD>(std::min<size_t>(r->Buffered(), 0xFFFFFFFFu));
        return TRUE;
    });
}

BOOL WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead, LPDWORD lpdwNumberOfBytesRead) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (!lpBuffer && dwNumberOfBytesToRead)
        return Fail(ERROR_INVALID_PARAMETER);
    if (r->async) {
        PostToWorker(r, [r, lpBuffer, dwNumberOfBytesToRead] {
            if (r->closing)
                return;
            r->readBuffer = static_cast<char*>(lpBuffer);
            r->readSize = dwNumberOfBytesToRead;
            r->pending = PendingOp::Read;
            r->waitStart = SteadyClock::now();
        });
        return TRUE;
    }
    return SyncCall(*r, [&]() -> BOOL {
        if (!HeadersDone(*r))
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (r->Buffered() == 0)
            Pump(*r, [&] { return r->Buffered() > 0; });
        size_t n = std::min<size_t>(dwNumberOfBytesToRead, r->Buffered());
        if (n == 0 && r->error)
            return Fail(r->error);
        if (n)
            std::memcpy(lpBuffer, r->body.data() + r->bodyPos, n);
        r->bodyPos += n;
        AfterConsume(*r);
        if (lpdwNumberOfBytesRead)
            *lpdwNumberOfBytesRead = static_cast<DWORD>(n);
        return TRUE;
    });
}

BOOL WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName, LPVOID lpBuffer,
                         LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
    auto r = LookupAs<Request>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST);
    if (!r)
        return FALSE;
    if (!lpdwBufferLength)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD level = dwInfoLevel & 0xFFFF;
    bool requestSide = (dwInfoLevel & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
    bool number = (dwInfoLevel & WINHTTP_QUERY_FLAG_NUMBER) != 0;
    if (dwInfoLevel & WINHTTP_QUERY_FLAG_SYSTEMTIME)
        return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);

    std::string firstLine, statusCode, statusText, version;
    std::vector<std::pair<std::string, std::string>> headers;
    if (requestSide) {
        RequestHeaderView(*r, firstLine, headers);
    } else {
        std::lock_guard<std::mutex> lock(r->infoMutex);
        if (!r->headersDone)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        headers = r->responseHeaders;
        statusCode = std::to_string(r->status);
        statusText = r->statusText;
        version = r->httpVersion;
        firstLine = version + " " + statusCode + (statusText.empty() ? "" : " " + statusText);
    }

    std::string value;
    switch (level) {
        case WINHTTP_QUERY_RAW_HEADERS_CRLF:
        case WINHTTP_QUERY_RAW_HEADERS: {
            bool crlf = level == WINHTTP_QUERY_RAW_HEADERS_CRLF;
            std::string sep = crlf ? "\r\n" : std::string(1, '\0');
            value = firstLine + sep;
            for (const auto& [name, v] : headers)
                value += name + ": " + v + sep;
            if (crlf)
                value += "\r\n";
            else
                value.pop_back();  // WriteWide terminates twice
            return WriteWide(value, lpBuffer, lpdwBufferLength, !crlf);
        }
        case WINHTTP_QUERY_STATUS_CODE:
        case WINHTTP_QUERY_STATUS_TEXT:
        case WINHTTP_QUERY_VERSION:
            if (requestSide)
                return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
            value = level == WINHTTP_QUERY_STATUS_CODE   ? statusCode
                    : level == WINHTTP_QUERY_STATUS_TEXT ? statusText
                                                         : version;
            break;
        case WINHTTP_QUERY_REQUEST_METHOD:
            value = r->verb;
            break;
        default: {
            std::string name;
            if (level == WINHTTP_QUERY_CUSTOM) {
                if (!pwszName)
                    return Fail(ERROR_INVALID_PARAMETER);
                name = Platform::ToUtf8(pwszName);
            } else if (const char* known = HeaderNameForLevel(level)) {
                name = known;
            } else {
                return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
            }
            DWORD wanted = lpdwIndex ? *lpdwIndex : 0;
            DWORD seen = 0;
            bool found = false;
            for (const auto& [n, v] : headers) {
                if (Platform::EqualsNoCaseAscii(n, name) && seen++ == wanted) {
                    value = v;
                    found = true;
                    break;
                }
            }
            if (!found)
                return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
            break;
        }
    }

    if (number) {
        char* end = nullptr;
        unsigned long parsed = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || parsed > 0xFFFFFFFFul)
            return Fail(ERROR_INVALID_DATA);
        if (!lpBuffer || *lpdwBufferLength < sizeof(DWORD)) {
            *lpdwBufferLength = sizeof(DWORD);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        DWORD n = static_cast<DWORD>(parsed);
        std::memcpy(lpBuffer, &n, sizeof n);
        *lpdwBufferLength = sizeof n;
    } else if (!WriteWide(value, lpBuffer, lpdwBufferLength)) {
        return FALSE;
    }
    if (lpdwIndex)
        ++*lpdwIndex;
    return TRUE;
}
