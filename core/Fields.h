#pragma once
// The two fields a unit is programmed with, and what a frame may carry.

#include <string>

namespace pello {

// The serial number field (22 characters, the "SID" payload) and the code
// field (12 characters, the "PABC" payload).
struct ProgramFields {
    std::string serial;
    std::string code;
};

enum class FieldProblem {
    None,
    SerialShort,       // fewer than 22 characters before the line's end
    CodeShort,         // fewer than 12
    SerialNotPrintable,// a byte outside printable ASCII among the 22
    CodeNotPrintable,  // a byte outside printable ASCII among the 12
};

// Frames go out whole, so a short field or a control byte would reach the
// device under a valid check value: only exact, printable fields are sent.
FieldProblem CheckFields(const ProgramFields& fields);

} // namespace pello
