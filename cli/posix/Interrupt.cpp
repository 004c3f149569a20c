#include "cli/Interrupt.h"

#include "link/UniqueFd.h"
#include "storage/Database.h"

#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pello::cli {

namespace {

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_hungUp = 0;
// Readable once a signal has come: a wait for a database server to accept a
// connection ends then (the record is opened before anything goes out).
CUniqueFd g_heard;

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
        const uint64_t one = 1;
        (void)!::write(g_heard.Get(), &one, sizeof one);
    }
}

} // namespace

void InstallInterruptHandlers()
{
    g_heard.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    storage::EndConnectingWhenReadable(g_heard.Get());
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
