// An event object with the semantics of a Windows event: a manual-reset event stays signalled
// and releases every waiter until Reset; an auto-reset event releases one waiter and resets.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <condition_variable>
#include <mutex>

namespace Platform {

class Event {
public:
    explicit Event(bool bManualReset = false, bool bInitialState = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // WAIT_OBJECT_0 when signalled within `dwMilliseconds` (INFINITE waits for ever), else WAIT_TIMEOUT.
    DWORD Wait(DWORD dwMilliseconds = INFINITE);
    bool IsSet() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    const bool m_bManualReset;
    bool m_bSignalled;
};

}  // namespace Platform
