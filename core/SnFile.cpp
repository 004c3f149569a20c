#include "core/SnFile.h"

#include "protocol/Device.h"

#include <cstring>
#include <fstream>

namespace pello {

char g_szSerialLine[24] = "1400000000000000000000";
char g_szPabcLine[14] = "00000000_000";

namespace {

// One line into `buf` (at most size - 1 characters and a NUL). The line feed
// is consumed and not stored; a CR right before it is dropped, as a text-mode
// read does. Characters past the buffer are skipped up to the line's end.
void ReadLineInto(std::istream& in, char* buf, size_t size)
{
    size_t stored = 0;
    int c;
    while ((c = in.get()) != std::char_traits<char>::eof() && c != '\n') {
        if (c == '\r' && in.peek() == '\n') {
            continue;
        }
        if (stored < size - 1) {
            buf[stored++] = static_cast<char>(c);
        }
    }
    buf[stored] = '\0';
}

} // namespace

bool ReadSnLines(const std::string& path, char* serial, size_t serialSize, char* code, size_t codeSize)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    ReadLineInto(in, serial, serialSize);
    ReadLineInto(in, code, codeSize);
    return true;
}

bool ReadSnFile(const std::string& path)
{
    return ReadSnLines(path, g_szSerialLine, sizeof g_szSerialLine, g_szPabcLine, sizeof g_szPabcLine);
}

ProgramFields FieldsFromLines(const char* serial, const char* code)
{
    return {std::string(serial, ::strnlen(serial, device::kSerialFieldLength)),
            std::string(code, ::strnlen(code, device::kCodeFieldLength))};
}

SnFileRead ReadSnFields(const std::string& path)
{
    char serial[sizeof g_szSerialLine] = {};
    char code[sizeof g_szPabcLine] = {};
    SnFileRead out;
    out.opened = ReadSnLines(path, serial, sizeof serial, code, sizeof code);
    if (out.opened) {
        out.fields = FieldsFromLines(serial, code);
        out.problem = CheckFields(out.fields);
    }
    return out;
}

std::string SnFileMessage(FieldProblem problem)
{
    switch (problem) {
    case FieldProblem::None: return {};
    case FieldProblem::SerialShort: return "Invalid SN.txt: line 1 needs 22 characters";
    case FieldProblem::CodeShort: return "Invalid SN.txt: line 2 needs 12 characters";
    case FieldProblem::SerialNotPrintable:
    case FieldProblem::CodeNotPrintable: return "Invalid SN.txt: only printable ASCII characters are allowed";
    }
    return {};
}

} // namespace pello
