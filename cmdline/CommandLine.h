#pragma once
// What the programs' command lines have in common: parsed with CLI11, with
// --help and -V/--version, and one line naming what was wrong, as getopt-style
// tools print it ("prog: unrecognised option '--lnik'"), then a pointer to --help.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace pello {

// Parses argv into `app`. Returns an exit code when the program should end
// here (0 after --help or --version, 1 after a mistake, which it reports);
// nullopt when the command line is good.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv);

// "prog: message" on stderr, then "Try 'prog --help' for more information."
void ReportUsageError(const std::string& program, const std::string& message);

// Validators: a name that is not empty (a script's unset variable), a count
// written as plain decimal digits (not "0x10", "1e3" or "-1"), and a name
// that goes into the record or onto a label (a batch, a station, an
// operator): valid UTF-8 with no control characters (text::NameProblem).
extern const CLI::Validator kNonEmpty;
extern const CLI::Validator kDecimal;
extern const CLI::Validator kName;

// "prog VERSION", the line -V/--version prints.
std::string VersionLine(const std::string& program);

} // namespace pello
