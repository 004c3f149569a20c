#include "cli/Output.h"

#include "cli/ExitCodes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pello::cli {

void Print(const std::string& line) { std::fprintf(stdout, "%s\n", line.c_str()); }

void Complain(const std::string& message) { std::fprintf(stderr, "pellomatic-cli: %s\n", message.c_str()); }

void Say(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

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

int FinishOutput(int exitCode)
{
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
