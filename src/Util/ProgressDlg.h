// GenericProgressDlg: the progress window of a long operation that runs on the caller's thread
// (rebuilding a mapping, applying a migration). It shows through the host's user interface,
// owned by the client's window unless told otherwise, and closes when the object goes away. The
// operation polls IsCancelled where stopping is safe. One thread uses a dialog at a time.
#pragma once

#include <memory>
#include <string>

#include "Platform/Base/WinTypes.h"
#include "Platform/Ui/Ui.h"

namespace Ostrel::Util {

class GenericProgressDlg {
public:
    // Shows the window with its caption and first message; `hwndOwner` null means the client's
    // window.
    GenericProgressDlg(const std::wstring& wsCaption, const std::wstring& wsText, HWND hwndOwner = nullptr);
    ~GenericProgressDlg();
    GenericProgressDlg(const GenericProgressDlg&) = delete;
    GenericProgressDlg& operator=(const GenericProgressDlg&) = delete;

    void SetText(const std::wstring& wsText);
    // A range whose high end is below its low end is taken as empty; the position is kept in it.
    void SetRange(ULONG ulLow, ULONG ulHigh);
    void SetPos(ULONG ulPos);
    void SetStep(ULONG ulStep);
    // Moves by the step, stopping at the high end.
    void StepIt();
    // Busy without a known end (the range is not shown meanwhile).
    void SetMarquee(bool bMarquee);
    ULONG GetPos() const { return m_ulPos; }
    bool IsCancelled() const;

private:
    std::unique_ptr<Platform::Ui::IProgress> m_pProgress;
    ULONG m_ulLow = 0;
    ULONG m_ulHigh = 100;
    ULONG m_ulPos = 0;
    ULONG m_ulStep = 1;
};

}  // namespace Ostrel::Util
