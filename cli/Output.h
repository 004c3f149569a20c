#pragma once
// Everything the command line prints goes through here: results on stdout,
// messages on stderr with the program's name in front, device bytes escaped
// so that a device can never drive the terminal, and write errors counted.

#include "protocol/ProductId.h" // EscapeDeviceText
#include "storage/Text.h"

#include <cstdio>
#include <string>
#include <vector>

namespace pello::cli {

// Whether `stream` (stdout or stderr) is a terminal that has hung up.
bool TerminalGone(FILE* stream);

// A line on stdout.
void Print(const std::string& line);
// "pellomatic-cli: " and the message, on stderr.
void Complain(const std::string& message);
// One of the tool's own fixed texts ("Setting failed!", "No device found"),
// on a line of its own on stderr.
void Say(const std::string& text);

// Names and CSV lines, as the record's text leaves it.
using storage::CsvLine;
using storage::EscapeText;

// Flushes both streams. When either could not be written, says so (where it
// still can) and turns a success into kOutputFailed.
int FinishOutput(int exitCode);

} // namespace pello::cli
