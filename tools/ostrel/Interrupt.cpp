#include "Interrupt.h"

#include <atomic>
#include <csignal>

namespace OstrelCli {

namespace {

// Lock-free, so that the handler may set it and other threads may read it.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction g_previousInt;
struct sigaction g_previousTerm;

void OnSignal(int signal) {
    if (g_interrupted.exchange(1)) {
        // A second request: stop now, as if the command had never caught the first.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace

InterruptScope::InterruptScope() {
    g_interrupted = 0;
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
