#include "SnFile.h"

#include "Frames.h"

#include <cstring>
#include <fstream>

char g_szSerialLine[24] = "1400000000000000000000";
char g_szPabcLine[14] = "00000000_000";

namespace {

// One line into `buf` (at most size - 1 characters and a NUL). The line feed
// is consumed and not stored; a CR right before it is dropped, as a text-mode
// read does. Characters past the buffer are skipped up to the line's end.
void ReadLineInto(std::istream& in, char* buf, size_t size)
{
    size_t stored = 0;
    auto store = [&](char c) {
        if (stored < size - 1) {
            buf[stored++] = c;
        }
    };
    int c;
    while ((c = in.get()) != std::char_traits<char>::eof() && c != '\n') {
        if (c == '\r' && in.peek() == '\n') {
            continue;
        }
        store(static_cast<char>(c));
    }
    buf[stored] = '\0';
}

bool PrintableAscii(const char* field, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

} // namespace

bool ReadSnFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    ReadLineInto(in, g_szSerialLine, sizeof g_szSerialLine);
    ReadLineInto(in, g_szPabcLine, sizeof g_szPabcLine);
    return true;
}

std::string ValidateSnLines()
{
    if (std::strlen(g_szSerialLine) < kSerialFieldLength) {
        return "Invalid SN.txt: line 1 needs 22 characters";
    }
    if (std::strlen(g_szPabcLine) < kPabcFieldLength) {
        return "Invalid SN.txt: line 2 needs 12 characters";
    }
    if (!PrintableAscii(g_szSerialLine, kSerialFieldLength) || !PrintableAscii(g_szPabcLine, kPabcFieldLength)) {
        return "Invalid SN.txt: only printable ASCII characters are allowed";
    }
    return {};
}

void ResetSnLines()
{
    std::memset(g_szSerialLine, 0, sizeof g_szSerialLine);
    std::memset(g_szPabcLine, 0, sizeof g_szPabcLine);
    std::strcpy(g_szSerialLine, "1400000000000000000000");
    std::strcpy(g_szPabcLine, "00000000_000");
}
