// Starts a sender list synchronisation when the user closes the client's junk-mail options (the
// host reports it through Platform::Host::JunkMailOptionsClosed): a thread of its own waits 500
// ms, so that the client has stored the lists, then runs the synchronisation for that profile.
// The wait goes through the injectable clock. Destroying the watcher stops waiting threads (their
// run is dropped) and waits for running ones.
#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Ostrel::Mapi {

class JunkMailOptionsWatcher {
public:
    // `sync` runs on the watcher's thread, one call per closing of the dialog.
    explicit JunkMailOptionsWatcher(std::function<void(const std::wstring& wsProfile)> sync);
    ~JunkMailOptionsWatcher();
    JunkMailOptionsWatcher(const JunkMailOptionsWatcher&) = delete;
    JunkMailOptionsWatcher& operator=(const JunkMailOptionsWatcher&) = delete;

    static constexpr unsigned kSyncDelayMs = 500;

private:
    struct Worker {
        std::thread thread;
        bool bDone = false;  // under m_mutex
    };

    void OptionsClosed(const std::wstring& wsProfile);
    void SyncThread(Worker* pWorker, std::wstring wsProfile);

    std::function<void(const std::wstring&)> m_sync;
    std::mutex m_mutex;
    std::condition_variable_any m_cvStop;
    bool m_bStopping = false;
    std::list<std::unique_ptr<Worker>> m_workers;
    int m_iObserver = 0;
};

}  // namespace Ostrel::Mapi
