#include "Interrupt.h"

#include "Platform/Http/WinHttp.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace OstrelCli {

namespace {

// Lock-free, so that the handler may set it and other threads may read it.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction g_previousInt;
struct sigaction g_previousTerm;
// The line the first signal prints, made before the handler is installed (the handler may only
// write it).
char g_szStopping[128];
size_t g_cchStopping = 0;

void OnSignal(int signal) {
    if (g_interrupted.exchange(1)) {
        // A second request: stop now, as if the command had never caught the first.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    const int savedErrno = errno;
    if (::write(STDERR_FILENO, g_szStopping, g_cchStopping) < 0) {
        // Nothing to be done about it in a signal handler.
    }
    errno = savedErrno;
}

}  // namespace

InterruptScope::InterruptScope(const char* pszCommand) {
    g_interrupted = 0;
    const int cch =
        std::snprintf(g_szStopping, sizeof g_szStopping, "ostrel %s: stopping; Ctrl-C again to stop now\n", pszCommand);
    g_cchStopping = cch > 0 ? std::min(static_cast<size_t>(cch), sizeof g_szStopping - 1) : 0;
    Platform::Http::SetTransferStopCheck(Interrupted);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
}

InterruptScope::~InterruptScope() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    Platform::Http::SetTransferStopCheck(nullptr);
}

bool Interrupted() {
    return g_interrupted.load() != 0;
}

void RequestInterrupt() {
    g_interrupted = 1;
}

void ClearInterrupt() {
    g_interrupted = 0;
}

}  // namespace OstrelCli
