// A small synchronous client over the WinHTTP calls, for tests against the simulator.
#pragma once

#include "Platform/Http/WinHttp.h"

#include <string>
#include <vector>

namespace HttpTest {

struct Options {
    std::wstring verb = L"POST";
    std::wstring host = L"127.0.0.1";
    std::wstring path = L"/service/soap/NoOpRequest";
    std::string body;
    std::wstring headers;
    bool secure = false;
    DWORD securityFlags = 0;
    std::vector<BYTE> pin;
    int receiveTimeoutMs = 30000;
    WINHTTP_PROXY_INFO* proxy = nullptr;
    std::wstring serverUser, serverPassword, proxyUser, proxyPassword;
    DWORD readChunk = 8192;
};

struct Result {
    bool ok = false;
    DWORD error = 0;  // the first failing call's error
    int stage = 0;    // 1 send, 2 receive, 3 read
    DWORD status = 0;
    std::wstring rawHeaders;
    std::string body;
    DWORD secureFlags = 0;  // from the secure-failure callback
    std::vector<BYTE> certSha1;
};

Result Exchange(int port, const Options& options);

std::wstring QueryHeader(HINTERNET request, DWORD level, const wchar_t* name = nullptr);

}  // namespace HttpTest
