#include "Ostrel/Rpc/Soap/OfflineMode.h"

#include "Platform/Host/Host.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace Ostrel::Mapi {

namespace {

constexpr DWORD kWaitMs = 30000;
constexpr int kFirstDirectVersion = 15;

// The connection manager keeps its online flag in step with the host's reports.
void TellConnectionManagerOffline() {
    if (!Platform::Host::IsOffline())
        Platform::Host::SetOffline(true);
}

// The thread's part: the client's own "work offline" command, unless it is offline already.
void SwitchThreadProc() {
    Util::g_logger.SetThreadName(L"SwitchOutlookToOfflineModeThread");
    if (Util::IsOutlookOfflineExport()) {
        OSTLOG_INFO(1, L"Outlook is already in offline mode");
        return;
    }
    const HRESULT hr = Platform::Host::SwitchToOffline(true);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to find control for Work offline option (0x%x)", static_cast<unsigned>(hr));
    else
        OSTLOG_INFO(1, L"Found Work offline control");
}

struct SwitchState {
    std::mutex mutex;
    std::condition_variable_any done;
    bool bDone = false;
};

}  // namespace

HRESULT SwitchOutlookToOfflineMode(int wait) {
    OSTLOG_BLOCK(4, 8192);
    if (Util::GetApplicationType() != Platform::Host::kApplicationClient) {
        OSTLOG_INFO(1, L"SwitchOutlookToOfflineMode suppressed for non-Outlook");
        return S_OK;
    }
    if (Platform::Host::IsEmbedded()) {
        OSTLOG_INFO(1, L"SwitchOutlookToOfflineMode suppressed because embedding");
        return S_OK;
    }
    int iMajor = 0;
    Util::GetOutlookVersion(&iMajor, nullptr);
    if (iMajor >= kFirstDirectVersion) {
        const HRESULT hr = Util::SetOutlookOfflineExport();
        if (FAILED(hr))
            OSTLOG_WARN(L"The client did not switch to offline mode (0x%x)", static_cast<unsigned>(hr));
        TellConnectionManagerOffline();
        return S_OK;
    }

    // The manager is told when the thread has asked, so that the thread still sees the client's
    // own state.
    auto state = std::make_shared<SwitchState>();
    std::thread([state] {
        SwitchThreadProc();
        TellConnectionManagerOffline();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->bDone = true;
        state->done.notify_all();
    }).detach();
    if (wait) {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (!Util::CurrentClock().WaitFor(state->done, lock, kWaitMs, [&] { return state->bDone; }))
            OSTLOG_WARN(L"Timed out waiting for switch to work offline");
    }
    return S_OK;
}

}  // namespace Ostrel::Mapi
