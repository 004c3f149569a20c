#pragma once
// Everything the command line prints goes through here: results on stdout,
// messages on stderr with the program's name in front, every line shown by
// the one text rule (text/Text.h) so that no name, file or device can drive
// the terminal, and write errors counted.

#include "text/Text.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace pello::cli {

// Whether `stream` (stdout or stderr) is a terminal that has hung up.
bool TerminalGone(FILE* stream);

// A line on stdout.
void Print(const std::string& line);
// One JSON value on a line of stdout, every string in it shown by the rule.
void PrintJson(const nlohmann::json& value);
// "pellomatic-cli: " and the message, on stderr.
void Complain(const std::string& message);
// One of the tool's own fixed texts ("Setting failed!", "No device found"),
// on a line of its own on stderr.
void Say(const std::string& line);

// CSV lines, each cell shown by the rule.
using text::CsvLine;

// Flushes both streams. When either could not be written, says so (where it
// still can) and turns a success into kOutputFailed.
int FinishOutput(int exitCode);

} // namespace pello::cli
