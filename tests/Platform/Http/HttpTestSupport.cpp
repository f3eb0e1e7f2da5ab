#include "HttpTestSupport.h"

#include <cstring>

namespace HttpTest {

namespace {

thread_local DWORD t_secureFlags = 0;

void Callback(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE)
        std::memcpy(&t_secureFlags, info, sizeof(DWORD));
}

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h)
            WinHttpCloseHandle(h);
    }
};

}  // namespace

std::wstring QueryHeader(HINTERNET request, DWORD level, const wchar_t* name) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, level, name, nullptr, &size, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return L"<missing>";
    std::wstring out(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, level, name, out.data(), &size, nullptr))
        return L"<failed>";
    out.resize(size / sizeof(wchar_t));
    return out;
}

Result Exchange(int port, const Options& o) {
    Result result;
    t_secureFlags = 0;
    Handle session, connect, request;
    session.h = WinHttpOpen(L"Ostrel-Test/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    connect.h = WinHttpConnect(session.h, o.host.c_str(), static_cast<INTERNET_PORT>(port), 0);
    request.h = WinHttpOpenRequest(connect.h, o.verb.c_str(), o.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, o.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request.h) {
        result.error = GetLastError();
        return result;
    }
    WinHttpSetTimeouts(request.h, 0, 10000, 10000, o.receiveTimeoutMs);
    WinHttpSetStatusCallback(request.h, Callback, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    if (o.securityFlags) {
        DWORD flags = o.securityFlags;
        WinHttpSetOption(request.h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    if (!o.pin.empty())
        WinHttpSetOption(request.h, WINHTTP_OPTION_OSTREL_PINNED_CERT_SHA1, const_cast<BYTE*>(o.pin.data()),
                         static_cast<DWORD>(o.pin.size()));
    if (o.proxy)
        WinHttpSetOption(request.h, WINHTTP_OPTION_PROXY, o.proxy, sizeof(*o.proxy));
    if (!o.proxyUser.empty())
        WinHttpSetCredentials(request.h, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC, o.proxyUser.c_str(),
                              o.proxyPassword.c_str(), nullptr);
    if (!o.serverUser.empty())
        WinHttpSetCredentials(request.h, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC, o.serverUser.c_str(),
                              o.serverPassword.c_str(), nullptr);

    auto certificate = [&] {
        PCCERT_CONTEXT cert = nullptr;
        DWORD size = sizeof cert;
        if (WinHttpQueryOption(request.h, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) && cert) {
            Platform::CertFingerprint fp = Platform::CertSha1(cert);
            result.certSha1.assign(fp.begin(), fp.end());
            CertFreeCertificateContext(cert);
        }
    };
    auto fail = [&](int stage) {
        result.error = GetLastError();
        result.stage = stage;
        result.secureFlags = t_secureFlags;
        certificate();
        return result;
    };
    BOOL sent = WinHttpSendRequest(request.h, o.headers.empty() ? nullptr : o.headers.c_str(),
                                   o.headers.empty() ? 0 : static_cast<DWORD>(-1),
                                   o.body.empty() ? nullptr : const_cast<char*>(o.body.data()),
                                   static_cast<DWORD>(o.body.size()), static_cast<DWORD>(o.body.size()), 0);
    if (!sent)
        return fail(1);
    if (!WinHttpReceiveResponse(request.h, nullptr))
        return fail(2);
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                        nullptr);
    result.status = status;
    result.rawHeaders = QueryHeader(request.h, WINHTTP_QUERY_RAW_HEADERS_CRLF);
    certificate();
    std::vector<char> buffer(o.readChunk);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.h, &available))
            return fail(3);
        if (available == 0)
            break;
        DWORD read = 0;
        if (!WinHttpReadData(request.h, buffer.data(), std::min<DWORD>(available, o.readChunk), &read))
            return fail(3);
        result.body.append(buffer.data(), read);
    }
    result.ok = true;
    return result;
}

}  // namespace HttpTest
