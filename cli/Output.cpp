#include "cli/Output.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "text/Json.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pello::cli {

namespace {

// Whether each stream was a terminal when the program started: once that
// terminal has hung up, nothing more is written to it.
const bool g_outIsTerminal = ::isatty(STDOUT_FILENO) == 1;
const bool g_errIsTerminal = ::isatty(STDERR_FILENO) == 1;

} // namespace

bool TerminalGone(FILE* stream)
{
    return HungUp() && (stream == stdout ? g_outIsTerminal : g_errIsTerminal);
}

void Print(const std::string& line)
{
    if (!TerminalGone(stdout)) std::fprintf(stdout, "%s\n", text::Show(line).c_str());
}

void PrintJson(const nlohmann::json& value) { Print(text::Shown(value).dump()); }

void Complain(const std::string& message)
{
    if (!TerminalGone(stderr)) std::fprintf(stderr, "pellomatic-cli: %s\n", text::Show(message).c_str());
}

void Say(const std::string& line)
{
    if (!TerminalGone(stderr)) std::fprintf(stderr, "%s\n", text::Show(line).c_str());
}

int FinishOutput(int exitCode)
{
    if (TerminalGone(stdout) || TerminalGone(stderr)) {
        return exitCode; // a hung-up terminal takes nothing, not even a flush
    }
    const bool outFailed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    const int outErrno = errno;
    const bool errFailed = std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
    if (outFailed) {
        Complain(std::string("cannot write the output: ") + std::strerror(outErrno));
    }
    if ((outFailed || errFailed) && exitCode == kOk) {
        return kOutputFailed;
    }
    return exitCode;
}

} // namespace pello::cli
