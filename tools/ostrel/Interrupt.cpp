#include "Interrupt.h"

#include <csignal>

namespace OstrelCli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
struct sigaction g_previousInt;
struct sigaction g_previousTerm;

void OnSignal(int signal) {
    if (g_interrupted) {
        // A second request: stop now, as if the command had never caught the first.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_interrupted = 1;
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

bool Interrupted() { return g_interrupted != 0; }

void RequestInterrupt() { g_interrupted = 1; }

void ClearInterrupt() { g_interrupted = 0; }

}  // namespace OstrelCli
