#include "cli/Interrupt.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace pello::cli {

namespace {

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_hungUp = 0;

void OnSignal(int sig)
{
    if (sig == SIGHUP) {
        g_hungUp = 1;
    }
    if (g_signal != 0 && (sig == SIGINT || sig == SIGTERM)) {
        ::_exit(128 + sig);
    }
    if (g_signal == 0) {
        g_signal = sig;
    }
}

} // namespace

void InstallInterruptHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        ::sigaction(sig, &sa, nullptr);
    }
}

void IgnoreBrokenPipes()
{
    // A diagnostics pipe that closes early must not stop a sequence half-way;
    // the write error is reported at the end instead.
    std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return g_signal != 0; }

bool HungUp() { return g_hungUp != 0; }

int InterruptedExitCode() { return 128 + g_signal; }

} // namespace pello::cli
