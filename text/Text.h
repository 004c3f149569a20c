#pragma once
// The one rule for text that leaves the program, wherever it goes: the
// terminal, CSV, JSON, the supervisor's page, labels. Valid UTF-8 passes as it
// is; what could drive a terminal, a spreadsheet, a page or a printer, or make
// a JSON writer refuse the whole output, is shown escaped instead:
//   - bytes that are not UTF-8 (overlong forms, surrogates, code points above
//     U+10FFFF, cut sequences), one \xHH per byte;
//   - C0 controls and DEL as \xHH, C1 controls, bidi overrides and isolates,
//     and the line and paragraph separators as \uXXXX.
// The result is valid UTF-8 with none of these, and showing it again changes
// nothing, so a text may pass through the rule more than once.

#include <string>
#include <string_view>
#include <vector>

namespace pello::text {

// `bytes` as the rule shows them.
std::string Show(std::string_view bytes);

// Whether `bytes` pass the rule unchanged.
bool IsPlain(std::string_view bytes);

// Why a name someone gives (a batch, a station, an operator) cannot be kept:
// "" when it can; else a sentence that shows the first offending character.
std::string NameProblem(std::string_view name);

// One CSV line, each cell shown by the rule: a cell with a comma or a quote
// is quoted, and one a spreadsheet would run as a formula (beginning with =,
// +, -, @) begins with ' instead.
std::string CsvLine(const std::vector<std::string>& cells);

} // namespace pello::text
