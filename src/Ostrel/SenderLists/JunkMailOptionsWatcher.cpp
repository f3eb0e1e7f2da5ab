#include "Ostrel/SenderLists/JunkMailOptionsWatcher.h"

#include "Platform/Host/JunkMail.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

JunkMailOptionsWatcher::JunkMailOptionsWatcher(std::function<void(const std::wstring& wsProfile)> sync)
    : m_sync(std::move(sync)) {
    m_iObserver =
        Platform::Host::AddJunkMailOptionsObserver([this](const std::wstring& wsProfile) { OptionsClosed(wsProfile); });
}

JunkMailOptionsWatcher::~JunkMailOptionsWatcher() {
    Platform::Host::RemoveJunkMailOptionsObserver(m_iObserver);
    std::list<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        workers.swap(m_workers);
    }
    m_cvStop.notify_all();
    for (auto& pWorker : workers)
        pWorker->thread.join();
}

void JunkMailOptionsWatcher::OptionsClosed(const std::wstring& wsProfile) {
    OSTLOG_INFO(1, L"Junk E-mail Options window disappearing");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping)
        return;
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if ((*it)->bDone) {
            (*it)->thread.join();  // it has returned already
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
    Worker* pWorker = m_workers.emplace_back(std::make_unique<Worker>()).get();
    pWorker->thread = std::thread(&JunkMailOptionsWatcher::SyncThread, this, pWorker, wsProfile);
}

void JunkMailOptionsWatcher::SyncThread(Worker* pWorker, std::wstring wsProfile) {
    bool bStopped;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        bStopped = Util::CurrentClock().WaitFor(m_cvStop, lock, kSyncDelayMs, [this] { return m_bStopping; });
    }
    if (!bStopped)
        m_sync(wsProfile);
    std::lock_guard<std::mutex> lock(m_mutex);
    pWorker->bDone = true;
}

}  // namespace Ostrel::Mapi
