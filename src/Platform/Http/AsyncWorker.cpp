// The worker thread of asynchronous requests: one multi handle, a task queue fed by the API
// calls, and the completions reported through each request's status callback.
#include "Platform/Http/Internal.h"

#include "Platform/Base/HResult.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

namespace Platform::Http::Detail {

namespace {

class Worker {
public:
    Worker() {
        m_multi = curl_multi_init();
        m_thread = std::thread([this] { Run(); });
        m_thread.detach();  // serves until the process ends
    }

    void Post(std::shared_ptr<Request> r, std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tasks.emplace_back(std::move(r), std::move(task));
        }
        curl_multi_wakeup(m_multi);
    }

    CURLM* Multi() const { return m_multi; }

private:
    void Run();
    void Evaluate(const std::shared_ptr<Request>& r, int& waitMs);

    CURLM* m_multi = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::deque<std::pair<std::shared_ptr<Request>, std::function<void()>>> m_tasks;
    std::set<std::shared_ptr<Request>> m_active;  // requests with an operation in flight; worker only
};

Worker& TheWorker() {
    static Worker* worker = new Worker();
    return *worker;
}

void ReportError(Request& r, DWORD_PTR api, DWORD error) {
    WINHTTP_ASYNC_RESULT result{api, error};
    Notify(r, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, &result, sizeof result);
}

bool HeadersDone(Request& r) {
    std::lock_guard<std::mutex> lock(r.infoMutex);
    return r.headersDone;
}

void Worker::Evaluate(const std::shared_ptr<Request>& rp, int& waitMs) {
    Request& r = *rp;
    PendingOp op = r.pending;
    bool ready = false;
    switch (op) {
        case PendingOp::None:
            return;
        case PendingOp::Send:
            ready = (r.prereq && r.uploadPos == r.upload.size()) || HeadersDone(r);
            break;
        case PendingOp::Write:
            ready = r.uploadPos == r.upload.size();
            break;
        case PendingOp::Receive:
            ready = HeadersDone(r);
            break;
        case PendingOp::QueryData:
        case PendingOp::Read:
            ready = r.Buffered() > 0;
            break;
    }
    if (!ready && !r.done) {
        if (int timeout = IdleTimeout(r)) {
            auto idleSince = std::max(r.lastActivity, r.waitStart);
            auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - idleSince).count();
            if (idle < timeout) {
                waitMs = static_cast<int>(std::min<long long>(waitMs, timeout - idle));
                return;
            }
            FailTransfer(r, ERROR_WINHTTP_TIMEOUT);
        } else {
            return;
        }
    }

    // The callback may start the next operation at once, so the pending slot is cleared first.
    r.pending = PendingOp::None;
    ReportSecureFailure(r);
    switch (op) {
        case PendingOp::Send:
            if (ready || !r.error)
                Notify(r, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, nullptr, 0);
            else
                ReportError(r, API_SEND_REQUEST, r.error);
            break;
        case PendingOp::Write: {
            if (ready) {
                DWORD written = r.readSize;
                Notify(r, WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE, &written, sizeof written);
            } else {
                ReportError(r, API_WRITE_DATA, r.error ? r.error : ERROR_WINHTTP_CONNECTION_ERROR);
            }
            break;
        }
        case PendingOp::Receive:
            if (ready)
                Notify(r, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, nullptr, 0);
            else
                ReportError(r, API_RECEIVE_RESPONSE, r.error ? r.error : ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
            break;
        case PendingOp::QueryData: {
            if (!ready && r.error) {
                ReportError(r, API_QUERY_DATA_AVAILABLE, r.error);
                break;
            }
            DWORD available = static_cast<DWORD>(std::min<size_t>(r.Buffered(), 0xFFFFFFFFu));
            Notify(r, WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, &available, sizeof available);
            break;
        }
        case PendingOp::Read: {
            if (!ready && r.error) {
                ReportError(r, API_READ_DATA, r.error);
                break;
            }
            size_t n = std::min<size_t>(r.readSize, r.Buffered());
            if (n)
                std::memcpy(r.readBuffer, r.body.data() + r.bodyPos, n);
            r.bodyPos += n;
            AfterConsume(r);
            char* buffer = r.readBuffer;
            r.readBuffer = nullptr;
            Notify(r, WINHTTP_CALLBACK_STATUS_READ_COMPLETE, buffer, static_cast<DWORD>(n));
            break;
        }
        case PendingOp::None:
            break;
    }
}

void Worker::Run() {
    for (;;) {
        std::deque<std::pair<std::shared_ptr<Request>, std::function<void()>>> tasks;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            tasks.swap(m_tasks);
        }
        for (auto& [request, task] : tasks) {
            task();
            if (request->pending != PendingOp::None && !request->closing)
                m_active.insert(request);
            else if (request->closing)
                m_active.erase(request);
        }
        tasks.clear();
        int running = 0;
        curl_multi_perform(m_multi, &running);
        DrainMessages(m_multi);

        int waitMs = 1000;
        // Evaluating may run callbacks that post tasks; those are picked up on the next round.
        std::vector<std::shared_ptr<Request>> active(m_active.begin(), m_active.end());
        for (const auto& r : active) {
            Evaluate(r, waitMs);
            if (r->closing || r->pending == PendingOp::None)
                m_active.erase(r);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_tasks.empty())
                continue;
        }
        curl_multi_poll(m_multi, nullptr, 0, waitMs, nullptr);
    }
}

}  // namespace

void PostToWorker(std::shared_ptr<Request> r, std::function<void()> task) {
    TheWorker().Post(std::move(r), std::move(task));
}

CURLM* WorkerMulti() {
    return TheWorker().Multi();
}

}  // namespace Platform::Http::Detail
