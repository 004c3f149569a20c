// The "SN.txt" reader and its check: whatever the file holds, a file that
// passes gives frames with printable fields only.
#include "Frames.h"
#include "SnFile.h"

#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("SN.txt", 0);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    if (!ReadSnFile("/proc/self/fd/" + std::to_string(fd))) std::abort();
    if (g_szSerialLine[23] != '\0' || g_szPabcLine[13] != '\0') std::abort();
    if (ValidateSnLines().empty()) {
        const Frame sid = BuildSidFrame(g_szSerialLine);
        const Frame pabc = BuildPabcFrame(g_szPabcLine);
        for (size_t i = 3; i < 25; ++i) {
            if (sid.bytes[i] < 0x20 || sid.bytes[i] > 0x7E) std::abort();
        }
        for (size_t i = 4; i < 16; ++i) {
            if (pabc.bytes[i] < 0x20 || pabc.bytes[i] > 0x7E) std::abort();
        }
    }
    ResetSnLines();
    return 0;
}
