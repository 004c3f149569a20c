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

// Two well-formed lines need 36 bytes; a file is read no further than this.
constexpr size_t kSnReadLimit = 4096;

enum class SnOpenError {
    None,
    CannotOpen,     // the file could not be opened; see reason
    NotRegularFile, // a directory, FIFO, device...: never read
};

struct SnLinesRead {
    SnOpenError error = SnOpenError::None;
    std::string reason; // the system's words for CannotOpen
    size_t serialLength = 0; // bytes of line 1 stored in its buffer
    size_t codeLength = 0;   // bytes of line 2 stored in its buffer
    // The lines' whole lengths, spaces and tabs that pad a line past its field not counted.
    size_t serialLineLength = 0;
    size_t codeLineLength = 0;
    bool serialTooLong = false; // line 1 did not end within kSnReadLimit
    bool codeTooLong = false;   // nor did line 2
    bool Opened() const { return error == SnOpenError::None; }
};

// Reads the first two lines into the two buffers (each line up to its
// buffer's size - 1 bytes and a NUL). Nothing but a regular file is opened,
// without blocking, and no more than kSnReadLimit bytes are read. When the
// file cannot be used the buffers are untouched. CR LF reads like LF; a line
// longer than its buffer is stored cut, its whole length noted.
SnLinesRead ReadSnLines(const std::string& path, char* serial, size_t serialSize, char* code, size_t codeSize);

// The same into g_szSerialLine and g_szPabcLine.
SnLinesRead ReadSnFile(const std::string& path);

// The fields the line buffers give: each line as read, cut to its field's length.
ProgramFields FieldsFromLines(const char* serial, const char* code, const SnLinesRead& read);

// Whether the lines can be programmed: each exactly as long as its field (a
// longer line is a number nobody wrote, never cut), every byte printable.
FieldCheck CheckSnLines(const SnLinesRead& read, const ProgramFields& fields);

struct SnFileRead {
    SnLinesRead lines;
    FieldCheck check;
    ProgramFields fields;
    // Opened, both lines in bounds, both fields fit for a frame.
    bool Valid() const { return lines.Opened() && !lines.serialTooLong && !lines.codeTooLong && check.Ok(); }
};

// Reads and checks a file without touching the dialog's buffers.
SnFileRead ReadSnFields(const std::string& path);

// Why a file could not be opened, in words ("No such file or directory").
std::string SnOpenReason(const SnLinesRead& read);

// What to tell the operator about the lines: "Invalid SN.txt: ...", or "" when
// they are fine.
std::string SnFileMessage(const SnLinesRead& read, const FieldCheck& check);

} // namespace pello
