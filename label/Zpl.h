#pragma once
// Values in ZPL labels: a value fills a field's data and never adds or ends a
// command. Inside a field's data (^FD, ^FV) ^ and ~ in a value, and the
// field's hex indicator, are written as ZPL's hex escape (_5E), the field
// given ^FH when it has none (the template's own indicator characters in that
// field then escaped too, so they print as written). Outside a field's data
// ZPL has no escape: a value holding ^ or ~ there is refused, the label not
// printed. A template that changes ZPL's command characters (^CC, ^CT) cannot
// take values at all.

#include <functional>
#include <string>

namespace pello::label {

// A placeholder's value at `text[at]` (as the text rule shows it) and the
// placeholder's length, or nullptr when none starts there.
using PlaceholderAt = std::function<const std::string*(const std::string& text, size_t at, size_t* length)>;

// Whether the template is ZPL: it holds a format or field command (^XA, ^XF,
// ^FD, ^FV), so that a fragment without ^XA is treated as ZPL too.
bool IsZpl(const std::string& templateText);

// Why a ZPL template cannot take values ("" when it can).
std::string ZplTemplateProblem(const std::string& templateText, const PlaceholderAt& placeholder);

// The template with every placeholder filled; "" in *problem, else why the
// label cannot be printed (and the result is not to be sent).
std::string FillZpl(const std::string& templateText, const PlaceholderAt& placeholder, std::string* problem);

} // namespace pello::label
