#pragma once
// How the record's text leaves it, the same way from the command line and the
// web page: names as text, CSV cells as a spreadsheet should show them.

#include <string>
#include <vector>

namespace pello::storage {

// A name someone typed (a station, batch, operator), as a terminal, CSV and
// JSON may show it: UTF-8 stays, control bytes and bytes that are not UTF-8
// become \xHH.
std::string EscapeText(const std::string& text);

// One CSV line: a cell with a comma, a quote or a line end is quoted, and a
// cell a spreadsheet would run as a formula (beginning with =, +, -, @, a tab
// or a CR) begins with ' instead.
std::string CsvLine(const std::vector<std::string>& cells);

} // namespace pello::storage
