#pragma once
// The two fields a unit is programmed with, and what a frame may carry.

#include <cstddef>
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
    SerialLength, // the serial number field is not 22 characters long
    CodeLength,   // the code field is not 12 characters long
    SerialByte,   // a byte outside printable ASCII in the serial number field
    CodeByte,     // a byte outside printable ASCII in the code field
};

struct FieldCheck {
    FieldProblem problem = FieldProblem::None;
    size_t length = 0;       // the field's length (for a length problem)
    size_t position = 0;     // 1-based position of the bad byte
    unsigned char byte = 0;  // the bad byte
    bool Ok() const { return problem == FieldProblem::None; }
};

// Frames go out whole, so a short field or a control byte would reach the
// device under a valid check value: only exact, printable fields are sent.
FieldCheck CheckFields(const ProgramFields& fields);
// One field alone: `serial` says which of the two it is.
FieldCheck CheckField(const std::string& field, bool serial);

// A byte as the messages show it: 0x0d.
std::string ByteName(unsigned char byte);

} // namespace pello
