#include "core/SnFile.h"

#include "link/TextFile.h"
#include "protocol/Device.h"

#include <algorithm>
#include <cstring>

namespace pello {

char g_szSerialLine[24] = "1400000000000000000000";
char g_szPabcLine[14] = "00000000_000";

namespace {

struct TakenLine {
    size_t stored = 0; // bytes in the buffer
    size_t length = 0; // the whole line, padding past its field not counted
    bool ended = false; // a line feed or the file's end closed it
};

// One line of `data` from `*pos` into `buf` (at most size - 1 bytes and a
// NUL). The line feed is consumed and not stored; a CR right before it is
// dropped, as a text-mode read does. Spaces and tabs that run the line past
// `field` characters are padding.
TakenLine TakeLine(const std::string& data, size_t* pos, bool complete, char* buf, size_t size, size_t field)
{
    std::string line;
    TakenLine out;
    while (*pos < data.size()) {
        const char c = data[(*pos)++];
        if (c == '\n') {
            out.ended = true;
            break;
        }
        if (c == '\r' && *pos < data.size() && data[*pos] == '\n') {
            continue;
        }
        line += c;
    }
    while (line.size() > field && (line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    out.ended = out.ended || complete;
    out.length = line.size();
    out.stored = std::min(line.size(), size - 1);
    std::memcpy(buf, line.data(), out.stored);
    buf[out.stored] = '\0';
    return out;
}

} // namespace

SnLinesRead ReadSnLines(const std::string& path, char* serial, size_t serialSize, char* code, size_t codeSize)
{
    SnLinesRead read;
    const BoundedFile file = ReadRegularFile(path, kSnReadLimit + 1);
    if (file.error != FileOpenError::None) {
        read.error = file.error == FileOpenError::CannotOpen ? SnOpenError::CannotOpen : SnOpenError::NotRegularFile;
        read.reason = file.reason;
        return read;
    }
    const std::string& data = file.data;
    const bool complete = data.size() <= kSnReadLimit;
    size_t pos = 0;
    const TakenLine line1 = TakeLine(data, &pos, complete, serial, serialSize, device::kSerialFieldLength);
    const TakenLine line2 = TakeLine(data, &pos, complete, code, codeSize, device::kCodeFieldLength);
    read.serialLength = line1.stored;
    read.serialLineLength = line1.length;
    read.serialTooLong = !line1.ended;
    read.codeLength = line2.stored;
    read.codeLineLength = line2.length;
    read.codeTooLong = !line2.ended;
    return read;
}

SnLinesRead ReadSnFile(const std::string& path)
{
    return ReadSnLines(path, g_szSerialLine, sizeof g_szSerialLine, g_szPabcLine, sizeof g_szPabcLine);
}

ProgramFields FieldsFromLines(const char* serial, const char* code, const SnLinesRead& read)
{
    return {std::string(serial, std::min(read.serialLength, device::kSerialFieldLength)),
            std::string(code, std::min(read.codeLength, device::kCodeFieldLength))};
}

FieldCheck CheckSnLines(const SnLinesRead& read, const ProgramFields& fields)
{
    FieldCheck check = CheckFields(fields);
    // A byte that does not belong (a byte-order mark, say) says more than the
    // length it adds; a length problem of its own comes next.
    const bool badByte = check.problem == FieldProblem::SerialByte || check.problem == FieldProblem::CodeByte;
    if (!badByte && read.serialLineLength > device::kSerialFieldLength) {
        check = {FieldProblem::SerialLength, read.serialLineLength, 0, 0};
    } else if (!badByte && check.Ok() && read.codeLineLength > device::kCodeFieldLength) {
        check = {FieldProblem::CodeLength, read.codeLineLength, 0, 0};
    }
    return check;
}

SnFileRead ReadSnFields(const std::string& path)
{
    char serial[sizeof g_szSerialLine] = {};
    char code[sizeof g_szPabcLine] = {};
    SnFileRead out;
    out.lines = ReadSnLines(path, serial, sizeof serial, code, sizeof code);
    if (out.lines.Opened()) {
        out.fields = FieldsFromLines(serial, code, out.lines);
        out.check = CheckSnLines(out.lines, out.fields);
    }
    return out;
}

std::string SnOpenReason(const SnLinesRead& read)
{
    switch (read.error) {
    case SnOpenError::None: return {};
    case SnOpenError::CannotOpen: return read.reason;
    case SnOpenError::NotRegularFile: return "not a regular file";
    }
    return {};
}

std::string SnFileMessage(const SnLinesRead& read, const FieldCheck& check)
{
    const std::string prefix = "Invalid SN.txt: ";
    if (read.serialTooLong || read.codeTooLong) {
        return prefix + "line " + (read.serialTooLong ? "1" : "2") + " is longer than " + std::to_string(kSnReadLimit) +
               " bytes";
    }
    switch (check.problem) {
    case FieldProblem::None: return {};
    case FieldProblem::SerialLength:
        return prefix + "line 1 has " + std::to_string(check.length) + " characters, needs 22";
    case FieldProblem::CodeLength:
        return prefix + "line 2 has " + std::to_string(check.length) + " characters, needs 12";
    case FieldProblem::SerialByte:
    case FieldProblem::CodeByte:
        return prefix + "line " + (check.problem == FieldProblem::SerialByte ? "1" : "2") + ", character " +
               std::to_string(check.position) + " is " + ByteName(check.byte) +
               "; only printable ASCII characters are allowed";
    }
    return {};
}

} // namespace pello
