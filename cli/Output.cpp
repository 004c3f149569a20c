#include "cli/Output.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"

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
    if (!TerminalGone(stdout)) std::fprintf(stdout, "%s\n", line.c_str());
}

void Complain(const std::string& message)
{
    if (!TerminalGone(stderr)) std::fprintf(stderr, "pellomatic-cli: %s\n", message.c_str());
}

void Say(const std::string& text)
{
    if (!TerminalGone(stderr)) std::fprintf(stderr, "%s\n", text.c_str());
}

std::string EscapeDeviceText(const std::string& bytes)
{
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7E) {
            out += ch;
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

namespace {

// The length of the UTF-8 sequence at `s[i]`, or 0 when it is not one.
size_t Utf8Length(const std::string& s, size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

std::string Hex(unsigned char c)
{
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    return esc;
}

} // namespace

std::string EscapeText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += text[i++];
        } else if (const size_t n = c >= 0x80 ? Utf8Length(text, i) : 0; n > 0) {
            out += text.substr(i, n);
            i += n;
        } else {
            out += Hex(c);
            ++i;
        }
    }
    return out;
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
