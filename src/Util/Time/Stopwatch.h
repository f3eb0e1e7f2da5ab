// Measures elapsed time on the injectable clock's tick count.
#pragma once

#include "Platform/Base/WinTypes.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Util {

class CStopwatch {
public:
    CStopwatch() : m_ullStart(CurrentClock().GetTickCount64()) {}

    void Restart() { m_ullStart = CurrentClock().GetTickCount64(); }

    // Milliseconds since construction or the last Restart; DWORD so it prints with %d/%u,
    // saturating after 49 days.
    DWORD GetElapsedMillisecs() const {
        ULONGLONG ullElapsed = CurrentClock().GetTickCount64() - m_ullStart;
        return ullElapsed > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(ullElapsed);
    }

private:
    ULONGLONG m_ullStart;
};

}  // namespace Ostrel::Util
