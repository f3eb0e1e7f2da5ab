// Which outgoing messages the own MIME writer converts instead of the host's converter session:
// the registry key "Mime" under the settings key holds the switch and the class prefix lists.
#pragma once

#include <string>
#include <vector>

#include "Platform/Base/WinTypes.h"
#include "Util/Locks/Locks.h"

class MimeConfig {
public:
    // The process-wide instance; the registry is read on its first question and kept after that.
    static MimeConfig& GetInstance();

    // A separate instance that reads the registry on its own first question.
    MimeConfig() = default;
    MimeConfig(const MimeConfig&) = delete;
    MimeConfig& operator=(const MimeConfig&) = delete;

    // Non-zero when the own converter is on and the class starts (case-insensitively) with an
    // enabled prefix and with no disabled one.
    int UseOstrelMapiToMimeConverter(const wchar_t* pwszMessageClass);

private:
    void ReadOnce();

    Ostrel::Util::CriticalSection m_cs{L"MimeConfig"};
    bool m_bRead = false;
    DWORD m_dwEnabled = 0;
    std::vector<std::wstring> m_vecEnabledClasses;
    std::vector<std::wstring> m_vecDisabledClasses;
};
