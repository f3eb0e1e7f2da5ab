#include "Platform/Mapi/Store/SearchRunner.h"

#include <algorithm>

namespace Platform::Mapi {

SearchRunner::~SearchRunner() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

SearchRunner::Hold SearchRunner::Start(ULONG nid, std::function<void()> complete) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        m_thread = std::thread(&SearchRunner::Loop, this);
    uint64_t ullId = m_ullNext++;
    m_runs.push_back({ullId, nid, false, {}, std::move(complete)});
    return Hold(this, ullId);
}

bool SearchRunner::Running(ULONG nid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_runs.begin(), m_runs.end(), [nid](const Run& run) { return run.nid == nid; });
}

void SearchRunner::Release(uint64_t ullRun) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Run& run : m_runs)
            if (run.ullId == ullRun) {
                run.bReleased = true;
                run.due = std::chrono::steady_clock::now() + kSettle;
            }
    }
    m_cv.notify_all();
}

void SearchRunner::Loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStop) {
        auto next = m_runs.end();
        for (auto it = m_runs.begin(); it != m_runs.end(); ++it)
            if (it->bReleased && (next == m_runs.end() || it->due < next->due))
                next = it;
        if (next == m_runs.end()) {
            m_cv.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < next->due) {
            m_cv.wait_until(lock, next->due);
            continue;
        }
        // Done before it is reported, so that a caller told of the end finds the search complete.
        std::function<void()> complete = std::move(next->complete);
        m_runs.erase(next);
        lock.unlock();
        complete();
        lock.lock();
    }
}

}  // namespace Platform::Mapi
