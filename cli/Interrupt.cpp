#include "cli/Interrupt.h"

#include <csignal>
#include <unistd.h>

namespace pello::cli {

namespace {

volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig)
{
    if (g_signal != 0) {
        ::_exit(128 + sig);
    }
    g_signal = sig;
}

} // namespace

void InstallInterruptHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

void IgnoreBrokenPipes()
{
    // A diagnostics pipe that closes early must not stop a sequence half-way;
    // the write error is reported at the end instead.
    std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return g_signal != 0; }

int InterruptedExitCode() { return 128 + g_signal; }

} // namespace pello::cli
