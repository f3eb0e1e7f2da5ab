#include "Platform/Ipc/Event.h"

#include "Platform/Base/HResult.h"

#include <chrono>

namespace Platform {

Event::Event(bool bManualReset, bool bInitialState) : m_bManualReset(bManualReset), m_bSignalled(bInitialState) {}

void Event::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSignalled = true;
    if (m_bManualReset)
        m_cv.notify_all();
    else
        m_cv.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSignalled = false;
}

DWORD Event::Wait(DWORD dwMilliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto signalled = [this] { return m_bSignalled; };
    if (dwMilliseconds == INFINITE)
        m_cv.wait(lock, signalled);
    else if (!m_cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), signalled))
        return WAIT_TIMEOUT;
    if (!m_bManualReset)
        m_bSignalled = false;
    return WAIT_OBJECT_0;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSignalled;
}

}  // namespace Platform
