// The process's register of item file mappers and its solidifier thread ("IDMSOLID"), which
// every 30 seconds solidifies the tentative records of every registered mapper that have aged.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Base/WinTypes.h"
#include "Util/Locks/Locks.h"

namespace Ostrel::Mapi {

class FileMapper;

class FileMapperMgr {
public:
    static FileMapperMgr& Instance();

    void RegisterFileMapper(FileMapper* pMapper);
    // Stops the solidifier when the last mapper leaves.
    void UnregisterFileMapper(FileMapper* pMapper);
    void LogFileMappers();
    // Starts the thread unless one is running.
    BOOL StartSolidifierThread();
    BOOL StopSolidifierThread();
    bool IsSolidifierRunning();

    static constexpr DWORD kSolidifyIntervalMs = 30000;

private:
    FileMapperMgr() = default;
    void SolidifyThreadProc();

    // Guards the register; the solidifier holds it while it walks the mappers, so that a mapper
    // cannot leave in the middle of its pass.
    Util::CriticalSection m_csMappers{L"FileMapperMgr"};
    std::vector<FileMapper*> m_vecMappers;
    // Guards starting and stopping; never taken while m_csMappers is held by the same thread.
    std::mutex m_mtxThread;
    std::thread m_thread;
    std::mutex m_mtxStop;
    std::condition_variable_any m_cvStop;
    bool m_bStop = false;
};

}  // namespace Ostrel::Mapi
