#pragma once
// "SN.txt": line 1 is the 22-character serial number field, line 2 the
// 12-character code field. Read anew by every Apply.

#include <string>

// The two line buffers of the run. Bytes behind a line's NUL keep what they
// held before (the initial fields, or an earlier file's longer lines).
extern char g_szSerialLine[24];
extern char g_szPabcLine[14];

// Reads the first two lines into the buffers; false when the file cannot be
// opened (the buffers are then untouched). CR LF reads like LF; a line longer
// than its buffer is read to its end and the rest skipped.
bool ReadSnFile(const std::string& path);

// Empty when the buffers hold what a frame may carry; otherwise the message
// to show: a short line, or a byte outside printable ASCII.
std::string ValidateSnLines();

// Puts the buffers back to their initial contents (for tests and new runs).
void ResetSnLines();
