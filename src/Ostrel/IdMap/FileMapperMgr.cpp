#include "Ostrel/IdMap/FileMapperMgr.h"

#include <algorithm>

#include "Ostrel/IdMap/FileMapper.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

FileMapperMgr& FileMapperMgr::Instance() {
    static FileMapperMgr* pMgr = new FileMapperMgr;  // outlives every mapper, even static ones
    return *pMgr;
}

void FileMapperMgr::RegisterFileMapper(FileMapper* pMapper) {
    if (!pMapper) {
        OSTLOG_ERROR(L"NULL FileMapper");
        return;
    }
    {
        Util::AutoCriticalSection lock(m_csMappers);
        OSTLOG_INFO(4, L"Registering mapper: '%s'", pMapper->GetNameSz());
        m_vecMappers.push_back(pMapper);
    }
    LogFileMappers();
}

void FileMapperMgr::UnregisterFileMapper(FileMapper* pMapper) {
    if (!pMapper) {
        OSTLOG_ERROR(L"NULL FileMapper");
        return;
    }
    bool bLast = false;
    {
        Util::AutoCriticalSection lock(m_csMappers);
        OSTLOG_INFO(4, L"Unegistering mapper: '%s'", pMapper->GetNameSz());
        m_vecMappers.erase(std::remove(m_vecMappers.begin(), m_vecMappers.end(), pMapper), m_vecMappers.end());
        bLast = m_vecMappers.empty();
    }
    LogFileMappers();
    if (bLast)
        StopSolidifierThread();
}

void FileMapperMgr::LogFileMappers() {
    Util::AutoCriticalSection lock(m_csMappers);
    for (size_t i = 0; i < m_vecMappers.size(); ++i)
        OSTLOG_INFO(16, L"FileMapper %d: '%s'", static_cast<int>(i + 1), m_vecMappers[i]->GetNameSz());
}

BOOL FileMapperMgr::StartSolidifierThread() {
    std::lock_guard<std::mutex> guard(m_mtxThread);
    if (m_thread.joinable())
        return TRUE;
    {
        std::lock_guard<std::mutex> stop(m_mtxStop);
        m_bStop = false;  // a thread started after a stop runs again
    }
    try {
        m_thread = std::thread([this] { SolidifyThreadProc(); });
    } catch (const std::system_error& e) {
        OSTLOG_ERROR(L"Failed to create solifidier thread. Error 0x%x", static_cast<unsigned>(e.code().value()));
        return FALSE;
    }
    return TRUE;
}

BOOL FileMapperMgr::StopSolidifierThread() {
    std::lock_guard<std::mutex> guard(m_mtxThread);
    if (!m_thread.joinable())
        return TRUE;
    {
        std::lock_guard<std::mutex> stop(m_mtxStop);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    // The pass in progress finishes first; a pass waits for cross-process locks, so there is no
    // bound on it that would be safe to give up after.
    m_thread.join();
    return TRUE;
}

bool FileMapperMgr::IsSolidifierRunning() {
    std::lock_guard<std::mutex> guard(m_mtxThread);
    return m_thread.joinable();
}

void FileMapperMgr::SolidifyThreadProc() {
    Util::g_logger.SetThreadName(L"IDMSOLID");
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mtxStop);
            if (Util::CurrentClock().WaitFor(m_cvStop, lock, kSolidifyIntervalMs, [this] { return m_bStop; })) {
                OSTLOG_INFO(4, L"Solidifier thread been signalled to terminate");
                break;
            }
        }
        Util::AutoCriticalSection lock(m_csMappers);
        for (FileMapper* pMapper : m_vecMappers)
            pMapper->SolidifyMature(false);
    }
    OSTLOG_INFO(4, L"Solidifier thread exiting");
}

}  // namespace Ostrel::Mapi
