#pragma once
// "SN.txt": line 1 is the 22-character serial number field, line 2 the
// 12-character code field. Read anew by every Apply.

#include "core/Fields.h"

#include <cstddef>
#include <string>

namespace pello {

// The dialog's two line buffers. Bytes behind a line's NUL keep what they
// held before (the initial fields, or an earlier file's longer lines).
extern char g_szSerialLine[24];
extern char g_szPabcLine[14];

// Reads the first two lines into the two buffers (each line up to its buffer's
// size - 1 characters and a NUL); false when the file cannot be opened, and
// the buffers are then untouched. CR LF reads like LF; a line longer than its
// buffer is read to its end and the rest skipped.
bool ReadSnLines(const std::string& path, char* serial, size_t serialSize, char* code, size_t codeSize);

// The same into g_szSerialLine and g_szPabcLine.
bool ReadSnFile(const std::string& path);

// The fields the two line buffers give: each line up to its NUL, at most the
// field's length.
ProgramFields FieldsFromLines(const char* serial, const char* code);

struct SnFileRead {
    bool opened = false;
    FieldProblem problem = FieldProblem::None;
    ProgramFields fields;
};

// Reads and checks a file without touching the dialog's buffers.
SnFileRead ReadSnFields(const std::string& path);

// What to tell the operator about a problem in the file.
std::string SnFileMessage(FieldProblem problem);

} // namespace pello
