#include "Util/ProgressDlg.h"

#include <algorithm>

#include "Platform/Host/Host.h"

namespace Ostrel::Util {

GenericProgressDlg::GenericProgressDlg(const std::wstring& wsCaption, const std::wstring& wsText, HWND hwndOwner)
    : m_pProgress(Platform::Ui::Current()->CreateProgress(hwndOwner ? hwndOwner : Platform::Host::GetClientWindow(),
                                                          wsCaption)) {
    if (!m_pProgress)
        return;
    m_pProgress->SetRange(m_ulLow, m_ulHigh);
    m_pProgress->SetStep(m_ulStep);
    if (!wsText.empty())
        m_pProgress->SetText(wsText);
}

GenericProgressDlg::~GenericProgressDlg() = default;

void GenericProgressDlg::SetText(const std::wstring& wsText) {
    if (m_pProgress)
        m_pProgress->SetText(wsText);
}

void GenericProgressDlg::SetRange(ULONG ulLow, ULONG ulHigh) {
    m_ulLow = ulLow;
    m_ulHigh = std::max(ulLow, ulHigh);
    m_ulPos = std::clamp(m_ulPos, m_ulLow, m_ulHigh);
    if (m_pProgress) {
        m_pProgress->SetRange(m_ulLow, m_ulHigh);
        m_pProgress->SetPos(m_ulPos);
    }
}

void GenericProgressDlg::SetPos(ULONG ulPos) {
    m_ulPos = std::clamp(ulPos, m_ulLow, m_ulHigh);
    if (m_pProgress)
        m_pProgress->SetPos(m_ulPos);
}

void GenericProgressDlg::SetStep(ULONG ulStep) {
    m_ulStep = ulStep;
    if (m_pProgress)
        m_pProgress->SetStep(ulStep);
}

void GenericProgressDlg::StepIt() {
    // Added in 64 bits, so that a large step near the top cannot wrap around.
    m_ulPos = static_cast<ULONG>(std::min<ULONGLONG>(static_cast<ULONGLONG>(m_ulPos) + m_ulStep, m_ulHigh));
    if (m_pProgress)
        m_pProgress->StepIt();
}

void GenericProgressDlg::SetMarquee(bool bMarquee) {
    if (m_pProgress)
        m_pProgress->SetMarquee(bMarquee);
}

bool GenericProgressDlg::IsCancelled() const {
    return m_pProgress && m_pProgress->IsCancelled();
}

}  // namespace Ostrel::Util
