// The initial runs of search folders, done as a store does them: in the background, and reported
// complete from another thread once SetSearchCriteria has returned. A search folder's results are
// computed whenever its contents are read, so a run has nothing left to compute; what it keeps is the
// order its callers rely on: start the search, get ready to hear of its end (reset an event), wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi {

class SearchRunner {
public:
    // How long after its start call has returned a run completes: the time a caller has to get ready.
    static constexpr std::chrono::milliseconds kSettle{200};

    // The start call's hold on its run: the run does not complete while the hold lives.
    class Hold {
    public:
        Hold(Hold&& other) noexcept : m_pRunner(other.m_pRunner), m_ullRun(other.m_ullRun) {
            other.m_pRunner = nullptr;
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold& operator=(Hold&&) = delete;
        ~Hold() {
            if (m_pRunner)
                m_pRunner->Release(m_ullRun);
        }

    private:
        friend class SearchRunner;
        Hold(SearchRunner* pRunner, uint64_t ullRun) : m_pRunner(pRunner), m_ullRun(ullRun) {}
        SearchRunner* m_pRunner;
        uint64_t m_ullRun;
    };

    ~SearchRunner();
    // A run of the search folder nid; complete is called on the runner's thread, kSettle after the
    // hold is released (runs not complete when the runner goes are dropped).
    Hold Start(ULONG nid, std::function<void()> complete);
    // Whether a run of the folder has yet to complete.
    bool Running(ULONG nid);

private:
    struct Run {
        uint64_t ullId = 0;
        ULONG nid = 0;
        bool bReleased = false;
        std::chrono::steady_clock::time_point due;
        std::function<void()> complete;
    };
    void Release(uint64_t ullRun);
    void Loop();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Run> m_runs;  // in start order
    uint64_t m_ullNext = 1;
    bool m_bStop = false;
    std::thread m_thread;
};

}  // namespace Platform::Mapi
