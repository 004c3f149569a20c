#include "cli/Trace.h"

#include "cli/Output.h"
#include "protocol/Frames.h"

#include <cstdio>
#include <ctime>

namespace pello::cli {

namespace {

std::string Stamp()
{
    timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local {};
    ::localtime_r(&ts.tv_sec, &local);
    char hms[16];
    std::strftime(hms, sizeof hms, "%H:%M:%S", &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s.%03ld", hms, ts.tv_nsec / 1000000);
    return stamp;
}

} // namespace

void CTraceLines::OnPort(const std::string& name, const std::string& node)
{
    if (TerminalGone(stderr)) return;
    std::fprintf(stderr, "%s == %s on %s\n", Stamp().c_str(), name.c_str(), text::Show(node).c_str());
}

void CTraceLines::OnBytes(const char* dir, const uint8_t* bytes, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    }
    std::fprintf(stderr, "%s %s %s  %s\n", Stamp().c_str(), dir, length ? ToHex(bytes, length).c_str() : "(nothing)",
                 text.c_str());
}

} // namespace pello::cli
