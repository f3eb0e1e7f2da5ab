#include "HttpTestSupport.h"

#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

// Drives one asynchronous GET from the status callback, as a WinHTTP client would.
struct AsyncDownload {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    bool closed = false;
    DWORD error = 0;
    DWORD_PTR api = 0;
    DWORD status = 0;
    std::string body;
    char buffer[32768];
    std::vector<DWORD> events;

    static void Callback(HINTERNET h, DWORD_PTR context, DWORD code, LPVOID info, DWORD length) {
        auto* self = reinterpret_cast<AsyncDownload*>(context);
        self->events.push_back(code);
        switch (code) {
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
                WinHttpReceiveResponse(h, nullptr);
                break;
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
                DWORD size = sizeof self->status;
                WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &self->status,
                                    &size, nullptr);
                WinHttpQueryDataAvailable(h, nullptr);
                break;
            }
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
                DWORD available = *static_cast<DWORD*>(info);
                if (available == 0)
                    self->Finish(0, 0);
                else
                    WinHttpReadData(h, self->buffer, std::min<DWORD>(available, sizeof self->buffer), nullptr);
                break;
            }
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
                self->body.append(static_cast<char*>(info), length);
                WinHttpQueryDataAvailable(h, nullptr);
                break;
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
                auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
                self->Finish(result->dwError, result->dwResult);
                break;
            }
            case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
                std::lock_guard<std::mutex> lock(self->mutex);
                self->closed = true;
                self->cv.notify_all();
                break;
            }
        }
    }

    void Finish(DWORD err, DWORD_PTR which) {
        std::lock_guard<std::mutex> lock(mutex);
        error = err;
        api = which;
        finished = true;
        cv.notify_all();
    }

    // Runs the download and closes the handles; true when it ended (successfully or not).
    bool Run(int port, const wchar_t* path, int receiveTimeoutMs = 30000) {
        HINTERNET s = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, WINHTTP_FLAG_ASYNC);
        HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0);
        HINTERNET q = WinHttpOpenRequest(c, L"GET", path, nullptr, nullptr, nullptr, 0);
        WinHttpSetTimeouts(q, 0, 5000, 5000, receiveTimeoutMs);
        WinHttpSetStatusCallback(q, Callback, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES, 0);
        bool started = WinHttpSendRequest(q, nullptr, 0, nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(this));
        std::unique_lock<std::mutex> lock(mutex);
        bool ended = started && cv.wait_for(lock, std::chrono::seconds(30), [&] { return finished; });
        lock.unlock();
        WinHttpCloseHandle(q);
        lock.lock();
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return closed; });
        lock.unlock();
        WinHttpCloseHandle(c);
        WinHttpCloseHandle(s);
        return ended;
    }
};

TEST(AsyncHttp, DownloadCompletesThroughCallbacks) {
    OstrelServer::Server server;
    server.Start();
    AsyncDownload d;
    ASSERT_TRUE(d.Run(server.Port(), L"/bulk?bytes=2500000&chunked=1"));
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(d.status, 200u);
    EXPECT_EQ(d.body.size(), 2500000u);
    EXPECT_TRUE(d.closed);
    ASSERT_GE(d.events.size(), 3u);
    EXPECT_EQ(d.events[0], static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE));
    EXPECT_EQ(d.events[1], static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE));
}

TEST(AsyncHttp, FailuresArriveAsRequestErrors) {
    OstrelServer::Server server;
    server.Start();
    {
        AsyncDownload d;
        ASSERT_TRUE(d.Run(server.Port(), L"/bulk?bytes=2000000&drop=1"));
        EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
        EXPECT_LT(d.body.size(), 2000000u);
    }
    {
        server.Faults().Add(OstrelServer::Fault::For("/bulk").Delay(20000));
        AsyncDownload d;
        ASSERT_TRUE(d.Run(server.Port(), L"/bulk?bytes=10", 300));
        EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
        EXPECT_EQ(d.api, static_cast<DWORD_PTR>(API_RECEIVE_RESPONSE));
    }
    int port = server.Port();
    server.Stop();
    AsyncDownload d;
    ASSERT_TRUE(d.Run(port, L"/bulk?bytes=10"));
    EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(d.api, static_cast<DWORD_PTR>(API_SEND_REQUEST));
}

}  // namespace
