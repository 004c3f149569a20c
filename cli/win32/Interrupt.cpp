#include "cli/Interrupt.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace pello::cli {

namespace {

// The exit codes a console event gives, as 128 + the C runtime's signal
// numbers: Ctrl+C 130 (SIGINT), Ctrl+Break 149 (SIGBREAK); the console
// closing, a log-off or a shut-down 129, as a hang-up is on Linux.
constexpr int kHangUp = 1;

std::atomic<int> g_signal {0};
std::atomic<bool> g_hungUp {false};
std::atomic<bool> g_holding {false};
HANDLE g_ended = nullptr; // set when the program has finished and may be ended

int SignalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGBREAK;
    default: return kHangUp;
    }
}

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const int sig = SignalOf(event);
    if (sig == kHangUp) {
        g_hungUp = true;
    }
    int none = 0;
    const bool first = g_signal.compare_exchange_strong(none, sig);
    if (!first && (sig == SIGINT || sig == SIGBREAK)) {
        ::ExitProcess(128 + sig); // a second Ctrl+C: a person's insistence
    }
    if (sig == kHangUp && g_holding) {
        // The system ends the process as soon as this returns: hold it here
        // until the sequence on the wire has finished and been reported.
        ::WaitForSingleObject(g_ended, INFINITE);
    }
    return TRUE;
}

void SignalEnded()
{
    if (g_ended != nullptr) {
        ::SetEvent(g_ended);
    }
}

} // namespace

void InstallInterruptHandlers()
{
    g_ended = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_holding = true;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::atexit(SignalEnded);
}

// No pipe signal on Windows: a closed pipe is a write error already.
void IgnoreBrokenPipes() {}

bool Interrupted() { return g_signal != 0; }

bool HungUp() { return g_hungUp; }

int InterruptedExitCode() { return 128 + g_signal; }

} // namespace pello::cli
